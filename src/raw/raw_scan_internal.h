// The raw scan's state across its sweep: what the sector tests noted and
// the volumes they found or rebuilt. Internal to the raw scan.
#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <vector>

#include "disk/disk_info.h"
#include "disk/fat_entry.h"
#include "disk/fs_family.h"
#include "disk/partition_info.h"
#include "disk/recognisers.h"
#include "disk/sector_io.h"
#include "platform/progress.h"
#include "platform/sector_source.h"
#include "raw/raw_scan.h"
#include "raw/sweep_state.h"

namespace orvaldi::raw {

class SliceReader;

inline constexpr uint64_t kRecordSectors = 2;  // the 1,024-byte file record the sweep tests

// `count` sectors from `sector` into `out`, zero where nothing could be read.
// Sector numbers whose byte offset does not fit 64 bits read as zeros.
void ReadRange(platform::SectorSource* source, const disk::PartitionInfo* context, uint64_t sector, uint64_t count,
               uint8_t* out);

// The start of a FAT32 table: the media entry 0x0FFFFFF8, then the end mark
// of entry 1. Only the low 28 bits of an entry count: Windows writes
// 0xFFFFFFFF there, mkfs.fat 0x0FFFFFFF.

class RawScan {
 public:
  RawScan(platform::SectorSource* source, disk::DiskInfo& disk, platform::ProgressBlock& progress, uint64_t first,
          uint64_t count, const disk::PartitionInfo* context)
      : source_(source),
        disk_(disk),
        progress_(progress),
        context_(context),
        first_(first),
        sectorCount_(std::min(count, UINT64_MAX - first)),
        end_(first + sectorCount_),
        plainReads_(context == nullptr || context->volumeKind == disk::VolumeKind::kPlain),
        stride_(std::max<uint32_t>(1, disk::SectorsPerLogical(disk.bytesPerSector))) {}

  // Checkpoints to save, or a sweep to go on from; set before sweep().
  void setCheckpoints(const RawScanCheckpoints* checkpoints) { checkpoints_ = checkpoints; }
  bool sweep();
  void rebuildFromDirectoryPairs();
  void matchMftCandidates();
  std::vector<UnreadableRun> takeUnreadable() { return std::move(unreadable_); }

 private:
  bool testChunk(SliceReader& reader, uint64_t chunkStart, uint64_t& next);
  void saveCheckpoint(const SliceReader& reader, uint64_t chunk, uint64_t next, bool complete);
  uint64_t testSector(const uint8_t* p, uint64_t sector, uint64_t held);

  void ntfsByBootSector(const uint8_t* p, uint64_t sector);
  void fat32ByBootSector(const uint8_t* p, uint64_t sector);
  void fat16ByBootSector(const uint8_t* p, uint64_t sector);
  bool fileRecord(const uint8_t* p, uint64_t sector);
  void noteRecordRun(uint64_t sector);
  void examineMftRecord(std::span<const uint8_t> record, uint64_t sector);
  void fatTableStart(bool fat32, uint64_t sector);
  void directoryTests(const uint8_t* p, uint64_t sector);
  void rebuildFromPair(bool fat32, uint64_t sector, uint32_t cluster);
  std::optional<uint64_t> fsInfoStart(uint64_t firstFat);

  bool holdsFileRecord(uint64_t sector);
  bool hasPartition(uint64_t start, std::initializer_list<uint8_t> types,
                    std::optional<disk::PartitionOrigin> origin = std::nullopt) const;
  bool hasPartition(uint64_t start, disk::FsFamily family) const;
  void add(disk::PartitionInfo partition, bool withLabel);
  uint64_t diskSectors() const;

  platform::SectorSource* source_;
  disk::DiskInfo& disk_;
  platform::ProgressBlock& progress_;
  const disk::PartitionInfo* context_;
  uint64_t first_;
  uint64_t sectorCount_;
  uint64_t end_;  // first sector behind the range
  bool plainReads_;
  // 512-byte sectors in one of the disk's logical sectors: everything a
  // volume puts on the disk starts on such a boundary, so only those are
  // tested.
  uint64_t stride_;

  FatPair fat32Pair_;
  FatPair fat16Pair_;
  std::vector<DirectoryPair> directoryPairs_;
  std::vector<MftCandidate> liveTables_;    // record 5 follows record 0: a working MFT
  std::vector<MftCandidate> mirrorTables_;  // records 0 to 3 only: the mirror
  std::vector<UnreadableRun> unreadable_;
  const RawScanCheckpoints* checkpoints_ = nullptr;
};

}  // namespace orvaldi::raw
