// The FAT reader on crafted volumes: chains, loops, long names, deleted folders, search mode.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
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

using test::FatBuilder;
using Listing = std::vector<std::string>;

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

struct Scanned {
  disk::DiskInfo disk;
  disk::PartitionInfo part;
  bool ok = false;
  int steps = 0;
  std::string lastText;
  const FatScanState& state() const { return *FindFatState(part); }
  Listing tree() const { return test::Tree(state().root); }
};

struct CountingSink : platform::ProgressSink {
  platform::ProgressBlock block{this};
  int steps = 0;
  int cancelAfter = -1;
  std::string lastText;
  void beginStage(int64_t, int64_t) override {}
  void step() override {
    lastText = block.text();
    if (++steps == cancelAfter) block.requestCancel();
  }
  void setPosition(uint64_t) override {}
};

struct Options {
  int cancelAfter = -1;
  uint64_t sectorCount = 0;
  std::set<uint64_t> directorySectors = {};
  std::set<uint64_t> unreadable = {};
};

Scanned Scan(FatBuilder& b, bool fat32, FatMode mode, Options o = {}) {
  Scanned s;
  s.part.typeByte = fat32 ? 0x0C : 0x06;
  s.part.sectorCount = o.sectorCount;
  s.disk.directorySectors = o.directorySectors;
  platform::MemorySource memory(b.bytes());
  platform::FaultySource src(memory, std::move(o.unreadable));
  CountingSink sink;
  sink.cancelAfter = o.cancelAfter;
  s.ok = ScanFatVolume(&src, s.disk, s.part, fat32, mode, sink.block);
  s.steps = sink.steps;
  s.lastText = sink.lastText;
  return s;
}

struct Case {
  const char* what;
  std::function<void(FatBuilder&)> build;
  FatMode mode;
  Listing listing;
  std::function<void(const Scanned&)> check = nullptr;
  Options options = {};
  bool fat16 = false;
  bool ok = true;
};

constexpr uint8_t kFile = 0x20, kDir = 0x10;

template <typename S>
S Repeat(const S& s, int n) {
  S out;
  while (n-- > 0) out += s;
  return out;
}

