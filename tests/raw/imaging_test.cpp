// Imaging through sources that fail or hang at chosen sectors.
#include "raw/imaging.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "support/test_images.h"

namespace orvaldi::raw {
namespace {

using std::chrono::milliseconds;

// Bytes in memory with sectors that fail with EIO (the bytes before them
// arrive) or that take `delay` to read. Counts reads.
class TestSource final : public platform::SectorSource {
 public:
  TestSource(std::vector<uint8_t> bytes, std::set<uint64_t> bad, std::set<uint64_t> slow = {}, milliseconds delay = {})
      : memory_(std::move(bytes)), faulty_(memory_, std::move(bad)), slow_(std::move(slow)), delay_(delay) {}
  platform::ReadOutcome readAt(uint64_t offset, std::span<uint8_t> out) override {
    const uint64_t first = offset / 512, last = (offset + out.size() - 1) / 512;
    if (auto s = slow_.lower_bound(first); s != slow_.end() && *s <= last) std::this_thread::sleep_for(delay_);
    return faulty_.readAt(offset, out);
  }
  uint64_t size() const override { return faulty_.size(); }
  uint64_t reads() const { return faulty_.readCalls(); }

 private:
  platform::MemorySource memory_;
  platform::FaultySource faulty_;
  std::set<uint64_t> slow_;
  milliseconds delay_;
};

using test::MemoryTarget;

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 512);
  return bytes;
}

// Stops the copy once `after` positions were reported.
class StopAfter final : public platform::ProgressSink {
 public:
  StopAfter(platform::ProgressBlock& block, int after) : block_(block), left_(after) {}
  void beginStage(int64_t, int64_t) override {}
  void step() override {}
  void setPosition(uint64_t) override {
    if (--left_ == 0) block_.requestCancel();
  }

 private:
  platform::ProgressBlock& block_;
  int left_;
};

