// The lost-partition search over a disk made by real tools whose partition entries were wiped.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "disk/lost_partition_search.h"
#include "platform/sector_source.h"
#include "support/test_images.h"

namespace orvaldi::disk {
namespace {

using platform::MemorySource;

// tests/fixtures/lost: FAT16 at 2,048, NTFS at 16,065 (backup boot sector at
// 32,129), FAT32 at 32,130 (backup at +6), a logical FAT16 at 112,518.
constexpr uint64_t kNtfsBoot = 16065;
constexpr uint64_t kFat32Boot = 32130;

std::vector<uint8_t>& LostDisk() {
  static std::vector<uint8_t> bytes = *test::LoadImage(test::FixturesDir() / "lost" / "lost.img.gz");
  return bytes;
}

// Takes the queued rows at every progress message, as the search window
// does, and counts the messages.
class RowTaker final : public platform::ProgressSink {
 public:
  explicit RowTaker(platform::ProgressBlock& block) : block_(block) {}
  void beginStage(int64_t upper, int64_t) override {
    upper_ = upper;
    take();
  }
  void step() override { take(), ++messages; }
  void setPosition(uint64_t) override { take(), ++messages; }
  void take() {
    for (auto& r : block_.takeRows()) rows.push_back(std::move(r));
  }
  std::vector<std::string> rows;
  int64_t upper_ = -1;
  int messages = 0;

 private:
  platform::ProgressBlock& block_;
};

struct SearchRun {
  std::vector<std::string> rows;
  std::vector<LostPartitionFind> finds;
  LostPartitionReport report;
  int64_t stageUpper = -1;
};

SearchRun Search(DiskInfo& disk, platform::SectorSource& source, SearchMode mode, uint8_t heads = 0) {
  platform::ProgressBlock block;
  RowTaker taker(block);
  block.setSink(&taker);
  SearchRun run;
  run.report = SearchLostPartitions(disk, source, mode, heads, block,
                                    [&](const LostPartitionFind& f) { run.finds.push_back(f); });
  taker.take();  // rows found after the last message
  run.rows = taker.rows;
  run.stageUpper = taker.upper_;
  return run;
}

DiskInfo ImageDisk(uint64_t bytes) {
  DiskInfo disk;
  disk.sizeBytes = static_cast<int64_t>(bytes);
  disk.tracksPerCylinder = 255;
  disk.sectorsPerTrack = 63;
  return disk;
}

// Wipes sectors of the image in place and puts them back when it goes:
// copying 64 MiB for each case would make the test slow.
class ZeroedSectors {
 public:
  ZeroedSectors(std::vector<uint8_t>& image, const std::set<uint64_t>& sectors) : image_(image) {
    for (uint64_t s : sectors) {
      const auto at = image.begin() + static_cast<std::ptrdiff_t>(s * 512);
      kept_.emplace_back(s, std::vector<uint8_t>(at, at + 512));
      std::fill_n(at, 512, 0);
    }
  }
  ~ZeroedSectors() {
    for (const auto& [s, bytes] : kept_)
      std::copy(bytes.begin(), bytes.end(), image_.begin() + static_cast<std::ptrdiff_t>(s * 512));
  }
  ZeroedSectors(const ZeroedSectors&) = delete;
  ZeroedSectors& operator=(const ZeroedSectors&) = delete;

