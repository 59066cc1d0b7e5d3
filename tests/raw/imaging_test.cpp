// Imaging through sources that fail or hang at chosen sectors.
#include "raw/imaging.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
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

}  // namespace
}  // namespace orvaldi::raw
