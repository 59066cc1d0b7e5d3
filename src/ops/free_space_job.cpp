// The free-space operation: checks, opening, extraction, and its messages.
#include "ops/free_space_job.h"

#include <cstring>

#include "platform/file_target.h"
#include "platform/sector_source.h"

namespace orvaldi::ops {

FreeSpaceOutcome ExtractPartitionFreeSpace(const FreeSpaceRequest& request, platform::ProgressBlock& progress) {
  FreeSpaceOutcome out;
  auto fail = [&](platform::Status status, std::string message, RefusalKind refused = RefusalKind::kNone) {
    out.status = status;
    out.message = std::move(message);
    out.refused = refused;
    return out;
  };
  if (auto refusal = WriteOntoSourceRefusal(request.source, request.target))
    return fail(platform::Status::kRefused, std::move(*refusal), RefusalKind::kTarget);
  auto opened = platform::FileSource::open(request.source);
  if (!opened.source) return fail(platform::Status::kFailed, opened.message);
  auto target = platform::FileTarget::open(request.target, platform::TargetOpen::kReplace);
  if (!target.target) return fail(platform::Status::kFailed, target.message);

  out.result = raw::ExtractFreeSpace(*opened.source, request.startSector, request.sectorCount, *target.target,
                                     request.layout, progress);
  const raw::FreeSpaceResult& r = out.result;
  out.status = r.status;
  const std::string partition = "partition " + request.partitionName + ": ";
  switch (r.status) {
    case platform::Status::kOk:
    case platform::Status::kCancelled:
      break;
    case platform::Status::kPartial:
      out.message = std::to_string(r.unreadableClusters.size()) + " free cluster(s) cannot be read; their place in " +
                    request.target + " holds zero bytes";
      break;
    case platform::Status::kRefused:
      out.refused = RefusalKind::kVolume;
      out.message = partition + r.message;
      break;
    case platform::Status::kFailed:
      out.message = r.targetFailed ? request.target + ": " + std::strerror(r.targetError)
                                   : partition + r.message + "; nothing was extracted";
      break;
  }
  return out;
}

}  // namespace orvaldi::ops
