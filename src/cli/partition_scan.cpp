// Messages and exit codes for opening a partition from the command line.
#include "cli/partition_scan.h"

#include <chrono>
#include <cstdio>
#include <optional>

#include <CLI/CLI.hpp>

#include "cli/console_progress.h"
#include "cli/exit_codes.h"
#include "cli/result_options.h"
#include "ops/deep_checkpoint.h"
#include "ops/file_ops.h"
#include "ops/tree_file_ops.h"

namespace orvaldi::cli {
namespace {

// What the scan could not read, one line each, so that a listing that
// lacks something never passes for whole.
void ReportReadProblems(const ops::OpenedPartition& opened) {
  for (const auto& problem : opened.readProblems) {
    const auto sector = static_cast<unsigned long long>(problem.sector);
    if (problem.damaged) {
      std::fprintf(stderr, "orvaldi: %s: sector %llu is damaged; what it held is not listed\n", problem.where.c_str(),
                   sector);
    } else if (!problem.standIn.empty()) {
      std::fprintf(stderr, "orvaldi: %s: sector %llu is unreadable or damaged; its copy in %s was used\n",
                   problem.where.c_str(), sector, problem.standIn.c_str());
    } else {
      std::fprintf(stderr, "orvaldi: %s: sector %llu %s; what it held is not listed\n", problem.where.c_str(), sector,
                   problem.pastEnd ? "lies beyond the end of the source" : "could not be read");
    }
  }
  const auto& fat = opened.unreadableFatSectors;
  if (!fat.empty())
    std::fprintf(stderr,
                 "orvaldi: %zu sector(s) of the FAT could not be read from any copy (the first is FAT sector %u); "
                 "files whose clusters they chain are not intact\n",
                 fat.size(), fat.front());
}

int OpenExitCode(const ops::OpenedPartition& opened, const disk::PartitionInfo& part, ops::ScanMode mode) {
  switch (opened.status) {
    case ops::OpenStatus::kOk:
    case ops::OpenStatus::kPartial:
      ReportReadProblems(opened);
      return kExitOk;
    case ops::OpenStatus::kWrongMode:
      std::fprintf(stderr, mode == ops::ScanMode::kDeep
                               ? "orvaldi: --mode deep is for NTFS partitions; use --mode search on FAT\n"
                               : "orvaldi: --mode search is for FAT partitions; use --mode deep on NTFS\n");
      return kExitUsage;
    case ops::OpenStatus::kNotAFileSystem:
      std::fprintf(stderr, "orvaldi: partition %s (type 0x%02X) holds no FAT16, FAT32, NTFS or exFAT volume\n",
                   part.name.c_str(), part.typeByte);
      return kExitCorrupt;
    case ops::OpenStatus::kNoVolume:
      std::fprintf(stderr, "orvaldi: no %s volume could be read in partition %s\n",
                   opened.family == disk::FsFamily::kNtfs    ? "NTFS"
                   : opened.family == disk::FsFamily::kExfat ? "exFAT"
                                                             : "FAT",
                   part.name.c_str());
      // A volume read from member disks: say which one failed.
      if (part.volumeKind != disk::VolumeKind::kPlain && !opened.sourceError.empty()) {
        std::fprintf(stderr, "orvaldi: %s\n", opened.sourceError.c_str());
        return kExitSource;
      }
      return kExitCorrupt;
    case ops::OpenStatus::kCancelled:
      return kExitCancelled;
  }
  return kExitInternal;
}

}  // namespace

void AddOpenModeOption(CLI::App* cmd, std::string& mode) {
  cmd->add_option("--mode", mode, "How the partition is read first: walk, search (FAT) or deep (NTFS), as for ls")
      ->check(CLI::IsMember({"walk", "search", "deep"}));
}

void AddTreeFileOptions(CLI::App* cmd, TreeFileOptions& options) {
  auto* save = cmd->add_option("--save-tree", options.saveFile,
                               "Save the partition's tree to this file after the scan, for --load-tree");
  cmd->add_option("--load-tree", options.loadFile,
                  "Read the partition's tree from this file (saved by --save-tree from the same partition) "
                  "instead of scanning; --mode, when given, must be the mode it was saved from")
      ->excludes(save);
}

void AddDeepCheckpointOptions(CLI::App* cmd, DeepCheckpointFlags& flags) {
  AddCheckpointOptions(cmd, flags,
                       "--mode deep: keep FILE up to date with the search's position and finds (every few seconds, "
                       "on Ctrl-C and at the end), so that a stopped search can be taken up with --resume; not on "
                       "SOURCE",
                       "--mode deep: go on from the checkpoint FILE of a stopped search of the same partition; the "
                       "listing is that of a search never stopped");
}

void AddMapfileOption(CLI::App* cmd, MapOption& option) {
  cmd->add_option("--mapfile", option.path,
                  "Rescue map of the copy SOURCE is (from 'orvaldi image --mapfile' or GNU ddrescue): the areas it "
                  "does not mark finished (?, *, /, -) are taken as unreadable");
  cmd->add_option("--map-base", option.base,
                  "Where the map's position 0 lies: disk (byte 0 of SOURCE), partition (the first byte of PART), or "
                  "auto (default: from the map's length)")
      ->check(CLI::IsMember({"auto", "disk", "partition"}));
}

int OpenPartitionForCommand(const std::string& source, const std::string& which, const std::string& mode,
                            const ops::SourceOptions& options, OpenedForCommand& out, const TreeFileOptions& tree,
                            const DeepCheckpointFlags* deep, const MapOption* map) {
  if (deep && !deep->any()) deep = nullptr;
  if (deep && mode != "deep") {
    std::fprintf(stderr, "orvaldi: --checkpoint and --resume are for --mode deep\n");
    return kExitUsage;
  }
  if (deep && !tree.loadFile.empty()) {
    std::fprintf(stderr,
                 "orvaldi: --load-tree takes the place of the search; --checkpoint and --resume cannot go with it\n");
    return kExitUsage;
  }
  if (deep) {
    if (const int code = RefuseWriteOntoSource(source, deep->checkpoint); code != kExitOk) return code;
  }
  if (!tree.saveFile.empty())
    if (const int code = RefuseWriteOntoSource(source, tree.saveFile); code != kExitOk) return code;
  out.source = ops::LoadSource(source, which, options);
  if (const int code = LoadedSourceExitCode(out.source.status, out.source.error, out.source.resultNotes);
      code != kExitOk)
    return code;
  if (map && !map->path.empty()) {
    const ops::MapBase base = map->base == "disk"        ? ops::MapBase::kDisk
                              : map->base == "partition" ? ops::MapBase::kPartition
                                                         : ops::MapBase::kAuto;
    out.map = ops::LoadMapAreas(map->path, *out.source.disk, out.source.partition(), base);
    if (out.map.status != platform::Status::kOk) {
      std::fprintf(stderr, "orvaldi: %s\n", out.map.message.c_str());
      return kExitUsage;
    }
    out.source.disk->unreadableAreas = out.map.unread;
  }
  ops::ScanMode scanMode = mode == "search" ? ops::ScanMode::kSearch
                           : mode == "deep" ? ops::ScanMode::kDeep
                                            : ops::ScanMode::kWalk;
  disk::PartitionInfo& part = out.source.partition();
  ops::DeepCheckpointer checkpointer;
  if (deep) {
    if (!checkpointer.prepare(*out.source.disk, part, deep->settings())) {
      std::fprintf(stderr, "orvaldi: %s\n", checkpointer.error().c_str());
      return kExitUsage;
    }
  }
  if (!tree.loadFile.empty()) {
    ops::TreeLoad loaded = ops::LoadPartitionTree(*out.source.disk, part, tree.loadFile,
                                                  tree.modeGiven ? std::optional(scanMode) : std::nullopt);
    switch (loaded.status) {
      case ops::TreeLoadStatus::kOk:
        break;
      case ops::TreeLoadStatus::kCannotRead:
        std::fprintf(stderr, "orvaldi: %s\n", loaded.message.c_str());
        return kExitSource;
      // Not a tree file, or one made for another partition: the command
      // line's fault, as a scan result of another disk is.
      case ops::TreeLoadStatus::kDamaged:
      case ops::TreeLoadStatus::kOtherPartition:
      case ops::TreeLoadStatus::kOtherMode:
        std::fprintf(stderr, "orvaldi: %s\n", loaded.message.c_str());
        return kExitUsage;
    }
    out.opened = std::move(loaded.opened);
    scanMode = loaded.mode;
  } else {
    platform::ProgressBlock progress;
    ConsoleProgress bar(progress);
    progress.setSink(&bar);
    std::optional<InterruptCancels> interrupt;
    if (deep) interrupt.emplace(progress);
    out.opened = ops::OpenPartition(*out.source.disk, part, scanMode, progress, checkpointer.checkpoints());
  }
  ops::DropCarvedDuplicates(*out.source.disk, out.opened);
  const int code = OpenExitCode(out.opened, part, scanMode);
  if (const std::string why = checkpointer.writeError(); !why.empty()) {
    std::fprintf(stderr, "orvaldi: %s\n", why.c_str());
    if (code == kExitOk) return kExitSource;
  }
  if (code == kExitOk && !tree.saveFile.empty()) {
    const ops::TreeSave saved = ops::SavePartitionTree(*out.source.disk, part, scanMode, tree.saveFile);
    if (!saved.ok) {
      std::fprintf(stderr, "orvaldi: tree not saved: %s\n", saved.error.c_str());
      return kExitSource;
    }
    std::fprintf(stderr, "orvaldi: tree saved to %s\n", tree.saveFile.c_str());
  }
  return code;
}

int OpenFileForCommand(const std::string& source, const std::string& which, const std::string& mode,
                       const ops::SourceOptions& options, const std::string& path, OpenedForCommand& out,
                       fs::NodeRef& file, const TreeFileOptions& tree) {
  if (const int code = OpenPartitionForCommand(source, which, mode, options, out, tree); code != kExitOk) return code;
  file = ops::ResolveFile(out.opened.tops, path);
  if (file) return kExitOk;
  std::fprintf(stderr, "orvaldi: no file \"%s\" in partition %s (paths as 'orvaldi ls' prints them)\n", path.c_str(),
               out.source.partition().name.c_str());
  return kExitUsage;
}

}  // namespace orvaldi::cli
