// Header confirmation of deleted FAT files of known types.
#include "raw/start_cluster_search.h"

#include <algorithm>

#include "disk/fat_entry.h"
#include "disk/fs_family.h"
#include "disk/sector_io.h"
#include "fs/formats/registry.h"

namespace orvaldi::raw {

std::string ExtensionOf(std::string_view name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return {};
  std::string out(name.substr(dot + 1));
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

bool IsKnownExtension(std::string_view extension, KnownList list) {
  return fs::formats::FormatOfExtension(extension, list == KnownList::kShort) != nullptr;
}

bool ConfirmHeader(std::string_view ext, std::span<const uint8_t> head, uint64_t fileSize) {
  return fs::formats::ConfirmsHeader(ext, head, fileSize);
}

std::vector<uint32_t> StartClusterSearch(platform::SectorSource* source, const disk::PartitionInfo& partition,
                                         std::string_view extension, uint32_t firstCluster, uint64_t fileSize,
                                         UsedClusterSet& used) {
  std::vector<uint32_t> found;
  const uint32_t spc = partition.sectorsPerCluster;
  if (spc == 0 || partition.clusterZeroSector == 0) return found;
  // A deleted entry keeps the low 16 bits of its cluster: the candidates are
  // those low bits in each 64 Ki-cluster group the FAT numbers. Other
  // partition types have no FAT to size the search: the low group only.
  const disk::FsFamily family = disk::FamilyOf(partition.typeByte);
  const uint64_t fatBytes = uint64_t{partition.fatSizeSectors} * disk::SectorSize;
  const uint64_t highest =
      disk::IsFat(family) ? (fatBytes / disk::FatEntries::WidthOf(family == disk::FsFamily::kFat32)) >> 16 : 0;
  // Clusters past the volume hold nothing of it.
  const uint64_t volumeEnd = partition.startSector + partition.sectorCount;
  std::vector<uint8_t> cluster(uint64_t{spc} * disk::SectorSize);
  const uint32_t low = firstCluster & 0xFFFF;
  for (uint64_t h = 0; h <= highest; ++h) {
    const uint64_t c = h * 65536 + low;
    if (c < 2 || c > UINT32_MAX) continue;
    if (used.contains(static_cast<uint32_t>(c))) continue;
    const uint64_t sector = partition.clusterZeroSector + c * spc;
    if (partition.sectorCount != 0 && sector + spc > volumeEnd) break;
    disk::ReadVolumeSectors(source, &partition, sector, spc, cluster.data());
    if (!ConfirmHeader(extension, cluster, fileSize)) continue;
    used.add(static_cast<uint32_t>(c));
    found.push_back(static_cast<uint32_t>(c));
  }
  return found;
}

}  // namespace orvaldi::raw
