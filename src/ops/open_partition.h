// Opening a partition: scanning it with the reader its type calls for and
// saying what came of it, whatever the file system.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "disk/disk_info.h"
#include "disk/fs_family.h"
#include "fs/node_view.h"
#include "fs/ntfs_search.h"
#include "platform/progress.h"
#include "platform/sector_source.h"

namespace orvaldi::ops {

enum class ScanMode : uint8_t {
  kWalk,    // the tree from the root (FAT) or the MFT (NTFS)
  kSearch,  // every cluster for folders (FAT)
  kDeep,    // every sector for records and known files (NTFS)
};

enum class OpenStatus : uint8_t {
  kOk,
  kPartial,         // opened, but part of the tree could not be read (see readProblems)
  kNoVolume,        // the reader found no volume it could read there
  kWrongMode,       // the mode is not one this family's reader has
  kNotAFileSystem,  // the partition's type is none the readers take
  kCancelled,
};

// A folder cluster (or other structure) the scan could not read; what lay
// there is missing from the tree.
struct ReadProblem {
  std::string where;    // the folder's path as listed ("根目录/DCIM"), or what was read
  uint64_t sector = 0;  // first unreadable sector, absolute on the disk
  // Set when another copy gave what the sector held (its name, "$MFTMirr"):
  // nothing is missing from the tree, but the disk is failing there.
  std::string standIn;
  bool pastEnd = false;  // the sector lies beyond the end of the source
  bool damaged = false;  // read, but what it holds is damaged (`where` says what)
};

struct OpenedPartition {
  OpenStatus status = OpenStatus::kNotAFileSystem;
  disk::FsFamily family = disk::FsFamily::kOther;
  // The top folders in listing order: "根目录", "零散目录", then the third
  // top node or "扩展目录" when they hold anything.
  std::vector<fs::NodeRef> tops;
  std::vector<ReadProblem> readProblems;
  // FAT sectors (from the start of the first copy) that no copy could give:
  // files chained through them are not whole. Sorted.
  std::vector<uint32_t> unreadableFatSectors;
  // Start sectors of carved files the scan found as files of the volume
  // (NTFS records). They are still in the disk's carved folder: the caller
  // drops them with DropCarvedDuplicates where it may change the disk's
  // records (a window may be showing that folder while the scan runs).
  std::vector<uint64_t> carvedDuplicates;
  // With kNoVolume: why the partition's source could not be opened or read
  // (a member disk of a volume that cannot be opened, or is missing), when
  // that is known; empty when the source read well but held no volume.
  std::string sourceError;
};

// Scans `partition` of `disk`, leaving the tree on the partition record
// (the tops point into it until the next scan of that partition).
// `deep`: the checkpoints of a deep search (kDeep only).
OpenedPartition OpenPartition(disk::DiskInfo& disk, disk::PartitionInfo& partition, ScanMode mode,
                              platform::ProgressBlock& progress, const fs::DeepSearchCheckpoints* deep = nullptr);

// What the scan state on `partition` holds, as OpenPartition says it after
// its scan (kOk or kPartial); kNoVolume when the record holds no state.
OpenedPartition ResultOnRecord(const disk::PartitionInfo& partition);

// The same scan through `source` instead of the one the partition's disk
// opens (a copy being made of it).
OpenedPartition ScanPartitionOn(platform::SectorSource& source, disk::DiskInfo& disk, disk::PartitionInfo& partition,
                                ScanMode mode, platform::ProgressBlock& progress,
                                const fs::DeepSearchCheckpoints* deep = nullptr);

// The read problems that bear on what `paths` select (paths as the listing
// prints them; none selects the whole partition): those of a selected
// folder or of one below it, and those not named by a folder path, which
// may lie anywhere in the tree. A problem of a folder above a selected one
// does not bear on it: what was selected was found.
std::vector<ReadProblem> ProblemsWithin(const OpenedPartition& opened, const std::vector<std::string>& paths);

// Removes `opened.carvedDuplicates` from the disk's carved folder, so that a
// file is not listed twice; returns how many carved files went.
size_t DropCarvedDuplicates(disk::DiskInfo& disk, const OpenedPartition& opened);

}  // namespace orvaldi::ops
