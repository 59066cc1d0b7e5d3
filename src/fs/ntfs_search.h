// Finding NTFS records by sector: formatted or damaged volumes, and the runs a disk scan noted.
#pragma once

#include "disk/disk_info.h"
#include "platform/progress.h"
#include "platform/sector_source.h"

namespace orvaldi::fs {

// Examines every sector of the partition: valid file records are decoded and
// placed, re-parented at the end; compound documents and JPEG pictures in
// the other sectors are listed under "扩展目录". Reads `source`, the one
// disk::OpenVolumeSource gave for the partition.
bool SearchNtfsVolume(platform::SectorSource* source, disk::DiskInfo& disk, disk::PartitionInfo& partition,
                      platform::ProgressBlock& progress);

// Examines every second sector of the disk's MFT record runs that start
// inside the partition. Carved files that start where a found record's data
// starts are dropped from the disk's "Extra Found Files".
bool SearchListedRuns(platform::SectorSource* source, disk::DiskInfo& disk, disk::PartitionInfo& partition,
                      platform::ProgressBlock& progress);

}  // namespace orvaldi::fs
