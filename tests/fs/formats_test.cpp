// The file-format registry: each format on a minimal file of its own and on a
// cut or self-referring one, and which format takes a sector several claim.
#include "fs/formats/registry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/test_images.h"

namespace orvaldi::fs::formats {
namespace {

constexpr uint64_t kMiB = 1 << 20;

void PutBe32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (size_t i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
std::vector<uint8_t> Bytes(std::string_view s, size_t size = 0) {
  std::vector<uint8_t> b(s.begin(), s.end());
  if (b.size() < size) b.resize(size, 0);
  return b;
}

// The file's first two sectors are held; the rest is read "from the disk",
// zeros past the file's end.
class FileBytes final : public FileReader {
 public:
  explicit FileBytes(const std::vector<uint8_t>& file) : FileReader(std::span(file).first(1024)), file_(file) {}

 private:
  void readOnDisk(uint64_t offset, uint64_t count, uint8_t* out) override {
    std::memset(out, 0, count * 512);
    if (offset * 512 < file_.size())
      std::memcpy(out, file_.data() + offset * 512, std::min(count * 512, file_.size() - offset * 512));
  }
  const std::vector<uint8_t>& file_;
};

std::optional<Measured> MeasureAt8(const FileFormat& format, std::vector<uint8_t> file) {
  file.resize(std::max<size_t>(file.size(), 1024), 0);
  FileBytes reader(file);
  ReadWindow window(reader, std::span(file).first(1024));
  return format.measure({std::span(file).first(1024), 8, reader, window});
}

std::vector<uint8_t> Mpeg(uint64_t size) {
  std::vector<uint8_t> b(size, 0xAA);
  std::memcpy(b.data(), "\x00\x00\x01\xBA\x44", 5);
  size_t p = 14;
  auto packet = [&](uint8_t code, uint16_t length) {
    PutBe32(b, p, 0x100u | code);
    b[p + 4] = static_cast<uint8_t>(length >> 8), b[p + 5] = static_cast<uint8_t>(length);
    p += 6 + length;
  };
  packet(0xBB, 12);
  while (size - 4 - p > 6 + 60000) packet(0xE0, 60000);
  packet(0xE0, static_cast<uint16_t>(size - 4 - p - 6));
  PutBe32(b, p, 0x1B9);
  return b;
}

std::vector<uint8_t> Mp4(uint32_t mdat) {
  std::vector<uint8_t> b = Bytes("....ftypisom", 24 + 8);
  PutBe32(b, 0, 24);
  PutBe32(b, 24, mdat);
  std::memcpy(b.data() + 28, "mdat", 4);
  return b;
}

// ID3v2 tag, then MPEG-1 layer III frames of 417 bytes.
std::vector<uint8_t> Mp3(size_t frames) {
  std::vector<uint8_t> b = Bytes(std::string_view("ID3\x03\x00\x00\x00\x00\x00\x0A", 10), 20 + frames * 417);
  for (size_t f = 0; f < frames; ++f) std::memcpy(b.data() + 20 + f * 417, "\xFF\xFB\x90", 3);
  return b;
}

// One stored file: local header, central directory entry, end record.
std::vector<uint8_t> Zip(const std::string& name, bool withEnd = true) {
  std::vector<uint8_t> b = Bytes("PK\x03\x04", 30);
  test::Put16(b, 26, static_cast<uint16_t>(name.size()));
  b.insert(b.end(), name.begin(), name.end());
  const size_t central = b.size();
  b.resize(central + 46, 0);
  std::memcpy(b.data() + central, "PK\x01\x02", 4);
  test::Put16(b, central + 28, static_cast<uint16_t>(name.size()));
  b.insert(b.end(), name.begin(), name.end());
  if (withEnd) {
    const size_t end = b.size();
    b.resize(end + 22, 0);
    std::memcpy(b.data() + end, "PK\x05\x06", 4);
  }
  return b;
}

// Marker block, archive header, end-of-archive block.
std::vector<uint8_t> Rar(bool withEnd = true) {
  auto b = Bytes(std::string_view("Rar!\x1A\x07\x00", 7));
  const uint8_t main[] = {0, 0, 0x73, 0, 0, 13, 0, 0, 0, 0, 0, 0, 0};
  b.insert(b.end(), main, main + sizeof main);
  if (withEnd) b.insert(b.end(), {0, 0, 0x7B, 0, 0, 7, 0});
  return b;
}

// A compound document of 512-byte sectors: the allocation table in document
// sector 0, the directory (one "WordDocument" entry) in sector 1.
std::vector<uint8_t> Ole2(uint32_t fatSectors = 1, uint32_t chain = 0xFFFFFFFE) {
  auto b = Bytes("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 4 * 512);
  test::Put16(b, 0x1E, 9);
  test::Put32(b, 0x2C, fatSectors);
  test::Put32(b, 0x30, 1);
  test::Put32(b, 0x44, chain);
  for (uint32_t k = 0; k < 109; ++k) test::Put32(b, 0x4C + 4 * k, k < fatSectors ? 0 : 0xFFFFFFFF);
  for (uint32_t k = 0; k < 128; ++k)
    test::Put32(b, 512 + 4 * k, k == 0 ? 0xFFFFFFFD : k == 1 ? 0xFFFFFFFE : 0xFFFFFFFF);
  if (chain != 0xFFFFFFFE) test::Put32(b, (chain + 1) * 512 + 508, chain);
  const std::u16string name = u"WordDocument";
  for (size_t i = 0; i < name.size(); ++i) test::Put16(b, 1024 + 2 * i, name[i]);
  return b;
}

// SOI, APP0 JFIF, DQT, SOF0, DHT, SOS, scan data, EOI.
std::vector<uint8_t> Jpeg(size_t scanBytes) {
  std::vector<uint8_t> b = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0};
  for (const auto& [code, length] : {std::pair{0xDB, 67}, {0xC0, 17}, {0xC4, 31}, {0xDA, 12}}) {
    b.insert(b.end(), {0xFF, static_cast<uint8_t>(code), 0, static_cast<uint8_t>(length)});
    b.insert(b.end(), length - 2, 0x11);
  }
  for (size_t i = 0; i < scanBytes; ++i) b.push_back(static_cast<uint8_t>(0x20 + i % 200));
  b.insert(b.end(), {0xFF, 0xD9});
  return b;
}

std::vector<uint8_t> Avi(uint32_t riff) {
  auto b = Bytes("RIFF....AVI LIST", 64);
  test::Put32(b, 4, riff);
  return b;
}

std::vector<uint8_t> Pdf() {
  auto b = Bytes("%PDF-1.4\n%EOF in the header is not the end\n", 1500);
  std::memcpy(b.data() + 1000, "%%EOF\n", 6);
  return b;
}

struct Case {
  const FileFormat& format;
  const char* what;
  std::vector<uint8_t> file;
  uint64_t size;  // 0: nothing measured
  std::string name = {};
  uint64_t extent = 0;
};

// The size limits of each format are checked through the carver; here each
// format on its own minimal file, and the cut or looping files its walk must stop on.
TEST(FileFormats, EachMeasuresItsOwnFileAndStopsOnCutOrLoopingOnes) {
  const auto jpeg = Jpeg(3000);
  const auto mp3 = Mp3(kMiB / 417 + 1);
  const auto docx = Zip("word/document.xml");
  const Case cases[] = {
      {kPdf, "end behind the first sector", Pdf(), 1001 + 4, "8.pdf"},
      {kMpeg, "stream", Mpeg(kMiB + 1), kMiB + 1, "8.mpeg"},
      {kAvi, "riff header", Avi(0x100001), 0x100001 + 12, "8.avi"},
      {kMp4, "ftyp + mdat", Mp4(kMiB), 24 + kMiB, "8.mp4"},
      {kMp4, "box of size 0 (to the end)", Mp4(0), 0},
      {kZip, "plain archive", Zip("a.txt"), Zip("a.txt").size(), "8.zip"},
      {kZip, "no end record", Zip("a.txt", false), 0},
      {kZip, "office part names without [Content_Types].xml first", docx, docx.size(), "8.zip"},
      {kRar, "three blocks", Rar(), 27, "8.rar"},
      {kRar, "no end block", Rar(false), 0},
      {kOle2, "one table sector", Ole2(), 128 * 512, "8.doc", 3 * 512},
      // A table of 400 sectors lists 291 beyond the header's 109 in a chain
      // whose sector names itself as the next: the walk still ends.
      {kOle2, "table chain naming itself", Ole2(400, 2), 400 * 128 * 512, "8.doc", 0},
      {kJpeg, "whole picture", jpeg, jpeg.size() + 2, "8.jpg", jpeg.size()},
      {kMp3, "tag and frames", mp3, mp3.size(), "8.mp3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.format.name) + ": " + c.what);
    // A format's own minimal file is one it claims, and no format before it in the registry does.
    const FileFormat* claimant = Claimant(c.file.data());
    EXPECT_EQ(claimant ? claimant->name : "none", c.format.name);
    EXPECT_TRUE(c.format.signature(disk::ByteView(c.file.data(), c.file.size())));
    const std::optional<Measured> got = MeasureAt8(c.format, c.file);
    ASSERT_EQ(got.has_value(), c.size != 0);
    if (!got) continue;
    EXPECT_EQ(got->size, c.size);
    EXPECT_EQ(got->name, c.name);
    if (c.extent != 0) {
      EXPECT_EQ(got->extent, c.extent);
    }
    EXPECT_LE(got->extent, got->size);
    EXPECT_TRUE(got->intact);
  }
}

// Where two formats' header tests both match, the earlier in the registry
// takes the sector, even when it then finds no file there.
TEST(FileFormats, TheRegistryOrderDecidesWhichFormatTakesASector) {
  auto withFtyp = [](std::string_view lead) {
    auto b = Bytes(lead, 512);
    std::memcpy(b.data() + 4, "ftyp", 4);
    return b;
  };
  auto aviFtyp = withFtyp("RIFF");
  std::memcpy(aviFtyp.data() + 8, "AVI LIST", 8);
  using namespace std::literals;
  const struct {
    std::vector<uint8_t> sector;
    const FileFormat* taker;
  } cases[] = {
      {withFtyp("\x00\x00\x01\xBA"sv), &kMpeg},  {aviFtyp, &kAvi},
      {withFtyp("PK\x03\x04"), &kMp4},           {withFtyp("ID3"), &kMp4},
      {withFtyp("\xFF\xFB\x90"), &kMp4},         {Bytes("\xFF\xD8\xFF\xE0", 512), &kJpeg},
      {Bytes("\xFF\xD8\xFF\x00", 512), nullptr}, {Bytes("", 512), nullptr},
  };
  const auto registry = Registry();
  for (const auto& c : cases) {
    const FileFormat* got = Claimant(c.sector.data());
    EXPECT_EQ(got ? got->name : "none"sv, c.taker ? c.taker->name : "none"sv);
    if (!got) continue;
    // No format earlier in the table claims it.
    for (const FileFormat* f : registry) {
      if (f == got) break;
      EXPECT_FALSE(f->claims(c.sector.data())) << f->name;
    }
  }
  // An MPEG pack start with an MP4 mark behind it is the stream's to refuse.
  auto mp4 = Mp4(kMiB);
  std::memcpy(mp4.data(), "\x00\x00\x01\xBA", 4);
  ASSERT_EQ(Claimant(mp4.data()), &kMpeg);
  EXPECT_FALSE(MeasureAt8(kMpeg, mp4).has_value());
}

}  // namespace
}  // namespace orvaldi::fs::formats
