// Carving: recognising the first sector of files of the known formats
// (fs/formats) by their leading bytes, measuring them by walking each
// format's own structure, and recording them in the disk's "Extra Found
// Files" folder.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "disk/disk_info.h"
#include "disk/partition_info.h"
#include "platform/sector_source.h"

namespace orvaldi::raw {

// Whether the sector's first bytes match the header test of a known format (the
// cheap test the sweep runs on every sector; no allocation, no read).
bool MayStartCarvedFile(const uint8_t* sector);

// What a probe found: the file's size, and how many bytes from its start
// the file itself is known to occupy. That is the size, or less where the
// size is rounded up (an OLE2 document's whole allocation table) or runs on
// past the file's first end (a JPEG whose end marker is followed by other
// bytes): a sweep skips only that far, so files that start behind it are
// still probed.
struct CarvedFind {
  uint32_t size = 0;
  uint64_t extent = 0;
  bool intact = true;  // false: the file breaks off before its end (see CarvedNode)
  bool operator==(const CarvedFind&) const = default;
};

// Tests the sector at absolute sector `startSector` of `disk` and, when it
// starts a file of a known type, measures the file and inserts a record
// under `startSector` into `disk.extraFoundFolder` (an existing record under
// that sector stays, but the file is still measured and returned).
// `sectorData` holds the sector and at least the next one; a caller that
// holds more of the following sectors passes them too, and the probe reads
// those from memory. Further reads go through `context` (a volume reader's
// partition record, or null for plain reads of `source`); they are
// positioned, so they disturb no reader of the same source.
std::optional<CarvedFind> ProbeCarvedFile(disk::DiskInfo& disk, platform::SectorSource* source,
                                          const disk::PartitionInfo* context, std::span<const uint8_t> sectorData,
                                          uint64_t startSector);

}  // namespace orvaldi::raw