// The plain walk (FAT16's fixed root, long names, a deleted folder whose high
// word was cleared) is checked against fls and the fixture manifests in
// fs_images_test, its tree order by the CLI's golden listing; these are the
// inputs no image holds.
const Case kCases[] = {
    // Everything is listed once; nothing is read twice or past the volume's end.
    {"chains that loop, return to the parent or leave the volume stop",
     [](FatBuilder& b) {
       b.entry(2, 0, "LOOP       ", kDir, 3).dots(3, 0).link(3, 2);  // back to the root
       b.entry(2, 1, "SELF       ", kDir, 4).dots(4, 0).link(4, 4).entry(4, 2, "UP         ", kDir, 4);  // onto itself
       b.entry(2, 2, "FAR        ", kDir, 60000).entry(2, 3, "F       TXT", kFile, 60001, 9);
       b.link(2, 5).dots(5, 0).link(5, 2);  // the root's own chain comes back to itself
     },
     FatMode::kWalk,
     {"/FAR 3 60000", "/SELF 3 4", "/SELF/UP 3 4", "/LOOP 3 3", "/F.TXT 4 60001"},
     [](const Scanned& s) { EXPECT_EQ(s.steps, 2); },
     {.sectorCount = 32 + 16 + 64}},
    // A name from slot 14 (after empty slots, which end nothing) runs on into
    // the root's next cluster; an unpaired surrogate is kept as U+FFFD.
    {"long names across clusters and unpaired surrogates",
     [](FatBuilder& b) {
       b.link(2, 3).endOfChain(3);
       b.longEntry(2, 14, u"一个很长的文件名 with forty characters.txt", "AVERYL~1TXT", kFile, 40, 1234);
       b.longEntry(3, 8, std::u16string(u"bad") + char16_t(0xD800) + u".txt", "BAD     TXT", kFile, 41, 5);
     },
     FatMode::kWalk,
     {"/一个很长的文件名 with forty characters.txt 4 40", "/bad\uFFFD.txt 4 41"}},
    // 30 deleted pieces: more than any name has (20), so only those after the cut make the name.
    {"overlong long-name runs are cut",
     [](FatBuilder& b) {
       b.link(2, 3).endOfChain(3).longEntry(2, 0, Repeat(std::u16string(u"abcdefghijklm"), 30), "LONG    TXT", kFile,
                                            40, 10, /*deleted=*/true);
     },
     FatMode::kWalk,
     {"/" + Repeat(std::string("abcdefghijklm"), 9) + " 2 40"}},
    {"short names: deleted, empty, OEM, lower-case bits",
     [](FatBuilder& b) {
       b.entry(2, 0, "\345AB     TXT", kFile, 10, 100);                   // deleted: first byte lost
       b.entry(2, 1, "EMPTY   DAT", kFile, 0, 0);                         // an empty file: no cluster
       b.longEntry(2, 2, u"empty long.dat", "EMPTYL~1DAT", kFile, 0, 0);  // kept: it has a long name
       b.entry(2, 10, "\312\375K     TXT", kFile, 13, 7);                 // "数" in GBK
       const uint8_t caseBits[] = {0x18, 0x08, 0x10, 0x18};
       for (uint32_t i = 0; i < 4; ++i)
         b.entry(2, 11 + i, "FRAG" + std::to_string(3 + i) + "   DAT", kFile, 14 + i, 1).at(2, 11 + i, 0x0C) =
             caseBits[i];
       b.at(2, 14) = 0xE5;
     },
     FatMode::kWalk,
     {"/åAB.TXT 2 10", "/EMPTY.DAT 4 0", "/empty long.dat 4 0", "/数K.TXT 4 13", "/frag3.dat 4 14", "/frag4.DAT 4 15",
      "/FRAG5.dat 4 16", "/årag6.dat 2 17"},
     [](const Scanned& s) { EXPECT_EQ(s.state().deletedIndex.count(10), 1u); }},
    {"a deleted folder: unmarked entries whose cluster is free are deleted with it",
     [](FatBuilder& b) {
       b.longEntry(2, 0, u"deleted folder", "DELETE~1   ", kDir, 5, 0, /*deleted=*/true);
       b.dots(5, 2).entry(5, 2, "UNMARKEDTXT", kFile, 31, 4);
       b.at(5, 1, 0x10) = 0x21;  // times of a folder found through its long name come from ".."
       b.at(5, 1, 0x11) = 0x30;
       b.longEntry(2, 3, u"gone", "GONE       ", kDir, 7, 0, true);  // no cluster reads as it: dropped
     },
     FatMode::kWalk,
     {"/deleted folder 1 5", "/deleted folder/UNMARKED.TXT 2 31"},
     [](const Scanned& s) {
       EXPECT_EQ(std::pair(s.state().deletedIndex.count(31), s.state().liveIndex.count(31)), std::pair(1ul, 0ul));
       EXPECT_EQ(s.state().root.children.front().createDate, 0x3021);
     }},
    {"search finds folders without the root",
     [](FatBuilder& b) {
       b.dots(9, 2).entry(9, 2, "A       TXT", kFile, 20, 5).entry(9, 3, "SUB        ", kDir, 11);
       b.dots(11, 9).entry(11, 2, "B       TXT", kFile, 21, 6).dots(30, 2).entry(30, 2, "C       TXT", kFile, 22, 7);
       b.entry(2, 0, "ROOTFILETXT", kFile, 23, 8);  // the root's files are listed, its folders found
       b.entry(2, 1, "SUB        ", kDir, 9);
     },
     FatMode::kSearch,
     {"/ROOTFILE.TXT 4 23", "/9 3 9", "/9/SUB 3 11", "/9/SUB/B.TXT 4 21", "/9/A.TXT 4 20", "/30 3 30",
      "/30/C.TXT 4 22"},
     [](const Scanned& s) { EXPECT_EQ(s.lastText, "3 项被找到"); }},
    {"a cancelled search keeps what it found",
     [](FatBuilder& b) {
       b.dots(9, 2).entry(9, 2, "A       TXT", kFile, 20, 5).dots(40, 2).entry(40, 2, "B       TXT", kFile, 21, 5);
     },
     FatMode::kSearch,
     {"/9 3 9", "/9/A.TXT 4 20"},
     nullptr,
     {.cancelAfter = 20}},
    {"FAT16 searches from cluster 2",
     [](FatBuilder& b) { b.dots(2, 0).entry(2, 2, "IN      TXT", kFile, 6, 11); },
     FatMode::kSearch,
     {"/2 3 2", "/2/IN.TXT 4 6"},
     nullptr,
     {},
     true},
    {"geometry rebuilt from the FATs when the boot sector is gone",
     [](FatBuilder& b) {
       b.entry(2, 0, "DIR        ", kDir, 8).dots(8, 2).entry(8, 2, "X       TXT", kFile, 20, 5).endOfChain(8);
       std::memset(b.bytes().data(), 0, 512);
     },
     FatMode::kWalk,
     {"/DIR 3 8", "/DIR/X.TXT 4 20"},
     [](const Scanned& s) {
       EXPECT_EQ(std::pair(s.part.fatSizeSectors, s.part.sectorsPerCluster), std::pair(8u, 1u));
     }},
    // No sectors per cluster: treated as no boot sector, never divided by.
    {"nonsense boot values are rebuilt",
     [](FatBuilder& b) { b.entry(2, 0, "DIR        ", kDir, 8).dots(8, 2).endOfChain(8).bytes()[0x0D] = 0; },
     FatMode::kWalk,
     {"/DIR 3 8"},
     [](const Scanned& s) { EXPECT_EQ(s.part.sectorsPerCluster, 1u); }},
    {"no geometry at all fails and adds nothing",
     [](FatBuilder& b) { std::fill(b.bytes().begin(), b.bytes().end(), 0); },
     FatMode::kWalk,
     {},
     [](const Scanned& s) { EXPECT_EQ(s.part.sectorsPerCluster, 0u); },
     {},
     false,
     false},
    // Clusters a disk scan found steer the reader; one without "." goes to the orphans.
    {"directory sectors from a disk scan",
     [](FatBuilder& b) {
       b.dots(9, 2).entry(9, 2, "A       TXT", kFile, 20, 5).entry(12, 0, "LOOSE   TXT", kFile, 21, 6);
     },
     FatMode::kWalk,
     {"/9 3 9", "/9/A.TXT 4 20"},
     [](const Scanned& s) {
       EXPECT_EQ(test::Tree(s.state().orphans), (Listing{"/12 3 12", "/12/LOOSE.TXT 4 21"}));
     },
     {.sectorCount = 32 + 16 + 64, .directorySectors = {46 + 9, 46 + 12, 5}}},  // 5 lies before the data area
    // A folder's clusters next to each other: a long name runs from one into the next.
    {"search joins a long name across neighbouring clusters",
     [](FatBuilder& b) {
       b.dots(9, 2).longEntry(9, 14, u"a long name across clusters.txt", "ALONGN~1TXT", kFile, 20, 5);
     },
     FatMode::kSearch,
     {"/9 3 9", "/10 3 10", "/10/a long name across clusters.txt 4 20"}},
    // A deleted folder's chain is gone: its later clusters are the free ones behind it.
    {"a deleted folder goes on through the free clusters behind it",
     [](FatBuilder& b) {
       b.longEntry(2, 0, u"many files", "MANYFI~1   ", kDir, 5, 0, /*deleted=*/true);
       b.dots(5, 2).longEntry(5, 14, u"a name across clusters.txt", "ANAMEA~1TXT", kFile, 30, 1, true);
       b.entry(6, 1, "B       TXT", kFile, 31, 1);
       b.entry(7, 0, "C       TXT", kFile, 32, 1).endOfChain(7);  // in use: another's
     },
     FatMode::kWalk,
     {"/many files 1 5", "/many files/a name across clusters.txt 2 30", "/many files/B.TXT 2 31"}},
    // The folder may go on in a cluster that cannot be read: said, not guessed.
    {"an unreadable cluster behind a deleted folder is noted",
     [](FatBuilder& b) {
       b.longEntry(2, 0, u"many files", "MANYFI~1   ", kDir, 5, 0, /*deleted=*/true);
       b.dots(5, 2).entry(5, 2, "A       TXT", kFile, 30, 1).entry(6, 0, "B       TXT", kFile, 31, 1);
     },
     FatMode::kWalk,
     {"/many files 1 5", "/many files/A.TXT 2 30"},
     [](const Scanned& s) {
       ASSERT_EQ(s.state().readProblems.size(), 1u);
       EXPECT_EQ(s.state().readProblems[0].where, "根目录/many files");
       EXPECT_EQ(s.state().readProblems[0].sector, 52u);
     },
     {.unreadable = {52}}},
    // A moved folder: the stale deleted entry stays, but the cluster is the live folder's now.
    {"a deleted folder whose cluster a live folder holds keeps no content",
     [](FatBuilder& b) {
       b.entry(0, 0, "OLD        ", kDir, 5).entry(0, 1, "NEW        ", kDir, 5).at(0, 0) = 0xE5;
       b.dots(5, 0).entry(5, 2, "F       TXT", kFile, 20, 3).endOfChain(5);
     },
     FatMode::kWalk,
     {"/NEW 3 5", "/NEW/F.TXT 4 20", "/\u00e5LD 1 5"},
     nullptr,
     {},
     true},
};

