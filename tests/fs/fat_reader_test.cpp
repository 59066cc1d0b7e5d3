// The FAT reader on crafted volumes: chains, loops, long names, deleted folders, search mode.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <set>
#include <thread>
#include <tuple>

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
  platform::ProgressBlock* block = nullptr;
  int steps = 0;
  int cancelAfter = -1;
  std::string lastText;
  void beginStage(int64_t, int64_t) override {}
  void step() override {
    ++steps;
    lastText = block->text();
    if (cancelAfter >= 0 && steps >= cancelAfter) block->requestCancel();
  }
  void setPosition(uint64_t) override {}
};

struct Options {
  Options(int cancel = -1, uint64_t sectors = 0, std::set<uint64_t> dirs = {}, std::set<uint64_t> bad = {})
      : cancelAfter(cancel), sectorCount(sectors), directorySectors(std::move(dirs)), unreadable(std::move(bad)) {}
  int cancelAfter;
  uint64_t sectorCount;
  std::set<uint64_t> directorySectors;
  std::set<uint64_t> unreadable;
};

Scanned Scan(FatBuilder& b, bool fat32, FatMode mode, Options o = {}) {
  Scanned s;
  s.part.typeByte = fat32 ? 0x0C : 0x06;
  s.part.sectorCount = o.sectorCount;
  s.disk.directorySectors = o.directorySectors;
  platform::MemorySource memory(b.bytes());
  platform::FaultySource src(memory, std::move(o.unreadable));
  platform::ProgressBlock progress;
  CountingSink sink;
  sink.block = &progress;
  sink.cancelAfter = o.cancelAfter;
  progress.setSink(&sink);
  s.ok = ScanFatVolume(&src, s.disk, s.part, fat32, mode, progress);
  s.steps = sink.steps;
  s.lastText = sink.lastText;
  return s;
}

FatBuilder Small() { return FatBuilder(true, 8, 64); }
FatBuilder Large() { return FatBuilder(true, 1100, 70000); }  // 140,800 FAT entries, 70,000 clusters
FatBuilder Fat16() { return FatBuilder(false, 4, 64); }

struct Case {
  const char* what;
  std::function<void(FatBuilder&)> build;
  FatMode mode;
  Listing listing;
  std::function<void(const Scanned&)> check = nullptr;
  Options options = {};
  FatBuilder (*volume)() = Small;
};

std::string Times(const std::string& s, int n) {
  std::string out;
  while (n-- > 0) out += s;
  return out;
}
constexpr uint8_t kFile = 0x20, kDir = 0x10;
const uint32_t kHigh = 0x10005;  // a cluster above 65535

