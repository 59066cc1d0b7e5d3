// LVM2: the metadata language, and physical volumes made by the lvm2 tools
// checked against what pvs and lvs --segments said about them.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <sstream>

#include "disk/lvm_label.h"
#include "disk/lvm_metadata.h"
#include "disk/partition_table.h"
#include "platform/sector_source.h"
#include "support/test_images.h"

namespace orvaldi::disk {
namespace {

using Strings = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;

std::string Unhyphen(std::string s) {
  std::erase(s, '-');
  return s;
}

DiskInfo Enumerate(Bytes bytes) {
  DiskInfo disk;
  disk.devicePath = "pv.img";
  disk.sizeBytes = static_cast<int64_t>(bytes.size());
  platform::MemorySource src(std::move(bytes));
  EnumeratePartitions(src, disk, disk.devicePath);
  return disk;
}

// A missing image reads as an empty disk, which the checks then fail on.
Bytes Load(const std::filesystem::path& path) { return test::LoadImage(path).value_or(Bytes{}); }

TEST(LvmMetadata, BlocksValuesListsAndWhatBreaksTheGrammar) {
  const auto root = ParseLvmMetadata(
      "vg { # comment\n id = \"a-b\"\n n = -12\n f = 1.5\n s = \"say \\\"hi\\\"\nnext line\"\n"
      " l = [\"pv0\", 34, ]\n e = []\n inner { deep { x = 1 } }\n}\ntop = 9\n");
  ASSERT_TRUE(root);
  const LvmSection* vg = root->section("vg");
  ASSERT_TRUE(vg);
  EXPECT_EQ(*vg->text("id"), "a-b");
  EXPECT_EQ(vg->number("n"), -12);
  EXPECT_EQ(vg->number("f"), 1);
  EXPECT_EQ(*vg->text("s"), "say \"hi\"\nnext line");
  ASSERT_EQ(vg->find("l")->items.size(), 2u);
  EXPECT_EQ(vg->find("l")->items[1].number, 34);
  EXPECT_TRUE(vg->find("e")->items.empty());
  EXPECT_EQ(vg->section("inner")->section("deep")->number("x"), 1);
  EXPECT_EQ(root->number("top"), 9);
  EXPECT_FALSE(vg->number("id"));

  std::string deep;
  for (int i = 0; i <= kLvmMaxDepth; ++i) deep += "b {";
  for (int i = 0; i <= kLvmMaxDepth; ++i) deep += "}";
  for (const std::string& bad : Strings{"vg {", "vg { a = 1 }}", "a = \"open", "a =", "a = [1, [2]]", "a = [1 2]",
                                        "a = 99999999999999999999", "= 1", "a b", std::string("a = 1\0", 6), deep})
    EXPECT_FALSE(ParseLvmMetadata(bad)) << bad;
}

// `pvs` and `lvs --segments` as the fixture script kept them.
struct Facts {
  std::vector<std::string> pv;
  std::vector<std::vector<std::string>> segments;
};

Facts ReadFacts(const std::filesystem::path& tsv) {
  Facts f;
  std::ifstream in(tsv);
  std::string line;
  for (int n = 0; std::getline(in, line); ++n) {
    std::vector<std::string> cells;
    std::stringstream row(line);
    for (std::string cell; std::getline(row, cell, '\t');) cells.push_back(cell);
    if (n == 1) f.pv = cells;
    if (n >= 3) f.segments.push_back(cells);
  }
  return f;
}

TEST(LvmLabel, PhysicalVolumeMadeByTheToolsMatchesPvsAndLvs) {
  const auto dir = test::FixturesDir() / "lvm";
  const DiskInfo d = Enumerate(Load(dir / "lvm-pv.img.gz"));
  const Facts facts = ReadFacts(dir / "lvm-pv.facts.tsv");
  ASSERT_EQ(facts.pv.size(), 6u);
  EXPECT_EQ((Strings{d.memberId, d.groupId, std::to_string(d.lvmDevSize), std::to_string(d.lvmPeStart),
                     std::to_string(d.lvmPeCount), std::to_string(d.lvmExtentSize)}),
            (Strings{Unhyphen(facts.pv[0]), facts.pv[1], facts.pv[2], facts.pv[3], facts.pv[4], facts.pv[5]}));

  // One row per segment: name, size, first extent, extents, stripes, "device:first-last".
  Strings ours, theirs;
  for (const auto& lv : d.logicalVolumes) {
    EXPECT_EQ(lv.segmentCount, lv.segments.size()) << lv.name;
    for (const auto& s : lv.segments) {
      EXPECT_EQ(s.pvId, facts.pv[0]) << lv.name;
      ours.push_back(lv.name + " " + std::to_string(lv.sizeSectors) + " " + std::to_string(s.startExtent) + " " +
                     std::to_string(s.extentCount) + " " + std::to_string(s.stripeCount) + " " +
                     std::to_string(s.pvStartExtent) + "-" + std::to_string(s.pvStartExtent + s.extentCount - 1));
    }
  }
  for (const auto& c : facts.segments) {
    ASSERT_EQ(c.size(), 6u);
    theirs.push_back(c[0] + " " + c[1] + " " + c[2] + " " + c[3] + " " + c[4] + " " + c[5].substr(c[5].find(':') + 1));
  }
  std::sort(ours.begin(), ours.end());
  std::sort(theirs.begin(), theirs.end());
  EXPECT_EQ(ours, theirs);

  // The linear volume is a FAT16 partition where its extents lie; the one in
  // two pieces is read through the spanned mapping over this disk.
  // Name, mapping, extent or members, type and label of each.
  Strings rows;
  for (const PartitionInfo& p : d.partitions) {
    std::string row = p.name + " " + std::to_string(static_cast<int>(p.volumeKind)) + " " +
                      std::to_string(p.startSector) + "+" + std::to_string(p.sectorCount) + " [";
    for (const auto& m : p.members)
      row += m.devicePath + "@" + std::to_string(m.startSector) + "+" + std::to_string(m.sectorCount) + " ";
    rows.push_back(row + "] " + std::to_string(p.typeByte) + " '" + p.volumeLabel + "'");
  }
  EXPECT_EQ(rows, (Strings{"split 2 0+10240 [pv.img@2048+4096 pv.img@14336+6144 ] 6 'LVSPLIT'",
                           "data 0 6144+8192 [] 6 'LVDATA'"}));
}

// Every check after the label's signature: the disk keeps no LVM2 values and
// no volumes, and is not read as anything else either.
TEST(LvmLabel, DamageAfterTheSignatureLeavesNoValues) {
  const auto image = Load(test::FixturesDir() / "lvm" / "lvm-pv.img.gz");
  ASSERT_GT(image.size(), 1u << 20);
  // The metadata area the label lists after its one data area.
  const uint64_t area = image[512 + 0x68] | (image[512 + 0x69] << 8) | (image[512 + 0x6A] << 16);
  ASSERT_LT(area + 512, image.size());
  ASSERT_EQ(std::string(reinterpret_cast<const char*>(&image[area + 5]), 4), "LVM2");
  const std::pair<const char*, std::function<void(std::vector<uint8_t>&)>> cases[] = {
      {"label type", [](auto& b) { b[512 + 0x18] = 'X'; }},
      {"id not printable", [](auto& b) { b[512 + 0x20] = 0; }},
      {"id of no volume in the group", [](auto& b) { b[512 + 0x20] ^= 1; }},
      {"area beyond the disk", [](auto& b) { test::Put64(b, 512 + 0x68, uint64_t{1} << 40); }},
      {"area magic", [&](auto& b) { b[area + 4] = 'x'; }},
      {"text offset inside the header", [&](auto& b) { test::Put64(b, area + 0x28, 8); }},
      {"text longer than the area", [&](auto& b) { test::Put64(b, area + 0x30, uint64_t{1} << 32); }},
      {"text beyond the area", [&](auto& b) { test::Put64(b, area + 0x28, 2 * 1024 * 1024); }},
  };
  for (const auto& [what, patch] : cases) {
    auto bytes = image;
    patch(bytes);
    const DiskInfo d = Enumerate(std::move(bytes));
    EXPECT_TRUE(d.memberId.empty() && d.groupId.empty() && d.lvmExtentSize == 0 && d.logicalVolumes.empty() &&
                d.partitions.empty())
        << what;
  }
}

// Other people's volumes: a linear volume at pe_start, and thin and mirror
// segments, which are listed but not made readable.
TEST(LvmLabel, CorpusVolumes) {
  const auto dir = test::CorpusDir() / "lvm";
  const auto plain = test::LoadImage(dir / "dissect-lvm.img.gz");
  if (!plain) GTEST_SKIP() << "corpus missing";
  DiskInfo d = Enumerate(*plain);
  ASSERT_EQ(d.partitions.size(), 1u);
  EXPECT_EQ(d.partitions[0].name, "lv_test");
  EXPECT_EQ(d.partitions[0].startSector, 2048u);
  EXPECT_EQ(d.partitions[0].sectorCount, 8192u);
  EXPECT_EQ((*plain)[2048 * 512], 0xDE);

  d = Enumerate(Load(dir / "dissect-lvm-thin.img.gz"));
  EXPECT_EQ(d.groupId.empty(), false);
  Strings names;
  for (const auto& lv : d.logicalVolumes) names.push_back(lv.name);
  EXPECT_NE(std::find(names.begin(), names.end(), "lv-1"), names.end());
  for (const auto& p : d.partitions) EXPECT_NE(p.name, "lv-1");

  d = Enumerate(Load(dir / "dissect-lvm-mirror-1.img.gz"));
  ASSERT_FALSE(d.logicalVolumes.empty());
  for (const auto& p : d.partitions) EXPECT_NE(p.name, "mirrormirror");
}

}  // namespace
}  // namespace orvaldi::disk