TEST(FatReader, CraftedVolumes) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    FatBuilder b = c.fat16 ? FatBuilder(false, 4, 64) : FatBuilder(true, 8, 64);
    c.build(b);
    const Scanned s = Scan(b, !c.fat16, c.mode, c.options);
    ASSERT_EQ(s.ok, c.ok);
    EXPECT_EQ(s.tree(), c.listing);
    if (c.check) c.check(s);
  }
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
  struct Bad {
    std::set<uint64_t> sectors;
    Listing listing;
    Problems problems;
    std::vector<uint32_t> fatLost;
  };
  const Bad cases[] = {
      {{32}, {"/DIR 3 3", "/DIR/A.TXT 4 20", "/DIR/B.TXT 4 21"}, {}, {}},
      // No copy knows where DIR (or the root) goes on.
      {{32, 40}, {"/DIR 3 3", "/DIR/A.TXT 4 20"}, {{"根目录/DIR", 32}, {"根目录", 32}}, {0}},
      {{later}, {"/DIR 3 3", "/DIR/A.TXT 4 20"}, {{"根目录/DIR", later}}, {}},
      // The chain goes on past a first cluster that cannot be read.
      {{first}, {"/DIR 3 3", "/DIR/B.TXT 4 21"}, {{"根目录/DIR", first}}, {}},
  };
  for (const Bad& c : cases) {
    SCOPED_TRACE("bad sector " + std::to_string(*c.sectors.begin()));
    const Scanned s = Scan(b, true, FatMode::kWalk, {.unreadable = c.sectors});
    EXPECT_EQ(s.tree(), c.listing);
    Problems problems;
    for (const auto& p : s.state().readProblems) problems.emplace_back(p.where, p.sector);
    EXPECT_EQ(problems, c.problems);
    EXPECT_EQ(s.state().unreadableFatSectors, c.fatLost);
  }
}

