// Header confirmation and the first-cluster search for deleted FAT files of known types.
#include "raw/start_cluster_search.h"

#include <gtest/gtest.h>

#include "platform/sector_source.h"
#include "support/test_images.h"

namespace orvaldi::raw {
namespace {

// A 512-byte head: `text` at 0 (binary allowed), then fields patched in.
std::vector<uint8_t> Head(std::string_view text, std::initializer_list<std::pair<size_t, std::string>> at = {},
                          std::initializer_list<std::pair<size_t, uint32_t>> le32 = {}) {
  std::vector<uint8_t> b(512, 0);
  std::copy(text.begin(), text.end(), b.begin());
  for (const auto& [off, s] : at) test::PutText(b, off, s);
  for (const auto& [off, v] : le32) test::Put32(b, off, v);
  return b;
}
std::vector<uint8_t> Jfif() { return Head("\xFF\xD8\xFF\xE0", {{6, "JFIF"}}); }
std::vector<uint8_t> Zip(const std::string& firstName) {
  auto b = Head("PK\x03\x04", {{30, firstName}});
  test::Put16(b, 26, static_cast<uint16_t>(firstName.size()));
  return b;
}

TEST(StartClusterHeaders, EachKnownTypeIsConfirmedByItsOwnHeaderOnly) {
  using namespace std::literals;
  const auto ole = Head("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1"sv, {}, {{0x2C, 2}});  // 2 FAT sectors of 64 KiB
  const auto mpeg2 = Head("\x00\x00\x01\xBA\x44"sv, {{14, "\x00\x00\x01\xBB"s}});
  const auto mpeg1 = Head("\x00\x00\x01\xBA\x21"sv, {{12, "\x00\x00\x01\xBB"s}});
  const auto avi = Head("RIFF", {{8, "AVI LIST"}}, {{4, 100000 - 12}});
  auto cut = Zip("[Content_Types].xml");
  cut.resize(40);  // a name length that points past the bytes read confirms nothing
  const struct {
    const char* ext;
    std::vector<uint8_t> head;
    uint64_t size;
    bool confirmed;
  } cases[] = {
      {"jpg", Jfif(), 1000, true},
      {"jpeg", Head("\xFF\xD8\xFF\xE1", {{6, "Exif"}}), 1000, true},
      {"jpg", Head("\xFF\xD8\xFF\xE0", {{6, "XXXX"}}), 1000, false},
      {"pdf", Jfif(), 1000, false},
      {"doc", ole, 65536, false},
      {"xls", ole, 131072, true},
      {"ppt", ole, 131073, false},
      {"pdf", Head("%PDF-1.4"), 10, true},
      {"pdf", Head("%PDF-2.0"), 10, false},
      {"mpeg", Head("\x00\x00\x01\xBA\x44"sv), 10, false},
      {"mpeg", mpeg2, 10, true},
      {"mpeg", Head("\x00\x00\x01\xBA\x21"sv, {{14, "\x00\x00\x01\xBB"s}}), 10, false},  // a 12-byte pack header
      {"mpeg", mpeg1, 10, true},
      {"avi", avi, 100000 + 511, true},
      {"avi", avi, 100000 + 512, false},
      {"avi", avi, 100000 - 511, true},
      {"mp4", Head("\x00\x00\x00\x18"sv, {{4, "ftypisom"}}), 10, true},
      {"zip", Zip("a.txt"), 10, true},
      {"docx", Zip("a.txt"), 10, false},
      {"docx", Zip("[Content_Types].xml"), 10, true},
      {"xlsx", Zip("[Content_Types].xml"), 10, true},
      {"zip", Zip("[Content_Types].xml"), 10, false},
      {"docx", cut, 10, false},
      {"rar", Head("Rar!\x1A\x07\x00"sv), 10, true},
      {"txt", Head("Rar!\x1A\x07\x00"sv), 10, false},
  };
  for (const auto& c : cases) EXPECT_EQ(ConfirmHeader(c.ext, c.head, c.size), c.confirmed) << c.ext << " " << c.size;
}

// The lists themselves are constants; what is checked is the lookup's folding.
TEST(StartClusterHeaders, ExtensionsFoldToTheLastLowerCasePart) {
  EXPECT_EQ(ExtensionOf("a.tar.GZ"), "gz");
  EXPECT_EQ(ExtensionOf("README"), "");
  EXPECT_TRUE(IsKnownExtension(ExtensionOf("Photo.JPG"), KnownList::kShort));
  EXPECT_FALSE(IsKnownExtension("pdf", KnownList::kShort));
  EXPECT_TRUE(IsKnownExtension("pdf", KnownList::kFull));
}

// A FAT32 partition of 512-byte clusters whose FAT (512 sectors) spans two
// 64 Ki-cluster groups, so a low word w has the candidates w and 65536 + w.
TEST(StartClusterSearch, EveryConfirmedCandidateIsFoundOnceAndUsedOnesAreSkipped) {
  constexpr uint64_t kClusterZero = 100;
  std::vector<uint8_t> bytes((kClusterZero + 65536 + 200) * 512, 0);
  disk::PartitionInfo part;
  part.typeByte = 0x0C;
  part.sectorsPerCluster = 1;
  part.clusterZeroSector = kClusterZero;
  part.fatSizeSectors = 512;
  part.sectorCount = bytes.size() / 512;
  for (uint32_t c : {65536 + 40, 50, 65536 + 50}) std::ranges::copy(Jfif(), bytes.begin() + (kClusterZero + c) * 512);
  platform::MemorySource source(bytes);
  auto search = [&](uint32_t low, UsedClusterSet& used) {
    return StartClusterSearch(&source, part, "jpg", low, 5000, used);
  };
  UsedClusterSet used;
  EXPECT_EQ(search(40, used), (std::vector<uint32_t>{65536 + 40}));
  EXPECT_TRUE(used.contains(65536 + 40));
  EXPECT_TRUE(search(40, used).empty());  // the same search again: the cluster is taken
  UsedClusterSet fresh;
  EXPECT_EQ(search(50, fresh), (std::vector<uint32_t>{50, 65536 + 50}));  // both, in order
  UsedClusterSet withExisting;
  withExisting.add(50);  // an existing photo at cluster 50 keeps the deleted one from being matched there
  EXPECT_EQ(search(50, withExisting), (std::vector<uint32_t>{65536 + 50}));
  // FAT16 types search the low group only when the FAT is small.
  part.typeByte = 0x06;
  part.fatSizeSectors = 200;
  UsedClusterSet none;
  EXPECT_TRUE(search(40, none).empty());
  // Other partition types have no FAT to size the search: only h = 0.
  part.typeByte = 0x07;
  EXPECT_EQ(search(50, none), (std::vector<uint32_t>{50}));
}

}  // namespace
}  // namespace orvaldi::raw
