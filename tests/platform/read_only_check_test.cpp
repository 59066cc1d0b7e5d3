// The read-only tripwire: each writer aborts on a source however it is named,
// the partition-table tools alone may update one, and new files pass.
#include "platform/read_only_check.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/file_target.h"
#include "platform/sector_source.h"
#include "platform/update_file.h"
#include "support/test_images.h"

namespace orvaldi::platform {
namespace {

namespace fs = std::filesystem;

// The check reads its switch once per process: each death test runs in a
// fresh copy of this binary (the "threadsafe" style re-executes it), which
// sees the variable set here before anything asks.
class ReadOnlyCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ::setenv("ORVALDI_CHECK_READ_ONLY", "1", 1);
    image_ = dir_.write("disk.img", std::vector<uint8_t>(4096, 7));
    fs::create_hard_link(image_, dir_.path() / "link.img");
    fs::create_symlink(image_, dir_.path() / "sym.img");
    fs::create_directory(dir_.path() / "sub");
  }
  void TearDown() override { ::unsetenv("ORVALDI_CHECK_READ_ONLY"); }

  // Opens the image as a source, then runs `write`.
  void openThen(const std::function<void()>& write) {
    auto opened = FileSource::open(image_.string());
    ASSERT_TRUE(opened.source) << opened.message;
    write();
  }

  test::TempDir dir_;
  fs::path image_;
};

TEST_F(ReadOnlyCheck, EveryWriterAbortsOnTheSourceHoweverNamed) {
  const std::string base = dir_.path().string();
  const std::vector<std::string> names = {image_.string(), base + "/link.img", base + "/sym.img",
                                          base + "/sub/../disk.img"};
  const std::vector<uint8_t> bytes(512, 0);
  for (const std::string& name : names) {
    EXPECT_DEATH(openThen([&] { FileTarget::open(name, TargetOpen::kReplace); }), "read-only check.*image") << name;
    EXPECT_DEATH(openThen([&] { FileTarget::open(name, TargetOpen::kKeep); }), "read-only check") << name;
    EXPECT_DEATH(openThen([&] { ReplaceFile(name, bytes); }), "read-only check.*tree, checkpoint") << name;
    EXPECT_DEATH(openThen([&] { UpdateFile::OpenForUpdate(name, SourceWrite::kNever); }), "read-only check") << name;
  }
  // The temporary file of a replacement is removed first: a source there is hit too.
  fs::create_hard_link(image_, dir_.path() / "beside.new");
  EXPECT_DEATH(openThen([&] { ReplaceFile(base + "/beside", bytes); }), "read-only check.*beside.new");
  EXPECT_TRUE(fs::exists(dir_.path() / "beside.new"));
}

TEST_F(ReadOnlyCheck, OnlyThePartitionTableToolsAndNewFilesPass) {
  openThen([&] {
    EXPECT_TRUE(UpdateFile::OpenForUpdate((dir_.path() / "link.img").string(), SourceWrite::kPartitionTableTools).file);
    EXPECT_TRUE(FileTarget::open((dir_.path() / "copy.img").string(), TargetOpen::kReplace).target);
    EXPECT_EQ(ReplaceFile((dir_.path() / "tree").string(), std::vector<uint8_t>(8, 1)), 0);
    // A file that is no source may be written in place however often.
    EXPECT_TRUE(FileTarget::open((dir_.path() / "copy.img").string(), TargetOpen::kKeep).target);
  });
  // The permit is the partition-table tools' own: another writer cannot use it.
  EXPECT_DEATH(
      openThen([&] { CheckWriteOpen(image_.string(), Writer::kScanResult, SourceWrite::kPartitionTableTools); }),
      "scan-result");
}

}  // namespace
}  // namespace orvaldi::platform
