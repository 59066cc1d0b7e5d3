// `orvaldi verify`: checking a recovery target against its manifest, and the
// manifest's option and summary line of recover and carve.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "raw/manifest.h"
#include "raw/save_engine.h"

namespace orvaldi::cli {
namespace {

int RunVerify(const std::string& where) {
  const raw::VerifyReport r = raw::VerifyTarget(where);
  if (r.openError != 0) {
    std::fprintf(stderr, "orvaldi: cannot read %s: %s\n", r.manifestPath.c_str(), std::strerror(r.openError));
    return kExitSource;
  }
  for (const std::string& problem : r.problems) std::printf("%s\n", problem.c_str());
  const uint64_t unchanged = r.counts.files;
  std::printf("%s: %llu listed, %llu unchanged, %llu missing, %llu changed; %s\n", r.manifestPath.c_str(),
              static_cast<unsigned long long>(r.listed), static_cast<unsigned long long>(unchanged),
              static_cast<unsigned long long>(r.missing), static_cast<unsigned long long>(r.changed),
              raw::ManifestCountsText(r.counts).c_str());
  if (r.missing > 0 || r.changed > 0) return kExitMismatch;
  return r.clean() ? kExitOk : kExitIncomplete;
}

}  // namespace

void AddManifestOption(CLI::App* cmd, bool& manifest) {
  cmd->add_flag("!--no-manifest", manifest,
                "Do not write manifest.jsonl into the target (by default one JSON line per saved file: target and "
                "source path, size, sha256, sectors read, verdict intact/partial/unverified, content check)");
}

void PrintManifestSummary(const raw::SaveSummary& s) {
  if (!s.manifestPath.empty())
    std::printf("清单 %s: %s\n", s.manifestPath.c_str(), raw::ManifestCountsText(s.manifest).c_str());
  else if (!s.manifestError.empty())
    std::fprintf(stderr, "orvaldi: no manifest was written: %s\n", s.manifestError.c_str());
}

void AddVerifyCommand(CLI::App& app, int& exitCode) {
  auto* cmd = app.add_subcommand(
      "verify",
      "Re-check a recovery target against its manifest: every listed file present, of its size and sha256, "
      "intact, and passing its content check again");
  auto where = std::make_shared<std::string>();
  cmd->add_option("DIR", *where, "Target folder (its manifest.jsonl is read), or a manifest file")->required();
  cmd->footer(
      "Exit codes: 0 every listed file present, unchanged and intact; 1 the manifest cannot be read; 6 files\n"
      "unchanged but partial, unverified, or failing their content check, or the save did not finish; 7 files\n"
      "missing or changed, or lines of the manifest that cannot be taken.");
  cmd->callback([where, &exitCode] { exitCode = RunVerify(*where); });
}

}  // namespace orvaldi::cli
