// The checkpoints of one raw sweep: the file kept up to date as it runs,
// and the checkpoint it goes on from.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

#include "disk/disk_info.h"
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

  // What to hand the sweep; null when there is nothing to save or resume.
  const raw::RawScanCheckpoints* checkpoints() const { return active_ ? &checkpoints_ : nullptr; }
  const std::string& error() const { return error_; }
  // Why the last checkpoint could not be written; empty when it was.
  std::string writeError() const;
  // Whether the sweep taken up had already reached the end of its range.
  bool resumedComplete() const { return resumed_.state.complete; }

 private:
  bool active_ = false;
  raw::CheckpointIdentity identity_;
  raw::Checkpoint resumed_;
  raw::RawScanCheckpoints checkpoints_;
  std::string path_;
  std::string error_;
  mutable std::mutex writeLock_;
  std::string writeError_;
};

// The text of the options that change what a sweep finds, for its identity.
std::string SweepOptionsText(const std::string& partition, uint32_t sectorSize);

}  // namespace orvaldi::ops
