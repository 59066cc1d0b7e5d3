// Image files joining the disk list.
#include <gtest/gtest.h>

#include "disk/disk_list.h"
#include "support/test_images.h"

namespace orvaldi::disk {
namespace {

TEST(OpenImageFile, AppendsRecordNamedByFileWithSyntheticGeometry) {
  test::TempDir dir;
  const uint64_t size = 255ull * 63 * 512 * 3 + 4096;  // a bit over three cylinders
  const auto path = dir.write("disk.img", std::vector<uint8_t>(size));
  const size_t before = DiskList().size();
  ASSERT_EQ(OpenImageFile(path.string()), 1);
  ASSERT_EQ(DiskList().size(), before + 1);
  const DiskInfo& d = DiskList().back();
  EXPECT_EQ(d.devicePath, path.string());
  EXPECT_EQ(d.vendorId, "disk.img");
  EXPECT_EQ(DisplayName(d), "disk.img");
  EXPECT_EQ(d.index, "");
  EXPECT_EQ(d.sizeBytes, static_cast<int64_t>(size));
  EXPECT_EQ(d.tracksPerCylinder, 255u);
  EXPECT_EQ(d.sectorsPerTrack, 63u);
  EXPECT_EQ(d.cylinders, 3u);
  EXPECT_EQ(d.bytesPerSector, 512u);
  EXPECT_EQ(d.extraFoundFolder.children.size(), 0u);

  // Records already handed out stay put while more disks join.
  const DiskInfo* first = &DiskList().back();
  for (int i = 0; i < 50; ++i) ASSERT_EQ(OpenImageFile(path.string()), 1);
  EXPECT_EQ(first->devicePath, path.string());
}

TEST(OpenImageFile, EmptyImageAndFailures) {
  test::TempDir dir;
  const auto empty = dir.write("empty.img", {});
  ASSERT_EQ(OpenImageFile(empty.string()), 1);
  EXPECT_EQ(DiskList().back().cylinders, 0u);
  EXPECT_TRUE(DiskList().back().partitions.empty());

  const size_t before = DiskList().size();
  std::string error;
  EXPECT_EQ(OpenImageFile((dir.path() / "missing.img").string(), &error), 0);
  EXPECT_EQ(DiskList().size(), before);
  EXPECT_NE(error.find("No such file"), std::string::npos);
  EXPECT_EQ(OpenImageFile(dir.path().string(), &error), 0);
  EXPECT_NE(error.find("not a regular file or block device"), std::string::npos);
}

TEST(DescribeSource, BackslashPathsNameTheFileToo) {
  test::TempDir dir;
  const auto path = dir.write("back\\slash.img", std::vector<uint8_t>(512));
  auto d = DescribeSource(path.string());
  ASSERT_TRUE(d);
  EXPECT_EQ(d->vendorId, "slash.img");
}

}  // namespace
}  // namespace orvaldi::disk
