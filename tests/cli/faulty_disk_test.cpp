// The command-line tool on disks with unreadable sectors, served through FUSE:
// what can be read comes back whole, what cannot is said and never passed off
// as whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "support/faulty_mount.h"
#include "support/test_images.h"

namespace orvaldi {
namespace {

using test::ShellQuote;

std::string Cli() { return test::CliPath().string(); }

// A fixture image unpacked into `dir`; empty when it cannot be loaded.
std::filesystem::path Unpacked(test::TempDir& dir, const std::string& fixture, const std::string& name) {
  auto bytes = test::LoadImage(test::FixturesDir() / fixture);
  return bytes ? dir.write(name, *bytes) : std::filesystem::path();
}

// fat32-tree: 512-byte clusters, 32 reserved sectors, two FATs of 536 sectors,
// cluster 2 at sector 1104. "Reports/" runs through clusters 13 and 2425-2431
// (FAT sectors 0 and 18); "Design Notes.txt" through 2432-2447 and 2456-2479
// (FAT sector 19).
constexpr uint64_t kFat1 = 32;
constexpr uint64_t kFat2 = 32 + 536;
constexpr uint64_t ClusterSector(uint64_t cluster) { return 1104 + cluster - 2; }
const char* const kDesignNotes = "'根目录/Documents/Work/Projects 2024/Alpha Release/Design Notes.txt'";

// Each row makes some sectors unreadable and runs commands on the image:
// what can be read comes back whole (the bytes of a clean run), what cannot
// is said on stderr with exit code 6.
TEST(FaultyFat32, WhatCannotBeReadIsSaidAndNeverPassedOffAsWhole) {
  if (!test::FaultyMount::Available()) GTEST_SKIP() << "no /dev/fuse on this machine";
  test::TempDir dir, target;
  const auto image = Unpacked(dir, "fat/fat32-tree.img.gz", "fat32-tree.img");
  ASSERT_FALSE(image.empty());
  const std::string cat = std::string("cat IMG 0 ") + kDesignNotes;
  const auto clean = test::RunCommand(Cli() + " cat " + ShellQuote(image.string()) + " 0 " + kDesignNotes);
  ASSERT_EQ(clean.out.size(), 20480u);
  const uint64_t folder = ClusterSector(2427);
  const std::pair<std::string, std::vector<std::pair<std::string, int>>> cases[] = {
      // The first FAT copy's sectors that hold the root, "Reports/" and
      // "Design Notes.txt" chains: the second copy stands in.
      {std::to_string(kFat1) + "," + std::to_string(kFat1 + 18) + "-" + std::to_string(kFat1 + 19),
       {{"ls --json IMG 0", 0}, {cat, 0}}},
      // A FAT sector no copy gives leaves the chain unknown.
      {std::to_string(kFat1 + 19) + "," + std::to_string(kFat2 + 19), {{cat, 6}}},
      // An unreadable data sector.
      {std::to_string(ClusterSector(2440)),
       {{cat, 6}, {std::string("recover IMG 0 ") + kDesignNotes + " --to " + ShellQuote(target.path().string()), 6}}},
      // An unreadable folder cluster: the rest is listed, the folder and the sector are named.
      {std::to_string(folder), {{"ls --json IMG 0", 6}}},
  };
  for (const auto& [bad, runs] : cases) {
    test::FaultyMount mount(image, bad);
    ASSERT_TRUE(mount.ok()) << mount.error();
    for (auto [args, exitCode] : runs) {
      SCOPED_TRACE(bad + ": " + args);
      args.replace(args.find("IMG"), 3, ShellQuote(mount.path().string()));
      const auto r = test::RunCommand(Cli() + " " + args);
      EXPECT_EQ(r.exitCode, exitCode) << r.err;
      EXPECT_EQ(r.err.empty(), exitCode == 0) << r.err;
      if (args.starts_with("cat") && exitCode == 0) {
        EXPECT_TRUE(r.out == clean.out);
      }
      if (!args.starts_with("ls")) continue;
      size_t lines = 0, reports = 0;
      bool designNotes = false;
      std::istringstream in(r.out);
      for (std::string line; std::getline(in, line); ++lines) {
        const auto name = nlohmann::json::parse(line)["name"].get<std::string>();  // throws on a broken line
        reports += name.starts_with("Report Week");
        designNotes |= name == "Design Notes.txt";
      }
      EXPECT_GT(lines, 50u);
      EXPECT_TRUE(designNotes);
      if (exitCode == 0) {
        EXPECT_EQ(reports, 40u);
        continue;
      }
      EXPECT_NE(r.err.find("Reports"), std::string::npos);
      EXPECT_NE(r.err.find(std::to_string(folder)), std::string::npos);
      EXPECT_GT(reports, 0u);
      EXPECT_LT(reports, 40u);
    }
  }
}

// recover says of its selection what ls says of the partition: a folder of
// the chosen paths that could not be read in full exits 6, one outside them
// does not.
TEST(FaultyFat32, RecoverCountsTheFoldersOfItsSelectionThatCannotBeRead) {
  if (!test::FaultyMount::Available()) GTEST_SKIP() << "no /dev/fuse on this machine";
  test::TempDir dir;
  const auto image = Unpacked(dir, "fat/fat32-tree.img.gz", "fat32-tree.img");
  ASSERT_FALSE(image.empty());
  const struct {
    uint64_t bad;
    const char* paths;
    int exitCode;
    const char* named;  // the folder stderr names
  } cases[] = {
      {ClusterSector(2427), "根目录/Reports", 6, "根目录/Reports"},
      {ClusterSector(2427), "", 6, "根目录/Reports"},
      {ClusterSector(2427), "根目录/Documents 根目录/notes.txt", 0, ""},
      {ClusterSector(2), "", 6, "根目录"},  // the root folder's first cluster
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.bad) + ": " + c.paths);
    test::FaultyMount mount(image, std::to_string(c.bad));
    ASSERT_TRUE(mount.ok()) << mount.error();
    test::TempDir target;
    const auto r = test::RunCommand(Cli() + " recover " + ShellQuote(mount.path().string()) + " 0 " + c.paths +
                                    " --to " + ShellQuote(target.path().string()));
    EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
    if (c.exitCode == 0) {
      EXPECT_NE(r.out.find("不完整 0, 失败 0"), std::string::npos) << r.out;
      EXPECT_FALSE(test::Sha256Tree(target.path()).empty());
    } else {
      EXPECT_NE(r.err.find(std::string("could not be read in full (") + c.named + ")"), std::string::npos) << r.err;
    }
  }
}

