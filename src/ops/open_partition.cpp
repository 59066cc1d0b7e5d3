// OpenPartition: one entry to the FAT and NTFS readers.
#include "ops/open_partition.h"

#include <algorithm>

#include "disk/volume_source.h"
#include "fs/fat_reader.h"
#include "fs/fat_state.h"
#include "fs/ntfs_reader.h"
#include "fs/ntfs_search.h"
#include "fs/ntfs_state.h"
#include "platform/text.h"

namespace orvaldi::ops {
namespace {

void OpenNtfs(platform::SectorSource& source, disk::DiskInfo& disk, disk::PartitionInfo& part, ScanMode mode,
              platform::ProgressBlock& progress, OpenedPartition& out) {
  const bool ok = mode == ScanMode::kDeep ? fs::SearchNtfsVolume(&source, disk, part, progress)
                                          : fs::ScanNtfsVolume(&source, disk, part, progress);
  const fs::NtfsScanState* state = fs::FindNtfsState(part);
  if (!ok || !state) {
    out.status = OpenStatus::kNoVolume;
    return;
  }
  for (const auto& problem : state->readProblems)
    out.readProblems.push_back({problem.where, problem.sector, problem.standIn, problem.pastEnd});
  out.status = out.readProblems.empty() ? OpenStatus::kOk : OpenStatus::kPartial;
  out.tops = {fs::NodeRef(&state->root), fs::NodeRef(&state->orphans)};
  if (!state->extension.children.empty()) out.tops.emplace_back(&state->extension);
  out.carvedDuplicates = state->carvedDuplicates;
}

void OpenFat(platform::SectorSource& source, disk::DiskInfo& disk, disk::PartitionInfo& part, ScanMode mode,
             platform::ProgressBlock& progress, OpenedPartition& out) {
  const bool ready = fs::ScanFatVolume(&source, disk, part, out.family == disk::FsFamily::kFat32,
                                       mode == ScanMode::kSearch ? fs::FatMode::kSearch : fs::FatMode::kWalk, progress);
  const fs::FatScanState* state = fs::FindFatState(part);
  // False when no usable geometry was found: an empty tree then is no
  // listing of the volume.
  if (!ready || !state) {
    out.status = OpenStatus::kNoVolume;
    return;
  }
  for (const auto& problem : state->readProblems)
    out.readProblems.push_back({problem.where, problem.sector, {}, false});
  out.unreadableFatSectors = state->unreadableFatSectors;
  out.status = out.readProblems.empty() ? OpenStatus::kOk : OpenStatus::kPartial;
  out.tops = {fs::NodeRef(&state->root), fs::NodeRef(&state->orphans)};
  if (!state->thirdTop.children.empty()) out.tops.emplace_back(&state->thirdTop);
}

}  // namespace

OpenedPartition OpenPartition(disk::DiskInfo& disk, disk::PartitionInfo& partition, ScanMode mode,
                              platform::ProgressBlock& progress) {
  OpenedPartition out;
  out.family = disk::FamilyOf(partition.typeByte);
  const bool ntfs = out.family == disk::FsFamily::kNtfs;
  // Deep is the NTFS reader's sector search, search the FAT reader's.
  if ((mode == ScanMode::kDeep && !ntfs) || (mode == ScanMode::kSearch && ntfs)) {
    out.status = OpenStatus::kWrongMode;
    return out;
  }
  if (!ntfs && !disk::IsFat(out.family)) {
    out.status = OpenStatus::kNotAFileSystem;
    return out;
  }
  // A partition scanned before is emptied first: the readers add to what
  // its tree holds.
  if (ntfs) {
    if (auto* state = partition.reader.get<fs::NtfsScanState>()) state->clearForRescan();
  } else {
    fs::EmptyFatResults(partition);
  }
  // The readers read the partition through this one source, whatever volume
  // it lives on.
  const disk::OpenedVolume volume = disk::OpenVolumeSource(disk, partition);
  if (!volume.source) {
    out.status = OpenStatus::kNoVolume;
    out.sourceError = volume.outcome.message;
    return out;
  }
  if (ntfs) {
    OpenNtfs(*volume.source, disk, partition, mode, progress, out);
  } else {
    OpenFat(*volume.source, disk, partition, mode, progress, out);
  }
  if (out.status == OpenStatus::kNoVolume) out.sourceError = disk::VolumeReadFailure(*volume.source);
  // What a cancelled scan found stays on the tops, but is not the whole tree.
  if (progress.cancelled()) out.status = OpenStatus::kCancelled;
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
