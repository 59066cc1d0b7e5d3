// `ls --mode deep --checkpoint` / `--resume`: a search of every sector of an
// NTFS partition stopped anywhere and taken up again lists what a search
// never stopped lists.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "support/faulty_mount.h"
#include "support/test_images.h"

namespace orvaldi {
namespace {

using test::ShellQuote;

constexpr uint64_t kDiskSectors = 204800;  // 100 MiB
constexpr uint64_t kPartStart = 2048;

// One NTFS partition of 99 MiB holding the NTFS tree volume at its start,
// the first 48 MiB of the carving sample disk (pictures and compound
// documents between the records) at 20 MiB, and the tree volume again at
// 75 MiB: the records' numbers found twice, finds in every 30 MiB block of
// the search and across their edges.
class DeepResume : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new test::TempDir;
    image_ = dir_->path() / "deep.img";
    const auto tree = test::LoadImage(test::FixturesDir() / "ntfs/ntfs-tree.img.gz");
    const auto carve = test::LoadImage(test::FixturesDir() / "carve/carve-disk.img.gz");
    ASSERT_TRUE(tree && carve);
    std::vector<uint8_t> disk(kDiskSectors * 512, 0);
    const uint32_t entry[2] = {static_cast<uint32_t>(kPartStart), static_cast<uint32_t>(kDiskSectors - kPartStart - 1)};
    disk[446 + 4] = 0x07;
    std::memcpy(disk.data() + 446 + 8, entry, sizeof entry);
    disk[510] = 0x55;
    disk[511] = 0xAA;
    const uint64_t base = kPartStart * 512;
    std::copy(tree->begin(), tree->end(), disk.begin() + base);
    std::copy(carve->begin(), carve->begin() + (48 << 20), disk.begin() + base + (20 << 20));
    std::copy(tree->begin(), tree->end(), disk.begin() + base + (75 << 20));
    std::ofstream(image_, std::ios::binary).write(reinterpret_cast<const char*>(disk.data()), disk.size());
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static std::string ls(const std::string& args, const std::filesystem::path& image = image_) {
    return test::CliPath().string() + " ls --mode deep " + ShellQuote(image.string()) + " 0 " + args;
  }
  static std::string file(const char* name) { return ShellQuote((dir_->path() / name).string()); }

