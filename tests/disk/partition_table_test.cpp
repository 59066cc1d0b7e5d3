// Partition tables: crafted disks (precedence, numbering, chains, damage), and
// images made by sfdisk, sgdisk and other people's tools, checked against
// The Sleuth Kit's mmls.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <regex>
#include <sstream>

#include "disk/disk_list.h"
#include "disk/gpt_layout.h"
#include "disk/ldm.h"
#include "disk/mbr_entries.h"
#include "disk/partition_table.h"
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

// "Partition2 1063+500 07 L EXT4 'label'": name, extent, type, P(rimary) or
// L(ogical), EXT generation and label when set.
std::vector<std::string> Rows(const DiskInfo& d) {
  std::vector<std::string> rows;
  for (const PartitionInfo& p : d.partitions) {
    char row[160];
    std::snprintf(row, sizeof row, "%s %llu+%llu %02x %c", p.name.c_str(),
                  static_cast<unsigned long long>(p.startSector), static_cast<unsigned long long>(p.sectorCount),
                  p.typeByte, p.tableKind == TableKind::kLogical ? 'L' : 'P');
    std::string text = row;
    if (!p.fsLabel.empty()) text += " " + p.fsLabel;
    if (!p.volumeLabel.empty()) text += " '" + p.volumeLabel + "'";
    rows.push_back(text);
  }
  return rows;
}

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

using Strings = std::vector<std::string>;

TEST(Mbr, EbrChainsThatLoopRunDeepOrLackASignatureStop) {
  DiskBuilder self(4096);
  self.entry(0, 0, 0x05, 1000, 3000);
  self.entry(1000, 0, 0x83, 63, 10).entry(1000, 1, 0x05, 0, 10);  // links back to itself
  EXPECT_EQ(Enumerate(self.bytes()).partitions.size(), 1u);
  DiskBuilder pair(4096);
  pair.entry(0, 0, 0x0F, 1000, 3000);
  pair.entry(1000, 0, 0x83, 63, 10).entry(1000, 1, 0x05, 100, 10);
  pair.entry(1100, 0, 0x83, 63, 10).entry(1100, 1, 0x05, 0, 10);  // 1100 -> 1000 -> 1100 ...
  EXPECT_EQ(Enumerate(pair.bytes()).partitions.size(), 2u);
  // 3,000 EBRs, each pointing to the next: bounded, and no stack overflow.
  DiskBuilder deep(6100);
  deep.entry(0, 0, 0x05, 100, 6000);
  for (uint32_t i = 0; i < 3000; ++i) deep.entry(100 + 2 * i, 0, 0x05, 2 * (i + 1), 2);
  EXPECT_TRUE(Enumerate(deep.bytes()).partitions.empty());
  DiskBuilder unsigned_(4096);
  unsigned_.entry(0, 0, 0x05, 1000, 3000);
  EXPECT_TRUE(Enumerate(unsigned_.bytes()).partitions.empty());
}

TEST(Mbr, EntriesDecodedFieldByField) {
  DiskBuilder b(64);
  b.entry(0, 0, 0x07, 2048, 1000).entry(0, 2, 0x05, 0xFFFFFFF0u, 0x12345678u).entry(0, 3, 0x83, 0, 5);
  b.sector(0)[0x1BE] = 0x80;  // boot flag of the first entry
  const ByteView s(std::span(b.bytes()).first(512));
  struct Case {
    int slot;
    uint8_t status, type;
    uint32_t first, count;
  };
  for (const Case& c : {Case{0, 0x80, 0x07, 2048, 1000}, Case{1, 0, 0, 0, 0},
                        Case{2, 0, 0x05, 0xFFFFFFF0u, 0x12345678u}, Case{3, 0, 0x83, 0, 5}}) {
    const MbrEntry e = MbrEntryAt(s, c.slot);
    EXPECT_EQ(e.slot, c.slot);
    EXPECT_EQ(e.status, c.status) << c.slot;
    EXPECT_EQ(e.typeByte, c.type) << c.slot;
    EXPECT_EQ(e.startSector, c.first) << c.slot;
    EXPECT_EQ(e.sectorCount, c.count) << c.slot;
  }
  EXPECT_TRUE(HasMbrSignature(s));
  // Used primaries need a type and a start; a sector cut short holds no entry.
  const auto used = MbrPrimaryEntries(std::span<const uint8_t, kMbrBytes>(b.bytes().data(), kMbrBytes));
  ASSERT_EQ(used.size(), 2u);
  EXPECT_EQ(used[1].slot, 2);
  const ByteView cut(std::span(b.bytes()).first(0x1BE + 16 + 10));
  EXPECT_EQ(MbrEntryAt(cut, 0).sectorCount, 1000u);
  EXPECT_EQ(MbrEntryAt(cut, 1).startSector, 0u);
  EXPECT_FALSE(HasMbrSignature(cut));
}