const Case kCases[] = {
    {"tree order: folders first, entries after an empty slot are read",
     [](FatBuilder& b) {
       b.entry(2, 0, "A       TXT", kFile, 10, 100).entry(2, 1, "DIR        ", kDir, 3).entry(2, 3, "B       TXT", kFile, 11, 200);
       b.dots(3, 0).entry(3, 2, "INNER   DAT", kFile, 12, 1).endOfChain(3);
     },
     FatMode::kWalk, {"/DIR 3 3", "/DIR/INNER.DAT 4 12", "/A.TXT 4 10", "/B.TXT 4 11"},
     [](const Scanned& s) {
       EXPECT_EQ(std::tuple(s.part.sectorsPerCluster, s.part.fatSizeSectors, s.part.clusterZeroSector),
                 std::tuple(1u, 8u, uint64_t{32 + 16 - 2}));
       EXPECT_EQ(s.lastText, "1 项被找到");
       EXPECT_EQ(std::pair(s.state().liveIndex.count(3), s.state().nameIndex.count("A.TXT")), std::pair(1ul, 1ul));
       EXPECT_EQ(s.state().root.name + "," + s.state().orphans.name, "根目录,零散目录");
     }},
    // Everything is listed once; nothing is read twice or past the volume's end.
    {"chains that loop, return to the parent or leave the volume stop",
     [](FatBuilder& b) {
       b.entry(2, 0, "LOOP       ", kDir, 3).dots(3, 0).link(3, 2);  // back to the root
       b.entry(2, 1, "SELF       ", kDir, 4).dots(4, 0).link(4, 4).entry(4, 2, "UP         ", kDir, 4);  // onto itself
       b.entry(2, 2, "FAR        ", kDir, 60000).entry(2, 3, "F       TXT", kFile, 60001, 9);
       b.link(2, 5).dots(5, 0).link(5, 2);  // the root's own chain comes back to itself
     },
     FatMode::kWalk, {"/FAR 3 60000", "/SELF 3 4", "/SELF/UP 3 4", "/LOOP 3 3", "/F.TXT 4 60001"},
     [](const Scanned& s) { EXPECT_EQ(s.steps, 2); }, Options(-1, 32 + 16 + 64)},
    // A name of 40 characters from slot 14 runs on into the root's next
    // cluster; an unpaired surrogate is kept as U+FFFD.
    {"long names across clusters and unpaired surrogates",
     [](FatBuilder& b) {
       b.link(2, 3).endOfChain(3);
       for (uint32_t i = 0; i < 14; ++i) b.entry(2, i, "F" + std::to_string(10 + i) + "     TXT", kFile, 20 + i, 1);
       b.longEntry(2, 14, u"一个很长的文件名 with forty characters.txt", "AVERYL~1TXT", kFile, 40, 1234);
       b.longEntry(3, 8, std::u16string(u"bad") + char16_t(0xD800) + u".txt", "BAD     TXT", kFile, 41, 5);
     },
     FatMode::kWalk, [] {
       Listing l;
       for (int i = 0; i < 14; ++i) l.push_back("/F" + std::to_string(10 + i) + ".TXT 4 " + std::to_string(20 + i));
       l.push_back("/一个很长的文件名 with forty characters.txt 4 40");
       l.push_back("/bad\uFFFD.txt 4 41");
       return l;
     }()},
    // 30 deleted pieces: more than any name has (20), so only those after the cut make the name.
    {"overlong long-name runs are cut",
     [](FatBuilder& b) {
       std::u16string name;
       for (int i = 0; i < 30; ++i) name += u"abcdefghijklm";
       b.link(2, 3).endOfChain(3).longEntry(2, 0, name, "LONG    TXT", kFile, 40, 10, /*deleted=*/true);
     },
     FatMode::kWalk, {"/" + Times("abcdefghijklm", 9) + " 2 40"}},
    {"short names: deleted, empty, OEM, lower-case bits",
     [](FatBuilder& b) {
       b.entry(2, 0, "\xE5" "AB     TXT", kFile, 10, 100);               // deleted: first byte lost
       b.entry(2, 1, "EMPTY   DAT", kFile, 0, 0);                         // no long name, no cluster: left out
       b.longEntry(2, 2, u"empty long.dat", "EMPTYL~1DAT", kFile, 0, 0);  // kept: it has a long name
       b.longEntry(2, 6, u"old photo.jpg", "OLDPHO~1JPG", kFile, 12, 5000, /*deleted=*/true);
       b.entry(2, 10, "\xCA\xFD" "K     TXT", kFile, 13, 7);  // "数" in GBK
       const uint8_t caseBits[] = {0x18, 0x08, 0x10, 0x18};
       for (uint32_t i = 0; i < 4; ++i)
         b.entry(2, 11 + i, "FRAG" + std::to_string(3 + i) + "   DAT", kFile, 14 + i, 1).at(2, 11 + i, 0x0C) = caseBits[i];
       b.at(2, 14) = 0xE5;
     },
     FatMode::kWalk,
     {"/\xC3\xA5" "AB.TXT 2 10", "/empty long.dat 4 0", "/old photo.jpg 2 12", "/数K.TXT 4 13", "/frag3.dat 4 14",
      "/frag4.DAT 4 15", "/FRAG5.dat 4 16", "/\xC3\xA5rag6.dat 2 17"},
     [](const Scanned& s) { EXPECT_EQ(s.state().deletedIndex.count(10), 1u); }},
    {"deleted folder above cluster 65535 found by trying high words",
     [](FatBuilder& b) {
       std::memset(&b.at(5, 0), 0x41, 512);  // cluster 5 (high word 0) holds no folder
       b.longEntry(2, 0, u"deleted folder", "DELETE~1   ", kDir, 5, 0, /*deleted=*/true);  // high word lost
       b.dots(kHigh, 2).entry(kHigh, 2, "\xE5" "NSIDE  TXT", kFile, 30, 3);
       b.entry(kHigh, 3, "UNMARKEDTXT", kFile, 31, 4);  // deleted with its folder: its cluster is free
       b.at(kHigh, 1, 0x10) = 0x21;  // times of a folder found through its long name come from ".."
       b.at(kHigh, 1, 0x11) = 0x30;
     },
     FatMode::kWalk,
     {"/deleted folder 1 65541", "/deleted folder/\xC3\xA5NSIDE.TXT 2 30", "/deleted folder/UNMARKED.TXT 2 31"},
     [](const Scanned& s) {
       EXPECT_EQ(std::pair(s.state().deletedIndex.count(31), s.state().liveIndex.count(31)), std::pair(1ul, 0ul));
       EXPECT_EQ(s.state().root.children.front().createDate, 0x3021);
     },
     {}, Large},
    {"a deleted folder that no cluster reads as is dropped",
     [](FatBuilder& b) { b.longEntry(2, 0, u"gone", "GONE       ", kDir, 7, 0, true); }, FatMode::kWalk, {}, nullptr, {},
     Large},
    {"search finds folders without the root",
     [](FatBuilder& b) {
       b.dots(9, 2).entry(9, 2, "A       TXT", kFile, 20, 5).entry(9, 3, "SUB        ", kDir, 11);
       b.dots(11, 9).entry(11, 2, "B       TXT", kFile, 21, 6).dots(30, 2).entry(30, 2, "C       TXT", kFile, 22, 7);
       b.entry(2, 0, "ROOTFILETXT", kFile, 23, 8);  // the root is not read in this mode
     },
     FatMode::kSearch, {"/9 3 9", "/9/SUB 3 11", "/9/SUB/B.TXT 4 21", "/9/A.TXT 4 20", "/30 3 30", "/30/C.TXT 4 22"},
     [](const Scanned& s) { EXPECT_EQ(s.lastText, "3 项被找到"); }},
    {"search of an empty area", [](FatBuilder&) {}, FatMode::kSearch, {},
     [](const Scanned& s) { EXPECT_EQ(s.lastText, ""); }},
    {"a cancelled search keeps what it found",
     [](FatBuilder& b) {
       b.dots(9, 2).entry(9, 2, "A       TXT", kFile, 20, 5).dots(40, 2).entry(40, 2, "B       TXT", kFile, 21, 5);
     },
     FatMode::kSearch, {"/9 3 9", "/9/A.TXT 4 20"}, nullptr, Options(20)},
    {"geometry rebuilt from the FATs when the boot sector is gone",
     [](FatBuilder& b) {
       b.entry(2, 0, "DIR        ", kDir, 8).dots(8, 2).entry(8, 2, "X       TXT", kFile, 20, 5).endOfChain(8);
       std::memset(b.bytes().data(), 0, 512);
     },
     FatMode::kWalk, {"/DIR 3 8", "/DIR/X.TXT 4 20"},
     [](const Scanned& s) { EXPECT_EQ(std::pair(s.part.fatSizeSectors, s.part.sectorsPerCluster), std::pair(8u, 1u)); }},
    // No sectors per cluster: treated as no boot sector, never divided by.
    {"nonsense boot values are rebuilt",
     [](FatBuilder& b) { b.entry(2, 0, "DIR        ", kDir, 8).dots(8, 2).endOfChain(8).bytes()[0x0D] = 0; },
     FatMode::kWalk, {"/DIR 3 8"}, [](const Scanned& s) { EXPECT_EQ(s.part.sectorsPerCluster, 1u); }},
    {"FAT16 walks its fixed root",
     [](FatBuilder& b) {
       b.entry(0, 0, "ROOT    TXT", kFile, 5, 10).entry(0, 1, "DIR        ", kDir, 3);
       b.dots(3, 0).entry(3, 2, "IN      TXT", kFile, 6, 11).endOfChain(3);
     },
     FatMode::kWalk, {"/DIR 3 3", "/DIR/IN.TXT 4 6", "/ROOT.TXT 4 5"},
     [](const Scanned& s) {
       EXPECT_EQ(std::pair(s.part.clusterZeroSector, s.state().root.firstCluster), std::pair(uint64_t{1 + 8 + 32 - 2}, 0u));
     },
     {}, Fat16},
    {"FAT16 searches from cluster 2", [](FatBuilder& b) { b.dots(3, 0).entry(3, 2, "IN      TXT", kFile, 6, 11); },
     FatMode::kSearch, {"/3 3 3", "/3/IN.TXT 4 6"}, nullptr, {}, Fat16},
    // Clusters a disk scan found steer the reader; one without "." goes to the orphans.
    {"directory sectors from a disk scan",
     [](FatBuilder& b) {
       b.dots(9, 2).entry(9, 2, "A       TXT", kFile, 20, 5).entry(12, 0, "LOOSE   TXT", kFile, 21, 6);
     },
     FatMode::kWalk, {"/9 3 9", "/9/A.TXT 4 20"},
     [](const Scanned& s) { EXPECT_EQ(test::Tree(s.state().orphans), (Listing{"/12 3 12", "/12/LOOSE.TXT 4 21"})); },
     Options(-1, 32 + 16 + 64, {46 + 9, 46 + 12, 5})},  // 5 lies before the data area
};