 private:
  std::vector<uint8_t>& image_;
  std::vector<std::pair<uint64_t, std::vector<uint8_t>>> kept_;
};

TEST(SearchLostPartitions, FindsEachVolumeWhereItsModeLooks) {
  const std::string fat16 = "FAT16;LOSTFAT16;", logical = "FAT16;LOGICAL16;";
  const std::string ntfs = "NTFS;LOSTNTFS;", fat32 = "FAT32;LOSTFAT32;";
  const std::vector<uint64_t> all = {2048, 16065, 32130, 112518};
  // What each mode shows on the intact disk. 2,048 is no track start: only
  // the cylinder and sector searches look there. Backup boot sectors are
  // reported again but recorded once; several finds between two progress
  // messages all come out.
  const std::vector<std::string> byCylinder = {fat16 + "0,1,1;14016;主;", ntfs + "1,0,1;16064;主;",
                                               fat32 + "2,0,1;69632;主;", logical + "7,1,1;8192;逻辑;"};
  const std::vector<std::string> bySector = {fat16 + "0,0,1;14016;主;", ntfs + "0,0,1;16064;主;",
                                             ntfs + "0,0,1;16064;主;",  fat32 + "0,0,1;69632;主;",
                                             fat32 + "0,0,1;69632;主;", logical + "0,0,1;8192;主;"};
  // The sector search with the FAT32 boot sector gone or unreadable: the
  // backup at +6 stands in, without the label that lived in the root
  // directory the lost boot sector pointed to.
  const std::vector<std::string> bySectorNoFat32 = {fat16 + "0,0,1;14016;主;", ntfs + "0,0,1;16064;主;",
                                                    ntfs + "0,0,1;16064;主;", "FAT32;;0,0,1;69632;主;",
                                                    logical + "0,0,1;8192;主;"};
  struct Case {
    const char* name;
    SearchMode mode;
    std::vector<std::string> rows;
    std::vector<uint64_t> recorded;  // starts of the records appended, in order
    std::set<uint64_t> zeroed = {};  // sectors wiped before the search
    std::set<uint64_t> bad = {};     // sectors that fail with EIO
    uint64_t unreadable = 0;
    uint64_t sectors = 0;  // disk size (0: the whole image)
  };
  const Case cases[] = {
      {"cylinder", SearchMode::kCylinder, byCylinder, all},
      {"head",
       SearchMode::kHead,
       {ntfs + "1,0,1;16064;主;", fat32 + "2,0,1;69632;主;", logical + "7,1,1;8192;逻辑;"},
       {16065, 32130, 112518}},
      {"sector", SearchMode::kSector, bySector, all},
      {"cylinder, FAT32 boot sector zeroed",
       SearchMode::kCylinder,
       {fat16 + "0,1,1;14016;主;", ntfs + "1,0,1;16064;主;", "FAT32;;2,0,1;69632;主;", logical + "7,1,1;8192;逻辑;"},
       all,
       {kFat32Boot}},
      {"head, FAT32 boot sector zeroed",
       SearchMode::kHead,
       {ntfs + "1,0,1;16064;主;", "FAT32;;2,0,1;69632;主;", logical + "7,1,1;8192;逻辑;"},
       {16065, 32130, 112518},
       {kFat32Boot}},
      {"sector, FAT32 boot sector zeroed", SearchMode::kSector, bySectorNoFat32, all, {kFat32Boot}},
      // The NTFS backup boot sector: in sector mode by itself, in cylinder
      // mode because a recognised volume starts right after it (and the NTFS
      // record comes first).
      {"sector, NTFS boot sector zeroed",
       SearchMode::kSector,
       {fat16 + "0,0,1;14016;主;", "NTFS;;0,0,1;16064;主;", fat32 + "0,0,1;69632;主;", fat32 + "0,0,1;69632;主;",
        logical + "0,0,1;8192;主;"},
       all,
       {kNtfsBoot}},
      {"cylinder, NTFS boot sector zeroed",
       SearchMode::kCylinder,
       {fat16 + "0,1,1;14016;主;", "NTFS;;2,0,1;16064;主;", fat32 + "2,0,1;69632;主;", logical + "7,1,1;8192;逻辑;"},
       all,
       {kNtfsBoot}},
      // An unreadable sector is counted; the volumes around it are still found.
      {"sector, unreadable FAT32 boot sector", SearchMode::kSector, bySectorNoFat32, all, {}, {kFat32Boot}, 1},
      {"cylinder, unreadable sector before the FAT32 volume",
       SearchMode::kCylinder,
       byCylinder,
       all,
       {},
       {kFat32Boot - 1},
       1},
      // Fewer than 20,480 sectors: no whole chunk, so the sector search finds
      // nothing, while cylinder 0 is still searched.
      {"sector, 20,479 sectors", SearchMode::kSector, {}, {}, {}, {}, 0, 20479},
      {"cylinder, 20,479 sectors", SearchMode::kCylinder, {fat16 + "0,1,1;14016;主;"}, {2048}, {}, {}, 0, 20479},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t>& image = LostDisk();
    ASSERT_EQ(image.size(), 131072u * 512);
    const ZeroedSectors zeroed(image, c.zeroed);
    const std::span<const uint8_t> bytes(image.data(), c.sectors != 0 ? c.sectors * 512 : image.size());
    const auto memory = MemorySource::borrow(bytes);
    platform::FaultySource source(*memory, c.bad);
    DiskInfo disk = ImageDisk(bytes.size());
    disk.partitions.emplace_back().name = "from the table";  // origin kTable: never a duplicate
    const SearchRun first = Search(disk, source, c.mode);
    EXPECT_TRUE(first.report.opened);
    EXPECT_EQ(first.rows, c.rows);
    EXPECT_EQ(first.report.unreadableSectors, c.unreadable);
    ASSERT_EQ(disk.partitions.size(), c.recorded.size() + 1);
    for (size_t i = 0; i < c.recorded.size(); ++i) {
      const PartitionInfo& p = disk.partitions[i + 1];
      EXPECT_EQ(p.startSector, c.recorded[i]);
      EXPECT_EQ(p.name, "Partition" + std::to_string(i + 1));
      EXPECT_EQ(p.origin, PartitionOrigin::kFound);
    }
    // The finds carry what the rows say, and point at their records.
    ASSERT_EQ(first.finds.size(), c.rows.size());
    for (const LostPartitionFind& f : first.finds) {
      ASSERT_LT(f.index, disk.partitions.size());
      const PartitionInfo& p = disk.partitions[f.index];
      EXPECT_EQ(p.startSector, f.record.startSector);
      EXPECT_EQ(p.typeByte, f.record.typeByte);
      EXPECT_EQ(p.sectorCount, f.record.sectorCount);
      ResultRowFields fields;
      ASSERT_TRUE(SplitResultRow(f.row, fields));
      EXPECT_EQ(fields.sectors, std::to_string(p.sectorCount));
      EXPECT_EQ(fields.tableKind, p.tableKind == TableKind::kPrimary ? "主" : "逻辑");
    }
    // Searching again shows the same rows and appends nothing.
    const SearchRun second = Search(disk, source, c.mode);
    EXPECT_EQ(second.rows, c.rows);
    EXPECT_EQ(second.report.appended, 0u);
    EXPECT_EQ(disk.partitions.size(), c.recorded.size() + 1);
  }
}

TEST(SearchLostPartitions, TypesSizesAndGeometry) {
  const auto source = MemorySource::borrow(LostDisk());
  DiskInfo disk = ImageDisk(LostDisk().size());
  const SearchRun run = Search(disk, *source, SearchMode::kCylinder);
  EXPECT_EQ(run.stageUpper, 8);  // 131,072 / 255 / 63 cylinders
  EXPECT_EQ(disk.cylinders, 8u);
  ASSERT_EQ(disk.partitions.size(), 4u);
  const uint8_t types[] = {0x06, 0x07, 0x0B, 0x06};
  const TableKind kinds[] = {TableKind::kPrimary, TableKind::kPrimary, TableKind::kPrimary, TableKind::kLogical};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(disk.partitions[i].typeByte, types[i]);
    EXPECT_EQ(disk.partitions[i].tableKind, kinds[i]);
  }
  // A head count of 128 makes cylinders of 8,064 sectors: none of the
  // volumes starts at a cylinder or one track after it but the one at 2,048.
  DiskInfo other = ImageDisk(LostDisk().size());
  const SearchRun coarse = Search(other, *source, SearchMode::kCylinder, 128);
  EXPECT_EQ(coarse.stageUpper, 16);
  ASSERT_EQ(other.partitions.size(), 1u);
  EXPECT_EQ(other.partitions[0].startSector, 2048u);

