// What the FAT reader keeps on a partition record: the tree, its indexes and the FAT copy.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "disk/fat_entry.h"
#include "disk/partition_info.h"
#include "fs/scan_state.h"
#include "fs/scan_tree.h"

namespace orvaldi::fs {

// Threads: the one worker that scans the partition owns its state while the
// scan runs (nothing else may touch it then). Once the scan has returned, the
// state is read-only: trees, indexes and copies may be read from several
// threads at once (save workers, views) until the next rescan empties it.
struct FatScanState final : ScanState {
  FatNode root;      // "根目录"
  FatNode orphans;   // "零散目录"
  FatNode thirdTop;  // the third top node; the deleted-files view attaches it with the orphans
  std::multimap<uint32_t, FatNode*> liveIndex;     // first cluster -> existing nodes and "%d" folders
  std::multimap<uint32_t, FatNode*> deletedIndex;  // first cluster -> deleted nodes (and the orphan node)
  NameIndex<FatNode> nameIndex;                    // name -> nodes made by the directory parsers
  std::vector<uint8_t> fatCopy;                    // the first FAT: walk mode, or a sound one beside a list

  // FAT sectors (counted from the start of the first copy) that no copy of
  // the FAT could give. Their entries stay zero in `fatCopy`, so a chain that
  // reaches one is not known and must not be taken as whole. Sorted.
  std::vector<uint32_t> unreadableFatSectors;
  // Whether some copy of the FAT gave the sector holding `cluster`'s entry
  // in `entries` (a view of `fatCopy`): when none did, its zero says nothing.
  bool entryRead(const disk::FatEntries& entries, uint32_t cluster) const;

  // A folder cluster (or other structure) the scan could not read. The scan
  // goes on past it; what lay there is missing from the tree, and front ends
  // say so.
  struct ReadProblem {
    std::string where;    // the folder's path as listed ("根目录/DCIM"), or what was read
    uint64_t sector = 0;  // first unreadable sector, absolute on the disk
  };
  std::vector<ReadProblem> readProblems;

  FatScanState();
  FatScanState(const FatScanState&) = delete;
  FatScanState& operator=(const FatScanState&) = delete;
  // A deep copy: the trees are copied and every index entry is pointed at the copy.
  std::unique_ptr<disk::ReaderState> clone() const override;

  // Empties the trees, every index and the FAT copy before a rescan.
  void clearForRescan();
  // The same, and the FAT size is forgotten unless another search set it
  // (origin other than the table).
  void clearResults(disk::PartitionInfo& partition) override;
  // "根目录", "零散目录", and the third top node when it holds anything.
  ScanSummary summary() const override;
};

// The partition's FAT state, created on first use.
FatScanState& FatStateOf(disk::PartitionInfo& partition);
const FatScanState* FindFatState(const disk::PartitionInfo& partition);

// Empties a partition's FAT results before it is scanned again; the FAT size
// is forgotten too unless another search set it (origin other than 0).
void EmptyFatResults(disk::PartitionInfo& partition);

}  // namespace orvaldi::fs
