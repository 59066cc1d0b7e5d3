// Reading the label a recognised volume gives itself.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "disk/hfs_kind.h"
#include "platform/sector_source.h"

namespace orvaldi::disk {

// The label of the volume at `startSector`, chosen by the MBR-style type
// code: FAT32 (0x0B, 0x0C) and FAT16 (0x04, 0x06, 0x0E) from the label entry
// of the root directory, NTFS (0x07, 0x0D) from the volume file's name
// attribute, EXT (0x83) from the superblock, exFAT (0x05) from the root
// directory's label entry. Empty when there is none or it cannot be read.
std::string ReadVolumeLabel(platform::SectorSource& source, uint64_t startSector, uint8_t typeByte);

// The label shown for an HFS-family volume, from its volume header (the
// sector 1,024 bytes into the volume) and its HfsSignatureKind: the master
// directory block's name for HFS and wrapped HFS+, "only hfs+" for HFS+,
// "HFSX" for HFSX, empty otherwise.
std::string HfsVolumeLabel(std::span<const uint8_t> header, HfsKind hfsKind);

}  // namespace orvaldi::disk
