// The command-line tool on disks with unreadable sectors, served through FUSE:
// what can be read comes back whole, what cannot is said and never passed off
// as whole.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "support/faulty_mount.h"
#include "support/test_images.h"

namespace orvaldi {
namespace {

using test::ShellQuote;

std::string Cli() { return test::CliPath().string(); }

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
  auto bytes = test::LoadImage(test::FixturesDir() / "fat" / "fat32-tree.img.gz");
  ASSERT_TRUE(bytes);
  const auto image = dir.write("fat32-tree.img", *bytes);
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

}  // namespace
}  // namespace orvaldi
