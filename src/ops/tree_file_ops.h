// Saving a partition's scanned tree to a file and putting it back on the
// partition record later, instead of scanning again.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "disk/disk_info.h"
#include "ops/open_partition.h"

namespace orvaldi::ops {

// "walk", "search" or "deep", as the command line names the modes.
const char* ModeName(ScanMode mode);

struct TreeSave {
  bool ok = false;
  std::string error;  // one line when not ok
  uint64_t bytes = 0;
};

// Writes the tree the last scan (with `mode`) left on `partition` to `path`,
// with what identifies the disk, the partition and its volume. A file that
// could not be written whole is removed. Refused when `path` is the disk's
// own source.
TreeSave SavePartitionTree(const disk::DiskInfo& disk, const disk::PartitionInfo& partition, ScanMode mode,
                           const std::string& path);

enum class TreeLoadStatus : uint8_t {
  kOk,
  kCannotRead,      // the file could not be opened or read
  kDamaged,         // not a tree file, another version, cut short or corrupt
  kOtherPartition,  // saved from another disk, partition or volume
  kOtherMode,       // saved from a scan of another mode than the one asked for
};

struct TreeLoad {
  TreeLoadStatus status = TreeLoadStatus::kCannotRead;
  std::string message;              // one line unless kOk
  ScanMode mode = ScanMode::kWalk;  // the mode of the scan that made the tree
  OpenedPartition opened;           // with kOk: as the scan left it
};

// Reads `path` and, when it was saved from this partition of this disk (and
// from a scan of `mode` when one is asked for), puts its tree on the
// partition record in place of what the record held. Otherwise the record is
// unchanged.
TreeLoad LoadPartitionTree(disk::DiskInfo& disk, disk::PartitionInfo& partition, const std::string& path,
                           std::optional<ScanMode> mode = std::nullopt);

}  // namespace orvaldi::ops
