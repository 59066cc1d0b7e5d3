// Volume labels and verdicts, on crafted volumes and on images made by real tools.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "disk/recognisers.h"
#include "disk/volume_label.h"
#include "disk/volume_probe.h"
#include "platform/sector_source.h"
#include "platform/text.h"
#include "support/fat_builder.h"
#include "support/ntfs_builder.h"
#include "support/test_images.h"

namespace orvaldi::disk {
namespace {

using platform::MemorySource;
using test::Put16;
using test::Put32;
using test::Put64;
using test::PutText;

// GBK labels and labels after files are the fixtures' (RealVolume below).
TEST(ReadVolumeLabel, FatTakesTheFirstLabelEntryAnywhereInTheRootBeforeAnEmptyOne) {
  test::FatBuilder fat32(true, 16, 64);
  fat32.at(2, 0) = 0x41;  // long-name entry: attribute 0x0F is no label
  fat32.at(2, 0, 0x0B) = 0x0F;
  fat32.entry(2, 1, "MY DISK    ", 0x28, 0);                                      // the archive bit may be set
  fat32.entry(2, 2, "SECOND     ", 0x08, 0).entry(2, 4, "LATE       ", 0x08, 0);  // LATE: after an empty entry
  MemorySource src(fat32.bytes());
  EXPECT_EQ(ReadVolumeLabel(src, 0, 0x0C), "MY DISK");
  EXPECT_EQ(ReadVolumeLabel(src, 0, 0x07), "");  // the type code decides the reader
  fat32.entry(2, 1, std::string(11, '\0'), 0, 0);
  MemorySource late(fat32.bytes());
  EXPECT_EQ(ReadVolumeLabel(late, 0, 0x0C), "");

  test::FatBuilder fat16(false, 4, 64);
  for (uint32_t i = 0; i < 20; ++i) fat16.entry(0, i, "F" + std::to_string(100 + i) + "     TXT", 0x20, 0);
  fat16.entry(0, 20, "SECOND SECT", 0x08, 0);  // lies in the root's second sector
  MemorySource src16(fat16.bytes());
  EXPECT_EQ(ReadVolumeLabel(src16, 0, 0x0E), "SECOND SECT");
}

// An NTFS volume whose record 3 holds $STANDARD_INFORMATION, then `label`
// in a resident attribute retyped as the volume name.
constexpr size_t kRecord3 = (test::NtfsVolumeBuilder::kMftCluster + 3 * 2) * 512;
constexpr size_t kVolumeName = 0x48 + 0x60;
std::vector<uint8_t> CraftedNtfs(const std::u16string& label, uint32_t recordBytes = 1024) {
  test::NtfsVolumeBuilder volume(8, 512, recordBytes);
  std::vector<uint8_t> value;
  for (const char16_t c : label) value.insert(value.end(), {static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8)});
  auto record = test::RecordBuilder(3, 1, recordBytes).standardInformation(1, 2, 3).residentData(value).build();
  EXPECT_EQ(record[kVolumeName], 0x80);
  record[kVolumeName] = 0x60;
  volume.put(3, record);
  return volume.bytes();
}

TEST(ReadVolumeLabel, NtfsRecordSizeFromTheBootSectorAndBrokenRecords) {
  MemorySource big(CraftedNtfs(u"Big records", 4096));
  EXPECT_EQ(ReadVolumeLabel(big, 0, 0x07), "Big records");
  const std::function<void(std::vector<uint8_t>&)> breaks[] = {
      [](auto& d) { d[kRecord3 + 1022] ^= 1; },                              // second sector's check word
      [](auto& d) { Put32(d, kRecord3 + 0x48 + 4, 0x7FFFFFF0); },            // first attribute runs off the record
      [](auto& d) { Put32(d, kRecord3 + 0x48 + 4, 0); },                     // would loop forever if followed
      [](auto& d) { Put32(d, kRecord3 + kVolumeName + 0x10, 0xFFFFFFF0); },  // value far past the record
      [](auto& d) { Put64(d, 0x30, ~0ull / 2); },                            // MFT cluster beyond any disk
  };
  auto sound = CraftedNtfs(u"Label");
  MemorySource src(sound);
  ASSERT_EQ(ReadVolumeLabel(src, 0, 0x07), "Label");
  for (size_t i = 0; i < std::size(breaks); ++i) {
    auto disk = sound;
    breaks[i](disk);
    MemorySource broken(disk);
    EXPECT_EQ(ReadVolumeLabel(broken, 0, 0x07), "") << i;
  }
}

TEST(ReadVolumeLabel, ExfatCountPastTheEntryAndHfsLengthPastTheField) {
  std::vector<uint8_t> disk(300 * 512);
  auto boot = test::ExfatBootSector();
  Put32(boot, 0x58, 64);
  Put32(boot, 0x60, 5);
  boot[0x6D] = 2;  // 4 sectors per cluster: root at 64 + 3 * 4
  std::copy(boot.begin(), boot.end(), disk.begin());
  const size_t root = (64 + 12) * 512;
  disk[root] = 0x81;  // bitmap entry first
  disk[root + 32] = 0x83;
  disk[root + 33] = 200;  // an absurd count stays inside the entry
  const std::u16string label = u"照片备份";
  for (size_t i = 0; i < label.size(); ++i) Put16(disk, root + 34 + 2 * i, label[i]);
  MemorySource src(disk);
  EXPECT_EQ(ReadVolumeLabel(src, 0, 0x05).substr(0, 12), "照片备份");

  std::vector<uint8_t> h(512);
  PutText(h, 0, "BD");
  h[0x24] = 200;  // at most 27 characters
  PutText(h, 0x25, "Mac Vol");
  EXPECT_EQ(HfsVolumeLabel(h, HfsKind::kHfs).size(), 27u);
  EXPECT_EQ(HfsVolumeLabel(h, HfsKind::kHfsPlusInHfs).substr(0, 7), "Mac Vol");  // HFS+ inside HFS: the wrapper's name
  EXPECT_EQ(HfsVolumeLabel(h, HfsKind::kHfsx), "HFSX");
  EXPECT_EQ(HfsVolumeLabel(h, HfsKind::kNone), "");
  EXPECT_EQ(HfsVolumeLabel(h, static_cast<HfsKind>(7)), "");  // a number a damaged scan-result file may hold
}

// Volumes made by mkfs.fat, mkntfs, mkfs.exfat, mke2fs and hformat
// (tests/fixtures/make_volumes.sh), and by other people's tools
// (../shared/corpus): IdentifyVolume's verdict ("" for none) and label.
struct VolumeCase {
  std::string path;
  uint64_t sector;
  const char* fs;
  const char* label;
};

void PrintTo(const VolumeCase& c, std::ostream* os) { *os << c.path << "@" << c.sector; }

class RealVolume : public ::testing::TestWithParam<VolumeCase> {};

TEST_P(RealVolume, VerdictAndLabel) {
  const auto& c = GetParam();
  auto bytes = test::LoadImage(c.path);
  if (!bytes && c.path.find("shared/corpus") != std::string::npos) GTEST_SKIP() << "corpus image absent";
  ASSERT_TRUE(bytes) << c.path;
  MemorySource src(std::move(*bytes));
  const VolumeGuess guess = IdentifyVolume(src, c.sector);
  EXPECT_EQ(guess.fs, c.fs);
  EXPECT_EQ(guess.label, c.label);
}

std::string Fixture(const char* file) { return (test::FixturesDir() / "volumes" / file).string(); }
std::string Corpus(const char* file) { return (test::CorpusDir() / file).string(); }

INSTANTIATE_TEST_SUITE_P(
    Tools, RealVolume,
    ::testing::Values(VolumeCase{Fixture("fat16-512.img.gz"), 0, "FAT16", "FAT16LABEL"},
                      VolumeCase{Fixture("fat16-224.img.gz"), 0, "", ""},
                      VolumeCase{Fixture("fat32.img.gz"), 0, "FAT32", "数据盘"},
                      VolumeCase{Fixture("fat32-label-after-files.img.gz"), 0, "FAT32", "LATELABEL"},
                      VolumeCase{Fixture("ntfs-p2048.img.gz"), 0, "NTFS", "NTFS卷标"},
                      // 0 hidden sectors: a volume made on a whole disk, recognised at sector 0.
                      VolumeCase{Fixture("ntfs-p0.img.gz"), 0, "NTFS", "NOHIDDEN"},
                      VolumeCase{Fixture("exfat.img.gz"), 0, "exFAT", "exFAT卷"},
                      VolumeCase{Fixture("ext2.img.gz"), 0, "EXT2", "ext2lbl"},
                      VolumeCase{Fixture("ext3.img.gz"), 0, "EXT3", "ext3lbl"},
                      VolumeCase{Fixture("ext4.img.gz"), 0, "EXT4", "数据"},
                      VolumeCase{Fixture("ext4-nojournal.img.gz"), 0, "EXT2", "nojournal"},
                      VolumeCase{Fixture("ext4-never-mounted.img.gz"), 0, "", ""},
                      VolumeCase{Fixture("hfs.img.gz"), 0, "HFS", "Mac Vol"},
                      VolumeCase{Corpus("fat/dftt-6-fat-undel.dd.gz"), 0, "FAT16", "FAT_REC_1"},
                      // The boot sector says LABEL1; the root's label entry, which we read, says LABEL2.
                      VolumeCase{Corpus("fat/dftt-9-fat-label.dd.gz"), 0, "FAT16", "LABEL2"},
                      VolumeCase{Corpus("fat/dfir-fat32-lfn.img.gz"), 0, "FAT32", ""},
                      VolumeCase{Corpus("ntfs/dissect-ntfs-win.img.gz"), 0, "NTFS", "New Volume"},
                      VolumeCase{Corpus("ntfs/dftt-7-ntfs-undel.dd.gz"), 0, "NTFS", "NTFS_DEL"},
                      VolumeCase{Corpus("ntfs/dfir-ntfs-index-disk.img.gz"), 128, "NTFS", "Test index"},
                      VolumeCase{Corpus("ntfs/ns-ntfs-ptrn-lastaccess-disk.img.gz"), 128, "NTFS", "Last access"},
                      // A bare Windows volume whose boot sector records 0 hidden sectors.
                      VolumeCase{Corpus("ntfs/dfvfs-windows-volume.img.gz"), 0, "NTFS", ""},
                      VolumeCase{Corpus("exfat/dfir-exfat-win.img.gz"), 0, "exFAT", "test123"},
                      VolumeCase{Corpus("ext/dftt-4-ext3-kw.dd.gz"), 0, "EXT3", "KW_SEARCH"},
                      VolumeCase{Corpus("ext/dfvfs-ext2-imynd.img.gz"), 0, "EXT2", ""},
                      VolumeCase{Corpus("ext/dissect-ext4.img.gz"), 0, "EXT4", ""},
                      VolumeCase{Corpus("hfs/nps-2009-hfsjtest1-gen1.img.gz"), 0, "HFS+", "only hfs+"},
                      VolumeCase{Corpus("hfs/dfvfs-hfsplus.img.gz"), 0, "HFS+", "only hfs+"}),
    [](const auto& param) { return test::TestNameFromPath(param.param.path); });

TEST(RealVolume, ZeroHiddenSectorNtfsStillHasItsLabel) {
  // Past sector 0 the recogniser rejects it, but the label reader, asked directly, reads it.
  auto bytes = test::LoadImage(test::FixturesDir() / "volumes/ntfs-p0.img.gz");
  ASSERT_TRUE(bytes);
  bytes->insert(bytes->begin(), 8 * 512, 0);
  MemorySource src(std::move(*bytes));
  EXPECT_EQ(IdentifyVolume(src, 8).fs, "");
  EXPECT_EQ(ReadVolumeLabel(src, 8, 0x07), "NOHIDDEN");
}

TEST(RealVolume, TwoMegabyteClusterBootSector) {
  auto bytes = test::LoadImage(test::CorpusDir() / "ntfs/dissect-ntfs-boot-2MiB-cluster.bin.gz");
  if (!bytes) GTEST_SKIP();
  ASSERT_EQ(IsNtfsBootSector(std::span(*bytes).first(512)), 1);
  // No MFT in this file: the label read finds nothing and does not crash.
  MemorySource src(std::move(*bytes));
  EXPECT_EQ(ReadVolumeLabel(src, 0, 0x07), "");
}

}  // namespace
}  // namespace orvaldi::disk
