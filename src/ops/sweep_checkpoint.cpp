// Checkpoints of a raw sweep: identity, taking one up, writing them.
#include "ops/sweep_checkpoint.h"

#include <utility>

namespace orvaldi::ops {

bool SweepCheckpointer::prepare(disk::DiskInfo& disk, uint64_t first, uint64_t count, std::string options,
                                const SweepCheckpointOptions& settings) {
  return prepareWith(disk, "sweep", first, count, std::move(options), settings, false);
}

bool SweepCheckpointer::prepareSearch(disk::DiskInfo& disk, const SweepCheckpointOptions& settings) {
  const uint64_t sectors = disk.sizeBytes > 0 ? static_cast<uint64_t>(disk.sizeBytes) / platform::SectorSize : 0;
  return prepareWith(disk, raw::kLostSearchCommand, 0, sectors, "mode=sector", settings, false);
}

bool SweepCheckpointer::prepareOverMerged(disk::DiskInfo& disk, uint64_t first, uint64_t count, std::string options,
                                          const SweepCheckpointOptions& settings) {
  return prepareWith(disk, "sweep", first, count, std::move(options), settings, true);
}

bool SweepCheckpointer::prepareWith(disk::DiskInfo& disk, const char* command, uint64_t first, uint64_t count,
                                    std::string options, const SweepCheckpointOptions& settings, bool merged) {
  active_ = settings.any() || settings.stopAt != UINT64_MAX;
  if (!active_) return true;
  const uint64_t sourceBytes = disk.sizeBytes > 0 ? static_cast<uint64_t>(disk.sizeBytes) : 0;
  identity_ = raw::IdentityAtStart(disk, command, sourceBytes, first, count, std::move(options));
  if (!settings.resumeFrom.empty()) {
    raw::CheckpointRead read = raw::ReadCheckpointFile(settings.resumeFrom, disk);
    if (!read.ok) {
      error_ = "cannot resume: " + read.error;
      return false;
    }
    if (merged) {
      // Compared with the partitions the stopped sweep began with.
      const uint64_t base = read.checkpoint.identity.basePartitions;
      if (base > disk.partitions.size()) {
        error_ = "cannot resume from " + settings.resumeFrom + ": the disk holds fewer partitions than it did";
        return false;
      }
      identity_.partitionsDigest = raw::PartitionsDigest(disk, base);
    }
    if (const std::string why = raw::IdentityMismatch(read.checkpoint.identity, identity_, !merged); !why.empty()) {
      error_ = "cannot resume from " + settings.resumeFrom + ": " + why;
      return false;
    }
    resumed_ = std::move(read.checkpoint);
    if (merged) {
      disk.partitions.resize(resumed_.identity.basePartitions);
      identity_ = resumed_.identity;  // the checkpoints written on describe the same sweep
    }
    raw::ApplyCheckpoint(resumed_, disk);
    checkpoints_.resume = &resumed_.state;
    searchCheckpoints_.resume = &resumed_.search;
  }
  checkpoints_.interval = settings.interval;
  checkpoints_.stopAt = settings.stopAt;
  searchCheckpoints_.interval = settings.interval;
  searchCheckpoints_.stopAt = settings.stopAt;
  path_ = settings.writeTo;
  if (!path_.empty()) {
    checkpoints_.save = [this](const raw::SweepState& state, const disk::DiskInfo& now) {
      const std::string failed = raw::WriteCheckpointFile(path_, raw::FormatCheckpoint(now, identity_, state));
      std::lock_guard<std::mutex> guard(writeLock_);
      writeError_ = failed;
    };
    searchCheckpoints_.save = [this](const disk::LostSearchState& state, const disk::DiskInfo& now) {
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

ResumableCheckpoint FindResumable(const std::string& path, const disk::DiskInfo& disk, uint64_t first, uint64_t count,
                                  const std::string& options) {
  ResumableCheckpoint out;
  const raw::CheckpointRead read = raw::ReadCheckpointFile(path, disk);
  if (!read.ok) {
    out.error = read.error;
    return out;
  }
  const uint64_t base = read.checkpoint.identity.basePartitions;
  if (base > disk.partitions.size()) {
    out.error = "the disk holds fewer partitions than it did";
    return out;
  }
  raw::CheckpointIdentity now =
      raw::IdentityAtStart(disk, "sweep", disk.sizeBytes > 0 ? disk.sizeBytes : 0, first, count, options);
  now.partitionsDigest = raw::PartitionsDigest(disk, base);
  out.error = raw::IdentityMismatch(read.checkpoint.identity, now, false);
  out.usable = out.error.empty();
  out.basePartitions = base;
  out.complete = read.checkpoint.state.complete;
  out.next = read.checkpoint.state.next;
  return out;
}

std::string SweepOptionsText(const std::string& partition, uint32_t sectorSize) {
  return "part=" + partition + ";sector-size=" + std::to_string(sectorSize);
}

}  // namespace orvaldi::ops
