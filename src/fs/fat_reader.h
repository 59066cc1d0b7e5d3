// The FAT16 and FAT32 reader: existing and deleted files and folders into the scan tree.
#pragma once

#include <cstdint>

#include "disk/disk_info.h"
#include "platform/progress.h"
#include "platform/sector_source.h"

namespace orvaldi::fs {

// Mode values: walk the tree from the root through the FAT, or search every
// cluster of the data area for directories (formatted or damaged volumes).
inline constexpr int kFatModeSearch = 0;
inline constexpr int kFatModeWalk = 1;

// Scans the partition into its FatScanState. Opens the disk itself (unless
// the partition is a dynamic volume, read through its mapping). Returns with
// what it found so far when cancelled; adds nothing when the disk cannot be
// opened or the volume's geometry cannot be found.
void ScanFat32(const disk::DiskInfo& disk, disk::PartitionInfo& partition, int mode,
               platform::ProgressBlock& progress);
void ScanFat16(const disk::DiskInfo& disk, disk::PartitionInfo& partition, int mode,
               platform::ProgressBlock& progress);

// The same on an already open source (null for a dynamic volume).
void ScanFatVolume(platform::SectorSource* source, const disk::DiskInfo& disk, disk::PartitionInfo& partition,
                   bool fat32, int mode, platform::ProgressBlock& progress);

}  // namespace orvaldi::fs
