// Reading a rescue map and placing its unread areas on the source.
#include "ops/map_areas.h"

#include <fstream>
#include <sstream>

#include "disk/sector_io.h"

namespace orvaldi::ops {

MapAreas LoadMapAreas(const std::string& path, const disk::DiskInfo& disk, const disk::PartitionInfo& partition,
                      MapBase base) {
  MapAreas out;
  auto refuse = [&](std::string message) {
    out.status = platform::Status::kRefused;
    out.message = path + ": " + std::move(message);
    return std::move(out);
  };
  // A map is of one disk: a volume assembled from several has no one place for it.
  if (partition.volumeKind != disk::VolumeKind::kPlain || disk.diskKind == disk::DiskKind::kDynamicGroup)
    return refuse("a map is of one disk; partition " + partition.name + " is a volume read from several");
  std::ifstream in(path, std::ios::binary);
  if (!in) return refuse("the map cannot be opened");
  std::stringstream text;
  text << in.rdbuf();
  std::string error;
  auto map = raw::RescueMap::parse(text.str(), error);
  if (!map) return refuse(error);
  out.map = std::move(*map);
  const uint64_t length = out.map.length();
  const uint64_t diskBytes = disk.sizeBytes > 0 ? static_cast<uint64_t>(disk.sizeBytes) : 0;
  const uint64_t partStart = partition.startSector * disk::SectorSize;
  // A partition copy ends where the source does, however long its entry says it is.
  const uint64_t partBytes = diskBytes > partStart
                                 ? std::min<uint64_t>(partition.sectorCount * disk::SectorSize, diskBytes - partStart)
                                 : partition.sectorCount * disk::SectorSize;
  switch (base) {
    case MapBase::kDisk:
      out.base = 0;
      break;
    case MapBase::kPartition:
      out.base = partStart;
      break;
    case MapBase::kAuto:
      if (length == diskBytes) {
        out.base = 0;
      } else if (length == partBytes) {
        out.base = partStart;
      } else {
        return refuse("the map covers " + std::to_string(length) + " bytes, the source " + std::to_string(diskBytes) +
                      " and partition " + partition.name + " " + std::to_string(partBytes) +
                      ": say whether it is of the disk or of the partition (--map-base disk|partition)");
      }
      break;
  }
  std::vector<platform::ByteRange> unread;
  for (const raw::MapBlock& b : out.map.blocks())
    if (b.status != raw::MapStatus::kFinished) unread.push_back({out.base + b.pos, out.base + b.end()});
  out.unread = std::make_shared<const platform::ByteAreas>(std::move(unread));
  return out;
}

}  // namespace orvaldi::ops
