// The full-disk raw scan on the demo disk with parts destroyed, and on small disks built around chunk edges.
#include "raw/raw_scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "disk/sector_io.h"
#include "fs/fat_reader.h"
#include "fs/fat_state.h"
#include "fs/ntfs_reader.h"
#include "fs/ntfs_state.h"
#include "platform/sector_source.h"
#include "support/ntfs_builder.h"
#include "support/test_images.h"
#include "support/tree_listing.h"

namespace orvaldi::raw {
namespace {

using disk::DiskInfo;
using disk::PartitionInfo;

constexpr uint64_t kChunk = kRawScanChunkSectors;

// The demo disk: FAT32 at 2048 (FATs at 2080 and 2710, data at 3340),
// NTFS at 83968 (4 KiB clusters, $MFT at cluster 4, $MFTMirr at 2559,
// backup boot sector at 124927); 131072 sectors.
constexpr uint64_t kFatStart = 2048;
constexpr uint64_t kNtfsStart = 83968;
constexpr uint64_t kNtfsBackup = 124927;

const std::vector<uint8_t>* Demo() {
  static const std::optional<std::vector<uint8_t>> image = test::LoadImage(test::DemoImageGz());
  return image ? &*image : nullptr;
}

void Put(std::vector<uint8_t>& disk, uint64_t sector, const std::vector<uint8_t>& bytes) {
  std::memcpy(disk.data() + sector * 512, bytes.data(), bytes.size());
}

class Recorder : public platform::ProgressSink {
 public:
  void beginStage(int64_t upper, int64_t step) override { stages.push_back({upper, step}); }
  void step() override {}
  void setPosition(uint64_t position) override {
    positions.push_back(position);
    if (cancelAt && position == *cancelAt) block->requestCancel();
  }
  std::vector<std::pair<int64_t, int64_t>> stages;
  std::vector<uint64_t> positions;
  std::optional<uint64_t> cancelAt;
  platform::ProgressBlock* block = nullptr;
};

int Scan(const std::vector<uint8_t>& image, DiskInfo& disk, uint64_t first = 0, uint64_t count = UINT64_MAX,
         platform::ProgressBlock* progress = nullptr) {
  auto source = platform::MemorySource::borrow(image);
  disk.sizeBytes = static_cast<int64_t>(image.size());
  platform::ProgressBlock quiet;
  return RawDiskScan(source.get(), disk, progress ? *progress : quiet, first,
                     count == UINT64_MAX ? image.size() / 512 - first : count);
}

// "Partition3 2078+128994 0b o1 spc1 zero3338 fat630 'label'"
std::vector<std::string> Rows(const DiskInfo& disk) {
  std::vector<std::string> rows;
  for (const PartitionInfo& p : disk.partitions) {
    char type[3];
    std::snprintf(type, sizeof type, "%02x", p.typeByte);
    std::string text = p.name + " " + std::to_string(p.startSector) + "+" + std::to_string(p.sectorCount) + " " + type +
                       " o" + std::to_string(disk::NumberOf(p.origin));
    if (p.origin == disk::PartitionOrigin::kRebuilt)
      text += " spc" + std::to_string(p.sectorsPerCluster) + " zero" + std::to_string(p.clusterZeroSector) + " fat" +
              std::to_string(p.fatSizeSectors);
    if (!p.volumeLabel.empty()) text += " '" + p.volumeLabel + "'";
    rows.push_back(text);
  }
  return rows;
}

// ---- The demo disk ----

TEST(RawScanDemo, IntactDiskGivesEachVolumeOnceAndASecondScanAddsNothing) {
  const auto* image = Demo();
  if (!image) GTEST_SKIP() << "demo image absent";
  DiskInfo disk;
  disk.partitions.resize(2);
  disk.partitions[0].startSector = kFatStart, disk.partitions[0].typeByte = 0x0C;
  disk.partitions[1].startSector = kNtfsStart, disk.partitions[1].typeByte = 0x07;
  ASSERT_EQ(Scan(*image, disk), 1);
  const std::vector<std::string> expected = {" 2048+0 0c o0", " 83968+0 07 o0",
                                             "Partition2 2048+81900 0b o2 'DEMO_FAT32'",
                                             // The volume rebuilt from the FAT pair starts where its FSInfo sector
                                             // says, 2048, so it is the one found by its boot sector. The
                                             // $MFT/$MFTMirr pair points at 83968, where a type 7 entry exists.
                                             "Partition3 83968+40959 07 o2 'DEMO_NTFS'"};
  EXPECT_EQ(Rows(disk), expected);
  ASSERT_EQ(disk.extraFoundFolder.children.count(3465), 1u);  // 文档/REPORT.PDF
  EXPECT_EQ(disk.extraFoundFolder.children.at(3465).name, "3465.pdf");
  // The table (records 0 to 126) and the mirror's four records, each run
  // covering its last record.
  EXPECT_EQ(disk.mftRecordRuns, (std::map<uint64_t, uint32_t>{{84000, 254}, {104440, 8}}));
  EXPECT_TRUE(disk.directorySectors.count(3340));  // the root
  EXPECT_TRUE(disk.directorySectors.count(3341));  // 文档, opened by "." and ".."
  ASSERT_EQ(Scan(*image, disk), 1);
  EXPECT_EQ(Rows(disk), expected);
}

// Volumes whose boot sectors are gone, or whose backup alone is left, found
// again; a rebuilt volume then lists its files.
struct DemoCase {
  const char* what;
  std::vector<uint64_t> wiped;
  uint64_t first, count;
  std::vector<std::string> rows;
  std::vector<std::string> listed;  // lines the first volume's tree holds
  void (*patch)(std::vector<uint8_t>&) = nullptr;
};

// Hidden sectors of 0 in both FAT32 boot sectors; the backup's FAT stays put.
void MoveFat32Backup(std::vector<uint8_t>& b) {
  test::Put32(b, kFatStart * 512 + 0x1C, 0);
  test::Put32(b, (kFatStart + 6) * 512 + 0x1C, 0);
  test::Put16(b, (kFatStart + 6) * 512 + 0x0E, 26);
}

TEST(RawScanDemo, DamagedVolumesAreFoundOrRebuilt) {
  const auto* demo = Demo();
  if (!demo) GTEST_SKIP() << "demo image absent";
  const DemoCase cases[] = {
      // No label: the label reader finds the volume file through the boot sector that is gone.
      {"NTFS by its backup boot sector", {kNtfsStart}, 80000, 0, {"Partition0 83968+40959 07 o2"}, {}},
      // FATs of 630 sectors at 2080 and 2710; 文档 (cluster 3) at 3341.
      {"FAT32 from its tables and a directory",
       {kFatStart, kFatStart + 6},
       0,
       83968,
       // The start comes from the FSInfo sector at 2049 (its copy at 2055),
       // not from the first FAT, which lies 32 reserved sectors in.
       {"Partition0 2048+81920 0b o1 spc1 zero3338 fat630"},
       {"/README.TXT 4 9", "/文档/年度报告 2024 最终版.txt 4 27", "/照片/2024/IMG_0001.JPG 4 185"}},
      // Record 0 at 84000 and at 104440, $MFT at cluster 4 and $MFTMirr at
      // 2559: 20440 sectors over 2555 clusters. A range that does not start
      // at sector 0 still measures the volume to the range's end.
      {"NTFS from its table and mirror",
       {kNtfsStart, kNtfsBackup},
       80000,
       0,
       {"Partition0 83968+47104 07 o1 spc8 zero83968 fat0"},
       {"/图片/风景.bmp 4 73", "/项目/代码/build.log 4 74"}},
      // Only the FAT32 backup, six sectors in: its hidden sectors name 2048
      // (no label: the label reader needs the primary boot sector).
      {"FAT32 by its backup boot sector", {kFatStart}, 2040, 100, {"Partition0 2048+81900 0b o2"}, {}},
      // A backup whose hidden sectors would place the volume six sectors in is
      // the same volume as its primary: one row.
      {"a moved FAT32 backup", {}, 2040, 100, {"Partition0 2048+81900 0b o2 'DEMO_FAT32'"}, {}, MoveFat32Backup},
      // The boot sector is the first sector behind the range.
      {"a range ending before the boot sector", {}, kNtfsStart - 100, 100, {}, {}},
      {"a range ending with it", {}, kNtfsStart - 100, 101, {"Partition0 83968+40959 07 o2 'DEMO_NTFS'"}, {}},
  };
  for (const DemoCase& c : cases) {
    SCOPED_TRACE(c.what);
    auto image = *demo;
    for (const uint64_t sector : c.wiped) Put(image, sector, std::vector<uint8_t>(512));
    if (c.patch) c.patch(image);
    DiskInfo disk;
    ASSERT_EQ(Scan(image, disk, c.first, c.count == 0 ? UINT64_MAX : c.count), 1);
    ASSERT_EQ(Rows(disk), c.rows);
    if (c.listed.empty()) continue;
    auto source = platform::MemorySource::borrow(image);
    platform::ProgressBlock progress;
    PartitionInfo& volume = disk.partitions[0];
    std::vector<std::string> tree;
    if (volume.typeByte == 0x07) {
      ASSERT_TRUE(fs::ScanNtfsVolume(source.get(), disk, volume, progress));
      ASSERT_NE(fs::FindNtfsState(volume), nullptr);
      tree = test::Tree(fs::FindNtfsState(volume)->root);
    } else {
      fs::ScanFatVolume(source.get(), disk, volume, true, fs::FatMode::kWalk, progress);
      ASSERT_NE(fs::FindFatState(volume), nullptr);
      tree = test::Tree(fs::FindFatState(volume)->root);
    }
    for (const std::string& line : c.listed) EXPECT_NE(std::find(tree.begin(), tree.end(), line), tree.end()) << line;
  }
}

// ---- Small disks ----

TEST(RawScanChunks, EdgesOfChunksAndCarvedFilesThatCrossThem) {
  std::vector<uint8_t> image((2 * kChunk + 0x800) * 512);
  Put(image, kChunk - 2, test::Fat16BootSector());
  // A file record in the last sector of chunk 0: its second half, which its
  // update sequence checks, is the first sector of chunk 1.
  Put(image, kChunk - 1, test::RecordBuilder(7).fileName(5, u"edge.txt").build());
  // An AVI of 0x10000D bytes (2049 sectors) near the end of chunk 1 hides
  // the boot sectors inside it, also the one past the chunk mark, but not
  // the one right behind it.
  std::vector<uint8_t> avi(512);
  test::PutText(avi, 0, "RIFF");
  test::Put32(avi, 4, 0x100001);
  test::PutText(avi, 8, "AVI LIST");
  Put(image, 2 * kChunk - 0x100, avi);
  Put(image, 2 * kChunk - 0x80, test::Fat16BootSector());
  Put(image, 2 * kChunk, test::Fat16BootSector());
  Put(image, 2 * kChunk - 0x100 + 2049, test::Fat16BootSector());

  DiskInfo disk;
  Recorder recorder;
  platform::ProgressBlock progress(&recorder);
  ASSERT_EQ(Scan(image, disk, 0, UINT64_MAX, &progress), 1);
  EXPECT_EQ(Rows(disk), (std::vector<std::string>{"Partition0 20478+0 06 o2", "Partition1 42753+0 06 o2"}));
  EXPECT_EQ(disk.mftRecordRuns, (std::map<uint64_t, uint32_t>{{kChunk - 1, 2}}));
  ASSERT_EQ(disk.extraFoundFolder.children.count(2 * kChunk - 0x100), 1u);
  EXPECT_EQ(disk.extraFoundFolder.children.at(2 * kChunk - 0x100).size, 0x10000Du);
  EXPECT_EQ(recorder.stages, (std::vector<std::pair<int64_t, int64_t>>{{2, 1}}));
  EXPECT_EQ(recorder.positions, (std::vector<uint64_t>{0, 1, 2}));
  EXPECT_EQ(progress.text(), "40960 扇区被扫描");
}

// Files that start inside a neighbour's saved size are probed too: OLE2
// documents sized by their whole allocation table (64 KiB each) lying back
// to back, and JPEGs whose last sector goes on with other bytes behind the
// end marker, each cut at its own end. Nothing is carved from inside them.
TEST(RawScanCarving, FilesThatStartInsideANeighboursSizeAreCarved) {
  std::vector<uint8_t> image(1024 * 512);
  std::map<uint64_t, std::pair<uint32_t, std::string>> expected;
  uint64_t sector = 16;
  for (const char* file : {"tika-testEXCEL.xls", "tika-testWORD.doc", "tika-testPPT.ppt", "pydocx-python-icon.jpeg",
                           "tika-testJPEG.jpg", "tika-testJPEG_EXIF.jpg"}) {
    const auto bytes = test::LoadImage(test::CorpusDir() / "carve" / file);
    if (!bytes) GTEST_SKIP() << "corpus absent";
    Put(image, sector, *bytes);
    const std::string name = file;
    const bool jpeg = name.ends_with(".jpg") || name.ends_with(".jpeg");
    const uint64_t sectors = (bytes->size() + 511) / 512;
    if (jpeg)
      std::fill(image.begin() + static_cast<long>(sector * 512 + bytes->size()),
                image.begin() + static_cast<long>((sector + sectors) * 512), 0xA5);
    expected[sector] = {jpeg ? static_cast<uint32_t>(bytes->size() + 2) : 65536u,
                        std::to_string(sector) + (jpeg ? ".jpg" : name.substr(name.size() - 4))};
    sector += sectors;
  }
  DiskInfo disk;
  ASSERT_EQ(Scan(image, disk), 1);
  std::map<uint64_t, std::pair<uint32_t, std::string>> carved;
  for (const auto& [start, file] : disk.extraFoundFolder.children) carved[start] = {file.size, file.name};
  EXPECT_EQ(carved, expected);
}

// A drive that fails a whole request when any sector of it is bad, as a
// block device read through the page cache may.
class AllOrNothing final : public platform::SectorSource {
 public:
  explicit AllOrNothing(platform::SectorSource& inner) : inner_(inner) {}
  platform::ReadOutcome readAt(uint64_t offset, std::span<uint8_t> out) override {
    platform::ReadOutcome outcome = inner_.readAt(offset, out);
    if (outcome.error != 0) outcome.bytes = 0;
    return outcome;
  }
  uint64_t size() const override { return inner_.size(); }

