// The imaging and free-space operations as the command line and the dialogs
// call them: refusals before anything is written, and a resumed copy.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "ops/free_space_job.h"
#include "ops/imaging_job.h"
#include "support/test_images.h"

namespace orvaldi::ops {
namespace {

namespace fs = std::filesystem;

std::string Write(const fs::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return path.string();
}

std::vector<uint8_t> Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

TEST(Jobs, RefusalsComeBeforeAnythingIsWritten) {
  const fs::path dir = fs::path(testing::TempDir()) / "jobs-refusals";
  fs::create_directories(dir);
  const std::string source = Write(dir / "disk.img", std::vector<uint8_t>(64 * 512, 0x5A));
  const std::string map = (dir / "copy.map").string();
  std::ofstream(map) << "# not a map\n0x0 ?\nbroken\n";
  struct Case {
    const char* name;
    ImagingRequest request;
    platform::Status status;
    RefusalKind refused;
  };
  const Case cases[] = {
      {"the source as target", {.source = source, .target = source}, platform::Status::kRefused, RefusalKind::kTarget},
      {"the map as target",
       {.source = source, .target = (dir / "out.img").string(), .mapfile = (dir / "out.img").string()},
       platform::Status::kRefused,
       RefusalKind::kTarget},
      {"start beyond the source",
       {.source = source, .target = (dir / "out.img").string(), .startSector = 65},
       platform::Status::kRefused,
       RefusalKind::kRequest},
      {"partition beyond the source",
       {.source = source, .partition = ImagedPartition{"1", 100, 10}, .target = (dir / "out.img").string()},
       platform::Status::kRefused,
       RefusalKind::kVolume},
      {"a map that does not parse",
       {.source = source, .target = (dir / "out.img").string(), .mapfile = map},
       platform::Status::kRefused,
       RefusalKind::kRequest},
      {"a start inside a 4 KiB sector",
       {.source = source, .target = (dir / "out.img").string(), .startSector = 4, .sectorSize = 4096},
       platform::Status::kRefused,
       RefusalKind::kRequest},
      {"a sector size that is none",
       {.source = source, .target = (dir / "out.img").string(), .sectorSize = 3000},
       platform::Status::kRefused,
       RefusalKind::kRequest},
      {"a source that does not open",
       {.source = (dir / "absent.img").string(), .target = (dir / "out.img").string()},
       platform::Status::kFailed,
       RefusalKind::kNone},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(dir / "out.img");
    const PreparedImaging p = PrepareImaging(c.request);
    EXPECT_EQ(p.status, c.status) << p.message;
    EXPECT_EQ(p.refused, c.refused);
    EXPECT_FALSE(p.message.empty());
    EXPECT_FALSE(fs::exists(dir / "out.img"));
  }
  EXPECT_EQ(Read(source), std::vector<uint8_t>(64 * 512, 0x5A));

  // Free space refuses the source as its target, and a volume it does not read.
  platform::ProgressBlock progress;
  FreeSpaceOutcome onSource =
      ExtractPartitionFreeSpace({.source = source, .partitionName = "0", .target = source}, progress);
  EXPECT_EQ(onSource.status, platform::Status::kRefused);
  EXPECT_EQ(onSource.refused, RefusalKind::kTarget);
  FreeSpaceOutcome notFat = ExtractPartitionFreeSpace(
      {.source = source, .partitionName = "0", .target = (dir / "free.bin").string()}, progress);
  EXPECT_EQ(notFat.status, platform::Status::kRefused);
  EXPECT_EQ(notFat.refused, RefusalKind::kVolume);
  EXPECT_EQ(notFat.message, "partition 0: not a FAT16, FAT32 or NTFS volume");
}

TEST(Jobs, AResumedCopyReadsOnlyWhatTheMapLeftOpen) {
  const fs::path dir = fs::path(testing::TempDir()) / "jobs-resume";
  fs::create_directories(dir);
  std::vector<uint8_t> disk(32 * 512);
  for (size_t i = 0; i < disk.size(); ++i) disk[i] = static_cast<uint8_t>(i / 512 + 1);
  const std::string source = Write(dir / "disk.img", disk);
  const std::string target = (dir / "out.img").string();
  const std::string map = (dir / "out.map").string();
  fs::remove(map);
  platform::ProgressBlock progress;
  ImagingRequest request{.source = source, .target = target, .mapfile = map, .commandLine = "test"};
  PreparedImaging first = PrepareImaging(request);
  ASSERT_EQ(first.status, platform::Status::kOk) << first.message;
  const ImagingOutcome done = RunImaging(first, progress);
  EXPECT_EQ(done.status, platform::Status::kOk) << done.message;
  EXPECT_TRUE(done.copyFinished);
  EXPECT_EQ(Read(target), disk);
  // A second run over a finished map reads nothing and keeps the image.
  PreparedImaging second = PrepareImaging(request);
  ASSERT_EQ(second.status, platform::Status::kOk) << second.message;
  ASSERT_TRUE(second.job.resume);
  const ImagingOutcome again = RunImaging(second, progress);
  EXPECT_EQ(again.status, platform::Status::kOk) << again.message;
  EXPECT_EQ(again.result.sectorsCopied, 0u);
  EXPECT_EQ(Read(target), disk);
}

}  // namespace
}  // namespace orvaldi::ops
