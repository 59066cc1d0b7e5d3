// The FAT boot sector and directory entries, field by field: every reader of
// FAT structures takes its offsets from here.
#pragma once

#include <cstdint>
#include <span>

#include "disk/bytes.h"

namespace orvaldi::disk::fat {

// The boot sector's parameter block. Reads past the bytes give 0 (ByteView).
class BootSector {
 public:
  explicit BootSector(ByteView b) : b_(b) {}

  uint16_t bytesPerSector() const { return b_.le16(0x0B); }
  uint8_t sectorsPerCluster() const { return b_.u8(0x0D); }
  uint16_t reservedSectors() const { return b_.le16(0x0E); }
  uint8_t fatCount() const { return b_.u8(0x10); }
  uint16_t rootEntries() const { return b_.le16(0x11); }  // 0 on FAT32
  uint16_t totalSectors16() const { return b_.le16(0x13); }
  uint16_t fatSize16() const { return b_.le16(0x16); }  // 0 on FAT32
  uint32_t hiddenSectors() const { return b_.le32(0x1C); }
  uint32_t totalSectors32() const { return b_.le32(0x20); }
  uint16_t signature() const { return b_.le16(0x1FE); }  // 0xAA55

  // The FAT16 extension.
  uint32_t fat16Serial() const { return b_.le32(0x27); }
  std::span<const uint8_t> fat16Label() const { return b_.sub(0x2B, 11); }
  static constexpr uint32_t kFat16TypeAt = 0x36;  // "FAT16   "

  // The FAT32 extension.
  uint32_t fatSize32() const { return b_.le32(0x24); }
  uint32_t rootCluster() const { return b_.le32(0x2C); }
  uint16_t backupBootSector() const { return b_.le16(0x32); }
  uint32_t fat32Serial() const { return b_.le32(0x43); }
  std::span<const uint8_t> fat32Label() const { return b_.sub(0x47, 11); }
  static constexpr uint32_t kFat32TypeAt = 0x52;  // "FAT32   "

  uint32_t fatSize(bool fat32) const { return fat32 ? fatSize32() : fatSize16(); }
  // The first sector of the FAT16 root region or, on FAT32, of the data
  // area, counted from the boot sector.
  uint64_t sectorsBeforeRoot(bool fat32) const { return reservedSectors() + uint64_t{fatCount()} * fatSize(fat32); }

 private:
  ByteView b_;
};

inline constexpr uint32_t kEntryBytes = 32;
inline constexpr uint8_t kDeletedMark = 0xE5;
// A first byte of 0x05 stands for a name that really starts with 0xE5.
inline constexpr uint8_t kEscapedE5 = 0x05;

namespace attr {
inline constexpr uint8_t kVolumeLabel = 0x08;
inline constexpr uint8_t kFolder = 0x10;
inline constexpr uint8_t kLongName = 0x0F;  // read-only, hidden, system and label together
}  // namespace attr

// Case bits (byte 0x0C): a name stored in one case whose base or extension
// its writer shows in lower case.
inline constexpr uint8_t kLowerCaseBase = 0x08;
inline constexpr uint8_t kLowerCaseExtension = 0x10;

// A short (8.3) directory entry.
class DirEntry {
 public:
  explicit DirEntry(ByteView e) : e_(e) {}

  uint8_t firstByte() const { return e_.u8(0); }
  // The 11 name bytes: 8 of base, 3 of extension, space-padded.
  std::span<const uint8_t> name() const { return e_.sub(0, 11); }
  uint8_t attributes() const { return e_.u8(0x0B); }
  uint8_t caseBits() const { return e_.u8(0x0C); }
  uint16_t createTime() const { return e_.le16(0x0E); }
  uint16_t createDate() const { return e_.le16(0x10); }
  uint16_t accessDate() const { return e_.le16(0x12); }
  uint16_t clusterHigh() const { return e_.le16(0x14); }
  uint16_t modifyTime() const { return e_.le16(0x16); }
  uint16_t modifyDate() const { return e_.le16(0x18); }
  uint16_t clusterLow() const { return e_.le16(0x1A); }
  uint32_t size() const { return e_.le32(0x1C); }

  uint32_t firstCluster() const { return (uint32_t{clusterHigh()} << 16) | clusterLow(); }
  bool deleted() const { return firstByte() == kDeletedMark; }
  // Attribute byte and case byte as one word: 0x0008 is a plain volume label.
  uint16_t attributesAndCase() const { return e_.le16(0x0B); }

 private:
  ByteView e_;
};

// A long-name entry: 13 UTF-16 units of the name, pieces stored last first.
class LongNameEntry {
 public:
  static constexpr int kUnits = 13;
  static constexpr uint8_t kLastPiece = 0x40;  // in the order byte of the name's last piece

  explicit LongNameEntry(ByteView e) : e_(e) {}

  uint8_t order() const { return e_.u8(0); }
  uint8_t checksum() const { return e_.u8(0x0D); }
  uint16_t clusterLow() const { return e_.le16(0x1A); }  // always 0
  uint16_t unit(int i) const {
    static constexpr uint8_t kAt[kUnits] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    return i >= 0 && i < kUnits ? e_.le16(kAt[i]) : 0;
  }

 private:
  ByteView e_;
};

// The checksum of the 11 name bytes that each long-name piece of the name carries.
inline uint8_t ShortNameChecksum(std::span<const uint8_t> name11) {
  uint8_t sum = 0;
  for (size_t k = 0; k < 11 && k < name11.size(); ++k)
    sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + name11[k]);
  return sum;
}

}  // namespace orvaldi::disk::fat
