// File, memory and faulty sources, and the sector-level reads built on them.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <filesystem>
#include <fstream>
#include <numeric>

#include "disk/sector_io.h"
#include "platform/sector_source.h"
#include "support/test_images.h"

namespace orvaldi {
namespace {

using platform::FaultySource;
using platform::FileSource;
using platform::MemorySource;
constexpr disk::VolumeKind kStriped = disk::VolumeKind::kStriped;

std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + i / 512);
  return b;
}

TEST(FileSource, ReadsAtOffsetsAndStopsAtTheEnd) {
  test::TempDir dir;
  const auto bytes = Pattern(3 * 512 + 100);  // a partial last sector
  const auto path = dir.write("img.img", bytes);
  auto opened = FileSource::open(path.string());
  ASSERT_TRUE(opened.source) << opened.message;

  // ReadSectors zero-fills what lies past the end and says it was short.
  std::vector<uint8_t> buf(2 * 512, 0xCC);
  auto r = disk::ReadSectors(*opened.source, 2, 2, buf.data());
  EXPECT_FALSE(r.complete);
  EXPECT_EQ(r.bytes, 612u);
  EXPECT_EQ(r.error, 0);
  EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 612, bytes.begin() + 1024));
  EXPECT_TRUE(std::all_of(buf.begin() + 612, buf.end(), [](uint8_t b) { return b == 0; }));

  // Far past the end (64-bit offset) reads nothing and leaves zeros.
  r = disk::ReadSectors(*opened.source, 1ull << 40, 1, buf.data());
  EXPECT_FALSE(r.complete);
  EXPECT_EQ(r.bytes, 0u);
  EXPECT_TRUE(std::all_of(buf.begin(), buf.begin() + 512, [](uint8_t b) { return b == 0; }));
}

TEST(FileSource, RefusesMissingFilesAndNeverWrites) {
  test::TempDir dir;
  auto missing = FileSource::open((dir.path() / "nope.img").string());
  EXPECT_FALSE(missing.source);
  EXPECT_EQ(missing.error, ENOENT);
  EXPECT_NE(missing.message.find("nope.img"), std::string::npos);

  // A folder is refused with its reason: the disk list's test.

  // The descriptor is read-only: a write through it must fail.
  const auto path = dir.write("ro.img", Pattern(512));
  auto opened = FileSource::open(path.string());
  ASSERT_TRUE(opened.source);
  EXPECT_LT(::write(opened.source->fd(), "x", 1), 0);
  EXPECT_EQ(errno, EBADF);
}

TEST(FileSource, KnowsTheHolesOfASparseFileAndOtherSourcesKnowNone) {
  test::TempDir dir;
  const auto path = dir.path() / "sparse.img";
  constexpr uint64_t kMiB = 1 << 20;
  {
    std::ofstream out(path, std::ios::binary);
    const std::vector<uint8_t> block = Pattern(4096);
    out.write(reinterpret_cast<const char*>(block.data()), 4096);
    out.seekp(kMiB);
    out.write(reinterpret_cast<const char*>(block.data()), 4096);
  }
  std::filesystem::resize_file(path, 4 * kMiB);
  auto opened = FileSource::open(path.string());
  ASSERT_TRUE(opened.source);
  const FileSource& file = *opened.source;
  if (file.nextDataAt(8192) == 8192) GTEST_SKIP() << "the temporary folder's file system keeps no holes";
  struct Case {
    uint64_t offset, next;
  };
  for (const Case c : {Case{0, 0}, Case{4095, 4095}, Case{8192, kMiB}, Case{kMiB + 100, kMiB + 100},
                       Case{kMiB + 8192, 4 * kMiB},  // a hole up to the end
                       Case{4 * kMiB, 4 * kMiB}, Case{~0ull, ~0ull}})
    EXPECT_EQ(file.nextDataAt(c.offset), c.next) << c.offset;
  // Holes read as zeros whichever way they are read.
  std::vector<uint8_t> buf(4096, 0xCC);
  EXPECT_EQ(opened.source->readAt(2 * kMiB, buf).bytes, 4096u);
  EXPECT_TRUE(std::all_of(buf.begin(), buf.end(), [](uint8_t b) { return b == 0; }));

  // A memory source, and a faulty one over the file: a hole there would hide a bad sector.
  MemorySource mem(std::vector<uint8_t>(8192));
  FaultySource faulty(*opened.source, {5000});
  for (const platform::SectorSource* source :
       {static_cast<const platform::SectorSource*>(&mem), static_cast<const platform::SectorSource*>(&faulty)})
    EXPECT_EQ(source->nextDataAt(8192), 8192u);
}

TEST(MemorySource, EmptyReadsAndReadsPastTheEnd) {
  MemorySource mem(Pattern(1000));
  EXPECT_EQ(mem.readAt(0, {}).bytes, 0u);  // an empty buffer may have no storage at all
  std::vector<uint8_t> buf(100);
  EXPECT_EQ(mem.readAt(950, buf).bytes, 50u);
  EXPECT_EQ(mem.readAt(1000, buf).bytes, 0u);
  EXPECT_EQ(mem.readAt(~0ull, buf).bytes, 0u);
}

TEST(FaultySource, DeliversBytesBeforeABadSectorThenFails) {
  MemorySource mem(Pattern(8 * 512));
  FaultySource faulty(mem, {3, 5});
  std::vector<uint8_t> buf(4 * 512, 0xCC);
  auto r = disk::ReadSectors(faulty, 1, 4, buf.data());  // sectors 1..4, 3 is bad
  EXPECT_FALSE(r.complete);
  EXPECT_EQ(r.bytes, 2u * 512);
  EXPECT_EQ(r.error, EIO);
  EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 1024, mem.bytes().begin() + 512));
  EXPECT_TRUE(std::all_of(buf.begin() + 1024, buf.end(), [](uint8_t b) { return b == 0; }));
  EXPECT_TRUE(disk::ReadSectors(faulty, 4, 1, buf.data()).complete);
}

TEST(ReadVolumeBytes, ReadsTheSourceAndZeroesWhatDidNotArrive) {
  MemorySource mem(Pattern(4 * 512));
  std::vector<uint8_t> buf(700, 0xCD);
  uint32_t got = 99;
  EXPECT_TRUE(disk::ReadVolumeBytes(mem, buf.data(), 700, got, 100));
  EXPECT_EQ(got, 700u);
  EXPECT_TRUE(std::equal(buf.begin(), buf.end(), mem.bytes().begin() + 100));
  std::fill(buf.begin(), buf.end(), 0xCD);
  EXPECT_FALSE(disk::ReadVolumeBytes(mem, buf.data(), 700, got, 4 * 512 - 10));
  EXPECT_EQ(got, 10u);
  EXPECT_EQ(buf[9], mem.bytes()[4 * 512 - 1]);
  EXPECT_EQ(buf[10], 0);
  EXPECT_EQ(buf[699], 0);
}

}  // namespace
}  // namespace orvaldi
