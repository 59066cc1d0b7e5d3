// The structure walks of the content checks, one per format, each over the
// whole file's bytes through the bounds-checked reader.
#include "raw/content_check.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <optional>
#include <unordered_set>
#include <vector>

#include "disk/bytes.h"
#include "fs/formats/format.h"

namespace orvaldi::raw {
namespace {

using disk::ByteView;

// The result of one walk: ok, or bad with what broke.
struct Walk {
  ContentVerdict verdict = ContentVerdict::kOk;
  std::string problem;
};

Walk Ok(std::string note = {}) { return {ContentVerdict::kOk, std::move(note)}; }
Walk Bad(std::string problem) { return {ContentVerdict::kBad, std::move(problem)}; }
Walk Undecided(std::string note) { return {ContentVerdict::kNotApplicable, std::move(note)}; }
std::string At(uint64_t offset) { return " at offset " + std::to_string(offset); }

std::array<uint32_t, 256> Crc32Table() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}

// --- JPEG -----------------------------------------------------------------

// Markers from the start of image, through every scan's entropy-coded data,
// to the end of image. A marker without a length (the restart markers, TEM)
// is two bytes; fill bytes FF before a marker are skipped.
Walk CheckJpeg(const ByteView& b) {
  uint64_t p = 2;
  while (true) {
    if (!b.contains(p, 2)) return Bad("no end-of-image marker (FF D9): the picture breaks off" + At(p));
    if (b.u8(p) != 0xFF) return Bad("no marker" + At(p));
    uint8_t code = b.u8(p + 1);
    while (code == 0xFF && b.contains(p + 1, 2)) code = b.u8(++p + 1);
    if (code == 0xD9) return Ok();
    if (code == 0x00 || code == 0xD8) return Bad("marker FF " + std::to_string(code) + At(p));
    if (code == 0x01 || (code >= 0xD0 && code <= 0xD7)) {
      p += 2;
      continue;
    }
    if (!b.contains(p + 2, 2)) return Bad("segment header cut off" + At(p));
    const uint16_t length = b.be16(p + 2);
    if (length < 2 || !b.contains(p + 2, length))
      return Bad("segment of " + std::to_string(length) + " bytes" + At(p) + " runs past the end");
    p += 2ull + length;
    if (code != 0xDA) continue;
    // Entropy-coded data: every FF in it is followed by 00 or a restart marker.
    while (true) {
      if (!b.contains(p, 2)) return Bad("scan data runs to the end without an end-of-image marker");
      const auto* data = b.data();
      const auto* hit = static_cast<const uint8_t*>(std::memchr(data + p, 0xFF, b.size() - 1 - p));
      if (!hit) return Bad("scan data runs to the end without an end-of-image marker");
      p = static_cast<uint64_t>(hit - data);
      const uint8_t next = data[p + 1];
      if (next == 0x00 || (next >= 0xD0 && next <= 0xD7) || next == 0xFF) {
        p += next == 0xFF ? 1 : 2;
        continue;
      }
      break;
    }
  }
}

// --- PNG ------------------------------------------------------------------

Walk CheckPng(const ByteView& b) {
  uint64_t p = 8;
  bool first = true;
  while (true) {
    if (!b.contains(p, 12)) return Bad("chunk header cut off" + At(p) + " (no IEND)");
    const uint32_t length = b.be32(p);
    if (length > 0x7FFFFFFF || !b.contains(p + 12, length))
      return Bad("chunk of " + std::to_string(length) + " bytes" + At(p) + " runs past the end");
    const std::span<const uint8_t> typed = b.sub(p + 4, 4ull + length);
    const bool ihdr = b.matches(p + 4, "IHDR");
    if (first && !ihdr) return Bad("the first chunk is not IHDR");
    first = false;
    if (Crc32(typed) != b.be32(p + 8 + length)) return Bad("chunk CRC mismatch" + At(p));
    if (b.matches(p + 4, "IEND")) return Ok();
    p += 12ull + length;
  }
}

// --- GIF ------------------------------------------------------------------

// Sub-blocks (a length byte, that many bytes) up to the empty one; the
// position after it, or nothing when they run past the end.
std::optional<uint64_t> SkipSubBlocks(const ByteView& b, uint64_t p) {
  while (b.contains(p, 1)) {
    const uint8_t n = b.u8(p);
    if (n == 0) return p + 1;
    if (!b.contains(p + 1, n)) return std::nullopt;
    p += 1ull + n;
  }
  return std::nullopt;
}

Walk CheckGif(const ByteView& b) {
  if (!b.contains(6, 7)) return Bad("logical screen descriptor cut off");
  uint64_t p = 13;
  const uint8_t flags = b.u8(10);
  if (flags & 0x80) p += 3ull << ((flags & 7) + 1);
  while (true) {
    if (!b.contains(p, 1)) return Bad("no trailer (3B): the picture breaks off" + At(p));
    const uint8_t introducer = b.u8(p);
    if (introducer == 0x3B) return Ok();
    if (introducer == 0x21) {
      const auto next = SkipSubBlocks(b, p + 2);
      if (!b.contains(p, 2) || !next) return Bad("extension" + At(p) + " runs past the end");
      p = *next;
    } else if (introducer == 0x2C) {
      if (!b.contains(p, 10)) return Bad("image descriptor" + At(p) + " cut off");
      const uint8_t local = b.u8(p + 9);
      p += 10;
      if (local & 0x80) p += 3ull << ((local & 7) + 1);
      const auto next = SkipSubBlocks(b, p + 1);  // after the LZW code size
      if (!b.contains(p, 1) || !next) return Bad("image data" + At(p) + " runs past the end");
      p = *next;
    } else {
      return Bad("unknown block " + std::to_string(introducer) + At(p));
    }
  }
}

// --- BMP ------------------------------------------------------------------

Walk CheckBmp(const ByteView& b) {
  if (!b.contains(0, 30)) return Bad("header cut off");
  const uint32_t declared = b.le32(2);
  const uint32_t pixels = b.le32(10);
  const uint32_t header = b.le32(14);
  if (header != 12 && header != 40 && header != 52 && header != 56 && header != 64 && header != 108 && header != 124)
    return Bad("information header of " + std::to_string(header) + " bytes");
  if (declared != 0 && declared > b.size())
    return Bad("the header gives " + std::to_string(declared) + " bytes, the file has " + std::to_string(b.size()));
  if (pixels < 14ull + header || pixels > b.size())
    return Bad("pixel data offset " + std::to_string(pixels) + " outside the file");
  if (header == 12) return Ok();
  const int32_t width = static_cast<int32_t>(b.le32(18));
  const int32_t height = static_cast<int32_t>(b.le32(22));
  const uint16_t bits = b.le16(28);
  const uint32_t compression = b.le32(30);
  // Uncompressed rows: each padded to four bytes.
  if (compression == 0 || compression == 3) {
    const uint64_t w = width < 0 ? 0 : static_cast<uint64_t>(width);
    const uint64_t h =
        height < 0 ? 0ull - static_cast<uint64_t>(static_cast<int64_t>(height)) : static_cast<uint64_t>(height);
    if (w > 0x100000 || h > 0x100000 || bits == 0 || bits > 64)
      return Bad("picture of " + std::to_string(w) + " x " + std::to_string(h) + " at " + std::to_string(bits) +
                 " bits");
    const uint64_t row = (w * bits + 31) / 32 * 4;
    if (!b.contains(pixels, row * h)) return Bad("pixel rows run past the end");
  }
  return Ok();
}

// --- PDF ------------------------------------------------------------------

std::optional<uint64_t> FindLast(const ByteView& b, std::string_view what, uint64_t before) {
  if (before > b.size()) before = b.size();
  for (uint64_t i = before; i >= what.size(); --i)
    if (b.matches(i - what.size(), what)) return i - what.size();
  return std::nullopt;
}

// The last "%%EOF", its "startxref" and the cross-reference it points to
// (a table "xref" or a stream object "N G obj").
Walk CheckPdf(const ByteView& b) {
  const auto eof = FindLast(b, "%%EOF", b.size());
  if (!eof) return Bad("no %%EOF: the document breaks off");
  // startxref sits just before the end marker: look back a little only.
  const uint64_t from = *eof > 1024 ? *eof - 1024 : 0;
  const auto start = FindLast(b, "startxref", *eof);
  if (!start || *start < from) return Bad("no startxref before %%EOF");
  uint64_t p = *start + 9;
  while (p < *eof && std::isspace(b.u8(p))) ++p;
  uint64_t offset = 0;
  int digits = 0;
  for (; p < *eof && std::isdigit(b.u8(p)) && digits < 19; ++p, ++digits) offset = offset * 10 + (b.u8(p) - '0');
  if (digits == 0) return Bad("startxref without an offset");
  if (offset >= b.size()) return Bad("startxref " + std::to_string(offset) + " lies outside the file");
  uint64_t x = offset;
  while (x < b.size() && std::isspace(b.u8(x))) ++x;
  if (b.matches(x, "xref")) return Ok();
  // A cross-reference stream: "N G obj".
  int fields = 0;
  for (int k = 0; k < 2; ++k) {
    const uint64_t at = x;
    while (x < b.size() && std::isdigit(b.u8(x))) ++x;
    if (x == at) break;
    ++fields;
    while (x < b.size() && std::isspace(b.u8(x))) ++x;
  }
  if (fields == 2 && b.matches(x, "obj")) return Ok();
  return Bad("startxref " + std::to_string(offset) + " points at no cross-reference");
}

// --- ZIP ------------------------------------------------------------------

// The end record, the central directory it names, each entry's local header,
// and the CRC-32 of every stored member. Deflated members are not inflated:
// their CRCs go unchecked, but their headers and extents must agree.
Walk CheckZip(const ByteView& b) {
  constexpr uint64_t kEndBytes = 22;
  std::optional<uint64_t> end;
  const uint64_t lowest = b.size() > kEndBytes + 0xFFFF ? b.size() - kEndBytes - 0xFFFF : 0;
  for (uint64_t i = b.size() >= kEndBytes ? b.size() - kEndBytes + 1 : 0; i-- > lowest;) {
    if (b.matches(i, std::string_view("PK\x05\x06", 4)) && i + kEndBytes + b.le16(i + 20) <= b.size()) {
      end = i;
      break;
    }
  }
  if (!end) return Bad("no end of central directory: the archive breaks off");
  const uint16_t entries = b.le16(*end + 10);
  const uint32_t cdSize = b.le32(*end + 12);
  const uint32_t cdOffset = b.le32(*end + 16);
  if (cdOffset == 0xFFFFFFFF || cdSize == 0xFFFFFFFF || entries == 0xFFFF)
    return Undecided("ZIP64 archive not checked");
  if (uint64_t{cdOffset} + cdSize > *end) return Bad("central directory lies past its end record");
  // An archive behind a stub (a self-extractor) starts further in.
  const uint64_t base = *end - cdSize - cdOffset;
  const uint64_t cdStart = base + cdOffset;
  uint64_t p = cdStart;
  uint64_t stored = 0, deflated = 0;
  for (uint32_t i = 0; i < entries; ++i) {
    if (!b.matches(p, std::string_view("PK\x01\x02", 4)) || p + 46 > *end)
      return Bad("central directory entry " + std::to_string(i) + At(p) + " is not one");
    const uint16_t flags = b.le16(p + 8);
    const uint16_t method = b.le16(p + 10);
    const uint32_t crc = b.le32(p + 16);
    const uint32_t packed = b.le32(p + 20);
    const uint32_t size = b.le32(p + 24);
    const uint64_t nameLength = b.le16(p + 28);
    const uint64_t next = p + 46 + nameLength + b.le16(p + 30) + b.le16(p + 32);
    if (next > *end) return Bad("central directory entry " + std::to_string(i) + " runs past the directory");
    const uint64_t local = base + b.le32(p + 42);
    if (!b.matches(local, std::string_view("PK\x03\x04", 4)) || !b.contains(local, 30))
      return Bad("entry " + std::to_string(i) + ": no local header" + At(local));
    if (b.le16(local + 26) != nameLength ||
        !std::equal(b.data() + p + 46, b.data() + p + 46 + nameLength, b.data() + local + 30,
                    b.data() + local + 30 + std::min<uint64_t>(nameLength, b.size() - local - 30)))
      return Bad("entry " + std::to_string(i) + ": local header names another file");
    const uint64_t data = local + 30 + nameLength + b.le16(local + 28);
    if (data + packed > cdStart) return Bad("entry " + std::to_string(i) + ": data runs into the central directory");
    if ((flags & 1) == 0 && method == 0) {
      if (packed != size) return Bad("stored entry " + std::to_string(i) + " with two sizes");
      if (Crc32(b.sub(data, packed)) != crc) return Bad("stored entry " + std::to_string(i) + ": CRC-32 mismatch");
      ++stored;
    } else {
      ++deflated;
    }
    p = next;
  }
  if (p != cdStart + cdSize) return Bad("central directory size disagrees with its entries");
  if (deflated == 0) return Ok();
  return Ok(std::to_string(deflated) + " compressed member(s): CRC not checked, headers agree");
}

// --- MP4 ------------------------------------------------------------------

// Top-level boxes from the first byte must cover the file exactly (zero
// bytes after the last box are slack), and a movie box must be among them.
Walk CheckMp4(const ByteView& b) {
  uint64_t p = 0;
  bool movie = false;
  while (p < b.size()) {
    if (b.allZero(p, b.size() - p)) break;
    if (!b.contains(p, 8)) return Bad("box header cut off" + At(p));
    for (int k = 4; k < 8; ++k)
      if (!std::isprint(b.u8(p + k))) return Bad("no box" + At(p));
    uint64_t size = b.be32(p);
    if (size == 1) {
      if (!b.contains(p, 16)) return Bad("box header cut off" + At(p));
      size = b.be64(p + 8);
      if (size < 16) return Bad("box of " + std::to_string(size) + " bytes" + At(p));
    } else if (size == 0) {
      size = b.size() - p;
    } else if (size < 8) {
      return Bad("box of " + std::to_string(size) + " bytes" + At(p));
    }
    if (b.matches(p + 4, "moov")) movie = true;
    if (!b.contains(p, size))
      return Bad("box '" + std::string(reinterpret_cast<const char*>(b.data() + p + 4), 4) + "'" + At(p) +
                 " runs past the end");
    p += size;
  }
  if (!movie) return Bad("no movie box (moov)");
  return Ok();
}

// --- RAR (1.5 to 4) -------------------------------------------------------

Walk CheckRar(const ByteView& b) {
  if (b.matches(0, std::string_view("Rar!\x1A\x07\x01\x00", 8))) return Undecided("RAR 5 archive not checked");
  uint64_t p = 7;
  while (true) {
    if (!b.contains(p, 7)) return Bad("no end-of-archive block: the archive breaks off" + At(p));
    const uint16_t crc = b.le16(p);
    const uint8_t type = b.u8(p + 2);
    const uint16_t flags = b.le16(p + 3);
    const uint16_t size = b.le16(p + 5);
    if (type < 0x72 || type > 0x7B || size < 7) return Bad("no block header" + At(p));
    if (!b.contains(p, size)) return Bad("block header" + At(p) + " runs past the end");
    if ((Crc32(b.sub(p + 2, size - 2u)) & 0xFFFF) != crc) return Bad("block header CRC mismatch" + At(p));
    uint64_t next = p + size;
    if (flags & 0x8000) {
      if (size < 11) return Bad("block header" + At(p) + " too short for its data size");
      next += b.le32(p + 7);
    }
    if (type == 0x7B) return Ok();
    if (next > b.size()) return Bad("block data" + At(p) + " runs past the end");
    p = next;
  }
}

// --- OLE2 -----------------------------------------------------------------

// The allocation table's sectors (from the header and the extra-table
// chain) and the directory's chain through it, each sector inside the file.
Walk CheckOle2(const ByteView& b) {
  if (!b.contains(0, 512)) return Bad("header cut off");
  const uint16_t shift = b.le16(0x1E);
  if (shift != 9 && shift != 12) return Bad("sector size 2^" + std::to_string(shift));
  const uint64_t sectorBytes = uint64_t{1} << shift;
  const uint64_t sectors = b.size() / sectorBytes - 1;  // whole sectors after the header
  const uint32_t fatSectors = b.le32(0x2C);
  const uint32_t directory = b.le32(0x30);
  if (fatSectors == 0 || fatSectors > sectors) return Bad(std::to_string(fatSectors) + " allocation-table sectors");
  auto offsetOf = [&](uint32_t s) { return (uint64_t{s} + 1) * sectorBytes; };
  std::vector<uint32_t> fat;
  for (uint32_t k = 0; k < std::min<uint32_t>(fatSectors, 109); ++k) fat.push_back(b.le32(0x4C + 4ull * k));
  std::unordered_set<uint32_t> seen;
  for (uint32_t next = b.le32(0x44); fat.size() < fatSectors;) {
    if (next >= sectors || !seen.insert(next).second) return Bad("extra allocation-table chain leaves the file");
    const uint64_t at = offsetOf(next);
    for (uint64_t k = 0; k + 1 < sectorBytes / 4 && fat.size() < fatSectors; ++k) fat.push_back(b.le32(at + 4 * k));
    next = b.le32(at + sectorBytes - 4);
  }
  for (const uint32_t s : fat)
    if (s >= sectors) return Bad("allocation-table sector " + std::to_string(s) + " lies outside the file");
  const uint64_t perSector = sectorBytes / 4;
  auto entry = [&](uint32_t s) -> uint32_t {
    const uint64_t k = s / perSector;
    return k < fat.size() ? b.le32(offsetOf(fat[k]) + 4 * (s % perSector)) : 0xFFFFFFFF;
  };
  seen.clear();
  uint32_t s = directory;
  while (s != 0xFFFFFFFE) {
    if (s >= sectors) return Bad("directory sector " + std::to_string(s) + " lies outside the file");
    if (!seen.insert(s).second) return Bad("directory chain loops at sector " + std::to_string(s));
    if (seen.size() == 1 && b.u8(offsetOf(s) + 0x42) != 5)
      return Bad("the directory does not begin with the root entry");
    s = entry(s);
  }
  if (seen.empty()) return Bad("no directory");
  // Every sector the table gives to a stream must be in the file: a cut
  // copy loses its last streams.
  constexpr uint32_t kFree = 0xFFFFFFFF;
  for (uint64_t k = fat.size(); k-- > 0;) {
    for (uint64_t j = perSector; j-- > 0;) {
      if (b.le32(offsetOf(fat[k]) + 4 * j) == kFree) continue;
      const uint64_t last = k * perSector + j;
      if (last >= sectors)
        return Bad("sector " + std::to_string(last) + " is in use but lies past the end of the file");
      return Ok();
    }
  }
  return Ok();
}

// --- MP3 ------------------------------------------------------------------

Walk CheckMp3(const ByteView& b) {
  uint64_t p = 0;
  if (b.matches(0, "ID3")) {
    if (!b.contains(0, 10)) return Bad("tag header cut off");
    p = 10 + ((uint64_t{b.u8(6)} & 0x7F) << 21 | (uint64_t{b.u8(7)} & 0x7F) << 14 | (uint64_t{b.u8(8)} & 0x7F) << 7 |
              (b.u8(9) & 0x7F));
    if (b.u8(5) & 0x10) p += 10;  // a footer
    if (p > b.size()) return Bad("ID3 tag runs past the end");
  }
  // An ID3v1 tag ends the file.
  const uint64_t audioEnd = b.size() >= 128 && b.matches(b.size() - 128, "TAG") ? b.size() - 128 : b.size();
  uint64_t frames = 0;
  while (p < audioEnd) {
    if (!b.contains(p, 4) || b.u8(p) != 0xFF) {
      if (frames > 0 && b.allZero(p, audioEnd - p)) break;
      return Bad("no frame header" + At(p));
    }
    const uint32_t length = fs::formats::Mp3FrameLength(b.u8(p + 1), b.u8(p + 2));
    if (length == 0) return Bad("invalid frame header" + At(p));
    if (p + length > audioEnd) return Bad("the last frame" + At(p) + " runs past the end");
    p += length;
    ++frames;
  }
  if (frames == 0) return Bad("no audio frames");
  return Ok();
}

// --- MPEG program stream --------------------------------------------------

// Packs and packets from the first byte to the end code, or to the file's
// end exactly (muxers need not write the end code); zeros after the last
// packet are slack.
Walk CheckMpeg(const ByteView& b) {
  uint64_t p = 0;
  while (true) {
    if (p == b.size() || (p > 0 && b.allZero(p, b.size() - p))) return Ok();
    if (!b.contains(p, 4)) return Bad("a start code is cut off" + At(p));
    if (b.u8(p) != 0 || b.u8(p + 1) != 0 || b.u8(p + 2) != 1) return Bad("no start code" + At(p));
    const uint8_t code = b.u8(p + 3);
    if (code == 0xB9) return Ok();
    if (code == 0xBA) {
      const uint8_t mark = b.u8(p + 4);
      uint64_t length = 0;
      if ((mark & 0xC0) == 0x40) {
        if (!b.contains(p, 14)) return Bad("pack header cut off" + At(p));
        length = 14ull + (b.u8(p + 13) & 7);
      } else if ((mark & 0xF0) == 0x20) {
        length = 12;
      } else {
        return Bad("pack header of no known kind" + At(p));
      }
      if (!b.contains(p, length)) return Bad("pack header cut off" + At(p));
      p += length;
      continue;
    }
    if (code < 0xBB) return Bad("start code 00 00 01 " + std::to_string(code) + At(p));
    if (!b.contains(p, 6)) return Bad("packet header cut off" + At(p));
    const uint64_t length = 6ull + b.be16(p + 4);
    if (!b.contains(p, length)) return Bad("packet" + At(p) + " runs past the end");
    p += length;
  }
}

// --- AVI ------------------------------------------------------------------

// The RIFF form's chunks (and those of OpenDML "AVIX" forms behind it) must
// fill it; a header list and a movie list must be among them.
Walk CheckAvi(const ByteView& b) {
  uint64_t form = 0;
  bool header = false, movie = false;
  while (form < b.size()) {
    if (form > 0 && (b.allZero(form, b.size() - form) || !b.matches(form, "RIFF"))) break;
    if (!b.contains(form, 12)) return Bad("RIFF header cut off" + At(form));
    const uint64_t end = form + 8 + b.le32(form + 4);
    if (end > b.size()) return Bad("the RIFF form" + At(form) + " runs past the end of the file");
    uint64_t p = form + 12;
    while (p + 8 <= end) {
      const uint64_t size = b.le32(p + 4);
      if (b.matches(p, "LIST") && b.matches(p + 8, "hdrl")) header = true;
      if (b.matches(p, "LIST") && b.matches(p + 8, "movi")) movie = true;
      const uint64_t next = p + 8 + size + (size & 1);
      if (next > end + (size & 1)) return Bad("chunk" + At(p) + " runs past its form");
      p = next;
    }
    if (p < end) return Bad("chunk header cut off" + At(p));
    form = end + (end & 1);
  }
  if (!header || !movie) return Bad(header ? "no movie list (movi)" : "no header list (hdrl)");
  return Ok();
}

// --- which format ---------------------------------------------------------

struct Format {
  const char* name;
  bool (*heads)(const ByteView& b);
  Walk (*check)(const ByteView& b);
  std::string_view extensions;  // space-separated, lower case
};

const Format kFormats[] = {
    {"jpeg", [](const ByteView& b) { return b.matches(0, "\xFF\xD8\xFF"); }, CheckJpeg, " jpg jpeg jpe jfif "},
    {"png", [](const ByteView& b) { return b.matches(0, "\x89PNG\r\n\x1A\n"); }, CheckPng, " png "},
    {"gif", [](const ByteView& b) { return b.matches(0, "GIF87a") || b.matches(0, "GIF89a"); }, CheckGif, " gif "},
    {"bmp",
     [](const ByteView& b) { return b.matches(0, "BM") && b.contains(14, 4) && b.le32(14) >= 12 && b.le32(14) <= 124; },
     CheckBmp, " bmp "},
    {"pdf", [](const ByteView& b) { return b.matches(0, "%PDF-"); }, CheckPdf, " pdf "},
    {"zip",
     [](const ByteView& b) {
       return b.matches(0, std::string_view("PK\x03\x04", 4)) || b.matches(0, std::string_view("PK\x05\x06", 4));
     },
     CheckZip, " zip docx xlsx pptx "},
    {"rar", [](const ByteView& b) { return b.matches(0, std::string_view("Rar!\x1A\x07", 6)); }, CheckRar, " rar "},
    {"ole2", [](const ByteView& b) { return b.matches(0, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1"); }, CheckOle2,
     " doc xls ppt "},
    {"mp4", [](const ByteView& b) { return b.matches(4, "ftyp"); }, CheckMp4, " mp4 m4a m4v mov "},
    {"avi", [](const ByteView& b) { return b.matches(0, "RIFF") && b.matches(8, "AVI "); }, CheckAvi, " avi "},
    {"mpeg", [](const ByteView& b) { return b.matches(0, std::string_view("\x00\x00\x01\xBA", 4)); }, CheckMpeg,
     " mpeg mpg vob "},
    {"mp3",
     [](const ByteView& b) {
       return b.matches(0, "ID3") ||
              (b.contains(0, 3) && b.u8(0) == 0xFF && fs::formats::Mp3FrameLength(b.u8(1), b.u8(2)) != 0);
     },
     CheckMp3, " mp3 "},
};

std::string ExtensionOf(std::string_view name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || name.find('/', dot) != std::string_view::npos) return {};
  std::string e(name.substr(dot + 1));
  for (char& c : e) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return e;
}

const Format* ByHeader(const ByteView& b) {
  for (const Format& f : kFormats)
    if (f.heads(b)) return &f;
  return nullptr;
}

const Format* ByExtension(std::string_view name) {
  const std::string e = ExtensionOf(name);
  if (e.empty()) return nullptr;
  const std::string word = " " + e + " ";
  for (const Format& f : kFormats)
    if (f.extensions.find(word) != std::string_view::npos) return &f;
  return nullptr;
}

}  // namespace

const char* ContentVerdictName(ContentVerdict verdict) {
  switch (verdict) {
    case ContentVerdict::kOk:
      return "ok";
    case ContentVerdict::kBad:
      return "bad";
    case ContentVerdict::kNotApplicable:
      break;
  }
  return "n/a";
}

uint32_t Crc32(std::span<const uint8_t> bytes, uint32_t crc) {
  static const std::array<uint32_t, 256> kTable = Crc32Table();
  crc = ~crc;
  for (const uint8_t v : bytes) crc = kTable[(crc ^ v) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

bool ContentCheckApplies(std::span<const uint8_t> head, std::string_view name) {
  return ByHeader(ByteView(head)) != nullptr || ByExtension(name) != nullptr;
}

ContentCheck CheckContent(std::span<const uint8_t> bytes, std::string_view name) {
  const ByteView b(bytes);
  ContentCheck out;
  if (const Format* f = ByHeader(b)) {
    out.format = f->name;
    const Walk w = f->check(b);
    out.verdict = w.verdict;
    out.problem = w.problem;
    return out;
  }
  if (const Format* f = ByExtension(name)) {
    out.format = f->name;
    out.verdict = ContentVerdict::kBad;
    out.problem =
        bytes.empty() ? "the file is empty" : std::string("the file does not begin like a ") + f->name + " file";
  }
  return out;
}

}  // namespace orvaldi::raw
