// The checkpoint file of a sweep under way: the scan-result file of what it
// found so far, then where it stands, so that a stopped sweep can be taken
// up again and end as if it had never stopped.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "disk/disk_info.h"
#include "disk/lost_partition_search.h"
#include "disk/partition_info.h"
#include "raw/sweep_state.h"

namespace orvaldi::raw {

// What a sweep was asked to do, on what: a checkpoint is only taken up by a
// sweep of the same command over the same range of the same source with the
// same options, starting from the same disk records.
struct CheckpointIdentity {
  std::string command;       // "rawscan", "carve", ...
  std::string diskName;      // the disk's display name
  uint64_t sourceBytes = 0;  // the source's size
  uint64_t first = 0;        // the swept range, as the sweep was handed it
  uint64_t count = 0;
  std::string options;           // the options that change what is found, as text
  std::string startDigest;       // SHA-256 of the disk's scan-result text as the sweep began
  uint64_t basePartitions = 0;   // partitions the disk held then; the sweep appends behind them
  std::string partitionsDigest;  // SHA-256 of those partitions' records alone
  bool operator==(const CheckpointIdentity&) const = default;
};

// The identity of a sweep about to start on `disk` (as loaded, before it).
CheckpointIdentity IdentityAtStart(const disk::DiskInfo& disk, std::string command, uint64_t sourceBytes,
                                   uint64_t first, uint64_t count, std::string options);

// PartitionsDigest of the first `count` partitions of `disk`.
std::string PartitionsDigest(const disk::DiskInfo& disk, size_t count);

// One line naming the first field in which `file` (read from a checkpoint)
// differs from `now`; empty when they agree.
// `sameStart` false: the disk records may have changed since the sweep
// began (its findings were merged into them), and only the partitions it
// began with are compared.
std::string IdentityMismatch(const CheckpointIdentity& file, const CheckpointIdentity& now, bool sameStart = true);

// The file's bytes: FormatScanResult(disk), the end mark, then the identity
// and the state. The partitions behind `identity.basePartitions` and the
// carved files' completeness are written there again in full, since the
// scan-result text does not hold all of their fields.
std::string FormatCheckpoint(const disk::DiskInfo& disk, const CheckpointIdentity& identity, const SweepState& state);
// The same for a sector-mode search for lost partitions (the command
// kLostSearchCommand).
std::string FormatCheckpoint(const disk::DiskInfo& disk, const CheckpointIdentity& identity,
                             const disk::LostSearchState& state);
inline constexpr const char* kLostSearchCommand = "find-parts-sector";

struct Checkpoint {
  CheckpointIdentity identity;
  SweepState state;              // a sweep's
  disk::LostSearchState search;  // a lost-partition search's
  // The findings, as they stood: the partitions the sweep appended, and
  // the disk's directory sectors, MFT record runs and carved files.
  std::vector<disk::PartitionInfo> added;
  std::set<uint64_t> directorySectors;
  std::map<uint64_t, uint32_t> mftRecordRuns;
  std::map<uint64_t, disk::CarvedNode> carved;
};

struct CheckpointRead {
  bool ok = false;
  std::string error;  // one line when not ok
  Checkpoint checkpoint;
};

// Reads a checkpoint written for `disk` (whose display name and size check
// the scan-result part). Trusts nothing: a field that does not parse, a
// count beyond the lines there are, or a position outside the range, and
// the file is refused as damaged.
CheckpointRead ParseCheckpoint(std::string_view bytes, const disk::DiskInfo& disk);
CheckpointRead ReadCheckpointFile(const std::string& path, const disk::DiskInfo& disk);

// Puts the findings of `checkpoint` into `disk`, which must be loaded as it
// was when that sweep began (its identity agrees).
void ApplyCheckpoint(const Checkpoint& checkpoint, disk::DiskInfo& disk);

// Writes the bytes in place of `path` at once (a new file renamed over it).
// Returns an empty string or one line saying why it failed.
std::string WriteCheckpointFile(const std::string& path, std::string_view bytes);

}  // namespace orvaldi::raw
