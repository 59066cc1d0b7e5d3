// Free-space extraction: the free-cluster map of NTFS or FAT, then the copy.
#include "raw/free_space.h"

#include <algorithm>
#include <cstring>

#include "disk/bytes.h"
#include "disk/fat_entry.h"
#include "disk/fat_geometry.h"
#include "disk/fat_layout.h"
#include "disk/ntfs_layout.h"
#include "disk/partition_info.h"
#include "disk/recognisers.h"
#include "fs/exfat_reader.h"
#include "fs/ntfs_reader.h"
#include "fs/ntfs_record.h"

namespace orvaldi::raw {
namespace {

constexpr uint64_t kSector = disk::SectorSize;
constexpr uint64_t kPieceBytes = 1 << 20;

struct FreeRun {
  uint64_t first = 0;  // cluster number
  uint64_t count = 0;
};

// Where the volume's clusters lie and which are free.
struct FreeMap {
  uint64_t clusterBytes = 0;
  uint64_t firstCluster = 0;      // the first cluster of the data area: 0 on NTFS, 2 on FAT
  uint64_t firstClusterByte = 0;  // its byte offset within the volume
  std::vector<FreeRun> runs;
  uint64_t freeClusters = 0;
  uint64_t progressUnit = 1;  // clusters per progress position
  uint64_t progressUpper = 0;
  int64_t progressStep = 1;
  // Byte offset of `cluster` (firstCluster or above) within the volume.
  uint64_t offsetOf(uint64_t cluster) const { return firstClusterByte + (cluster - firstCluster) * clusterBytes; }
  void add(uint64_t cluster) {
    ++freeClusters;
    if (!runs.empty() && runs.back().first + runs.back().count == cluster) {
      ++runs.back().count;
    } else {
      runs.push_back({cluster, 1});
    }
  }
};

// Why no map came of a volume: its boot sector is not one this tool reads
// (refused), or the map could not be read (failed).
struct MapProblem {
  platform::Status status = platform::Status::kFailed;
  std::string message;
};

bool ReadWhole(platform::SectorSource& source, uint64_t offset, std::vector<uint8_t>& out) {
  return source.readAt(offset, out).bytes == out.size();
}

// NTFS: the $Bitmap file's data through all of its runs.
bool NtfsFreeMap(platform::SectorSource& source, uint64_t start, uint64_t count, std::span<const uint8_t> bootBytes,
                 FreeMap& map, MapProblem& problem) {
  const disk::ntfs::BootSector boot{disk::ByteView(bootBytes)};
  // Clusters and the volume in 512-byte sectors; the record size from the
  // volume's own sectors, as the boot sector counts it.
  const uint32_t spc = disk::NtfsClusterSectors(bootBytes);
  const uint32_t recordBytes = disk::NtfsRecordBytes(
      boot.clustersPerRecordCode(), disk::NtfsSectorsPerCluster(boot.sectorsPerClusterCode()), boot.bytesPerSector());
  if (!disk::IsLogicalSectorSize(boot.bytesPerSector()) || spc == 0 || recordBytes == 0) {
    problem = {platform::Status::kRefused, "the NTFS boot sector gives a geometry this tool does not read"};
    return false;
  }
  uint64_t volumeSectors = disk::NtfsVolumeSectors(bootBytes);
  if (count != 0) volumeSectors = std::min(volumeSectors, count);
  const uint64_t clusters = volumeSectors / spc;
  map.clusterBytes = uint64_t{spc} * kSector;
  if (boot.mftCluster() >= clusters) {
    problem.message = "the MFT cluster lies beyond the volume";
    return false;
  }
  // Record 6 is $Bitmap; the first records always lie in the MFT's first run.
  std::vector<uint8_t> record(recordBytes);
  const uint64_t recordAt = (start + boot.mftCluster() * spc) * kSector + 6ull * recordBytes;
  if (!ReadWhole(source, recordAt, record) || disk::CheckUpdateSequence(record) != 1) {
    problem.message = "the $Bitmap record (MFT record 6) cannot be read or is damaged";
    return false;
  }
  fs::DecodedRecord decoded;
  if (!fs::DecodeRecord(record, 6, fs::DecodeMode::kFull, decoded, {}) || !decoded.nonResidentData ||
      decoded.dataIncomplete || !decoded.hasDataSizes) {
    problem.message = "the $Bitmap record holds no usable data attribute";
    return false;
  }
  std::sort(decoded.dataExtents.begin(), decoded.dataExtents.end(),
            [](const fs::NtfsDataExtent& a, const fs::NtfsDataExtent& b) { return a.firstVcn < b.firstVcn; });
  std::vector<fs::NtfsRun> runs;
  uint64_t vcn = 0;
  for (const fs::NtfsDataExtent& extent : decoded.dataExtents) {
    if (extent.firstVcn != vcn) {
      problem.message = "the $Bitmap runs leave a gap";
      return false;
    }
    for (const fs::NtfsRun& run : extent.runs) {
      if (run.length == 0) continue;
      runs.push_back(run);
      vcn += run.length;
    }
  }
  const uint64_t needed = (clusters + 7) / 8;
  const uint64_t size = std::min(decoded.dataSize, needed);
  disk::PartitionInfo volume;
  volume.startSector = start;
  volume.sectorCount = volumeSectors;
  volume.sectorsPerCluster = spc;
  std::vector<uint8_t> bitmap;
  if (!fs::ReadAttributeStream(&source, volume, runs, size, bitmap)) {
    problem.message = "the $Bitmap data cannot be read whole";
    return false;
  }
  const uint64_t known = std::min(clusters, size * 8);
  for (uint64_t c = 0; c < known; ++c) {
    if ((bitmap[c / 8] >> (c % 8) & 1) == 0) map.add(c);
  }
  map.progressUnit = map.clusterBytes * 8;
  map.progressUpper = (size + map.clusterBytes - 1) / map.clusterBytes;
  map.progressStep = 1;
  return true;
}

// FAT16/FAT32: the zero entries of the first FAT copy (the second when the
// first cannot be read), among the clusters the volume has.
bool FatFreeMap(platform::SectorSource& source, uint64_t start, uint64_t count, std::span<const uint8_t> bootBytes,
                bool fat32, FreeMap& map, MapProblem& problem) {
  const auto geometry = disk::FatGeometry::FromBootSector(bootBytes, fat32, {start, count, 0});
  if (!geometry) {
    problem = {platform::Status::kRefused, "the FAT boot sector gives a geometry this tool does not read"};
    return false;
  }
  const disk::FatGeometry& g = *geometry;
  const uint64_t clusters = g.clusterCount;
  const uint64_t fatBytes = ((clusters + 2) * g.entryWidth() + kSector - 1) / kSector * kSector;
  std::vector<uint8_t> fat(fatBytes);
  bool read = false;
  for (uint32_t copy = 0; copy < g.fatCount && copy < 2 && !read; ++copy)
    read = ReadWhole(source, g.fatStart(copy) * kSector, fat);
  if (!read) {
    problem.message = "no copy of the FAT can be read whole";
    return false;
  }
  const disk::FatEntries entries(fat, fat32);
  const uint64_t last = std::min<uint64_t>(clusters + 2, entries.count());
  for (uint64_t c = 2; c < last; ++c) {
    if (entries[static_cast<uint32_t>(c)] == 0) map.add(c);
  }
  map.clusterBytes = g.clusterBytes();
  map.firstCluster = 2;
  map.firstClusterByte = (g.dataStart - start) * kSector;
  map.progressUnit = 1000;
  map.progressUpper = map.freeClusters;
  map.progressStep = 1000;
  return true;
}

// exFAT: the clear bits of the allocation bitmap (found in the root folder).
bool ExfatFreeMap(platform::SectorSource& source, uint64_t start, uint64_t count, FreeMap& map, MapProblem& problem) {
  disk::PartitionInfo volume;
  volume.startSector = start;
  volume.sectorCount = count;
  volume.typeByte = disk::type_code::kExfat;
  fs::ExfatScanState state;
  if (!fs::ReadExfatAllocation(&source, volume, state)) {
    problem.message = state.geometry.clusterCount == 0 ? "neither exFAT boot region gives a usable volume"
                                                       : "the exFAT allocation bitmap cannot be read whole";
    return false;
  }
  const fs::ExfatGeometry& g = state.geometry;
  for (uint64_t c = 0; c < g.clusterCount; ++c) {
    if ((state.bitmap[c / 8] >> (c % 8) & 1) == 0) map.add(c + 2);
  }
  map.clusterBytes = g.clusterBytes();
  map.firstCluster = 2;
  map.firstClusterByte = (g.heapSector - start) * kSector;
  map.progressUnit = 1000;
  map.progressUpper = map.freeClusters;
  map.progressStep = 1000;
  return true;
}

}  // namespace

FreeSpaceResult ExtractFreeSpace(platform::SectorSource& source, uint64_t startSector, uint64_t sectorCount,
                                 platform::WriteTarget& out, FreeSpaceLayout layout,
                                 platform::ProgressBlock& progress) {
  FreeSpaceResult r;
  std::vector<uint8_t> boot(kSector);
  if (!ReadWhole(source, startSector * kSector, boot)) {
    r.status = platform::Status::kFailed;
    r.message = "the boot sector cannot be read";
    return r;
  }
  // The boot sector, not the partition's type code, says what the volume is.
  if (disk::IsNtfsBootSectorAnyHidden(boot)) {
    r.family = disk::FsFamily::kNtfs;
  } else if (disk::IsFat32BootSector(boot)) {
    r.family = disk::FsFamily::kFat32;
  } else if (disk::IsFat16BootSector(boot)) {
    r.family = disk::FsFamily::kFat16;
  } else if (disk::IsExfatBootSector(boot)) {
    r.family = disk::FsFamily::kExfat;
  } else {
    r.status = platform::Status::kRefused;
    r.message = "not a FAT16, FAT32 or NTFS volume";
    return r;
  }
  FreeMap map;
  MapProblem problem;
  const bool ok = r.family == disk::FsFamily::kNtfs ? NtfsFreeMap(source, startSector, sectorCount, boot, map, problem)
                  : r.family == disk::FsFamily::kExfat ? ExfatFreeMap(source, startSector, sectorCount, map, problem)
                                                       : FatFreeMap(source, startSector, sectorCount, boot,
                                                                    r.family == disk::FsFamily::kFat32, map, problem);
  if (!ok) {
    r.status = problem.status;
    r.message = std::move(problem.message);
    return r;
  }
  r.clusterBytes = map.clusterBytes;
  r.freeClusters = map.freeClusters;

  progress.setText("正在提取空闲空间");
  progress.beginStage(static_cast<int64_t>(map.progressUpper), map.progressStep);
  const uint64_t volumeByte = startSector * kSector;
  const uint64_t perPiece = std::max<uint64_t>(1, kPieceBytes / map.clusterBytes);
  std::vector<uint8_t> buffer;
  uint64_t compactAt = 0;
  uint64_t done = 0;  // free clusters handled
  auto put = [&](uint64_t cluster, const uint8_t* bytes, uint64_t n) {
    const uint64_t at = layout == FreeSpaceLayout::kCompact ? compactAt : map.offsetOf(cluster);
    if (!out.writeAt(at, {bytes, static_cast<size_t>(n)})) return false;
    compactAt += n;
    return true;
  };
  for (const FreeRun& run : map.runs) {
    for (uint64_t c = run.first; c < run.first + run.count;) {
      if (progress.cancelled()) {
        r.status = platform::Status::kCancelled;
        return r;
      }
      const uint64_t n = std::min(perPiece, run.first + run.count - c);
      buffer.assign(n * map.clusterBytes, 0);
      const bool whole = ReadWhole(source, volumeByte + map.offsetOf(c), buffer);
      if (whole) {
        if (!put(c, buffer.data(), buffer.size())) {
          r.status = platform::Status::kFailed;
          r.targetFailed = true;
          r.targetError = out.error();
          return r;
        }
        r.clustersWritten += n;
      } else {
        // Cluster by cluster, so only the unreadable ones are lost.
        std::vector<uint8_t> one(map.clusterBytes);
        for (uint64_t k = 0; k < n; ++k) {
          const bool good = ReadWhole(source, volumeByte + map.offsetOf(c + k), one);
          if (!good) {
            r.unreadableClusters.push_back(c + k);
            std::fill(one.begin(), one.end(), 0);
          }
          if (!put(c + k, one.data(), one.size())) {
            r.status = platform::Status::kFailed;
            r.targetFailed = true;
            r.targetError = out.error();
            return r;
          }
          r.clustersWritten += good ? 1 : 0;
        }
      }
      c += n;
      done += n;
      const uint64_t position = r.family == disk::FsFamily::kNtfs ? c / map.progressUnit : done / map.progressUnit;
      progress.setText("正在提取空闲空间...");
      progress.setPosition(position * static_cast<uint64_t>(map.progressStep));
    }
  }
  // Said of FAT as well: an operator must not have to guess whether the copy ended.
  if (r.unreadableClusters.empty()) {
    progress.setText("提取完成！");
  } else {
    r.status = platform::Status::kPartial;
  }
  return r;
}

}  // namespace orvaldi::raw
