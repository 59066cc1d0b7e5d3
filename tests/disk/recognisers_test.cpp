// Boot-sector, superblock and MFT-record recognisers on crafted bytes: each
// accepted sample, then one field broken at a time.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "disk/ntfs_layout.h"
#include "disk/recognisers.h"
#include "support/ntfs_builder.h"
#include "support/test_images.h"

namespace orvaldi::disk {
namespace {

using test::Put16;
using test::Put32;
using test::PutText;
using Bytes = std::vector<uint8_t>;

struct Mutation {
  const char* what;
  std::function<void(Bytes&)> change;
  int verdict;  // the recogniser's answer afterwards
};

void ExpectVerdicts(const char* name, int (*recognise)(std::span<const uint8_t>), const Bytes& sample,
                    std::initializer_list<Mutation> mutations) {
  EXPECT_EQ(recognise(sample), 1) << name;
  for (const Mutation& m : mutations) {
    Bytes t = sample;
    m.change(t);
    EXPECT_EQ(recognise(t), m.verdict) << name << ": " << m.what;
  }
}

auto Set16(size_t at, uint16_t v) {
  return [=](Bytes& t) { Put16(t, at, v); };
}
auto Set32(size_t at, uint32_t v) {
  return [=](Bytes& t) { Put32(t, at, v); };
}
auto Set32s(std::vector<std::pair<size_t, uint32_t>> values) {
  return [=](Bytes& t) {
    for (const auto& [at, v] : values) Put32(t, at, v);
  };
}
auto Text(size_t at, const char* v) {
  return [=](Bytes& t) { PutText(t, at, v); };
}
auto Byte(size_t at, uint8_t v) {
  return [=](Bytes& t) { t[at] = v; };
}

// 224 root entries instead of 512 is the fat16-224 fixture's.
TEST(BootSectors, EachBrokenFieldIsRejected) {
  ExpectVerdicts("FAT16", IsFat16BootSector, test::Fat16BootSector(),
                 {{"no signature", Set16(0x1FE, 0), 0},
                  {"4 KiB sectors", Set16(0x0B, 4096), 1},
                  {"1,000-byte sectors", Set16(0x0B, 1000), 0},
                  {"8 KiB sectors", Set16(0x0B, 8192), 0},
                  {"FAT12", Text(0x36, "FAT12"), 0},
                  {"511 bytes", [](Bytes& t) { t.resize(511); }, 0}});
  ExpectVerdicts("FAT32", IsFat32BootSector, test::Fat32BootSector(),
                 {{"backup boot sector at 12", Set16(0x32, 12), 0},
                  {"2 KiB sectors", Set16(0x0B, 2048), 1},
                  {"256-byte sectors", Set16(0x0B, 256), 0},
                  {"one FAT", Byte(0x10, 1), 0},
                  {"root entries", Set16(0x11, 512), 0},
                  {"16-bit total sectors", Set16(0x13, 1), 0},
                  {"16-bit FAT size", Set16(0x16, 9), 0},
                  {"FAT16 text", Text(0x52, "FAT16"), 0}});
  ExpectVerdicts("NTFS", IsNtfsBootSector, test::NtfsBootSector(),
                 {{"no hidden sectors", Set32(0x1C, 0), 0},
                  {"4 KiB sectors", Set16(0x0B, 4096), 1},
                  {"3 KiB sectors", Set16(0x0B, 3072), 0},
                  {"two FATs", Byte(0x10, 2), 0},
                  {"reserved sectors", Set16(0x16, 1), 0},
                  {"OEM name", Text(3, "MSDOS"), 0}});
  ExpectVerdicts("exFAT", IsExfatBootSector, test::ExfatBootSector(),
                 {{"legacy area 0x0B", Byte(0x0B, 1), 0},
                  {"legacy area 0x3F", Byte(0x3F, 1), 0},
                  {"past the legacy area", Byte(0x40, 0xFF), 1}});
  // A FAT32 boot sector is nothing else.
  EXPECT_EQ(IsFat16BootSector(test::Fat32BootSector()), 0);
  EXPECT_EQ(IsNtfsBootSector(test::Fat32BootSector()), 0);
}

// The four tests rule each other out, so the classification does not depend
// on their order; where the sector lies decides only the NTFS hidden-sector rule.
TEST(BootSectors, ClassifiedByWhatTheyHoldAndWhereTheyLie) {
  using enum BootSectorKind;
  Bytes hiddenZero = test::NtfsBootSector();
  Put32(hiddenZero, 0x1C, 0);
  const std::pair<const char*, Bytes> samples[] = {
      {"FAT16", test::Fat16BootSector()}, {"FAT32", test::Fat32BootSector()}, {"NTFS", test::NtfsBootSector()},
      {"NTFS, 0 hidden", hiddenZero},     {"exFAT", test::ExfatBootSector()}, {"zeros", Bytes(512)}};
  for (const auto& [name, bytes] : samples) {
    const int accepted = IsFat16BootSector(bytes) + IsFat32BootSector(bytes) + IsNtfsBootSectorAnyHidden(bytes) +
                         IsExfatBootSector(bytes);
    EXPECT_LE(accepted, 1) << name;
  }
  const uint64_t volume = ntfs::BootSector(ByteView(hiddenZero)).totalSectors();
  struct Case {
    size_t sample;
    uint64_t at, extent;
    BootSectorKind kind;
  };
  for (const Case& c : {Case{0, 2048, 0, kFat16}, Case{1, 2048, 100, kFat32}, Case{2, 2048, 0, kNtfs},
                        Case{4, 0, 0, kExfat}, Case{4, 2048, 100, kExfat}, Case{5, 0, 0, kNone},
                        Case{3, 0, 0, kNtfs},              // sector 0 of a disk: nothing lies before it
                        Case{3, 2048, volume + 1, kNtfs},  // an entry the volume and its backup fit
                        Case{3, 2048, volume - 1, kNone},  // an entry smaller than the volume
                        Case{3, 2048, 0, kNone}}) {        // no extent to check the volume against
    EXPECT_EQ(ClassifyBootSector(samples[c.sample].second, c.at, c.extent), c.kind)
        << samples[c.sample].first << " at " << c.at << " in " << c.extent;
  }
}

TEST(ExtSuperblock, AcceptanceRulesAndSize) {
  ExpectVerdicts("EXT", IsExtSuperblock, test::ExtSuperblock(),
                 {{"never written", Set32(0x30, 0), 0},
                  {"created by FreeBSD", Set32(0x48, 3), 0},
                  {"inode too small", Set16(0x58, 64), 0},
                  {"1024 << 22 wraps to 0", Set32(0x18, 22), 0},
                  {"modulo 32: 1 KiB again", Set32(0x18, 32), 1},
                  {"free inodes = inodes", Set32(0x10, 2048), 0},
                  {"free blocks = blocks", Set32(0x0C, 8192), 0},
                  {"first data block past the end", Set32(0x14, 8192), 0},
                  {"no blocks per group", Set32(0x20, 0), 0},
                  {"above 2^32 blocks the group checks are skipped", Set32s({{0x150, 1}, {0x14, 0xFFFFFFFF}}), 1},
                  // mke2fs keeps a full group size on small volumes: 100 blocks, 8,192 per group.
                  {"smaller than one group", Set32s({{0x04, 100}, {0x0C, 20}, {0x20, 8192}}), 1},
                  {"a group larger than one bitmap block describes", Set32(0x20, 8 * 1024 + 1), 0}});
  EXPECT_EQ(IsExtSuperblock({}), 0);

  // The generations are the fixtures' (ext2 to ext4, and ext4 without a journal).
  auto s = test::ExtSuperblock();
  Put32(s, 0x18, 2);  // 4 KiB blocks, 2^21 blocks: 8 GiB, past what 32-bit arithmetic holds
  Put32(s, 0x04, 1u << 21);
  EXPECT_EQ(ExtVolumeSectors(s, 512), (8ull << 30) / 512);
}

TEST(HfsSignatureKind, Kinds) {
  EXPECT_EQ(HfsSignatureKind({}), HfsKind::kNone);
  std::vector<uint8_t> h(512);
  // Each step writes over the one before: plain HFS, HFS+ inside HFS, any
  // other embedded signature, HFS+, HFSX, nonsense.
  using enum HfsKind;
  const std::tuple<size_t, const char*, HfsKind> steps[] = {
      {0, "\0\0", kNone}, {0, "BD", kHfs}, {0x7C, "H+", kHfsPlusInHfs}, {0x7C, "BD", kNone}, {0, "H+", kHfsPlus},
      {0, "HX", kHfsx},   {0, "+H", kNone}};
  for (const auto& [at, text, kind] : steps) {
    std::memcpy(h.data() + at, text, 2);
    EXPECT_EQ(HfsSignatureKind(h), kind) << text;
  }
}

TEST(NtfsGeometry, ClusterAndRecordSizes) {
  // 0xF4: 2 MiB clusters; 0x81 (2^127), 0xF3 (4 MiB) and 0xE8 (2^24 sectors,
  // an 8 GiB cluster buffer) are more than NTFS allows.
  for (const auto& [code, sectors] :
       {std::pair<uint8_t, uint64_t>{8, 8}, {0x80, 128}, {0xF4, 4096}, {0, 0}, {0x81, 0}, {0xF3, 0}, {0xE8, 0}})
    EXPECT_EQ(NtfsSectorsPerCluster(code), sectors) << int{code};
  // Record sizes: clusters when positive, 2^-n bytes when negative; 16 MiB
  // records and 127 clusters of 2 MiB are refused.
  const std::tuple<int, uint32_t, uint32_t> records[] = {{-10, 8, 1024}, {-12, 8, 4096},  {1, 2, 1024}, {0, 8, 0},
                                                         {-128, 8, 0},   {-16, 8, 65536}, {-24, 8, 0},  {127, 4096, 0}};
  for (const auto& [code, spc, bytes] : records)
    EXPECT_EQ(NtfsRecordBytes(static_cast<int8_t>(code), spc), bytes) << code;
}

// A boot sector's counts are in its own sectors; positions are in 512-byte
// sectors, so a 4 KiB-sector volume's counts come out eight times larger.
TEST(NtfsGeometry, CountsScaledByTheBootSectorsBytesPerSector) {
  Bytes boot = test::NtfsBootSector();
  const uint32_t spc512 = NtfsClusterSectors(boot);
  const uint64_t total512 = NtfsVolumeSectors(boot);
  ASSERT_NE(spc512, 0u);
  ASSERT_EQ(total512, ntfs::BootSector(ByteView(boot)).totalSectors());
  Put16(boot, 0x0B, 4096);
  EXPECT_EQ(NtfsClusterSectors(boot), 8 * spc512);
  EXPECT_EQ(NtfsVolumeSectors(boot), 8 * total512);
  boot[0x0D] = 0xF4;  // 2^12 sectors of 4 KiB: a 16 MiB cluster, more than NTFS allows
  EXPECT_EQ(NtfsClusterSectors(boot), 0u);
  Put16(boot, 0x0B, 1000);
  EXPECT_EQ(NtfsVolumeSectors(boot), 0u);
  EXPECT_EQ(SectorsPerLogical(2048), 4u);
  EXPECT_EQ(SectorsPerLogical(8192), 0u);
}

TEST(UpdateSequence, OtherSizesAndLayoutsAndTornAndForeignRecords) {
  // 1,024-byte records with the number field are every NTFS image's.
  auto big = test::RecordBuilder(0, 1, 4096).build();
  EXPECT_EQ(CheckUpdateSequence(big), 1);
  EXPECT_EQ(big[4094], 0);                                   // the protected word is back
  auto old = test::RecordBuilder(0, 1, 1024, 0x2A).build();  // records without the number field
  EXPECT_EQ(CheckUpdateSequence(old), 1);
  for (const Mutation& m :
       {Mutation{"FHDL", Text(0, "FHDL"), 1}, Mutation{"second sector from another write", Set16(1022, 0x0202), 0},
        Mutation{"array inside the header", Byte(4, 0x28), 0}, Mutation{"INDX", Text(0, "INDX"), 0},
        Mutation{"1000 bytes", [](Bytes& t) { t.resize(1000); }, 0}}) {
    Bytes t = test::RecordBuilder(0).build();
    m.change(t);
    const Bytes before = t;
    EXPECT_EQ(CheckUpdateSequence(t), m.verdict) << m.what;
    if (m.verdict == 0) {
      EXPECT_EQ(t, before) << m.what;  // untouched on failure
    }
  }
}

}  // namespace
}  // namespace orvaldi::disk
