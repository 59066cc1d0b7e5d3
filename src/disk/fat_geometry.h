// Where a FAT16/FAT32 volume keeps its FATs, root directory and clusters:
// worked out once, from the boot sector or from what a search measured, with
// its bounds checked here, so that every reader addresses clusters alike.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "disk/partition_info.h"
#include "disk/sector_io.h"

namespace orvaldi::disk {

// What the volume around a boot sector is known to hold; 0 where not known.
struct FatVolumeBounds {
  uint64_t startSector = 0;    // the boot sector, absolute on the disk
  uint64_t sectorCount = 0;    // the partition's sectors
  uint64_t sourceSectors = 0;  // sectors the source holds (an image may be cut short)
};

// FAT32 numbers at most 0x0FFFFFF6 clusters: 4-byte entries fill this many sectors.
inline constexpr uint32_t kMaxFat32FatSectors = 0x200000;
// Cluster numbers 2 .. 0x0FFFFFF6 (FAT32) and 2 .. 0xFFF6 (FAT16) name data
// clusters; the values above are marks.
inline constexpr uint32_t kMaxFat32Clusters = 0x0FFFFFF5;
inline constexpr uint32_t kMaxFat16Clusters = 0xFFF5;

struct FatGeometry {
  bool fat32 = false;
  uint64_t startSector = 0;  // the volume's first sector, absolute
  // Every count here is in 512-byte sectors, whatever the volume's own
  // sector size (`volumeBytesPerSector`, from its boot sector) is: a boot
  // sector's counts are scaled when read.
  uint32_t bytesPerSector = SectorSize;
  uint32_t volumeBytesPerSector = SectorSize;
  uint32_t sectorsPerCluster = 0;
  uint32_t reservedSectors = 0;
  uint32_t fatCount = 0;
  uint32_t fatSize = 0;      // sectors of one FAT copy
  uint32_t rootEntries = 0;  // FAT16: entries of the fixed root directory
  uint32_t rootSectors = 0;  // FAT16: sectors of the fixed root directory
  uint32_t rootCluster = 0;  // FAT32: the root directory's first cluster
  // Absolute sector of cluster 2, the first cluster of the data area.
  uint64_t dataStart = 0;
  // The volume's sectors (boot sector and partition agreed on the smaller);
  // 0 when neither says.
  uint64_t volumeSectors = 0;
  // Data clusters (numbers 2 .. clusterCount + 1): what the data area holds,
  // no more than the FAT can describe. 0 when the volume's size is not known.
  uint32_t clusterCount = 0;

  // From a boot sector whose type test (IsFat16/32BootSector) the caller
  // made, or `problem` says which field is out of bounds.
  static std::optional<FatGeometry> FromBootSector(std::span<const uint8_t> boot, bool fat32,
                                                   const FatVolumeBounds& bounds, std::string* problem = nullptr);
  // From a partition record whose cluster size, cluster-0 sector and FAT
  // size a search measured: two FATs behind the reserved area and, on FAT16,
  // a 512-entry root directory, as formatting tools leave them. Empty when
  // the record lacks them or the FATs would not fit in front of the data.
  static std::optional<FatGeometry> FromSearch(const PartitionInfo& partition, bool fat32);
  // The record's cluster addressing as it stands (the reader writes it back
  // after it measured the volume); whatever is not known stays 0.
  static FatGeometry OfRecord(const PartitionInfo& partition);
  // A volume rebuilt from its structures: the first FAT's position, the FAT
  // size and the cluster size, with two FATs and the usual root directory.
  static FatGeometry Rebuilt(bool fat32, const FatVolumeBounds& bounds, uint32_t reservedSectors, uint32_t fatSize,
                             uint32_t sectorsPerCluster);

  // A volume a sweep measured: data cluster `cluster` begins at sector
  // `clusterSector`, with this cluster and FAT size. The caller made sure
  // that cluster >= 2 and that cluster 0 would not lie before sector 0.
  static FatGeometry Measured(bool fat32, const FatVolumeBounds& bounds, uint32_t sectorsPerCluster, uint32_t fatSize,
                              uint64_t clusterSector, uint32_t cluster);

  // Writes the cluster size, the FAT size and the cluster-0 sector into a
  // partition record (its searches and copies read them from there).
  void describe(PartitionInfo& partition) const;

  uint32_t entryWidth() const { return fat32 ? 4 : 2; }
  uint64_t clusterBytes() const { return uint64_t{sectorsPerCluster} * bytesPerSector; }
  // First sector of FAT copy `copy` (0 the first).
  uint64_t fatStart(uint32_t copy = 0) const { return startSector + reservedSectors + uint64_t{copy} * fatSize; }
  // FAT16: the fixed root directory; FAT32: the data area.
  uint64_t rootStart() const { return fatStart() + uint64_t{fatCount} * fatSize; }
  // Where cluster 0 would lie (clusters 0 and 1 have no sectors): cluster
  // `c` begins at clusterZeroSector() + c x sectorsPerCluster. Empty when
  // that would lie before the disk's first sector.
  std::optional<uint64_t> clusterZeroSector() const {
    const uint64_t two = 2ull * sectorsPerCluster;
    if (dataStart < two) return std::nullopt;
    return dataStart - two;
  }
  // Absolute first sector of data cluster `cluster` (2 or more).
  uint64_t clusterSector(uint32_t cluster) const { return dataStart + (uint64_t{cluster} - 2) * sectorsPerCluster; }
  // Entries one FAT copy holds.
  uint64_t fatEntries() const { return uint64_t{fatSize} * bytesPerSector / entryWidth(); }
};

}  // namespace orvaldi::disk
