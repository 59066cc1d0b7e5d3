// The carving probes on crafted files: sizes at the limits, names, the end
// searches and the walks' bounds.
#include "raw/carving.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "platform/sector_source.h"
#include "raw/raw_scan.h"
#include "support/test_images.h"

namespace orvaldi::raw {
namespace {

constexpr uint64_t kMiB = 1 << 20;

// A big-endian value of `bytes` bytes.
void PutBe(std::vector<uint8_t>& b, size_t at, uint32_t v, size_t bytes = 4) {
  for (size_t i = 0; i < bytes; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * (bytes - 1 - i)));
}

// A disk of zeros with files written at chosen sectors.
struct Disk {
  std::vector<uint8_t> bytes;
  disk::DiskInfo info;
  explicit Disk(uint64_t mib = 24) : bytes(mib * kMiB, 0) {}
  void put(uint64_t sector, const std::vector<uint8_t>& file) {
    ASSERT_LE(sector * 512 + file.size(), bytes.size());
    std::memcpy(bytes.data() + sector * 512, file.data(), file.size());
  }
  std::optional<CarvedFind> find(uint64_t sector) {
    auto source = platform::MemorySource::borrow(bytes);
    return ProbeCarvedFile(info, source.get(), nullptr, {bytes.data() + sector * 512, 1024}, sector);
  }
  // Probes `sector`; returns the record made there, if any.
  const disk::CarvedNode* probe(uint64_t sector) {
    const std::optional<CarvedFind> found = find(sector);
    auto it = info.extraFoundFolder.children.find(sector);
    if (it == info.extraFoundFolder.children.end()) {
      EXPECT_FALSE(found);
      return nullptr;
    }
    EXPECT_TRUE(found && found->size == it->second.size && found->extent <= found->size);
    return &it->second;
  }
};

std::vector<uint8_t> Text(const std::string& s) { return {s.begin(), s.end()}; }

// An MPEG program stream of exactly `size` bytes: pack, system header, video
// packets, end code.
std::vector<uint8_t> Mpeg(uint64_t size) {
  std::vector<uint8_t> b(size, 0xAA);
  const uint8_t pack[] = {0, 0, 1, 0xBA, 0x44};
  std::memcpy(b.data(), pack, sizeof pack);
  size_t p = 14;
  auto packet = [&](uint8_t code, uint16_t length) {
    PutBe(b, p, 0x100u | code);
    PutBe(b, p + 4, length, 2);
    p += 6 + length;
  };
  packet(0xBB, 12);
  while (size - 4 - p > 6 + 60000) packet(0xE0, 60000);
  packet(0xE0, static_cast<uint16_t>(size - 4 - p - 6));
  PutBe(b, p, 0x1B9);
  return b;
}

// An MP4 of ftyp + mdat, `size` bytes.
std::vector<uint8_t> Mp4(uint64_t size) {
  std::vector<uint8_t> b(size, 0x55);
  PutBe(b, 0, 24);
  std::memcpy(b.data() + 4, "ftypisom", 8);
  PutBe(b, 24, static_cast<uint32_t>(size - 24));
  std::memcpy(b.data() + 28, "mdat", 4);
  return b;
}

// An MP3 ending at `end`: an ID3 tag sized so that MPEG-1 layer III frames of
// 417 bytes (128 kbit/s, 44.1 kHz) fill the rest.
std::vector<uint8_t> Mp3(uint64_t end) {
  const uint64_t frames = (end - 10 - 200) / 417;
  const uint64_t tag = end - 10 - frames * 417;
  std::vector<uint8_t> b(end + 16, 0);
  std::memcpy(b.data(), "ID3\x03\x00\x00", 6);
  for (int i = 0; i < 4; ++i) b[6 + i] = static_cast<uint8_t>((tag >> (21 - 7 * i)) & 0x7F);
  for (uint64_t f = 0; f < frames; ++f) {
    uint8_t* h = b.data() + 10 + tag + f * 417;
    h[0] = 0xFF;
    h[1] = 0xFB;  // MPEG-1, layer III, no CRC
    h[2] = 0x90;  // 128 kbit/s, 44.1 kHz, no padding
  }
  return b;
}

// Every `from` in `b` overwritten with `to` (of the same length).
void Replace(std::vector<uint8_t>& b, const std::string& from, const std::string& to) {
  auto at = std::search(b.begin(), b.end(), from.begin(), from.end());
  ASSERT_NE(at, b.end()) << from;
  for (; at != b.end(); at = std::search(at, b.end(), from.begin(), from.end()))
    at = std::copy(to.begin(), to.end(), at);
}

// A sample from the carving fixture, changed by `patch`.
using Patch = std::function<void(std::vector<uint8_t>&)>;
std::vector<uint8_t> Sample(uint64_t sector, size_t size, const Patch& patch = {}) {
  static const auto disk = test::LoadImage(test::FixturesDir() / "carve/carve-disk.img.gz");
  if (!disk) return {};
  std::vector<uint8_t> b(disk->begin() + static_cast<long>(sector * 512),
                         disk->begin() + static_cast<long>(sector * 512 + size));
  if (patch) patch(b);
  return b;
}
// A Word package, and a workbook titled "Report" by "Microsoft Excel" (stream
// "Book", one allocation-table sector).
std::vector<uint8_t> Docx(const Patch& patch) { return Sample(4608, 1971, patch); }
std::vector<uint8_t> ReportXls(const Patch& patch = {}) { return Sample(81919, 11776, patch); }

// A baseline JPEG: SOI, APP0 JFIF, DQT, SOF0, DHT, SOS, scan data, EOI.
std::vector<uint8_t> Jpeg(size_t scanBytes) {
  std::vector<uint8_t> b = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0};
  auto segment = [&](uint8_t code, uint16_t length) {
    b.insert(b.end(), {0xFF, code, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)});
    b.insert(b.end(), length - 2, 0x11);
  };
  segment(0xDB, 67);
  segment(0xC0, 17);
  segment(0xC4, 31);
  segment(0xDA, 12);
  for (size_t i = 0; i < scanBytes; ++i) b.push_back(static_cast<uint8_t>(0x20 + i % 200));
  b.insert(b.end(), {0xFF, 0xD9});
  return b;
}

