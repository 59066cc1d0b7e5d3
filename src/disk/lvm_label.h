// LVM2 physical volumes: the label in sector 1, the metadata area, and the logical volumes they describe.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "disk/disk_info.h"
#include "disk/lvm_metadata.h"
#include "platform/sector_source.h"

namespace orvaldi::disk {

// What a volume group's metadata says about one of its physical volumes.
struct LvmPhysicalVolume {
  std::string groupId;  // the group's "id", as written
  std::string pvId;     // this volume's "id", as written (with hyphens)
  uint32_t extentSize = 0;
  uint64_t devSize = 0;
  uint64_t peStart = 0;
  uint32_t peCount = 0;
  std::vector<LogicalVolume> volumes;
  // Per volume: every segment is a plain one-stripe mapping ("striped" with
  // one stripe, or "linear"), the only kind whose data lies as it is on the disks.
  std::vector<bool> linear;
};

// Reads the group's values for the physical volume whose 32-character label
// id is `memberId` (compared without hyphens). Nothing when the group's id or
// extent size, or this volume's entry with dev_size, pe_start and pe_count,
// is missing or out of range. A logical volume whose segments lack their
// extents is skipped; the others are kept.
std::optional<LvmPhysicalVolume> InterpretLvmMetadata(const LvmSection& root, std::string_view memberId);

// True for the record of a disk whose LVM2 label and metadata were read
// (a dynamic disk's record also has a memberId, but no extent size).
inline bool HasLvmValues(const DiskInfo& disk) { return disk.lvmExtentSize != 0; }

// The hand-off from the partition-table reader when sector 0 has no boot
// signature. Returns 1 when sector 1 is not an LVM2 label. Otherwise returns
// 0 (the label decides what the disk is) and, when the label, the metadata
// area and its text are sound, sets the disk's memberId, groupId and lvm*
// values and its logicalVolumes, and appends a partition record for every
// linear logical volume that lies wholly on this disk: a plain record when it
// is one segment, a spanned record over `devicePath` when it is several.
int ReadLvmLabel(platform::SectorSource& source, DiskInfo& disk, std::span<const uint8_t> sector1,
                 const std::string& devicePath);

}  // namespace orvaldi::disk
