// `orvaldi find SOURCE PART`: the files and folders of a partition whose name,
// extension or pattern matches, as `ls` prints them.
#include <cstdio>
#include <memory>
#include <string>

#include "cli/commands.h"
#include "cli/console_progress.h"
#include "cli/exit_codes.h"
#include "cli/node_rows.h"
#include "cli/partition_scan.h"
#include "cli/result_options.h"
#include "fs/find_files.h"

namespace orvaldi::cli {
namespace {

struct FindOptions {
  std::string source;
  std::string partition;
  std::string mode = "walk";
  std::string name, extensions, pattern;
  bool exact = false;
  bool json = false;
  bool deletedOnly = false;
  bool existingOnly = false;
  bool filesOnly = false;
  bool foldersOnly = false;
  bool noStreams = false;
  ResultOptions result;
  TreeFileOptions tree;
};

fs::FindQuery QueryOf(const FindOptions& o, bool byName, bool byExtension) {
  fs::FindQuery q;
  q.by = byName ? fs::FindBy::kName : byExtension ? fs::FindBy::kExtension : fs::FindBy::kPattern;
  q.text = byName ? o.name : byExtension ? o.extensions : o.pattern;
  q.exact = o.exact;
  q.includeDeleted = !o.existingOnly;
  q.includeExisting = !o.deletedOnly;
  q.files = !o.foldersOnly;
  q.folders = !o.filesOnly;
  q.streams = !o.noStreams;
  return q;
}

int RunFind(const FindOptions& o, const fs::FindQuery& query) {
  if (fs::NameMatcher(query).empty()) {
    std::fprintf(stderr, "orvaldi: nothing to find: the %s is empty\n",
                 query.by == fs::FindBy::kName        ? "name"
                 : query.by == fs::FindBy::kExtension ? "extension list"
                                                      : "pattern list");
    return kExitUsage;
  }
  OpenedForCommand open;
  if (const int code = OpenPartitionForCommand(o.source, o.partition, o.mode, o.result.source(), open, o.tree);
      code != kExitOk)
    return code;
  fs::FindResult found;
  {
    platform::ProgressBlock progress;
    ConsoleProgress bar(progress);
    progress.setSink(&bar);
    InterruptCancels interrupt(progress);
    found = fs::FindFiles(open.opened.tops, query, progress);
  }
  NodeRowPrinter rows(o.json);
  if (!found.found.empty()) rows.header(open.opened.family);
  for (size_t i = 0; i < found.found.size(); ++i) {
    const fs::NodeRef& node = found.found[i].node;
    const std::string path = found.path(i);
    const size_t folder = found.found[i].folder;
    const fs::NodeRef parent = folder < found.folders.size() ? found.folders[folder].node : fs::NodeRef();
    rows.print(node, path, path + (node.isFolderLike() ? "/" : ""), node.parentId(parent));
  }
  if (found.status == fs::FindStatus::kCancelled) {
    std::fprintf(stderr, "orvaldi: interrupted; %zu matches found before the stop\n", found.found.size());
    return kExitCancelled;
  }
  // Finding nothing is an answer, not a failure: the exit code stays 0
  // (scripts tell by the empty output), but a person is told.
  if (found.found.empty()) std::fprintf(stderr, "orvaldi: no file or folder matches\n");
  // A tree that could not be read whole may lack matches.
  return open.partial() ? kExitIncomplete : kExitOk;
}

}  // namespace

void AddFindCommand(CLI::App& app, int& exitCode) {
  auto* cmd = app.add_subcommand(
      "find", "Find the files and folders of a FAT16, FAT32, NTFS or exFAT partition by name, extension or pattern");
  auto o = std::make_shared<FindOptions>();
  cmd->add_option("SOURCE", o->source, "Disk image file or block device")->required();
  cmd->add_option("PART", o->partition, "Partition: index or name as 'orvaldi parts' shows it, or mount point")
      ->required();
  auto* name = cmd->add_option("--name", o->name, "Names containing this text (case does not matter)");
  auto* ext = cmd->add_option("--ext", o->extensions,
                              "Extensions separated by ';' (\"txt; doc; xls\"), compared with the text after "
                              "the name's last dot");
  auto* pattern = cmd->add_option("--pattern", o->pattern,
                                  "Patterns separated by ';' (\"*r*me.t?t;*jp*\"): '*' any run of characters, "
                                  "'?' one character, matched against the whole name");
  name->excludes(ext)->excludes(pattern);
  ext->excludes(pattern);
  cmd->add_flag("--exact", o->exact, "With --name: the whole name, not a part of it")->needs(name);
  AddOpenModeOption(cmd, o->mode);
  cmd->add_flag("--json", o->json, "Print JSON Lines, one object per match, as ls --json does");
  AddLoadResultOption(cmd, o->result);
  AddTreeFileOptions(cmd, o->tree);
  auto* deleted = cmd->add_flag("--deleted", o->deletedOnly, "Only deleted files and folders");
  cmd->add_flag("--existing", o->existingOnly, "Only existing files and folders")->excludes(deleted);
  auto* files = cmd->add_flag("--files", o->filesOnly, "Only files");
  cmd->add_flag("--folders", o->foldersOnly, "Only folders")->excludes(files);
  cmd->add_flag("--no-streams", o->noStreams, "Leave out NTFS named data streams");
  cmd->footer(
      "Exactly one of --name, --ext and --pattern. Exit code 0 also when nothing matches (a note on stderr "
      "says so); 6 when the partition could not be read whole, as matches may be missing.");
  cmd->callback([cmd, o, name, ext, pattern, &exitCode] {
    if (name->count() + ext->count() + pattern->count() != 1)
      throw CLI::RequiredError("one of --name, --ext and --pattern");
    o->tree.modeGiven = cmd->count("--mode") > 0;
    exitCode = RunFind(*o, QueryOf(*o, name->count() > 0, ext->count() > 0));
  });
}

}  // namespace orvaldi::cli
