// Disks of 4,096-byte logical sectors: the lost-partition search and the raw
// scan find volumes made for such sectors at their true start and size (in
// 512-byte units), a table rebuilt from the finds counts the disk's own
// sectors, and the scan-result file keeps the finds through a save and load.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "disk/lost_partition_search.h"
#include "disk/partition_table_tools.h"
#include "disk/scan_result_file.h"
#include "platform/progress.h"
#include "platform/sector_source.h"
#include "raw/free_space.h"
#include "raw/raw_scan.h"
#include "support/test_images.h"

namespace orvaldi::raw {
namespace {

using disk::DiskInfo;
using disk::PartitionInfo;
using disk::PartitionOrigin;

// tests/fixtures/sector4k: FAT32 at LBA 256 (6,144 sectors), NTFS at LBA
// 6,400 (total 3,071, backup boot sector at LBA 9,471); 4 KiB LBAs, eight
// engine sectors each.
constexpr uint64_t kFat32Start = 256 * 8, kFat32Sectors = 6144 * 8;
constexpr uint64_t kNtfsStart = 6400 * 8, kNtfsSectors = 3071 * 8;

const std::vector<uint8_t>& LargeSectorDisk() {
  static const std::vector<uint8_t> bytes = *test::LoadImage(test::FixturesDir() / "sector4k" / "lost4k.img.gz");
  return bytes;
}

DiskInfo DiskOf(const std::vector<uint8_t>& bytes, uint32_t bytesPerSector) {
  DiskInfo disk;
  disk.vendorId = "lost4k.img";
  disk.sizeBytes = static_cast<int64_t>(bytes.size());
  disk.tracksPerCylinder = 255;
  disk.sectorsPerTrack = 63;
  disk.bytesPerSector = bytesPerSector;
  return disk;
}

// "TYPE@START+COUNT" for every record of `origin`, in list order.
std::string Records(const DiskInfo& disk, PartitionOrigin origin) {
  std::string s;
  for (const PartitionInfo& p : disk.partitions) {
    if (p.origin != origin) continue;
    s += (s.empty() ? "" : " ") + std::to_string(p.typeByte) + "@" + std::to_string(p.startSector) + "+" +
         std::to_string(p.sectorCount);
  }
  return s;
}

const std::string kBoth = "11@" + std::to_string(kFat32Start) + "+" + std::to_string(kFat32Sectors) + " 7@" +
                          std::to_string(kNtfsStart) + "+" + std::to_string(kNtfsSectors);

// Zeroes one 4 KiB sector of a copy of the disk.
std::vector<uint8_t> Without(uint64_t engineSector) {
  std::vector<uint8_t> bytes = LargeSectorDisk();
  std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(engineSector * 512), 4096, 0);
  return bytes;
}

TEST(LargeSectorDisk, LostPartitionSearchFindsVolumesAtTheirStartsAndSizes) {
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    uint32_t diskSector;
    disk::SearchMode mode;
    std::string expected;
  };
  const Case cases[] = {
      {"sector mode", LargeSectorDisk(), 4096, disk::SearchMode::kSector, kBoth},
      // The boot sectors' own sector size decides their counts, whatever the disk record says.
      {"sector mode, disk taken for 512-byte sectors", LargeSectorDisk(), 512, disk::SearchMode::kSector, kBoth},
      // The FAT32 backup lies six 4 KiB sectors in; the NTFS one in the volume's last 4 KiB sector.
      {"FAT32 from its backup", Without(kFat32Start), 4096, disk::SearchMode::kSector, kBoth},
      {"NTFS from its backup", Without(kNtfsStart), 4096, disk::SearchMode::kSector, kBoth},
      // Cylinder 0's 1 MiB boundary holds the FAT32 volume; the NTFS one lies on no cylinder start.
      {"cylinder mode", LargeSectorDisk(), 4096, disk::SearchMode::kCylinder,
       "11@" + std::to_string(kFat32Start) + "+" + std::to_string(kFat32Sectors)},
      {"cylinder mode, FAT32 from its backup", Without(kFat32Start), 4096, disk::SearchMode::kCylinder,
       "11@" + std::to_string(kFat32Start) + "+" + std::to_string(kFat32Sectors)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::MemorySource source(c.bytes);
    DiskInfo disk = DiskOf(c.bytes, c.diskSector);
    platform::ProgressBlock progress;
    const disk::LostPartitionReport report = disk::SearchLostPartitions(disk, source, c.mode, 0, progress);
    EXPECT_EQ(Records(disk, PartitionOrigin::kFound), c.expected);
    EXPECT_EQ(report.unreadableSectors, 0u);
  }
}

TEST(LargeSectorDisk, RawScanFindsVolumesOnTheDisksSectorBoundaries) {
  const std::vector<uint8_t>& bytes = LargeSectorDisk();
  platform::MemorySource memory(bytes);
  DiskInfo disk = DiskOf(bytes, 4096);
  platform::ProgressBlock progress;
  ASSERT_EQ(RawDiskScan(&memory, disk, progress, 0, bytes.size() / 512), 1);
  EXPECT_EQ(Records(disk, PartitionOrigin::kFound), kBoth);
  for (const PartitionInfo& p : disk.partitions) EXPECT_EQ(p.startSector % 8, 0u) << p.name;
  EXPECT_EQ(disk.partitions.back().volumeLabel, "LOST4KNTFS");
  for (const uint64_t s : disk.directorySectors) EXPECT_EQ(s % 8, 0u) << s;
  // The NTFS volume's 4 KiB file records: every run covers whole ones.
  ASSERT_FALSE(disk.mftRecordRuns.empty());
  for (const auto& [first, extent] : disk.mftRecordRuns) {
    EXPECT_EQ(first % 8, 0u) << first;
    EXPECT_EQ(extent % 8, 0u) << first << "+" << extent;
  }

  // Saved and loaded again, the finds come back as they were: the file's
  // numbers are 512-byte ones whatever the disk's sectors, and the sector
  // size is the disk's own, found again when the disk is opened.
  const disk::ScanResultText saved = disk::FormatScanResult(disk);
  DiskInfo reopened = DiskOf(bytes, 4096);
  const disk::ScanResultLoad load = disk::LoadScanResult(reopened, saved.bytes);
  ASSERT_EQ(load.status, disk::ScanResultStatus::kOk) << load.message;
  EXPECT_TRUE(load.dropped.empty());
  EXPECT_EQ(Records(reopened, PartitionOrigin::kFound), kBoth);
  EXPECT_EQ(reopened.bytesPerSector, 4096u);
  EXPECT_EQ(disk::FormatScanResult(reopened).bytes, saved.bytes);
}

// Both FAT32 boot sectors gone, the volume is rebuilt from its two FATs and
// the first sector of a sub-directory (written here into cluster 3): the
// FSInfo sector, one 4 KiB sector into the volume, gives its start.
TEST(LargeSectorDisk, RawScanRebuildsAFat32VolumeWhoseBootSectorsAreGone) {
  std::vector<uint8_t> bytes = Without(kFat32Start);
  std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>((kFat32Start + 6 * 8) * 512), 4096, 0);
  // FAT32 from the fixture: 32 reserved 4 KiB sectors, two FATs of 6 sectors, 4 KiB clusters.
  constexpr uint64_t kFirstFat = kFat32Start + 32 * 8, kFatSectors = 6 * 8;
  constexpr uint64_t kCluster3 = kFirstFat + 2 * kFatSectors + 8;
  uint8_t* dir = bytes.data() + kCluster3 * 512;
  std::memcpy(dir, ".          \x10", 12);
  std::memcpy(dir + 0x20, "..         \x10", 12);
  dir[0x1A] = 3;  // "." names cluster 3; ".." the root (0)
  platform::MemorySource memory(bytes);
  DiskInfo disk = DiskOf(bytes, 4096);
  platform::ProgressBlock progress;
  ASSERT_EQ(RawDiskScan(&memory, disk, progress, 0, bytes.size() / 512), 1);
  const PartitionInfo* rebuilt = nullptr;
  for (const PartitionInfo& p : disk.partitions)
    if (p.origin == PartitionOrigin::kRebuilt && p.typeByte == 0x0B) rebuilt = &p;
  ASSERT_NE(rebuilt, nullptr) << Records(disk, PartitionOrigin::kFound);
  EXPECT_EQ(rebuilt->startSector, kFat32Start);
  EXPECT_EQ(rebuilt->sectorsPerCluster, 8u);
  EXPECT_EQ(rebuilt->clusterZeroSector, kCluster3 - 3 * 8);
}

