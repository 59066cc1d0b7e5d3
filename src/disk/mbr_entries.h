// The four primary entries of a master boot record, as its sector holds them.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "disk/bytes.h"

namespace orvaldi::disk {

struct MbrEntry {
  int slot = 0;  // 0-3, in table order
  uint8_t typeByte = 0;
  uint32_t startSector = 0;
  uint32_t sectorCount = 0;
};

inline constexpr uint64_t kMbrTableOffset = 0x1BE;
inline constexpr uint64_t kMbrEntryBytes = 16;
inline constexpr uint64_t kMbrSignatureOffset = 0x1FE;

// The used primary entries (type and start both non-zero) of a sector that
// carries the 0xAA55 signature; none otherwise. Extended chains are not followed.
inline std::vector<MbrEntry> MbrPrimaryEntries(std::span<const uint8_t, 512> sector) {
  std::vector<MbrEntry> entries;
  const ByteView s(sector);
  if (s.le16(kMbrSignatureOffset) != 0xAA55) return entries;
  for (int i = 0; i < 4; ++i) {
    const uint64_t at = kMbrTableOffset + kMbrEntryBytes * static_cast<uint64_t>(i);
    const MbrEntry e{i, s.u8(at + 4), s.le32(at + 8), s.le32(at + 12)};
    if (e.typeByte != 0 && e.startSector != 0) entries.push_back(e);
  }
  return entries;
}

}  // namespace orvaldi::disk
