// FirstDataSector: the first cluster of a FAT or exFAT entry, the first data
// run of an NTFS record, turned into a sector of the disk.
#include "fs/first_data_sector.h"

#include "disk/fat_geometry.h"
#include "fs/exfat_state.h"
#include "fs/extract.h"
#include "fs/ntfs_record.h"
#include "fs/ntfs_state.h"

namespace orvaldi::fs {
namespace {

// Whether `sector` lies inside the partition's own range (a partition whose
// size is not known takes any).
bool WithinPartition(const disk::PartitionInfo& partition, uint64_t sector) {
  if (sector < partition.startSector) return false;
  return partition.sectorCount == 0 || sector - partition.startSector < partition.sectorCount;
}

std::optional<uint64_t> FatFirstSector(const disk::PartitionInfo& partition, uint32_t cluster) {
  const disk::FatGeometry g = disk::FatGeometry::OfRecord(partition);
  if (cluster < 2 || g.sectorsPerCluster == 0) return std::nullopt;
  if (g.clusterCount != 0 && cluster - 2 >= g.clusterCount) return std::nullopt;
  const uint64_t sector = g.clusterSector(cluster);
  if (!WithinPartition(partition, sector)) return std::nullopt;
  return sector;
}

std::optional<uint64_t> ExfatFirstSector(const disk::PartitionInfo& partition, uint32_t cluster) {
  const ExfatScanState* state = FindExfatState(partition);
  if (state == nullptr || !state->geometry.isCluster(cluster) || state->geometry.clusterSectors == 0)
    return std::nullopt;
  const uint64_t sector = state->geometry.clusterSector(cluster);
  if (!WithinPartition(partition, sector)) return std::nullopt;
  return sector;
}

// The first run of the unnamed data's extent at VCN 0; the run list of the
// base record when the extents were not kept.
const NtfsRun* FirstDataRun(const DecodedRecord& r) {
  for (const NtfsDataExtent& extent : r.dataExtents)
    if (extent.firstVcn == 0) return extent.runs.empty() ? nullptr : &extent.runs.front();
  return r.runs.empty() ? nullptr : &r.runs.front();
}

std::optional<uint64_t> NtfsFirstSector(platform::SectorSource* source, const disk::PartitionInfo& partition,
                                        const NtfsNode& node) {
  const NtfsScanState* state = FindNtfsState(partition);
  if (state == nullptr || partition.sectorsPerCluster == 0) return std::nullopt;
  DecodedRecord r;
  if (!ReadNtfsRecord(source, partition, *state, node.recordNumber, r)) return std::nullopt;
  if (!r.nonResidentData || r.compressedData) return std::nullopt;
  const NtfsRun* run = FirstDataRun(r);
  if (run == nullptr || run->sparse || run->firstCluster == 0 || run->length == 0) return std::nullopt;
  if (run->firstCluster > (UINT64_MAX - partition.startSector) / partition.sectorsPerCluster) return std::nullopt;
  const uint64_t sector = partition.startSector + run->firstCluster * partition.sectorsPerCluster;
  if (!WithinPartition(partition, sector)) return std::nullopt;
  return sector;
}

}  // namespace

std::optional<uint64_t> FirstDataSector(platform::SectorSource* source, const disk::PartitionInfo& partition,
                                        const NodeRef& node) {
  if (!node.isFileLike() || node.isStream() || node.foundByContent()) return std::nullopt;
  switch (node.family()) {
    case NodeFamily::kFat:
      return FatFirstSector(partition, node.fat()->firstCluster);
    case NodeFamily::kExfat:
      return ExfatFirstSector(partition, node.exfat()->firstCluster);
    case NodeFamily::kNtfs:
      return NtfsFirstSector(source, partition, *node.ntfs());
    case NodeFamily::kCarved:
    case NodeFamily::kNone:
      break;
  }
  return std::nullopt;
}

}  // namespace orvaldi::fs
