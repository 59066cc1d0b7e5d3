// Records that volume managers attach to disks and partitions (LVM2, dynamic disks).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace orvaldi::disk {

// One segment of an LVM2 logical volume.
struct LvmSegment {
  uint32_t startExtent = 0;
  uint32_t extentCount = 0;
  std::string type;  // not filled by the metadata parser
  uint32_t stripeCount = 0;
  std::string pvId;  // physical volume named in "stripes", by its id
  uint64_t pvStartExtent = 0;
};

// One LVM2 logical volume, as recorded on the physical volume's DiskInfo.
struct LogicalVolume {
  std::string name;
  uint8_t flags = 0;  // not filled by the metadata parser
  std::string text1, text2, text3;
  uint64_t sizeSectors = 0;  // sum of extent_count x extent size over the segments
  uint32_t segmentCount = 0;
  std::string text4;
  std::vector<LvmSegment> segments;
};

// One member extent of a dynamic (striped, spanned, RAID-5) volume.
struct VolumeMember {
  std::array<uint8_t, 16> diskGuid{};
  std::string devicePath;    // empty while the member disk has not been seen
  uint64_t startSector = 0;  // absolute on the member disk
  uint64_t sectorCount = 0;
};

}  // namespace orvaldi::disk