// Copies are deep (every index points into the copy) and a rescan starts empty.
TEST(FatState, CopiesAreDeepAndRescansStartEmpty) {
  FatBuilder b(true, 8, 64);
  b.entry(2, 0, "DIR        ", 0x10, 3).dots(3, 0).entry(3, 2, "X       TXT", 0x20, 20, 5).endOfChain(3);
  Scanned s = Scan(b, true, FatMode::kWalk);
  disk::PartitionInfo copy = s.part;
  const FatScanState* original = FindFatState(s.part);
  const FatScanState* copied = FindFatState(copy);
  ASSERT_NE(copied, original);
  const FatNode& dir = copied->root.children.front();
  EXPECT_TRUE(dir.parent == &copied->root && dir.children.front().parent == &dir);
  EXPECT_EQ(copied->liveIndex.find(3)->second, &dir);
  const auto named = copied->nameIndex.find("X.TXT");
  EXPECT_TRUE(named.size() == 1 && named[0] == &dir.children.front());
  EXPECT_EQ(copied->fatCopy, original->fatCopy);
  EmptyFatResults(copy);
  EXPECT_TRUE(FindFatState(copy)->root.children.empty() && FindFatState(copy)->liveIndex.empty());
  EXPECT_EQ(std::pair(FindFatState(copy)->nameIndex.size(), copy.fatSizeSectors), std::pair(size_t{0}, 0u));
  EXPECT_FALSE(original->root.children.empty());
}

}  // namespace
}  // namespace orvaldi::fs
