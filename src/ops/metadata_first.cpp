// Metadata first: the readers list each volume through a source that copies
// what they read before handing it over.
#include "ops/metadata_first.h"

#include <algorithm>
#include <cerrno>

#include "disk/fat_geometry.h"
#include "disk/fs_family.h"
#include "disk/recognisers.h"
#include "disk/sector_io.h"
#include "fs/extract.h"
#include "fs/ntfs_state.h"
#include "ops/open_partition.h"

namespace orvaldi::ops {
namespace {

constexpr uint64_t kSector = disk::SectorSize;

// A source that copies every range asked of it (what of it the map does not
// yet hold) from the disk into the image, and then reads the image: a
// sector the copy could not read fails here as it did on the disk.
class PullingSource final : public platform::SectorSource {
 public:
  PullingSource(std::shared_ptr<platform::SectorSource> source, platform::WriteTarget& target,
                std::unique_ptr<platform::SectorSource> image, const raw::ImagingJob& job, MetadataPhase& phase,
                platform::ProgressBlock& progress)
      : source_(std::move(source)),
        target_(target),
        image_(std::move(image)),
        job_(job),
        phase_(phase),
        progress_(progress),
        length_(phase.map.length()) {}

  platform::ReadOutcome readAt(uint64_t offset, std::span<uint8_t> out) override {
    if (out.empty()) return {};
    // Outside the copied range nothing is copied; the disk itself is read.
    if (offset < job_.sourceOffset || offset + out.size() > job_.sourceOffset + length_)
      return source_->readAt(offset, out);
    const uint64_t rel = offset - job_.sourceOffset;
    pull(rel, out.size());
    // The image holds it now, except where the disk gave nothing.
    uint64_t good = out.size();
    for (const raw::MapBlock& b : phase_.map.blocks()) {
      if (b.end() <= rel || b.pos >= rel + out.size()) continue;
      if (b.status != raw::MapStatus::kFinished) {
        good = std::max(b.pos, rel) - rel;
        break;
      }
    }
    good = good / kSector * kSector;
    platform::ReadOutcome r;
    if (good > 0) r = image_->readAt(job_.targetOffset + rel, out.first(static_cast<size_t>(good)));
    if (r.bytes == out.size()) return r;
    if (r.error == 0) r.error = EIO;
    return r;
  }
  uint64_t size() const override { return source_->size(); }

  // Copies what of [rel, rel + bytes) the map does not hold yet.
  void pull(uint64_t rel, uint64_t bytes) {
    if (stopped_ || bytes == 0) return;
    const uint32_t unit = job_.sectorSize;
    const uint64_t from = rel / unit * unit;
    const uint64_t to = std::min(length_, (rel + bytes + unit - 1) / unit * unit);
    bool needed = false;
    for (const raw::MapBlock& b : phase_.map.blocks())
      if (b.end() > from && b.pos < to && b.status != raw::MapStatus::kFinished &&
          b.status != raw::MapStatus::kBadSector)
        needed = true;
    if (!needed) return;
    if (progress_.cancelled()) {
      stop(raw::ImagingStatus::kStopped);
      return;
    }
    raw::ImagingJob piece;
    piece.sourceOffset = job_.sourceOffset;
    piece.length = length_;
    piece.targetOffset = job_.targetOffset;
    piece.limits = job_.limits;
    piece.sectorSize = unit;
    piece.resume = std::move(phase_.map);
    piece.only.push_back({from, to - from, raw::MapStatus::kNonTried});
    platform::ProgressBlock quiet;
    raw::ImagingResult r = raw::CopyImage(source_, target_, std::move(piece), quiet);
    phase_.map = std::move(r.map);
    phase_.badSectors.insert(phase_.badSectors.end(), r.badSectors.begin(), r.badSectors.end());
    phase_.sectorsCopied += r.sectorsCopied;
    phase_.timedOutReads += r.timedOutReads;
    if (job_.listBadSectors)
      for (const uint64_t s : r.badSectors) progress_.pushRow(std::to_string(s));
    progress_.setText("元数据: " + std::to_string(phase_.sectorsCopied) + " 扇区完成镜像  坏扇区 " +
                      std::to_string(phase_.badSectors.size()));
    if (job_.checkpoint) job_.checkpoint(phase_.map);
    if (r.status != raw::ImagingStatus::kDone) {
      phase_.targetError = r.targetError;
      stop(r.status);
    }
  }
  void pullSectors(uint64_t absoluteSector, uint64_t count) {
    const uint64_t at = absoluteSector * kSector;
    if (at < job_.sourceOffset || count == 0) return;
    pull(at - job_.sourceOffset, std::min(count * kSector, length_ - std::min(length_, at - job_.sourceOffset)));
  }
  bool stopped() const { return stopped_; }

