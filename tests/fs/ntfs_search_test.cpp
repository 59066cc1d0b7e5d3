// The NTFS record search by sector: damaged volumes, duplicates, re-parenting, documents found by content.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "fs/extract.h"
#include "fs/ntfs_reader.h"
#include "fs/ntfs_search.h"
#include "ops/open_partition.h"
#include "support/ntfs_builder.h"
#include "support/test_images.h"
#include "support/tree_listing.h"

namespace orvaldi::fs {
namespace {

using test::NtfsVolumeBuilder;
using test::RecordBuilder;
using test::ScannedNtfs;
using test::Tree;
using Strings = std::vector<std::string>;

ScannedNtfs Search(const std::vector<uint8_t>& bytes, platform::ProgressBlock* progress = nullptr) {
  return ScannedNtfs(bytes, ScannedNtfs::How::kSearch, 0, progress);
}

// A volume whose boot sectors and $MFT record are gone: records are found
// by sector, at any sector, and re-parented at the end.
TEST(NtfsSearch, FindsRecordsWithoutBootSectorOrMftAndReparentsThem) {
  NtfsVolumeBuilder v(64);
  v.put(30, RecordBuilder(30, 1).fileName(40, u"early child.txt").build());  // its folder comes later
  v.put(40, RecordBuilder(40, 3).fileName(5, u"Folder").build());
  v.put(41, RecordBuilder(41, 2).fileName(40, u"Sub").build());
  v.put(42, RecordBuilder(42, 0).fileName(41, u"deep.txt").residentData({1, 2}).build());
  v.put(50, RecordBuilder(50, 1).fileName(99, u"lost parent.txt").build());
  v.put(20, RecordBuilder(20, 1).fileName(5, u"low number.txt").build());  // below 27: ignored
  const auto twice = RecordBuilder(45, 1).fileName(5, u"twice.txt").build();
  v.put(45, twice);
  // An older copy of the same record elsewhere, and a record at an odd sector.
  std::memcpy(v.bytes().data() + 1000 * 512, twice.data(), twice.size());
  const auto odd = RecordBuilder(46, 1).fileName(5, u"odd.txt").build();
  std::memcpy(v.bytes().data() + 1201 * 512, odd.data(), odd.size());
  auto& bytes = v.bytes();
  std::fill(bytes.begin(), bytes.begin() + 512, 0);
  std::fill(bytes.end() - 512, bytes.end(), 0);
  std::fill(bytes.begin() + 32 * 512, bytes.begin() + 34 * 512, 0);

  const ScannedNtfs s = Search(bytes);
  ASSERT_TRUE(s.ok);
  EXPECT_EQ(Tree(s.state().root),
            (Strings{"/Folder 3 40", "/Folder/Sub 1 41", "/Folder/Sub/deep.txt 2 42", "/Folder/early child.txt 4 30",
                     "/twice.txt 4 45", "/twice.txt 4 45", "/odd.txt 4 46"}));
  EXPECT_EQ(Tree(s.state().orphans), (Strings{"/$$$Folder99 1 99", "/$$$Folder99/lost parent.txt 4 50"}));
  // Lookups by number find the moved nodes; the older copy is kept aside.
  EXPECT_EQ(s.state().numberIndex.at(42)->name + "," + s.state().numberIndex.at(30)->name, "deep.txt,early child.txt");
  EXPECT_EQ(std::pair(s.state().recordPositions.at(40), s.state().recordPositions.at(45)), std::pair(112ul, 122ul));
  EXPECT_EQ(s.state().duplicatePositions.count(45), 1u);
  EXPECT_EQ(s.state().duplicatePositions.find(45)->second, 1000u);
  EXPECT_EQ(std::pair(s.state().secondaryIndex.count(45), s.state().recordPositions.at(46)), std::pair(1ul, 1201ul));
}

std::vector<uint8_t> Corpus(const char* file) {
  auto bytes = test::LoadImage(test::CorpusDir() / "carve" / file);
  return bytes ? *bytes : std::vector<uint8_t>{};
}

// Office documents are named by the title their summary gives (read through
// the document's own tables, the mini stream included) and the application;
// a document whose tables all loop is still listed, by its sector alone. A
// picture is listed when its end marker lies within 10 MiB.
TEST(NtfsSearch, DocumentsAndPicturesFoundByContent) {
  const auto xls = Corpus("tika-testEXCEL.xls");
  const auto doc = Corpus("tika-testWORD.doc");
  const auto ppt = Corpus("tika-testPPT.ppt");
  const auto jpeg = Corpus("tika-testJPEG.jpg");
  if (xls.empty() || doc.empty() || ppt.empty() || jpeg.empty()) GTEST_SKIP() << "corpus samples absent";
  auto looped = xls;
  const uint32_t fatSector = looped[0x4C] | (looped[0x4D] << 8);
  for (size_t i = 0; i < 128; ++i) test::Put32(looped, 512 * (fatSector + 1) + 4 * i, static_cast<uint32_t>(i));
  std::vector<uint8_t> unusable(512, 0xFF);  // no sector size, no tables
  std::copy(xls.begin(), xls.begin() + 8, unusable.begin());
  const std::vector<uint8_t> endless(jpeg.begin(), jpeg.begin() + 64);  // its only end lies 11 MiB further
  NtfsVolumeBuilder v(32, 24 * 2048);
  const std::pair<size_t, const std::vector<uint8_t>*> placed[] = {
      {2000, &xls}, {3001, &jpeg}, {4000, &doc}, {6000, &ppt}, {8000, &looped}, {10000, &unusable}, {12000, &endless}};
  for (const auto& [sector, bytes] : placed)
    std::memcpy(v.bytes().data() + sector * 512, bytes->data(), bytes->size());  // pictures need no even sector
  v.bytes()[12000 * 512 + (11u << 20)] = 0xFF;
  v.bytes()[12000 * 512 + (11u << 20) + 1] = 0xD9;
  const ScannedNtfs s = Search(v.bytes());
  EXPECT_EQ(
      Tree(s.state().extension),
      (Strings{"/Simple Excel document2000.xls 2 2000", "/3001.jpg 2 3001", "/Sample Word Document4000.doc 2 4000",
               "/Sample Powerpoint Slide6000.ppt 2 6000", "/8000 2 8000", "/10000 2 10000"}));
  const NtfsNode& first = s.state().extension.children.front();
  EXPECT_EQ(first.parentNumber, 1u);
  const uint32_t fatSectors = xls[0x2C] | (xls[0x2D] << 8) | (xls[0x2E] << 16) | (uint32_t{xls[0x2F]} << 24);
  EXPECT_EQ(first.size, 512ull * fatSectors * 128);
  // The picture ends 2 bytes past its end marker.
  EXPECT_EQ(s.state().contentIndex.at(3001)->size, jpeg.size() + 2);
}

TEST(NtfsSearch, CancelKeepsRecordsAndSkipsTheReparenting) {
  NtfsVolumeBuilder v(64, 61440 * 2 + 2048);
  v.put(30, RecordBuilder(30, 1).fileName(40, u"child.txt", 1).build());
  v.put(40, RecordBuilder(40, 3).fileName(5, u"Folder", 1).build());
  // Asks to stop at the first position report, after the first block.
  struct CancelAtFirstPosition : platform::ProgressSink {
    platform::ProgressBlock block{this};
    void beginStage(int64_t, int64_t) override {}
    void step() override {}
    void setPosition(uint64_t) override { block.requestCancel(); }
  } cancel;
  const ScannedNtfs s = Search(v.bytes(), &cancel.block);
  EXPECT_EQ(Tree(s.state().root), (Strings{"/Folder 3 40", "/child.txt 4 30"}));
}

TEST(NtfsSearch, ListedRunsFromADiskScanAndTheCarvedFilesTheyExplain) {
  NtfsVolumeBuilder v(64);
  v.put(30,
        RecordBuilder(30, 1).fileName(5, u"data.bin", 1).nonResident(0x80, test::RunList({{700, 4}}), 2000).build());
  v.put(31, RecordBuilder(31, 1).fileName(5, u"note.txt", 1).residentData({1}).build());
  disk::DiskInfo disk;
  disk.mftRecordRuns = {{32, 128}};
  disk.extraFoundFolder.children.try_emplace(700, disk::CarvedNode{0, 2000, "700.bin", {}});
  disk.extraFoundFolder.children.try_emplace(900, disk::CarvedNode{0, 10, "900.jpg", {}});
  disk::PartitionInfo part;
  part.sectorCount = v.bytes().size() / 512;
  part.sectorsPerCluster = 1;
  platform::MemorySource src(v.bytes());
  platform::ProgressBlock progress;
  ASSERT_TRUE(ScanNtfsVolume(&src, disk, part, progress));  // the walk hands over to the listed runs
  const auto& state = *FindNtfsState(part);
  EXPECT_EQ(Tree(state.root), (Strings{"/data.bin 4 30", "/note.txt 4 31"}));
  // The carved file at the record's first cluster is named for dropping, not
  // dropped by the scan itself: a window may be showing the carved folder.
  EXPECT_EQ(state.carvedDuplicates, (std::vector<uint64_t>{700}));
  EXPECT_EQ(disk.extraFoundFolder.children.size(), 2u);
  ops::OpenedPartition opened;
  opened.carvedDuplicates = state.carvedDuplicates;
  EXPECT_EQ(ops::DropCarvedDuplicates(disk, opened), 1u);
  EXPECT_EQ(disk.extraFoundFolder.children.count(700), 0u);
  EXPECT_EQ(disk.extraFoundFolder.children.count(900), 1u);
}

// Bytes asked of a source, to see what a search costs.
class CountingSource final : public platform::SectorSource {
 public:
  explicit CountingSource(platform::SectorSource& inner) : inner_(inner) {}
  platform::ReadOutcome readAt(uint64_t offset, std::span<uint8_t> out) override {
    asked += out.size();
    ++calls;
    return inner_.readAt(offset, out);
  }
  uint64_t size() const override { return inner_.size(); }
  uint64_t asked = 0;
  uint64_t calls = 0;