 private:
  platform::SectorSource& inner_;
};

// A read that fails loses only its bad sectors: the volumes right behind a
// lone bad sector, a bad sector that is also the sector after a slice, and
// a bad stretch over several slices are all found; the runs are reported
// exactly; and the stretch costs a bounded number of reads, not one per
// sector, whether a failed read delivers the sectors before the bad one or
// nothing.
TEST(RawScanUnreadable, OnlyTheBadSectorsAreLostAndTheirReadsAreBounded) {
  std::vector<uint8_t> image((2 * kChunk + 64) * 512);
  std::set<uint64_t> bad = {100, 2048, 2 * kChunk + 10};
  for (uint64_t s = 3000; s < 10000; ++s) bad.insert(s);
  for (uint64_t sector :
       {uint64_t{99}, uint64_t{101}, uint64_t{1500}, uint64_t{2049}, uint64_t{2999}, uint64_t{10000}, 2 * kChunk + 11})
    Put(image, sector, test::Fat16BootSector());
  auto scan = [&](const std::set<uint64_t>& unreadable, bool wholeRequestFails, DiskInfo& disk, RawScanReport& report) {
    auto inner = platform::MemorySource::borrow(image);
    platform::FaultySource faulty(*inner, unreadable);
    AllOrNothing strict(faulty);
    disk.sizeBytes = static_cast<int64_t>(image.size());
    platform::ProgressBlock progress;
    platform::SectorSource* source = wholeRequestFails ? static_cast<platform::SectorSource*>(&strict) : &faulty;
    EXPECT_EQ(RawDiskScan(source, disk, progress, 0, image.size() / 512, nullptr, &report), 1);
    return faulty.readCalls();
  };
  DiskInfo sound;
  RawScanReport soundReport;
  const uint64_t baseline = scan({}, false, sound, soundReport);
  EXPECT_TRUE(soundReport.unreadable.empty());
  EXPECT_EQ(sound.partitions.size(), 7u);
  for (const bool wholeRequestFails : {false, true}) {
    SCOPED_TRACE(wholeRequestFails ? "a failed read delivers nothing" : "a failed read delivers what precedes");
    DiskInfo damaged;
    RawScanReport report;
    const uint64_t calls = scan(bad, wholeRequestFails, damaged, report);
    EXPECT_EQ(Rows(damaged), Rows(sound));
    EXPECT_EQ(report.unreadable, (std::vector<UnreadableRun>{{100, 1}, {2048, 1}, {3000, 7000}, {2 * kChunk + 10, 1}}));
    EXPECT_EQ(report.unreadableSectors(), bad.size());
    EXPECT_LT(calls - baseline, 200u);  // 61 and 94 today; one read per bad sector would be over 7,000
  }
}

TEST(RawScanMftRuns, RecordsCloseTogetherMakeOneRunThatCoversItsLastRecord) {
  std::vector<uint8_t> image(512 * 512);
  for (uint64_t sector : {100, 102, 104, 135, 167})
    Put(image, sector, test::RecordBuilder(9).fileName(5, u"r").build());
  DiskInfo disk;
  disk.mftRecordRuns[190] = 10;  // from an earlier scan
  ASSERT_EQ(Scan(image, disk), 1);
  // 135 lies 29 sectors behind the run's end at 106 and joins it; 167 lies 30
  // behind 137 and starts a run, which reaches the earlier run at 190.
  EXPECT_EQ(disk.mftRecordRuns, (std::map<uint64_t, uint32_t>{{100, 37}, {167, 33}}));
}

// FAT directory entries and sectors for the directory tests.
constexpr uint16_t kDate2024 = 0x5861;
constexpr uint16_t kDate1999 = 0x2621;

void ShortEntry(std::vector<uint8_t>& b, uint64_t sector, unsigned slot, const char* name11, uint8_t attr,
                uint32_t cluster, uint32_t size = 0, uint16_t date = kDate2024) {
  const size_t at = sector * 512 + slot * 32;
  std::memcpy(b.data() + at, name11, 11);
  b[at + 0x0B] = attr;
  for (const size_t field : {0x10, 0x12, 0x18}) test::Put16(b, at + field, date);
  test::Put16(b, at + 0x14, static_cast<uint16_t>(cluster >> 16));
  test::Put16(b, at + 0x1A, static_cast<uint16_t>(cluster));
  test::Put32(b, at + 0x1C, size);
}

void LongEntry(std::vector<uint8_t>& b, uint64_t sector, unsigned slot, uint8_t sequence, uint8_t checksum) {
  const size_t at = sector * 512 + slot * 32;
  b[at] = sequence;
  b[at + 1] = 'a';
  b[at + 0x0B] = 0x0F;
  b[at + 0x0D] = checksum;
}

void DotEntries(std::vector<uint8_t>& b, uint64_t sector, uint32_t cluster) {
  ShortEntry(b, sector, 0, ".          ", 0x10, cluster);
  ShortEntry(b, sector, 1, "..         ", 0x10, 0);
}

// The first entries of a FAT32 or FAT16 table at `sector`.
void FatTable(std::vector<uint8_t>& b, uint64_t sector, bool fat32) {
  Put(b, sector,
      fat32 ? std::vector<uint8_t>{0xF8, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0x0F}
            : std::vector<uint8_t>{0xF8, 0xFF, 0xFF, 0xFF});
}

// FAT32 tables at 100 and 110, so clusters count from 120 onwards.
std::vector<uint8_t> DirectoryPairDisk(uint64_t secondSector) {
  std::vector<uint8_t> image(2048 * 512);
  FatTable(image, 100, true);
  FatTable(image, 110, true);
  DotEntries(image, 1000, 10);          // 880 sectors over 8 clusters: no cluster size
  DotEntries(image, secondSector, 13);  // nor here, but against the first directory
  return image;
}

// Sectors full of entries that cannot be a directory stay off the list.
std::vector<uint8_t> EntriesDisk() {
  std::vector<uint8_t> image(64 * 512);
  ShortEntry(image, 10, 0, "README  TXT", 0x20, 9, 600);
  ShortEntry(image, 10, 1, "DOCS       ", 0x10, 3);
  ShortEntry(image, 11, 0, "OLD     TXT", 0x20, 9, 600, kDate1999);
  ShortEntry(image, 12, 0, "LABEL      ", 0x08, 0);
  LongEntry(image, 12, 1, 0x42, 0xF4);  // 0xF4: the checksum of LONGNA~1TXT
  LongEntry(image, 12, 2, 0x01, 0xF4);
  ShortEntry(image, 12, 3, "LONGNA~1TXT", 0x20, 5, 10);
  ShortEntry(image, 13, 0, "LABEL      ", 0x08, 0);
  ShortEntry(image, 13, 1, "LABEL2     ", 0x08, 0);
  LongEntry(image, 14, 0, 0x41, 0x00);  // a checksum that is not the short name's
  ShortEntry(image, 14, 1, "LONGNA~1TXT", 0x20, 5, 10);
  LongEntry(image, 15, 0, 0x43, 0xF4);  // 3, then 1: a number skipped
  LongEntry(image, 15, 1, 0x01, 0xF4);
  ShortEntry(image, 15, 2, "LONGNA~1TXT", 0x20, 5, 10);
  ShortEntry(image, 16, 0, "EMPTY   DAT", 0x20, 0, 10);  // bytes without a cluster
  DotEntries(image, 17, 3);                              // no FAT pair: "." gives no volume
  return image;
}

// FAT16 tables at 10 and 20, then the 32-sector root: clusters start at 62.
// A "." naming cluster 2 says nothing of the cluster size and leaves the
// pair in place.
std::vector<uint8_t> Fat16PairDisk() {
  std::vector<uint8_t> image(256 * 512);
  FatTable(image, 10, false);
  FatTable(image, 20, false);
  DotEntries(image, 70, 2);
  DotEntries(image, 74, 5);
  return image;
}

TEST(RawScanDirectories, DirectoriesAndFatTablePairsRebuildVolumes) {
  struct Case {
    const char* what;
    std::vector<uint8_t> image;
    std::vector<std::string> rows;
    std::set<uint64_t> directories;
  };
  const Case cases[] = {
      {"entries", EntriesDisk(), {}, {10, 12, 17}},
      // 24 sectors over 3 clusters: 8 per cluster; cluster 0 at 1000 - 80.
      {"two directories",
       DirectoryPairDisk(1024),
       {"Partition0 920+1128 06 o1 spc8 zero920 fat0", "Partition1 920+1128 0b o1 spc8 zero920 fat1"},
       {1000, 1024}},
      {"two directories 20 sectors apart", DirectoryPairDisk(1020), {}, {1000, 1020}},
      {"a FAT16 pair and a directory", Fat16PairDisk(), {"Partition0 4+252 06 o1 spc4 zero54 fat10"}, {70, 74}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DiskInfo disk;
    ASSERT_EQ(Scan(c.image, disk), 1);
    EXPECT_EQ(Rows(disk), c.rows);
    EXPECT_EQ(disk.directorySectors, c.directories);
  }
}

TEST(RawScanCancel, StopKeepsWhatWasFoundAndStillRebuilds) {
  auto image = DirectoryPairDisk(1024);
  image.resize((kChunk + 64) * 512);
  Put(image, kChunk + 10, test::Fat16BootSector());
  DiskInfo disk;
  Recorder recorder;
  platform::ProgressBlock progress(&recorder);
  recorder.block = &progress;
  recorder.cancelAt = 1;
  ASSERT_EQ(Scan(image, disk, 0, UINT64_MAX, &progress), 1);
  EXPECT_EQ(recorder.positions, (std::vector<uint64_t>{0, 1}));
  EXPECT_EQ(Rows(disk), (std::vector<std::string>{"Partition0 920+19624 06 o1 spc8 zero920 fat9",
                                                  "Partition1 920+19624 0b o1 spc8 zero920 fat19"}));

  DiskInfo before;
  platform::ProgressBlock stopped;
  stopped.requestCancel();
  ASSERT_EQ(Scan(image, before, 0, UINT64_MAX, &stopped), 1);
  EXPECT_TRUE(before.partitions.empty());
  EXPECT_TRUE(before.directorySectors.empty());
}

// A disk opened by its path is the CLI's rawscan test.
TEST(RawScanSources, AnAssembledVolumeInsteadOfTheDiskAndADiskThatCannotBeOpened) {
  // An assembled volume: the disk is not opened, every read goes to the member.
  std::vector<uint8_t> image(64 * 512);
  platform::ProgressBlock progress;
  Put(image, 5, test::NtfsBootSector());
  test::Put64(image, 5 * 512 + 0x30, 3);  // $MFT at cluster 3: sector 29
  Put(image, 29, test::RecordBuilder(0).fileName(5, u"$MFT").build());
  // One member disk holding the image: stripes of two members would split it.
  test::TempDir dir;
  PartitionInfo volume;
  volume.volumeKind = disk::VolumeKind::kSpanned;
  volume.sectorCount = 64;
  volume.members = {{{}, dir.write("member.img", image).string(), 0, 64}};
  DiskInfo mapped;
  mapped.devicePath = "/nonexistent/disk";
  EXPECT_EQ(RawDiskScan(mapped, progress, 0, 64, &volume), 1);
  EXPECT_EQ(Rows(mapped), std::vector<std::string>{"Partition0 5+1048576 07 o2"});

  DiskInfo missing;
  missing.devicePath = "/nonexistent/disk";
  EXPECT_EQ(RawDiskScan(missing, progress, 0, 64), 0);
  EXPECT_TRUE(missing.partitions.empty());
}

// ---- Holes of sparse images ----

// The sweep passes over the holes of a sparse image unread: zeros match none
// of its tests. First that premise, then the demo disk between holes swept
// once through the file (holes skipped) and once through a wrapper that
// knows no holes: the same finds.
TEST(RawScanHoles, ZerosMatchNothingAndASparseImageSweepsAsADenseOne) {
  const std::vector<uint8_t> zeros(3 * kChunk * 512 + 7 * 512);
  DiskInfo nothing;
  ASSERT_EQ(Scan(zeros, nothing), 1);
  EXPECT_TRUE(nothing.partitions.empty());
  EXPECT_TRUE(nothing.extraFoundFolder.children.empty());
  EXPECT_TRUE(nothing.directorySectors.empty());
  EXPECT_TRUE(nothing.mftRecordRuns.empty());

  const auto* demo = Demo();
  if (!demo) GTEST_SKIP() << "demo image absent";
  // 3 MiB and a bit of hole, the demo disk written sparse, 5 MiB of hole.
  test::TempDir dir;
  const auto path = dir.path() / "sparse.img";
  constexpr uint64_t kLead = 3 * 2048 + 100;  // sectors
  {
    std::ofstream out(path, std::ios::binary);
    for (size_t at = 0; at < demo->size(); at += 4096) {
      const auto block = demo->begin() + static_cast<std::ptrdiff_t>(at);
      if (std::all_of(block, block + 4096, [](uint8_t b) { return b == 0; })) continue;
      out.seekp(static_cast<std::streamoff>(kLead * 512 + at));
      out.write(reinterpret_cast<const char*>(&*block), 4096);
    }
  }
  const uint64_t sectors = kLead + demo->size() / 512 + 5 * 2048;
  std::filesystem::resize_file(path, sectors * 512);
  auto opened = platform::FileSource::open(path.string());
  ASSERT_TRUE(opened.source);
  if (opened.source->nextDataAt(0) == 0) GTEST_SKIP() << "the temporary folder's file system keeps no holes";
  platform::FaultySource dense(*opened.source, {});
  struct Swept {
    std::vector<std::string> rows;
    std::vector<uint64_t> carved;
    std::set<uint64_t> directories;
    std::map<uint64_t, uint32_t> runs;
  };
  auto sweep = [&](platform::SectorSource& source) {
    DiskInfo disk;
    disk.sizeBytes = static_cast<int64_t>(sectors * 512);
    platform::ProgressBlock quiet;
    EXPECT_EQ(RawDiskScan(&source, disk, quiet, 0, sectors), 1);
    Swept s{Rows(disk), {}, disk.directorySectors, disk.mftRecordRuns};
    for (const auto& entry : disk.extraFoundFolder.children) s.carved.push_back(entry.first);
    return s;
  };
  const Swept sparse = sweep(*opened.source);
  const Swept full = sweep(dense);
  EXPECT_EQ(sparse.rows, full.rows);
  EXPECT_EQ(sparse.carved, full.carved);
  EXPECT_EQ(sparse.directories, full.directories);
  EXPECT_EQ(sparse.runs, full.runs);
  // The demo's volumes, found where they now lie.
  ASSERT_GE(full.rows.size(), 2u);
  EXPECT_EQ(full.rows[0], "Partition0 " + std::to_string(kLead + kFatStart) + "+81900 0b o2 'DEMO_FAT32'");
}

}  // namespace
}  // namespace orvaldi::raw
