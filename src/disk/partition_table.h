// Reading a disk's partitions: MBR and extended chains, GPT, Apple maps, whole-disk volumes.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "disk/disk_info.h"
#include "platform/sector_source.h"

namespace orvaldi::disk {

// Fills `disk.partitions` from the first sectors of `source`, in this order
// of precedence: LVM2 label (when sector 0 has no boot signature), whole-disk
// ext volume, Apple partition map, bare HFS volume, whole-disk FAT/NTFS/exFAT
// volume, GPT behind a protective entry, dynamic disk (type 0x42), MBR
// primaries, then extended chains depth-first. Records are appended.
void EnumeratePartitions(platform::SectorSource& source, DiskInfo& disk, const std::string& devicePath);

// The logical sector size an image's tables were written for, from its first
// sectors: a GPT header at byte 512 (512) or, failing that, at byte 1024,
// 2048 or 4096; a whole-disk volume's boot-sector bytes per sector; an MBR
// whose entries, counted in 512-byte sectors, lead to nothing, but counted
// in larger sectors lead to boot sectors of that sector size or to extended
// boot records. 512 when nothing says otherwise. Tables of a disk record are
// read in `disk.bytesPerSector` units, which the caller sets from this (or
// from the device, or the operator) before EnumeratePartitions.
uint32_t DetectSectorSize(platform::SectorSource& source);

// Appends a region chosen by hand: "Region N on <disk>", classified by its
// first sector (NTFS, FAT32, FAT16 or unknown). Returns false (and adds
// nothing) when the disk cannot be opened.
bool CreateRegion(uint64_t startSector, uint64_t endSector, DiskInfo& disk);
void CreateRegion(uint64_t startSector, uint64_t endSector, DiskInfo& disk, platform::SectorSource& source);

// A GUID in its on-disk form (first three groups little-endian) from its
// usual text "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX".
std::array<uint8_t, 16> GuidFromText(const char* text);

}  // namespace orvaldi::disk
