// OpenPartition: one entry to the FAT and NTFS readers.
#include "ops/open_partition.h"

#include <algorithm>

#include "disk/volume_source.h"
#include "fs/exfat_reader.h"
#include "fs/fat_reader.h"
#include "fs/ntfs_reader.h"
#include "fs/ntfs_search.h"
#include "fs/scan_state.h"
#include "platform/text.h"

namespace orvaldi::ops {
namespace {

using ScanFn = bool (*)(platform::SectorSource&, disk::DiskInfo&, disk::PartitionInfo&, ScanMode,
                        platform::ProgressBlock&);

// Each reader once: the family it reads, the modes it has, its scan. Deep is
// the NTFS reader's sector search, search the FAT reader's. The scan reads
// the partition through the one source opened for it, and returns false when
// no usable volume was found: an empty tree then is no listing of the volume.
struct FamilyReader {
  disk::FsFamily family;
  bool search;
  bool deep;
  ScanFn scan;
};

constexpr FamilyReader kReaders[] = {
    {disk::FsFamily::kFat16, true, false,
     [](platform::SectorSource& source, disk::DiskInfo& disk, disk::PartitionInfo& part, ScanMode mode,
        platform::ProgressBlock& progress) {
       return fs::ScanFatVolume(&source, disk, part, false,
                                mode == ScanMode::kSearch ? fs::FatMode::kSearch : fs::FatMode::kWalk, progress);
     }},
    {disk::FsFamily::kFat32, true, false,
     [](platform::SectorSource& source, disk::DiskInfo& disk, disk::PartitionInfo& part, ScanMode mode,
        platform::ProgressBlock& progress) {
       return fs::ScanFatVolume(&source, disk, part, true,
                                mode == ScanMode::kSearch ? fs::FatMode::kSearch : fs::FatMode::kWalk, progress);
     }},
    {disk::FsFamily::kNtfs, false, true,
     [](platform::SectorSource& source, disk::DiskInfo& disk, disk::PartitionInfo& part, ScanMode mode,
        platform::ProgressBlock& progress) {
       return mode == ScanMode::kDeep ? fs::SearchNtfsVolume(&source, disk, part, progress)
                                      : fs::ScanNtfsVolume(&source, disk, part, progress);
     }},
    {disk::FsFamily::kExfat, false, false,
     [](platform::SectorSource& source, disk::DiskInfo& disk, disk::PartitionInfo& part, ScanMode,
        platform::ProgressBlock& progress) { return fs::ScanExfatVolume(&source, disk, part, progress); }},
};

const FamilyReader* ReaderFor(disk::FsFamily family) {
  for (const FamilyReader& reader : kReaders)
    if (reader.family == family) return &reader;
  return nullptr;
}

}  // namespace

OpenedPartition OpenPartition(disk::DiskInfo& disk, disk::PartitionInfo& partition, ScanMode mode,
                              platform::ProgressBlock& progress, const fs::DeepSearchCheckpoints* deep) {
  OpenedPartition out;
  out.family = disk::FamilyOf(partition.typeByte);
  const FamilyReader* reader = ReaderFor(out.family);
  if (!reader) {
    // The deep search is the NTFS reader's alone: asked of any other
    // partition it is the wrong mode.
    out.status = mode == ScanMode::kDeep ? OpenStatus::kWrongMode : OpenStatus::kNotAFileSystem;
    return out;
  }
  if ((mode == ScanMode::kDeep && !reader->deep) || (mode == ScanMode::kSearch && !reader->search)) {
    out.status = OpenStatus::kWrongMode;
    return out;
  }
  // A partition scanned before is emptied first: the readers add to what
  // its tree holds.
  if (auto* state = partition.reader.get<fs::ScanState>()) state->clearResults(partition);
  // The readers read the partition through this one source, whatever volume
  // it lives on.
  const disk::OpenedVolume volume = disk::OpenVolumeSource(disk, partition);
  if (!volume.source) {
    out.status = OpenStatus::kNoVolume;
    out.sourceError = volume.outcome.message;
    return out;
  }
  return ScanPartitionOn(*volume.source, disk, partition, mode, progress, deep);
}

OpenedPartition ScanPartitionOn(platform::SectorSource& source, disk::DiskInfo& disk, disk::PartitionInfo& partition,
                                ScanMode mode, platform::ProgressBlock& progress,
                                const fs::DeepSearchCheckpoints* deep) {
  OpenedPartition out;
  out.family = disk::FamilyOf(partition.typeByte);
  const FamilyReader* reader = ReaderFor(out.family);
  if (!reader || (mode == ScanMode::kDeep && !reader->deep) || (mode == ScanMode::kSearch && !reader->search)) {
    out.status = reader ? OpenStatus::kWrongMode : OpenStatus::kNotAFileSystem;
    return out;
  }
  if (auto* state = partition.reader.get<fs::ScanState>()) state->clearResults(partition);
  const bool ready = deep && mode == ScanMode::kDeep ? fs::SearchNtfsVolume(&source, disk, partition, progress, deep)
                                                     : reader->scan(source, disk, partition, mode, progress);
  if (!ready || !partition.reader.get<fs::ScanState>()) {
    out.status = OpenStatus::kNoVolume;
    out.sourceError = disk::VolumeReadFailure(source);
    return out;
  }
  out = ResultOnRecord(partition);
  // What a cancelled scan found stays on the tops, but is not the whole tree.
  if (progress.cancelled()) out.status = OpenStatus::kCancelled;
  return out;
}

OpenedPartition ResultOnRecord(const disk::PartitionInfo& partition) {
  OpenedPartition out;
  out.family = disk::FamilyOf(partition.typeByte);
  const auto* state = partition.reader.get<fs::ScanState>();
  if (!state) {
    out.status = OpenStatus::kNoVolume;
    return out;
  }
  fs::ScanSummary summary = state->summary();
  for (fs::ScanProblem& problem : summary.problems)
    out.readProblems.push_back(
        {std::move(problem.where), problem.sector, std::move(problem.standIn), problem.pastEnd, problem.damaged});
  out.status = out.readProblems.empty() ? OpenStatus::kOk : OpenStatus::kPartial;
  out.tops = std::move(summary.tops);
  out.unreadableFatSectors = std::move(summary.unreadableFatSectors);
  out.carvedDuplicates = std::move(summary.carvedDuplicates);
  return out;
}

std::vector<ReadProblem> ProblemsWithin(const OpenedPartition& opened, const std::vector<std::string>& paths) {
  if (paths.empty()) return opened.readProblems;
  std::vector<std::vector<std::string>> selected;
  for (const std::string& path : paths) selected.push_back(platform::SplitNonEmpty(path, '/'));
  std::vector<ReadProblem> out;
  for (const ReadProblem& problem : opened.readProblems) {
    const std::vector<std::string> where = platform::SplitNonEmpty(problem.where, '/');
    bool placed = false;
    for (const fs::NodeRef& top : opened.tops) placed |= !where.empty() && top.name() == where.front();
    bool within = !placed;
    for (const auto& pieces : selected) {
      within |=
          !pieces.empty() && where.size() >= pieces.size() && std::equal(pieces.begin(), pieces.end(), where.begin());
    }
    if (within) out.push_back(problem);
  }
  return out;
}

size_t DropCarvedDuplicates(disk::DiskInfo& disk, const OpenedPartition& opened) {
  size_t dropped = 0;
  for (uint64_t start : opened.carvedDuplicates) dropped += disk.extraFoundFolder.children.erase(start);
  return dropped;
}

}  // namespace orvaldi::ops