 private:
  platform::SectorSource& inner_;
};

// Records listed in a scan-result file cost what they hold, not a block of
// the disk each: separate runs read only their own sectors, and runs that
// touch or overlap are read together, once, a slot two runs share tried once.
TEST(NtfsSearch, ListedRunsCostWhatTheyHold) {
  const struct {
    uint64_t runs, step, length;  // runs of `length` sectors every `step` sectors from 32
    uint64_t maxBytes, maxCalls;
  } cases[] = {
      {64, 2, 2, 64 * 4 * 512, UINT64_MAX},  // the records and their neighbours' first sectors
      {100000, 1, 1, UINT64_MAX, 100},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.runs);
    NtfsVolumeBuilder v(64, c.runs * c.step + 4096);
    v.put(30, RecordBuilder(30, 1).fileName(5, u"a.txt", 1).build());
    v.put(40, RecordBuilder(40, 1).fileName(5, u"b.txt", 1).build());
    disk::DiskInfo disk;
    for (uint64_t n = 0; n < c.runs; ++n) disk.mftRecordRuns.emplace(32 + c.step * n, c.length);
    if (c.step == 1) disk.mftRecordRuns[32 + 2 * 30] = 4;  // overlaps its neighbours
    disk::PartitionInfo part;
    part.sectorCount = v.bytes().size() / 512;
    part.sectorsPerCluster = 1;
    platform::MemorySource mem(v.bytes());
    CountingSource src(mem);
    platform::ProgressBlock progress;
    ASSERT_TRUE(ScanNtfsVolume(&src, disk, part, progress));
    EXPECT_EQ(Tree(FindNtfsState(part)->root), (Strings{"/a.txt 4 30", "/b.txt 4 40"}));
    EXPECT_EQ(FindNtfsState(part)->duplicatePositions.size(), 0u);
    EXPECT_LT(src.asked, c.maxBytes);
    EXPECT_LT(src.calls, c.maxCalls);
  }
}

// A partition recording far more sectors than the image holds (a damaged
// entry): the search ends at the image's end and says the rest once.
TEST(NtfsSearch, SweepEndsWithTheSource) {
  NtfsVolumeBuilder v(64);
  v.put(30, RecordBuilder(30, 1).fileName(5, u"a.txt", 1).build());
  disk::DiskInfo disk;
  disk::PartitionInfo part;
  part.sectorCount = uint64_t{1} << 40;
  platform::MemorySource mem(v.bytes());
  platform::ProgressBlock progress;
  ASSERT_TRUE(SearchNtfsVolume(&mem, disk, part, progress));
  const auto* state = FindNtfsState(part);
  EXPECT_EQ(Tree(state->root), (Strings{"/a.txt 4 30"}));
  ASSERT_EQ(state->readProblems.size(), 1u);
  EXPECT_TRUE(state->readProblems[0].pastEnd);
  EXPECT_EQ(state->readProblems[0].sector, v.bytes().size() / 512);
}

// The demo disk's NTFS partition (ntfs-3g made it), as a bare volume.
std::vector<uint8_t> DemoNtfs() {
  auto disk = test::LoadImage(test::DemoImageGz());
  if (!disk) return {};
  constexpr size_t kStart = 83968, kSectors = 40960;
  return std::vector<uint8_t>(disk->begin() + kStart * 512, disk->begin() + (kStart + kSectors) * 512);
}

std::set<std::string> Names(const NtfsNode& top) {
  std::set<std::string> names;
  for (const auto& line : Tree(top)) names.insert(line.substr(0, line.find(' ')));
  return names;
}

TEST(NtfsSearchOnRealVolume, BootSectorsAndFirstRecordsZeroed) {
  auto volume = DemoNtfs();
  ASSERT_FALSE(volume.empty());
  const ScannedNtfs intact(volume);
  ASSERT_TRUE(intact.ok);
  const auto expected = Names(intact.state().root);
  const uint64_t mftSector = intact.state().mftFirstSector;

  std::fill(volume.begin(), volume.begin() + 512, 0);
  std::fill(volume.end() - 512, volume.end(), 0);
  std::fill(volume.begin() + static_cast<long>(mftSector * 512),
            volume.begin() + static_cast<long>((mftSector + 32) * 512), 0);
  EXPECT_FALSE(ScannedNtfs(volume).ok);  // the walk has nothing to go on

  const ScannedNtfs s = Search(volume);
  const auto found = Names(s.state().root);
  for (const auto& path : expected) {
    if (path.rfind("/$", 0) == 0) continue;  // system files: numbers below 27
    EXPECT_TRUE(found.count(path)) << path;
  }
}

TEST(NtfsSearchOnRealVolume, QuickFormattedOverOldFiles) {
  if (test::RunCommand("command -v mkntfs").exitCode != 0) GTEST_SKIP() << "mkntfs not installed";
  auto volume = DemoNtfs();
  ASSERT_FALSE(volume.empty());
  test::TempDir dir;
  const auto file = dir.write("ntfs.img", volume);
  const auto r =
      test::RunCommand("mkntfs -Q -F -q -p 83968 -H 255 -S 63 -s 512 -c 4096 -L NEW '" + file.string() + "'");
  ASSERT_EQ(r.exitCode, 0) << r.err;
  auto formatted = test::LoadImage(file);
  ASSERT_TRUE(formatted);
  // (The walk may list old files too: the new, one-run MFT is probed past its
  // end into the old records that follow it.)
  const ScannedNtfs s = Search(*formatted);
  const auto found = Names(s.state().root);
  for (const char* old : {"/项目/代码/module_01.c", "/图片/风景.bmp", "/项目/sparse.bin", "/临时文件/子目录/a.txt"})
    EXPECT_TRUE(found.count(old)) << old;
}

// mkntfs -c 512 and ntfs-3g: two files grown by interleaved appends and two
// with data in every other cluster, whose names and later data extents lie
// in extension records; one of each deleted (make_ntfs_fragments.sh).
std::vector<uint8_t> Fragments() {
  auto bytes = test::LoadImage(test::FixturesDir() / "ntfs" / "ntfs-fragments.img.gz");
  return bytes ? *bytes : std::vector<uint8_t>{};
}

std::multiset<std::string> Lines(const NtfsNode& top) {
  const auto lines = Tree(top);
  return {lines.begin(), lines.end()};
}

// The copy of `path`'s data as extraction gives it, and whether it was whole.
std::pair<std::vector<uint8_t>, bool> CopyOf(ScannedNtfs& s, const char* name) {
  const auto found = s.state().nameIndex.find(name);
  if (found.size() != 1) return {{}, false};
  DecodedRecord record;
  if (!ReadNtfsRecord(&s.src, s.part, s.state(), found.front()->recordNumber, record)) return {{}, false};
  MemorySink sink;
  const CopyResult result = CopyNtfsData(&s.src, s.part, record, sink, {});
  return {sink.bytes, result.status == CopyStatus::kComplete && !result.damaged && !result.readErrors};
}

// Moves the first piece of $MFT one cluster back, into the free cluster in
// front of it (512-byte clusters): every record there then starts at an odd
// sector of the volume. The boot sector and $MFT's own runs follow it.
void MoveMftToOddCluster(std::vector<uint8_t>& v) {
  const uint64_t mft = v[0x30] | (uint64_t{v[0x31]} << 8);
  ASSERT_EQ(mft, 32u);
  ASSERT_EQ(v[0x0D], 1);  // one sector per cluster
  const uint64_t at = mft * 512;
  uint64_t a = at + (v[at + 0x14] | (v[at + 0x15] << 8));
  while (v[a] != 0x80) a += v[a + 4] | (v[a + 5] << 8);
  const uint64_t first = a + (v[a + 0x20] | (v[a + 0x21] << 8));
  ASSERT_EQ(v[first], 0x12);  // a 2-byte length, a 1-byte cluster
  const uint64_t length = v[first + 1] | (v[first + 2] << 8);
  const uint64_t second = first + 4;
  const unsigned lengthBytes = v[second] & 0x0F, offsetBytes = v[second] >> 4;
  ASSERT_TRUE(lengthBytes != 0 && offsetBytes != 0);
  --v[first + 3];
  // The next run's offset is relative to this one: one cluster more (no carry out of its top byte).
  for (uint64_t k = second + 1 + lengthBytes; k < second + 1 + lengthBytes + offsetBytes && ++v[k] == 0; ++k) {
  }
  --v[0x30];
  std::memmove(v.data() + at - 512, v.data() + at, length * 512);
  std::fill(v.begin() + static_cast<long>(at + (length - 1) * 512), v.begin() + static_cast<long>(at + length * 512),
            0);
}

// The search looks at every sector: a table at an odd cluster of a
// 512-byte-cluster volume is found whole, as the walk lists it. mkntfs -c 512
// gives $MFT an odd first piece, so one record there (1535 here, 255 on
// colinfinck-testfs1) starts in one piece and ends in the next: it is read
// through $MFT's own runs.
TEST(NtfsSearchOnRealVolume, RecordsAtOddSectorsAreFound) {
  auto volume = Fragments();
  ASSERT_FALSE(volume.empty());
  MoveMftToOddCluster(volume);
  const ScannedNtfs walk(volume);
  ASSERT_TRUE(walk.ok);
  EXPECT_EQ(walk.state().mftFirstSector, 31u);
  const auto walked = Lines(walk.state().root);
  EXPECT_EQ(walked, Lines(ScannedNtfs(Fragments()).state().root));
  EXPECT_GT(walked.size(), 1300u);
  EXPECT_EQ(Lines(Search(volume).state().root), walked);

  // Third-party volumes whose later $MFT pieces start at odd clusters.
  for (const char* file : {"dftt-8-jpeg-search.dd.gz", "colinfinck-testfs1.img.gz"}) {
    const auto bytes = test::LoadImage(test::CorpusDir() / "ntfs" / file);
    if (!bytes) continue;
    const auto all = Lines(ScannedNtfs(*bytes).state().root);
    const auto found = Lines(Search(*bytes).state().root);
    size_t missing = 0;
    for (const auto& line : all)
      if (line.rfind("/$", 0) != 0 && !found.count(line)) ++missing;
    EXPECT_EQ(missing, 0u) << file << ": " << all.size() << " listed by the walk";
  }
}

// Records of the older layout keep their update sequence at 0x2A, where the
// number field would begin: the search numbers them by their place, record 0
// where the boot sector puts $MFT and the others through its runs. The Linux
// ntfs3 driver writes records so; here every record of the fragmented fixture
// (its $MFT in several pieces) is rewritten to that layout.
TEST(NtfsSearchOnRealVolume, RecordsWithoutANumberFieldAreNumberedByTheirPlace) {
  auto volume = Fragments();
  ASSERT_FALSE(volume.empty());
  const auto walked = Lines(ScannedNtfs(volume).state().root);
  size_t rewritten = 0;
  for (size_t at = 0; at + 1024 <= volume.size(); at += 512) {
    uint8_t* r = volume.data() + at;
    const size_t usaBytes = 2 * size_t{r[6]};
    if (std::memcmp(r, "FILE", 4) != 0 || r[4] != 0x30 || 0x2A + usaBytes > r[0x14]) continue;
    std::memmove(r + 0x2A, r + 0x30, usaBytes);
    r[4] = 0x2A;
    ++rewritten;
  }
  ASSERT_GT(rewritten, 1000u);
  EXPECT_EQ(Lines(ScannedNtfs(volume).state().root), walked);
  EXPECT_EQ(Lines(Search(volume).state().root), walked);

  const auto ntfs3 = test::LoadImage(test::CorpusDir() / "ntfs/dfir-ntfs3-attrlist.img.gz");
  if (!ntfs3) GTEST_SKIP() << "corpus image absent";
  const auto listed = Lines(ScannedNtfs(*ntfs3).state().root);
  EXPECT_GE(listed.size(), 100u);  // 1.txt to 100.txt, all names of record 27
  EXPECT_EQ(Lines(Search(*ntfs3).state().root), listed);
}

// Extension records belong to their base records: the deep search lists a
// file under its base record with its whole size, never its extension
// records as files of their own; data whose extension record is gone is
// flagged, and its copy is not whole.
TEST(NtfsSearchOnRealVolume, ExtensionRecordsJoinTheirBaseRecords) {
  auto volume = Fragments();
  ASSERT_FALSE(volume.empty());
  ScannedNtfs walk(volume);
  ScannedNtfs deep = Search(volume);
  ASSERT_TRUE(walk.ok && deep.ok);
  for (const char* name : {"fragmented.bin", "sparse-runs.bin"}) {
    for (const ScannedNtfs* s : {&walk, &deep}) {
      const auto nodes = s->state().nameIndex.find(name);
      ASSERT_EQ(nodes.size(), 1u) << name << (s == &deep ? " (deep)" : " (walk)");
      EXPECT_GT(nodes.front()->size, 500000u) << name;
      EXPECT_FALSE(nodes.front()->dataIncomplete) << name;
      EXPECT_EQ(nodes.front()->recordNumber, walk.state().nameIndex.find(name).front()->recordNumber) << name;
    }
  }
  // ntfs-3g frees a deleted file's extension records after taking its
  // $FILE_NAME out: the names of the two deleted files survive only past the
  // end marker of a free record, so neither reader can name them (fls lists
  // them as nameless orphans too), and their records, named nowhere, are
  // listed by neither. Their base records are still found by sector.
  for (const char* name : {"fragmented-deleted.bin", "sparse-runs-deleted.bin"})
    EXPECT_EQ(walk.state().nameIndex.find(name).size() + deep.state().nameIndex.find(name).size(), 0u) << name;
  const uint64_t deletedBase = walk.state().nameIndex.find("fragmented.bin").front()->recordNumber + 1;
  EXPECT_EQ(deep.state().recordPositions.count(deletedBase), 1u);
  EXPECT_EQ(deep.state().numberIndex.count(deletedBase) + deep.state().numberIndex.count(deletedBase + 1), 0u);
  for (const char* name : {"fragmented.bin", "sparse-runs.bin"}) {
    const auto [walked, walkWhole] = CopyOf(walk, name);
    const auto [found, deepWhole] = CopyOf(deep, name);
    EXPECT_TRUE(walkWhole && deepWhole) << name;
    EXPECT_EQ(std::string(walked.begin(), walked.begin() + 8), std::string(name).substr(0, 8));
    EXPECT_TRUE(found == walked) << name;
  }

  // The extension record with the third data extent of sparse-runs.bin, wiped.
  const uint64_t base = walk.state().nameIndex.find("sparse-runs.bin").front()->recordNumber;
  const uint64_t extension = deep.state().recordPositions.at(base + 4);
  std::fill(volume.begin() + static_cast<long>(extension * 512),
            volume.begin() + static_cast<long>(extension * 512 + 1024), 0);
  ScannedNtfs damagedWalk(volume);
  ScannedNtfs damagedDeep = Search(volume);
  for (ScannedNtfs* s : {&damagedWalk, &damagedDeep}) {
    const auto nodes = s->state().nameIndex.find("sparse-runs.bin");
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_TRUE(nodes.front()->dataIncomplete);
    EXPECT_FALSE(CopyOf(*s, "sparse-runs.bin").second);
  }
}

}  // namespace
}  // namespace orvaldi::fs
