// The nine carving probes: header tests, structure walks, naming, recording.
#include "raw/carving.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "disk/bytes.h"
#include "disk/sector_io.h"
#include "platform/text.h"

namespace orvaldi::raw {
namespace {

constexpr uint32_t kSector = disk::SectorSize;
constexpr uint64_t kSearchBytes = 0xA00000;  // the PDF end search and the JPEG scan-data search
constexpr uint64_t kMiB = 0x100000;

bool Matches(const uint8_t* p, std::string_view bytes) { return std::memcmp(p, bytes.data(), bytes.size()) == 0; }

using disk::Be16;
using disk::Be32;
using disk::Le16;
using disk::Le32;

constexpr std::string_view kPack("\x00\x00\x01\xBA", 4);
constexpr std::string_view kSystem("\x00\x00\x01\xBB", 4);
constexpr std::string_view kZip("PK\x03\x04", 4);
constexpr std::string_view kRar("Rar!\x1A\x07\x00", 7);
constexpr std::string_view kOle2("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8);

// Reads for one probe: through the partition's reader when given, else plain.
class ProbeReader {
 public:
  ProbeReader(platform::SectorSource* source, const disk::PartitionInfo* context, uint64_t start,
              std::span<const uint8_t> held)
      : source_(source), context_(context), start_(start), held_(held) {}
  // `count` sectors from sector start + `offset` into `out` (zero where unreadable).
  void read(uint64_t offset, uint64_t count, uint8_t* out) {
    if (const uint8_t* in = inMemory(offset, count)) {
      std::memcpy(out, in, count * kSector);
      return;
    }
    disk::ReadVolumeSectors(source_, context_, start_ + offset, count, out);
  }
  // The sectors when the caller's buffer holds them all, else null.
  const uint8_t* inMemory(uint64_t offset, uint64_t count) const {
    return (offset + count) * kSector <= held_.size() ? held_.data() + offset * kSector : nullptr;
  }

 private:
  platform::SectorSource* source_;
  const disk::PartitionInfo* context_;
  uint64_t start_;
  std::span<const uint8_t> held_;
};

// The file as seen through a window of two sectors: the 512-byte block that
// holds the current position and the block after it. A field of up to 8
// bytes at any offset of the block is inside. Positions are 32-bit.
class ReadWindow {
 public:
  static constexpr uint64_t kSpan = 128;  // sectors per read (+1)
  ReadWindow(ProbeReader& reader, std::span<const uint8_t> first)
      : reader_(reader), bytes_(new uint8_t[(kSpan + 1) * kSector]) {
    std::memcpy(bytes_.get(), first.data(), std::min<size_t>(first.size(), 2 * kSector));
    if (first.size() < 2 * kSector) std::memset(bytes_.get() + first.size(), 0, 2 * kSector - first.size());
  }
  const uint8_t* at(uint64_t p, uint32_t offset, uint32_t n) {
    if (p + offset + n > kMaxCarvedBytes) return nullptr;
    const uint64_t block = p / kSector;
    if (block > block_) {
      block_ = block;
      if (const uint8_t* in = reader_.inMemory(block_, 2)) {
        const uint64_t within = p % kSector + offset;
        return within + n <= 2 * kSector ? in + within : nullptr;
      }
      if (block_ + 2 > base_ + valid_) {
        reader_.read(block_, kSpan + 1, bytes_.get());
        base_ = block_;
        valid_ = kSpan + 1;
      }
    }
    const uint64_t within = p % kSector + offset;
    if (within + n > 2 * kSector) return nullptr;
    if (const uint8_t* in = reader_.inMemory(block_, 2)) return in + within;
    return bytes_.get() + (block_ - base_) * kSector + within;
  }

 private:
  ProbeReader& reader_;
  std::unique_ptr<uint8_t[]> bytes_;
  uint64_t block_ = 0;
  uint64_t base_ = 0;
  uint64_t valid_ = 2;
};

struct Carved {
  uint64_t size = 0;
  std::string name;
  uint64_t extent = 0;  // bytes the file is known to hold, when fewer than `size`; 0: all of them
  bool intact = true;
};

std::string Sector(uint64_t start) { return std::to_string(start); }

// The first kSearchBytes from a sector on, read on demand in growing pieces.
class LazyRange {
 public:
  LazyRange(ProbeReader& reader, uint64_t firstSector)
      : reader_(reader), first_(firstSector), bytes_(new uint8_t[kSearchBytes]) {}
  // Makes at least bytes [0, n) available (n <= kSearchBytes); returns how many are.
  uint64_t need(uint64_t n) {
    while (loaded_ < n) {
      const uint64_t next = std::min<uint64_t>(kSearchBytes, std::max<uint64_t>(2 * loaded_, 0x10000));
      reader_.read(first_ + loaded_ / kSector, (next - loaded_) / kSector, bytes_.get() + loaded_);
      loaded_ = next;
    }
    return loaded_;
  }
  const uint8_t* data() const { return bytes_.get(); }

 private:
  ProbeReader& reader_;
  uint64_t first_;
  std::unique_ptr<uint8_t[]> bytes_;
  uint64_t loaded_ = 0;
};

// --- PDF -----------------------------------------------------------------

std::optional<Carved> ProbePdf(ProbeReader& reader, uint64_t start) {
  LazyRange buffer(reader, 1);
  const uint8_t* d = buffer.data();
  const uint8_t* hit = nullptr;
  uint64_t i = 0;
  while (i + 4 <= kSearchBytes) {
    const uint64_t have = buffer.need(i + 4);
    const auto* p = static_cast<const uint8_t*>(std::memchr(d + i, '%', have - 3 - i));
    if (!p) {
      if (have == kSearchBytes) break;
      i = have - 3;
      continue;
    }
    if (Matches(p, "%EOF")) {
      hit = p;
      break;
    }
    i = static_cast<uint64_t>(p - d) + 1;
  }
  if (!hit) return std::nullopt;
  return Carved{kSector + static_cast<uint64_t>(hit - d) + 4, Sector(start) + ".pdf"};
}

// --- MPEG program stream ---------------------------------------------------

bool IsStreamCode(uint8_t code) {
  switch (code) {
    case 0xBB:
    case 0xBE:
    case 0xE0:
    case 0xB3:
    case 0xB5:
    case 0xB8:
    case 0xB9:
    case 0xBF:
    case 0xBD:
    case 0x00:
    case 0x01:
    case 0x02:
    case 0xC0:
    case 0x03:
    case 0x04:
    case 0x05:
    case 0x06:
      return true;
    default:
      return false;
  }
}

std::optional<Carved> ProbeMpeg(ReadWindow& window, uint32_t packLength, uint64_t start) {
  uint64_t p = 0;
  while (true) {
    const uint8_t* code = window.at(p, 0, 4);
    if (!code || code[0] != 0 || code[1] != 0 || code[2] != 1) break;
    if (code[3] == 0xBA) {
      p += packLength;
      continue;
    }
    if (!IsStreamCode(code[3])) break;
    const uint8_t which = code[3];
    p += 4;
    if (which == 0xB9) break;
    const uint8_t* length = window.at(p, 0, 2);
    if (!length) break;
    p += 2 + Be16(length);
  }
  if (p <= kMiB || p > kMaxCarvedBytes) return std::nullopt;
  return Carved{p, Sector(start) + ".mpeg"};
}

// --- MP4 -------------------------------------------------------------------

std::optional<Carved> ProbeMp4(ReadWindow& window, uint64_t start) {
  uint64_t p = 0;
  while (true) {
    const uint8_t* box = window.at(p, 0, 8);
    if (!box) break;
    if (!Matches(box + 4, "ftyp") && !Matches(box + 4, "free") && !Matches(box + 4, "mdat") &&
        !Matches(box + 4, "moov"))
      break;
    const uint32_t size = Be32(box);
    p += size;
    if (size <= 1) break;
  }
  if (p <= kMiB || p > kMaxCarvedBytes) return std::nullopt;
  return Carved{p, Sector(start) + ".mp4"};
}

// --- ZIP family --------------------------------------------------------------

std::optional<Carved> ProbeZip(ReadWindow& window, std::span<const uint8_t> first, uint64_t start) {
  std::string pending;
  uint64_t p = 0;
  while (true) {
    const uint8_t* r = window.at(p, 0, 4);
    if (!r || r[0] != 'P' || r[1] != 'K') return std::nullopt;
    const uint8_t a = r[2], b = r[3];
    if (a == 3 && b == 4) {
      const uint8_t* h = window.at(p, 18, 12);
      if (!h) return std::nullopt;
      p += 30ull + Le16(h + 8) + Le16(h + 10) + Le32(h);
    } else if (a == 1 && b == 2) {
      const uint8_t* h = window.at(p, 28, 6);
      if (!h) return std::nullopt;
      const uint16_t nameLength = Le16(h);
      // The first component of the name decides the kind of document.
      const uint32_t look = std::min<uint32_t>(nameLength, 5);
      if (const uint8_t* name = window.at(p, 46, look)) {
        const std::string_view n(reinterpret_cast<const char*>(name), look);
        if (n.starts_with("word/")) pending = ".docx";
        if (n.starts_with("xl/")) pending = ".xlsx";
        if (n.starts_with("ppt/")) pending = ".pptx";
      }
      p += 46ull + nameLength + Le16(h + 2) + Le16(h + 4);
    } else if (a == 5 && b == 6) {
      const uint8_t* h = window.at(p, 20, 2);
      if (!h) return std::nullopt;
      p += 22ull + Le16(h);
      break;
    } else {
      p += 4;
      if (a == 7 && b == 8) {
        const uint8_t* next = window.at(p, 0, 2);
        if (!next || next[0] != 'P' || next[1] != 'K') p += 12;
      }
    }
  }
  if (p > kMaxCarvedBytes) return std::nullopt;
  // Office documents name "[Content_Types].xml" first; anything else is a plain archive.
  const bool office = first.size() >= 49 && Matches(first.data() + 30, "[Content_Types].xml");
  return Carved{p, Sector(start) + (office ? pending : std::string(".zip"))};
}

// --- RAR ---------------------------------------------------------------------

std::optional<Carved> ProbeRar(ReadWindow& window, uint64_t start) {
  uint64_t p = 0;
  while (true) {
    const uint8_t* h = window.at(p, 0, 11);
    if (!h) return std::nullopt;
    const uint8_t type = h[2];
    const uint16_t headerSize = Le16(h + 5);
    if (type < 0x72 || type > 0x7B || headerSize < 7) return std::nullopt;
    const uint16_t flags = Le16(h + 3);
    p += headerSize;
    if (flags & 0x8000) p += Le32(h + 7);
    if (type == 0x7B) break;
    if (p > kMaxCarvedBytes) return std::nullopt;
  }
  if (p > kMaxCarvedBytes) return std::nullopt;
  return Carved{p, Sector(start) + ".rar"};
}

// --- OLE2 compound document --------------------------------------------------

bool NameStarts(const uint8_t* entry, const char16_t (&four)[5]) {
  for (int i = 0; i < 4; ++i)
    if (Le16(entry + 2 * i) != four[i]) return false;
  return true;
}

// Bytes from the document's start to the end of the last sector its own
// allocation table marks as used; 0 when the table cannot be found. The
// size above counts every sector the table could describe, up to 64 KiB
// more than the document holds.
uint64_t Ole2UsedBytes(ProbeReader& reader, std::span<const uint8_t> first, uint32_t fatSectors) {
  constexpr uint32_t kFree = 0xFFFFFFFF;
  constexpr uint32_t kInHeader = 109;  // allocation-table sector numbers the header holds
  constexpr size_t kLookBack = 16;     // allocation-table sectors searched for a used entry, from the last
  const uint16_t shift = Le16(first.data() + 0x1E);
  if (shift != 9 && shift != 12) return 0;
  const uint64_t sectorBytes = uint64_t{1} << shift;
  const uint64_t perSector = sectorBytes / 4;  // table entries in one sector
  const uint64_t diskSectors = sectorBytes / kSector;
  const uint64_t described = uint64_t{fatSectors} * perSector;  // document sectors the table describes
  // Document sector i follows the header, which fills the first sector.
  auto readSector = [&](uint32_t i, uint8_t* out) { reader.read((uint64_t{i} + 1) * diskSectors, diskSectors, out); };
  std::vector<uint32_t> table;
  for (uint32_t k = 0; k < std::min(fatSectors, kInHeader); ++k) table.push_back(Le32(first.data() + 0x4C + 4 * k));
  std::vector<uint8_t> bytes(sectorBytes);
  // The rest are listed in a chain of sectors, each ending in the next one's
  // number; every step adds entries, so the walk ends.
  for (uint32_t next = Le32(first.data() + 0x44); table.size() < fatSectors;) {
    if (next >= described) return 0;
    readSector(next, bytes.data());
    for (uint64_t k = 0; k + 1 < perSector && table.size() < fatSectors; ++k)
      table.push_back(Le32(bytes.data() + 4 * k));
    next = Le32(bytes.data() + sectorBytes - 4);
  }
  for (size_t k = table.size(); k-- > 0 && table.size() - k <= kLookBack;) {
    if (table[k] >= described) return 0;
    readSector(table[k], bytes.data());
    for (uint64_t j = perSector; j-- > 0;)
      if (Le32(bytes.data() + 4 * j) != kFree) return (k * perSector + j + 2) * sectorBytes;
  }
  return 0;
}

std::optional<Carved> ProbeOle2(ProbeReader& reader, std::span<const uint8_t> first, uint64_t start) {
  const uint32_t fatSectors = Le32(first.data() + 0x2C);
  const uint32_t directory = Le32(first.data() + 0x30);
  std::array<uint8_t, 2 * kSector> dir{};
  reader.read(uint64_t{directory} + 1, 2, dir.data());
  std::string extension;
  constexpr uint32_t kAbsent = 0xFFFFFF9F;
  uint32_t summary = kAbsent, root = kAbsent;
  for (int e = 0; e < 8; ++e) {
    const uint8_t* entry = dir.data() + 128 * e;
    if (NameStarts(entry, u"Word")) extension = ".doc";
    if (NameStarts(entry, u"Powe")) extension = ".ppt";
    if (NameStarts(entry, u"Work")) extension = ".xls";
    if (NameStarts(entry, u"\x05Sum")) summary = Le32(entry + 0x74);
    if (NameStarts(entry, u"Root")) root = Le32(entry + 0x74);
  }
  std::string title, author;
  if (extension.empty()) {
    const uint32_t stream = summary < kAbsent ? summary : root;
    if (stream >= kAbsent) return std::nullopt;
    std::array<uint8_t, 2 * kSector> set{};
    reader.read(uint64_t{stream} + 1, 2, set.data());
    const uint32_t count = Le32(set.data() + 0x34);
    if (uint64_t{count} * 8 + 60 >= set.size()) return std::nullopt;
    std::string application;
    for (uint32_t i = 0; i < count; ++i) {
      const uint32_t id = Le32(set.data() + 0x38 + 8 * i);
      const uint32_t offset = Le32(set.data() + 0x3C + 8 * i);
      if (offset > 0x3D0) return std::nullopt;
      if (id != 2 && id != 4 && id != 18) continue;
      const uint64_t at = 0x30ull + offset;  // the section starts at 0x30
      if (at + 8 > set.size()) return std::nullopt;
      const uint32_t length = Le32(set.data() + at + 4);
      if (length > 0x800) return std::nullopt;
      const uint64_t end = std::min<uint64_t>(set.size(), at + 8 + length);
      std::string_view text(reinterpret_cast<const char*>(set.data() + at + 8), end - at - 8);
      text = text.substr(0, text.find('\0'));
      (id == 2 ? title : id == 4 ? author : application) = std::string(text);
    }
    if (application == "Microsoft Office Word")
      extension = ".doc";
    else if (application == "Microsoft Excel")
      extension = ".xls";
    else if (application == "Microsoft Office PowerPoint")
      extension = ".ppt";
    else
      return std::nullopt;
  }
  const uint64_t size = uint64_t{fatSectors} * kSector * 128;
  if (size == 0 || size > kMaxCarvedBytes) return std::nullopt;
  // Titles and authors are 8-bit text in the writer's code page.
  const std::string name = !title.empty() ? platform::OemToUtf8(title) : platform::OemToUtf8(author) + Sector(start);
  return Carved{size, name + extension, Ole2UsedBytes(reader, first, fatSectors)};
}

// --- JPEG --------------------------------------------------------------------

bool IsJpegMarker(uint8_t code) {
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
std::optional<uint64_t> JpegScanEnd(LazyRange& lazy, uint64_t sos) {
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
      if (std::all_of(sector, sector + kSector, [](uint8_t v) { return v == 0; }) || MayStartCarvedFile(sector))
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

std::optional<Carved> ProbeJpeg(ReadWindow& window, ProbeReader& reader, uint64_t start) {
  uint64_t p = 0;
  while (true) {
    if (p >= 0x1400000) return std::nullopt;
    const uint8_t* m = window.at(p, 0, 4);
    if (!m) return std::nullopt;
    const uint8_t code = m[1];
    if (!IsJpegMarker(code) || code == 0xD9) return std::nullopt;
    if (code == 0xDA) break;
    p += code == 0xD8 ? 2 : 2ull + Be16(m + 2);
  }
  // The end search reads whole sectors from the one holding the start of
  // scan, and looks from the marker itself: a small picture can end in that
  // very sector.
  const uint64_t base = p / kSector * kSector;
  LazyRange lazy(reader, base / kSector);
  const uint8_t* buffer = lazy.data();
  const std::optional<uint64_t> scanEnd = JpegScanEnd(lazy, p - base);
  if (!scanEnd) return std::nullopt;
  if (*scanEnd >= kSearchBytes || buffer[*scanEnd] != 0xFF || buffer[*scanEnd + 1] != 0xD9) {
    // The picture breaks off there: what came before is kept, and nothing
    // behind it (often the next file) is counted as its own.
    return Carved{base + *scanEnd, Sector(start) + ".jpg", base + *scanEnd, false};
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
    return Carved{base + e + 2, Sector(start) + ".jpg", base + firstEnd};
  }
  // No end followed by zeros: the picture's own end, with the same two bytes beyond.
  if (firstEnd == 0) return std::nullopt;
  return Carved{base + firstEnd + 2, Sector(start) + ".jpg", base + firstEnd};
}

// --- MP3 ---------------------------------------------------------------------

// Bitrates in kbit/s by [MPEG-1 ? 0 : 1][layer bits 3 (I), 2 (II), 1 (III)][index].
constexpr uint16_t kBitrates[2][4][16] = {
    {{},
     {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
     {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0}},
    {{},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0}},
};
constexpr uint32_t kSampleRates[4][3] = {{11025, 12000, 8000}, {}, {22050, 24000, 16000}, {44100, 48000, 32000}};

// Length of the frame whose header bytes after FF are b1, b2; 0 when invalid.
uint32_t Mp3FrameLength(uint8_t b1, uint8_t b2) {
  if ((b1 & 0xE0) != 0xE0 || (b2 & 0xF0) == 0xF0) return 0;
  const unsigned version = (b1 >> 3) & 3;
  const unsigned layer = (b1 >> 1) & 3;
  const unsigned bitrateIndex = b2 >> 4;
  const unsigned rateIndex = (b2 >> 2) & 3;
  if (version == 1 || layer == 0 || bitrateIndex == 15 || rateIndex == 3) return 0;
  const uint32_t bitrate = kBitrates[version == 3 ? 0 : 1][layer][bitrateIndex] * 1000u;
  if (bitrate == 0) return 0;
  const uint32_t rate = kSampleRates[version][rateIndex];
  const uint32_t padding = (b2 >> 1) & 1;
  uint32_t coefficient = 144, slot = 1;
  if (layer == 3) {
    coefficient = 12;
    slot = 4;
  } else if (layer == 1 && version != 3) {
    coefficient = 72;
  }
  return (coefficient * bitrate / rate + padding) * slot;
}

std::optional<Carved> ProbeMp3(ReadWindow& window, std::span<const uint8_t> first, uint64_t start) {
  uint64_t p = 0;
  if (Matches(first.data(), "ID3")) {
    const uint8_t* s = first.data() + 6;
    p = 10 +
        ((uint64_t{s[0]} & 0x7F) << 21 | (uint64_t{s[1]} & 0x7F) << 14 | (uint64_t{s[2]} & 0x7F) << 7 | (s[3] & 0x7F));
  }
  while (true) {
    const uint8_t* h = window.at(p, 0, 3);
    if (!h || h[0] != 0xFF) break;
    const uint32_t length = Mp3FrameLength(h[1], h[2]);
    if (length == 0) break;
    p += length;
  }
  if (p < kMiB + 1 || p > 0x13FFFFF) return std::nullopt;
  uint64_t size = p;
  if (const uint8_t* tag = window.at(p, 0, 3); tag && Matches(tag, "TAG")) size += 128;
  return Carved{size, Sector(start) + ".mp3"};
}

CarvedFind Record(disk::DiskInfo& disk, uint64_t start, const Carved& c) {
  disk::CarvedNode node;
  node.size = static_cast<uint32_t>(c.size);
  node.name = c.name;
  node.intact = c.intact;
  disk.extraFoundFolder.children.try_emplace(start, std::move(node));
  return {static_cast<uint32_t>(c.size), c.extent != 0 ? std::min(c.extent, c.size) : c.size, c.intact};
}

bool IsJpegStart(const uint8_t* s) {
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

bool IsMp3Start(const uint8_t* s) {
  return (s[0] == 0xFF && (s[1] & 0xE0) == 0xE0 && (s[2] & 0xF0) != 0xF0) || Matches(s, "ID3");
}

}  // namespace

bool MayStartCarvedFile(const uint8_t* s) {
  if (Matches(s + 4, "ftyp")) return true;
  switch (s[0]) {
    case '%':
      return Matches(s, "%PDF-1");
    case 0x00:
      return Matches(s, kPack);
    case 'R':
      return (Matches(s, "RIFF") && Matches(s + 8, "AVI LIST")) || Matches(s, kRar);
    case 'P':
      return Matches(s, kZip);
    case 0xD0:
      return Matches(s, kOle2);
    case 0xFF:
      return IsJpegStart(s) || IsMp3Start(s);
    case 'I':
      return Matches(s, "ID3");
    default:
      return false;
  }
}

std::optional<CarvedFind> ProbeCarvedFile(disk::DiskInfo& disk, platform::SectorSource* source,
                                          const disk::PartitionInfo* context, std::span<const uint8_t> sectorData,
                                          uint64_t startSector) {
  if (sectorData.size() < 2 * kSector) return std::nullopt;
  const uint8_t* s = sectorData.data();
  if (!MayStartCarvedFile(s)) return std::nullopt;
  ProbeReader reader(source, context, startSector, sectorData);
  ReadWindow window(reader, sectorData);
  std::optional<Carved> carved;
  if (Matches(s, "%PDF-1")) {
    if (s[6] != '.') return std::nullopt;
    carved = ProbePdf(reader, startSector);
  } else if (Matches(s, kPack)) {
    const uint32_t pack = s[4] == 0x21 ? 12 : s[4] == 0x44 ? 14 : 0;
    if (pack == 0 || !Matches(s + pack, kSystem)) return std::nullopt;
    carved = ProbeMpeg(window, pack, startSector);
  } else if (Matches(s, "RIFF") && Matches(s + 8, "AVI LIST")) {
    const uint32_t riff = Le32(s + 4);
    if (riff < 0x100001 || riff > 0x13FFFFF) return std::nullopt;
    carved = Carved{uint64_t{riff} + 12, Sector(startSector) + ".avi"};
  } else if (Matches(s + 4, "ftyp")) {
    carved = ProbeMp4(window, startSector);
  } else if (Matches(s, kZip)) {
    carved = ProbeZip(window, sectorData, startSector);
  } else if (Matches(s, kRar)) {
    carved = ProbeRar(window, startSector);
  } else if (Matches(s, kOle2)) {
    carved = ProbeOle2(reader, sectorData, startSector);
  } else if (IsJpegStart(s)) {
    if (!Matches(s + 6, "JFIF") && !Matches(s + 6, "Exif")) return std::nullopt;
    carved = ProbeJpeg(window, reader, startSector);
  } else if (IsMp3Start(s)) {
    carved = ProbeMp3(window, sectorData, startSector);
  }
  if (!carved) return std::nullopt;
  return Record(disk, startSector, *carved);
}

}  // namespace orvaldi::raw
