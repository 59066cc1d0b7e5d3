// Partition-table backup, restore and rebuild on image files in a temporary
// folder: what is written, and that every refusal leaves the disk untouched.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "disk/disk_list.h"
#include "disk/partition_table_tools.h"
#include "support/disk_builder.h"
#include "support/test_images.h"

namespace fs = std::filesystem;

namespace orvaldi::disk {
namespace {

std::vector<uint8_t> ReadAll(const fs::path& p) { return test::LoadImage(p).value_or(std::vector<uint8_t>{}); }

DiskInfo Load(const fs::path& p) {
  auto d = LoadSource(p.string());
  EXPECT_TRUE(d) << p;
  return d ? *d : DiskInfo{};
}

// FAT32, NTFS and FAT16 primaries on a disk of 8,192 sectors.
std::vector<uint8_t> ThreePartitionDisk() {
  test::DiskBuilder b(8192);
  b.entry(0, 0, 0x0B, 2048, 1000).entry(0, 1, 0x07, 3072, 1000).entry(0, 2, 0x06, 4096, 2000);
  return b.bytes();
}

TEST(PartitionTableTools, BackupHoldsTwoSectorsPerRecordRefusesWhatItCannotHoldAndRestores) {
  test::TempDir dir;
  const auto image = dir.write("three.img", ThreePartitionDisk());
  const DiskInfo d = Load(image);
  ASSERT_EQ(d.partitions.size(), 3u);
  const auto backup = dir.path() / "three.bak";
  const auto done = BackupPartitionTable(d, backup.string());
  ASSERT_EQ(done.status, PtableStatus::kOk) << done.message;
  EXPECT_EQ(done.message, "备份成功");

  const auto bytes = ReadAll(backup);
  // The disk's identity follows a NUL: its size and the digest of sector 0,
  // as sha256sum computes it.
  const auto sha =
      test::RunCommand("head -c 512 " + test::ShellQuote(image.string()) + " | sha256sum").out.substr(0, 64);
  const std::string trailer = "0^1048576^1560576^1572864^2084864^2097152^" + image.string() + "^three.img" +
                              std::string(1, '\0') + "size=4194304 sector0=" + sha;
  ASSERT_EQ(bytes.size(), 6 * 512 + trailer.size());
  EXPECT_EQ(std::string(bytes.end() - static_cast<long>(trailer.size()), bytes.end()), trailer);
  const auto parsed = ParseBackup(bytes);
  ASSERT_TRUE(parsed.contents) << parsed.error;
  EXPECT_EQ(parsed.contents->offsets.size(), 6u);
  ASSERT_TRUE(parsed.contents->identity);
  EXPECT_EQ(parsed.contents->identity->sector0Sha256, sha);

  // A second backup never replaces the first; one whose trailer the format
  // cannot hold is refused before anything is read or created.
  EXPECT_NE(BackupPartitionTable(d, backup.string()).status, PtableStatus::kOk);
  EXPECT_EQ(ReadAll(backup), bytes);
  DiskInfo many = d;
  for (int i = 0; i < 40; ++i) many.partitions.push_back(many.partitions.back());
  const auto refused = BackupPartitionTable(many, (dir.path() / "many.bak").string());
  EXPECT_EQ(refused.status, PtableStatus::kRefused);
  EXPECT_NE(refused.message.find("512"), std::string::npos) << refused.message;
  EXPECT_FALSE(fs::exists(dir.path() / "many.bak"));

  const auto original = ReadAll(image);
  std::vector<uint8_t> wiped = original;
  std::fill(wiped.begin(), wiped.begin() + 512, uint8_t{0});
  dir.write("three.img", wiped);
  const auto restored = RestorePartitionTable(d, backup.string());
  ASSERT_EQ(restored.status, PtableStatus::kOk) << restored.message;
  EXPECT_EQ(restored.message, "恢复成功");
  EXPECT_EQ(ReadAll(image), original);
}

// Every file that does not describe this very disk whole is refused, and
// neither the disk nor any other file changes.
TEST(PartitionTableTools, RestoreRefusesBackupsOfOtherDisksAndCraftedFiles) {
  test::TempDir dir;
  const auto disk = ThreePartitionDisk();
  const auto image = dir.write("three.img", disk);
  fs::create_directory(dir.path() / "elsewhere");
  const auto victim = dir.path() / "elsewhere" / "three.img";  // same disk name, another file
  std::filesystem::copy_file(image, victim);
  const auto other = dir.write("other.img", disk);
  const DiskInfo d = Load(image);
  const auto backup = dir.path() / "three.bak";
  ASSERT_EQ(BackupPartitionTable(d, backup.string()).status, PtableStatus::kOk);
  const auto good = ReadAll(backup);
  const std::string blocks(6 * 512, '\xEE');  // any write of them shows
  auto withTrailer = [&](const std::string& trailer) {
    std::string s = blocks + trailer;
    return std::vector<uint8_t>(s.begin(), s.end());
  };
  const std::string offsets = "0^1048576^1560576^1572864^2084864^";
  const std::string tail = image.string() + "^three.img";

  struct Case {
    const char* what;
    std::vector<uint8_t> file;
    fs::path target;
    PtableStatus status;
    const char* message;
  };
  std::vector<uint8_t> missingBlock = withTrailer(offsets + "2097152^" + tail);
  missingBlock.erase(missingBlock.begin() + 5 * 512, missingBlock.begin() + 6 * 512);
  const std::vector<Case> cases = {
      {"restored onto another disk", good, other, PtableStatus::kRefused, "备份信息与磁盘不对应"},
      {"trailer names another file", withTrailer(offsets + "2097152^" + victim.string() + "^three.img"), image,
       PtableStatus::kRefused, "elsewhere"},
      {"offset past the disk's end", withTrailer(offsets + "4194304^" + tail), image, PtableStatus::kRefused, "beyond"},
      {"a block missing", missingBlock, image, PtableStatus::kBadBackup, "whole blocks"},
      {"offset off a sector boundary", withTrailer(offsets + "2097153^" + tail), image, PtableStatus::kBadBackup,
       "boundary"},
      {"no device path", withTrailer("0^1^2^3^4^5"), image, PtableStatus::kBadBackup, "offset"},
  };
  for (const Case& c : cases) {
    const auto crafted = dir.write("crafted.bak", c.file);
    const DiskInfo target = Load(c.target);
    const auto before = fs::last_write_time(c.target);
    const auto result = RestorePartitionTable(target, crafted.string());
    EXPECT_EQ(result.status, c.status) << c.what << ": " << result.message;
    EXPECT_NE(result.message.find(c.message), std::string::npos) << c.what << ": " << result.message;
    for (const auto& f : {image, victim, other}) EXPECT_EQ(ReadAll(f), disk) << c.what << ": " << f;
    EXPECT_EQ(fs::last_write_time(c.target), before) << c.what;
  }
}

std::string Entries(const RebuildPlan& plan) {
  std::string out;
  for (const auto& e : plan.entries)
    out += std::to_string(e.row) + ":" + std::to_string(e.typeByte) + "@" + std::to_string(e.startSector) + "+" +
           std::to_string(e.sectorCount) + " ";
  return out;
}

// The sfdisk fixture (FAT32, NTFS, a FAT16, ext4 and exFAT logical) with
// what searches add: a found NTFS repeating the table's, a found NTFS
// elsewhere, a rebuilt FAT32 and a found FAT16 beyond 2^32.
TEST(PartitionTableTools, RebuildListsTableAndFoundVolumesAndWritesTheChosenEntries) {
  test::TempDir dir;
  auto bytes = test::LoadImage(test::FixturesDir() / "ptables/mbr-ext.img.gz");
  ASSERT_TRUE(bytes);
  const auto image = dir.write("mbr-ext.img", *bytes);
  DiskInfo d = Load(image);
  auto add = [&](PartitionOrigin origin, uint8_t type, uint64_t start, uint64_t count) {
    PartitionInfo p;
    p.origin = origin;
    p.typeByte = type;
    p.startSector = start;
    p.sectorCount = count;
    d.partitions.push_back(p);
  };
  add(PartitionOrigin::kFound, 0x07, 71680, 16383);
  add(PartitionOrigin::kFound, 0x07, 2048, 1000000);  // no table NTFS there: listed
  add(PartitionOrigin::kRebuilt, 0x0B, 140000, 2000);
  add(PartitionOrigin::kFound, 0x06, uint64_t{1} << 32, 2000);

  std::string listed;
  for (const auto& r : RebuildCandidates(d))
    listed += r.system + "@" + std::to_string(r.startSector) + (r.tableKind == TableKind::kLogical ? "L " : " ");
  EXPECT_EQ(listed, "FAT32@2048 NTFS@71680 FAT16@90112L NTFS@2048 FAT16@4294967296 ");

  struct Case {
    std::vector<size_t> rows;
    std::string entries;  // empty: refused
    const char* message;
  };
  const std::vector<Case> cases = {
      {{2, 0}, "0:12@2048+69632 2:6@90112+16384 ", ""},
      {{1}, "1:7@71680+16384 ", ""},   // a table's count is written as it is
      {{3}, "3:7@2048+1000001 ", ""},  // a found NTFS's count leaves out its backup boot sector
      {{4}, "", "2^32"},
      {{0, 1, 2, 3, 4}, "", "选择错误，请从新选择"},
      {{0, 0}, "", "选择错误，请从新选择"},
      {{5}, "", "选择错误，请从新选择"},
  };
  for (const Case& c : cases) {
    const auto plan = PlanRebuild(d, c.rows);
    EXPECT_EQ(Entries(plan), c.entries) << c.rows.size();
    EXPECT_EQ(plan.result.status == PtableStatus::kOk, c.entries.size() > 0) << plan.result.message;
    EXPECT_NE(plan.result.message.find(c.message), std::string::npos) << plan.result.message;
  }

  const auto before = ReadAll(image);
  const std::vector<size_t> rows = {2, 0};
  const auto result = RebuildPartitionTable(d, rows);
  ASSERT_EQ(result.status, PtableStatus::kOk) << result.message;
  const auto after = ReadAll(image);
  EXPECT_TRUE(std::equal(before.begin(), before.begin() + 0x1BE, after.begin()));  // boot code kept
  EXPECT_TRUE(std::equal(before.begin() + 512, before.end(), after.begin() + 512));
  EXPECT_TRUE(std::all_of(after.begin() + 0x1BE + 32, after.begin() + 0x1FE, [](uint8_t b) { return b == 0; }));

  const auto dump = test::RunCommand("sfdisk --dump " + test::ShellQuote(image.string()));
  ASSERT_EQ(dump.exitCode, 0) << dump.err;
  std::string found;
  const std::regex row(R"(start=\s*(\d+), size=\s*(\d+), type=(\w+))");
  for (std::sregex_iterator it(dump.out.begin(), dump.out.end(), row), end; it != end; ++it)
    found += (*it)[1].str() + "+" + (*it)[2].str() + ":" + (*it)[3].str() + " ";
  EXPECT_EQ(found, "2048+69632:c 90112+16384:6 ") << dump.out;
}

}  // namespace
}  // namespace orvaldi::disk
