// Decoding FAT entries: one place for the entry widths, the 28-bit mask of
// FAT32 and the values that are marks rather than cluster numbers.
#pragma once

#include <cstdint>
#include <span>

#include "disk/bytes.h"

namespace orvaldi::disk {

// A FAT's entries, viewed over the bytes of one copy (or the part of it that
// was read). Entries past the bytes read as 0, like free clusters; callers
// that must tell "free" from "not read" keep their own list of missing sectors.
class FatEntries {
 public:
  FatEntries(std::span<const uint8_t> bytes, bool fat32) : bytes_(bytes), fat32_(fat32) {}

  // Bytes per entry: FAT16 entries are 16 bits, FAT32 entries 32.
  static constexpr uint32_t WidthOf(bool fat32) { return fat32 ? 4 : 2; }

  bool fat32() const { return fat32_; }
  uint32_t width() const { return WidthOf(fat32_); }
  // Entries the bytes hold (cluster numbers 0 .. count-1).
  uint64_t count() const { return bytes_.size() / width(); }
  // The FAT sector (counted from the start of the copy) holding `cluster`'s entry.
  uint64_t sectorOf(uint32_t cluster, uint32_t sectorBytes = 512) const {
    return uint64_t{cluster} * width() / sectorBytes;
  }

  // The entry of `cluster`; only the low 28 bits count on FAT32.
  uint32_t operator[](uint32_t cluster) const {
    const ByteView fat(bytes_);
    const uint64_t at = uint64_t{cluster} * width();
    if (!fat.contains(at, width())) return 0;
    return fat32_ ? fat.le32(at) & 0x0FFFFFFF : fat.le16(at);
  }

  // The first value that is a mark, not a cluster: the bad-cluster mark
  // (0x0FFFFFF7 / 0xFFF7); end-of-chain marks lie above it.
  uint32_t badMark() const { return fat32_ ? 0x0FFFFFF7u : 0xFFF7u; }
  bool isEndOfChain(uint32_t value) const { return value > badMark(); }
  // A value that names a data cluster this FAT describes.
  bool isCluster(uint32_t value) const { return value >= 2 && value < badMark() && value < count(); }

 private:
  std::span<const uint8_t> bytes_;
  bool fat32_;
};

// The first sector of a FAT copy as formatting tools leave it: entry 0 holds
// the media byte 0xF8 with the other bits set, entry 1 an end mark. The sweep
// tests every sector with these, so they read the 8 bytes at `p` unchecked.
// FAT32: only the low 28 bits of entry 1 count (Windows writes 0xFFFFFFFF
// there, mkfs.fat 0x0FFFFFFF); entry 0's upper bits must be clear.
inline bool IsFat32TableStart(const uint8_t* p) {
  return Le32(p) == 0x0FFFFFF8 && (Le32(p + 4) & 0x0FFFFFFF) == 0x0FFFFFFF;
}
// FAT16: 0xFFF8, then 0xFFFF or 0x7FFF (the clean-shutdown bit cleared).
inline bool IsFat16TableStart(const uint8_t* p) {
  const uint32_t first = Le32(p);
  return first == 0xFFFFFFF8 || first == 0x7FFFFFF8;
}

}  // namespace orvaldi::disk
