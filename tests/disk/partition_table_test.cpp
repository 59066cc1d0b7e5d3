// Partition tables on crafted disks: precedence, numbering, chains, GPT, Apple maps, regions.
#include <gtest/gtest.h>

#include <cstring>

#include "disk/partition_table.h"
#include "disk/sector_io.h"
#include "platform/sector_source.h"
#include "support/disk_builder.h"
#include "support/test_images.h"

namespace orvaldi::disk {
namespace {

using platform::MemorySource;
using test::DiskBuilder;

constexpr const char* kBasicData = "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7";
constexpr const char* kEfiSystem = "C12A7328-F81F-11D2-BA4B-00A0C93EC93B";
constexpr const char* kLinuxData = "0FC63DAF-8483-4772-8E79-3D69D8477DE4";
constexpr const char* kMsReserved = "E3C9E316-0B5C-4DB8-817D-F92DF00215AE";

DiskInfo Enumerate(std::vector<uint8_t> bytes, const std::string& path = "test.img") {
  DiskInfo disk;
  disk.devicePath = path;
  disk.vendorId = path;
  disk.sizeBytes = static_cast<int64_t>(bytes.size());
  MemorySource src(std::move(bytes));
  EnumeratePartitions(src, disk, path);
  return disk;
}

std::vector<uint8_t> Volume(const char* fixture) {
  auto bytes = test::LoadImage(test::FixturesDir() / "volumes" / fixture);
  EXPECT_TRUE(bytes) << fixture;
  return bytes ? *bytes : std::vector<uint8_t>{};
}

TEST(GuidFromText, MixedEndianOnDiskForm) {
  const auto g = GuidFromText(kBasicData);
  const std::array<uint8_t, 16> expected = {0xA2, 0xA0, 0xD0, 0xEB, 0xE5, 0xB9, 0x33, 0x44,
                                            0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7};
  EXPECT_EQ(g, expected);
  EXPECT_EQ(GuidFromText("not a guid"), (std::array<uint8_t, 16>{}));
}

TEST(Mbr, PrimariesThenLogicalsNumberedInChainOrder) {
  DiskBuilder b(4096);
  b.entry(0, 0, 0x83, 64, 100).entry(0, 1, 0x05, 1000, 3000).entry(0, 2, 0x0C, 200, 300);
  // Chain: EBR at 1000 -> logical at 1000+63, link to 2000 (relative to 1000);
  // EBR at 2000 -> logical, link to 2500; EBR at 2500 -> logical, end.
  b.entry(1000, 0, 0x07, 63, 500).entry(1000, 1, 0x05, 1000, 600);
  b.entry(2000, 0, 0x0B, 63, 400).entry(2000, 1, 0x05, 1500, 300);
  b.entry(2500, 0, 0x06, 2, 200);
  const DiskInfo d = Enumerate(b.bytes());
  ASSERT_EQ(d.partitions.size(), 5u);
  EXPECT_EQ(d.partitions[0].name, "Partition0");
  EXPECT_EQ(d.partitions[0].startSector, 64u);
  EXPECT_EQ(d.partitions[1].name, "Partition1");
  EXPECT_EQ(d.partitions[1].typeByte, 0x0C);
  EXPECT_EQ(d.partitions[1].tableKind, 1);
  // Logicals come after every primary, even though the extended entry came first.
  EXPECT_EQ(d.partitions[2].name, "Partition2");
  EXPECT_EQ(d.partitions[2].startSector, 1063u);
  EXPECT_EQ(d.partitions[2].tableKind, 2);
  EXPECT_EQ(d.partitions[3].name, "Partition3");
  EXPECT_EQ(d.partitions[3].startSector, 2063u);
  EXPECT_EQ(d.partitions[4].name, "Partition4");
  EXPECT_EQ(d.partitions[4].startSector, 2502u);
  EXPECT_EQ(d.partitions[4].sectorCount, 200u);
}

TEST(Mbr, EbrChainsThatLoopOrRunDeepStop) {
  DiskBuilder b(4096);
  b.entry(0, 0, 0x05, 1000, 3000);
  b.entry(1000, 0, 0x83, 63, 10).entry(1000, 1, 0x05, 0, 10);  // links back to itself
  DiskInfo d = Enumerate(b.bytes());
  ASSERT_EQ(d.partitions.size(), 1u);

  DiskBuilder c(4096);
  c.entry(0, 0, 0x0F, 1000, 3000);
  c.entry(1000, 0, 0x83, 63, 10).entry(1000, 1, 0x05, 100, 10);
  c.entry(1100, 0, 0x83, 63, 10).entry(1100, 1, 0x05, 0, 10);  // 1100 -> 1000 -> 1100 ...
  d = Enumerate(c.bytes());
  EXPECT_EQ(d.partitions.size(), 2u);

  // A chain of 3,000 EBRs, each pointing to the next: bounded, and no stack overflow.
  DiskBuilder deep(6100);
  deep.entry(0, 0, 0x05, 100, 6000);
  for (uint32_t i = 0; i < 3000; ++i) deep.entry(100 + 2 * i, 0, 0x05, 2 * (i + 1), 2);
  d = Enumerate(deep.bytes());
  EXPECT_EQ(d.partitions.size(), 0u);

  // An EBR without signature ends its branch.
  DiskBuilder e(4096);
  e.entry(0, 0, 0x05, 1000, 3000);
  d = Enumerate(e.bytes());
  EXPECT_EQ(d.partitions.size(), 0u);
}

TEST(Mbr, EmptyEntriesAndBootLoaderCode) {
  DiskBuilder b(2048);
  b.entry(0, 0, 0x07, 100, 0).entry(0, 1, 0x00, 100, 50).entry(0, 3, 0x83, 300, 50);
  b.bootCode(0xEB, 0x63, 0x90);  // GRUB's jump: still a partitioned disk
  DiskInfo d = Enumerate(b.bytes());
  ASSERT_EQ(d.partitions.size(), 1u);
  EXPECT_EQ(d.partitions[0].name, "Partition0");
  EXPECT_EQ(d.partitions[0].startSector, 300u);
  EXPECT_EQ(d.partitions[0].fsLabel, "");  // no EXT superblock there
  EXPECT_EQ(d.partitions[0].volumeLabel, "");

  b.bootCode(0xEB, 0x48, 0x90);
  d = Enumerate(b.bytes());
  ASSERT_EQ(d.partitions.size(), 1u);
  b.bootCode(0xEB, 0x3C, 0x90);  // any other short jump: sector 0 is a volume
  d = Enumerate(b.bytes());
  ASSERT_EQ(d.partitions.size(), 1u);
  EXPECT_EQ(d.partitions[0].startSector, 0u);
  EXPECT_EQ(d.partitions[0].typeByte, 0);
  EXPECT_EQ(d.partitions[0].sectorCount, 0u);
}

TEST(Mbr, RefinesExfatAndExtEntries) {
  DiskBuilder b(40000);
  b.entry(0, 0, 0x07, 2048, 16384).entry(0, 1, 0x83, 20480, 8192);
  b.place(2048, Volume("exfat.img.gz"), 16384 * 512);
  b.place(20480, Volume("ext4.img.gz"), 8192 * 512);
  const DiskInfo d = Enumerate(b.bytes());
  ASSERT_EQ(d.partitions.size(), 2u);
  EXPECT_EQ(d.partitions[0].typeByte, 0x05);
  EXPECT_EQ(d.partitions[0].volumeLabel, "exFAT卷");
  EXPECT_EQ(d.partitions[1].typeByte, 0x83);
  EXPECT_EQ(d.partitions[1].fsLabel, "EXT4");
  EXPECT_EQ(d.partitions[1].volumeLabel, "数据");
  EXPECT_EQ(d.partitions[1].sectorCount, 8192u);  // the table's size, not the superblock's
}

TEST(Mbr, ProtectiveEntryWithoutGptIsAnOrdinaryPrimary) {
  DiskBuilder b(2048);
  b.entry(0, 0, 0xEE, 1, 2047).entry(0, 1, 0x0C, 100, 100);
  const DiskInfo d = Enumerate(b.bytes());
  ASSERT_EQ(d.partitions.size(), 2u);
  EXPECT_EQ(d.partitions[0].typeByte, 0xEE);
  EXPECT_EQ(d.partitions[0].sectorCount, 2047u);
  EXPECT_EQ(d.partitions[1].name, "Partition1");
}

TEST(Mbr, DynamicDiskEntriesGoToTheVolumeManagerHook) {
  DiskBuilder b(2048);
  b.entry(0, 0, 0x42, 63, 1000).entry(0, 1, 0x07, 1100, 100);
  DiskInfo d = Enumerate(b.bytes());
  ASSERT_EQ(d.partitions.size(), 1u);  // no reader installed: nothing for the 0x42 entry
  EXPECT_EQ(d.partitions[0].name, "Partition0");

  int calls = 0;
  SetDynamicDiskReader([&](platform::SectorSource&, DiskInfo& disk, const std::string& path) {
    ++calls;
    EXPECT_EQ(path, "test.img");
    disk.memberId = "seen";
  });
  d = Enumerate(b.bytes());
  SetDynamicDiskReader({});
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(d.memberId, "seen");
}

TEST(NoMbr, LvmHookThenExtThenHfs) {
  DiskBuilder b(64);
  test::PutText(b.bytes(), 512, "LABELONE");
  int calls = 0;
  SetLvmLabelReader([&](platform::SectorSource&, DiskInfo&, std::span<const uint8_t> sector1) {
    ++calls;
    return (sector1.size() == 512 && std::memcmp(sector1.data(), "LABELONE", 8) == 0) ? 0 : 1;
  });
  DiskInfo d = Enumerate(b.bytes());
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(d.partitions.empty());
  SetLvmLabelReader({});

  const DiskInfo ext = Enumerate(Volume("ext3.img.gz"));
  ASSERT_EQ(ext.partitions.size(), 1u);
  EXPECT_EQ(ext.partitions[0].name, "Partition0");
  EXPECT_EQ(ext.partitions[0].fsLabel, "EXT3");
  EXPECT_EQ(ext.partitions[0].volumeLabel, "ext3lbl");
  EXPECT_EQ(ext.partitions[0].typeByte, 0x83);
  EXPECT_GT(ext.partitions[0].sectorCount, 0u);

  const DiskInfo hfs = Enumerate(Volume("hfs.img.gz"), "/dev/hfsdisk");
  ASSERT_EQ(hfs.partitions.size(), 1u);
  EXPECT_EQ(hfs.partitions[0].typeByte, 0x19);
  EXPECT_EQ(hfs.partitions[0].hfsKind, 1u);
  EXPECT_EQ(hfs.partitions[0].fsTypeText, "HFS");
  EXPECT_EQ(hfs.partitions[0].volumeLabel, "Mac Vol");
  EXPECT_EQ(hfs.partitions[0].sourcePath, "/dev/hfsdisk");
  EXPECT_EQ(hfs.partitions[0].sectorCount, hfs.sizeBytes / 512u);

  EXPECT_TRUE(Enumerate(std::vector<uint8_t>(8192)).partitions.empty());
  EXPECT_TRUE(Enumerate({}).partitions.empty());
}

TEST(WholeDisk, VolumesWithoutPartitionTable) {
  struct Case {
    const char* file;
    uint8_t type;
    const char* label;
  };
  for (const Case& c : {Case{"fat32.img.gz", 0x0B, "数据盘"}, Case{"fat16-512.img.gz", 0x06, "FAT16LABEL"},
                        Case{"ntfs-p2048.img.gz", 0x07, "NTFS卷标"}, Case{"exfat.img.gz", 0x05, "exFAT卷"},
                        // made on a whole disk: 0 hidden sectors
                        Case{"ntfs-p0.img.gz", 0x07, "NOHIDDEN"}}) {
    auto bytes = Volume(c.file);
    const uint64_t sectors = bytes.size() / 512;
    const DiskInfo d = Enumerate(std::move(bytes));
    ASSERT_EQ(d.partitions.size(), 1u) << c.file;
    const auto& p = d.partitions[0];
    EXPECT_EQ(p.name, "Partition0");
    EXPECT_EQ(p.startSector, 0u);
    EXPECT_EQ(p.typeByte, c.type) << c.file;
    EXPECT_EQ(p.volumeLabel, c.label) << c.file;
    // The boot sector's own count (NTFS keeps the last sector for its backup).
    EXPECT_LE(p.sectorCount, sectors) << c.file;
    EXPECT_GE(p.sectorCount, sectors - 1) << c.file;
  }
  // FAT16 volumes small enough for the 16-bit count field.
  auto small = test::Fat16BootSector();
  test::Put16(small, 0x13, 20000);
  DiskBuilder b(64);
  b.place(0, small);
  const DiskInfo d = Enumerate(b.bytes());
  ASSERT_EQ(d.partitions.size(), 1u);
  EXPECT_EQ(d.partitions[0].sectorCount, 20000u);
}

TEST(Gpt, NamesSuffixesAndFileSystems) {
  DiskBuilder b(120000);
  b.gpt({{kEfiSystem, 2048, 2048 + 16383, u"EFI"},
         {kMsReserved, 20480, 20480 + 2047, u"Microsoft reserved partition"},
         {kLinuxData, 24576, 24576 + 8191, u"Linux root"},
         {kBasicData, 40960, 40960 + 16383, u"数据"},
         {kBasicData, 60000, 60000 + 8191, u"Empty data"}});
  b.place(2048, Volume("fat16-512.img.gz"), 16384 * 512);
  b.place(24576, Volume("ext4.img.gz"), 8192 * 512);
  b.place(40960, Volume("ntfs-p2048.img.gz"), 16384 * 512);
  const DiskInfo d = Enumerate(b.bytes());
  ASSERT_EQ(d.partitions.size(), 5u);
  EXPECT_EQ(d.partitions[0].name, "EFI(fat)0");
  EXPECT_EQ(d.partitions[0].typeByte, 0x06);
  EXPECT_EQ(d.partitions[0].volumeLabel, "FAT16LABEL");
  EXPECT_EQ(d.partitions[0].sectorCount, 16384u);
  EXPECT_EQ(d.partitions[1].name, "Microsoft reserved partition");
  EXPECT_EQ(d.partitions[1].typeByte, 0);
  EXPECT_EQ(d.partitions[2].name, "Linux rootPartition2");
  EXPECT_EQ(d.partitions[2].fsLabel, "EXT4");
  EXPECT_EQ(d.partitions[2].volumeLabel, "数据");
  // The fourth entry holds NTFS: its name gets "(NTFS)" and the number 3.
  EXPECT_EQ(d.partitions[3].name, "数据(NTFS)3");
  EXPECT_EQ(d.partitions[3].typeByte, 0x07);
  EXPECT_EQ(d.partitions[3].volumeLabel, "NTFS卷标");
  EXPECT_EQ(d.partitions[4].name, "Empty data");
  EXPECT_EQ(d.partitions[4].typeByte, 0);
  for (const auto& p : d.partitions) EXPECT_EQ(p.tableKind, 1);
}

TEST(Gpt, ListEndsAtFirstEmptyEntryAndLaterMbrEntriesAreIgnored) {
  DiskBuilder b(8192);
  b.gpt({{kBasicData, 100, 199, u"one"}, {kBasicData, 0, 0, u""}, {kBasicData, 300, 399, u"three"}});
  b.entry(0, 1, 0x07, 5000, 100);  // after the protective entry: not used
  const DiskInfo d = Enumerate(b.bytes());
  ASSERT_EQ(d.partitions.size(), 1u);
  EXPECT_EQ(d.partitions[0].name, "one");
}

TEST(Gpt, DamagedHeadersStopWithoutCrashing) {
  {
    DiskBuilder b(8192);
    b.gpt({{kBasicData, 100, 199, u"x"}}, 129);  // more than 128 entries: the disk is not read further
    b.entry(0, 1, 0x07, 5000, 100);
    EXPECT_TRUE(Enumerate(b.bytes()).partitions.empty());
  }
  {
    DiskBuilder b(8192);
    b.gpt({{kBasicData, 100, 199, u"x"}}, 4, 64);  // entries too small
    EXPECT_TRUE(Enumerate(b.bytes()).partitions.empty());
  }
  {
    DiskBuilder b(8192);
    b.gpt({{kBasicData, 100, 199, u"x"}}, 128, 0xFFFFFF00u);  // absurd entry size
    EXPECT_TRUE(Enumerate(b.bytes()).partitions.empty());
  }
  {
    DiskBuilder b(8192);
    b.gpt({}, 128, 128, 8190);  // the array would run past the disk
    EXPECT_TRUE(Enumerate(b.bytes()).partitions.empty());
    DiskBuilder c(8192);
    c.gpt({}, 4, 128, ~0ull / 256);  // and far beyond it
    EXPECT_TRUE(Enumerate(c.bytes()).partitions.empty());
  }
  {
    DiskBuilder b(8192);
    b.gpt({{kBasicData, 500, 100, u"backwards"}});  // last LBA before the first
    const DiskInfo d = Enumerate(b.bytes());
    ASSERT_EQ(d.partitions.size(), 1u);
    EXPECT_EQ(d.partitions[0].sectorCount, 0u);
  }
}

TEST(AppleMap, HfsEntriesAreRecordedOthersSkipped) {
  DiskBuilder b(20000);
  b.apm({{"Apple", "Apple_partition_map", 1, 63},
         {"Macintosh HD", "Apple_HFS", 100, 8000},
         {"Windows", "Windows_NTFS", 8100, 1000},
         {"", "Apple_HFS", 9100, 100},
         {"Plain", "Apple_HFS", 9300, 100}});
  b.place(100, Volume("hfs.img.gz"), 8000 * 512);
  const DiskInfo d = Enumerate(b.bytes(), "/dev/apple");
  EXPECT_EQ(d.mapEntryCount, 5u);
  EXPECT_EQ(d.bytesPerSector, 512u);
  EXPECT_EQ(d.sizeBytes, 20000 * 512);  // blocks x block size, in bytes
  ASSERT_EQ(d.partitions.size(), 2u);
  EXPECT_EQ(d.partitions[0].name, "Partition0");  // an HFS volume was found there
  EXPECT_EQ(d.partitions[0].hfsKind, 1u);
  EXPECT_EQ(d.partitions[0].fsTypeText, "Apple_HFS");
  EXPECT_EQ(d.partitions[0].volumeLabel, "Mac Vol");
  EXPECT_EQ(d.partitions[0].typeByte, 0x19);
  EXPECT_EQ(d.partitions[0].startSector, 100u);
  EXPECT_EQ(d.partitions[0].sectorCount, 8000u);
  EXPECT_EQ(d.partitions[0].sourcePath, "/dev/apple");
  EXPECT_EQ(d.partitions[1].name, "Plain");  // nothing there: the map's name stays
  EXPECT_EQ(d.partitions[1].hfsKind, 0u);

  DiskBuilder bad(64);
  bad.apm({});
  EXPECT_TRUE(Enumerate(bad.bytes()).partitions.empty());  // no "PM" entry
}

TEST(Regions, NumberedInARowAndRestartedAfterOtherRecords) {
  DiskBuilder b(4096);
  b.place(1000, test::NtfsBootSector());
  b.place(2000, test::Fat32BootSector());
  DiskInfo d;
  d.vendorId = "disk.img";
  MemorySource src(b.bytes());
  CreateRegion(1000, 1500, d, src);
  CreateRegion(2000, 2100, d, src);
  CreateRegion(10, 5, d, src);
  ASSERT_EQ(d.partitions.size(), 3u);
  EXPECT_EQ(d.partitions[0].name, "Region 0 on disk.img");
  EXPECT_EQ(d.partitions[0].typeByte, 0x07);
  EXPECT_EQ(d.partitions[0].sectorCount, 500u);
  EXPECT_EQ(d.partitions[1].name, "Region 1 on disk.img");
  EXPECT_EQ(d.partitions[1].typeByte, 0x0B);
  EXPECT_EQ(d.partitions[2].name, "Region 2 on disk.img");
  EXPECT_EQ(d.partitions[2].sectorCount, 0u);  // an end before the start gives an empty region
  EXPECT_EQ(d.partitions[2].typeByte, 0);

  d.partitions.push_back(PartitionInfo{});
  d.partitions.back().name = "Partition5";
  CreateRegion(0, 10, d, src);
  EXPECT_EQ(d.partitions.back().name, "Region 0 on disk.img");

  DiskInfo missing;
  missing.devicePath = "/nonexistent/disk.img";
  EXPECT_FALSE(CreateRegion(0, 10, missing));
  EXPECT_TRUE(missing.partitions.empty());
}

}  // namespace
}  // namespace orvaldi::disk
