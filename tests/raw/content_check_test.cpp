// Content checks on the carving fixture's real samples, whole and cut short,
// and on pictures made by real encoders.
#include "raw/content_check.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "support/test_images.h"

namespace orvaldi::raw {
namespace {

std::vector<uint8_t> Sample(uint64_t sector, size_t size) {
  static const auto disk = test::LoadImage(test::FixturesDir() / "carve/carve-disk.img.gz");
  if (!disk) return {};
  return {disk->begin() + static_cast<long>(sector * 512), disk->begin() + static_cast<long>(sector * 512 + size)};
}

std::vector<uint8_t> FileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Case {
  std::string id;
  std::vector<uint8_t> bytes;
  std::string name;
  std::string format;
};

// Every sample of the fixture (and the pictures) as written by its tool,
// and the same cut short, which every check must turn down.
std::vector<Case> Cases() {
  std::vector<Case> cases;
  for (const test::ManifestRow& row : test::ReadManifest(test::FixturesDir() / "carve/carve-disk.files.tsv")) {
    const std::string note = row.at("note");
    std::string format = row.at("type");
    if (format == "docx" || format == "xlsx" || format == "pptx") format = "zip";
    cases.push_back({note.substr(0, note.find(':')),
                     Sample(std::stoull(row.at("start_sector")), std::stoull(row.at("size"))), "", format});
  }
  for (const std::string picture :
       {"sample.png", "sample.gif", "sample.bmp", "sample-pal8.png", "sample-pal8.bmp", "stored.zip"})
    cases.push_back({picture, FileBytes(test::FixturesDir() / "pictures" / picture), picture,
                     picture.substr(picture.rfind('.') + 1)});
  return cases;
}

TEST(ContentCheck, EveryFormatsSamplesPassWholeAndFailCutShort) {
  const auto cases = Cases();
  ASSERT_EQ(cases.size(), 35u);
  for (const Case& c : cases) {
    ASSERT_FALSE(c.bytes.empty()) << c.id;
    const ContentCheck whole = CheckContent(c.bytes, c.name);
    EXPECT_EQ(whole.format, c.format) << c.id;
    EXPECT_EQ(whole.verdict, ContentVerdict::kOk) << c.id << ": " << whole.problem;
    // Not on a sector boundary: a program stream without its end code, cut
    // between two packs, cannot be told from a whole one.
    const std::span<const uint8_t> cut(c.bytes.data(), c.bytes.size() * 3 / 5 + 3);
    const ContentCheck shortened = CheckContent(cut, c.name);
    EXPECT_EQ(shortened.verdict, ContentVerdict::kBad) << c.id << " cut to " << cut.size();
    EXPECT_FALSE(shortened.problem.empty()) << c.id;
  }
}

// A flipped byte inside checksummed data: a stored ZIP member, a PNG chunk,
// a RAR block header.
TEST(ContentCheck, ChecksumsCatchAFlippedByte) {
  struct Flip {
    std::vector<uint8_t> bytes;
    size_t at;
    const char* what;
  };
  std::vector<uint8_t> rar = Sample(5632, 15615);
  std::vector<uint8_t> png = FileBytes(test::FixturesDir() / "pictures/sample.png");
  // zip -0's archive holds stored members: the central directory
  // gives their method (0), packed size and local header.
  std::vector<uint8_t> zip = FileBytes(test::FixturesDir() / "pictures/stored.zip");
  size_t storedAt = 0;
  for (size_t p = 0; p + 46 < zip.size() && storedAt == 0; ++p) {
    auto le16 = [&](size_t at) { return static_cast<size_t>(zip[at] | zip[at + 1] << 8); };
    if (zip[p] != 'P' || zip[p + 1] != 'K' || zip[p + 2] != 1 || zip[p + 3] != 2) continue;
    if (le16(p + 10) != 0 || (le16(p + 20) | le16(p + 22)) == 0) continue;
    const size_t local = le16(p + 42) | le16(p + 44) << 16;
    storedAt = local + 30 + le16(local + 26) + le16(local + 28);
  }
  ASSERT_NE(storedAt, 0u) << "the fixture's zip holds a stored member";
  for (Flip f :
       {Flip{zip, storedAt, "zip stored member"}, Flip{png, 20, "png IHDR"}, Flip{rar, 7 + 3, "rar main header"}}) {
    ASSERT_GT(f.bytes.size(), f.at) << f.what;
    EXPECT_EQ(CheckContent(f.bytes, "").verdict, ContentVerdict::kOk) << f.what;
    f.bytes[f.at] ^= 0x01;
    const ContentCheck c = CheckContent(f.bytes, "");
    EXPECT_EQ(c.verdict, ContentVerdict::kBad) << f.what;
    EXPECT_NE(c.problem.find("CRC"), std::string::npos) << f.what << ": " << c.problem;
  }
}

TEST(ContentCheck, UnknownBytesAreNotApplicableUnlessTheNameClaimsAFormat) {
  const std::vector<uint8_t> text = {'h', 'e', 'l', 'l', 'o', '\n'};
  EXPECT_EQ(CheckContent(text, "notes.txt").verdict, ContentVerdict::kNotApplicable);
  EXPECT_FALSE(ContentCheckApplies(text, "notes.txt"));
  const ContentCheck claimed = CheckContent(text, "photo.JPG");
  EXPECT_EQ(claimed.verdict, ContentVerdict::kBad);
  EXPECT_EQ(claimed.format, "jpeg");
  EXPECT_TRUE(ContentCheckApplies(text, "photo.JPG"));
  EXPECT_EQ(CheckContent({}, "empty.pdf").verdict, ContentVerdict::kBad);
}

TEST(ContentCheck, Crc32OfTheCheckValue) {
  EXPECT_EQ(Crc32(std::span(reinterpret_cast<const uint8_t*>("123456789"), 9)), 0xCBF43926u);
}

}  // namespace
}  // namespace orvaldi::raw