TEST(Mbr, EmptyEntriesBootCodeProtectiveAndDynamicEntries) {
  DiskBuilder b(2048);
  b.entry(0, 0, 0x07, 100, 0).entry(0, 1, 0x00, 100, 50).entry(0, 3, 0x83, 300, 50);
  b.place(300, Volume("ext4.img.gz"), 50 * 512);               // the table's size wins over the superblock's 8192
  for (const uint8_t jump : {uint8_t{0x63}, uint8_t{0x48}}) {  // GRUB's jumps: still a partitioned disk
    b.bootCode(0xEB, jump, 0x90);
    EXPECT_EQ(Rows(Enumerate(b.bytes())), Strings{"Partition0 300+50 83 P EXT4 '数据'"});
  }
  b.bootCode(0xEB, 0x3C, 0x90);  // any other short jump: sector 0 is a volume
  EXPECT_EQ(Rows(Enumerate(b.bytes())), Strings{"Partition0 0+0 00 P"});

  DiskBuilder p(2048);
  p.entry(0, 0, 0xEE, 1, 2047).entry(0, 1, 0x0C, 100, 100);  // no GPT behind it: an ordinary entry
  EXPECT_EQ(Rows(Enumerate(p.bytes())), (Strings{"Partition0 1+2047 ee P", "Partition1 100+100 0c P"}));

  DiskBuilder dyn(2048);
  dyn.entry(0, 0, 0x42, 63, 1000).entry(0, 1, 0x07, 1100, 100);
  // Type 0x42 is left to the dynamic-disk reader, which finds no private header here.
  DiskInfoList groups;
  ldm::GroupListScope scope(groups);
  const DiskInfo seen = Enumerate(dyn.bytes());
  EXPECT_EQ(Rows(seen), Strings{"Partition0 1100+100 07 P"});
  EXPECT_TRUE(seen.memberId.empty());
  EXPECT_TRUE(groups.empty());
}

TEST(NoMbr, LvmLabelThenExtThenHfsThenWholeDiskVolumes) {
  DiskBuilder b(64);
  test::PutText(b.bytes(), 512, "LABELONE");
  EXPECT_TRUE(Enumerate(b.bytes()).partitions.empty());  // a label, though not one of LVM2's: handled

  const DiskInfo hfs = Enumerate(Volume("hfs.img.gz"), "/dev/hfsdisk");
  ASSERT_EQ(hfs.partitions.size(), 1u);
  EXPECT_EQ(Rows(hfs), Strings{"Partition0 0+" + std::to_string(hfs.sizeBytes / 512) + " 19 P 'Mac Vol'"});
  EXPECT_EQ(hfs.partitions[0].fsTypeText, "HFS");
  EXPECT_EQ(hfs.partitions[0].sourcePath, "/dev/hfsdisk");
  EXPECT_TRUE(Enumerate(std::vector<uint8_t>(8192)).partitions.empty());
  EXPECT_TRUE(Enumerate({}).partitions.empty());

  // Volumes without a table; the count is the boot sector's own (NTFS keeps
  // its last sector for the backup, FAT16 uses the 16-bit field here).
  const std::pair<const char*, const char*> cases[] = {{"ext3.img.gz", "Partition0 0+8192 83 P EXT3 'ext3lbl'"},
                                                       {"fat32.img.gz", "Partition0 0+69632 0b P '数据盘'"},
                                                       {"fat16-512.img.gz", "Partition0 0+16384 06 P 'FAT16LABEL'"},
                                                       {"exfat.img.gz", "Partition0 0+16384 05 P 'exFAT卷'"},
                                                       {"ntfs-p0.img.gz", "Partition0 0+16383 07 P 'NOHIDDEN'"}};
  for (const auto& [file, row] : cases) EXPECT_EQ(Rows(Enumerate(Volume(file))), Strings{row}) << file;
}

