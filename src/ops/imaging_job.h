// Imaging a disk or a partition as one operation: the refusals, the rescue
// map (loaded to resume, saved as the copy goes and at its end), opening the
// source and the target, the copy, and the flush of a target disk. The
// command-line tool and the imaging dialog both call it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "disk/disk_info.h"
#include "ops/job_checks.h"
#include "platform/file_target.h"
#include "platform/progress.h"
#include "platform/sector_source.h"
#include "platform/status.h"
#include "raw/imaging.h"

namespace orvaldi::ops {

struct ImagedPartition {
  std::string name;  // for the messages
  uint64_t startSector = 0;
  uint64_t sectorCount = 0;
};

struct ImagingRequest {
  std::string source;                        // disk or image file (only read)
  std::optional<ImagedPartition> partition;  // empty: the whole source
  std::string target;
  bool toDisk = false;             // written in place; an image file is replaced unless resumed
  uint64_t startSector = 0;        // first sector copied, within the source or the partition
  uint64_t targetStartSector = 0;  // where the copy begins on the target
  std::string mapfile;             // empty: no rescue map
  std::string commandLine;         // written into the map's header
  raw::ImagingLimits limits;
  bool listBadSectors = false;  // see raw::ImagingJob
  // The source disk's logical sector (DiskInfo::bytesPerSector). The sector
  // numbers above stay 512-byte ones; the copy's bad areas, its list and its
  // counts are in these.
  uint32_t sectorSize = raw::kImageSector;
  // Copy the metadata of these volumes of `metadataDisk` (indexes into its
  // partitions) before anything else (ops/metadata_first.h); with
  // `metadataOnly` the copy ends there, and its map tells a later run what is left.
  std::shared_ptr<disk::DiskInfo> metadataDisk;
  std::vector<size_t> metadataPartitions;
  bool metadataOnly = false;
};

// Written beside the map and renamed over it, so a crash mid-write never
// leaves half a map.
inline constexpr const char* kMapTempSuffix = ".tmp";

// The copy made ready: everything checked and opened. status kOk, or
// kRefused (refused says what) or kFailed, with the message that says why.
struct PreparedImaging {
  platform::Status status = platform::Status::kOk;
  std::string message;
  RefusalKind refused = RefusalKind::kNone;
  // What the operator should know before the copy starts (a partition cut
  // short by the source's end).
  std::vector<std::string> notes;

  ImagingRequest request;
  std::shared_ptr<platform::SectorSource> source;
  std::unique_ptr<platform::FileTarget> target;
  raw::ImagingJob job;
};

PreparedImaging PrepareImaging(ImagingRequest request);

// The unit a copy of `disk` narrows bad areas down to: its logical sector,
// or 512 bytes when the record holds no usable one.
uint32_t ImagingSectorSize(const disk::DiskInfo& disk);

// The command that repeats `r` ("orvaldi image SOURCE [PART] --to ..."),
// written into the map's header; `partition` as the operator named it.
std::string ImagingCommandLine(const ImagingRequest& r, const std::string& partition);

// status: kOk (every sector copied), kPartial (every area tried, some
// sectors unreadable: result.badSectors), kCancelled, kFailed (the target
// refused a write or its flush, the source hung, or the map could not be
// saved), kRefused (the map does not fit the copy).
struct ImagingOutcome {
  platform::Status status = platform::Status::kOk;
  std::string message;
  RefusalKind refused = RefusalKind::kNone;
  raw::ImagingResult result;
  bool copyFinished = false;    // every area was tried
  bool metadataCopied = false;  // the metadata phase ran to its end
  size_t volumesListed = 0;     // volumes the metadata phase listed
  std::string mapProblem;       // the map could not be written; empty when it was (or there is none)
};

// Runs a prepared copy on the caller's thread; stopped through the block.
// The map, when asked for, is saved now and then and at the end.
ImagingOutcome RunImaging(PreparedImaging& prepared, platform::ProgressBlock& progress);

}  // namespace orvaldi::ops
