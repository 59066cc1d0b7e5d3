// Extracting a partition's free space into a file, as one operation: the
// refusals, opening the source and the target, and the copy itself. The
// command-line tool and the free-space dialog both call it.
#pragma once

#include <cstdint>
#include <string>

#include "ops/job_checks.h"
#include "platform/progress.h"
#include "platform/status.h"
#include "raw/free_space.h"

namespace orvaldi::ops {

struct FreeSpaceRequest {
  std::string source;         // the disk or image that holds the partition (only read)
  std::string partitionName;  // as the operator named it, for the messages
  uint64_t startSector = 0;
  uint64_t sectorCount = 0;  // 0 when not known
  std::string target;        // replaced when it exists
  raw::FreeSpaceLayout layout = raw::FreeSpaceLayout::kCompact;
};

// status and message as in raw::FreeSpaceResult, and also kRefused when the
// target would overwrite the source (refused: kTarget) and kFailed when the
// source or target cannot be opened. A refused volume is kVolume.
struct FreeSpaceOutcome {
  platform::Status status = platform::Status::kOk;
  std::string message;
  RefusalKind refused = RefusalKind::kNone;
  raw::FreeSpaceResult result;

  // Something was extracted (all of it, or all but the unreadable clusters).
  bool usable() const { return status == platform::Status::kOk || status == platform::Status::kPartial; }
};

// Runs on the caller's thread; cancelled through the block.
FreeSpaceOutcome ExtractPartitionFreeSpace(const FreeSpaceRequest& request, platform::ProgressBlock& progress);

}  // namespace orvaldi::ops
