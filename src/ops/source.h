// Opening a source and picking the partition a command or a view names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "disk/disk_info.h"

namespace orvaldi::ops {

// The partition `which` names on `disk`: a decimal index as the partition
// list numbers them, else a partition name, else a mount point. Null (and a
// one-line reason in `error`) when none matches.
disk::PartitionInfo* SelectPartition(disk::DiskInfo& disk, const std::string& which, std::string& error);

enum class SourceStatus : uint8_t {
  kOk,
  kUnreadable,        // the image or device could not be opened or described
  kNoPartitions,      // the source holds no partition at all
  kNoSuchPartition,   // partitions there are, but none by that name
  kResultUnreadable,  // the scan-result file could not be opened or read
  kResultOtherDisk,   // the scan-result file was saved from another disk
};

struct SourceOptions {
  // A scan-result file to load onto the disk before a partition is picked:
  // its partitions replace the disk's, its scan by-products are added.
  std::string resultFile;
  // The disk's logical sector size when the operator names it (512, 1024,
  // 2048 or 4096); 0: the device's, or what the image's tables show.
  uint32_t sectorSize = 0;
};

// The images a SOURCE names: itself when it is an existing file or has no
// comma, else its comma-separated parts (the member disks of a dynamic
// volume).
std::vector<std::string> SourcePaths(const std::string& source);

struct LoadedDisk {
  SourceStatus status = SourceStatus::kUnreadable;
  std::string error;  // one line, for every status but kOk
  // The disk; for several images, the record of their dynamic disk group.
  // One image that is a dynamic disk carries its group's volumes after its
  // own partitions.
  std::optional<disk::DiskInfo> disk;
  std::vector<disk::DiskInfo> memberDisks;  // the group's disks as loaded, when `disk` is a group
  std::vector<std::string> resultNotes;     // records of the result file left out, one line each
};

// Loads `path` (one image, or a comma list of a dynamic group's disks) and,
// when asked, the scan-result file onto it. Never kNoPartitions or
// kNoSuchPartition.
LoadedDisk LoadDisk(const std::string& path, const SourceOptions& options = {});

struct LoadedSource {
  SourceStatus status = SourceStatus::kUnreadable;
  std::string error;  // one line, for every status but kOk
  std::optional<disk::DiskInfo> disk;
  std::vector<std::string> resultNotes;
  size_t partitionIndex = 0;
  disk::PartitionInfo& partition() { return disk->partitions[partitionIndex]; }
};

// Loads `path` as LoadDisk does and selects partition `which` on it.
LoadedSource LoadSource(const std::string& path, const std::string& which, const SourceOptions& options = {});

}  // namespace orvaldi::ops