std::vector<uint8_t> Avi(uint32_t riff) {
  auto avi = Text("RIFF....AVI LIST");
  test::Put32(avi, 4, riff);
  return avi;
}

std::vector<uint8_t> Pdf(bool withEnd) {
  auto pdf = Text("%PDF-1.4\n%EOF in the first sector does not count\n");
  pdf.resize(3000, ' ');
  if (withEnd) std::memcpy(pdf.data() + 2000, "%%EOF\n", 6);
  std::memcpy(pdf.data() + 2600, "%%EOF\n", 6);  // a later update section (or, alone, in no sector searched)
  return pdf;
}

std::vector<uint8_t> Join(std::vector<uint8_t> first, size_t at, const std::vector<uint8_t>& second) {
  first.resize(std::max(first.size(), at + second.size()), 0);
  std::copy(second.begin(), second.end(), first.begin() + static_cast<long>(at));
  return first;
}

// What the carving fixture's real samples show (every format measured and
// named, OLE2 titles, ZIP packages named by their parts, progressive JPEGs
// and short streams refused) is checked with the CLI over that disk; here the
// limits, the damaged files and the names it does not hold.
struct CarveCase {
  const char* what;
  std::vector<uint8_t> file;
  const char* name;   // the record's name at sector 8; null: nothing carved
  uint64_t size = 0;  // 0: the file's own length
};

TEST(Carving, EachFormatMeasuredAndNamedAtItsLimits) {
  auto jpegWithInnerEnd = Jpeg(3000);
  jpegWithInnerEnd.insert(jpegWithInnerEnd.end() - 2, {0xFF, 0xD9, 0x44, 0x44, 0x44, 0x44, 0x44, 0x44, 0x44, 0x44});
  const CarveCase cases[] = {
      // PDF: up to and with the first "%EOF" past the first sector, within 10 MiB.
      {"pdf", Pdf(true), "8.pdf", 2001 + 4},
      {"pdf without an end in reach", Text("%PDF-1.7 no end"), nullptr},
      {"pdf header's further test", Text("%PDF-1x"), nullptr},
      // Streams of exactly 1 MiB are not recorded, one byte more is.
      {"mpeg of 1 MiB", Mpeg(kMiB), nullptr},
      {"mpeg", Mpeg(kMiB + 1), "8.mpeg"},
      {"mp4 of 1 MiB", Mp4(kMiB), nullptr},
      {"mp4", Mp4(kMiB + 1), "8.mp4"},
      {"mp3 of 1 MiB", Mp3(kMiB), nullptr},
      {"mp3", Mp3(kMiB + 1), "8.mp3", kMiB + 1},
      // AVI: the RIFF size plus its header, between 1 MiB and 20 MiB.
      {"avi too small", Avi(0x100000), nullptr},
      {"avi", Avi(0x100001), "8.avi", 0x100001 + 12},
      {"avi largest", Avi(0x13FFFFF), "8.avi", 0x13FFFFF + 12},
      {"avi too large", Avi(0x1400000), nullptr},
      {"office without an office folder: bare digits", Docx([](auto& b) { Replace(b, "word/", "wxrd/"); }), "8"},
      {"zip with no PK where a record is due", Docx([](auto& b) { Replace(b, "PK\x01\x02", "PX\x01\x02"); }), nullptr},
      // OLE2: sized by its whole allocation table (three sectors here).
      {"ole2 of three table sectors", ReportXls([](auto& b) { b[0x2C] = 3; }), "Report.xls", 3 * 512 * 128},
      {"ole2 of no known application", ReportXls([](auto& b) { Replace(b, "Microsoft Excel", "LibreOffice Cal"); }),
       nullptr},
      // JPEG: ends at an end marker followed by zeros, two bytes beyond. A small
      // picture ends in the sector of its start of scan, whatever end marker
      // follows; an end marker followed by data is not the end.
      {"small jpeg", Join(Jpeg(100), 1024 + 40, {0xFF, 0xD9}), "8.jpg", Jpeg(100).size() + 2},
      {"jpeg with an inner end marker", jpegWithInnerEnd, "8.jpg", jpegWithInnerEnd.size() + 2},
  };
  for (const CarveCase& c : cases) {
    SCOPED_TRACE(c.what);
    Disk d(c.file.size() / kMiB + 2);
    d.put(8, c.file);
    const auto* got = d.probe(8);
    ASSERT_EQ(got != nullptr, c.name != nullptr);
    if (!got) continue;
    EXPECT_EQ(got->name, c.name);
    EXPECT_EQ(got->size, c.size != 0 ? c.size : c.file.size());
  }
}

