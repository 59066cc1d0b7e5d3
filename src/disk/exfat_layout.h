// Named fields of exFAT's on-disk structures: the boot region, directory entries and timestamps.
#pragma once

#include <cstdint>
#include <span>

#include "disk/bytes.h"

namespace orvaldi::disk::exfat {

// The boot region: boot sector, eight extended boot sectors, OEM parameters,
// a reserved sector and the checksum sector; the backup region follows it.
inline constexpr uint32_t kBootRegionSectors = 12;
inline constexpr uint32_t kChecksumSector = 11;
inline constexpr uint32_t kEntryBytes = 32;
// The FAT's end-of-chain and bad-cluster marks; cluster numbers start at 2.
inline constexpr uint32_t kEndOfChain = 0xFFFFFFFF;
inline constexpr uint32_t kBadCluster = 0xFFFFFFF7;
inline constexpr uint32_t kFirstCluster = 2;
// A directory holds at most 256 MiB of entries.
inline constexpr uint64_t kMaxDirectoryBytes = 256ull << 20;

class BootSector {
 public:
  explicit BootSector(ByteView bytes) : b_(bytes) {}
  uint64_t volumeLength() const { return b_.le64(0x48); }  // in sectors
  uint32_t fatOffset() const { return b_.le32(0x50); }     // sectors from the volume's start
  uint32_t fatLength() const { return b_.le32(0x54); }
  uint32_t clusterHeapOffset() const { return b_.le32(0x58); }
  uint32_t clusterCount() const { return b_.le32(0x5C); }
  uint32_t rootCluster() const { return b_.le32(0x60); }
  uint16_t volumeFlags() const { return b_.le16(0x6A); }
  uint8_t bytesPerSectorShift() const { return b_.u8(0x6C); }
  uint8_t sectorsPerClusterShift() const { return b_.u8(0x6D); }
  uint8_t numberOfFats() const { return b_.u8(0x6E); }
  // Fields the checksum passes over: they change while the volume is in use.
  static constexpr bool SkippedByChecksum(uint32_t offset) {
    return offset == 0x6A || offset == 0x6B || offset == 0x70;
  }

 private:
  ByteView b_;
};

// The boot region checksum over its first eleven sectors of `sectorBytes` each.
inline uint32_t BootRegionChecksum(std::span<const uint8_t> region, uint32_t sectorBytes) {
  uint32_t sum = 0;
  const uint64_t n = uint64_t{kChecksumSector} * sectorBytes;
  for (uint64_t i = 0; i < n && i < region.size(); ++i) {
    if (BootSector::SkippedByChecksum(static_cast<uint32_t>(i))) continue;
    sum = ((sum & 1) ? 0x80000000u : 0u) + (sum >> 1) + region[i];
  }
  return sum;
}

// Entry type bytes. The top bit says the entry is in use; a deleted entry
// keeps the rest of its type.
namespace entry_type {
inline constexpr uint8_t kEndOfDirectory = 0x00;
inline constexpr uint8_t kInUse = 0x80;
inline constexpr uint8_t kSecondary = 0x40;  // category bit: part of a set, after its primary
inline constexpr uint8_t kBitmap = 0x81;
inline constexpr uint8_t kFile = 0x85;
inline constexpr uint8_t kStream = 0xC0;
inline constexpr uint8_t kName = 0xC1;
}  // namespace entry_type

inline constexpr uint16_t kAttrDirectory = 0x10;
inline constexpr uint8_t kFlagNoFatChain = 0x02;
inline constexpr uint32_t kNameCharsPerEntry = 15;

// The file entry, first of a set.
class FileEntry {
 public:
  explicit FileEntry(ByteView bytes) : b_(bytes) {}
  uint8_t secondaryCount() const { return b_.u8(0x01); }
  uint16_t setChecksum() const { return b_.le16(0x02); }
  uint16_t attributes() const { return b_.le16(0x04); }
  uint32_t createTimestamp() const { return b_.le32(0x08); }
  uint32_t modifyTimestamp() const { return b_.le32(0x0C); }
  uint32_t accessTimestamp() const { return b_.le32(0x10); }
  uint8_t create10ms() const { return b_.u8(0x14); }
  uint8_t modify10ms() const { return b_.u8(0x15); }
  uint8_t createUtcOffset() const { return b_.u8(0x16); }
  uint8_t modifyUtcOffset() const { return b_.u8(0x17); }
  uint8_t accessUtcOffset() const { return b_.u8(0x18); }

 private:
  ByteView b_;
};

// The stream extension, second of a set: where the data lies and how long it is.
class StreamEntry {
 public:
  explicit StreamEntry(ByteView bytes) : b_(bytes) {}
  uint8_t flags() const { return b_.u8(0x01); }
  uint8_t nameLength() const { return b_.u8(0x03); }
  uint64_t validDataLength() const { return b_.le64(0x08); }
  uint32_t firstCluster() const { return b_.le32(0x14); }
  uint64_t dataLength() const { return b_.le64(0x18); }

 private:
  ByteView b_;
};

// The allocation bitmap entry of the root folder.
class BitmapEntry {
 public:
  explicit BitmapEntry(ByteView bytes) : b_(bytes) {}
  uint8_t flags() const { return b_.u8(0x01); }  // bit 0: which FAT's bitmap
  uint32_t firstCluster() const { return b_.le32(0x14); }
  uint64_t dataLength() const { return b_.le64(0x18); }

 private:
  ByteView b_;
};

// The set checksum over `set` (the file entry and its secondaries), passing
// over the checksum field itself. `asInUse` counts every type byte with its
// in-use bit set, as it was when the set was written: deleting a set clears
// the bits without writing the checksum again.
inline uint16_t EntrySetChecksum(std::span<const uint8_t> set, bool asInUse) {
  uint16_t sum = 0;
  for (size_t i = 0; i < set.size(); ++i) {
    if (i == 2 || i == 3) continue;
    uint8_t b = set[i];
    if (asInUse && i % kEntryBytes == 0) b |= entry_type::kInUse;
    sum = static_cast<uint16_t>(((sum & 1) ? 0x8000u : 0u) + (sum >> 1) + b);
  }
  return sum;
}

// A timestamp: local time in DOS fields, with a 10 ms count (0..199, which
// adds up to two seconds) and an offset from UTC in 15-minute steps.
struct Timestamp {
  uint32_t stamp = 0;
  uint8_t tenMs = 0;
  uint8_t utcOffset = 0;  // bit 7: the offset is valid; bits 0..6: signed quarters of an hour

  uint16_t date() const { return static_cast<uint16_t>(stamp >> 16); }
  uint16_t time() const { return static_cast<uint16_t>(stamp & 0xFFFF); }
  bool offsetValid() const { return (utcOffset & 0x80) != 0; }
  int offsetMinutes() const {
    const int quarters = (utcOffset & 0x40) ? static_cast<int>(utcOffset & 0x7F) - 0x80 : (utcOffset & 0x3F);
    return quarters * 15;
  }
};

}  // namespace orvaldi::disk::exfat