TEST(FatReader, CraftedVolumes) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    FatBuilder b = c.volume();
    c.build(b);
    const Scanned s = Scan(b, c.volume != Fat16, c.mode, c.options);
    ASSERT_TRUE(s.ok);
    EXPECT_EQ(s.tree(), c.listing);
    if (c.check) c.check(s);
  }
}

TEST(FatReader, NoGeometryAtAllFailsAndAddsNothing) {
  FatBuilder none = Small();
  std::fill(none.bytes().begin(), none.bytes().end(), 0);
  const Scanned s = Scan(none, true, FatMode::kWalk);
  EXPECT_FALSE(s.ok);
  EXPECT_TRUE(s.tree().empty());
  EXPECT_EQ(s.part.sectorsPerCluster, 0u);
}

TEST(FatWalk, UnreadableSectorsComeFromTheOtherFatCopyOrAreNoted) {
  // DIR's chain 3 -> 40 is told by FAT sector 0: sector 32 in the first
  // copy, 40 in the second.
  FatBuilder b = Small();
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
    const Scanned s = Scan(b, true, FatMode::kWalk, Options(-1, 0, {}, c.sectors));
    EXPECT_EQ(s.tree(), c.listing);
    Problems problems;
    for (const auto& p : s.state().readProblems) problems.emplace_back(p.where, p.sector);
    EXPECT_EQ(problems, c.problems);
    EXPECT_EQ(s.state().unreadableFatSectors, c.fatLost);
  }
}

TEST(FatState, CopiesAreDeepAndRescansStartEmpty) {
  FatBuilder b = Small();
  b.entry(2, 0, "DIR        ", 0x10, 3).dots(3, 0).entry(3, 2, "X       TXT", 0x20, 20, 5).endOfChain(3);
  Scanned s = Scan(b, true, FatMode::kWalk);
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