TEST(Carving, RecordsStayPerSectorAndNamesMayRepeat) {
  Disk d(12);
  d.put(20, ReportXls());  // 23 sectors each
  d.put(60, ReportXls());
  ASSERT_NE(d.probe(20), nullptr);
  ASSERT_NE(d.probe(60), nullptr);
  EXPECT_EQ(d.info.extraFoundFolder.children.at(60).name, "Report.xls");  // two documents, one name, both kept
  d.put(100, Jpeg(100));
  ASSERT_NE(d.probe(100), nullptr);
  const uint32_t first = d.probe(100)->size;
  d.put(100, Jpeg(4000));
  const auto again = d.find(100);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->size, Jpeg(4000).size() + 2);                    // measured again...
  EXPECT_EQ(d.info.extraFoundFolder.children.at(100).size, first);  // ...but the first record stays
}

// A picture whose scan data breaks off ends where it does and is kept as not
// intact; the sweep goes on from there. So an MP3 right behind it is carved
// from its own start, though an end marker followed by zeros lies inside it.
TEST(Carving, PictureWithoutItsEndStopsWhereItBreaksOff) {
  const std::vector<uint8_t> whole = Jpeg(3000);
  const std::vector<uint8_t> cut(whole.begin(), whole.end() - 1000);  // the headers and part of the scan data
  auto mp3 = Mp3(kMiB + 1);
  mp3[300005] = 0xFF, mp3[300006] = 0xD9;  // inside a frame's zeros
  ASSERT_EQ(mp3[300004], 0);
  const uint64_t cutSectors = (cut.size() + 511) / 512;
  auto junk = cut;
  junk.insert(junk.end(), {0xFF, 0x12, 0x34});
  struct Case {
    const char* what;
    std::vector<uint8_t> jpeg;
    std::vector<uint8_t> behind;  // at the sector after the picture's last one
    uint32_t size;
    bool intact;
  };
  const Case cases[] = {
      {"an MP3 behind", cut, mp3, static_cast<uint32_t>(cutSectors * 512), false},
      {"an MP3 behind a sector of zeros", cut, Join(std::vector<uint8_t>(512, 0), 512, mp3),
       static_cast<uint32_t>(cutSectors * 512), false},
      {"junk", junk, mp3, static_cast<uint32_t>(cut.size()), false},
      {"a whole picture", whole, mp3, static_cast<uint32_t>(whole.size() + 2), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Disk d(4);
    d.put(16, c.jpeg);
    const uint64_t behind = 16 + (c.jpeg.size() + 511) / 512;
    d.put(behind, c.behind);
    const uint64_t mp3At = c.behind.size() > mp3.size() ? behind + 1 : behind;
    auto source = platform::MemorySource::borrow(d.bytes);
    d.info.sizeBytes = static_cast<int64_t>(d.bytes.size());
    platform::ProgressBlock progress;
    ASSERT_EQ(RawDiskScan(source.get(), d.info, progress, 0, d.bytes.size() / 512), 1);
    const auto& carved = d.info.extraFoundFolder.children;
    ASSERT_EQ(carved.count(16), 1u);
    EXPECT_EQ(carved.at(16).size, c.size);
    EXPECT_EQ(carved.at(16).intact, c.intact);
    ASSERT_EQ(carved.count(mp3At), 1u);
    EXPECT_EQ(carved.at(mp3At).name, std::to_string(mp3At) + ".mp3");
    EXPECT_TRUE(carved.at(mp3At).intact);
    EXPECT_EQ(carved.size(), 2u);
  }
}

}  // namespace
}  // namespace orvaldi::raw
