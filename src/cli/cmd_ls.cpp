// `orvaldi ls SOURCE PART`: the files and folders of a FAT or NTFS partition, existing and deleted.
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "cli/commands.h"
#include "cli/console_progress.h"
#include "cli/exit_codes.h"
#include "cli/node_rows.h"
#include "cli/partition_scan.h"
#include "cli/result_options.h"
#include "disk/volume_source.h"
#include "fs/node_extents.h"
#include "fs/node_view.h"
#include "ops/carved_names.h"

namespace orvaldi::cli {
namespace {

struct LsOptions {
  std::string source;
  std::string partition;
  std::string mode = "walk";
  bool json = false;
  bool deletedOnly = false;
  bool existingOnly = false;
  bool noStreams = false;
  bool carved = false;
  MapOption map;
  ResultOptions result;
  TreeFileOptions tree;
  DeepCheckpointFlags deep;
};

class TreePrinter {
 public:
  explicit TreePrinter(const LsOptions& options) : options_(options), rows_(options.json) {}

  // Marks the files that lie in `map`'s unread areas, finding where they
  // lie through `source`.
  void markDamage(platform::SectorSource* source, const disk::PartitionInfo& partition, const ops::MapAreas& map) {
    finder_.emplace(source, partition);
    map_ = &map;
    rows_.showDamageColumn();
  }
  size_t damagedFiles() const { return damagedFiles_; }

  void print(const fs::NodeRef& node, const std::string& parentPath, const fs::NodeRef& parent, int depth) {
    const std::string& name = node.name();
    const uint8_t flags = node.flags();
    const std::string path = parentPath.empty() ? name : parentPath + "/" + name;
    const bool deleted = fs::IsDeletedKind(flags);
    if (options_.noStreams && node.isStream()) return;
    const bool shown = !(options_.deletedOnly && !deleted) && !(options_.existingOnly && deleted);
    if (shown) {
      const std::string shownName =
          std::string(2 * static_cast<size_t>(depth), ' ') + name + (fs::IsFolderLike(flags) ? "/" : "");
      RowDamage damage;
      if (finder_ && node.isFileLike()) {
        const fs::NodeExtents extents = finder_->of(node, parent);
        const platform::ByteAreas& unread = *map_->unread;
        damage.mapBase = map_->base;
        damage.ranges = fs::TouchedAreas(extents, unread);
        for (const platform::ByteRange& r : extents.data) damage.data |= unread.firstTouched(r.begin, r.end) < r.end;
        for (const platform::ByteRange& r : extents.metadata)
          damage.metadata |= unread.firstTouched(r.begin, r.end) < r.end;
        if (damage.any()) ++damagedFiles_;
      }
      rows_.print(node, path, shownName, node.parentId(parent), &damage);
    }
    node.forEachChild([&](const fs::NodeRef& child) { print(child, path, node, depth + 1); });
  }

  void header(disk::FsFamily family) const { rows_.header(family); }

 private:
  const LsOptions& options_;
  NodeRowPrinter rows_;
  std::optional<fs::ExtentFinder> finder_;
  const ops::MapAreas* map_ = nullptr;
  size_t damagedFiles_ = 0;
};

int RunLs(const LsOptions& o) {
  OpenedForCommand open;
  if (const int code =
          OpenPartitionForCommand(o.source, o.partition, o.mode, o.result.source(), open, o.tree, &o.deep, &o.map);
      code != kExitOk)
    return code;
  TreePrinter printer(o);
  disk::OpenedVolume volume;
  if (open.map.unread) {
    volume = disk::OpenVolumeSource(*open.source.disk, open.source.partition());
    if (!volume.source) {
      std::fprintf(stderr, "orvaldi: %s\n", volume.outcome.message.c_str());
      return kExitSource;
    }
    printer.markDamage(volume.source.get(), open.source.partition(), open.map);
  }
  printer.header(open.opened.family);
  for (const fs::NodeRef& top : open.opened.tops) printer.print(top, "", fs::NodeRef(), 0);
  if (o.carved) {
    // The carved files of a loaded scan result that start in the partition,
    // as the partition window shows them, with the names the records give.
    disk::DiskInfo& d = *open.source.disk;
    const disk::PartitionInfo& part = open.source.partition();
    platform::ProgressBlock progress;
    ConsoleProgress bar(progress);
    progress.setSink(&bar);
    InterruptCancels interrupt(progress);
    const ops::CarvedNaming naming = ops::NameCarvedFiles(d, progress, part.startSector, part.sectorCount);
    bar.finish();
    if (naming.cancelled) return kExitCancelled;
    const fs::NodeRef folder = fs::NodeRef::CarvedFolder(&d.extraFoundFolder, part.startSector, part.sectorCount);
    if (folder.hasChildren()) printer.print(folder, "", fs::NodeRef(), 0);
  }
  if (open.map.unread) {
    std::fprintf(stderr, "orvaldi: %zu file(s) lie in part in areas the map marks not read (%llu bytes of them)\n",
                 printer.damagedFiles(), static_cast<unsigned long long>(open.map.unread->bytes()));
    if (printer.damagedFiles() > 0) return kExitIncomplete;
  }
  return open.partial() ? kExitIncomplete : kExitOk;
}

}  // namespace

void AddLsCommand(CLI::App& app, int& exitCode) {
  auto* cmd = app.add_subcommand(
      "ls", "List the files and folders of a FAT16, FAT32, NTFS or exFAT partition, deleted ones too");
  auto o = std::make_shared<LsOptions>();
  cmd->add_option("SOURCE", o->source, "Disk image file or block device")->required();
  cmd->add_option("PART", o->partition, "Partition: index or name as 'orvaldi parts' shows it, or mount point")
      ->required();
  cmd->add_option("--mode", o->mode,
                  "walk: follow the tree from the root (FAT) or the MFT (NTFS); search: look at "
                  "every cluster for folders (formatted or damaged FAT volumes); deep: look at "
                  "every sector for file records, documents and pictures (formatted or damaged "
                  "NTFS volumes)")
      ->check(CLI::IsMember({"walk", "search", "deep"}));
  cmd->add_flag("--json", o->json, "Print JSON Lines, one object per file or folder");
  AddLoadResultOption(cmd, o->result);
  AddTreeFileOptions(cmd, o->tree);
  AddDeepCheckpointOptions(cmd, o->deep);
  auto* deleted = cmd->add_flag("--deleted", o->deletedOnly, "Only deleted files and folders");
  cmd->add_flag("--existing", o->existingOnly, "Only existing files and folders")->excludes(deleted);
  cmd->add_flag("--no-streams", o->noStreams, "Leave out NTFS named data streams (listed as \"file:stream\")");
  AddMapfileOption(cmd, o->map);
  cmd->add_flag("--carved", o->carved,
                "Also list the carved files of the loaded scan result that start in the partition (\"Extra Found "
                "Files\"), each with the name and folder a file record gives it");
  cmd->callback([cmd, o, &exitCode] {
    o->tree.modeGiven = cmd->count("--mode") > 0;
    exitCode = RunLs(*o);
  });
}

}  // namespace orvaldi::cli