TEST(Imaging, CopiesAroundBadAndHangingSectors) {
  constexpr uint64_t kMiB = 1 << 20;
  struct Case {
    const char* name;
    uint64_t size;
    uint64_t startSector;
    std::set<uint64_t> bad, slow;
    std::vector<uint64_t> listed;  // absolute sector numbers
    uint64_t reads;                // 0: not checked
  };
  const Case cases[] = {
      {"one block and one sector", kMiB + 512, 0, {}, {}, {}, 2},
      {"one bad sector in a block", 2 * kMiB, 0, {1500}, {}, {1500}, 0},
      {"a hanging sector counts as bad", kMiB + 4096, 0, {}, {700, 2050}, {700, 2050}, 0},
      {"a start sector copies from there", 2 * kMiB + 1024, 3, {2, 4, 2100}, {}, {4, 2100}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<uint8_t> bytes = Pattern(c.size);
    auto source = std::make_shared<TestSource>(bytes, c.bad, c.slow, milliseconds(400));
    MemoryTarget target;
    platform::ProgressBlock progress;
    ImagingJob job;
    job.sourceOffset = c.startSector * 512;
    job.length = c.size - job.sourceOffset;
    job.limits = {milliseconds(100), milliseconds(50), 8};
    const ImagingResult r = CopyImage(source, target, job, progress);
    EXPECT_EQ(r.status, ImagingStatus::kDone);
    EXPECT_EQ(r.badSectors, c.listed);
    EXPECT_EQ(r.sectorsCopied, job.length / 512 - c.listed.size());
    if (c.reads) {
      EXPECT_EQ(source->reads(), c.reads);
    }
    ASSERT_EQ(target.data.size(), job.length);
    std::vector<uint8_t> expected(bytes.begin() + static_cast<ptrdiff_t>(job.sourceOffset), bytes.end());
    for (const uint64_t s : c.listed) std::memset(expected.data() + (s - c.startSector) * 512, 0x20, 512);
    EXPECT_TRUE(target.data == expected);
    EXPECT_EQ(r.map.bytesIn(MapStatus::kBadSector), c.listed.size() * 512);
    EXPECT_EQ(r.map.bytesIn(MapStatus::kFinished), job.length - c.listed.size() * 512);
  }
}

// Stop ends the copy between blocks; the map it leaves lets a second run
// read only the rest, and the two runs together make the whole image.
TEST(Imaging, StopKeepsAMapThatResumes) {
  const std::vector<uint8_t> bytes = Pattern(5 << 20);
  auto source = std::make_shared<TestSource>(bytes, std::set<uint64_t>{5000});
  MemoryTarget target;
  platform::ProgressBlock progress;
  StopAfter stop(progress, 2);
  progress.setSink(&stop);
  ImagingJob job;
  job.length = bytes.size();
  ImagingResult first = CopyImage(source, target, job, progress);
  ASSERT_EQ(first.status, ImagingStatus::kStopped);
  EXPECT_EQ(first.map.bytesIn(MapStatus::kFinished), 2u << 20);
  EXPECT_TRUE(first.badSectors.empty());

  // Whatever the first run wrote is not read again.
  std::memset(target.data.data(), 0xAB, 1 << 20);
  platform::ProgressBlock again;
  job.resume = first.map;
  const uint64_t readsBefore = source->reads();
  const ImagingResult second = CopyImage(source, target, job, again);
  ASSERT_EQ(second.status, ImagingStatus::kDone);
  EXPECT_EQ(second.badSectors, std::vector<uint64_t>{5000});
  EXPECT_EQ(second.map.bytesIn(MapStatus::kFinished), bytes.size() - 512);
  EXPECT_LT(source->reads() - readsBefore, 2100u);  // three blocks, one of them sector by sector
  EXPECT_EQ(target.data[0], 0xAB);
  EXPECT_TRUE(std::equal(bytes.begin() + (1 << 20), bytes.begin() + 5000 * 512, target.data.begin() + (1 << 20)));
  EXPECT_EQ(target.data[5000 * 512], 0x20);

  // A map of another length is refused before anything is read.
  job.resume = RescueMap(bytes.size() - 512);
  EXPECT_EQ(CopyImage(source, target, job, again).status, ImagingStatus::kBadJob);
}

TEST(Imaging, TargetWriteFailureStops) {
  const std::vector<uint8_t> bytes = Pattern(3 << 20);
  auto source = std::make_shared<TestSource>(bytes, std::set<uint64_t>{});
  MemoryTarget target;
  target.failFrom = (1 << 20) + 4096;
  platform::ProgressBlock progress;
  ImagingJob job;
  job.length = bytes.size();
  const ImagingResult r = CopyImage(source, target, job, progress);
  EXPECT_EQ(r.status, ImagingStatus::kTargetFailed);
  EXPECT_EQ(r.targetError, EIO);
  EXPECT_EQ(r.map.bytesIn(MapStatus::kFinished), 1u << 20);
}

// A disk of 4,096-byte sectors fails in whole ones: each bad area is
// narrowed down to its 4 KiB sectors (not to 512-byte pieces), listed by its
// logical sector number, filled and marked in whole sectors, and the map says
// so to ddrescuelog in 4 KiB blocks as well as in 512-byte ones.
TEST(Imaging, NarrowsBadAreasToLogicalSectorsOfLargeSectorDisks) {
  constexpr uint32_t kLarge = 4096;
  const std::vector<uint8_t> bytes = Pattern((3 << 20) + 3 * kLarge);  // three blocks and a tail of three sectors
  const std::set<uint64_t> bad = {100, 300, 301, 768 + 1};             // 4 KiB sectors; the last one in the tail
  platform::MemorySource memory(bytes);
  auto source = std::make_shared<platform::FaultySource>(memory, bad, kLarge);
  MemoryTarget target;
  platform::ProgressBlock progress;
  ImagingJob job;
  job.length = bytes.size();
  job.sectorSize = kLarge;
  const ImagingResult r = CopyImage(source, target, job, progress);
  ASSERT_EQ(r.status, ImagingStatus::kDone);
  EXPECT_EQ(r.sectorSize, kLarge);
  EXPECT_EQ(r.badSectors, (std::vector<uint64_t>(bad.begin(), bad.end())));
  EXPECT_EQ(r.sectorsCopied, bytes.size() / kLarge - bad.size());
  // A bad block costs its block read, one read per bad sector and one for
  // the good rest behind it; the good tail sectors cost one each.
  EXPECT_LE(source->readCalls(), 3u + 2 * 3 + 3);
  std::vector<uint8_t> expected = bytes;
  for (const uint64_t s : bad) std::memset(expected.data() + s * kLarge, 0x20, kLarge);
  EXPECT_TRUE(target.data == expected);
  EXPECT_EQ(r.map.bytesIn(MapStatus::kBadSector), bad.size() * kLarge);

  // A start that is not on a logical sector's boundary cannot be copied in whole sectors.
  job.sourceOffset = 512;
  job.length = bytes.size() - 512;
  EXPECT_EQ(CopyImage(source, target, job, progress).status, ImagingStatus::kBadJob);

  if (std::system("command -v ddrescuelog >/dev/null 2>&1") != 0) GTEST_SKIP() << "ddrescuelog not installed";
  test::TempDir dir;
  const std::string map = (dir.path() / "disk.map").string();
  std::ofstream(map) << r.map.format(bytes.size(), '+', "test");
  const auto large = test::RunCommand("ddrescuelog -b 4096 --list-blocks=- " + map);
  ASSERT_EQ(large.exitCode, 0) << large.err;
  EXPECT_EQ(large.out, "100\n300\n301\n769\n");
  const auto small = test::RunCommand("ddrescuelog -b 512 --list-blocks=- " + map + " | wc -l");
  EXPECT_EQ(small.out, std::to_string(bad.size() * 8) + "\n");
}

// A map written with 512-byte sectors may mark part of a 4 KiB sector as
// not tried: the copy reads that part alone and then goes on in whole,
// aligned sectors.
TEST(Imaging, ResumesAMapWhoseAreasSplitALogicalSector) {
  constexpr uint32_t kLarge = 4096;
  const std::vector<uint8_t> bytes = Pattern(16 * kLarge);
  platform::MemorySource memory(bytes);
  auto source = std::make_shared<platform::FaultySource>(memory, std::set<uint64_t>{5}, kLarge);
  RescueMap earlier(bytes.size());
  earlier.mark(0, bytes.size(), MapStatus::kFinished);
  earlier.mark(3 * kLarge + 1536, 3 * kLarge, MapStatus::kNonTried);  // 3.375 .. 6.375 sectors
  MemoryTarget target;
  target.data.assign(bytes.size(), 0xAB);
  platform::ProgressBlock progress;
  ImagingJob job;
  job.length = bytes.size();
  job.sectorSize = kLarge;
  job.resume = earlier;
  const ImagingResult r = CopyImage(source, target, job, progress);
  ASSERT_EQ(r.status, ImagingStatus::kDone);
  EXPECT_EQ(r.badSectors, std::vector<uint64_t>{5});
  EXPECT_EQ(r.map.bytesIn(MapStatus::kBadSector), kLarge);
  EXPECT_EQ(r.map.bytesIn(MapStatus::kFinished), bytes.size() - kLarge);
  EXPECT_TRUE(std::equal(bytes.begin() + 3 * kLarge + 1536, bytes.begin() + 5 * kLarge,
                         target.data.begin() + 3 * kLarge + 1536));
  EXPECT_EQ(target.data[3 * kLarge + 1535], 0xAB);  // outside the area: left alone
  EXPECT_EQ(target.data[5 * kLarge], 0x20);
  EXPECT_EQ(target.data[6 * kLarge + 1535], bytes[6 * kLarge + 1535]);
}

}  // namespace
}  // namespace orvaldi::raw
