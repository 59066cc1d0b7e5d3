// The FAT directory-sector test shared by the disk-wide scan and the FAT reader's search.
#include "disk/fat_directory.h"

#include "disk/bytes.h"

namespace orvaldi::disk {
namespace {

constexpr uint32_t kEntry = 32;
constexpr uint32_t kSectorBytes = 512;
constexpr uint8_t kLongNamePiece = 0x0F;
constexpr uint8_t kDeletedMark = 0xE5;
constexpr uint16_t kLatestTime = 0xBF7E;   // 23:59, seconds field 30
constexpr uint16_t kEarliestDate = 0x2821;  // 2000-01-01
constexpr uint16_t kLatestDate = 0xC99F;    // 2080-12-31

// The 8.3 name checksum that each long-name piece carries.
uint8_t ShortNameChecksum(const uint8_t* name) {
  uint8_t sum = 0;
  for (int k = 0; k < 11; ++k) sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + name[k]);
  return sum;
}

}  // namespace

bool IsFatDirectorySector(std::span<const uint8_t> sector) {
  if (sector.size() < kSectorBytes) return false;
  int labels = 0;
  unsigned awaited = 0;       // next long-name sequence number; 0 when no sequence is pending
  bool longNameDone = false;  // a sequence ended at 1 and waits for its short entry
  uint8_t checksum = 0;
  for (uint32_t at = 0; at < kSectorBytes; at += kEntry) {
    const ByteView d(sector.subspan(at, kEntry));
    if ((d.u8(0x0C) & ~0x18) != 0) return false;  // case bits only: 0, 0x08, 0x10 or 0x18
    if (d.u8(0) == 0) {
      if (awaited != 0 || !d.allZero(0, kEntry)) return false;
      continue;
    }
    const uint8_t attr = d.u8(0x0B);
    if (attr & 0x80) return false;
    if (d.le16(0x0B) == 0x0008 && ++labels > 1) return false;
    if (attr == kLongNamePiece) {
      if (d.le16(0x1A) != 0) return false;
      if (d.u8(0) == kDeletedMark) continue;
      const unsigned sequence = d.u8(0) & 0x1Fu;
      if (awaited == 0) {
        if (sequence == 0) return false;
        checksum = d.u8(0x0D);
      } else if (sequence != awaited) {
        return false;
      }
      awaited = sequence - 1;
      longNameDone = awaited == 0;
      continue;
    }
    if (awaited != 0) return false;
    if (d.u8(0) == kDeletedMark && d.le16(0x14) != 0) return false;
    if (longNameDone) {
      if (ShortNameChecksum(d.data()) != checksum) return false;
      longNameDone = false;
    }
    for (uint32_t k = 0; k < 11; ++k)
      if (d.u8(k) == 0) return false;
    if (d.le16(0x14) == 0 && d.le16(0x1A) < 2 && d.le32(0x1C) != 0) return false;
    if (d.le16(0x0E) > kLatestTime || d.le16(0x16) > kLatestTime) return false;
    const uint16_t created = d.le16(0x10);
    const uint16_t modified = d.le16(0x18);
    if (created < kEarliestDate || created > kLatestDate || modified < kEarliestDate || modified > kLatestDate)
      return false;
    if (created > d.le16(0x12)) return false;
  }
  return true;
}

}  // namespace orvaldi::disk