// ntfs-tree: $MFT at sector 32 (1 KiB records, two sectors each), $MFTMirr
// at sector 16. An unreadable MFT sector loses only its record, the first
// records come from the mirror, and either is said on stderr with exit 6.
TEST(FaultyNtfs, UnreadableMftSectorsLoseOnlyTheirRecords) {
  if (!test::FaultyMount::Available()) GTEST_SKIP() << "no /dev/fuse on this machine";
  test::TempDir dir;
  const auto image = Unpacked(dir, "ntfs/ntfs-tree.img.gz", "ntfs-tree.img");
  ASSERT_FALSE(image.empty());
  const auto clean = test::RunCommand(Cli() + " ls --json " + ShellQuote(image.string()) + " 0");
  ASSERT_EQ(clean.exitCode, 0) << clean.err;
  const auto count = [](const std::string& out) { return std::count(out.begin(), out.end(), '\n'); };
  const struct {
    const char* bad;
    long lost;  // listing lines missing
    const char* stderrHas;
  } cases[] = {
      {"32-39", 0, "$MFT records 0-3: sector 32 is unreadable or damaged; its copy in $MFTMirr was used"},
      {"622", 1, "$MFT record 295: sector 622 could not be read"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bad);
    test::FaultyMount mount(image, c.bad);
    ASSERT_TRUE(mount.ok()) << mount.error();
    const auto r = test::RunCommand(Cli() + " ls --json " + ShellQuote(mount.path().string()) + " 0");
    EXPECT_EQ(r.exitCode, 6) << r.err;
    EXPECT_NE(r.err.find(c.stderrHas), std::string::npos) << r.err;
    EXPECT_EQ(count(r.out), count(clean.out) - c.lost);
    // The sector search reads around the bad sectors too.
    const auto deep = test::RunCommand(Cli() + " ls --json --mode deep " + ShellQuote(mount.path().string()) + " 0");
    EXPECT_EQ(deep.exitCode, 6) << deep.err;
    EXPECT_GT(count(deep.out), 300);
    test::TempDir target;
    const auto rec = test::RunCommand(Cli() + " recover " + ShellQuote(mount.path().string()) + " 0 --to " +
                                      ShellQuote(target.path().string()));
    EXPECT_EQ(rec.exitCode, 6) << rec.err;
  }
}

// A boot sector whose $MFT lies far beyond the end of the image: nothing is
// listed, and that is said, not passed off as an empty volume.
TEST(NtfsCorpus, MftBeyondTheEndOfTheImageIsReported) {
  auto bytes = test::LoadImage(test::CorpusDir() / "ntfs" / "dissect-ntfs-boot-2MiB-cluster.bin.gz");
  if (!bytes) GTEST_SKIP() << "corpus image absent";
  test::TempDir dir, target;
  const auto image = ShellQuote(dir.write("boot.img", *bytes).string());
  const auto ls = test::RunCommand(Cli() + " ls " + image + " 0");
  EXPECT_EQ(ls.exitCode, 6) << ls.err;
  EXPECT_NE(ls.err.find("$MFT record 0: sector 696320 lies beyond the end of the source"), std::string::npos) << ls.err;
  const auto rec = test::RunCommand(Cli() + " recover " + image + " 0 --to " + ShellQuote(target.path().string()));
  EXPECT_EQ(rec.exitCode, 6) << rec.err;
}

