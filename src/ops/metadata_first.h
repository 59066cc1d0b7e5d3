// Imaging the metadata of a disk's volumes before their data: each volume is
// listed as the copy is made, every sector the listing reads copied first
// (with the copy's time limits, its bad-sector handling and its map), so a
// disk that dies during the copy has given its file listing first.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "disk/disk_info.h"
#include "platform/file_target.h"
#include "platform/progress.h"
#include "platform/sector_source.h"
#include "raw/imaging.h"

namespace orvaldi::ops {

struct MetadataPhase {
  raw::ImagingStatus status = raw::ImagingStatus::kDone;
  raw::RescueMap map;                // the job's map with the metadata copied
  std::vector<uint64_t> badSectors;  // in the job's logical sectors, absolute on the source
  uint64_t sectorsCopied = 0;
  unsigned timedOutReads = 0;
  int targetError = 0;
  size_t volumesListed = 0;  // volumes whose listing was read
};

// For each of `partitions` (indexes into disk.partitions; FAT, NTFS and
// exFAT ones, the others are passed over) that lies in the job's range:
// lists it through the copy, then copies the rest of its metadata (boot
// sectors and their backups, every FAT copy, the fixed root; NTFS's
// $MFTMirr and the index allocations of its folders). `targetPath` is read
// back for the listing. job.resume, when set, is the map to go on from.
MetadataPhase CopyMetadataFirst(std::shared_ptr<platform::SectorSource> source, platform::WriteTarget& target,
                                const std::string& targetPath, const raw::ImagingJob& job, disk::DiskInfo& disk,
                                const std::vector<size_t>& partitions, platform::ProgressBlock& progress);

}  // namespace orvaldi::ops
