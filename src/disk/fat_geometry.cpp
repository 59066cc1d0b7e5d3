// The FAT volume's layout from its boot sector or a search, bounds-checked once.
#include "disk/fat_geometry.h"

#include <algorithm>

#include "disk/bytes.h"
#include "disk/fat_layout.h"
#include "disk/fs_family.h"
#include "disk/recognisers.h"

namespace orvaldi::disk {
namespace {

bool IsPowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

// A formatting tool's FAT16 root directory: 512 entries of 32 bytes.
constexpr uint32_t kUsualRootEntries = 512;

uint32_t RootSectorsOf(uint32_t rootEntries) { return (rootEntries * fat::kEntryBytes + SectorSize - 1) / SectorSize; }

// The smaller of two sizes where both are known, else the one that is.
uint64_t KnownMin(uint64_t a, uint64_t b) {
  if (a == 0) return b;
  if (b == 0) return a;
  return std::min(a, b);
}

// Clusters the data area holds from `dataStart` to the volume's end, no more
// than the FAT has entries for and cluster numbers reach.
uint32_t ClustersOf(const FatGeometry& g) {
  if (g.volumeSectors == 0 || g.sectorsPerCluster == 0) return 0;
  const uint64_t end = g.startSector + g.volumeSectors;
  if (end <= g.dataStart) return 0;
  uint64_t clusters = (end - g.dataStart) / g.sectorsPerCluster;
  const uint64_t entries = g.fatEntries();
  clusters = std::min(clusters, entries > 2 ? entries - 2 : 0);
  return static_cast<uint32_t>(std::min<uint64_t>(clusters, g.fat32 ? kMaxFat32Clusters : kMaxFat16Clusters));
}

std::optional<FatGeometry> Refuse(std::string* problem, std::string text) {
  if (problem) *problem = std::move(text);
  return std::nullopt;
}

}  // namespace

std::optional<FatGeometry> FatGeometry::FromBootSector(std::span<const uint8_t> boot, bool fat32,
                                                       const FatVolumeBounds& bounds, std::string* problem) {
  const fat::BootSector b{ByteView(boot)};
  FatGeometry g;
  g.fat32 = fat32;
  g.startSector = bounds.startSector;
  g.volumeBytesPerSector = b.bytesPerSector();
  const uint32_t k = SectorsPerLogical(g.volumeBytesPerSector);
  const std::string at = "FAT boot sector at sector " + std::to_string(bounds.startSector) + ": ";
  if (k == 0)
    return Refuse(problem,
                  at + "bytes per sector " + std::to_string(g.volumeBytesPerSector) + ", not 512, 1024, 2048 or 4096");
  // The boot sector counts in its own sectors; from here on all is in 512-byte ones.
  g.sectorsPerCluster = b.sectorsPerCluster() * k;
  g.reservedSectors = b.reservedSectors() * k;
  g.fatCount = b.fatCount();
  const uint32_t fatSize = b.fatSize(fat32);
  if (fatSize > UINT32_MAX / k) return Refuse(problem, at + "FAT size " + std::to_string(fatSize) + " is absurd");
  g.fatSize = fatSize * k;
  g.rootEntries = fat32 ? 0 : b.rootEntries();
  // The fixed root directory fills whole sectors of the volume's size.
  const uint32_t rootLogical = (g.rootEntries * fat::kEntryBytes + g.volumeBytesPerSector - 1) / g.volumeBytesPerSector;
  g.rootSectors = rootLogical * k;
  g.rootCluster = fat32 ? b.rootCluster() : 0;
  if (!IsPowerOfTwo(b.sectorsPerCluster()))
    return Refuse(problem,
                  at + "sectors per cluster " + std::to_string(b.sectorsPerCluster()) + " is not a power of two");
  if (g.reservedSectors == 0) return Refuse(problem, at + "no reserved sectors");
  if (g.fatCount == 0) return Refuse(problem, at + "no FAT copies");
  if (g.fatSize == 0) return Refuse(problem, at + "FAT size 0");
  // The FAT copy in memory is sized from this: no more than cluster numbers reach.
  if (fat32 && g.fatSize > kMaxFat32FatSectors)
    return Refuse(problem, at + "FAT size " + std::to_string(g.fatSize) + " sectors, more than " +
                               std::to_string(kMaxFat32FatSectors));
  if (fat32 && g.rootCluster < 2)
    return Refuse(problem, at + "root cluster " + std::to_string(g.rootCluster) + ", below 2");
  const uint64_t bootTotal = uint64_t{b.totalSectors16() != 0 ? b.totalSectors16() : b.totalSectors32()} * k;
  g.volumeSectors = KnownMin(bootTotal, bounds.sectorCount);
  const uint64_t dataOffset = uint64_t{g.reservedSectors} + uint64_t{g.fatCount} * g.fatSize + g.rootSectors;
  if (g.volumeSectors != 0 && dataOffset >= g.volumeSectors)
    return Refuse(problem, at + "the FATs end at sector " + std::to_string(dataOffset) + " of a volume of " +
                               std::to_string(g.volumeSectors));
  if (bounds.sourceSectors != 0 && g.fatStart() >= bounds.sourceSectors)
    return Refuse(problem, at + "the first FAT at sector " + std::to_string(g.fatStart()) +
                               " lies past the source's end (" + std::to_string(bounds.sourceSectors) + " sectors)");
  g.dataStart = bounds.startSector + dataOffset;
  g.clusterCount = ClustersOf(g);
  return g;
}

std::optional<FatGeometry> FatGeometry::FromSearch(const PartitionInfo& partition, bool fat32) {
  if (partition.sectorsPerCluster == 0 || partition.clusterZeroSector == 0) return std::nullopt;
  FatGeometry g = OfRecord(partition);
  g.fat32 = fat32;
  g.fatCount = 2;
  g.rootEntries = fat32 ? 0 : kUsualRootEntries;
  g.rootSectors = RootSectorsOf(g.rootEntries);
  g.rootCluster = fat32 ? 2 : 0;
  const uint64_t beforeData = uint64_t{g.fatCount} * g.fatSize + g.rootSectors;
  if (g.dataStart < partition.startSector + beforeData) return std::nullopt;
  const uint64_t reserved = g.dataStart - beforeData - partition.startSector;
  if (reserved > UINT32_MAX) return std::nullopt;
  g.reservedSectors = static_cast<uint32_t>(reserved);
  g.clusterCount = ClustersOf(g);
  return g;
}

FatGeometry FatGeometry::OfRecord(const PartitionInfo& partition) {
  FatGeometry g;
  g.fat32 = FamilyOf(partition.typeByte) == FsFamily::kFat32;
  g.startSector = partition.startSector;
  g.sectorsPerCluster = partition.sectorsPerCluster;
  g.fatSize = partition.fatSizeSectors;
  g.volumeSectors = partition.sectorCount;
  g.dataStart = partition.clusterZeroSector + 2ull * partition.sectorsPerCluster;
  return g;
}

FatGeometry FatGeometry::Rebuilt(bool fat32, const FatVolumeBounds& bounds, uint32_t reservedSectors, uint32_t fatSize,
                                 uint32_t sectorsPerCluster) {
  FatGeometry g;
  g.fat32 = fat32;
  g.startSector = bounds.startSector;
  g.sectorsPerCluster = sectorsPerCluster;
  g.reservedSectors = reservedSectors;
  g.fatCount = 2;
  g.fatSize = fatSize;
  g.rootEntries = fat32 ? 0 : kUsualRootEntries;
  g.rootSectors = RootSectorsOf(g.rootEntries);
  g.rootCluster = fat32 ? 2 : 0;
  g.volumeSectors = bounds.sectorCount;
  g.dataStart = g.rootStart() + g.rootSectors;
  g.clusterCount = ClustersOf(g);
  return g;
}

FatGeometry FatGeometry::Measured(bool fat32, const FatVolumeBounds& bounds, uint32_t sectorsPerCluster,
                                  uint32_t fatSize, uint64_t clusterSector, uint32_t cluster) {
  PartitionInfo record;
  record.startSector = bounds.startSector;
  record.sectorCount = bounds.sectorCount;
  record.sectorsPerCluster = sectorsPerCluster;
  record.fatSizeSectors = fatSize;
  record.clusterZeroSector = clusterSector - uint64_t{cluster} * sectorsPerCluster;
  if (auto searched = FromSearch(record, fat32)) return *searched;
  // The FATs need not fit in front of the data as assumed: the clusters are
  // where the directory says all the same.
  FatGeometry g = OfRecord(record);
  g.fat32 = fat32;
  g.clusterCount = ClustersOf(g);
  return g;
}

void FatGeometry::describe(PartitionInfo& partition) const {
  partition.bytesPerSector = volumeBytesPerSector;
  partition.sectorsPerCluster = sectorsPerCluster;
  partition.fatSizeSectors = fatSize;
  if (const auto zero = clusterZeroSector()) partition.clusterZeroSector = *zero;
}

}  // namespace orvaldi::disk
