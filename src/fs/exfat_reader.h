// The exFAT reader: existing and deleted files and folders into the scan tree, and their data back out.
#pragma once

#include <cstdint>
#include <vector>

#include "disk/disk_info.h"
#include "fs/exfat_state.h"
#include "fs/extract.h"
#include "platform/progress.h"
#include "platform/sector_source.h"

namespace orvaldi::fs {

// Scans the partition into its ExfatScanState, reading `source` (the one
// disk::OpenVolumeSource gave). Returns false, having added nothing, when
// neither boot region gives a usable volume; true with what was found so far
// when cancelled.
bool ScanExfatVolume(platform::SectorSource* source, const disk::DiskInfo& disk, disk::PartitionInfo& partition,
                     platform::ProgressBlock& progress);

// Reads only the boot region, the FAT and the allocation bitmap of the
// volume `partition` names into `state`: true when the whole bitmap was read.
bool ReadExfatAllocation(platform::SectorSource* source, disk::PartitionInfo& partition, ExfatScanState& state);

// A stretch of clusters: first 512-byte sector (absolute) and byte length.
struct ExfatRun {
  uint64_t sector = 0;
  uint64_t bytes = 0;
};

// Where `node`'s first `bytes` bytes lie. `known` is cleared when they are
// not all known to be the node's: a chain that ends early or loops, a FAT
// entry that could not be read, a deleted file whose clusters are in use.
std::vector<ExfatRun> ExfatRunsOf(const ExfatScanState& state, const ExfatNode& node, uint64_t bytes, bool& known);

// Copies the first `length` bytes of `node`: what lies before its valid data
// length from the disk, zeros after it.
CopyResult CopyExfatData(platform::SectorSource* source, const disk::PartitionInfo& partition,
                         const ExfatScanState& state, const ExfatNode& node, uint64_t length, DataSink& sink,
                         const PieceFn& piece);

}  // namespace orvaldi::fs
