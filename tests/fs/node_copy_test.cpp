// The one copy call over every kind of node, on the fixture volumes, and the
// tick marks each family keeps in its own bits.
#include "fs/node_copy.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>

#include "disk/sector_io.h"
#include "disk/sha256.h"
#include "fs/fat_reader.h"
#include "fs/fat_state.h"
#include "platform/sector_source.h"
#include "support/ntfs_builder.h"
#include "support/test_images.h"

namespace orvaldi::fs {
namespace {

using platform::Status;

// path -> sha256 of its content, from a fixture's files.tsv.
std::map<std::string, std::string> Digests(const std::string& tsv) {
  std::map<std::string, std::string> out;
  std::ifstream in(test::FixturesDir() / tsv);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string path, size, sha;
    std::getline(fields, path, '\t');
    std::getline(fields, size, '\t');
    std::getline(fields, sha, '\t');
    out[path] = sha;
  }
  return out;
}

template <typename Node>
const Node* Find(const Node& folder, const std::string& path) {
  const size_t slash = path.find('/');
  const std::string first = path.substr(0, slash);
  for (const Node& child : folder.children) {
    if (child.name != first) continue;
    if (slash == std::string::npos) return &child;
    if (const Node* found = Find(child, path.substr(slash + 1))) return found;
  }
  return nullptr;
}

struct FatImage {
  platform::MemorySource src;
  disk::DiskInfo disk;
  disk::PartitionInfo part;
  bool ok = false;
  explicit FatImage(std::vector<uint8_t> image) : src(std::move(image)) {
    part.sectorCount = src.size() / disk::SectorSize;
    part.typeByte = disk::type_code::kFat32Lba;
    platform::ProgressBlock progress;
    ok = ScanFatVolume(&src, disk, part, true, FatMode::kWalk, progress);
  }
  NodeRef node(const std::string& path) const { return NodeRef(Find(FindFatState(part)->root, path)); }
  // A deleted file by its first cluster (its short name lost its first letter).
  NodeRef deleted(uint32_t cluster) const {
    const auto& index = FindFatState(part)->deletedIndex;
    auto it = index.find(cluster);
    return it == index.end() ? NodeRef() : NodeRef(it->second);
  }
  uint64_t sectorOf(const std::string& path) const { return FatClusterSector(part, node(path).fat()->firstCluster); }
};

TEST(CopyNode, EveryKindOfNodeThroughOneCall) {
  auto fatBytes = test::LoadImage(test::FixturesDir() / "fat/fat32-tree.img.gz");
  auto ntfsBytes = test::LoadImage(test::FixturesDir() / "ntfs/ntfs-tree.img.gz");
  ASSERT_TRUE(fatBytes && ntfsBytes);
  FatImage fat(*fatBytes);
  test::ScannedNtfs ntfs(*ntfsBytes);
  ASSERT_TRUE(fat.ok && ntfs.ok);
  const auto fatSha = Digests("fat/fat32-tree.files.tsv");
  const auto ntfsSha = Digests("ntfs/ntfs-tree.files.tsv");

  const std::string letter = "Documents/Letter to Bank.txt";                                // 1,500 bytes
  const std::string notes = "Documents/Work/Projects 2024/Alpha Release/Design Notes.txt";  // 20,480 bytes
  // A file found by content and a carved file, both over the letter's sectors.
  NtfsNode content;
  content.flags = node_kind::kFile;
  content.parentNumber = 1;
  content.recordNumber = fat.sectorOf(letter);
  content.size = 1500;
  disk::CarvedNode carved{0, 1500, "00000001.txt", {}, true};
  disk::CarvedNode broken{0, 1500, "00000002.txt", {}, false};

  struct Case {
    const char* name;
    bool onNtfs;
    NodeRef node;
    std::string sha;  // of the bytes that reach the sink
    uint64_t limit = UINT64_MAX;
    std::optional<uint64_t> badSector;
    Status status = Status::kOk;
    uint64_t written = 0;
  };
  const Case cases[] = {
      {"FAT existing, through its chain", false, fat.node(notes), fatSha.at(notes), UINT64_MAX, {}, Status::kOk, 20480},
      {"FAT deleted, free clusters",
       false,
       fat.deleted(2516),
       fatSha.at("Documents/Work/OLDDATA.CSV"),
       UINT64_MAX,
       {},
       Status::kOk,
       2500},
      {"NTFS resident",
       true,
       NodeRef(Find(ntfs.state().root, std::string("Documents/Letters/letter 01.txt"))),
       ntfsSha.at("Documents/Letters/letter 01.txt"),
       UINT64_MAX,
       {},
       Status::kOk,
       97},
      {"NTFS non-resident, compressed",
       true,
       NodeRef(Find(ntfs.state().root, std::string("Compressed/report.txt"))),
       ntfsSha.at("Compressed/report.txt"),
       UINT64_MAX,
       {},
       Status::kOk,
       163840},
      {"found by content", false, NodeRef(&content), fatSha.at(letter), UINT64_MAX, {}, Status::kOk, 1500},
      {"carved",
       false,
       NodeRef::CarvedFile(&carved, fat.sectorOf(letter)),
       fatSha.at(letter),
       UINT64_MAX,
       {},
       Status::kOk,
       1500},
      {"carved, broken off",
       false,
       NodeRef::CarvedFile(&broken, fat.sectorOf(letter)),
       fatSha.at(letter),
       UINT64_MAX,
       {},
       Status::kPartial,
       1500},
      {"leading bytes", false, fat.node(letter), "", 100, {}, Status::kOk, 100},
      {"an unreadable sector", false, fat.node(notes), "", UINT64_MAX, fat.sectorOf(notes) + 3, Status::kPartial,
       20480},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(c.node);
    platform::MemorySource& inner = c.onNtfs ? ntfs.src : fat.src;
    std::set<uint64_t> bad;
    if (c.badSector) bad.insert(*c.badSector);
    platform::FaultySource source(inner, bad);
    MemorySink sink;
    CopyRequest request;
    request.limit = c.limit;
    const NodeCopy copy = CopyNode(&source, c.onNtfs ? ntfs.part : fat.part, c.node, sink, request);
    EXPECT_EQ(copy.status, c.status) << copy.message;
    EXPECT_EQ(copy.written, c.written);
    EXPECT_EQ(sink.bytes.size(), c.written);
    if (!c.sha.empty()) {
      EXPECT_EQ(disk::Sha256Hex(sink.bytes), c.sha);
    }
    if (c.badSector) {
      EXPECT_TRUE(copy.readErrors);
      EXPECT_EQ(copy.unreadSectors, std::vector<uint64_t>{*c.badSector});
      EXPECT_NE(copy.message.find(std::to_string(*c.badSector)), std::string::npos) << copy.message;
      // Only what came before the piece that failed counts as read.
      EXPECT_LE(copy.readFromDisk, 3 * 512u);
    } else {
      EXPECT_EQ(copy.readFromDisk, copy.written);
    }
  }

  // The leading bytes are the whole copy's first bytes.
  MemorySink whole, lead;
  CopyNode(&fat.src, fat.part, fat.node(letter), whole);
  CopyRequest first100;
  first100.limit = 100;
  CopyNode(&fat.src, fat.part, fat.node(letter), lead, first100);
  EXPECT_EQ(lead.bytes, std::vector<uint8_t>(whole.bytes.begin(), whole.bytes.begin() + 100));
  EXPECT_TRUE(NodeRef(&content).foundByContent());
  EXPECT_FALSE(fat.node(letter).foundByContent());
}

// A view shows only what is known to be a file's: of a deleted FAT file its
// first cluster, whose chain is gone.
TEST(CopyNode, KnownOnlyStopsADeletedFileAtItsFirstCluster) {
  auto bytes = test::LoadImage(test::FixturesDir() / "fat/fat32-tree.img.gz");
  ASSERT_TRUE(bytes);
  FatImage fat(*bytes);
  ASSERT_TRUE(fat.ok);
  const NodeRef deleted = fat.node("Documents/Work/Old Draft (v2).txt");  // 5,000 bytes
  ASSERT_TRUE(deleted);
  CopyRequest request;
  request.fatClusters = FatClusters::kKnownOnly;
  MemorySink sink;
  const NodeCopy copy = CopyNode(&fat.src, fat.part, deleted, sink, request);
  EXPECT_EQ(sink.bytes.size(), std::min<uint64_t>(5000, FatClusterBytes(fat.part)));
}

TEST(NodeTick, RoundTripsInEachFamilysBits) {
  FatNode fat;
  fat.flags = node_kind::kDeletedFile;
  NtfsNode ntfs;
  ntfs.flags = node_kind::kFile;
  disk::CarvedNode carved;
  struct Case {
    const char* name;
    NodeRef node;
    const uint8_t* bits;
    uint8_t ticked;  // the stored byte with tick 2
  };
  const Case cases[] = {
      {"FAT: bits 4 and 5", NodeRef(&fat), &fat.flags, 0x22},
      {"NTFS: the upper nibble", NodeRef(&ntfs), &ntfs.flags, 0x24},
      {"carved: the low kind bits", NodeRef::CarvedFile(&carved, 7), &carved.kindBits, 0x02},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const uint8_t kind = c.node.kind();
    for (const uint8_t mode : {uint8_t{1}, uint8_t{2}, uint8_t{0}}) {
      c.node.setTick(mode);
      EXPECT_EQ(c.node.tick(), mode);
      EXPECT_EQ(c.node.kind(), kind);
    }
    c.node.setTick(2);
    EXPECT_EQ(*c.bits, c.ticked);
    c.node.setTick(0);
  }
  // Stray upper bits an NTFS writer left are the tick; FAT's bits 6 and 7 are not.
  fat.flags = 0xC2;
  ntfs.flags = 0x14;
  EXPECT_EQ(NodeRef(&fat).tick(), 0);
  EXPECT_EQ(NodeRef(&ntfs).tick(), 1);
}

}  // namespace
}  // namespace orvaldi::fs
