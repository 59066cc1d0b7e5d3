// Copying the clusters a FAT, NTFS or exFAT volume marks as free into one file,
// where deleted data may still lie for other tools to search.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "disk/fs_family.h"
#include "platform/file_target.h"
#include "platform/progress.h"
#include "platform/sector_source.h"
#include "platform/status.h"

namespace orvaldi::raw {

enum class FreeSpaceLayout {
  kCompact,  // the free clusters one after the other, in cluster order
  kLayout,   // each free cluster at its own offset within the volume; the rest zero
};

// status: kOk (every free cluster copied), kPartial (some could not be
// read: `unreadableClusters`), kCancelled, kRefused (not a FAT16, FAT32 or
// NTFS volume, or its boot sector gives a geometry this tool does not read),
// kFailed (the free-cluster map could not be read, or the target refused a
// write: `targetFailed`). `message` says why when the status is not kOk or
// kPartial; a failed write leaves it to the caller, who knows the target's name.
struct FreeSpaceResult {
  platform::Status status = platform::Status::kOk;
  std::string message;
  disk::FsFamily family = disk::FsFamily::kOther;  // what the boot sector showed
  uint64_t clusterBytes = 0;
  uint64_t freeClusters = 0;     // clusters the map marks free
  uint64_t clustersWritten = 0;  // of those, read whole and written
  // Free clusters that could not be read: their place in the output holds
  // zero bytes, so the clusters after them keep their offsets.
  std::vector<uint64_t> unreadableClusters;
  bool targetFailed = false;
  int targetError = 0;  // errno of the failed write
};

// Extracts the free space of the volume at `startSector` (`sectorCount`
// sectors; 0 when not known) of `source` into `out`. NTFS: clusters whose
// $Bitmap bit is 0, following every run of the bitmap; bits past the
// volume's last cluster are ignored. FAT16/FAT32: clusters whose FAT entry
// is 0, among the clusters the volume has (the FAT's slack is ignored).
// exFAT: clusters whose allocation-bitmap bit is 0.
// Progress: "正在提取空闲空间" with one step per bitmap cluster (NTFS) or per
// 1,000 free clusters (FAT); the cancel flag is tested between reads.
FreeSpaceResult ExtractFreeSpace(platform::SectorSource& source, uint64_t startSector, uint64_t sectorCount,
                                 platform::WriteTarget& out, FreeSpaceLayout layout, platform::ProgressBlock& progress);

}  // namespace orvaldi::raw
