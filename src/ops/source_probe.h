// What a source is and which volumes its first sectors show, and the
// sector sweep of a source or one of its partitions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "disk/disk_info.h"
#include "disk/volume_probe.h"
#include "ops/source.h"
#include "ops/sweep_checkpoint.h"
#include "platform/progress.h"
#include "raw/raw_scan.h"
#include "raw/save_engine.h"

namespace orvaldi::ops {

struct VolumeProbe {
  std::string role;  // "Sector 0" or "MBR entry N"
  uint64_t sector = 0;
  int entryType = -1;  // the MBR entry's type byte, -1 for sector 0
  uint64_t entrySectors = 0;
  disk::VolumeGuess guess;
};

struct SourceProbe {
  std::optional<disk::DiskInfo> disk;  // empty: `error` says why
  std::string error;
  std::vector<VolumeProbe> volumes;  // sector 0, then each used primary MBR entry
};

// Describes `path` and identifies the volume at sector 0 and at each primary
// entry of its MBR (extended chains are not followed). The entries count in
// sectors of `sectorSize` bytes when given, else of the disk's own size (the
// device's, or what the image's tables show); `sector` and `entrySectors`
// are in 512-byte sectors all the same.
SourceProbe ProbeSource(const std::string& path, uint32_t sectorSize = 0);

enum class SweepStatus : uint8_t {
  kOk,
  kUnreadable,         // the source could not be loaded
  kNoSuchPartition,    // `which` names no partition of it
  kCannotOpen,         // loaded, but could not be opened for the sweep
  kResultUnreadable,   // the scan-result file to load first could not be read
  kResultOtherDisk,    // it was saved from another disk
  kCheckpointRefused,  // the checkpoint to resume from is damaged or of another sweep
};

struct SweptSource {
  SweepStatus status = SweepStatus::kUnreadable;
  std::string error;
  std::optional<disk::DiskInfo> disk;  // with the partitions and carved files the sweep added
  disk::PartitionInfo range;           // what was swept, as a partition record to save carved files from
  raw::RawScanReport report;
  std::vector<std::string> resultNotes;  // records of the loaded result file left out
  std::string rangeNote;  // non-empty: the partition's recorded size runs past the disk's end, which ended the sweep
  std::string checkpointError;  // non-empty: the last checkpoint asked for could not be written
};

// Sweeps the whole source (`which` empty) or the partition `which` names,
// after loading the scan-result file the options name; what the sweep finds
// is added to what the file held. With `checkpoints`, the sweep goes on
// from a checkpoint and keeps one up to date.
SweptSource SweepSource(const std::string& path, const std::string& which, platform::ProgressBlock& progress,
                        const SourceOptions& options = {}, const SweepCheckpointOptions& checkpoints = {});

// The save job for the carved files the sweep found in the swept range
// (saved into the carved-files folder below the target).
raw::SaveJob CarvedFilesJob(SweptSource& swept);

}  // namespace orvaldi::ops
