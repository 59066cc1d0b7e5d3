// Disk enumeration and mount points against a fake sysfs tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "disk/disk_list.h"
#include "disk/partition_table_tools.h"
#include "platform/block_devices.h"
#include "support/test_images.h"

namespace fs = std::filesystem;

namespace orvaldi {
namespace {

void WriteFile(const fs::path& p, const std::string& text) {
  fs::create_directories(p.parent_path());
  std::ofstream(p) << text;
}

// A little machine: sysfs, /dev and mountinfo under one temporary folder.
struct FakeSystem {
  test::TempDir dir;
  platform::SystemPaths paths;
  FakeSystem() {
    paths.sysBlock = (dir.path() / "sys/block").string();
    paths.sysDevBlock = (dir.path() / "sys/dev/block").string();
    paths.mountInfo = (dir.path() / "mountinfo").string();
    paths.devDir = (dir.path() / "dev").string();
    fs::create_directories(paths.sysBlock);
    fs::create_directories(paths.sysDevBlock);
    fs::create_directories(paths.devDir);
  }
  void addDisk(const std::string& name, uint64_t sectors, const std::string& vendor, const std::string& model,
               bool withDevNode = true, bool removable = false) {
    const fs::path d = fs::path(paths.sysBlock) / name;
    WriteFile(d / "size", std::to_string(sectors) + "\n");
    WriteFile(d / "removable", removable ? "1\n" : "0\n");
    WriteFile(d / "device/vendor", vendor + "   \n");
    WriteFile(d / "device/model", model + "\n");
    WriteFile(d / "device/rev", "1.0 \n");
    if (withDevNode) WriteFile(fs::path(paths.devDir) / name, "");
  }
  void addPartition(const std::string& disk, const std::string& part, const std::string& devno, uint64_t start) {
    const fs::path d = fs::path(paths.sysBlock) / disk / part;
    WriteFile(d / "partition", "1\n");
    WriteFile(d / "start", std::to_string(start) + "\n");
    fs::create_symlink(d, fs::path(paths.sysDevBlock) / devno);
  }
  void addWholeDevno(const std::string& disk, const std::string& devno) {
    fs::create_symlink(fs::path(paths.sysBlock) / disk, fs::path(paths.sysDevBlock) / devno);
  }
};

TEST(BlockDevices, WholeDiskNames) {
  for (const char* yes : {"sda", "sdab", "vda", "hdc", "xvdb", "nvme0n1", "nvme12n3", "mmcblk0"})
    EXPECT_TRUE(platform::IsWholeDiskName(yes)) << yes;
  for (const char* no : {"sda1", "nvme0n1p2", "nvme0", "mmcblk0p1", "mmcblk0boot0", "loop0", "zram0", "dm-0", "sr0",
                         "md127", "vd", "sd"})
    EXPECT_FALSE(platform::IsWholeDiskName(no)) << no;
}

TEST(BlockDevices, ListsWholeDisksInNameOrderKeepingNumbersOfSkippedOnes) {
  FakeSystem sys;
  sys.addDisk("sdb", 2048, "ATA", "Second");
  sys.addDisk("sda", 1000215216, "ATA", "Samsung SSD");
  sys.addDisk("sdc", 100, "ATA", "NoPermission", /*withDevNode=*/false);
  sys.addDisk("vda", 0, "0x1af4", "", true, /*removable=*/true);
  WriteFile(fs::path(sys.paths.sysBlock) / "loop0/size", "10\n");
  WriteFile(fs::path(sys.paths.sysBlock) / "sdb/queue/logical_block_size", "4096\n");  // a 4Kn disk

  const auto disks = platform::ListWholeDisks(sys.paths);
  ASSERT_EQ(disks.size(), 3u);
  // Trimmed sysfs texts make the name; no geometry ioctl on a plain file: 255 heads, 63 sectors per track.
  const disk::DiskInfo d = disk::DiskFromDevice(disks[0].number, disks[0].identity);
  EXPECT_EQ(disk::DisplayName(d), "ATASamsung SSD01.0");
  EXPECT_EQ(d.devicePath, sys.paths.devDir + "/sda");
  EXPECT_EQ(d.sizeBytes, 1000215216ll * 512);
  EXPECT_EQ(d.cylinders, 1000215216ull / (255 * 63));
  EXPECT_EQ(disks[1].identity.name, "sdb");
  // Its tables count in the kernel's logical blocks; sda says nothing and keeps 512.
  EXPECT_EQ(disk::DiskFromDevice(disks[1].number, disks[1].identity).bytesPerSector, 4096u);
  EXPECT_EQ(d.bytesPerSector, 512u);
  // sdc could not be opened: left out, and vda keeps number 3.
  EXPECT_EQ(disks[2].number, 3);
  EXPECT_EQ(disks[2].identity.name, "vda");
  EXPECT_TRUE(disks[2].identity.removable);

  // Never more than sixteen disks.
  FakeSystem crowded;
  for (char c = 'a'; c <= 'r'; ++c) crowded.addDisk(std::string("sd") + c, 100, "V", "M");
  const auto many = platform::ListWholeDisks(crowded.paths);
  ASSERT_EQ(many.size(), 16u);
  EXPECT_EQ(many.back().identity.name, "sdp");
  EXPECT_EQ(many.back().number, 15);
}

TEST(BlockDevices, MountPointsMatchPartitionsByDiskAndStartSector) {
  FakeSystem sys;
  sys.addDisk("sda", 100000, "ATA", "A");
  sys.addDisk("sdb", 100000, "ATA", "B");
  sys.addPartition("sda", "sda1", "8:1", 2048);
  sys.addPartition("sdb", "sdb1", "8:17", 2048);
  sys.addPartition("sdb", "sdb2", "8:18", 4096);
  sys.addWholeDevno("sda", "8:0");
  WriteFile(sys.paths.mountInfo,
            "21 26 0:20 / /proc rw,relatime - proc proc rw\n"
            "30 26 8:1 / /mnt/my\\040disk rw - vfat /dev/sda1 rw\n"
            "31 26 8:18 / /data rw - ext4 /dev/sdb2 rw\n"
            "32 26 8:18 / /data-again rw - ext4 /dev/sdb2 rw\n"
            "33 26 8:17 /sub /bind rw - ext4 /dev/sdb1 rw\n");
  const auto mounts = platform::ListMountedVolumes(sys.paths);
  ASSERT_EQ(mounts.size(), 2u);
  EXPECT_EQ(mounts[0].mountPoint, "/mnt/my disk");
  EXPECT_EQ(mounts[0].diskName, "sda");
  EXPECT_EQ(mounts[0].startSector, 2048u);

  disk::DiskInfoList disks;
  for (const auto& d : platform::ListWholeDisks(sys.paths)) disks.push_back(disk::DiskFromDevice(d.number, d.identity));
  ASSERT_EQ(disks.size(), 2u);
  for (auto& d : disks) {
    d.partitions.resize(2);
    d.partitions[0].startSector = 2048, d.partitions[1].startSector = 4096;
  }
  disk::DiskInfo image;  // images never get mount points, even at the same start
  image.devicePath = "/tmp/sda";
  image.partitions.resize(1);
  image.partitions[0].startSector = 2048;
  disks.push_back(image);

  disk::AttachMountPoints(disks, mounts);
  auto at = [&](size_t i) -> const disk::DiskInfo& { return *std::next(disks.begin(), static_cast<long>(i)); };
  EXPECT_EQ(at(0).partitions[0].driveLetter, "/mnt/my disk");
  EXPECT_EQ(at(0).partitions[1].driveLetter, "");
  EXPECT_EQ(at(1).partitions[0].driveLetter, "");  // sdb1 is only bind-mounted below its root
  EXPECT_EQ(at(1).partitions[1].driveLetter, "/data");
  EXPECT_EQ(at(2).partitions[0].driveLetter, "");
}

TEST(BlockDevices, UnescapesMountInfoFields) {
  EXPECT_EQ(platform::UnescapeMountField("/a\\040b\\011c\\134d"), "/a b\tc\\d");
  EXPECT_EQ(platform::UnescapeMountField("/trailing\\04"), "/trailing\\04");
}

// The disk under "/" is found through its partition or through the devices
// stacked beneath it, and the partition-table tools will not write to it; an
// image file of the same name is never that disk.
TEST(BlockDevices, DiskOfTheRootFileSystemIsRefusedForTableWrites) {
  FakeSystem sys;
  sys.addPartition("sda", "sda2", "8:2", 2048);
  sys.addPartition("sdb", "sdb1", "8:17", 2048);
  sys.addDisk("sdc", 100, "ATA", "C");
  sys.addWholeDevno("sdc", "8:32");
  const fs::path block(sys.paths.sysBlock);
  fs::create_directories(block / "dm-0/slaves");
  fs::create_symlink(block / "sdb/sdb1", block / "dm-0/slaves/sdb1");
  fs::create_symlink(block / "sdc", block / "dm-0/slaves/sdc");
  sys.addWholeDevno("dm-0", "253:0");
  WriteFile(sys.paths.mountInfo, "21 1 8:2 / / rw - ext4 /dev/sda2 rw\n25 21 0:5 / /proc rw - proc proc rw\n");
  EXPECT_EQ(platform::RootDiskNames(sys.paths), std::vector<std::string>{"sda"});

  disk::DiskInfo d;
  d.devicePath = (sys.dir.path() / "gone/sda").string();
  disk::PartitionInfo ntfs;
  ntfs.typeByte = 0x07;
  ntfs.startSector = 2048;
  ntfs.sectorCount = 1000;
  d.partitions.push_back(ntfs);
  const std::vector<size_t> row = {0};
  EXPECT_EQ(disk::PlanRebuild(d, row, sys.paths).result.message, "不能更改当前系统所在的硬盘分区信息！");
  d.devicePath = sys.dir.write("sda", {}).string();
  EXPECT_EQ(disk::PlanRebuild(d, row, sys.paths).result.status, disk::PtableStatus::kOk);

  WriteFile(sys.paths.mountInfo, "21 1 253:0 / / rw - ext4 /dev/mapper/root rw\n");
  auto names = platform::RootDiskNames(sys.paths);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"sdb", "sdc"}));
}

}  // namespace
}  // namespace orvaldi
