// Pure tests that tell what a sector holds: boot sectors, superblocks, MFT records.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "disk/hfs_kind.h"
#include "platform/sector_source.h"

namespace orvaldi::disk {

// The logical sector sizes a disk or a volume may have: 512, 1024, 2048 or
// 4096 bytes. Positions everywhere stay in 512-byte sectors; a count read
// from a table or a boot sector is in the volume's own sectors and is scaled
// by SectorsPerLogical before use.
bool IsLogicalSectorSize(uint32_t bytes);
// 512-byte sectors in one logical sector of `bytes` (1 for 512, 8 for 4096);
// 0 when `bytes` is not a logical sector size.
uint32_t SectorsPerLogical(uint32_t bytes);

// Each boot-sector test takes the first 512 bytes of the sector (a shorter
// span is rejected) and returns 1 or 0. FAT and NTFS boot sectors may give
// any logical sector size as their bytes per sector.
int IsFat16BootSector(std::span<const uint8_t> sector);
int IsFat32BootSector(std::span<const uint8_t> sector);
int IsNtfsBootSector(std::span<const uint8_t> sector);
int IsExfatBootSector(std::span<const uint8_t> sector);

// The NTFS test without the hidden-sector rule: for reading a partition that
// is known to be NTFS, and for sector 0 of a disk, where a boot sector
// recording 0 hidden sectors (a bare volume image, a superfloppy, a
// partitionless stick) is still a good boot sector.
int IsNtfsBootSectorAnyHidden(std::span<const uint8_t> sector);

// The NTFS test for the first sector of a partition-table entry of
// `entrySectors` sectors. mkntfs writes 0 hidden sectors when it formats an
// image file or a loop device, so the hidden-sector count may say anything
// here as long as the rest of the boot sector fits the entry: a cluster size,
// a volume that fits the entry and $MFT and its mirror inside the volume.
int IsNtfsBootSectorOfEntry(std::span<const uint8_t> sector, uint64_t entrySectors);

// The file system whose boot sector `sector` is. The four tests above rule
// each other out (bytes per sector, FAT count and root entries differ between
// any two of them), so no order among them decides anything. The NTFS test
// depends on where the sector lies: at sector 0 of a disk nothing lies before
// the volume, so any hidden-sector count is accepted; at the start of a table
// entry or region of `extentSectors` sectors the count may be 0 when the rest
// of the boot sector fits the extent (IsNtfsBootSectorOfEntry); with no extent
// given it must be set (IsNtfsBootSector).
enum class BootSectorKind : uint8_t { kNone, kFat16, kFat32, kNtfs, kExfat };
BootSectorKind ClassifyBootSector(std::span<const uint8_t> sector, uint64_t atSector, uint64_t extentSectors = 0);

// Takes the 1,024-byte superblock that starts 1,024 bytes into the volume.
int IsExtSuperblock(std::span<const uint8_t> superblock);

// "EXT2", "EXT3" or "EXT4" from the feature words of an accepted superblock.
std::string ExtGeneration(std::span<const uint8_t> superblock);

// Size in sectors of an accepted EXT volume: block size x block count /
// bytesPerSector.
uint64_t ExtVolumeSectors(std::span<const uint8_t> superblock, uint32_t bytesPerSector);

// HFS family kind of the volume header 1,024 bytes into the volume.
HfsKind HfsSignatureKind(std::span<const uint8_t> header);

// Largest NTFS cluster: 2^12 sectors (2 MiB). Largest MFT or index record
// taken from a boot sector: 64 KiB (real volumes use 1 KiB or 4 KiB).
inline constexpr unsigned kNtfsMaxClusterShift = 12;
inline constexpr uint32_t kNtfsMaxRecordBytes = 64 * 1024;

// Sectors per cluster (512-byte sectors) and total 512-byte sectors of an
// NTFS boot sector, its own counts scaled by its bytes per sector; 0 when the
// bytes per sector or the cluster code is invalid, or a cluster would be
// larger than 2 MiB.
uint32_t NtfsClusterSectors(std::span<const uint8_t> boot);
uint64_t NtfsVolumeSectors(std::span<const uint8_t> boot);

// Sectors per cluster of an NTFS boot sector, in its own sectors. Values above 0x80 encode a
// power of two (0xF4 means 2^12 sectors, a 2 MiB cluster); 0 when invalid,
// larger than 2 MiB included.
uint32_t NtfsSectorsPerCluster(uint8_t encoded);

// Bytes per MFT record from the boot sector byte at 0x40: positive = clusters
// per record, negative = 2^-n bytes. 0 when the value makes no sense or the
// record would be larger than kNtfsMaxRecordBytes.
uint32_t NtfsRecordBytes(int8_t encoded, uint32_t sectorsPerCluster, uint32_t bytesPerSector = platform::SectorSize);

// The update-sequence check of an MFT record of `record.size()` bytes (a
// multiple of 512): signature "FILE" (or "FHDL"), update-sequence offset 0x30
// or 0x2A, and the last word of every 512-byte stride equal to the sequence
// number. On success the protected words are restored from the array.
// Returns 1 when valid; the bytes are left untouched otherwise.
int CheckUpdateSequence(std::span<uint8_t> record);

}  // namespace orvaldi::disk
