// Boot-sector, superblock and MFT-record recognisers on crafted bytes.
#include <gtest/gtest.h>

#include "disk/recognisers.h"
#include "support/test_images.h"

namespace orvaldi::disk {
namespace {

using test::Put16;
using test::Put32;
using test::PutText;

TEST(Fat16BootSector, NeedsExactly512RootEntries) {
  auto s = test::Fat16BootSector();
  EXPECT_EQ(IsFat16BootSector(s), 1);
  for (uint16_t entries : {uint16_t{224}, uint16_t{1024}, uint16_t{0}}) {
    auto t = s;
    Put16(t, 0x11, entries);
    EXPECT_EQ(IsFat16BootSector(t), 0) << entries;
  }
  auto noSig = s;
  Put16(noSig, 0x1FE, 0);
  EXPECT_EQ(IsFat16BootSector(noSig), 0);
  auto bigSectors = s;
  Put16(bigSectors, 0x0B, 4096);
  EXPECT_EQ(IsFat16BootSector(bigSectors), 0);
  auto fat12 = s;
  PutText(fat12, 0x36, "FAT12");
  EXPECT_EQ(IsFat16BootSector(fat12), 0);
  EXPECT_EQ(IsFat16BootSector(std::span(s).first(511)), 0);
  EXPECT_EQ(IsFat16BootSector(std::vector<uint8_t>(512)), 0);
}

TEST(Fat32BootSector, RejectsEachBrokenField) {
  const auto s = test::Fat32BootSector();
  EXPECT_EQ(IsFat32BootSector(s), 1);
  auto breakWith = [&](auto change) {
    auto t = s;
    change(t);
    return IsFat32BootSector(t);
  };
  EXPECT_EQ(breakWith([](auto& t) { Put16(t, 0x32, 12); }), 0);  // backup boot sector at 12
  EXPECT_EQ(breakWith([](auto& t) { t[0x10] = 1; }), 0);         // one FAT
  EXPECT_EQ(breakWith([](auto& t) { Put16(t, 0x11, 512); }), 0); // root entries
  EXPECT_EQ(breakWith([](auto& t) { Put16(t, 0x13, 1); }), 0);   // 16-bit total sectors
  EXPECT_EQ(breakWith([](auto& t) { Put16(t, 0x16, 9); }), 0);   // 16-bit FAT size
  EXPECT_EQ(breakWith([](auto& t) { PutText(t, 0x52, "FAT16"); }), 0);
  EXPECT_EQ(IsFat16BootSector(s), 0);
  EXPECT_EQ(IsNtfsBootSector(s), 0);
}

TEST(NtfsBootSector, NeedsHiddenSectors) {
  const auto s = test::NtfsBootSector();
  EXPECT_EQ(IsNtfsBootSector(s), 1);
  auto superfloppy = s;
  Put32(superfloppy, 0x1C, 0);
  EXPECT_EQ(IsNtfsBootSector(superfloppy), 0);
  auto fats = s;
  fats[0x10] = 2;
  EXPECT_EQ(IsNtfsBootSector(fats), 0);
  auto reserved = s;
  Put16(reserved, 0x16, 1);
  EXPECT_EQ(IsNtfsBootSector(reserved), 0);
  auto oem = s;
  PutText(oem, 3, "MSDOS");
  EXPECT_EQ(IsNtfsBootSector(oem), 0);
}

TEST(ExfatBootSector, NeedsZeroedLegacyArea) {
  const auto s = test::ExfatBootSector();
  EXPECT_EQ(IsExfatBootSector(s), 1);
  for (size_t at : {0x0Bu, 0x20u, 0x3Fu}) {
    auto t = s;
    t[at] = 1;
    EXPECT_EQ(IsExfatBootSector(t), 0) << at;
  }
  auto t = s;
  t[0x40] = 0xFF;  // past the legacy area: allowed
  EXPECT_EQ(IsExfatBootSector(t), 1);
}

TEST(ExtSuperblock, AcceptanceRules) {
  const auto s = test::ExtSuperblock();
  EXPECT_EQ(IsExtSuperblock(s), 1);
  EXPECT_EQ(IsExtSuperblock({}), 0);
  auto breakWith = [&](auto change) {
    auto t = s;
    change(t);
    return IsExtSuperblock(t);
  };
  EXPECT_EQ(breakWith([](auto& t) { Put32(t, 0x30, 0); }), 0);        // never written
  EXPECT_EQ(breakWith([](auto& t) { Put32(t, 0x2C, 0); }), 0);        // never mounted
  EXPECT_EQ(breakWith([](auto& t) { Put32(t, 0x48, 3); }), 0);        // created by FreeBSD
  EXPECT_EQ(breakWith([](auto& t) { Put16(t, 0x58, 64); }), 0);       // inode too small
  EXPECT_EQ(breakWith([](auto& t) { Put32(t, 0x18, 22); }), 0);       // 1024 << 22 wraps to 0
  EXPECT_EQ(breakWith([](auto& t) { Put32(t, 0x18, 32); }), 1);       // modulo 32: 1 KiB again
  EXPECT_EQ(breakWith([](auto& t) { Put32(t, 0x10, 2048); }), 0);     // free inodes = inodes
  EXPECT_EQ(breakWith([](auto& t) { Put32(t, 0x0C, 8192); }), 0);     // free blocks = blocks
  EXPECT_EQ(breakWith([](auto& t) { Put32(t, 0x14, 8192); }), 0);     // first data block past the end
  EXPECT_EQ(breakWith([](auto& t) { Put32(t, 0x20, 0); }), 0);
  // Above 2^32 blocks the per-group checks are skipped.
  EXPECT_EQ(breakWith([](auto& t) {
              Put32(t, 0x150, 1);
              Put32(t, 0x14, 0xFFFFFFFF);
            }),
            1);
}

TEST(ExtSuperblock, VolumesSmallerThanOneGroupAreAccepted) {
  // mke2fs keeps a full group size on small volumes: 100 blocks, 8,192 per group.
  auto s = test::ExtSuperblock();
  Put32(s, 0x04, 100);
  Put32(s, 0x0C, 20);
  Put32(s, 0x20, 8192);
  EXPECT_EQ(IsExtSuperblock(s), 1);
  // A group larger than one bitmap block can describe is still nonsense.
  Put32(s, 0x20, 8 * 1024 + 1);
  EXPECT_EQ(IsExtSuperblock(s), 0);
}

TEST(ExtSuperblock, GenerationAndSize) {
  auto s = test::ExtSuperblock();
  EXPECT_EQ(ExtGeneration(s), "EXT4");  // journal and extents
  Put32(s, 0x60, 0);
  EXPECT_EQ(ExtGeneration(s), "EXT3");  // journal only
  Put32(s, 0x5C, 0);
  Put32(s, 0x60, 0x40);
  EXPECT_EQ(ExtGeneration(s), "EXT2");  // extents without journal
  EXPECT_EQ(ExtVolumeSectors(s, 512), 8192u * 2);
  // 4 KiB blocks, 2^21 blocks: 8 GiB, past what 32-bit arithmetic holds.
  Put32(s, 0x18, 2);
  Put32(s, 0x04, 1u << 21);
  EXPECT_EQ(ExtVolumeSectors(s, 512), (8ull << 30) / 512);
}

TEST(HfsSignatureKind, Kinds) {
  std::vector<uint8_t> h(512);
  EXPECT_EQ(HfsSignatureKind(h), 0u);
  EXPECT_EQ(HfsSignatureKind({}), 0u);
  PutText(h, 0, "BD");
  EXPECT_EQ(HfsSignatureKind(h), 1u);
  PutText(h, 0x7C, "H+");
  EXPECT_EQ(HfsSignatureKind(h), 4u);
  PutText(h, 0x7C, "BD");
  EXPECT_EQ(HfsSignatureKind(h), 0u);  // any other embedded signature
  PutText(h, 0, "H+");
  EXPECT_EQ(HfsSignatureKind(h), 2u);
  PutText(h, 0, "HX");
  EXPECT_EQ(HfsSignatureKind(h), 3u);
  PutText(h, 0, "+H");
  EXPECT_EQ(HfsSignatureKind(h), 0u);
}

TEST(NtfsGeometry, ClusterAndRecordSizes) {
  EXPECT_EQ(NtfsSectorsPerCluster(8), 8u);
  EXPECT_EQ(NtfsSectorsPerCluster(0x80), 128u);
  EXPECT_EQ(NtfsSectorsPerCluster(0xF4), 4096u);  // 2 MiB clusters
  EXPECT_EQ(NtfsSectorsPerCluster(0), 0u);
  EXPECT_EQ(NtfsSectorsPerCluster(0x81), 0u);     // 2^127: nonsense
  EXPECT_EQ(NtfsSectorsPerCluster(0xF3), 0u);     // 4 MiB: more than NTFS allows
  EXPECT_EQ(NtfsSectorsPerCluster(0xE8), 0u);     // 2^24 sectors: 8 GiB per cluster buffer
  EXPECT_EQ(NtfsRecordBytes(static_cast<int8_t>(0xF6), 8), 1024u);
  EXPECT_EQ(NtfsRecordBytes(static_cast<int8_t>(0xF4), 8), 4096u);
  EXPECT_EQ(NtfsRecordBytes(1, 2), 1024u);
  EXPECT_EQ(NtfsRecordBytes(0, 8), 0u);
  EXPECT_EQ(NtfsRecordBytes(static_cast<int8_t>(0x80), 8), 0u);
  EXPECT_EQ(NtfsRecordBytes(static_cast<int8_t>(0xF0), 8), 65536u);
  EXPECT_EQ(NtfsRecordBytes(static_cast<int8_t>(0xE8), 8), 0u);  // 16 MiB records
  EXPECT_EQ(NtfsRecordBytes(127, 4096), 0u);                     // 127 clusters of 2 MiB
}

std::vector<uint8_t> MftRecord(size_t size, uint8_t usaOffset, uint16_t usn) {
  std::vector<uint8_t> r(size);
  PutText(r, 0, "FILE");
  r[4] = usaOffset;
  Put16(r, 6, static_cast<uint16_t>(size / 512 + 1));
  Put16(r, usaOffset, usn);
  for (size_t i = 0; i < size / 512; ++i) {
    Put16(r, usaOffset + 2 * (i + 1), static_cast<uint16_t>(0x1100 + i));  // the real end words
    Put16(r, (i + 1) * 512 - 2, usn);
  }
  return r;
}

TEST(UpdateSequence, RestoresProtectedWords) {
  auto r = MftRecord(1024, 0x30, 0x0007);
  ASSERT_EQ(CheckUpdateSequence(r), 1);
  EXPECT_EQ(r[510], 0x00);
  EXPECT_EQ(r[511], 0x11);
  EXPECT_EQ(r[1022], 0x01);
  EXPECT_EQ(r[1023], 0x11);

  auto old = MftRecord(1024, 0x2A, 0x0003);  // records without the number field
  EXPECT_EQ(CheckUpdateSequence(old), 1);
  auto big = MftRecord(4096, 0x30, 0x0042);
  EXPECT_EQ(CheckUpdateSequence(big), 1);
  EXPECT_EQ(big[4094], 0x07);

  auto fhdl = MftRecord(1024, 0x30, 1);
  PutText(fhdl, 0, "FHDL");
  EXPECT_EQ(CheckUpdateSequence(fhdl), 1);
}

TEST(UpdateSequence, RejectsTornAndForeignRecords) {
  auto torn = MftRecord(1024, 0x30, 7);
  Put16(torn, 1022, 8);  // second sector from another write
  const auto before = torn;
  EXPECT_EQ(CheckUpdateSequence(torn), 0);
  EXPECT_EQ(torn, before);  // untouched on failure

  auto badOffset = MftRecord(1024, 0x30, 7);
  badOffset[4] = 0x28;
  EXPECT_EQ(CheckUpdateSequence(badOffset), 0);
  auto index = MftRecord(1024, 0x30, 7);
  PutText(index, 0, "INDX");
  EXPECT_EQ(CheckUpdateSequence(index), 0);
  std::vector<uint8_t> odd(1000);
  EXPECT_EQ(CheckUpdateSequence(odd), 0);
}

}  // namespace
}  // namespace orvaldi::disk
