// The FAT directory-sector test shared by the disk-wide scan and the FAT reader's search.
#include "disk/fat_directory.h"

#include "disk/bytes.h"
#include "disk/fat_layout.h"
#include "disk/sector_io.h"

namespace orvaldi::disk {
namespace {

constexpr uint16_t kLatestTime = 0xBF7E;    // 23:59, seconds field 30
constexpr uint16_t kEarliestDate = 0x2821;  // 2000-01-01
constexpr uint16_t kLatestDate = 0xC99F;    // 2080-12-31

// Follows the long-name pieces of a sector: they count down to 1 and the
// short entry after them carries the checksum they name.
struct LongNameSequence {
  unsigned awaited = 0;  // next sequence number; 0 when no sequence is pending
  bool done = false;     // a sequence ended at 1 and waits for its short entry
  uint8_t checksum = 0;

  bool piece(const fat::LongNameEntry& e) {
    if (e.clusterLow() != 0) return false;
    if (e.order() == fat::kDeletedMark) return true;
    const unsigned sequence = e.order() & 0x1Fu;
    if (awaited == 0) {
      if (sequence == 0) return false;
      checksum = e.checksum();
    } else if (sequence != awaited) {
      return false;
    }
    awaited = sequence - 1;
    done = awaited == 0;
    return true;
  }
  bool shortEntry(const fat::DirEntry& e) {
    if (awaited != 0) return false;
    if (!done) return true;
    done = false;
    return fat::ShortNameChecksum(e.name()) == checksum;
  }
};

// Names without a zero byte, clusters for nonzero sizes, plausible times and dates.
bool PlausibleShortEntry(const fat::DirEntry& d) {
  if (d.deleted() && d.clusterHigh() != 0) return false;
  for (const uint8_t c : d.name())
    if (c == 0) return false;
  if (d.clusterHigh() == 0 && d.clusterLow() < 2 && d.size() != 0) return false;
  if (d.createTime() > kLatestTime || d.modifyTime() > kLatestTime) return false;
  const uint16_t created = d.createDate();
  const uint16_t modified = d.modifyDate();
  if (created < kEarliestDate || created > kLatestDate || modified < kEarliestDate || modified > kLatestDate)
    return false;
  return created <= d.accessDate();
}

}  // namespace

bool IsFatDirectorySector(std::span<const uint8_t> sector) {
  if (sector.size() < SectorSize) return false;
  int labels = 0;
  LongNameSequence names;
  for (uint32_t at = 0; at < SectorSize; at += fat::kEntryBytes) {
    const ByteView bytes(sector.subspan(at, fat::kEntryBytes));
    const fat::DirEntry d(bytes);
    // Case bits only: 0, 0x08, 0x10 or 0x18.
    if ((d.caseBits() & ~(fat::kLowerCaseBase | fat::kLowerCaseExtension)) != 0) return false;
    if (d.firstByte() == 0) {
      if (names.awaited != 0 || !bytes.allZero(0, fat::kEntryBytes)) return false;
      continue;
    }
    const uint8_t attr = d.attributes();
    if (attr & 0x80) return false;
    if (d.attributesAndCase() == fat::attr::kVolumeLabel && ++labels > 1) return false;
    if (attr == fat::attr::kLongName) {
      if (!names.piece(fat::LongNameEntry(bytes))) return false;
      continue;
    }
    if (!names.shortEntry(d) || !PlausibleShortEntry(d)) return false;
  }
  return true;
}

}  // namespace orvaldi::disk
