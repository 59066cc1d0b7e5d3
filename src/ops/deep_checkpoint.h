// The checkpoint file of a search of every sector of an NTFS partition: what
// the search was asked to do, where it stands and what it found so far.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

#include "disk/disk_info.h"
#include "fs/ntfs_search.h"
#include "ops/sweep_checkpoint.h"

namespace orvaldi::ops {

// A checkpoint is only taken up by a search of the same partition of the
// same source.
struct DeepCheckpointIdentity {
  std::string diskName;
  uint64_t sourceBytes = 0;
  std::string partition;  // the partition's name
  uint64_t first = 0;     // its sectors
  uint64_t count = 0;
  std::string options;  // what else changes the finds, as text
  bool operator==(const DeepCheckpointIdentity&) const = default;
};

DeepCheckpointIdentity DeepIdentityOf(const disk::DiskInfo& disk, const disk::PartitionInfo& partition);

std::string FormatDeepCheckpoint(const DeepCheckpointIdentity& identity, const fs::DeepSearchState& state);

struct DeepCheckpointRead {
  bool ok = false;
  std::string error;  // one line when not ok
  DeepCheckpointIdentity identity;
  fs::DeepSearchState state;
};
// Trusts nothing: a field that does not parse, a count beyond the lines
// there are, a sector outside the partition or finds out of order, and the
// file is refused as damaged.
DeepCheckpointRead ParseDeepCheckpoint(std::string_view bytes);

class DeepCheckpointer {
 public:
  // For a search of `partition` of `disk`: takes up the checkpoint to resume
  // from; false when it cannot be read or was written for another search
  // (`error()` says which).
  bool prepare(const disk::DiskInfo& disk, const disk::PartitionInfo& partition,
               const SweepCheckpointOptions& settings);
  // What to hand the search; null when there is nothing to save or resume.
  const fs::DeepSearchCheckpoints* checkpoints() const { return active_ ? &checkpoints_ : nullptr; }
  const std::string& error() const { return error_; }
  std::string writeError() const;

 private:
  bool active_ = false;
  DeepCheckpointIdentity identity_;
  fs::DeepSearchState resumed_;
  fs::DeepSearchCheckpoints checkpoints_;
  std::string path_;
  std::string error_;
  mutable std::mutex writeLock_;
  std::string writeError_;
};

}  // namespace orvaldi::ops
