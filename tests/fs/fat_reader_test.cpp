// The FAT reader on crafted volumes: chains, loops, long names, deleted folders, search mode.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <thread>

#include "disk/disk_info.h"
#include "fs/fat_reader.h"
#include "fs/fat_state.h"
#include "platform/sector_source.h"
#include "support/fat_builder.h"
#include "support/tree_listing.h"

namespace orvaldi::fs {
namespace {

// A finished tree is read from several threads at once (save workers, the
// views); the first lookups sort the name index and must not trip over each other.
TEST(NameIndexThreads, LookupsFromSeveralThreadsAfterTheScanAgree) {
  std::vector<FatNode> nodes(20000);
  NameIndex<FatNode> index;
  for (size_t i = 0; i < nodes.size(); ++i) {
    nodes[i].name = "f" + std::to_string((i * 7919) % 5000);  // four nodes per name, out of order
    index.add(&nodes[i]);
  }
  std::vector<size_t> found(4);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < found.size(); ++t)
    threads.emplace_back([&, t] {
      for (int n = 0; n < 5000; n += 7) found[t] += index.find("f" + std::to_string(n)).size();
    });
  for (auto& thread : threads) thread.join();
  for (size_t count : found) EXPECT_EQ(count, 4u * ((5000 + 6) / 7));
  const auto same = index.find("f42");
  ASSERT_EQ(same.size(), 4u);
  EXPECT_TRUE(std::is_sorted(same.begin(), same.end()));  // in the order they were added
}

using test::FatBuilder;

struct Scanned {
  disk::DiskInfo disk;
  disk::PartitionInfo part;
  int steps = 0;
  std::string lastText;
  const FatScanState& state() const { return *FindFatState(part); }
};

struct CountingSink : platform::ProgressSink {
  platform::ProgressBlock* block = nullptr;
  int steps = 0;
  int cancelAfter = -1;
  std::string lastText;
  void beginStage(int64_t, int64_t) override {}
  void step() override {
    ++steps;
    lastText = block->textString();
    if (cancelAfter >= 0 && steps >= cancelAfter) block->requestCancel();
  }
  void setPosition(uint64_t) override {}
};

Scanned Scan(FatBuilder& b, bool fat32, int mode, int cancelAfter = -1, uint64_t sectorCount = 0,
             std::set<uint64_t> unreadable = {}) {
  Scanned s;
  s.part.typeByte = fat32 ? 0x0C : 0x06;
  s.part.sectorCount = sectorCount;
  platform::MemorySource memory(b.bytes());
  platform::FaultySource src(memory, std::move(unreadable));
  platform::ProgressBlock progress;
  CountingSink sink;
  sink.block = &progress;
  sink.cancelAfter = cancelAfter;
  progress.window = &sink;
  ScanFatVolume(&src, s.disk, s.part, fat32, mode, progress);
  s.steps = sink.steps;
  s.lastText = sink.lastText;
  return s;
}

using test::Flatten;

std::vector<std::string> Listing(const Scanned& s) {
  std::vector<std::string> out;
  Flatten(s.state().root, "", out);
  return out;
}

TEST(FatWalk, TreeOrderFoldersFirstAndEntriesAfterAnEmptySlot) {
  FatBuilder b(true, 8, 64);
  b.entry(2, 0, "A       TXT", 0x20, 10, 100);
  b.entry(2, 1, "DIR        ", 0x10, 3);
  b.entry(2, 3, "B       TXT", 0x20, 11, 200);  // slot 2 is empty: reading goes on
  b.dots(3, 0).entry(3, 2, "INNER   DAT", 0x20, 12, 1).endOfChain(3);
  const Scanned s = Scan(b, true, kFatModeWalk);
  EXPECT_EQ(Listing(s), (std::vector<std::string>{"/DIR 3 3", "/DIR/INNER.DAT 4 12", "/A.TXT 4 10", "/B.TXT 4 11"}));
  EXPECT_EQ(s.part.sectorsPerCluster, 1u);
  EXPECT_EQ(s.part.fatSizeSectors, 8u);
  EXPECT_EQ(s.part.clusterZeroSector, 32u + 16 - 2);
  EXPECT_EQ(s.lastText, "1 项被找到");
  EXPECT_EQ(s.state().liveIndex.count(3), 1u);
  EXPECT_EQ(s.state().nameIndex.count("A.TXT"), 1u);
  EXPECT_EQ(s.state().root.name, "根目录");
  EXPECT_EQ(s.state().orphans.name, "零散目录");
}

TEST(FatWalk, ChainsThatLoopOrReturnToTheParentStop) {
  FatBuilder b(true, 8, 64);
  b.entry(2, 0, "LOOP       ", 0x10, 3).dots(3, 0).link(3, 2);          // back to the parent (root)
  b.entry(2, 1, "SELF       ", 0x10, 4).dots(4, 0).link(4, 4);          // onto itself
  b.entry(4, 2, "UP         ", 0x10, 4);                                // a child that is its own folder
  b.entry(2, 2, "FAR        ", 0x10, 60000).entry(2, 3, "F       TXT", 0x20, 60001, 9);  // beyond the volume
  b.link(2, 5).dots(5, 0).link(5, 2);  // the root's own chain comes back to itself
  const Scanned s = Scan(b, true, kFatModeWalk, -1, 32 + 16 + 64);
  const auto listing = Listing(s);
  // Everything is listed once; nothing was read twice, nothing was read past the end.
  EXPECT_NE(std::find(listing.begin(), listing.end(), "/FAR 3 60000"), listing.end());
  EXPECT_NE(std::find(listing.begin(), listing.end(), "/SELF/UP 3 4"), listing.end());
  EXPECT_NE(std::find(listing.begin(), listing.end(), "/F.TXT 4 60001"), listing.end());
  EXPECT_EQ(s.steps, 2);  // LOOP's one cluster and SELF's one cluster
}

TEST(FatWalk, UnreadableSectorsComeFromTheOtherFatCopyOrAreNoted) {
  // DIR's chain 3 -> 40 is told by FAT sector 0: sector 32 in the first
  // copy, 40 in the second.
  FatBuilder b(true, 8, 64);
  b.entry(2, 0, "DIR        ", 0x10, 3).endOfChain(2);
  b.dots(3, 0).entry(3, 2, "A       TXT", 0x20, 20, 1).link(3, 40);
  b.entry(40, 0, "B       TXT", 0x20, 21, 1).endOfChain(40);
  const uint64_t first = b.clusterSector(3), later = b.clusterSector(40);
  using Problems = std::vector<std::pair<std::string, uint64_t>>;
  struct Case {
    std::set<uint64_t> bad;
    std::vector<std::string> listing;
    Problems problems;
    std::vector<uint32_t> fatLost;
  };
  const Case cases[] = {
      {{32}, {"/DIR 3 3", "/DIR/A.TXT 4 20", "/DIR/B.TXT 4 21"}, {}, {}},
      // No copy knows where DIR (or the root) goes on.
      {{32, 40}, {"/DIR 3 3", "/DIR/A.TXT 4 20"}, {{"根目录/DIR", 32}, {"根目录", 32}}, {0}},
      {{later}, {"/DIR 3 3", "/DIR/A.TXT 4 20"}, {{"根目录/DIR", later}}, {}},
      // The chain goes on past a first cluster that cannot be read.
      {{first}, {"/DIR 3 3", "/DIR/B.TXT 4 21"}, {{"根目录/DIR", first}}, {}},
  };
  for (const Case& c : cases) {
    const Scanned s = Scan(b, true, kFatModeWalk, -1, 0, c.bad);
    const std::string label = "bad sector " + std::to_string(*c.bad.begin());
    EXPECT_EQ(Listing(s), c.listing) << label;
    Problems problems;
    for (const auto& p : s.state().readProblems) problems.emplace_back(p.where, p.sector);
    EXPECT_EQ(problems, c.problems) << label;
    EXPECT_EQ(s.state().unreadableFatSectors, c.fatLost) << label;
  }
}

TEST(FatWalk, LongNamesAcrossClustersAndUnpairedSurrogates) {
  // 16 entries per cluster: a 40-character name needs 4 entries and starts in
  // slot 14 of the root's first cluster, so it continues in the next one.
  FatBuilder whole(true, 8, 64);
  whole.link(2, 6).endOfChain(6);
  for (uint32_t i = 0; i < 14; ++i) whole.entry(2, i, "F" + std::to_string(10 + i) + "     TXT", 0x20, 20 + i, 1);
  // Write the long name into a scratch folder, then move its entries by hand.
  FatBuilder scratch(true, 8, 64);
  const std::u16string longName = u"一个很长的文件名 with forty characters.txt";
  scratch.longEntry(3, 0, longName, "AVERYL~1TXT", 0x20, 40, 1234);
  const uint8_t* src = scratch.bytes().data() + scratch.clusterSector(3) * 512;
  uint8_t* root = whole.bytes().data() + whole.clusterSector(2) * 512;
  uint8_t* next = whole.bytes().data() + whole.clusterSector(6) * 512;
  std::memcpy(root + 14 * 32, src, 64);       // pieces 1-2
  std::memcpy(next, src + 64, 32 * 3);        // pieces 3-4 and the short entry
  // A name with an unpaired surrogate is kept, the unit shown as U+FFFD.
  whole.longEntry(6, 8, std::u16string(u"bad") + char16_t(0xD800) + u".txt", "BAD     TXT", 0x20, 41, 5);
  const Scanned s = Scan(whole, true, kFatModeWalk);
  const auto listing = Listing(s);
  EXPECT_NE(std::find(listing.begin(), listing.end(), "/一个很长的文件名 with forty characters.txt 4 40"), listing.end());
  EXPECT_NE(std::find(listing.begin(), listing.end(), "/bad\uFFFD.txt 4 41"), listing.end());
  EXPECT_EQ(listing.size(), 16u);
}

TEST(FatWalk, OverlongLongNameRunsAreCut) {
  // 30 deleted long-name pieces before one short entry: more than any name
  // has (20 pieces), so only the pieces after the cut make the name.
  FatBuilder b(true, 8, 64);
  b.link(2, 6).endOfChain(6);
  const std::u16string piece = u"abcdefghijklm";
  std::u16string name;
  for (int i = 0; i < 30; ++i) name += piece;
  // The 31 entries fill clusters 3 and 4 of a scratch volume; they go into
  // the root's chain 2 -> 6.
  FatBuilder scratch(true, 8, 64);
  scratch.longEntry(3, 0, name, "LONG    TXT", 0x20, 40, 10, /*deleted=*/true);
  const uint8_t* src = scratch.bytes().data() + scratch.clusterSector(3) * 512;
  std::memcpy(b.bytes().data() + b.clusterSector(2) * 512, src, 512);
  std::memcpy(b.bytes().data() + b.clusterSector(6) * 512, src + 512, 512);
  const Scanned s = Scan(b, true, kFatModeWalk);
  ASSERT_EQ(s.state().root.children.size(), 1u);
  EXPECT_LT(s.state().root.children.front().name.size(), 20u * 13);
}

TEST(FatWalk, ShortNamesDeletedEmptyAndInLowerCase) {
  FatBuilder b(true, 8, 64);
  b.entry(2, 0, "\xE5" "AB     TXT", 0x20, 10, 100);  // deleted: first byte lost
  b.entry(2, 1, "EMPTY   DAT", 0x20, 0, 0);          // existing, no long name, no cluster: left out
  b.longEntry(2, 2, u"empty long.dat", "EMPTYL~1DAT", 0x20, 0, 0);  // kept: it has a long name
  b.longEntry(2, 6, u"old photo.jpg", "OLDPHO~1JPG", 0x20, 12, 5000, /*deleted=*/true);
  b.entry(2, 10, "GBK     TXT", 0x20, 13, 7);
  b.bytes()[b.clusterSector(2) * 512 + 10 * 32] = 0xCA;  // "数" in GBK is CA FD
  b.bytes()[b.clusterSector(2) * 512 + 10 * 32 + 1] = 0xFD;
  // Names stored in one case are shown as their writer shows them: byte
  // 0x0C marks a lower-case base (0x08) and extension (0x10).
  const uint8_t caseBits[] = {0x18, 0x08, 0x10};
  uint32_t slot = 11;
  for (const uint8_t bits : caseBits) {
    const std::string base = "FRAG" + std::to_string(slot - 8);
    b.entry(2, slot, base + "   DAT", 0x20, 3 + slot, 1);
    b.bytes()[b.clusterSector(2) * 512 + slot * 32 + 0x0C] = bits;
    ++slot;
  }
  b.entry(2, slot, "\xE5" "RAG6   DAT", 0x20, 30, 1);
  b.bytes()[b.clusterSector(2) * 512 + slot * 32 + 0x0C] = 0x18;
  const Scanned s = Scan(b, true, kFatModeWalk);
  EXPECT_EQ(Listing(s), (std::vector<std::string>{"/\xC3\xA5" "AB.TXT 2 10", "/empty long.dat 4 0", "/old photo.jpg 2 12",
                                                  "/数K.TXT 4 13", "/frag3.dat 4 14", "/frag4.DAT 4 15",
                                                  "/FRAG5.dat 4 16", "/\xC3\xA5rag6.dat 2 30"}));
  EXPECT_EQ(s.state().deletedIndex.count(10), 1u);
}

TEST(FatWalk, DeletedFolderFoundAboveCluster65535ByTryingHighWords) {
  // 1,100 FAT sectors hold 140,800 entries; the volume has 70,000 clusters.
  FatBuilder b(true, 1100, 70000);
  const uint32_t real = 0x10005;
  b.fill(5, 0x41);  // cluster 5 (high word 0) holds no folder
  b.longEntry(2, 0, u"deleted folder", "DELETE~1   ", 0x10, 5, 0, /*deleted=*/true);  // high word cleared
  b.dots(real, 2).entry(real, 2, "\xE5" "NSIDE  TXT", 0x20, 30, 3);
  // Entries left unmarked in a deleted folder are deleted with it: their clusters are free.
  b.entry(real, 3, "UNMARKEDTXT", 0x20, 31, 4);
  // Times of a folder found through its long name come from its ".." entry.
  b.bytes()[b.clusterSector(real) * 512 + 0x20 + 0x10] = 0x21;
  b.bytes()[b.clusterSector(real) * 512 + 0x20 + 0x11] = 0x30;
  const Scanned s = Scan(b, true, kFatModeWalk);
  ASSERT_EQ(Listing(s), (std::vector<std::string>{"/deleted folder 1 65541", "/deleted folder/\xC3\xA5NSIDE.TXT 2 30",
                                                  "/deleted folder/UNMARKED.TXT 2 31"}));
  EXPECT_EQ(s.state().deletedIndex.count(31), 1u);
  EXPECT_EQ(s.state().liveIndex.count(31), 0u);
  EXPECT_EQ(s.state().root.children.front().createDate, 0x3021);

  // With nothing that reads as the folder at any high word, the entry is dropped.
  FatBuilder c(true, 1100, 70000);
  c.longEntry(2, 0, u"gone", "GONE       ", 0x10, 7, 0, true);
  EXPECT_TRUE(Listing(Scan(c, true, kFatModeWalk)).empty());
}

TEST(FatSearch, FindsFoldersWithoutTheRootAndNothingInAnEmptyArea) {
  FatBuilder b(true, 8, 64);
  b.dots(9, 2).entry(9, 2, "A       TXT", 0x20, 20, 5).entry(9, 3, "SUB        ", 0x10, 11);
  b.dots(11, 9).entry(11, 2, "B       TXT", 0x20, 21, 6);
  b.dots(30, 2).entry(30, 2, "C       TXT", 0x20, 22, 7);
  b.entry(2, 0, "ROOTFILETXT", 0x20, 23, 8);  // the root is not read in this mode
  Scanned s = Scan(b, true, kFatModeSearch);
  EXPECT_EQ(Listing(s), (std::vector<std::string>{"/9 3 9", "/9/SUB 3 11", "/9/SUB/B.TXT 4 21", "/9/A.TXT 4 20",
                                                  "/30 3 30", "/30/C.TXT 4 22"}));
  EXPECT_EQ(s.lastText, "3 项被找到");  // 9, 11 (entered from 9) and 30

  FatBuilder empty(true, 8, 64);
  s = Scan(empty, true, kFatModeSearch);
  EXPECT_TRUE(Listing(s).empty());
  EXPECT_EQ(s.state().root.name, "根目录");
  EXPECT_EQ(s.lastText, "");
}

TEST(FatSearch, CancelKeepsWhatWasFound) {
  FatBuilder b(true, 8, 64);
  b.dots(9, 2).entry(9, 2, "A       TXT", 0x20, 20, 5);
  b.dots(40, 2).entry(40, 2, "B       TXT", 0x20, 21, 5);
  const Scanned s = Scan(b, true, kFatModeSearch, /*cancelAfter=*/20);
  EXPECT_EQ(Listing(s), (std::vector<std::string>{"/9 3 9", "/9/A.TXT 4 20"}));
}

TEST(FatGeometry, RebuiltWhenTheBootSectorIsGone) {
  FatBuilder b(true, 8, 64);
  b.entry(2, 0, "DIR        ", 0x10, 8).dots(8, 2).entry(8, 2, "X       TXT", 0x20, 20, 5).endOfChain(8);
  b.wipeBootSector();
  Scanned s = Scan(b, true, kFatModeWalk);
  EXPECT_EQ(s.part.fatSizeSectors, 8u);
  EXPECT_EQ(s.part.sectorsPerCluster, 1u);
  EXPECT_EQ(Listing(s), (std::vector<std::string>{"/DIR 3 8", "/DIR/X.TXT 4 20"}));

  // Nothing to rebuild from: nothing is added and nothing breaks.
  FatBuilder none(true, 8, 64);
  none.wipeBootSector();
  std::memset(none.bytes().data(), 0, none.bytes().size());
  s = Scan(none, true, kFatModeWalk);
  EXPECT_TRUE(Listing(s).empty());
  EXPECT_EQ(s.part.sectorsPerCluster, 0u);
}

TEST(FatGeometry, NonsenseBootValuesNeverDivideByZero) {
  FatBuilder b(true, 8, 64);
  b.bytes()[0x0D] = 0;  // no sectors per cluster: treated as no boot sector, rebuilt from the FATs
  b.entry(2, 0, "DIR        ", 0x10, 8).dots(8, 2).endOfChain(8);
  Scanned s = Scan(b, true, kFatModeWalk);
  EXPECT_EQ(s.part.sectorsPerCluster, 1u);
  EXPECT_EQ(Listing(s), (std::vector<std::string>{"/DIR 3 8"}));
}

TEST(Fat16, WalkTheFixedRootAndSearchFromClusterTwo) {
  FatBuilder b(false, 4, 64);
  b.entry(0, 0, "ROOT    TXT", 0x20, 5, 10).entry(0, 1, "DIR        ", 0x10, 3);
  b.dots(3, 0).entry(3, 2, "IN      TXT", 0x20, 6, 11).link(3, 0xFFFF);
  Scanned s = Scan(b, false, kFatModeWalk);
  EXPECT_EQ(Listing(s), (std::vector<std::string>{"/DIR 3 3", "/DIR/IN.TXT 4 6", "/ROOT.TXT 4 5"}));
  EXPECT_EQ(s.state().root.firstCluster, 0u);
  EXPECT_EQ(s.part.clusterZeroSector, 1u + 8 + 32 - 2);
  s = Scan(b, false, kFatModeSearch);
  EXPECT_EQ(Listing(s), (std::vector<std::string>{"/3 3 3", "/3/IN.TXT 4 6"}));
}

TEST(FatList, DirectorySectorsFromADiskScanSteerTheReader) {
  FatBuilder b(true, 8, 64);
  b.dots(9, 2).entry(9, 2, "A       TXT", 0x20, 20, 5);
  b.entry(12, 0, "LOOSE   TXT", 0x20, 21, 6);  // a directory cluster without "."
  Scanned s;
  s.part.typeByte = 0x0C;
  s.part.sectorCount = b.bytes().size() / 512;
  const uint64_t zero = 32 + 16 - 2;
  s.disk.directorySectors = {zero + 9, zero + 12, zero + 9, 5};  // 5 lies before the data area
  platform::MemorySource src(b.bytes());
  platform::ProgressBlock progress;
  s.part.startSector = 0;
  // The list method starts only when an entry lies past the partition's first sector.
  ScanFatVolume(&src, s.disk, s.part, true, kFatModeWalk, progress);
  std::vector<std::string> root, orphans;
  Flatten(s.state().root, "", root);
  Flatten(s.state().orphans, "", orphans);
  EXPECT_EQ(root, (std::vector<std::string>{"/9 3 9", "/9/A.TXT 4 20"}));
  EXPECT_EQ(orphans, (std::vector<std::string>{"/12 3 12", "/12/LOOSE.TXT 4 21"}));
}

TEST(FatState, CopiesAreDeepAndRescansStartEmpty) {
  FatBuilder b(true, 8, 64);
  b.entry(2, 0, "DIR        ", 0x10, 3).dots(3, 0).entry(3, 2, "X       TXT", 0x20, 20, 5).endOfChain(3);
  Scanned s = Scan(b, true, kFatModeWalk);
  disk::PartitionInfo copy = s.part;
  const FatScanState* original = FindFatState(s.part);
  const FatScanState* copied = FindFatState(copy);
  ASSERT_TRUE(copied);
  ASSERT_NE(copied, original);
  const FatNode& dir = copied->root.children.front();
  EXPECT_EQ(dir.parent, &copied->root);
  EXPECT_EQ(dir.children.front().parent, &dir);
  EXPECT_EQ(copied->liveIndex.find(3)->second, &dir);
  ASSERT_EQ(copied->nameIndex.find("X.TXT").size(), 1u);
  EXPECT_EQ(copied->nameIndex.find("X.TXT").front(), &dir.children.front());
  EXPECT_EQ(copied->fatCopy, original->fatCopy);

  EmptyFatResults(copy);
  EXPECT_TRUE(FindFatState(copy)->root.children.empty());
  EXPECT_TRUE(FindFatState(copy)->liveIndex.empty());
  EXPECT_EQ(FindFatState(copy)->nameIndex.size(), 0u);
  EXPECT_EQ(copy.fatSizeSectors, 0u);
  EXPECT_FALSE(original->root.children.empty());
}

}  // namespace
}  // namespace orvaldi::fs
