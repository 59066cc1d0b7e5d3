// Copying a disk or a partition to an image file or another disk, around
// unreadable sectors, with every read bounded in time.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/file_target.h"
#include "platform/progress.h"
#include "platform/sector_source.h"
#include "raw/rescue_map.h"

namespace orvaldi::raw {

inline constexpr uint32_t kImageBlock = 1u << 20;  // bytes per block read
inline constexpr uint32_t kImageSector = 512;      // the engine's addressing unit

// How long one read may take before its sectors count as unreadable. A read
// that hangs on a dying disk cannot be interrupted; it is left to finish on
// its own thread while the copy goes on with a fresh one, and after
// `maxStuckReads` such reads at once the copy stops rather than pile up
// threads on a disk that no longer answers.
struct ImagingLimits {
  std::chrono::milliseconds block{2000};
  std::chrono::milliseconds sector{1000};
  unsigned maxStuckReads = 8;
};

struct ImagingJob {
  uint64_t sourceOffset = 0;  // first byte copied, absolute on the source
  uint64_t length = 0;        // bytes copied
  uint64_t targetOffset = 0;  // where the first byte goes on the target
  ImagingLimits limits;
  // A map from an earlier run over the same range: only its unfinished areas
  // are read again. Its length must equal `length`.
  std::optional<RescueMap> resume;
  // Called with the map now and then during the copy, so an interruption
  // the process does not survive still leaves a usable map.
  std::function<void(const RescueMap&)> checkpoint;
  std::chrono::milliseconds checkpointEvery{5000};
  // Each unreadable sector is also pushed to the progress block as a row
  // (its number in decimal), for a window that lists them as they are found.
  bool listBadSectors = false;
  // The source's logical sector: the smallest piece a drive reads or fails
  // on its own (512 to 4,096 bytes, so a whole number of them fills a
  // block). Bad areas are narrowed down to it, listed in it and marked in
  // the map in whole ones; sourceOffset must be a multiple of it.
  uint32_t sectorSize = kImageSector;
  // When not empty, only these byte ranges (from sourceOffset, like the
  // map's positions) are copied in this run, each piece first tried in one
  // read: a copy that takes what a reader needs before the rest.
  std::vector<MapBlock> only;
};

enum class ImagingStatus {
  kDone,          // every area was tried; unreadable sectors are listed
  kStopped,       // the operator stopped the copy
  kTargetFailed,  // a write to the target failed; the copy stopped there
  kSourceHung,    // too many reads hung at once; the rest was not tried
  kBadJob,        // the resume map does not fit the range, or the sector size is not one
};

struct ImagingResult {
  ImagingStatus status = ImagingStatus::kDone;
  uint32_t sectorSize = kImageSector;  // the unit of the two counts below: the job's logical sector
  uint64_t sectorsCopied = 0;          // logical sectors read whole and written
  std::vector<uint64_t> badSectors;    // absolute logical sector numbers on the source, in copy order
  RescueMap map;                       // what this and earlier runs read and failed
  int targetError = 0;                 // errno of the failed write
  unsigned timedOutReads = 0;          // reads that outlived their limit
  uint64_t bytesBeyondSource = 0;      // bytes of the job past the source's end: neither read nor written
};

// How many of `length` bytes from `offset` lie on a source of `sourceSize`
// bytes.
inline uint64_t BytesOnSource(uint64_t offset, uint64_t length, uint64_t sourceSize) {
  return offset >= sourceSize ? 0 : std::min(length, sourceSize - offset);
}

// Copies job.length bytes from job.sourceOffset of `source` to `target` at
// job.targetOffset: whole 1 MiB blocks where they read completely, single
// logical sectors where a block does not (and for the tail below 1 MiB). A
// sector that cannot be read is listed and written as job.sectorSize bytes
// of 0x20; the
// range is cut at the source's end, where there is nothing to read. The
// source is shared because a read that outlives its limit keeps using it
// after this returns. Progress: one step per block; the text gives the
// sectors done, the rate, the bad sectors so far and the time left.
// `progress.cancelled()` is tested after every block and every sector.
ImagingResult CopyImage(std::shared_ptr<platform::SectorSource> source, platform::WriteTarget& target, ImagingJob job,
                        platform::ProgressBlock& progress);

// "第%d个坏扇区" for list row `row` (counted from 1).
std::string BadSectorRowText(size_t row);

}  // namespace orvaldi::raw
