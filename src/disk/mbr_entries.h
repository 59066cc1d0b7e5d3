// The four entries of a master boot record or an extended boot record, as the sector holds them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "disk/bytes.h"

namespace orvaldi::disk {

inline constexpr uint64_t kMbrTableOffset = 0x1BE;
inline constexpr uint64_t kMbrEntryBytes = 16;
inline constexpr uint64_t kMbrSignatureOffset = 0x1FE;
inline constexpr int kMbrEntries = 4;
// The table and its signature lie in the first 512 bytes of sector 0 whatever the sector size.
inline constexpr size_t kMbrBytes = 512;

// Field offsets inside one 16-byte entry. Bytes 1-3 and 5-7 hold CHS
// addresses, which nothing here reads: every position is taken from the LBA fields.
inline constexpr uint64_t kMbrEntryStatusAt = 0;
inline constexpr uint64_t kMbrEntryTypeAt = 4;
inline constexpr uint64_t kMbrEntryFirstSectorAt = 8;
inline constexpr uint64_t kMbrEntrySectorCountAt = 12;

struct MbrEntry {
  int slot = 0;  // 0-3, in table order
  uint8_t typeByte = 0;
  uint32_t startSector = 0;  // relative to the sector the table lies in (an EBR's links: to the extended start)
  uint32_t sectorCount = 0;
  uint8_t status = 0;  // 0x80 marks the boot partition
};

// Entry `slot` (0-3) of the table in `sector`; a sector too short to hold it reads as an empty entry.
inline MbrEntry MbrEntryAt(const ByteView& sector, int slot) {
  const uint64_t at = kMbrTableOffset + kMbrEntryBytes * static_cast<uint64_t>(slot);
  MbrEntry e;
  e.slot = slot;
  e.status = sector.u8(at + kMbrEntryStatusAt);
  e.typeByte = sector.u8(at + kMbrEntryTypeAt);
  e.startSector = sector.le32(at + kMbrEntryFirstSectorAt);
  e.sectorCount = sector.le32(at + kMbrEntrySectorCountAt);
  return e;
}

inline bool HasMbrSignature(const ByteView& sector) { return sector.le16(kMbrSignatureOffset) == 0xAA55; }

// The used primary entries (type and start both non-zero) of a sector that
// carries the 0xAA55 signature; none otherwise. Extended chains are not followed.
inline std::vector<MbrEntry> MbrPrimaryEntries(std::span<const uint8_t, kMbrBytes> sector) {
  std::vector<MbrEntry> entries;
  const ByteView s(sector);
  if (!HasMbrSignature(s)) return entries;
  for (int i = 0; i < kMbrEntries; ++i) {
    const MbrEntry e = MbrEntryAt(s, i);
    if (e.typeByte != 0 && e.startSector != 0) entries.push_back(e);
  }
  return entries;
}

}  // namespace orvaldi::disk
