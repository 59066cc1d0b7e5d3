// `rawscan --checkpoint` / `--resume` and `carve --resume`: a sweep stopped
// anywhere and taken up again ends exactly as one never stopped.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "support/faulty_mount.h"
#include "support/test_images.h"

namespace orvaldi {
namespace {

using test::ShellQuote;

constexpr uint64_t kDiskBytes = uint64_t{1} << 30;

// A 1 GiB sparse disk with fixture volumes and carvable files spread over
// it: a wiped FAT32 (rebuilt from its tables and directories), the carving
// sample disk twice, lost FAT and NTFS volumes, an NTFS and a FAT32 tree.
// Only the blocks that hold something are written.
class ResumeDisk : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new test::TempDir;
    image_ = dir_->path() / "spread.img";
    const int fd = ::open(image_.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(kDiskBytes)), 0);
    const struct {
      const char* fixture;
      uint64_t mib;
    } pieces[] = {{"wiped/wiped-disk.img.gz", 3}, {"carve/carve-disk.img.gz", 150}, {"lost/lost.img.gz", 400},
                  {"ntfs/ntfs-tree.img.gz", 611}, {"fat/fat32-tree.img.gz", 777},   {"carve/carve-disk.img.gz", 900}};
    for (const auto& piece : pieces) {
      const auto bytes = test::LoadImage(test::FixturesDir() / piece.fixture);
      ASSERT_TRUE(bytes) << piece.fixture;
      for (size_t at = 0; at < bytes->size(); at += 4096) {
        const size_t n = std::min<size_t>(4096, bytes->size() - at);
        if (std::all_of(bytes->begin() + at, bytes->begin() + at + n, [](uint8_t b) { return b == 0; })) continue;
        ASSERT_EQ(::pwrite(fd, bytes->data() + at, n, static_cast<off_t>((piece.mib << 20) + at)),
                  static_cast<ssize_t>(n));
      }
    }
    ::close(fd);
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static std::string run(const std::string& args, const std::filesystem::path& image = image_) {
    return test::CliPath().string() + " " + args + " " + ShellQuote(image.string());
  }
  static std::string file(const char* name) { return ShellQuote((dir_->path() / name).string()); }

  static test::TempDir* dir_;
  static std::filesystem::path image_;
};

test::TempDir* ResumeDisk::dir_ = nullptr;
std::filesystem::path ResumeDisk::image_;

// Five stops at random sectors (a fixed seed), each with a checkpoint written
// at every chunk on the way: the resumed sweep's JSON, its text and its saved
// scan result are those of the sweep never stopped, byte for byte. The
// findings are spread over the disk, so stops fall before, inside and after
// volumes, carved files and the rebuilt FAT's structures.
TEST_F(ResumeDisk, ResumedSweepEqualsOneNeverStopped) {
  const auto whole = test::RunCommand(run("rawscan --json --save-result " + file("whole.kvr_scn")));
  ASSERT_EQ(whole.exitCode, 0) << whole.err;
  const auto wholeText = test::RunCommand(run("rawscan"));
  ASSERT_EQ(wholeText.exitCode, 0);
  ASSERT_NE(whole.out.find("\"carved\""), std::string::npos);
  const std::string wholeResult = test::ReadAll(dir_->path() / "whole.kvr_scn");
  std::mt19937_64 random(29);
  std::uniform_int_distribution<uint64_t> sector(1, kDiskBytes / 512 - 1);
  for (int i = 0; i < 5; ++i) {
    const uint64_t stop = sector(random);
    SCOPED_TRACE("stopped at sector " + std::to_string(stop));
    const std::string cp = file("sweep.checkpoint");
    const auto stopped = test::RunCommand(
        run("rawscan --json --checkpoint " + cp + " --checkpoint-every 0 --stop-at " + std::to_string(stop)));
    ASSERT_EQ(stopped.exitCode, 130) << stopped.err;
    EXPECT_NE(stopped.out, whole.out);
    // A checkpoint is also a scan-result file of what was found so far.
    EXPECT_EQ(test::RunCommand(run("parts --load-result " + cp)).exitCode, 0);
    const auto text = test::RunCommand(run("rawscan --resume " + cp));
    EXPECT_EQ(text.exitCode, 0) << text.err;
    EXPECT_EQ(text.out, wholeText.out);
    // Resumed and checkpointing into the same file, stopped again further
    // on, and resumed once more.
    const uint64_t again = stop + (kDiskBytes / 512 - stop) / 2;
    EXPECT_EQ(
        test::RunCommand(run("rawscan --resume " + cp + " --checkpoint " + cp + " --stop-at " + std::to_string(again)))
            .exitCode,
        130);
    const auto json =
        test::RunCommand(run("rawscan --json --resume " + cp + " --save-result " + file("resumed.kvr_scn")));
    EXPECT_EQ(json.exitCode, 0) << json.err;
    EXPECT_EQ(json.out, whole.out);
    EXPECT_EQ(test::ReadAll(dir_->path() / "resumed.kvr_scn"), wholeResult);
  }
}

