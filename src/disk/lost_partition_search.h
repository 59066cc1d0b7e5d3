// Searching a disk for lost volumes by their boot sectors.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "disk/disk_info.h"
#include "platform/progress.h"
#include "platform/sector_source.h"

namespace orvaldi::disk {

// Where the search looks for a boot sector: at the start of every cylinder
// and one track (63 sectors) after it, at the start of every track and 63
// sectors after it, or at every sector.
enum class SearchMode : uint8_t { kCylinder = 0, kHead = 1, kSector = 2 };

// One volume found. Duplicates (a volume the disk's list already holds as a
// found record) are reported too, so that a repeated search shows the same
// rows again, but they are not appended.
struct LostPartitionFind {
  PartitionInfo record;    // name, start, size, type, table kind, label, origin kFound
  uint64_t cylinder = 0;   // position shown: cylinder and head (or sub-index) ...
  uint32_t head = 0;       // ... both 0 in sector mode
  bool duplicate = false;  // already in the list; not appended
  size_t index = 0;        // the record's place in the disk's partitions (the earlier one for a duplicate)
  std::string row;         // the result row pushed to the progress block
};

using LostPartitionHandler = std::function<void(const LostPartitionFind&)>;

// What a search did besides appending records.
struct LostPartitionReport {
  bool opened = false;             // false: the disk could not be opened, nothing was searched
  bool cancelled = false;          // stopped by the operator; what was found so far stays
  uint64_t finds = 0;              // rows reported, duplicates included
  uint64_t appended = 0;           // records added to the disk's partitions
  uint64_t unreadableSectors = 0;  // sectors that could not be read; nothing can be found there
  std::string error;               // why the disk could not be opened
};

// Where a sector-mode search stands between two chunks: the chunks before
// `chunk` are searched, and what they gave, so that a stopped search can be
// taken up there and report every find as if it had never stopped.
struct LostSearchState {
  uint64_t chunk = 0;
  std::vector<LostPartitionFind> finds;  // in the order reported
  uint64_t unreadableSectors = 0;
  std::set<uint64_t> ntfsReported;
  bool complete = false;  // every chunk is searched
};

// Checkpoints of one sector-mode search (the other modes ignore them).
struct LostSearchCheckpoints {
  // Called on the search's thread between chunks every `interval`, when the
  // search is stopped and at its end, with the state and the disk as the
  // search left it. Null: none.
  std::function<void(const LostSearchState&, const DiskInfo&)> save;
  std::chrono::milliseconds interval{5000};
  // Non-null: the search goes on from here, first reporting its finds
  // again; the DiskInfo must already hold the records appended by then.
  const LostSearchState* resume = nullptr;
  // The search stops as if cancelled at the chunk that holds this sector
  // (tests of the resumption).
  uint64_t stopAt = UINT64_MAX;
};

// Searches `disk` in `mode` with `heads` heads per cylinder (0: the disk's
// own) and appends every new volume to `disk.partitions` (origin kFound,
// named "Partition%d" from a counter that starts at the list's size). Each
// find is pushed as a result row to `progress` (five fields, each followed by
// ";": file system, label, "cylinder,head,1", size in sectors, "主" or "逻辑")
// and handed to `onFind` when given. Progress: cylinder and head mode begin a
// stage of C cylinders and step once per cylinder; sector mode begins a
// stage of whole 10 MiB chunks and sets the position once per chunk. The
// cancel flag is tested at each of these. Rows found after the last message
// are still in the block when the call returns.
// Returns 1 when the search ran (to its end or until stopped), 0 when the
// disk could not be opened.
int SearchLostPartitions(DiskInfo& disk, SearchMode mode, uint8_t heads, platform::ProgressBlock& progress,
                         LostPartitionReport* report = nullptr, const LostPartitionHandler& onFind = {},
                         const LostSearchCheckpoints* checkpoints = nullptr);

// The same search over a source already open (tests, or a caller that holds one).
LostPartitionReport SearchLostPartitions(DiskInfo& disk, platform::SectorSource& source, SearchMode mode, uint8_t heads,
                                         platform::ProgressBlock& progress, const LostPartitionHandler& onFind = {},
                                         const LostSearchCheckpoints* checkpoints = nullptr);

// The five fields of a result row. The label, which comes from the disk, may
// itself hold ";": the other fields are taken from both ends around it.
struct ResultRowFields {
  std::string fileSystem, label, position, sectors, tableKind;
};
bool SplitResultRow(const std::string& row, ResultRowFields& fields);

}  // namespace orvaldi::disk
