// What every reader's partition state answers, so that opening a partition
// need not ask which reader made it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "disk/partition_info.h"
#include "fs/node_view.h"

namespace orvaldi::fs {

// A structure the scan could not read; what lay there is missing from the tree.
struct ScanProblem {
  std::string where;     // the folder's path as listed, or what was read
  uint64_t sector = 0;   // first unreadable sector, absolute on the disk
  std::string standIn;   // another copy gave what the sector held: nothing is missing
  bool pastEnd = false;  // the sector lies beyond the end of the source
  // The sector was read but what it holds is damaged (an entry set whose
  // checksum fails): `where` says what.
  bool damaged = false;
};

// What a scan left, as the front ends show it.
struct ScanSummary {
  std::vector<NodeRef> tops;  // in listing order
  std::vector<ScanProblem> problems;
  // FAT sectors (from the start of the first copy) no copy could give. Sorted.
  std::vector<uint32_t> unreadableFatSectors;
  // Start sectors of carved files the scan found as files of the volume.
  std::vector<uint64_t> carvedDuplicates;
};

class ScanState : public disk::ReaderState {
 public:
  // Empties what an earlier scan left, before the partition is scanned again
  // (the readers add to what the tree holds).
  virtual void clearResults(disk::PartitionInfo& partition) = 0;
  virtual ScanSummary summary() const = 0;
};

}  // namespace orvaldi::fs