// A table rebuilt from the finds is written in 4 KiB LBAs, and The Sleuth
// Kit reads it so with -b 4096.
TEST(LargeSectorDisk, RebuiltTableCountsTheDisksOwnSectors) {
  test::TempDir dir;
  const auto image = dir.write("lost4k.img", LargeSectorDisk());
  platform::MemorySource memory(LargeSectorDisk());
  DiskInfo disk = DiskOf(LargeSectorDisk(), 4096);
  disk.devicePath = image.string();
  platform::ProgressBlock progress;
  disk::SearchLostPartitions(disk, memory, disk::SearchMode::kSector, 0, progress);
  ASSERT_EQ(disk::RebuildCandidates(disk).size(), 2u);
  const std::vector<size_t> rows = {0, 1};
  const disk::RebuildPlan plan = disk::PlanRebuild(disk, rows);
  ASSERT_EQ(plan.result.status, disk::PtableStatus::kOk) << plan.result.message;
  ASSERT_EQ(plan.entries.size(), 2u);
  EXPECT_EQ(plan.entries[0].startSector, 256u);
  EXPECT_EQ(plan.entries[0].sectorCount, 6144u);
  EXPECT_EQ(plan.entries[1].startSector, 6400u);
  EXPECT_EQ(plan.entries[1].sectorCount, 3072u);  // the backup boot sector's 4 KiB sector included

  // A record off the disk's sector boundaries cannot become an entry.
  DiskInfo odd = disk;
  odd.partitions[0].startSector += 1;
  EXPECT_EQ(disk::PlanRebuild(odd, rows).result.status, disk::PtableStatus::kRefused);

  ASSERT_EQ(disk::RebuildPartitionTable(disk, rows).status, disk::PtableStatus::kOk);
  if (std::system("command -v mmls >/dev/null 2>&1") != 0) GTEST_SKIP() << "The Sleuth Kit not installed";
  const auto listed = test::RunCommand("mmls -b 4096 -t dos " + image.string() + " | grep -E '^0[0-9]+:  000:'");
  EXPECT_EQ(listed.out,
            "002:  000:000   0000000256   0000006399   0000006144   Win95 FAT32 (0x0b)\n"
            "003:  000:001   0000006400   0000009471   0000003072   NTFS / exFAT (0x07)\n");
}

