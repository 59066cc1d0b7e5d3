// What the NTFS readers keep on a partition record: the tree, its indexes, the MFT runs.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "disk/partition_info.h"
#include "fs/ntfs_record.h"
#include "fs/scan_state.h"
#include "fs/scan_tree.h"

namespace orvaldi::fs {

// Threads: the one worker that scans the partition owns its state while the
// scan runs (nothing else may touch it then). Once the scan has returned, the
// state is read-only: trees, indexes and copies may be read from several
// threads at once (save workers, views) until the next rescan empties it.
struct NtfsScanState final : ScanState {
  NtfsNode root;       // "根目录", record 5
  NtfsNode orphans;    // "零散目录", record 2
  NtfsNode extension;  // "扩展目录", record 1 (the sector searches fill it)
  NumberIndex<NtfsNode> numberIndex;
  std::multimap<uint64_t, NtfsNode*> secondaryIndex;
  NameIndex<NtfsNode> nameIndex;
  std::map<uint64_t, NtfsNode*> contentIndex;  // start sector -> file recognised by content
  std::vector<NtfsRun> mftRuns;                // $MFT's own data runs
  std::map<uint64_t, uint64_t> recordPositions;
  std::multimap<uint64_t, uint64_t> duplicatePositions;
  uint64_t mftFirstSector = 0;  // absolute
  uint32_t recordBytes = 1024;
  uint32_t indexRecordField = 0;  // boot sector byte 0x44, kept for extraction
  // Start sectors of carved files ("Extra Found Files") that the last search
  // of the listed record runs found to be this volume's files. The search
  // leaves the disk's carved folder alone, since windows may be showing it;
  // whoever owns the disk's records drops them (ops::DropCarvedDuplicates).
  std::vector<uint64_t> carvedDuplicates;

  // MFT records (or other structures) the scan could not read. The scan goes
  // on past them; front ends say so.
  struct ReadProblem {
    std::string where;    // what was read ("$MFT record 295", "$MFT records 300-310")
    uint64_t sector = 0;  // first unreadable sector, absolute on the disk
    // Another copy gave what the sector held ("$MFTMirr"): nothing is missing.
    std::string standIn;
    bool pastEnd = false;  // the sector lies beyond the end of the source
  };
  std::vector<ReadProblem> readProblems;

  NtfsScanState();
  NtfsScanState(const NtfsScanState&) = delete;
  NtfsScanState& operator=(const NtfsScanState&) = delete;
  std::unique_ptr<disk::ReaderState> clone() const override;

  // Empties the trees, every index, both position maps and the read problems before a rescan.
  void clearForRescan();
  void clearResults(disk::PartitionInfo&) override { clearForRescan(); }
  // "根目录", "零散目录", and "扩展目录" when it holds anything.
  ScanSummary summary() const override;
};

NtfsScanState& NtfsStateOf(disk::PartitionInfo& partition);
const NtfsScanState* FindNtfsState(const disk::PartitionInfo& partition);

}  // namespace orvaldi::fs
