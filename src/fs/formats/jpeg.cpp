// JPEG (JFIF and Exif): the marker segments up to the start of scan, then the
// scan data up to the end marker.
#include <algorithm>
#include <cstring>

#include "disk/sector_io.h"
#include "fs/formats/format.h"
#include "fs/formats/registry.h"

namespace orvaldi::fs::formats {
namespace {

using disk::Be16;

constexpr uint32_t kSector = disk::SectorSize;

// The markers a picture is seen to start with.
bool Claims(const uint8_t* s) {
  if (s[0] != 0xFF || s[1] != 0xD8 || s[2] != 0xFF) return false;
  switch (s[3]) {
    case 0xDB:
    case 0xE0:
    case 0xE1:
    case 0xEB:
    case 0xEE:
    case 0xFE:
    case 0xC4:
      return true;
    default:
      return false;
  }
}

bool Signature(const disk::ByteView& head) {
  return head.matches(0, "\xFF\xD8\xFF") && (head.matches(6, "JFIF") || head.matches(6, "Exif"));
}

bool IsMarker(uint8_t code) {
  return code == 0xC0 || code == 0xC1 || code == 0xC4 || (code >= 0xD8 && code <= 0xDD) ||
         (code >= 0xE0 && code <= 0xEF) || code == 0xFE;
}

// Where the entropy-coded data that follows the start-of-scan marker at `sos`
// ends: at the end marker (the offset of its FF), or where the picture breaks
// off. In a baseline picture's scan data every FF is followed by 00 (a
// stuffed byte) or a restart marker D0-D7; between the scans of a picture
// with several there are table and scan headers. Any other byte after an FF,
// a whole sector of zeros, or one that starts another file, is not part of the picture: it was cut there,
// and what follows belongs to something else. Nothing when the data runs on
// through the whole search range, or breaks off before any scan data.
std::optional<uint64_t> ScanEnd(LazyRange& lazy, uint64_t sos) {
  const uint8_t* b = lazy.data();
  auto segmentEnd = [&](uint64_t marker) -> std::optional<uint64_t> {
    if (lazy.need(std::min(kSearchBytes, marker + 4)) < marker + 4) return std::nullopt;
    const uint16_t length = Be16(b + marker + 2);
    if (length < 2 || marker + 2 + length >= kSearchBytes) return std::nullopt;
    return marker + 2 + length;
  };
  const std::optional<uint64_t> data = segmentEnd(sos);
  if (!data) return std::nullopt;
  for (uint64_t f = *data; f + 1 < kSearchBytes; ++f) {
    lazy.need(std::min(kSearchBytes, f / kSector * kSector + 2 * kSector));
    // A sector that starts another file of a known kind ends it too: the
    // carver would find that file there.
    if (f % kSector == 0) {
      const uint8_t* sector = b + f;
      if (std::all_of(sector, sector + kSector, [](uint8_t v) { return v == 0; }) || AnyClaims(sector))
        return f > *data ? std::optional<uint64_t>(f) : std::nullopt;
    }
    if (b[f] != 0xFF) continue;
    const uint8_t code = b[f + 1];
    if (code == 0x00 || (code >= 0xD0 && code <= 0xD7)) {
      ++f;
      continue;
    }
    if (code == 0xD9) return f;
    if (code == 0xC4 || code == 0xDB || code == 0xDD || code == 0xDA || code == 0xFE) {
      if (const std::optional<uint64_t> next = segmentEnd(f)) {
        f = *next - 1;
        continue;
      }
    }
    return f > *data ? std::optional<uint64_t>(f) : std::nullopt;
  }
  return std::nullopt;
}

// The segment walk stops at 20 MiB; the end searches at kSearchBytes.
std::optional<Measured> Measure(const Probe& probe) {
  if (!Signature(probe.first)) return std::nullopt;
  uint64_t p = 0;
  while (true) {
    if (p >= 0x1400000) return std::nullopt;
    const uint8_t* m = probe.window.at(p, 0, 4);
    if (!m) return std::nullopt;
    const uint8_t code = m[1];
    if (!IsMarker(code) || code == 0xD9) return std::nullopt;
    if (code == 0xDA) break;
    p += code == 0xD8 ? 2 : 2ull + Be16(m + 2);
  }
  const std::string name = SectorName(probe.start) + ".jpg";
  // The end search reads whole sectors from the one holding the start of
  // scan, and looks from the marker itself: a small picture can end in that
  // very sector.
  const uint64_t base = p / kSector * kSector;
  LazyRange lazy(probe.reader, base / kSector);
  const uint8_t* buffer = lazy.data();
  const std::optional<uint64_t> scanEnd = ScanEnd(lazy, p - base);
  if (!scanEnd) return std::nullopt;
  if (*scanEnd >= kSearchBytes || buffer[*scanEnd] != 0xFF || buffer[*scanEnd + 1] != 0xD9) {
    // The picture breaks off there: what came before is kept, and nothing
    // behind it (often the next file) is counted as its own.
    return Measured{base + *scanEnd, name, base + *scanEnd, false};
  }
  // The first end marker behind the start of scan ends the picture, whatever
  // follows it. The search below may still size the file further on.
  uint64_t firstEnd = 0;
  for (uint64_t f = *scanEnd; f + 1 < kSearchBytes; ++f) {
    const uint64_t have = lazy.need(f + 2);
    const auto* hit = static_cast<const uint8_t*>(std::memchr(buffer + f, 0xFF, have - 1 - f));
    if (!hit) {
      if (have == kSearchBytes) break;
      f = have - 2;
      continue;
    }
    f = static_cast<uint64_t>(hit - buffer);
    if (buffer[f + 1] != 0xD9) continue;
    const uint64_t e = f + 2;  // the byte after the end marker
    if (firstEnd == 0) firstEnd = e;
    if (e + 1 >= kSearchBytes) break;
    lazy.need(std::min<uint64_t>(kSearchBytes, e + 8));
    const uint64_t r = (e + 2) % kSector;
    bool accepted = r == 0;
    if (!accepted) {
      const uint64_t n = kSector - r;
      if (n <= 8) {
        for (uint64_t k = 0; k < n && e + k < kSearchBytes; ++k) accepted |= buffer[e + k] == 0;
      } else {
        accepted = e + 8 <= kSearchBytes;
        for (uint64_t k = 0; k < 8 && accepted; ++k) accepted = buffer[e + k] == 0;
      }
    }
    if (!accepted) continue;
    if (e + 2 >= kSearchBytes) break;
    return Measured{base + e + 2, name, base + firstEnd};
  }
  // No end followed by zeros: the picture's own end, with the same two bytes beyond.
  if (firstEnd == 0) return std::nullopt;
  return Measured{base + firstEnd + 2, name, base + firstEnd};
}

constexpr std::string_view kExtensions[] = {"jpg", "jpeg"};

}  // namespace

extern const FileFormat kJpeg{"jpeg", "\xFF", Claims, Measure, Signature, kExtensions, true};

}  // namespace orvaldi::fs::formats
