// The FAT geometry against The Sleuth Kit's fsstat on the fixtures, and
// boot sectors whose numbers do not hold together.
#include "disk/fat_geometry.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include "disk/recognisers.h"
#include "support/test_images.h"

namespace orvaldi::disk {
namespace {

// fsstat's "** Cluster Area: A - B" and "* FAT 0: A - B" (sectors of the volume).
struct FsstatFigures {
  uint64_t fatStart = 0, clusterAreaStart = 0, clusterAreaEnd = 0, clusterBytes = 0;
};
FsstatFigures Fsstat(const std::string& image) {
  const std::string out = test::RunCommand("fsstat " + test::ShellQuote(image)).out;
  FsstatFigures f;
  std::smatch m;
  if (std::regex_search(out, m, std::regex(R"(\* FAT 0: (\d+) - (\d+))"))) f.fatStart = std::stoull(m[1]);
  if (std::regex_search(out, m, std::regex(R"(\*\* Cluster Area: (\d+) - (\d+))"))) {
    f.clusterAreaStart = std::stoull(m[1]);
    f.clusterAreaEnd = std::stoull(m[2]);
  }
  if (std::regex_search(out, m, std::regex(R"(Cluster Size: (\d+))"))) f.clusterBytes = std::stoull(m[1]);
  return f;
}

TEST(FatGeometry, FixturesAgreeWithFsstat) {
  if (test::RunCommand("command -v fsstat").out.empty()) GTEST_SKIP() << "fsstat (sleuthkit) not installed";
  for (const char* name : {"fat/fat16-512.img.gz", "fat/fat32-tree.img.gz"}) {
    SCOPED_TRACE(name);
    const auto image = test::LoadImage(test::FixturesDir() / name);
    ASSERT_TRUE(image);
    const std::string plain = testing::TempDir() + "/geometry.img";
    std::ofstream(plain, std::ios::binary)
        .write(reinterpret_cast<const char*>(image->data()), static_cast<std::streamsize>(image->size()));
    const FsstatFigures f = Fsstat(plain);
    const bool fat32 = IsFat32BootSector(std::span(*image).first(SectorSize)) != 0;
    const auto g =
        FatGeometry::FromBootSector(std::span(*image).first(SectorSize), fat32, {0, image->size() / SectorSize, 0});
    ASSERT_TRUE(g);
    EXPECT_EQ(g->fatStart(), f.fatStart);
    EXPECT_EQ(g->dataStart, f.clusterAreaStart);
    EXPECT_EQ(g->clusterBytes(), f.clusterBytes);
    // fsstat's cluster area ends at the volume's last sector; whole clusters only.
    EXPECT_EQ(g->clusterCount, (f.clusterAreaEnd + 1 - f.clusterAreaStart) / g->sectorsPerCluster);
    EXPECT_EQ(*g->clusterZeroSector(), g->clusterSector(2) - 2ull * g->sectorsPerCluster);
  }
}

TEST(FatGeometry, BadBootSectorsAreRefusedOrClamped) {
  struct Case {
    const char* name;
    void (*edit)(std::vector<uint8_t>&);
    uint64_t partitionSectors;
    bool accepted;
    uint32_t clusterCount;  // when accepted
  };
  const Case cases[] = {
      {"as formatted", [](std::vector<uint8_t>&) {}, 0, true, 0},
      {"zero sectors per cluster", [](std::vector<uint8_t>& b) { b[0x0D] = 0; }, 0, false, 0},
      {"sectors per cluster not a power of two", [](std::vector<uint8_t>& b) { b[0x0D] = 3; }, 0, false, 0},
      {"no reserved sectors", [](std::vector<uint8_t>& b) { test::Put16(b, 0x0E, 0); }, 0, false, 0},
      {"no FAT copies", [](std::vector<uint8_t>& b) { b[0x10] = 0; }, 0, false, 0},
      {"FAT past the partition", [](std::vector<uint8_t>& b) { test::Put16(b, 0x16, 0xFFFF); }, 65536, false, 0},
      {"FAT past a shorter partition", [](std::vector<uint8_t>&) {}, 60, false, 0},
      // A total far beyond what the FAT can describe: the clusters stop at the FAT's entries.
      {"cluster count overflow",
       [](std::vector<uint8_t>& b) {
         test::Put16(b, 0x13, 0);
         test::Put32(b, 0x20, 0xFFFFFFFF);
       },
       0, true, 32 * 512 / 2 - 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> boot = test::Fat16BootSector();
    c.edit(boot);
    std::string problem;
    const auto g = FatGeometry::FromBootSector(boot, false, {0, c.partitionSectors, 0}, &problem);
    ASSERT_EQ(g.has_value(), c.accepted) << problem;
    if (!g) {
      EXPECT_NE(problem.find("FAT boot sector at sector 0"), std::string::npos) << problem;
      continue;
    }
    EXPECT_LE(uint64_t{g->clusterCount} + 2, g->fatEntries());
    if (c.clusterCount != 0) EXPECT_EQ(g->clusterCount, c.clusterCount);
  }
}

}  // namespace
}  // namespace orvaldi::disk
