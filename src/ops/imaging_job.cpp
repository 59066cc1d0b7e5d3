// The imaging operation: checks, the rescue map, opening, the copy, the flush.
#include "ops/imaging_job.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "disk/recognisers.h"
#include "ops/metadata_first.h"
#include "platform/read_only_check.h"

namespace orvaldi::ops {
namespace {

bool SaveMap(const std::string& path, const std::string& text) {
  const std::string temp = path + kMapTempSuffix;
  platform::CheckWriteOpen(temp, platform::Writer::kRescueMap);
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) return false;
  }
  platform::CheckWriteOpen(path, platform::Writer::kRescueMap);
  std::error_code ec;
  std::filesystem::rename(temp, path, ec);
  return !ec;
}

}  // namespace

std::string ImagingCommandLine(const ImagingRequest& r, const std::string& partition) {
  std::string line = "orvaldi image " + r.source;
  if (!partition.empty()) line += " " + partition;
  line += r.toDisk ? " --to-disk " + r.target : " --to " + r.target;
  if (r.startSector) line += " --start " + std::to_string(r.startSector);
  if (r.targetStartSector) line += " --target-start " + std::to_string(r.targetStartSector);
  return line + " --mapfile " + r.mapfile;
}

uint32_t ImagingSectorSize(const disk::DiskInfo& disk) {
  return disk::IsLogicalSectorSize(disk.bytesPerSector) ? disk.bytesPerSector : raw::kImageSector;
}