 private:
  void stop(raw::ImagingStatus status) {
    stopped_ = true;
    phase_.status = status;
  }

  std::shared_ptr<platform::SectorSource> source_;
  platform::WriteTarget& target_;
  std::unique_ptr<platform::SectorSource> image_;
  const raw::ImagingJob& job_;
  MetadataPhase& phase_;
  platform::ProgressBlock& progress_;
  uint64_t length_;
  bool stopped_ = false;
};

// The metadata a listing does not read: every FAT copy, the boot sectors'
// backups, NTFS's $MFTMirr and folder index allocations.
void PullTheRest(PullingSource& pull, const disk::PartitionInfo& part) {
  const disk::FsFamily family = disk::FamilyOf(part.typeByte);
  if (family == disk::FsFamily::kFat16 || family == disk::FsFamily::kFat32) {
    std::vector<uint8_t> boot(kSector);
    disk::ReadVolumeSectors(&pull, &part, part.startSector, 1, boot.data());
    const bool fat32 = family == disk::FsFamily::kFat32;
    if (!(fat32 ? disk::IsFat32BootSector(boot) : disk::IsFat16BootSector(boot))) return;
    const auto geo =
        disk::FatGeometry::FromBootSector(boot, fat32, {part.startSector, part.sectorCount, pull.size() / kSector});
    // Boot region, reserved sectors (the FAT32 backup boot), the FATs and the fixed root.
    if (geo && geo->dataStart > part.startSector) pull.pullSectors(part.startSector, geo->dataStart - part.startSector);
    return;
  }
  if (family != disk::FsFamily::kNtfs) return;
  if (part.sectorCount > 0) pull.pullSectors(part.startSector + part.sectorCount - 1, 1);  // the backup boot sector
  const fs::NtfsScanState* state = fs::FindNtfsState(part);
  if (!state || part.sectorsPerCluster == 0) return;
  const uint64_t spc = part.sectorsPerCluster;
  auto pullRuns = [&](const std::vector<fs::NtfsRun>& runs) {
    for (const fs::NtfsRun& run : runs)
      if (!run.sparse && run.length > 0 && run.length < part.sectorCount / spc)
        pull.pullSectors(part.startSector + run.firstCluster * spc, run.length * spc);
  };
  fs::DecodedRecord mirror;
  if (fs::ReadNtfsRecord(&pull, part, *state, 1, mirror)) pullRuns(mirror.runs);
  // Folders' index allocations: their records' runs (a folder has no unnamed data).
  std::vector<const fs::NtfsNode*> folders = {&state->root};
  while (!folders.empty() && !pull.stopped()) {
    const fs::NtfsNode* folder = folders.back();
    folders.pop_back();
    fs::DecodedRecord record;
    if (fs::ReadNtfsRecord(&pull, part, *state, folder->recordNumber, record)) pullRuns(record.runs);
    for (const fs::NtfsNode& child : folder->children)
      if (fs::IsFolderLike(child.flags)) folders.push_back(&child);
  }
}

}  // namespace

MetadataPhase CopyMetadataFirst(std::shared_ptr<platform::SectorSource> source, platform::WriteTarget& target,
                                const std::string& targetPath, const raw::ImagingJob& job, disk::DiskInfo& disk,
                                const std::vector<size_t>& partitions, platform::ProgressBlock& progress) {
  MetadataPhase phase;
  const uint64_t length = raw::BytesOnSource(job.sourceOffset, job.length, source->size());
  phase.map = job.resume ? *job.resume : raw::RescueMap(length);
  if (phase.map.length() != length) {
    phase.status = raw::ImagingStatus::kBadJob;
    return phase;
  }
  auto image = platform::FileSource::open(targetPath);
  if (!image.source) {
    phase.status = raw::ImagingStatus::kTargetFailed;
    phase.targetError = image.error;
    return phase;
  }
  PullingSource pull(source, target, std::move(image.source), job, phase, progress);
  for (const size_t index : partitions) {
    if (index >= disk.partitions.size() || pull.stopped()) continue;
    disk::PartitionInfo& part = disk.partitions[index];
    const uint64_t start = part.startSector * kSector;
    if (start < job.sourceOffset || start >= job.sourceOffset + length) continue;
    platform::ProgressBlock scanProgress;
    const OpenedPartition opened = ScanPartitionOn(pull, disk, part, ScanMode::kWalk, scanProgress);
    if (opened.status == OpenStatus::kNotAFileSystem) continue;
    if (opened.status == OpenStatus::kOk || opened.status == OpenStatus::kPartial) ++phase.volumesListed;
    PullTheRest(pull, part);
  }
  return phase;
}

}  // namespace orvaldi::ops