// find-parts --mode sector taken up from a checkpoint prints every find
// again and then those after the stop: the output and the saved result are
// those of a search never stopped.
TEST_F(ResumeDisk, ResumedLostPartitionSearchEqualsOneNeverStopped) {
  const std::string find = "find-parts --mode sector ";
  const auto whole = test::RunCommand(run(find + "--json --save-result " + file("found.kvr_scn")));
  ASSERT_EQ(whole.exitCode, 0) << whole.err;
  const auto wholeText = test::RunCommand(run(find));
  const std::string wholeResult = test::ReadAll(dir_->path() / "found.kvr_scn");
  for (const uint64_t stop : {0u, 830000u, 1700000u}) {
    SCOPED_TRACE(stop);
    const std::string cp = file("search.checkpoint");
    ASSERT_EQ(
        test::RunCommand(run(find + "--checkpoint " + cp + " --checkpoint-every 0 --stop-at " + std::to_string(stop)))
            .exitCode,
        130);
    const auto json =
        test::RunCommand(run(find + "--json --resume " + cp + " --save-result " + file("found-resumed.kvr_scn")));
    EXPECT_EQ(json.exitCode, 0) << json.err;
    EXPECT_EQ(json.out, whole.out);
    EXPECT_EQ(test::ReadAll(dir_->path() / "found-resumed.kvr_scn"), wholeResult);
    EXPECT_EQ(test::RunCommand(run(find + "--resume " + cp)).out, wholeText.out);
  }
  // A sweep's checkpoint is not a search's, and the other modes take none.
  ASSERT_EQ(test::RunCommand(run("rawscan --checkpoint " + file("sweep-for-search") + " --stop-at 1000")).exitCode,
            130);
  EXPECT_EQ(test::RunCommand(run(find + "--resume " + file("sweep-for-search"))).exitCode, 2);
  EXPECT_EQ(test::RunCommand(run("find-parts --checkpoint " + file("cylinder.checkpoint"))).exitCode, 2);
}

// carve taken up from a checkpoint saves the same files as a carve never stopped.
TEST_F(ResumeDisk, ResumedCarveSavesTheSameFiles) {
  const auto whole = test::RunCommand(run("carve --to " + file("whole")));
  ASSERT_EQ(whole.exitCode, 0) << whole.err;
  const std::string cp = file("carve.checkpoint");
  ASSERT_EQ(
      test::RunCommand(run("carve --to " + file("unused") + " --checkpoint " + cp + " --stop-at 1500000")).exitCode,
      130);
  const auto resumed = test::RunCommand(run("carve --to " + file("resumed") + " --resume " + cp));
  ASSERT_EQ(resumed.exitCode, 0) << resumed.err;
  const auto a = test::Sha256Tree(dir_->path() / "whole");
  EXPECT_GT(a.size(), 40u);
  EXPECT_EQ(test::Sha256Tree(dir_->path() / "resumed"), a);
}

// On a disk with unreadable sectors the resumed sweep reads and reports
// them as the sweep never stopped does, stops inside a long bad stretch
// (which the reading passes over in growing steps) included.
TEST_F(ResumeDisk, ResumedSweepReportsTheSameUnreadableSectors) {
  if (!test::FaultyMount::Available()) GTEST_SKIP() << "no /dev/fuse on this machine";
  const auto bytes = test::LoadImage(test::FixturesDir() / "carve/carve-disk.img.gz");
  ASSERT_TRUE(bytes);
  const auto image = dir_->path() / "carve.img";
  std::ofstream(image, std::ios::binary).write(reinterpret_cast<const char*>(bytes->data()), bytes->size());
  test::FaultyMount mount(image, "4500,7000-7100,20479-20481,30000-61000,81919");
  ASSERT_TRUE(mount.ok()) << mount.error();
  const auto whole = test::RunCommand(run("rawscan --json", mount.path()));
  ASSERT_EQ(whole.exitCode, 6) << whole.err;
  for (const uint64_t stop : {4501u, 20480u, 33333u, 60000u, 90000u}) {
    SCOPED_TRACE(stop);
    const std::string cp = file("faulty.checkpoint");
    ASSERT_EQ(test::RunCommand(run("rawscan --checkpoint " + cp + " --stop-at " + std::to_string(stop), mount.path()))
                  .exitCode,
              130);
    const auto resumed = test::RunCommand(run("rawscan --json --resume " + cp, mount.path()));
    EXPECT_EQ(resumed.exitCode, 6);
    EXPECT_EQ(resumed.out, whole.out);
  }
}

// A checkpoint is taken up only by a sweep of the same source, range and
// options; anything else is refused before sweeping (exit 2), and so is a
// checkpoint cut short. The checkpoint cannot be written onto the source.
TEST_F(ResumeDisk, CheckpointOfAnotherSweepIsRefused) {
  const std::string cp = file("refused.checkpoint");
  ASSERT_EQ(test::RunCommand(run("rawscan --checkpoint " + cp + " --stop-at 300000")).exitCode, 130);
  std::filesystem::create_directories(dir_->path() / "other");
  const auto copy = dir_->path() / "other" / "copy.img";
  std::filesystem::create_symlink(image_, copy);  // the same bytes under another disk name
  const std::string bytes = test::ReadAll(dir_->path() / "refused.checkpoint");
  {
    std::ofstream cut(dir_->path() / "cut.checkpoint", std::ios::binary);
    cut << bytes.substr(0, bytes.size() - 30);
  }
  const struct {
    std::string args;
    std::filesystem::path image;
    const char* says;
  } cases[] = {
      {"rawscan --resume " + cp, copy, "不是该磁盘的信息"},
      {"rawscan --resume " + cp + " --sector-size 4096", image_, "another set of options"},
      {"rawscan --resume " + cp + " --part 0", image_, "no partition"},
      {"rawscan --resume " + file("cut.checkpoint"), image_, "damaged checkpoint"},
      {"rawscan --resume " + file("whole.missing"), image_, "cannot resume"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    const auto r = test::RunCommand(run(c.args, c.image));
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.empty());
  }
  EXPECT_EQ(test::RunCommand(run("rawscan --checkpoint " + ShellQuote(image_.string()))).exitCode, 5);
}

}  // namespace
}  // namespace orvaldi