PreparedImaging PrepareImaging(ImagingRequest request) {
  PreparedImaging p;
  p.request = std::move(request);
  const ImagingRequest& r = p.request;
  auto stop = [&](platform::Status status, std::string message, RefusalKind refused = RefusalKind::kNone) {
    p.status = status;
    p.message = std::move(message);
    p.refused = refused;
    p.source.reset();
    p.target.reset();
    return std::move(p);
  };
  auto opened = platform::FileSource::open(r.source);
  if (!opened.source) return stop(platform::Status::kFailed, "打开失败: " + opened.message);
  p.source = std::move(opened.source);
  // The copied range: the whole source, or one partition of it.
  uint64_t rangeStart = 0;
  uint64_t rangeBytes = p.source->size();
  if (r.partition) {
    const ImagedPartition& part = *r.partition;
    // A table entry's size is whatever the entry says; the copy ends where
    // the source does.
    const uint64_t sourceSectors = p.source->size() / raw::kImageSector;
    if (part.startSector >= sourceSectors)
      return stop(platform::Status::kRefused,
                  "partition " + part.name + " starts at sector " + std::to_string(part.startSector) +
                      ", beyond the source's end (" + std::to_string(sourceSectors) + " sectors)",
                  RefusalKind::kVolume);
    rangeStart = part.startSector * raw::kImageSector;
    const uint64_t sectors = std::min(part.sectorCount, sourceSectors - part.startSector);
    if (sectors < part.sectorCount)
      p.notes.push_back("partition " + part.name + " records " + std::to_string(part.sectorCount) +
                        " sectors, but the source ends " + std::to_string(sectors) +
                        " sectors into it; only those are copied");
    rangeBytes = sectors * raw::kImageSector;
  }
  if (r.startSector > rangeBytes / raw::kImageSector)
    return stop(platform::Status::kRefused,
                "--start " + std::to_string(r.startSector) + " lies beyond the source's " +
                    std::to_string(rangeBytes / raw::kImageSector) + " sectors",
                RefusalKind::kRequest);
  if (!disk::IsLogicalSectorSize(r.sectorSize))
    return stop(platform::Status::kRefused,
                "a sector size of " + std::to_string(r.sectorSize) + " bytes is not one of 512, 1024, 2048, 4096",
                RefusalKind::kRequest);
  // A drive reads whole logical sectors: a copy that began inside one would
  // split every sector it lists in two.
  if ((rangeStart + r.startSector * raw::kImageSector) % r.sectorSize != 0)
    return stop(platform::Status::kRefused,
                "the copy would begin at byte " + std::to_string(rangeStart + r.startSector * raw::kImageSector) +
                    ", inside a " + std::to_string(r.sectorSize) + "-byte sector of the source; --start counts " +
                    std::to_string(raw::kImageSector) + "-byte units and must be a multiple of " +
                    std::to_string(r.sectorSize / raw::kImageSector),
                RefusalKind::kRequest);
  raw::ImagingJob& job = p.job;
  job.sectorSize = r.sectorSize;
  job.sourceOffset = rangeStart + r.startSector * raw::kImageSector;
  job.length = rangeBytes - r.startSector * raw::kImageSector;
  job.targetOffset = r.targetStartSector * raw::kImageSector;
  job.limits = r.limits;
  job.listBadSectors = r.listBadSectors;

  // The map and its temporary file are written as well as the image.
  const std::string mapTemp = r.mapfile.empty() ? std::string() : r.mapfile + kMapTempSuffix;
  for (const std::string& written : {r.target, r.mapfile, mapTemp})
    if (auto refusal = WriteOntoSourceRefusal(r.source, written))
      return stop(platform::Status::kRefused, std::move(*refusal), RefusalKind::kTarget);
  if (!r.mapfile.empty() &&
      (platform::SameWriteTarget(r.mapfile, r.target) || platform::SameWriteTarget(mapTemp, r.target)))
    return stop(platform::Status::kRefused,
                r.mapfile + ": refused, --mapfile 与镜像目标是同一个文件，写入映射会覆盖镜像，请选择其他文件",
                RefusalKind::kTarget);
  if (!r.mapfile.empty() && std::filesystem::exists(r.mapfile)) {
    std::ifstream in(r.mapfile, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::string error;
    auto map = raw::RescueMap::parse(text.str(), error);
    if (!map) return stop(platform::Status::kRefused, r.mapfile + ": " + error, RefusalKind::kRequest);
    if (map->length() != job.length)
      return stop(platform::Status::kRefused,
                  r.mapfile + " covers " + std::to_string(map->length()) + " bytes, the copy " +
                      std::to_string(job.length) + ": not a map of this copy",
                  RefusalKind::kRequest);
    job.resume = std::move(map);
  }
  // A fresh image replaces an old file; a resumed one, or a disk, is
  // written in place.
  const auto how = r.toDisk || job.resume ? platform::TargetOpen::kKeep : platform::TargetOpen::kReplace;
  auto target = platform::FileTarget::open(r.target, how);
  if (!target.target) return stop(platform::Status::kFailed, target.message);
  p.target = std::move(target.target);
  if (!r.mapfile.empty()) {
    job.checkpoint = [path = r.mapfile, line = r.commandLine](const raw::RescueMap& map) {
      SaveMap(path, map.format(0, '?', line));
    };
  }
  return p;
}

ImagingOutcome RunImaging(PreparedImaging& prepared, platform::ProgressBlock& progress) {
  ImagingOutcome out;
  const ImagingRequest& r = prepared.request;
  if (prepared.status != platform::Status::kOk || !prepared.source || !prepared.target) {
    out.status = prepared.status == platform::Status::kOk ? platform::Status::kFailed : prepared.status;
    out.message = prepared.message.empty() ? "the copy was not made ready" : prepared.message;
    out.refused = prepared.refused;
    return out;
  }
  raw::ImagingResult& result = out.result;
  if (r.metadataDisk) {
    MetadataPhase phase = CopyMetadataFirst(prepared.source, *prepared.target, r.target, prepared.job, *r.metadataDisk,
                                            r.metadataPartitions, progress);
    out.volumesListed = phase.volumesListed;
    if (phase.status == raw::ImagingStatus::kDone && !r.metadataOnly) {
      prepared.job.resume = std::move(phase.map);
      result = raw::CopyImage(prepared.source, *prepared.target, std::move(prepared.job), progress);
      // The list in sector order, as one pass would give it.
      result.badSectors.insert(result.badSectors.end(), phase.badSectors.begin(), phase.badSectors.end());
      std::sort(result.badSectors.begin(), result.badSectors.end());
      result.sectorsCopied += phase.sectorsCopied;
      result.timedOutReads += phase.timedOutReads;
      out.metadataCopied = true;
    } else {
      result.status = phase.status;
      result.sectorSize = prepared.job.sectorSize;
      result.map = std::move(phase.map);
      result.badSectors = std::move(phase.badSectors);
      std::sort(result.badSectors.begin(), result.badSectors.end());
      result.sectorsCopied = phase.sectorsCopied;
      result.timedOutReads = phase.timedOutReads;
      result.targetError = phase.targetError;
      out.metadataCopied = phase.status == raw::ImagingStatus::kDone;
    }
  } else {
    result = raw::CopyImage(prepared.source, *prepared.target, std::move(prepared.job), progress);
  }
  if (result.status == raw::ImagingStatus::kDone && r.toDisk && !prepared.target->flush()) {
    result.status = raw::ImagingStatus::kTargetFailed;
    result.targetError = prepared.target->error();
  }
  if (!r.mapfile.empty() && result.status != raw::ImagingStatus::kBadJob) {
    const bool done = result.status == raw::ImagingStatus::kDone && !(r.metadataOnly && r.metadataDisk);
    // The map's current position: the end of what was read or tried in one go from the start.
    uint64_t current = 0;
    for (const raw::MapBlock& b : result.map.blocks()) {
      if (b.status != raw::MapStatus::kFinished && b.status != raw::MapStatus::kBadSector) break;
      current = b.end();
    }
    if (!SaveMap(r.mapfile, result.map.format(current, done ? '+' : '?', r.commandLine)))
      out.mapProblem = r.mapfile + ": the map could not be written";
  }
  const bool metadataOnly = r.metadataOnly && r.metadataDisk;
  out.copyFinished = result.status == raw::ImagingStatus::kDone && !metadataOnly;
  if (metadataOnly && result.status == raw::ImagingStatus::kDone) {
    out.status = platform::Status::kPartial;
    out.message = out.mapProblem.empty()
                      ? "the metadata of " + std::to_string(out.volumesListed) +
                            " volume(s) was copied, the rest not yet: run again with the same --mapfile"
                      : out.mapProblem;
    if (!out.mapProblem.empty()) out.status = platform::Status::kFailed;
    return out;
  }
  // The counts are in the source's sectors; say how large they are when they are not the usual ones.
  const std::string unit =
      result.sectorSize == raw::kImageSector ? std::string() : " of " + std::to_string(result.sectorSize) + " bytes";
  switch (result.status) {
    case raw::ImagingStatus::kDone:
      if (!out.mapProblem.empty()) {
        out.status = platform::Status::kFailed;
        out.message = out.mapProblem;
      } else if (!result.badSectors.empty()) {
        out.status = platform::Status::kPartial;
        out.message = std::to_string(result.badSectors.size()) + " sector(s)" + unit + " could not be read";
      }
      break;
    case raw::ImagingStatus::kStopped:
      out.status = platform::Status::kCancelled;
      out.message = "stopped after " + std::to_string(result.sectorsCopied) + " sectors" + unit;
      break;
    case raw::ImagingStatus::kTargetFailed:
      out.status = platform::Status::kFailed;
      out.message = "磁盘有坏道，请重新选择目标文件 (" + r.target + ": " + std::strerror(result.targetError) + ")";
      break;
    case raw::ImagingStatus::kSourceHung:
      out.status = platform::Status::kFailed;
      out.message = std::to_string(result.timedOutReads) +
                    " reads of the source hang; the copy stopped and the rest was not tried";
      break;
    case raw::ImagingStatus::kBadJob:
      out.status = platform::Status::kRefused;
      out.refused = RefusalKind::kRequest;
      out.message = "the map does not fit this copy";
      break;
  }
  return out;
}

}  // namespace orvaldi::ops
