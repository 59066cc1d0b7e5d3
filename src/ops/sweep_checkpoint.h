// The checkpoints of one raw sweep: the file kept up to date as it runs,
// and the checkpoint it goes on from.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

#include "disk/disk_info.h"
#include "disk/lost_partition_search.h"
#include "raw/scan_checkpoint.h"
#include "raw/sweep_state.h"

namespace orvaldi::ops {

struct SweepCheckpointOptions {
  std::string writeTo;     // the checkpoint file kept up to date; empty: none
  std::string resumeFrom;  // a checkpoint to go on from; empty: a new sweep
  std::chrono::milliseconds interval{5000};
  uint64_t stopAt = UINT64_MAX;  // tests: stop as if cancelled at this sector
  bool any() const { return !writeTo.empty() || !resumeFrom.empty(); }
};

class SweepCheckpointer {
 public:
  SweepCheckpointer() = default;
  SweepCheckpointer(const SweepCheckpointer&) = delete;
  SweepCheckpointer& operator=(const SweepCheckpointer&) = delete;

  // For a sweep of `disk` (loaded, nothing swept yet) over `count` sectors
  // from `first`, `options` naming what else changes the findings. Takes
  // up the checkpoint to resume from: false when it cannot be read or was
  // written for another sweep (`error()` says which), and `disk` is then
  // unchanged; otherwise its findings are in `disk`.
  bool prepare(disk::DiskInfo& disk, uint64_t first, uint64_t count, std::string options,
               const SweepCheckpointOptions& settings);
  // The same for a disk record into which the stopped sweep's findings were
  // merged (the workstation publishes what a stopped scan found): the
  // partitions behind the ones the stopped sweep began with are dropped
  // from `disk` first, since the sweep taken up finds them again.
  bool prepareOverMerged(disk::DiskInfo& disk, uint64_t first, uint64_t count, std::string options,
                         const SweepCheckpointOptions& settings);

  // The same for a sector-mode search for lost partitions over the whole disk.
  bool prepareSearch(disk::DiskInfo& disk, const SweepCheckpointOptions& settings);
  const disk::LostSearchCheckpoints* searchCheckpoints() const { return active_ ? &searchCheckpoints_ : nullptr; }

  // What to hand the sweep; null when there is nothing to save or resume.
  const raw::RawScanCheckpoints* checkpoints() const { return active_ ? &checkpoints_ : nullptr; }
  const std::string& error() const { return error_; }
  // Why the last checkpoint could not be written; empty when it was.
  std::string writeError() const;
  // Whether the sweep taken up had already reached the end of its range.
  bool resumedComplete() const { return resumed_.state.complete; }
  // Partitions the sweep began with (those of the checkpoint when resumed).
  uint64_t basePartitions() const { return identity_.basePartitions; }

 private:
  bool prepareWith(disk::DiskInfo& disk, const char* command, uint64_t first, uint64_t count, std::string options,
                   const SweepCheckpointOptions& settings, bool merged);
  bool active_ = false;
  raw::CheckpointIdentity identity_;
  raw::Checkpoint resumed_;
  raw::RawScanCheckpoints checkpoints_;
  disk::LostSearchCheckpoints searchCheckpoints_;
  std::string path_;
  std::string error_;
  mutable std::mutex writeLock_;
  std::string writeError_;
};

// Whether `path` holds a checkpoint that a sweep of `disk` over `count`
// sectors from `first` with `options` can go on from (after its findings
// were merged into `disk`); when so, `next` is where it stopped.
struct ResumableCheckpoint {
  bool usable = false;
  uint64_t basePartitions = 0;
  bool complete = false;
  uint64_t next = 0;
  std::string error;  // why not, when the file is there but not usable
};
ResumableCheckpoint FindResumable(const std::string& path, const disk::DiskInfo& disk, uint64_t first, uint64_t count,
                                  const std::string& options);

// The text of the options that change what a sweep finds, for its identity.
std::string SweepOptionsText(const std::string& partition, uint32_t sectorSize);

}  // namespace orvaldi::ops