// Suffixes and the end of the list are the gpt fixtures' (below); here the
// types that are never probed, a name outside ASCII and an ext volume, whose
// superblock gives the size.
TEST(Gpt, UnprobedTypesWideNamesAndExtSizes) {
  DiskBuilder b(60000);
  b.gpt({{kMsReserved, 20480, 20480 + 2047, u"Microsoft reserved partition"},
         {kLinuxData, 24576, 24576 + 4095, u"Linux root"},
         {kBasicData, 40960, 40960 + 99, u"数据"}});
  b.place(20480, Volume("fat16-512.img.gz"), 2048 * 512);
  b.place(24576, Volume("ext4.img.gz"), 4096 * 512);
  EXPECT_EQ(Rows(Enumerate(b.bytes())),
            (Strings{"Microsoft reserved partition 20480+2048 00 P", "Linux rootPartition1 24576+8192 83 P EXT4 '数据'",
                     "数据 40960+100 00 P"}));
}

// mkntfs writes 0 hidden sectors on an image file: at an entry's start such
// a boot sector is taken when the rest of it fits the entry.
TEST(Gpt, NtfsRecordingNoHiddenSectorsAtAnEntry) {
  const auto volume = Volume("ntfs-p0.img.gz");  // 16,383 sectors and the backup
  auto farMft = volume;
  test::Put64(farMft, 0x30, 20000);  // $MFT past the volume's end
  struct Case {
    uint64_t sectors;
    const std::vector<uint8_t>* bytes;
    bool ntfs;
    const char* why;
  };
  for (const Case& c :
       {Case{16384, &volume, true, "the volume and its backup"}, Case{20000, &volume, true, "room left"},
        Case{16000, &volume, false, "a volume larger than the entry"},
        Case{16384, &farMft, false, "$MFT outside the volume"}}) {
    DiskBuilder b(2048 + 20000 + 64);
    b.gpt({{kBasicData, 2048, 2048 + c.sectors - 1, u"data"}});
    b.place(2048, *c.bytes, std::min<size_t>(c.bytes->size(), c.sectors * 512));
    const DiskInfo d = Enumerate(b.bytes());
    ASSERT_EQ(d.partitions.size(), 1u) << c.why;
    EXPECT_EQ(d.partitions[0].typeByte == 0x07, c.ntfs) << c.why;
  }
}

TEST(Gpt, DamagedHeadersStopWithoutCrashing) {
  struct Case {
    uint32_t count, size;
    uint64_t entriesLba;
    const char* why;
  };
  for (const Case& c : {Case{129, 128, 2, "more than 128 entries"}, Case{4, 64, 2, "entries too small"},
                        Case{128, 0xFFFFFF00u, 2, "absurd entry size"}, Case{128, 128, 8190, "array past the disk"},
                        Case{4, 128, ~0ull / 256, "array far beyond it"}}) {
    DiskBuilder b(8192);
    // The array is written only where it fits the disk.
    b.gpt(c.entriesLba == 2 ? std::vector<DiskBuilder::GptEntry>{{kBasicData, 100, 199, u"x"}}
                            : std::vector<DiskBuilder::GptEntry>{},
          c.count, c.size, c.entriesLba);
    b.entry(0, 1, 0x07, 5000, 100);
    EXPECT_TRUE(Enumerate(b.bytes()).partitions.empty()) << c.why;
  }
  DiskBuilder b(8192);
  b.gpt({{kBasicData, 500, 100, u"backwards"}});  // last LBA before the first
  EXPECT_EQ(Rows(Enumerate(b.bytes())), Strings{"backwards 500+0 00 P"});
}

