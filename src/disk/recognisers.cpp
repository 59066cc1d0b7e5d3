// Boot-sector, superblock and MFT-record recognisers.
#include "disk/recognisers.h"

#include <algorithm>

#include "disk/bytes.h"
#include "disk/fat_layout.h"
#include "disk/ntfs_layout.h"
#include "disk/sector_io.h"

namespace orvaldi::disk {
namespace {

// NTFS protects its records in 512-byte strides whatever the sector size.
constexpr size_t kUpdateStride = 512;

bool HasBootSignature(const ByteView& s) { return s.le16(0x1FE) == 0xAA55; }

}  // namespace

bool IsLogicalSectorSize(uint32_t bytes) { return bytes == 512 || bytes == 1024 || bytes == 2048 || bytes == 4096; }

uint32_t SectorsPerLogical(uint32_t bytes) { return IsLogicalSectorSize(bytes) ? bytes / SectorSize : 0; }

int IsFat16BootSector(std::span<const uint8_t> sector) {
  if (sector.size() < SectorSize) return 0;
  const ByteView s(sector);
  const fat::BootSector b(s);
  return HasBootSignature(s) && b.rootEntries() == 512 && IsLogicalSectorSize(b.bytesPerSector()) &&
         s.matches(fat::BootSector::kFat16TypeAt, "FAT16");
}

int IsFat32BootSector(std::span<const uint8_t> sector) {
  if (sector.size() < SectorSize) return 0;
  const ByteView s(sector);
  const fat::BootSector b(s);
  return HasBootSignature(s) && b.fatCount() == 2 && IsLogicalSectorSize(b.bytesPerSector()) &&
         b.backupBootSector() == 6 && b.rootEntries() == 0 && b.totalSectors16() == 0 && b.fatSize16() == 0 &&
         s.matches(fat::BootSector::kFat32TypeAt, "FAT32");
}

int IsNtfsBootSector(std::span<const uint8_t> sector) {
  if (sector.size() < SectorSize) return 0;
  const ByteView s(sector);
  return HasBootSignature(s) && IsLogicalSectorSize(s.le16(0x0B)) && s.u8(0x10) == 0 && s.le16(0x11) == 0 &&
         s.le16(0x16) == 0 && s.le32(0x1C) != 0 && s.matches(3, "NTFS");
}

int IsNtfsBootSectorAnyHidden(std::span<const uint8_t> sector) {
  if (sector.size() < SectorSize) return 0;
  const ByteView s(sector);
  return HasBootSignature(s) && IsLogicalSectorSize(s.le16(0x0B)) && s.u8(0x10) == 0 && s.le16(0x11) == 0 &&
         s.le16(0x16) == 0 && s.matches(3, "NTFS");
}

int IsNtfsBootSectorOfEntry(std::span<const uint8_t> sector, uint64_t entrySectors) {
  if (IsNtfsBootSector(sector)) return 1;
  if (!IsNtfsBootSectorAnyHidden(sector)) return 0;
  const ntfs::BootSector b{ByteView(sector)};
  const uint64_t spc = NtfsClusterSectors(sector);
  const uint64_t total = NtfsVolumeSectors(sector);
  if (spc == 0 || total == 0 || total > entrySectors) return 0;
  if (NtfsRecordBytes(b.clustersPerRecordCode(), static_cast<uint32_t>(spc)) == 0) return 0;
  const uint64_t clusters = total / spc;
  return b.mftCluster() < clusters && b.mftMirrorCluster() < clusters;
}

int IsExfatBootSector(std::span<const uint8_t> sector) {
  if (sector.size() < SectorSize) return 0;
  const ByteView s(sector);
  return HasBootSignature(s) && s.allZero(0x0B, 53) && s.matches(3, "EXFAT");
}

BootSectorKind ClassifyBootSector(std::span<const uint8_t> sector, uint64_t atSector, uint64_t extentSectors) {
  const bool ntfs = atSector == 0        ? IsNtfsBootSectorAnyHidden(sector)
                    : extentSectors != 0 ? IsNtfsBootSectorOfEntry(sector, extentSectors)
                                         : IsNtfsBootSector(sector);
  if (ntfs) return BootSectorKind::kNtfs;
  if (IsFat32BootSector(sector)) return BootSectorKind::kFat32;
  if (IsFat16BootSector(sector)) return BootSectorKind::kFat16;
  if (IsExfatBootSector(sector)) return BootSectorKind::kExfat;
  return BootSectorKind::kNone;
}

int IsExtSuperblock(std::span<const uint8_t> superblock) {
  if (superblock.size() < 1024) return 0;
  const ByteView s(superblock);
  if (s.le16(0x38) != 0xEF53 || s.le32(0x48) != 0 || s.le16(0x58) < 128) return 0;
  // 1024 << (log block size mod 32) vanishes for shifts of 22 and more.
  const uint32_t logBlock = s.le32(0x18) % 32;
  if (((uint64_t{1024} << logBlock) & 0xFFFFFFFFu) == 0) return 0;
  const uint32_t blocksPerGroup = s.le32(0x20);
  if (blocksPerGroup == 0 || s.le32(0x28) == 0 || s.le32(0x2C) == 0 || s.le32(0x30) == 0) return 0;
  const uint64_t blocks = (uint64_t{s.le32(0x150)} << 32) | s.le32(0x04);
  if (s.le32(0x10) >= s.le32(0x00)) return 0;
  const uint64_t freeBlocks = (uint64_t{s.le32(0x158)} << 32) | s.le32(0x0C);
  if (freeBlocks >= blocks) return 0;
  if (blocks <= 0xFFFFFFFFu) {
    if (s.le32(0x14) >= blocks) return 0;
    // A volume smaller than one block group (every ext volume under 8 MiB
    // with 1 KiB blocks, under 128 MiB with 4 KiB blocks) records a full
    // group size; accept that as long as the group fits its one-block bitmap.
    const uint64_t blockSize = (uint64_t{1024} << logBlock) & 0xFFFFFFFFu;
    if (blocksPerGroup >= blocks && blocksPerGroup > 8 * blockSize) return 0;
  }
  return 1;
}

std::string ExtGeneration(std::span<const uint8_t> superblock) {
  const ByteView s(superblock);
  if ((s.le32(0x5C) & 0x4) == 0) return "EXT2";
  if (s.le32(0x60) & 0x40) return "EXT4";
  return "EXT3";
}

uint64_t ExtVolumeSectors(std::span<const uint8_t> superblock, uint32_t bytesPerSector) {
  const ByteView s(superblock);
  if (bytesPerSector == 0) return 0;
  // 64-bit throughout: a 32-bit product wraps for every volume of 4 GiB or more.
  const uint64_t blockSize = (uint64_t{1024} << (s.le32(0x18) % 32)) & 0xFFFFFFFFu;
  const uint64_t blocks = (uint64_t{s.le32(0x150)} << 32) | s.le32(0x04);
  if (blockSize != 0 && blocks > UINT64_MAX / blockSize) return 0;
  return blockSize * blocks / bytesPerSector;
}

HfsKind HfsSignatureKind(std::span<const uint8_t> header) {
  if (header.size() < SectorSize) return HfsKind::kNone;
  const ByteView h(header);
  if (h.matches(0, "BD")) {
    // An HFS wrapper names the volume it embeds at 0x7C; 0 when it embeds none.
    if (h.le16(0x7C) == 0) return HfsKind::kHfs;
    if (h.matches(0x7C, "H+")) return HfsKind::kHfsPlusInHfs;
    return HfsKind::kNone;
  }
  if (h.matches(0, "H+")) return HfsKind::kHfsPlus;
  if (h.matches(0, "HX")) return HfsKind::kHfsx;
  return HfsKind::kNone;
}

uint32_t NtfsSectorsPerCluster(uint8_t encoded) {
  if (encoded == 0) return 0;
  if (encoded <= 0x80) return encoded;
  // NTFS clusters go up to 2 MiB (4,096 sectors of 512 bytes); a larger
  // value is damage, and it would size every cluster buffer read with it.
  const unsigned shift = 256u - encoded;
  return shift <= kNtfsMaxClusterShift ? (1u << shift) : 0;
}

uint32_t NtfsClusterSectors(std::span<const uint8_t> boot) {
  const ntfs::BootSector b{ByteView(boot)};
  const uint64_t spc =
      uint64_t{NtfsSectorsPerCluster(b.sectorsPerClusterCode())} * SectorsPerLogical(b.bytesPerSector());
  return spc <= (1u << kNtfsMaxClusterShift) ? static_cast<uint32_t>(spc) : 0;
}

uint64_t NtfsVolumeSectors(std::span<const uint8_t> boot) {
  const ntfs::BootSector b{ByteView(boot)};
  const uint64_t total = b.totalSectors();
  const uint32_t k = SectorsPerLogical(b.bytesPerSector());
  return total <= UINT64_MAX / 8 ? total * k : 0;
}

uint32_t NtfsRecordBytes(int8_t encoded, uint32_t sectorsPerCluster, uint32_t bytesPerSector) {
  if (encoded > 0) {
    const uint64_t bytes = uint64_t(encoded) * sectorsPerCluster * bytesPerSector;
    return bytes <= kNtfsMaxRecordBytes ? static_cast<uint32_t>(bytes) : 0;
  }
  const int shift = -int{encoded};
  // Records are at least one sector and at most kNtfsMaxRecordBytes.
  if (shift < 9 || (uint32_t{1} << std::min(shift, 31)) > kNtfsMaxRecordBytes) return 0;
  return 1u << shift;
}

int CheckUpdateSequence(std::span<uint8_t> record) {
  if (record.size() < kUpdateStride || record.size() % kUpdateStride != 0) return 0;
  const ByteView r(record);
  if (!r.matches(0, "FILE") && !r.matches(0, "FHDL")) return 0;
  const uint8_t usaOffset = r.u8(4);
  if (usaOffset != 0x30 && usaOffset != 0x2A) return 0;
  const size_t strides = record.size() / kUpdateStride;
  if (!r.contains(usaOffset, 2 * (strides + 1))) return 0;
  const uint16_t usn = r.le16(usaOffset);
  for (size_t i = 0; i < strides; ++i) {
    if (r.le16((i + 1) * kUpdateStride - 2) != usn) return 0;
  }
  for (size_t i = 0; i < strides; ++i) {
    const size_t at = (i + 1) * kUpdateStride - 2;
    record[at] = record[usaOffset + 2 * (i + 1)];
    record[at + 1] = record[usaOffset + 2 * (i + 1) + 1];
  }
  return 1;
}

}  // namespace orvaldi::disk
