// Header confirmation and the first-cluster search for deleted FAT files of known types.
#include "raw/start_cluster_search.h"

#include <gtest/gtest.h>

#include <cstring>

#include "platform/sector_source.h"
#include "support/test_images.h"

namespace orvaldi::raw {
namespace {

std::vector<uint8_t> Head(std::initializer_list<uint8_t> bytes, size_t size = 512) {
  std::vector<uint8_t> b(size, 0);
  std::copy(bytes.begin(), bytes.end(), b.begin());
  return b;
}

std::vector<uint8_t> Jfif() {
  auto b = Head({0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10});
  test::PutText(b, 6, "JFIF");
  return b;
}

std::vector<uint8_t> Zip(const std::string& firstName) {
  auto b = Head({'P', 'K', 3, 4});
  test::Put16(b, 26, static_cast<uint16_t>(firstName.size()));
  test::PutText(b, 30, firstName);
  return b;
}

TEST(StartClusterHeaders, EachKnownTypeIsConfirmedByItsOwnHeaderOnly) {
  EXPECT_TRUE(ConfirmHeader("jpg", Jfif(), 1000));
  auto exif = Jfif();
  test::PutText(exif, 6, "Exif");
  EXPECT_TRUE(ConfirmHeader("jpeg", exif, 1000));
  auto bare = Jfif();
  test::PutText(bare, 6, "XXXX");
  EXPECT_FALSE(ConfirmHeader("jpg", bare, 1000));
  EXPECT_FALSE(ConfirmHeader("pdf", Jfif(), 1000));

  // OLE2: the FAT-sector count bounds the size, 64 KiB a FAT sector.
  auto ole = Head({0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1});
  test::Put32(ole, 0x2C, 2);
  EXPECT_FALSE(ConfirmHeader("doc", ole, 65536));
  EXPECT_TRUE(ConfirmHeader("doc", ole, 65537));
  EXPECT_TRUE(ConfirmHeader("xls", ole, 131072));
  EXPECT_FALSE(ConfirmHeader("ppt", ole, 131073));

  auto pdf = Head({});
  test::PutText(pdf, 0, "%PDF-1.4");
  EXPECT_TRUE(ConfirmHeader("pdf", pdf, 10));
  test::PutText(pdf, 0, "%PDF-2.0");
  EXPECT_FALSE(ConfirmHeader("pdf", pdf, 10));

  auto mpeg = Head({0, 0, 1, 0xBA, 0x44});
  EXPECT_FALSE(ConfirmHeader("mpeg", mpeg, 10));
  std::memcpy(mpeg.data() + 14, "\x00\x00\x01\xBB", 4);
  EXPECT_TRUE(ConfirmHeader("mpeg", mpeg, 10));
  mpeg[4] = 0x21;
  EXPECT_FALSE(ConfirmHeader("mpeg", mpeg, 10));  // a 12-byte pack header puts the system header at 12
  std::memcpy(mpeg.data() + 12, "\x00\x00\x01\xBB", 4);
  EXPECT_TRUE(ConfirmHeader("mpeg", mpeg, 10));

  auto avi = Head({});
  test::PutText(avi, 0, "RIFF");
  test::Put32(avi, 4, 100000 - 12);
  test::PutText(avi, 8, "AVI LIST");
  EXPECT_TRUE(ConfirmHeader("avi", avi, 100000 + 511));
  EXPECT_FALSE(ConfirmHeader("avi", avi, 100000 + 512));
  EXPECT_TRUE(ConfirmHeader("avi", avi, 100000 - 511));

  auto mp4 = Head({0, 0, 0, 0x18});
  test::PutText(mp4, 4, "ftypisom");
  EXPECT_TRUE(ConfirmHeader("mp4", mp4, 10));

  EXPECT_TRUE(ConfirmHeader("zip", Zip("a.txt"), 10));
  EXPECT_FALSE(ConfirmHeader("docx", Zip("a.txt"), 10));
  EXPECT_TRUE(ConfirmHeader("docx", Zip("[Content_Types].xml"), 10));
  EXPECT_TRUE(ConfirmHeader("xlsx", Zip("[Content_Types].xml"), 10));
  EXPECT_FALSE(ConfirmHeader("zip", Zip("[Content_Types].xml"), 10));
  // A name length that points past the bytes read confirms nothing.
  auto cut = Zip("[Content_Types].xml");
  cut.resize(40);
  EXPECT_FALSE(ConfirmHeader("docx", cut, 10));

  auto rar = Head({'R', 'a', 'r', '!', 0x1A, 0x07, 0x00});
  EXPECT_TRUE(ConfirmHeader("rar", rar, 10));
  EXPECT_FALSE(ConfirmHeader("txt", rar, 10));
}

TEST(StartClusterHeaders, KnownListsAndExtensions) {
  EXPECT_EQ(ExtensionOf("Photo.JPG"), "jpg");
  EXPECT_EQ(ExtensionOf("a.tar.gz"), "gz");
  EXPECT_EQ(ExtensionOf("README"), "");
  for (const char* e : {"jpg", "jpeg", "doc", "ppt", "xls"}) {
    EXPECT_TRUE(IsKnownExtension(e, KnownList::kShort)) << e;
    EXPECT_TRUE(IsKnownExtension(e, KnownList::kFull)) << e;
  }
  for (const char* e : {"pdf", "mpeg", "avi", "mp4", "zip", "docx", "pptx", "xlsx", "rar"}) {
    EXPECT_FALSE(IsKnownExtension(e, KnownList::kShort)) << e;
    EXPECT_TRUE(IsKnownExtension(e, KnownList::kFull)) << e;
  }
  EXPECT_FALSE(IsKnownExtension("txt", KnownList::kFull));
}

// A FAT32 partition of 512-byte clusters whose FAT (512 sectors) spans two
// 64 Ki-cluster groups, so a low word w has the candidates w and 65536 + w.
struct TwoGroupVolume {
  static constexpr uint64_t kClusterZero = 100;
  std::vector<uint8_t> bytes = std::vector<uint8_t>((kClusterZero + 65536 + 200) * 512, 0);
  disk::PartitionInfo part;
  TwoGroupVolume() {
    part.typeByte = 0x0C;
    part.sectorsPerCluster = 1;
    part.clusterZeroSector = kClusterZero;
    part.fatSizeSectors = 512;
    part.sectorCount = bytes.size() / 512;
  }
  void put(uint32_t cluster, const std::vector<uint8_t>& head) {
    std::copy(head.begin(), head.end(), bytes.begin() + static_cast<long>((kClusterZero + cluster) * 512));
  }
};

TEST(StartClusterSearch, EveryConfirmedCandidateIsFoundOnceAndUsedOnesAreSkipped) {
  TwoGroupVolume v;
  v.put(65536 + 40, Jfif());  // where the deleted photo really starts
  v.put(50, Jfif());          // another photo elsewhere
  platform::MemorySource source(v.bytes);
  UsedClusterSet used;
  EXPECT_EQ(StartClusterSearch(&source, v.part, "jpg", 40, 5000, used), (std::vector<uint32_t>{65536 + 40}));
  EXPECT_TRUE(used.contains(65536 + 40));
  // The same search again finds nothing new: the cluster is taken.
  EXPECT_TRUE(StartClusterSearch(&source, v.part, "jpg", 40, 5000, used).empty());

  // Two confirmed candidates: both are returned, in order.
  v.put(65536 + 50, Jfif());
  platform::MemorySource again(v.bytes);
  UsedClusterSet fresh;
  EXPECT_EQ(StartClusterSearch(&again, v.part, "jpg", 50, 5000, fresh), (std::vector<uint32_t>{50, 65536 + 50}));
  // An existing photo at cluster 50 keeps the deleted one from being matched there.
  UsedClusterSet withExisting;
  withExisting.add(50);
  EXPECT_EQ(StartClusterSearch(&again, v.part, "jpg", 50, 5000, withExisting), (std::vector<uint32_t>{65536 + 50}));

  // FAT16 types search the low group only when the FAT is small.
  v.part.typeByte = 0x06;
  v.part.fatSizeSectors = 200;
  platform::MemorySource fat16(v.bytes);
  UsedClusterSet none;
  EXPECT_TRUE(StartClusterSearch(&fat16, v.part, "jpg", 40, 5000, none).empty());
  // Other partition types have no FAT to size the search: only h = 0.
  v.part.typeByte = 0x07;
  EXPECT_EQ(StartClusterSearch(&fat16, v.part, "jpg", 50, 5000, none), (std::vector<uint32_t>{50}));
}

}  // namespace
}  // namespace orvaldi::raw
