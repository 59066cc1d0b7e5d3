// Copying the clusters a FAT or NTFS volume marks as free into one file,
// where deleted data may still lie for other tools to search.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/file_target.h"
#include "platform/progress.h"
#include "platform/sector_source.h"

namespace orvaldi::raw {

enum class FreeSpaceLayout {
  kCompact,  // the free clusters one after the other, in cluster order
  kLayout,   // each free cluster at its own offset within the volume; the rest zero
};

enum class FreeSpaceStatus {
  kDone,
  kCancelled,
  kNotSupported,   // not a FAT16, FAT32 or NTFS volume with 512-byte sectors
  kUnreadableMap,  // the FAT or the NTFS $Bitmap could not be read whole
  kTargetFailed,
};

enum class FreeSpaceFs { kNone, kFat16, kFat32, kNtfs };

struct FreeSpaceResult {
  FreeSpaceStatus status = FreeSpaceStatus::kDone;
  FreeSpaceFs fs = FreeSpaceFs::kNone;
  uint64_t clusterBytes = 0;
  uint64_t freeClusters = 0;     // clusters the map marks free
  uint64_t clustersWritten = 0;  // of those, read whole and written
  // Free clusters that could not be read: their place in the output holds
  // zero bytes, so the clusters after them keep their offsets.
  std::vector<uint64_t> unreadableClusters;
  std::string problem;  // one line when the status is not kDone
  int targetError = 0;
};

// Extracts the free space of the volume at `startSector` (`sectorCount`
// sectors; 0 when not known) of `source` into `out`. NTFS: clusters whose
// $Bitmap bit is 0, following every run of the bitmap; bits past the
// volume's last cluster are ignored. FAT16/FAT32: clusters whose FAT entry
// is 0, among the clusters the volume has (the FAT's slack is ignored).
// Progress: "正在提取空闲空间" with one step per bitmap cluster (NTFS) or per
// 1,000 free clusters (FAT); the cancel flag is tested between reads.
FreeSpaceResult ExtractFreeSpace(platform::SectorSource& source, uint64_t startSector, uint64_t sectorCount,
                                 platform::WriteTarget& out, FreeSpaceLayout layout, platform::ProgressBlock& progress);

}  // namespace orvaldi::raw