// The free clusters of a volume of 4 KiB sectors, compact, are the
// unallocated blocks The Sleuth Kit lists with -b 4096.
TEST(LargeSectorDisk, FreeSpaceIsWhatTheSleuthKitCallsUnallocated) {
  if (std::system("command -v blkls >/dev/null 2>&1") != 0) GTEST_SKIP() << "The Sleuth Kit not installed";
  test::TempDir dir;
  const auto image = dir.write("lost4k.img", LargeSectorDisk());
  struct Case {
    const char* name;
    uint64_t start, sectors;
    std::string oracle;
  };
  const Case cases[] = {
      {"NTFS", kNtfsStart, kNtfsSectors + 8, "blkls -b 4096 -o 6400 " + image.string()},
      {"FAT32", kFat32Start, kFat32Sectors, "blkls -f fat32 -b 4096 -o 256 " + image.string()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::MemorySource source(LargeSectorDisk());
    test::MemoryTarget out;
    platform::ProgressBlock progress;
    const FreeSpaceResult r = ExtractFreeSpace(source, c.start, c.sectors, out, FreeSpaceLayout::kCompact, progress);
    ASSERT_EQ(r.status, platform::Status::kOk) << r.message;
    EXPECT_EQ(r.clusterBytes, 4096u);
    const auto expected = test::RunCommand(c.oracle);
    ASSERT_EQ(expected.exitCode, 0) << expected.err;
    EXPECT_EQ(r.freeClusters * 4096, expected.out.size());
    EXPECT_TRUE(std::string(out.data.begin(), out.data.end()) == expected.out);
  }
}

}  // namespace
}  // namespace orvaldi::raw
