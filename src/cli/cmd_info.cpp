// `orvaldi info SOURCE`: a source's identity and the volumes its first sectors show.
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <vector>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/json_out.h"
#include "cli/result_options.h"
#include "disk/disk_list.h"
#include "disk/sector_io.h"
#include "ops/format.h"
#include "ops/source.h"
#include "ops/source_probe.h"

namespace orvaldi::cli {
namespace {

void PrintHuman(const disk::DiskInfo& d, const std::vector<ops::VolumeProbe>& probes) {
  std::printf("Source:    %s\n", disk::DisplayName(d).c_str());
  std::printf("Path:      %s\n", d.devicePath.c_str());
  if (!d.index.empty()) std::printf("Drive:     %s\n", d.index.c_str());
  if (!d.serialNumber.empty()) std::printf("Serial:    %s\n", d.serialNumber.c_str());
  std::printf("Size:      %s (%lld bytes, %lld sectors)\n", ops::SizeText(static_cast<uint64_t>(d.sizeBytes)).c_str(),
              static_cast<long long>(d.sizeBytes), static_cast<long long>(d.sizeBytes / disk::SectorSize));
  std::printf("Geometry:  %u cylinders, %u heads, %u sectors per track\n", d.cylinders, d.tracksPerCylinder,
              d.sectorsPerTrack);
  for (const auto& p : probes) {
    std::printf("%-13s", (p.role + ":").c_str());
    if (p.entryType >= 0)
      std::printf("sector %llu, type 0x%02X, %llu sectors (%s)", static_cast<unsigned long long>(p.sector), p.entryType,
                  static_cast<unsigned long long>(p.entrySectors),
                  ops::SizeText(p.entrySectors * disk::SectorSize).c_str());
    const char* sep = p.entryType >= 0 ? ": " : "";
    if (p.guess.fs.empty()) {
      std::printf("%sno volume recognised\n", sep);
    } else {
      std::printf("%s%s", sep, p.guess.fs.c_str());
      if (!p.guess.label.empty()) std::printf(", label \"%s\"", p.guess.label.c_str());
      std::printf("\n");
    }
  }
}

// What a loaded scan-result file brought: the probe above looks at the
// source's own sectors only.
nlohmann::json ResultJson(const disk::DiskInfo& d) {
  return {{"partitions", d.partitions.size()},
          {"carved", d.extraFoundFolder.children.size()},
          {"directorySectors", d.directorySectors.size()},
          {"mftRecordRuns", d.mftRecordRuns.size()}};
}

nlohmann::json ProbeJson(const ops::VolumeProbe& p) {
  nlohmann::json j = {{"role", p.role}, {"sector", p.sector}, {"fs", p.guess.fs}, {"label", p.guess.label}};
  if (p.entryType >= 0) {
    j["type"] = p.entryType;
    j["sectors"] = p.entrySectors;
  }
  return j;
}

int InfoOnMembers(const std::vector<std::string>& members, bool json) {
  nlohmann::json out = {{"members", nlohmann::json::array()}};
  int code = kExitOk;
  for (size_t i = 0; i < members.size(); ++i) {
    const ops::SourceProbe probe = ops::ProbeSource(members[i]);
    if (!probe.disk) {
      std::fprintf(stderr, "orvaldi: %s\n", probe.error.c_str());
      code = kExitSource;
      continue;
    }
    if (json) {
      nlohmann::json one = DiskJson(*probe.disk);
      one["volumes"] = nlohmann::json::array();
      for (const auto& p : probe.volumes) one["volumes"].push_back(ProbeJson(p));
      out["members"].push_back(std::move(one));
    } else {
      std::printf("%sMember %zu of %zu of the disk group\n", i ? "\n" : "", i + 1, members.size());
      PrintHuman(*probe.disk, probe.volumes);
    }
  }
  if (json) std::cout << out.dump(2) << "\n";
  return code;
}

}  // namespace

void AddInfoCommand(CLI::App& app, int& exitCode) {
  auto* cmd = app.add_subcommand("info", "Show a disk image or block device and the volumes its first sectors hold");
  auto path = std::make_shared<std::string>();  // kept alive by the callback below
  cmd->add_option("SOURCE", *path, "Disk image file or block device")->required();
  auto json = std::make_shared<bool>(false);
  cmd->add_flag("--json", *json, "Print one JSON object instead of text");
  auto result = std::make_shared<ResultOptions>();
  AddLoadResultOption(cmd, *result);
  cmd->callback([path, json, result, &exitCode] {
    // A dynamic disk group has no sectors of its own: each member disk is
    // described as it is.
    if (const auto members = ops::SourcePaths(*path); members.size() > 1) {
      exitCode = InfoOnMembers(members, *json);
      return;
    }
    std::optional<disk::DiskInfo> loaded;
    if (!result->loadFile.empty()) {
      ops::LoadedDisk l = ops::LoadDisk(*path, result->source());
      if (const int code = LoadedSourceExitCode(l.status, l.error, l.resultNotes); code != kExitOk) {
        exitCode = code;
        return;
      }
      loaded = std::move(l.disk);
    }
    const ops::SourceProbe probe = ops::ProbeSource(*path, result->sectorSize);
    if (!probe.disk) {
      std::fprintf(stderr, "orvaldi: %s\n", probe.error.c_str());
      exitCode = kExitSource;
      return;
    }
    const disk::DiskInfo& d = probe.disk.value();
    const auto& probes = probe.volumes;
    if (*json) {
      nlohmann::json out = DiskJson(d);
      out["volumes"] = nlohmann::json::array();
      for (const auto& p : probes) out["volumes"].push_back(ProbeJson(p));
      if (loaded) out["scanResult"] = ResultJson(*loaded);
      std::cout << out.dump(2) << "\n";
    } else {
      PrintHuman(d, probes);
      if (loaded)
        std::printf("Scan result: %zu partitions, %zu carved files, %zu directory sectors, %zu MFT record runs\n",
                    loaded->partitions.size(), loaded->extraFoundFolder.children.size(),
                    loaded->directorySectors.size(), loaded->mftRecordRuns.size());
    }
    exitCode = kExitOk;
  });
}

}  // namespace orvaldi::cli
