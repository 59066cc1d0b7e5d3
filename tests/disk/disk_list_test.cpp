// Image files joining the disk list.
#include <gtest/gtest.h>

#include "disk/disk_list.h"
#include "support/test_images.h"

namespace orvaldi::disk {
namespace {

// The name and the 255/63 geometry of an image are the golden outputs' (demo disk).
TEST(OpenImageFile, CylindersRoundDownAndRecordsStayPutAsTheListGrows) {
  test::TempDir dir;
  const uint64_t size = 255ull * 63 * 512 * 3 + 4096;  // a bit over three cylinders
  const auto path = dir.write("disk.img", std::vector<uint8_t>(size));
  ASSERT_EQ(OpenImageFile(path.string()), 1);
  const DiskInfo* first = &DiskList().back();
  EXPECT_EQ(first->sizeBytes, static_cast<int64_t>(size));
  EXPECT_EQ(first->cylinders, 3u);
  for (int i = 0; i < 50; ++i) ASSERT_EQ(OpenImageFile(path.string()), 1);
  EXPECT_EQ(first->devicePath, path.string());

  const auto empty = dir.write("empty.img", {});
  ASSERT_EQ(OpenImageFile(empty.string()), 1);
  EXPECT_EQ(DiskList().back().cylinders, 0u);
  EXPECT_TRUE(DiskList().back().partitions.empty());
}

// Closing an image erases its record; windows and scans of the other disks
// hold references to theirs, which must not move.
TEST(DiskInfoList, ErasingARecordLeavesTheOthersInPlace) {
  DiskInfoList disks;
  for (const char* name : {"a.img", "b.img", "c.img", "d.img"}) {
    disks.emplace_back().vendorId = name;
    disks.back().partitions.emplace_back().name = std::string("Partition0 of ") + name;
  }
  const DiskInfo* first = &disks.front();
  const DiskInfo* last = &disks.back();
  const PartitionInfo* lastPartition = &last->partitions.front();
  disks.erase(std::next(disks.begin(), 2));  // near the end, where a deque moves the later records up
  ASSERT_EQ(disks.size(), 3u);
  EXPECT_EQ(&disks.front(), first);
  EXPECT_EQ(&disks.back(), last);
  EXPECT_EQ(&disks.back().partitions.front(), lastPartition);
  EXPECT_EQ(lastPartition->name, "Partition0 of d.img");
}

TEST(OpenImageFile, MissingFilesAndFoldersAreRefusedWithTheirReason) {
  test::TempDir dir;
  const size_t before = DiskList().size();
  std::string error;
  EXPECT_EQ(OpenImageFile((dir.path() / "missing.img").string(), &error), 0);
  EXPECT_EQ(DiskList().size(), before);
  EXPECT_NE(error.find("No such file"), std::string::npos);
  EXPECT_EQ(OpenImageFile(dir.path().string(), &error), 0);
  EXPECT_NE(error.find("not a regular file or block device"), std::string::npos);

  const auto path = dir.write("back\\slash.img", std::vector<uint8_t>(512));
  auto d = DescribeSource(path.string());
  ASSERT_TRUE(d);
  EXPECT_EQ(d->vendorId, "slash.img");  // a backslash names the file too
}

}  // namespace
}  // namespace orvaldi::disk
