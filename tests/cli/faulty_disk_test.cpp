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

class FaultyFat32 : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::FaultyMount::Available()) GTEST_SKIP() << "no /dev/fuse on this machine";
    auto bytes = test::LoadImage(test::FixturesDir() / "fat" / "fat32-tree.img.gz");
    ASSERT_TRUE(bytes);
    image_ = dir_.write("fat32-tree.img", *bytes);
    clean_ = test::RunCommand(Cli() + " cat " + ShellQuote(image_.string()) + " 0 " + kDesignNotes);
    ASSERT_EQ(clean_.exitCode, 0);
    ASSERT_EQ(clean_.out.size(), 20480u);
  }
  std::unique_ptr<test::FaultyMount> Mount(const std::string& bad) {
    auto mount = std::make_unique<test::FaultyMount>(image_, bad);
    EXPECT_TRUE(mount->ok()) << mount->error();
    return mount;
  }
  static std::string Img(const test::FaultyMount& m) { return ShellQuote(m.path().string()); }
  static size_t CountLines(const std::string& text, const std::string& needle) {
    size_t n = 0;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) n += line.find(needle) != std::string::npos;
    return n;
  }

  test::TempDir dir_;
  std::filesystem::path image_;
  test::CommandResult clean_;
};

// The first FAT copy's sectors that hold the root, "Reports/" and
// "Design Notes.txt" chains are unreadable; the second copy stands in.
TEST_F(FaultyFat32, SecondFatCopyStandsInForUnreadableSectorsOfTheFirst) {
  auto m = Mount(std::to_string(kFat1) + "," + std::to_string(kFat1 + 18) + "-" + std::to_string(kFat1 + 19));
  if (!m->ok()) return;
  const auto ls = test::RunCommand(Cli() + " ls " + Img(*m) + " 0");
  EXPECT_EQ(ls.exitCode, 0) << ls.err;
  EXPECT_EQ(CountLines(ls.out, "Report Week"), 40u);
  const auto cat = test::RunCommand(Cli() + " cat " + Img(*m) + " 0 " + kDesignNotes);
  EXPECT_EQ(cat.exitCode, 0) << cat.err;
  EXPECT_TRUE(cat.out == clean_.out);
}

// A FAT sector no copy gives leaves the chain unknown: the file is not printed as whole.
TEST_F(FaultyFat32, ChainThroughAFatSectorNoCopyGivesIsNotWhole) {
  auto m = Mount(std::to_string(kFat1 + 19) + "," + std::to_string(kFat2 + 19));
  if (!m->ok()) return;
  const auto cat = test::RunCommand(Cli() + " cat " + Img(*m) + " 0 " + kDesignNotes);
  EXPECT_EQ(cat.exitCode, 6);
  EXPECT_FALSE(cat.err.empty());
}

// An unreadable folder cluster: the rest is listed, the folder and sector are
// named on stderr, the JSON listing stays parseable and the exit code says
// the listing is not whole.
TEST_F(FaultyFat32, UnreadableFolderClusterIsReported) {
  const uint64_t bad = ClusterSector(2427);
  auto m = Mount(std::to_string(bad));
  if (!m->ok()) return;
  const auto ls = test::RunCommand(Cli() + " ls --json " + Img(*m) + " 0");
  EXPECT_EQ(ls.exitCode, 6);
  EXPECT_NE(ls.err.find("Reports"), std::string::npos) << ls.err;
  EXPECT_NE(ls.err.find(std::to_string(bad)), std::string::npos) << ls.err;
  std::istringstream in(ls.out);
  size_t lines = 0;
  bool designNotes = false;
  for (std::string line; std::getline(in, line); ++lines) {
    const auto j = nlohmann::json::parse(line);  // throws, failing the test, on a broken line
    designNotes |= j["name"] == "Design Notes.txt";
  }
  EXPECT_GT(lines, 50u);
  EXPECT_TRUE(designNotes);
  const size_t reports = CountLines(ls.out, "Report Week");
  EXPECT_GT(reports, 0u);
  EXPECT_LT(reports, 40u);
}

// An unreadable data sector: cat and recover say the file is not whole.
TEST_F(FaultyFat32, UnreadableDataSectorIsNeverPassedOffAsWhole) {
  auto m = Mount(std::to_string(ClusterSector(2440)));
  if (!m->ok()) return;
  const auto cat = test::RunCommand(Cli() + " cat " + Img(*m) + " 0 " + kDesignNotes);
  EXPECT_EQ(cat.exitCode, 6);
  EXPECT_FALSE(cat.err.empty());
  test::TempDir target;
  const auto rec = test::RunCommand(Cli() + " recover " + Img(*m) + " 0 " + kDesignNotes + " --to " +
                                    ShellQuote(target.path().string()));
  EXPECT_EQ(rec.exitCode, 6) << rec.out << rec.err;
}

}  // namespace
}  // namespace orvaldi
