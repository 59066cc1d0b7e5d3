// The FAT16 and FAT32 reader: existing and deleted files and folders into the scan tree.
#pragma once

#include <cstdint>

#include "disk/disk_info.h"
#include "platform/progress.h"
#include "platform/sector_source.h"

namespace orvaldi::fs {

// Walk the tree from the root through the FAT, or search every cluster of
// the data area for directories (formatted or damaged volumes).
enum class FatMode { kSearch, kWalk };

// Scans the partition into its FatScanState, reading `source`, the one
// disk::OpenVolumeSource gave for it. Returns with what it found so far when
// cancelled (true). Returns false, having added nothing, when the volume's
// geometry cannot be found (neither the boot sector nor the FATs give it).
bool ScanFatVolume(platform::SectorSource* source, const disk::DiskInfo& disk, disk::PartitionInfo& partition,
                   bool fat32, FatMode mode, platform::ProgressBlock& progress);

}  // namespace orvaldi::fs
