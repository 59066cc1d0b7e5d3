// The NTFS reader: the MFT walked in table order into the scan tree, with orphans placed.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "disk/disk_info.h"
#include "fs/ntfs_record.h"
#include "platform/progress.h"
#include "platform/sector_source.h"

namespace orvaldi::fs {

struct NtfsScanState;

// Scans an NTFS partition record by record through its MFT into the
// partition's NtfsScanState, reading `source`, the one
// disk::OpenVolumeSource gave for it. Returns false when nothing could be
// read (no MFT).
// When a full-disk scan noted MFT record runs inside the partition, the walk
// hands the partition to the listed-runs search instead (which may drop
// carved files from the disk's "Extra Found Files").
bool ScanNtfsVolume(platform::SectorSource* source, disk::DiskInfo& disk, disk::PartitionInfo& partition,
                    platform::ProgressBlock& progress);

// Reads the first `size` bytes of a non-resident attribute of the partition
// through its runs (a StreamReader). Sizes are the caller's to bound.
bool ReadAttributeStream(platform::SectorSource* source, const disk::PartitionInfo& partition,
                         const std::vector<NtfsRun>& runs, uint64_t size, std::vector<uint8_t>& out);

// Reads record `number` through the partition's MFT run list and decodes it.
bool ReadRecordByNumber(platform::SectorSource* source, const disk::PartitionInfo& partition,
                        const NtfsScanState& state, uint64_t number, DecodedRecord& out);

}  // namespace orvaldi::fs
