// Partition tables of real images, checked against The Sleuth Kit's mmls and known layouts.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <sstream>

#include "disk/disk_list.h"
#include "support/test_images.h"

namespace orvaldi::disk {
namespace {

using Extent = std::pair<uint64_t, uint64_t>;  // start, sectors

std::vector<Extent> OurExtents(const DiskInfo& d) {
  std::vector<Extent> out;
  for (const auto& p : d.partitions) out.emplace_back(p.startSector, p.sectorCount);
  std::sort(out.begin(), out.end());
  return out;
}

// The allocated partitions mmls lists ("000:001" slots for DOS, "002" for GPT).
std::optional<std::vector<Extent>> MmlsExtents(const std::string& image) {
  const auto r = test::RunCommand("mmls '" + image + "'");
  if (r.exitCode != 0) return std::nullopt;
  static const std::regex row(R"(^\d+:\s+(\d+(?::\d+)?)\s+(\d+)\s+(\d+)\s+(\d+)\s)");
  std::vector<Extent> out;
  std::istringstream lines(r.out);
  std::string line;
  std::smatch m;
  while (std::getline(lines, line)) {
    if (std::regex_search(line, m, row)) out.emplace_back(std::stoull(m[2]), std::stoull(m[4]));
  }
  std::sort(out.begin(), out.end());
  return out;
}

class MmlsAgrees : public ::testing::TestWithParam<std::string> {};

TEST_P(MmlsAgrees, SameStartsAndSizes) {
  if (test::RunCommand("command -v mmls").exitCode != 0) GTEST_SKIP() << "sleuthkit not installed";
  const std::filesystem::path path = GetParam();
  auto bytes = test::LoadImage(path);
  if (!bytes) {
    if (path.string().find("shared/corpus") != std::string::npos) GTEST_SKIP() << "corpus image absent";
    FAIL() << "missing " << path;
  }
  test::TempDir dir;
  const auto image = dir.write("disk.img", *bytes);
  const auto disk = LoadSource(image.string());
  ASSERT_TRUE(disk);
  const auto expected = MmlsExtents(image.string());
  ASSERT_TRUE(expected);
  ASSERT_FALSE(expected->empty()) << "mmls listed nothing: the row pattern no longer matches";
  EXPECT_EQ(OurExtents(*disk), *expected);
}

INSTANTIATE_TEST_SUITE_P(
    Images, MmlsAgrees,
    ::testing::Values((test::CorpusDir() / "ptable/dftt-1-ext-part-test-2.dd.gz").string(),
                      (test::CorpusDir() / "ptable/dfir-mbr-win-ebr-chain.img.gz").string(),
                      (test::CorpusDir() / "ptable/dfir-mbr-ext-first.img.gz").string(),
                      (test::CorpusDir() / "ptable/dfir-mbr-ext-lvm.img.gz").string(),
                      (test::CorpusDir() / "ptable/dfir-gpt-3p.img.gz").string(),
                      (test::CorpusDir() / "ntfs/dfir-ntfs-index-disk.img.gz").string(),
                      test::DemoImageGz().string(),
                      (test::FixturesDir() / "ptables/mbr-ext.img.gz").string(),
                      (test::FixturesDir() / "ptables/gpt.img.gz").string(),
                      (test::FixturesDir() / "ptables/mbr-dos-chain.img.gz").string(),
                      (test::FixturesDir() / "ptables/mbr-exfat-primary.img.gz").string()),
    [](const auto& param) { return test::TestNameFromPath(param.param); });

DiskInfo LoadImageFile(const std::filesystem::path& file) {
  auto bytes = test::LoadImage(file);
  if (!bytes) return {};
  test::TempDir dir;
  const auto image = dir.write("disk.img", *bytes);
  auto disk = LoadSource(image.string());
  return disk ? *disk : DiskInfo{};
}

DiskInfo LoadCorpus(const char* file) { return LoadImageFile(test::CorpusDir() / file); }
DiskInfo LoadFixture(const char* file) { return LoadImageFile(test::FixturesDir() / "ptables" / file); }

struct Row {
  const char* name;
  uint8_t type;
  uint8_t table;
  const char* fs;  // the EXT generation, or empty
  const char* label;
};

void ExpectRows(const DiskInfo& d, const std::vector<Row>& rows) {
  ASSERT_EQ(d.partitions.size(), rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    const auto& p = d.partitions[i];
    EXPECT_EQ(p.name, rows[i].name) << i;
    EXPECT_EQ(p.typeByte, rows[i].type) << i;
    EXPECT_EQ(p.tableKind, rows[i].table) << i;
    EXPECT_EQ(p.fsLabel, rows[i].fs) << i;
    EXPECT_EQ(p.volumeLabel, rows[i].label) << i;
  }
}

TEST(FixtureTables, MbrWithExtendedChainMadeBySfdisk) {
  ExpectRows(LoadFixture("mbr-ext.img.gz"), {{"Partition0", 0x0C, 1, "", "P1FAT32"},
                                             {"Partition1", 0x07, 1, "", "P2NTFS"},
                                             {"Partition2", 0x06, 2, "", "L1FAT16"},
                                             {"Partition3", 0x83, 2, "EXT4", "L2EXT4"},
                                             {"Partition4", 0x05, 2, "", "L3EXFAT"}});  // exFAT in a 0x07 entry
  ExpectRows(LoadFixture("mbr-exfat-primary.img.gz"), {{"Partition0", 0x05, 1, "", "EXFATP"}});
  const DiskInfo chain = LoadFixture("mbr-dos-chain.img.gz");
  ASSERT_EQ(chain.partitions.size(), 7u);
  const uint64_t starts[] = {2048, 4096, 8192, 12288, 16384, 20480, 24576};
  for (size_t i = 0; i < 7; ++i) EXPECT_EQ(chain.partitions[i].startSector, starts[i]);
}

TEST(FixtureTables, GptMadeBySgdisk) {
  ExpectRows(LoadFixture("gpt.img.gz"), {{"EFI system partition(fat)0", 0x06, 1, "", "ESP"},
                                         {"Data FAT(fat)1", 0x0B, 1, "", "GPTFAT32"},
                                         {"Linux rootPartition2", 0x83, 1, "EXT4", "rootfs"},
                                         {"Windows data(NTFS)3", 0x07, 1, "", "GPTNTFS"},
                                         {"exFAT data(exFat)4", 0x05, 1, "", "GPTEXFAT"}});
  EXPECT_FALSE(LoadFixture("gpt.img.gz").tableChecks.gptEntriesCrcMismatch);
  EXPECT_FALSE(LoadFixture("gpt.img.gz").tableChecks.gptHeaderCrcMismatch);
  // sgdisk and mmls both list the entry after the gap; the list ends at the gap.
  ExpectRows(LoadFixture("gpt-gap.img.gz"), {{"first entry", 0, 1, "", ""}});
}

TEST(CorpusTables, ExtendedChainWithThreeEntryEbr) {
  const DiskInfo d = LoadCorpus("ptable/dftt-1-ext-part-test-2.dd.gz");
  if (d.devicePath.empty()) GTEST_SKIP();
  ASSERT_EQ(d.partitions.size(), 6u);
  const uint64_t starts[] = {63, 52416, 104832, 157311, 209727, 262143};
  for (size_t i = 0; i < 6; ++i) {
    const auto& p = d.partitions[i];
    EXPECT_EQ(p.name, "Partition" + std::to_string(i));
    EXPECT_EQ(p.startSector, starts[i]);
    EXPECT_EQ(p.tableKind, i < 3 ? 1 : 2);
  }
  EXPECT_EQ(d.partitions[5].typeByte, 0x06);
}

TEST(CorpusTables, ExtendedEntryInTheFirstSlot) {
  const DiskInfo d = LoadCorpus("ptable/dfir-mbr-ext-first.img.gz");
  if (d.devicePath.empty()) GTEST_SKIP();
  ASSERT_EQ(d.partitions.size(), 3u);
  EXPECT_EQ(d.partitions[0].startSector, 1025u);  // the primary is numbered first
  EXPECT_EQ(d.partitions[0].name, "Partition0");
  EXPECT_EQ(d.partitions[1].startSector, 2u);
  EXPECT_EQ(d.partitions[2].startSector, 514u);
  EXPECT_EQ(d.partitions[2].tableKind, 2);
}

TEST(CorpusTables, GptBehindSmallProtectiveEntries) {
  // Protective entries on disks under 2 TiB cover the disk, not 0xFFFFFFFF sectors.
  const DiskInfo hybrid = LoadCorpus("ptable/dissect-gpt-hybrid-mbr-ntfs.bin.gz");
  if (hybrid.devicePath.empty()) GTEST_SKIP();
  ASSERT_EQ(hybrid.partitions.size(), 2u);  // the MBR's 0x07 entry after the protective one is not used
  EXPECT_EQ(hybrid.partitions[0].name, "EFI System Partition");
  EXPECT_EQ(hybrid.partitions[0].startSector, 40u);
  EXPECT_EQ(hybrid.partitions[0].sectorCount, 409600u);
  EXPECT_EQ(hybrid.partitions[1].startSector, 411648u);
  EXPECT_EQ(hybrid.partitions[1].sectorCount, 61026304u);

  EXPECT_FALSE(hybrid.tableChecks.gptHeaderCrcMismatch);
  EXPECT_FALSE(hybrid.tableChecks.gptEntriesCrcMismatch);

  // The two MBR primaries before the protective entry repeat GPT partitions: listed once, from the GPT.
  const DiskInfo linux = LoadCorpus("ptable/dissect-gpt-hybrid-linux.bin.gz");
  ASSERT_EQ(linux.partitions.size(), 3u);
  const uint64_t starts[] = {2048, 34, 3073};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(linux.partitions[i].startSector, starts[i]);
    EXPECT_EQ(linux.partitions[i].name.rfind("Partition", 0), std::string::npos) << "an MBR entry";
  }