  // A label holding ";" still splits into the five fields.
  ResultRowFields f;
  ASSERT_TRUE(SplitResultRow("FAT32;A;B;7,0,1;100;逻辑;", f));
  EXPECT_EQ(f.fileSystem, "FAT32");
  EXPECT_EQ(f.label, "A;B");
  EXPECT_EQ(f.position, "7,0,1");
  EXPECT_EQ(f.sectors, "100");
  EXPECT_EQ(f.tableKind, "逻辑");
  EXPECT_FALSE(SplitResultRow("FAT32;x;1;", f));
}

TEST(SearchLostPartitions, StopsWhenCancelledAndKeepsWhatItFound) {
  const auto source = MemorySource::borrow(LostDisk());
  DiskInfo disk = ImageDisk(LostDisk().size());
  platform::ProgressBlock block;
  block.requestCancel();
  const LostPartitionReport report = SearchLostPartitions(disk, *source, SearchMode::kSector, 0, block);
  EXPECT_TRUE(report.cancelled);
  EXPECT_TRUE(disk.partitions.empty());
  DiskInfo missing = ImageDisk(0);
  missing.devicePath = "/nonexistent/disk.img";
  EXPECT_EQ(SearchLostPartitions(missing, SearchMode::kSector, 0, block), 0);
}

}  // namespace
}  // namespace orvaldi::disk
