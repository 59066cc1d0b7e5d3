// What the exFAT reader keeps on a partition record: the tree, the geometry, the FAT and the bitmap.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "disk/partition_info.h"
#include "fs/scan_state.h"
#include "fs/scan_tree.h"

namespace orvaldi::fs {

// Where the volume's parts lie, in 512-byte sectors absolute on the source
// (the volume's own sectors may be larger).
struct ExfatGeometry {
  uint32_t bytesPerSector = 512;
  uint64_t heapSector = 0;      // cluster 2
  uint64_t clusterSectors = 0;  // 512-byte sectors per cluster
  uint32_t clusterCount = 0;
  uint32_t rootCluster = 0;
  uint64_t fatSector = 0;  // the first FAT
  uint64_t fatBytes = 0;

  uint64_t clusterBytes() const { return clusterSectors * 512; }
  bool isCluster(uint64_t c) const { return c >= 2 && c - 2 < clusterCount; }
  uint64_t clusterSector(uint32_t c) const { return heapSector + uint64_t{c - 2} * clusterSectors; }
};

// Threads: as FatScanState, written by the one scanning worker and read-only
// once the scan has returned.
struct ExfatScanState final : ScanState {
  ExfatNode root;  // "根目录"
  ExfatGeometry geometry;
  std::vector<uint32_t> fat;      // entries by cluster; empty when it could not be sized
  std::vector<uint8_t> fatKnown;  // per FAT entry: 1 when its sector was read
  std::vector<uint8_t> bitmap;    // allocation bitmap, bit per cluster from cluster 2
  bool bitmapRead = false;        // the whole bitmap was read
  std::vector<ScanProblem> problems;

  ExfatScanState();
  ExfatScanState(const ExfatScanState&) = delete;
  ExfatScanState& operator=(const ExfatScanState&) = delete;
  std::unique_ptr<disk::ReaderState> clone() const override;
  void clearResults(disk::PartitionInfo&) override;
  ScanSummary summary() const override;

  // Whether the bitmap gives `cluster` to a file; true when the bitmap is not known.
  bool inUse(uint32_t cluster) const;
  // The FAT's next cluster after `cluster`; nullopt when its entry was not read.
  std::optional<uint32_t> next(uint32_t cluster) const;
};

const ExfatScanState* FindExfatState(const disk::PartitionInfo& partition);

}  // namespace orvaldi::fs
