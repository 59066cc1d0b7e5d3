// A rescue map (ours from `image --mapfile`, or GNU ddrescue's) read as the
// areas of a source that a copy never got: placed on the source, and laid
// on its disk record so every reader meets them as unreadable sectors.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "disk/disk_info.h"
#include "platform/byte_areas.h"
#include "platform/status.h"
#include "raw/rescue_map.h"

namespace orvaldi::ops {

// What a map's position 0 is: a copy of a whole disk begins at the disk's
// first byte, a copy of one partition at the partition's.
enum class MapBase : uint8_t {
  kAuto,       // from the map's length: the source's size, else the partition's
  kDisk,       // byte 0 of the source
  kPartition,  // the partition's first byte
};

struct MapAreas {
  platform::Status status = platform::Status::kOk;  // kRefused: the map could not be read or placed
  std::string message;
  raw::RescueMap map;
  uint64_t base = 0;  // the source byte the map's position 0 lies at
  // Every block not finished ('?', '*', '/', '-'), in bytes absolute on the source.
  std::shared_ptr<const platform::ByteAreas> unread;
  bool partitionBased() const { return base != 0; }
};

// Reads the map at `path` and places it for `partition` of `disk`; a map
// whose length is neither the source's nor the partition's is refused under
// kAuto, since it cannot be told where it belongs.
MapAreas LoadMapAreas(const std::string& path, const disk::DiskInfo& disk, const disk::PartitionInfo& partition,
                      MapBase base);

}  // namespace orvaldi::ops
