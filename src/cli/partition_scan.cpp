// Messages and exit codes for opening a partition from the command line.
#include "cli/partition_scan.h"

#include <cstdio>

#include <CLI/CLI.hpp>

#include "cli/console_progress.h"
#include "cli/exit_codes.h"
#include "cli/result_options.h"
#include "ops/file_ops.h"

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
                            const ops::SourceOptions& options, OpenedForCommand& out, const MapOption* map) {
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
  const ops::ScanMode scanMode = mode == "search" ? ops::ScanMode::kSearch
                                 : mode == "deep" ? ops::ScanMode::kDeep
                                                  : ops::ScanMode::kWalk;
  disk::PartitionInfo& part = out.source.partition();
  {
    platform::ProgressBlock progress;
    ConsoleProgress bar(progress);
    progress.setSink(&bar);
    out.opened = ops::OpenPartition(*out.source.disk, part, scanMode, progress);
  }
  ops::DropCarvedDuplicates(*out.source.disk, out.opened);
  return OpenExitCode(out.opened, part, scanMode);
}

int OpenFileForCommand(const std::string& source, const std::string& which, const std::string& mode,
                       const ops::SourceOptions& options, const std::string& path, OpenedForCommand& out,
                       fs::NodeRef& file) {
  if (const int code = OpenPartitionForCommand(source, which, mode, options, out); code != kExitOk) return code;
  file = ops::ResolveFile(out.opened.tops, path);
  if (file) return kExitOk;
  std::fprintf(stderr, "orvaldi: no file \"%s\" in partition %s (paths as 'orvaldi ls' prints them)\n", path.c_str(),
               out.source.partition().name.c_str());
  return kExitUsage;
}

}  // namespace orvaldi::cli
