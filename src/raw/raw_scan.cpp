// The full-disk raw scan: one sweep over a sector range, each sector's
// tests (and the hand-off to the carving probes), then the rebuilding of
// volumes from what the sweep noted.
#include "raw/raw_scan.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "disk/bytes.h"
#include "disk/recognisers.h"
#include "disk/volume_label.h"
#include "disk/volume_source.h"
#include "raw/carving.h"
#include "raw/raw_scan_internal.h"
#include "raw/sweep_reader.h"

namespace orvaldi::raw {
namespace {

using disk::PartitionInfo;
using platform::SectorSource;

constexpr uint64_t kSector = disk::SectorSize;
constexpr uint64_t kChunk = kRawScanChunkSectors;

bool HasRecordSignature(const uint8_t* p) { return std::memcmp(p, "FILE", 4) == 0 || std::memcmp(p, "FHDL", 4) == 0; }

}  // namespace

void ReadRange(SectorSource* source, const PartitionInfo* context, uint64_t sector, uint64_t count, uint8_t* out) {
  if (count == 0) return;
  if (sector > UINT64_MAX / kSector - count) {
    std::memset(out, 0, count * kSector);
    return;
  }
  disk::ReadVolumeSectors(source, context, sector, count, out);
}

bool RawScan::sweep() {
  const uint64_t lastChunk = sectorCount_ / kChunk;
  progress_.beginStage(static_cast<int64_t>(std::min<uint64_t>(lastChunk, INT64_MAX)), 1);
  const SweepState* resume = checkpoints_ ? checkpoints_->resume : nullptr;
  // The next slices are read while this one is tested; a range of one
  // chunk or less has nothing to overlap.
  SliceReader reader(source_, context_, first_, end_, sectorCount_ > kChunk, resume ? &resume->reader : nullptr);
  if (!reader.ready()) return false;
  // What a sector's tests pass over (a carved file, a file record) may run
  // on over chunk marks.
  uint64_t next = first_;
  uint64_t k = 0;
  if (resume) {
    next = std::max(first_, resume->next);
    k = resume->chunk;
    fat32Pair_ = resume->fat32;
    fat16Pair_ = resume->fat16;
    directoryPairs_ = resume->directoryPairs;
    liveTables_ = resume->liveTables;
    mirrorTables_ = resume->mirrorTables;
  }
  const bool saving = checkpoints_ != nullptr && checkpoints_->save;
  auto lastSaved = std::chrono::steady_clock::now();
  for (; k <= lastChunk; ++k) {
    if (progress_.cancelled()) break;
    const uint64_t chunkStart = first_ + k * kChunk;
    progress_.setText(std::to_string(k * kChunk) + " 扇区被扫描");
    progress_.setPosition(k);
    if (chunkStart >= end_) break;
    // Between chunks the clock costs nothing next to 10 MiB of tests.
    if (saving && std::chrono::steady_clock::now() - lastSaved >= checkpoints_->interval) {
      saveCheckpoint(reader, k, next, false);
      lastSaved = std::chrono::steady_clock::now();
    }
    if (!testChunk(reader, chunkStart, next)) break;
  }
  if (saving) saveCheckpoint(reader, k, next, !progress_.cancelled());
  unreadable_ = reader.finish();
  return true;
}

void RawScan::saveCheckpoint(const SliceReader& reader, uint64_t chunk, uint64_t next, bool complete) {
  SweepState state;
  state.next = next;
  state.chunk = chunk;
  state.reader = reader.resumePoint();
  state.fat32 = fat32Pair_;
  state.fat16 = fat16Pair_;
  state.directoryPairs = directoryPairs_;
  state.liveTables = liveTables_;
  state.mirrorTables = mirrorTables_;
  state.complete = complete;
  checkpoints_->save(state, disk_);
}

bool RawScan::testChunk(SliceReader& reader, uint64_t chunkStart, uint64_t& next) {
  const uint64_t chunkEnd = chunkStart + std::min(kChunk, end_ - chunkStart);
  const uint64_t stopAt = checkpoints_ ? checkpoints_->stopAt : UINT64_MAX;
  uint64_t sliceEnd = 0;  // the slice before this sector holds data
  while (next < chunkEnd) {
    if (next >= stopAt) progress_.requestCancel();
    if (progress_.cancelled()) return false;
    if (next >= sliceEnd) {
      // A hole is zeros, which the tests would pass over one by one; it may
      // run on over many chunks.
      if (const uint64_t data = reader.dataFrom(next); data != next) {
        next = data;
        // A stop inside the hole, or behind it up to here, is reached.
        if (next >= stopAt) progress_.requestCancel();
        continue;
      }
      sliceEnd = reader.sliceEnd(next);
    }
    // On a disk of larger sectors the sweep stays on their boundaries.
    if (const uint64_t into = stride_ > 1 ? next % stride_ : 0; into != 0) {
      next = std::min(end_, next + (stride_ - into));
      continue;
    }
    next += testSector(reader.at(next), next, reader.heldFrom(next));
  }
  return true;
}

// Tests one sector (`p` holds it and the `held` - 1 sectors after it, at
// least one); returns how many sectors the sweep moves on, at least 1 and
// never past the end of the range.
uint64_t RawScan::testSector(const uint8_t* p, uint64_t sector, uint64_t held) {
  // Every boot sector looked for gives 512 to 4,096 bytes per sector
  // (offset 0x0B): testing that first spares most sectors the load of their
  // last cache line.
  const uint8_t perSectorHigh = p[0x0C];
  if (p[0x0B] == 0x00 &&
      (perSectorHigh == 0x02 || perSectorHigh == 0x04 || perSectorHigh == 0x08 || perSectorHigh == 0x10) &&
      p[0x1FE] == 0x55 && p[0x1FF] == 0xAA) {
    const std::span<const uint8_t> s(p, kSector);
    if (disk::IsNtfsBootSector(s)) {
      ntfsByBootSector(p, sector);
      return 1;
    }
    if (disk::IsFat32BootSector(s)) {
      fat32ByBootSector(p, sector);
      return 1;
    }
    if (disk::IsFat16BootSector(s)) {
      fat16ByBootSector(p, sector);
      return 1;
    }
  }
  const uint64_t left = end_ - sector;
  uint64_t advance = 1;
  if (HasRecordSignature(p) && fileRecord(p, sector)) advance = std::min(kRecordSectors, left);
  if (disk::IsFat32TableStart(p)) {
    fatTableStart(true, sector);
  } else if (MayStartCarvedFile(p)) {
    // The sweep goes on behind the bytes the file itself holds, which may
    // be fewer than its saved size: files that start there are still found.
    const std::optional<CarvedFind> found =
        ProbeCarvedFile(disk_, source_, context_, std::span<const uint8_t>(p, held * kSector), sector);
    if (found && found->size != 0) {
      const uint64_t sectors = (found->extent + kSector - 1) / kSector;
      return std::min(std::max(advance, sectors), left);
    }
  }
  if (disk::IsFat16TableStart(p)) {
    fatTableStart(false, sector);
  } else {
    directoryTests(p, sector);
  }
  return advance;
}

// ---- The partition list ----

// Whether the list holds a partition starting at `start` with one of `types`
// (any type when empty) and, when `origin` is given, of that origin.
bool RawScan::hasPartition(uint64_t start, std::initializer_list<uint8_t> types,
                           std::optional<disk::PartitionOrigin> origin) const {
  for (const PartitionInfo& q : disk_.partitions) {
    if (q.startSector != start) continue;
    if (origin && q.origin != *origin) continue;
    if (types.size() != 0 && std::find(types.begin(), types.end(), q.typeByte) == types.end()) continue;
    return true;
  }
  return false;
}

// Whether the list holds a volume of `family` starting at `start`.
bool RawScan::hasPartition(uint64_t start, disk::FsFamily family) const {
  for (const PartitionInfo& q : disk_.partitions)
    if (q.startSector == start && disk::FamilyOf(q.typeByte) == family) return true;
  return false;
}

void RawScan::add(PartitionInfo partition, bool withLabel) {
  // A volume's label is read in place on the disk; through a volume reader
  // there is no disk position to read it at.
  if (withLabel && plainReads_ && source_ != nullptr)
    partition.volumeLabel = disk::ReadVolumeLabel(*source_, partition.startSector, partition.typeByte);
  partition.name = "Partition" + std::to_string(disk_.partitions.size());
  disk_.partitions.push_back(std::move(partition));
}

uint64_t RawScan::diskSectors() const {
  if (disk_.sizeBytes > 0) return static_cast<uint64_t>(disk_.sizeBytes) / kSector;
  if (source_ != nullptr && source_->size() != 0) return source_->size() / kSector;
  return UINT64_MAX;
}

int RawDiskScan(SectorSource* source, disk::DiskInfo& disk, platform::ProgressBlock& progress, uint64_t firstSector,
                uint64_t sectorCount, const PartitionInfo* context, RawScanReport* report,
                const RawScanCheckpoints* checkpoints) {
  disk.extraFoundFolder.name = disk::kExtraFoundFolderName;
  disk.extraFoundFolder.size = 0;
  const bool mapped = context != nullptr && context->volumeKind != disk::VolumeKind::kPlain;
  if (source == nullptr) return 0;
  // Sectors past the source's end cannot be read; they are not swept, so
  // none of them is reported unreadable.
  if (!mapped) {
    const uint64_t end = source->size() / kSector;
    sectorCount = firstSector >= end ? 0 : std::min(sectorCount, end - firstSector);
  }
  RawScan scan(source, disk, progress, firstSector, sectorCount, context);
  scan.setCheckpoints(checkpoints);
  if (!scan.sweep()) return 0;
  // Also after a stop: what the sweep collected is still worth rebuilding.
  scan.rebuildFromDirectoryPairs();
  scan.matchMftCandidates();
  if (report) report->unreadable = scan.takeUnreadable();
  return 1;
}

int RawDiskScan(disk::DiskInfo& disk, platform::ProgressBlock& progress, uint64_t firstSector, uint64_t sectorCount,
                const PartitionInfo* context, RawScanReport* report, const RawScanCheckpoints* checkpoints) {
  disk.extraFoundFolder.name = disk::kExtraFoundFolderName;
  disk.extraFoundFolder.size = 0;
  // Without a partition the sweep reads the whole disk, as for a plain one.
  const PartitionInfo wholeDisk;
  const disk::OpenedVolume opened = disk::OpenVolumeSource(disk, context ? *context : wholeDisk);
  if (!opened.source) return 0;
  return RawDiskScan(opened.source.get(), disk, progress, firstSector, sectorCount, context, report, checkpoints);
}

}  // namespace orvaldi::raw
