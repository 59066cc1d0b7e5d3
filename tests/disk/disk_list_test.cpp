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

TEST(PartitionInfo, DefaultsOfANewRecord) {
  const PartitionInfo p;
  EXPECT_EQ(p.tableKind, 1);
  EXPECT_EQ(p.bytesPerSector, 512u);
  EXPECT_EQ(p.stripeSectors, 128);
  EXPECT_EQ(p.typeByte, 0);
  EXPECT_EQ(p.origin, 0u);
  EXPECT_EQ(p.volumeKind, 0);
  EXPECT_EQ(p.clusterZeroSector, 0u);
  EXPECT_TRUE(p.name.empty() && p.volumeLabel.empty() && p.members.empty());
  const DiskInfo d;
  EXPECT_EQ(d.bytesPerSector, 512u);
  EXPECT_EQ(d.sizeBytes, 0);
  EXPECT_EQ(d.diskKind, 0u);
}

TEST(CarvedNode, FirstRecordUnderASectorStays) {
  CarvedNode folder;
  folder.name = kExtraFoundFolderName;
  folder.children.try_emplace(100, CarvedNode{0, 10, "a.jpg", {}});
  folder.children.try_emplace(100, CarvedNode{0, 20, "b.pdf", {}});
  folder.children.try_emplace(50, CarvedNode{0, 30, "c.zip", {}});
  ASSERT_EQ(folder.children.size(), 2u);
  EXPECT_EQ(folder.children.at(100).name, "a.jpg");
  EXPECT_EQ(folder.children.begin()->first, 50u);
}

}  // namespace
}  // namespace orvaldi::disk
