// What volume, if any, begins at a given sector, with its label.
#pragma once

#include <cstdint>
#include <string>

#include "disk/hfs_kind.h"
#include "platform/sector_source.h"

namespace orvaldi::disk {

struct VolumeGuess {
  std::string
      fs;  // "NTFS", "FAT32", "FAT16", "exFAT", "EXT2/3/4", "HFS", "HFS+", "HFSX", "HFS+ in HFS"; empty when none
  uint8_t typeByte = 0;  // MBR-style code for the file system, 0 when none
  HfsKind hfsKind = HfsKind::kNone;
  std::string label;
};

// Runs the recognisers on the sector at `sector` (boot sectors) and on the
// 1,024 bytes two sectors further (EXT superblock, HFS volume header), in
// the order NTFS, FAT32, FAT16, exFAT, EXT, HFS; the first that accepts wins.
// At sector 0 an NTFS boot sector may record 0 hidden sectors, and so may
// one at the start of a table entry of `entrySectors` sectors (0: not an
// entry) that the rest of the boot sector fits.
VolumeGuess IdentifyVolume(platform::SectorSource& source, uint64_t sector, uint64_t entrySectors = 0);

}  // namespace orvaldi::disk
