// Free-space extraction against The Sleuth Kit's list of unallocated units.
#include "raw/free_space.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "support/test_images.h"

namespace orvaldi::raw {
namespace {

using test::MemoryTarget;

// `blkls -l`: the unallocated units (clusters on NTFS, sectors on FAT).
struct FreeUnits {
  bool clusters = false;
  std::vector<uint64_t> addresses;
};
FreeUnits ListFree(const std::string& image) {
  FreeUnits units;
  std::istringstream in(test::RunCommand("blkls -l " + test::ShellQuote(image)).out);
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("blkls|")) units.clusters = line.ends_with("|Cluster");
    if (const size_t bar = line.find("|f"); bar != std::string::npos && bar > 0 && std::isdigit(line[0]))
      units.addresses.push_back(std::stoull(line.substr(0, bar)));
  }
  return units;
}

// The two outputs the units describe: one after the other, or each at its
// own offset with zeros between.
std::vector<uint8_t> Expected(const std::vector<uint8_t>& volume, const std::vector<uint64_t>& units, uint64_t unit,
                              FreeSpaceLayout layout) {
  std::vector<uint8_t> out;
  for (const uint64_t a : units) {
    const auto from = volume.begin() + static_cast<ptrdiff_t>(a * unit);
    if (layout == FreeSpaceLayout::kCompact) {
      out.insert(out.end(), from, from + static_cast<ptrdiff_t>(unit));
    } else {
      out.resize(std::max<uint64_t>(out.size(), (a + 1) * unit));
      std::copy(from, from + static_cast<ptrdiff_t>(unit), out.begin() + static_cast<ptrdiff_t>(a * unit));
    }
  }
  return out;
}

FreeSpaceResult Extract(const std::vector<uint8_t>& volume, FreeSpaceLayout layout, MemoryTarget& out) {
  platform::MemorySource source(volume);
  platform::ProgressBlock progress;
  return ExtractFreeSpace(source, 0, volume.size() / 512, out, layout, progress);
}

// Each fixture, and the same with one edit: the outputs hold exactly the
// units the map marks free, byte for byte.
TEST(FreeSpace, OutputsHoldExactlyTheFreeUnits) {
  enum class Edit { kNone, kFatFull, kBitmapFE };
  struct Case {
    const char* image;
    Edit edit;
    disk::FsFamily fs;
  };
  const Case cases[] = {
      {"fat/fat32-tree.img.gz", Edit::kNone, disk::FsFamily::kFat32},
      {"fat/fat16-512.img.gz", Edit::kNone, disk::FsFamily::kFat16},
      {"ntfs/ntfs-tree.img.gz", Edit::kNone, disk::FsFamily::kNtfs},
      // Every zero entry of both FATs marked bad: nothing is free.
      {"fat/fat32-tree.img.gz", Edit::kFatFull, disk::FsFamily::kFat32},
      // A bitmap byte of eight free clusters set to 0xFE: only its first stays free.
      {"ntfs/ntfs-tree.img.gz", Edit::kBitmapFE, disk::FsFamily::kNtfs},
  };
  test::TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.image);
    auto bytes = test::LoadImage(test::FixturesDir() / c.image);
    ASSERT_TRUE(bytes);
    const std::string path = dir.write("volume.img", *bytes).string();
    FreeUnits units = ListFree(path);
    ASSERT_FALSE(units.addresses.empty());
    if (c.edit == Edit::kFatFull) {
      const uint64_t reserved = (*bytes)[0x0E] | (*bytes)[0x0F] << 8, fats = (*bytes)[0x10];
      uint32_t fatSize = 0;
      std::memcpy(&fatSize, bytes->data() + 0x24, 4);
      for (uint64_t at = reserved * 512 + 8; at < (reserved + fats * fatSize) * 512; at += 4)
        if (std::memcmp(bytes->data() + at, "\0\0\0\0", 4) == 0) test::Put32(*bytes, at, 0x0FFFFFF7);
      units.addresses.clear();
    }
    MemoryTarget probe;
    const FreeSpaceResult first = Extract(*bytes, FreeSpaceLayout::kCompact, probe);
    const uint64_t unit = units.clusters ? first.clusterBytes : 512;
    if (c.edit == Edit::kBitmapFE) {
      const std::string istat = test::RunCommand("istat " + test::ShellQuote(path) + " 6").out;
      const uint64_t bitmapCluster = std::stoull(istat.substr(istat.find('\n', istat.find("$DATA")) + 1));
      uint8_t* bitmap = bytes->data() + bitmapCluster * unit;
      size_t k = 1;
      while (bitmap[k] != 0) ++k;
      bitmap[k] = 0xFE;
      std::erase_if(units.addresses, [&](uint64_t a) { return a / 8 == k && a % 8 != 0; });
    }
    for (const FreeSpaceLayout layout : {FreeSpaceLayout::kCompact, FreeSpaceLayout::kLayout}) {
      MemoryTarget out;
      const FreeSpaceResult r = Extract(*bytes, layout, out);
      ASSERT_EQ(r.status, platform::Status::kOk) << r.message;
      EXPECT_EQ(r.family, c.fs);
      EXPECT_EQ(r.freeClusters * r.clusterBytes, units.addresses.size() * unit);
      EXPECT_TRUE(out.data == Expected(*bytes, units.addresses, unit, layout));
    }
  }
}

// A Windows 10 volume on a disk that was filled with "PTRN" before it was
// formatted: the free space is that text throughout, as long as blkls's.
TEST(FreeSpace, WindowsVolumeFreeSpaceIsTheFillPattern) {
  const auto path = test::CorpusDir() / "ntfs/ns-ntfs-ptrn-lastaccess-disk.img.gz";
  if (!std::filesystem::exists(path)) GTEST_SKIP() << "corpus not present";
  auto bytes = test::LoadImage(path);
  ASSERT_TRUE(bytes);
  test::TempDir dir;
  const std::string image = dir.write("disk.img", *bytes).string();
  const auto blkls = test::RunCommand("blkls -o 128 " + test::ShellQuote(image) + " | wc -c");
  platform::MemorySource source(std::move(*bytes));
  MemoryTarget out;
  platform::ProgressBlock progress;
  const FreeSpaceResult r = ExtractFreeSpace(source, 128, 518144, out, FreeSpaceLayout::kCompact, progress);
  ASSERT_EQ(r.status, platform::Status::kOk) << r.message;
  EXPECT_EQ(std::to_string(out.data.size()) + "\n", blkls.out);
  EXPECT_EQ(r.freeClusters, 62048u);
  bool pattern = out.data.size() % 4 == 0;
  for (size_t i = 0; pattern && i < out.data.size(); i += 4) pattern = std::memcmp(&out.data[i], "PTRN", 4) == 0;
  EXPECT_TRUE(pattern);
  EXPECT_EQ(progress.text(), "提取完成！");
}

}  // namespace
}  // namespace orvaldi::raw