  // A name of 0xFF bytes is no name; the array's checksum does not match, yet the table is read.
  const DiskInfo ff = LoadCorpus("ptable/dissect-gpt-name-ff.bin.gz");
  ASSERT_EQ(ff.partitions.size(), 1u);
  EXPECT_EQ(ff.partitions[0].startSector, 2048u);
  EXPECT_EQ(ff.partitions[0].name, "");
  EXPECT_FALSE(ff.tableChecks.gptHeaderCrcMismatch);
  EXPECT_TRUE(ff.tableChecks.gptEntriesCrcMismatch);

  const DiskInfo empty = LoadCorpus("ptable/dfir-gpt-empty.img.gz");
  EXPECT_TRUE(empty.partitions.empty());
}

TEST(CorpusTables, WholeDiskNtfsRecordingNoHiddenSectors) {
  struct Case {
    const char* file;
    uint64_t sectors;  // the boot sector's count
    const char* label;
  };
  for (const Case& c : {Case{"ntfs/colinfinck-testfs1.img.gz", 4095, "mylabel"},
                        Case{"ntfs/dfir-ntfs3-attrlist.img.gz", 65535, ""},
                        Case{"ntfs/dfvfs-windows-volume.img.gz", 70143, ""}}) {
    const DiskInfo d = LoadCorpus(c.file);
    if (d.devicePath.empty()) GTEST_SKIP() << "corpus image absent";
    ASSERT_EQ(d.partitions.size(), 1u) << c.file;
    EXPECT_EQ(d.partitions[0].typeByte, 0x07) << c.file;
    EXPECT_EQ(d.partitions[0].sectorCount, c.sectors) << c.file;
    EXPECT_EQ(d.partitions[0].volumeLabel, c.label) << c.file;
  }
}

TEST(CorpusTables, WindowsMbrAndAppleMapHeaders) {
  const DiskInfo win7 = LoadCorpus("ptable/dissect-mbr-win7.bin.gz");
  if (win7.devicePath.empty()) GTEST_SKIP();
  ASSERT_EQ(win7.partitions.size(), 2u);
  EXPECT_EQ(win7.partitions[0].startSector, 2048u);
  EXPECT_EQ(win7.partitions[0].sectorCount, 1024000u);
  EXPECT_EQ(win7.partitions[1].startSector, 1026048u);
  EXPECT_EQ(win7.partitions[1].sectorCount, 124801024u);
  EXPECT_EQ(win7.partitions[1].typeByte, 0x07);

  const DiskInfo apm = LoadCorpus("ptable/dissect-apm-ntfs.bin.gz");
  EXPECT_EQ(apm.mapEntryCount, 3u);
  EXPECT_EQ(apm.sizeBytes, 61440000ll * 512);
  EXPECT_TRUE(apm.partitions.empty());  // only Apple HFS-family entries are recorded
}

}  // namespace
}  // namespace orvaldi::disk