TEST(Gpt, HeaderAndEntriesThroughTheirLayout) {
  DiskBuilder b(8192);
  // A 256-byte stride: the second entry lies where the stride, not 128, puts it.
  b.gpt({{kBasicData, 100, 199, u"one"}, {kLinuxData, 300, 399, u"two"}}, 4, 256, 2);
  const gpt::Header h{ByteView(std::span(b.bytes()).subspan(512, 512))};
  EXPECT_TRUE(h.hasSignature());
  EXPECT_EQ(h.entriesLba(), 2u);
  EXPECT_EQ(h.entryCount(), 4u);
  EXPECT_EQ(h.entryBytes(), 256u);
  EXPECT_GE(h.headerBytes(), gpt::kMinHeaderBytes);
  const ByteView array(std::span(b.bytes()).subspan(2 * 512, 4 * 256));
  const gpt::Entry second(array, 256);
  EXPECT_EQ(second.firstLba(), 300u);
  EXPECT_EQ(second.lastLba(), 399u);
  EXPECT_TRUE(std::ranges::equal(second.typeGuid(), GuidFromText(kLinuxData)));
  EXPECT_EQ(second.name().size(), gpt::kNameBytes);
  // An entry that would leave the array reads as nothing.
  const gpt::Entry outside(array, 4 * 256 - 64);
  EXPECT_EQ(outside.lastLba(), 0u);
  EXPECT_TRUE(outside.name().empty());
  EXPECT_EQ(Rows(Enumerate(b.bytes())), (Strings{"one 100+100 00 P", "two 300+100 00 P"}));

  // Bounds on the count and the size: the largest of each is read, one more is not.
  struct Case {
    uint32_t count, size;
    size_t rows;
  };
  for (const Case& c : {Case{128, 4096, 1}, Case{128, 4097, 0}, Case{128, 127, 0}, Case{0, 128, 0}}) {
    DiskBuilder d(4096);
    d.gpt({{kMsReserved, 3000, 3099, u"r"}}, c.count, c.size);
    EXPECT_EQ(Enumerate(d.bytes()).partitions.size(), c.rows) << c.count << " x " << c.size;
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
  // An HFS volume found there takes a number; where nothing is, the map's name stays.
  EXPECT_EQ(Rows(d), (Strings{"Partition0 100+8000 19 P 'Mac Vol'", "Plain 9300+100 19 P"}));
  EXPECT_EQ(d.partitions[0].fsTypeText, "Apple_HFS");
  EXPECT_EQ(d.partitions[0].sourcePath, "/dev/apple");
  DiskBuilder bad(64);
  bad.apm({});
  EXPECT_TRUE(Enumerate(bad.bytes()).partitions.empty());  // no "PM" entry
}

// Records the longest read, which is the largest buffer a reader sized.
class LongestReadSource final : public platform::SectorSource {
 public:
  explicit LongestReadSource(std::vector<uint8_t> bytes) : inner_(std::move(bytes)) {}
  platform::ReadOutcome readAt(uint64_t offset, std::span<uint8_t> out) override {
    longest = std::max<uint64_t>(longest, out.size());
    return inner_.readAt(offset, out);
  }
  uint64_t size() const override { return inner_.size(); }
  uint64_t longest = 0;

 private:
  MemorySource inner_;
};

TEST(AppleMap, EntryCountsAreReadOnlyAsFarAsTheSourceHoldsThem) {
  // 1,024 entries of 32 KiB blocks claimed on a 128 KiB disk: 32 MiB of map
  // that is not there. The entries inside the disk are still read.
  DiskBuilder b(256);
  b.apm({{"Apple", "Apple_partition_map", 1, 2}, {"Plain", "Apple_HFS", 3, 1}}, 32768);
  const uint8_t count[4] = {0, 0, 4, 0};  // big-endian 1,024, in the entry the reader takes it from
  std::memcpy(b.bytes().data() + 32768 + 4, count, 4);
  DiskInfo disk;
  disk.devicePath = "apple.img";
  LongestReadSource src(b.bytes());
  EnumeratePartitions(src, disk, disk.devicePath);
  EXPECT_EQ(disk.mapEntryCount, 1024u);
  EXPECT_LE(src.longest, src.size());
  EXPECT_EQ(Rows(disk), Strings{"Plain 192+64 19 P"});
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
  CreateRegion(10, 5, d, src);  // an end before the start gives an empty region
  d.partitions.emplace_back().name = "Partition5";
  CreateRegion(0, 10, d, src);
  EXPECT_EQ(Rows(d),
            (Strings{"Region 0 on disk.img 1000+500 07 P", "Region 1 on disk.img 2000+100 0b P",
                     "Region 2 on disk.img 10+0 00 P", "Partition5 0+0 00 P", "Region 0 on disk.img 0+10 00 P"}));
  // A region is classified as a table entry is: NTFS made on an image (0
  // hidden sectors) when the volume fits the region; exFAT stays untyped.
  DiskBuilder more(4096);
  auto hiddenZero = test::NtfsBootSector();
  test::Put32(hiddenZero, 0x1C, 0);
  test::Put64(hiddenZero, 0x28, 999);
  more.place(1000, hiddenZero);
  more.place(3000, test::ExfatBootSector());
  DiskInfo r;
  r.vendorId = "disk.img";
  MemorySource moreSrc(more.bytes());
  CreateRegion(1000, 2000, r, moreSrc);
  CreateRegion(1000, 1500, r, moreSrc);  // smaller than the volume
  CreateRegion(3000, 3100, r, moreSrc);
  EXPECT_EQ(Rows(r), (Strings{"Region 0 on disk.img 1000+1000 07 P", "Region 1 on disk.img 1000+500 00 P",
                              "Region 2 on disk.img 3000+100 00 P"}));

  DiskInfo missing;
  missing.devicePath = "/nonexistent/disk.img";
  EXPECT_FALSE(CreateRegion(0, 10, missing));
  EXPECT_TRUE(missing.partitions.empty());
}

// ---- Images made by real tools ----

using Extent = std::pair<uint64_t, uint64_t>;  // start, sectors

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

struct ImageCase {
  std::string path;
  bool mmls;              // compare the extents with mmls's
  Strings rows;           // empty: mmls alone checks this image
  int crcFaults = 0;      // 1: the GPT entry array's checksum does not match
  int64_t sizeBytes = 0;  // when set: the disk's size as an Apple map's header gives it
};

void PrintTo(const ImageCase& c, std::ostream* os) { *os << c.path; }

class RealImage : public ::testing::TestWithParam<ImageCase> {};

TEST_P(RealImage, RowsAndMmls) {
  const ImageCase& c = GetParam();
  auto bytes = test::LoadImage(c.path);
  if (!bytes) {
    if (c.path.find("shared/corpus") != std::string::npos) GTEST_SKIP() << "corpus image absent";
    FAIL() << "missing " << c.path;
  }
  test::TempDir dir;
  const auto image = dir.write("disk.img", *bytes);
  const auto disk = LoadSource(image.string());
  ASSERT_TRUE(disk);
  if (!c.rows.empty() || !c.mmls) {
    EXPECT_EQ(Rows(*disk), c.rows);
  }
  EXPECT_FALSE(disk->tableChecks.gptHeaderCrcMismatch);
  EXPECT_EQ(disk->tableChecks.gptEntriesCrcMismatch, c.crcFaults == 1);
  if (c.sizeBytes != 0) {
    EXPECT_EQ(disk->sizeBytes, c.sizeBytes);
  }
  if (!c.mmls) return;
  if (test::RunCommand("command -v mmls").exitCode != 0) GTEST_SKIP() << "sleuthkit not installed";
  const auto expected = MmlsExtents(image.string());
  ASSERT_TRUE(expected);
  ASSERT_FALSE(expected->empty()) << "mmls listed nothing: the row pattern no longer matches";
  std::vector<Extent> ours;
  for (const auto& p : disk->partitions) ours.emplace_back(p.startSector, p.sectorCount);
  std::sort(ours.begin(), ours.end());
  EXPECT_EQ(ours, *expected);
}

std::string Fixture(const char* file) { return (test::FixturesDir() / "ptables" / file).string(); }
std::string Corpus(const char* file) { return (test::CorpusDir() / file).string(); }

INSTANTIATE_TEST_SUITE_P(
    Tables, RealImage,
    ::testing::Values(
        // Made by sfdisk and sgdisk (tests/fixtures/make_ptables.sh).
        ImageCase{Fixture("mbr-ext.img.gz"),
                  true,
                  {"Partition0 2048+69632 0c P 'P1FAT32'", "Partition1 71680+16384 07 P 'P2NTFS'",
                   "Partition2 90112+16384 06 L 'L1FAT16'", "Partition3 108544+8192 83 L EXT4 'L2EXT4'",
                   "Partition4 118784+8192 05 L 'L3EXFAT'"}},  // exFAT in a 0x07 entry
        ImageCase{Fixture("mbr-exfat-primary.img.gz"), true, {"Partition0 2048+14336 05 P 'EXFATP'"}},
        ImageCase{Fixture("mbr-dos-chain.img.gz"), true, {}},
        ImageCase{Fixture("gpt.img.gz"),
                  true,
                  {"EFI system partition(fat)0 2048+16384 06 P 'ESP'", "Data FAT(fat)1 18432+69632 0b P 'GPTFAT32'",
                   "Linux rootPartition2 88064+8192 83 P EXT4 'rootfs'",
                   "Windows data(NTFS)3 96256+16384 07 P 'GPTNTFS'", "exFAT data(exFat)4 112640+8192 05 P 'GPTEXFAT'"}},
        // sgdisk and mmls both list the entry after the gap; the list ends at the gap.
        ImageCase{Fixture("gpt-gap.img.gz"), false, {"first entry 2048+2048 00 P"}},
        ImageCase{test::DemoImageGz().string(), true, {}},
        ImageCase{Corpus("ptable/dftt-1-ext-part-test-2.dd.gz"), true, {}},  // a three-entry EBR in the chain
        ImageCase{Corpus("ptable/dfir-mbr-win-ebr-chain.img.gz"), true, {}},
        // The extended entry in the first slot: the primary is numbered first.
        ImageCase{Corpus("ptable/dfir-mbr-ext-first.img.gz"),
                  true,
                  {"Partition0 1025+1023 83 P", "Partition1 2+511 83 L", "Partition2 514+511 83 L"}},
        ImageCase{Corpus("ptable/dfir-mbr-ext-lvm.img.gz"), true, {}},
        ImageCase{Corpus("ptable/dfir-gpt-3p.img.gz"), true, {}},
        ImageCase{Corpus("ntfs/dfir-ntfs-index-disk.img.gz"), true, {}},
        // Protective entries on disks under 2 TiB cover the disk, not 0xFFFFFFFF
        // sectors; the MBR's 0x07 entry after the protective one is not used.
        ImageCase{Corpus("ptable/dissect-gpt-hybrid-mbr-ntfs.bin.gz"),
                  false,
                  {"EFI System Partition 40+409600 00 P", " 411648+61026304 00 P"}},
        // The two MBR primaries before the protective entry repeat GPT partitions: listed once, from the GPT.
        ImageCase{
            Corpus("ptable/dissect-gpt-hybrid-linux.bin.gz"),
            false,
            {"Linux filesystem 2048+1025 00 P", "Linux filesystem 34+2014 00 P", "Linux filesystem 3073+990 00 P"}},
        // A name of 0xFF bytes is no name; the array's checksum does not match, yet the table is read.
        ImageCase{Corpus("ptable/dissect-gpt-name-ff.bin.gz"), false, {" 2048+41938945 00 P"}, 1},
        ImageCase{Corpus("ptable/dfir-gpt-empty.img.gz"), false, {}},
        ImageCase{Corpus("ptable/dissect-mbr-win7.bin.gz"),
                  false,
                  {"Partition0 2048+1024000 07 P", "Partition1 1026048+124801024 07 P"}},
        // Only Apple HFS-family entries are recorded.
        ImageCase{Corpus("ptable/dissect-apm-ntfs.bin.gz"), false, {}, 0, 61440000ll * 512},
        // Whole-disk NTFS recordings with no hidden sectors: the boot sector's count.
        ImageCase{Corpus("ntfs/colinfinck-testfs1.img.gz"), false, {"Partition0 0+4095 07 P 'mylabel'"}},
        ImageCase{Corpus("ntfs/dfir-ntfs3-attrlist.img.gz"), false, {"Partition0 0+65535 07 P"}},
        ImageCase{Corpus("ntfs/dfvfs-windows-volume.img.gz"), false, {"Partition0 0+70143 07 P"}}),
    [](const auto& param) { return test::TestNameFromPath(param.param.path); });

}  // namespace
}  // namespace orvaldi::disk