// The lost-partition search reads around an unreadable sector: the FAT32
// volume whose boot sector it was is found from its backup, and the sector
// is counted on stderr.
TEST(FaultyDisk, FindPartsReadsAroundAnUnreadableSector) {
  if (!test::FaultyMount::Available()) GTEST_SKIP() << "no /dev/fuse on this machine";
  test::TempDir dir;
  auto bytes = test::LoadImage(test::FixturesDir() / "lost" / "lost.img.gz");
  ASSERT_TRUE(bytes);
  test::FaultyMount mount(dir.write("lost.img", *bytes), "32130");
  ASSERT_TRUE(mount.ok()) << mount.error();
  const auto r = test::RunCommand(Cli() + " find-parts " + ShellQuote(mount.path().string()) + " --mode sector --json");
  EXPECT_EQ(r.exitCode, 6);
  EXPECT_NE(r.err.find("1 个扇区无法读取"), std::string::npos) << r.err;
  std::istringstream in(r.out);
  std::vector<uint64_t> starts;
  for (std::string line; std::getline(in, line);) starts.push_back(nlohmann::json::parse(line)["start"]);
  EXPECT_EQ(starts, (std::vector<uint64_t>{2048, 16065, 16065, 32130, 112518}));
}

// Imaging a disk with unreadable sectors: the image equals the source except
// at the listed sectors (0x20 there), ddrescuelog reads the map and finds the
// same bad sectors, and a run given a map reads only what it marks unfinished.
TEST(FaultyImage, ListsExactlyTheBadSectorsAndResumesFromItsMap) {
  if (!test::FaultyMount::Available()) GTEST_SKIP() << "no /dev/fuse on this machine";
  if (std::system("command -v ddrescuelog >/dev/null 2>&1") != 0) GTEST_SKIP() << "ddrescuelog not installed";
  test::TempDir dir;
  std::vector<uint8_t> bytes((5 << 20) + 1536);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>((i * 131) ^ (i >> 9));
  const auto image = dir.write("disk.img", bytes);
  const std::vector<uint64_t> bad = {100, 2050, 2051, 2052, 6000, 10242};
  test::FaultyMount mount(image, "100,2050-2052,6000,10242");
  ASSERT_TRUE(mount.ok()) << mount.error();
  const std::string out = (dir.path() / "out.img").string(), map = (dir.path() / "out.map").string();
  const std::string command = Cli() + " image " + ShellQuote(mount.path().string()) + " --to " + ShellQuote(out) +
                              " --mapfile " + ShellQuote(map);
  auto r = test::RunCommand(command);
  ASSERT_EQ(r.exitCode, 6) << r.err;
  std::string rows;
  for (size_t i = 0; i < bad.size(); ++i)
    rows += "第" + std::to_string(i + 1) + "个坏扇区\t" + std::to_string(bad[i]) + "\n";
  EXPECT_EQ(r.out, rows + "镜像完毕\n");
  std::vector<uint8_t> expected = bytes;
  for (const uint64_t s : bad) std::fill_n(expected.begin() + static_cast<ptrdiff_t>(s * 512), 512, 0x20);
  EXPECT_TRUE(test::LoadImage(out) == expected);
  const auto listed = test::RunCommand("ddrescuelog -b 512 --list-blocks=- " + ShellQuote(map));
  ASSERT_EQ(listed.exitCode, 0) << listed.err;
  EXPECT_EQ(listed.out, "100\n2050\n2051\n2052\n6000\n10242\n");

  // A map that says the first 2 MiB are done and the rest is not tried: the
  // first MiB (spoiled here) is left alone, the rest is read again.
  std::vector<uint8_t> spoiled = expected;
  std::fill_n(spoiled.begin(), 1 << 20, 0xAB);
  std::fill_n(spoiled.begin() + (3 << 20), 1 << 20, 0xCD);
  dir.write("out.img", spoiled);
  std::ofstream(map) << "# made by hand\n0x00200000     ?\n0x00000000  0x00200000  +\n0x00200000  0x00300600  ?\n";
  r = test::RunCommand(command);
  ASSERT_EQ(r.exitCode, 6) << r.err;
  EXPECT_EQ(r.out, "第1个坏扇区\t6000\n第2个坏扇区\t10242\n镜像完毕\n");
  std::fill_n(expected.begin(), 1 << 20, 0xAB);
  EXPECT_TRUE(test::LoadImage(out) == expected);
  const auto summary = test::RunCommand("ddrescuelog -b 512 --list-blocks=+ " + ShellQuote(map) + " | wc -l");
  EXPECT_EQ(summary.out, std::to_string(bytes.size() / 512 - 2) + "\n");

  // The source itself is never a target.
  r = test::RunCommand(Cli() + " image " + ShellQuote(image.string()) + " --to " + ShellQuote(image.string()));
  EXPECT_EQ(r.exitCode, 5) << r.err;
  EXPECT_TRUE(test::LoadImage(image) == bytes);
}

}  // namespace
}  // namespace orvaldi
