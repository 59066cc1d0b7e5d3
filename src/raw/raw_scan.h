// The full-disk raw scan: every sector of a range tested for boot sectors,
// MFT records, FAT structures and carvable files.
//
// What it finds goes into the DiskInfo: volumes found by their boot sectors
// or rebuilt from their structures are appended to the partition list,
// directory sectors and MFT record runs are noted for the FAT reader and the
// NTFS searches, and carved files land in the "Extra Found Files" folder.
#pragma once

#include <cstdint>
#include <vector>

#include "disk/disk_info.h"
#include "disk/partition_info.h"
#include "platform/progress.h"
#include "platform/sector_source.h"

namespace orvaldi::raw {

// Sectors tested per chunk (10 MiB); the buffer holds one more, so that
// every probe sees its sector and the one after it.
inline constexpr uint64_t kRawScanChunkSectors = 0x5000;

// Sectors of the swept range that gave no data: they could not be read, or
// they lie inside a long unreadable stretch that the sweep passed over with
// a few trial reads rather than one failing read per sector.
struct UnreadableRun {
  uint64_t start = 0;  // absolute sector
  uint64_t sectors = 0;
  bool operator==(const UnreadableRun&) const = default;
};

// What a sweep met besides what it found.
struct RawScanReport {
  std::vector<UnreadableRun> unreadable;  // in sector order; runs do not touch
  uint64_t unreadableSectors() const {
    uint64_t n = 0;
    for (const UnreadableRun& run : unreadable) n += run.sectors;
    return n;
  }
};

struct RawScanCheckpoints;  // raw/sweep_state.h

// Sweeps `sectorCount` sectors from `firstSector` (absolute on the disk, or
// from the volume's start when `context` is an assembled volume), through the
// source disk::OpenVolumeSource gives for `context` (the whole disk without
// one). Returns 1 when the sweep ran (also when it was
// cancelled: what was found stays, and the rebuilding that follows the
// sweep still runs on it), 0 when the source could not be opened. `report`,
// when given, receives the sectors that could not be read. `checkpoints`,
// when given, saves the sweep's state as it goes, or takes a stopped sweep up
// again.
int RawDiskScan(disk::DiskInfo& disk, platform::ProgressBlock& progress, uint64_t firstSector, uint64_t sectorCount,
                const disk::PartitionInfo* context = nullptr, RawScanReport* report = nullptr,
                const RawScanCheckpoints* checkpoints = nullptr);

// The same on an already open source, the one disk::OpenVolumeSource gave
// for `context`; null reads nothing (0).
int RawDiskScan(platform::SectorSource* source, disk::DiskInfo& disk, platform::ProgressBlock& progress,
                uint64_t firstSector, uint64_t sectorCount, const disk::PartitionInfo* context = nullptr,
                RawScanReport* report = nullptr, const RawScanCheckpoints* checkpoints = nullptr);

}  // namespace orvaldi::raw
