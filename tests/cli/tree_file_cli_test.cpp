// ls --save-tree / --load-tree: a loaded tree lists, finds, recovers and cats
// as the scan that saved it, on FAT, NTFS (deep too) and exFAT; a file of
// another partition, mode or a damaged one is refused.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>

#include "support/test_images.h"

namespace orvaldi {
namespace {

std::string Q(const std::string& s) { return test::ShellQuote(s); }

test::CommandResult Orvaldi(const std::string& args) {
  return test::RunCommand("TZ=UTC " + Q(test::CliPath().string()) + " " + args);
}

// The stderr of a run without the line saying where the tree was saved.
std::string WithoutSavedLine(const std::string& err) {
  std::istringstream in(err);
  std::string out;
  for (std::string line; std::getline(in, line);)
    if (line.rfind("orvaldi: tree saved to ", 0) != 0) out += line + "\n";
  return out;
}

struct Case {
  const char* name;
  std::string image;  // fixture, relative to the fixtures folder ("" for the demo disk)
  std::string part;
  std::string scanArgs;  // mode and scan-result options of the scan
  std::string loadArgs;  // what the loading run passes besides --load-tree (a scan result)
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class TreeFileCli : public ::testing::TestWithParam<Case> {};

TEST_P(TreeFileCli, LoadedTreeBehavesAsTheScan) {
  const Case& c = GetParam();
  test::TempDir dir;
  const auto bytes = test::LoadImage(c.image.empty() ? test::DemoImageGz() : test::FixturesDir() / c.image);
  if (!bytes) GTEST_SKIP() << "fixture missing: " << c.image;
  const std::string img = Q(dir.write("disk.img", *bytes).string());
  const std::string tree = Q((dir.path() / "part.orvtree").string());
  std::string scan = c.scanArgs, load = c.loadArgs;
  for (std::string* args : {&scan, &load}) {
    if (const size_t at = args->find("RESULT"); at != std::string::npos)
      args->replace(at, 6, Q((dir.path() / "disk.kvr_scn").string()));
  }
  if (c.scanArgs.find("--load-result") != std::string::npos) {
    ASSERT_EQ(Orvaldi("rawscan " + img + " --save-result " + Q((dir.path() / "disk.kvr_scn").string())).exitCode, 0);
  }

  const std::string at = img + " " + c.part + " ";
  const auto scanned = Orvaldi("ls " + at + scan + " --save-tree " + tree);
  ASSERT_TRUE(scanned.exitCode == 0 || scanned.exitCode == 6) << scanned.err;
  const auto loaded = Orvaldi("ls " + at + load + " --load-tree " + tree);
  EXPECT_EQ(loaded.exitCode, scanned.exitCode) << loaded.err;
  EXPECT_EQ(loaded.out, scanned.out);
  EXPECT_EQ(loaded.err, WithoutSavedLine(scanned.err));

  const auto json = Orvaldi("ls --json " + at + scan);
  const auto jsonLoaded = Orvaldi("ls --json " + at + load + " --load-tree " + tree);
  EXPECT_EQ(jsonLoaded.out, json.out);
  EXPECT_EQ(jsonLoaded.exitCode, json.exitCode);

  const auto found = Orvaldi("find --ext txt --json " + at + scan);
  EXPECT_EQ(Orvaldi("find --ext txt --json " + at + load + " --load-tree " + tree).out, found.out);

  // Every file recovered both ways gives the same bytes, and so does cat of
  // the largest file.
  test::TempDir fromScan, fromTree;
  const auto r1 = Orvaldi("recover " + at + scan + " --to " + Q(fromScan.path().string()));
  const auto r2 = Orvaldi("recover " + at + load + " --load-tree " + tree + " --to " + Q(fromTree.path().string()));
  EXPECT_EQ(r2.exitCode, r1.exitCode) << r2.err;
  const auto files = test::Sha256Tree(fromScan.path());
  EXPECT_FALSE(files.empty());
  EXPECT_EQ(test::Sha256Tree(fromTree.path()), files);

  std::string largest;
  uint64_t largestSize = 0;
  std::istringstream rows(json.out);
  for (std::string line; std::getline(rows, line);) {
    const auto row = nlohmann::json::parse(line);
    if (row["type"] == "file" && row["size"].get<uint64_t>() > largestSize) {
      largestSize = row["size"];
      largest = row["path"];
    }
  }
  ASSERT_FALSE(largest.empty());
  const auto cat = Orvaldi("cat " + at + scan + " " + Q(largest));
  const auto catLoaded = Orvaldi("cat " + at + load + " --load-tree " + tree + " " + Q(largest));
  EXPECT_EQ(catLoaded.exitCode, cat.exitCode);
  EXPECT_EQ(catLoaded.out.size(), cat.out.size());
  EXPECT_TRUE(catLoaded.out == cat.out) << largest;
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, TreeFileCli,
    ::testing::Values(Case{"fat32", "fat/fat32-tree.img.gz", "0", "", ""},
                      Case{"fat16", "fat/fat16-512.img.gz", "0", "", ""},
                      Case{"fat32_search", "fat/fat32-reformatted.img.gz", "0", "--mode search", ""},
                      Case{"ntfs", "ntfs/ntfs-tree.img.gz", "0", "", ""},
                      Case{"ntfs_streams", "ntfs/ntfs-streams.img.gz", "0", "", ""},
                      Case{"ntfs_fragments", "ntfs/ntfs-fragments.img.gz", "0", "", ""},
                      Case{"demo_ntfs_deep", "", "1", "--mode deep", ""},
                      // Boot sector wiped, found by its backup: the deep search on a damaged volume.
                      Case{"wiped_ntfs_deep", "wiped/wiped-disk.img.gz", "1", "--load-result RESULT --mode deep",
                           "--load-result RESULT"},
                      Case{"exfat", "exfat/exfat-basic.img.gz", "0", "", ""}),
    [](const ::testing::TestParamInfo<Case>& p) { return std::string(p.param.name); });

// Every way a tree file can be wrong for where it is loaded, refused with
// the command line's exit code and nothing listed.
TEST(TreeFileRefusals, OtherPartitionModeOrDamage) {
  test::TempDir dir;
  const auto demo = test::LoadImage(test::DemoImageGz());
  const auto fat = test::LoadImage(test::FixturesDir() / "fat/fat32-tree.img.gz");
  ASSERT_TRUE(demo && fat);
  const std::string img = Q(dir.write("demo.img", *demo).string());
  const std::string other = Q(dir.write("fat.img", *fat).string());
  const auto path = [&](const char* name) { return (dir.path() / name).string(); };
  ASSERT_EQ(Orvaldi("ls " + img + " 1 --mode deep --save-tree " + Q(path("deep.t"))).exitCode, 0);
  ASSERT_EQ(Orvaldi("ls " + img + " 0 --save-tree " + Q(path("fat.t"))).exitCode, 0);

  std::ifstream in(path("deep.t"), std::ios::binary);
  const std::string good((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::ofstream(path("short.t"), std::ios::binary) << good.substr(0, good.size() / 2);
  std::string flipped = good;
  flipped[flipped.size() / 3] ^= 0x40;
  std::ofstream(path("flipped.t"), std::ios::binary) << flipped;
  std::ofstream(path("text.t"), std::ios::binary) << "not a tree\n";

  const struct {
    std::string args;
    std::string says;
  } refused[] = {
      {img + " 0 --load-tree " + Q(path("deep.t")), "not a tree of partition"},       // the disk's other partition
      {other + " 0 --load-tree " + Q(path("fat.t")), "saved from disk demo.img"},     // another disk
      {img + " 1 --mode walk --load-tree " + Q(path("deep.t")), "--mode deep scan"},  // another mode
      {img + " 1 --load-tree " + Q(path("short.t")), "cut short"},
      {img + " 1 --load-tree " + Q(path("flipped.t")), "checksum"},
      {img + " 1 --load-tree " + Q(path("text.t")), "not a saved partition tree"},
  };
  for (const auto& r : refused) {
    const auto run = Orvaldi("ls " + r.args);
    EXPECT_EQ(run.exitCode, 2) << r.args << ": " << run.err;
    EXPECT_EQ(run.out, "") << r.args;
    EXPECT_NE(run.err.find(r.says), std::string::npos) << run.err;
  }
  // The mode it was saved with is taken when none is named.
  EXPECT_EQ(Orvaldi("ls " + img + " 1 --mode deep --load-tree " + Q(path("deep.t"))).exitCode, 0);
  // Never written onto the source; a file that cannot be read is the source's kind of failure.
  EXPECT_EQ(Orvaldi("ls " + img + " 0 --save-tree " + img).exitCode, 5);
  EXPECT_EQ(Orvaldi("ls " + img + " 0 --load-tree " + Q(path("missing.t"))).exitCode, 1);
  EXPECT_NE(Orvaldi("ls " + img + " 0 --load-tree a --save-tree b").exitCode, 0);
}

}  // namespace
}  // namespace orvaldi