  static test::TempDir* dir_;
  static std::filesystem::path image_;
};

test::TempDir* DeepResume::dir_ = nullptr;
std::filesystem::path DeepResume::image_;

// Stops at seeded random sectors, a checkpoint at every block on the way:
// the resumed listing, JSON and text, is that of the search never stopped;
// so is one stopped a second time while resumed and taken up again.
TEST_F(DeepResume, ResumedSearchListsWhatOneNeverStoppedLists) {
  const auto whole = test::RunCommand(ls("--json"));
  ASSERT_EQ(whole.exitCode, 0) << whole.err;
  const auto wholeText = test::RunCommand(ls(""));
  ASSERT_NE(whole.out.find(".jpg\""), std::string::npos);
  ASSERT_NE(whole.out.find(".doc\""), std::string::npos);
  std::mt19937_64 random(29);
  std::uniform_int_distribution<uint64_t> sector(kPartStart, kDiskSectors - 2);
  const std::string cp = file("deep.checkpoint");
  for (int i = 0; i < 5; ++i) {
    const uint64_t stop = sector(random);
    SCOPED_TRACE("stopped at sector " + std::to_string(stop));
    const auto stopped =
        test::RunCommand(ls("--json --checkpoint " + cp + " --checkpoint-every 0 --stop-at " + std::to_string(stop)));
    ASSERT_EQ(stopped.exitCode, 130) << stopped.err;
    EXPECT_NE(stopped.out, whole.out);
    const auto text = test::RunCommand(ls("--resume " + cp));
    EXPECT_EQ(text.exitCode, 0) << text.err;
    EXPECT_EQ(text.out, wholeText.out);
    const uint64_t again = stop + (kDiskSectors - stop) / 2;
    EXPECT_EQ(
        test::RunCommand(ls("--resume " + cp + " --checkpoint " + cp + " --stop-at " + std::to_string(again))).exitCode,
        130);
    const auto json = test::RunCommand(ls("--json --resume " + cp));
    EXPECT_EQ(json.exitCode, 0) << json.err;
    EXPECT_EQ(json.out, whole.out);
  }
  // A checkpoint written at the end is taken up too.
  ASSERT_EQ(test::RunCommand(ls("--checkpoint " + cp)).exitCode, 0);
  EXPECT_EQ(test::RunCommand(ls("--json --resume " + cp)).out, whole.out);
}

// recover of the tree a resumed search gave saves the same files.
TEST_F(DeepResume, RecoverFromResumedSearchSavesTheSameFiles) {
  const std::string in = " --mode deep " + ShellQuote(image_.string()) + " 0 --to ";
  // One name is too long for this machine's file system: exit 6 both times.
  const auto whole = test::RunCommand(test::CliPath().string() + " recover" + in + file("whole"));
  ASSERT_NE(whole.out.find("个文件"), std::string::npos) << whole.err;
  const std::string cp = file("recover.checkpoint");
  ASSERT_EQ(test::RunCommand(ls("--checkpoint " + cp + " --stop-at 60000")).exitCode, 130);
  const auto resumed =
      test::RunCommand(test::CliPath().string() + " recover" + in + file("resumed") + " --resume " + cp);
  EXPECT_EQ(resumed.exitCode, whole.exitCode) << resumed.err;
  const auto a = test::Sha256Tree(dir_->path() / "whole");
  EXPECT_GT(a.size(), 100u);
  EXPECT_EQ(test::Sha256Tree(dir_->path() / "resumed"), a);
}

// With unreadable sectors, the resumed search reports them as the search
// never stopped does, in the same order and joined alike.
TEST_F(DeepResume, ResumedSearchReportsTheSameUnreadableSectors) {
  if (!test::FaultyMount::Available()) GTEST_SKIP() << "no /dev/fuse on this machine";
  test::FaultyMount mount(image_, "2100,2200-2300,43000-43100,61439-61500,150000");
  ASSERT_TRUE(mount.ok()) << mount.error();
  const auto whole = test::RunCommand(ls("--json", mount.path()));
  ASSERT_EQ(whole.exitCode, 6) << whole.err;
  for (const uint64_t stop : {2150u, 43050u, 63000u, 140000u}) {
    SCOPED_TRACE(stop);
    const std::string cp = file("faulty.checkpoint");
    ASSERT_EQ(test::RunCommand(ls("--checkpoint " + cp + " --stop-at " + std::to_string(stop), mount.path())).exitCode,
              130);
    const auto resumed = test::RunCommand(ls("--json --resume " + cp, mount.path()));
    EXPECT_EQ(resumed.exitCode, 6);
    EXPECT_EQ(resumed.out, whole.out);
    EXPECT_EQ(resumed.err, whole.err);
  }
}

// A checkpoint is taken up only by a deep search of the same partition of
// the same source; anything else, a damaged file or another sweep's
// checkpoint is refused before searching (exit 2).
TEST_F(DeepResume, CheckpointOfAnotherSearchIsRefused) {
  const std::string cp = file("refused.checkpoint");
  ASSERT_EQ(test::RunCommand(ls("--checkpoint " + cp + " --stop-at 100000")).exitCode, 130);
  const auto copy = dir_->path() / "copy.img";
  std::filesystem::create_symlink(image_, copy);  // the same bytes under another disk name
  const std::string bytes = test::ReadAll(dir_->path() / "refused.checkpoint");
  std::ofstream(dir_->path() / "cut.checkpoint", std::ios::binary) << bytes.substr(0, bytes.size() - 9);
  std::string moved = bytes;
  moved.replace(moved.find("\nfirst 2048\n"), 12, "\nfirst 2049\n");
  std::ofstream(dir_->path() / "moved.checkpoint", std::ios::binary) << moved;
  ASSERT_EQ(test::RunCommand(test::CliPath().string() + " rawscan --checkpoint " + file("sweep.checkpoint") +
                             " --stop-at 1000 " + ShellQuote(image_.string()))
                .exitCode,
            130);
  const struct {
    std::string command;
    const char* says;
  } cases[] = {
      {ls("--resume " + cp, copy), "another source"},
      {ls("--resume " + file("moved.checkpoint")), "another partition"},
      {ls("--resume " + file("cut.checkpoint")), "damaged checkpoint"},
      {ls("--resume " + file("sweep.checkpoint")), "damaged checkpoint"},
      {ls("--resume " + file("missing.checkpoint")), "cannot resume"},
      {test::CliPath().string() + " ls --resume " + cp + " " + ShellQuote(image_.string()) + " 0", "--mode deep"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    const auto r = test::RunCommand(c.command);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.empty());
  }
  EXPECT_EQ(test::RunCommand(ls("--checkpoint " + ShellQuote(image_.string()))).exitCode, 5);
}

}  // namespace
}  // namespace orvaldi
