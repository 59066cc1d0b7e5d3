// Checkpoints of a raw sweep: identity, taking one up, writing them.
#include "ops/sweep_checkpoint.h"

#include <utility>

namespace orvaldi::ops {

bool SweepCheckpointer::prepare(disk::DiskInfo& disk, uint64_t first, uint64_t count, std::string options,
                                const SweepCheckpointOptions& settings) {
  active_ = settings.any() || settings.stopAt != UINT64_MAX;
  if (!active_) return true;
  const uint64_t sourceBytes = disk.sizeBytes > 0 ? static_cast<uint64_t>(disk.sizeBytes) : 0;
  identity_ = raw::IdentityAtStart(disk, "sweep", sourceBytes, first, count, std::move(options));
  if (!settings.resumeFrom.empty()) {
    raw::CheckpointRead read = raw::ReadCheckpointFile(settings.resumeFrom, disk);
    if (!read.ok) {
      error_ = "cannot resume: " + read.error;
      return false;
    }
    if (const std::string why = raw::IdentityMismatch(read.checkpoint.identity, identity_); !why.empty()) {
      error_ = "cannot resume from " + settings.resumeFrom + ": " + why;
      return false;
    }
    resumed_ = std::move(read.checkpoint);
    raw::ApplyCheckpoint(resumed_, disk);
    checkpoints_.resume = &resumed_.state;
  }
  checkpoints_.interval = settings.interval;
  checkpoints_.stopAt = settings.stopAt;
  path_ = settings.writeTo;
  if (!path_.empty()) {
    checkpoints_.save = [this](const raw::SweepState& state, const disk::DiskInfo& now) {
      const std::string failed = raw::WriteCheckpointFile(path_, raw::FormatCheckpoint(now, identity_, state));
      std::lock_guard<std::mutex> guard(writeLock_);
      writeError_ = failed;
    };
  }
  return true;
}

std::string SweepCheckpointer::writeError() const {
  std::lock_guard<std::mutex> guard(writeLock_);
  return writeError_;
}

std::string SweepOptionsText(const std::string& partition, uint32_t sectorSize) {
  return "part=" + partition + ";sector-size=" + std::to_string(sectorSize);
}

}  // namespace orvaldi::ops
