// The exFAT reader on a volume made by mkfs.exfat and exfat-fuse: listing
// against The Sleuth Kit's fls, contents against the builder's manifest, and
// damaged copies made here by patching bytes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "disk/disk_info.h"
#include "disk/exfat_layout.h"
#include "disk/partition_table.h"
#include "disk/sha256.h"
#include "fs/exfat_reader.h"
#include "fs/node_copy.h"
#include "ops/open_partition.h"
#include "platform/sector_source.h"
#include "raw/free_space.h"
#include "support/test_images.h"

namespace orvaldi::fs {
namespace {

const std::filesystem::path kDir = test::FixturesDir() / "exfat";

struct Scanned {
  disk::DiskInfo disk;
  disk::PartitionInfo part;
  bool ok = false;
  const ExfatScanState* state() const { return FindExfatState(part); }
};

std::unique_ptr<Scanned> Scan(platform::SectorSource& source) {
  auto s = std::make_unique<Scanned>();
  s->part.typeByte = disk::type_code::kExfat;
  s->part.sectorCount = source.size() / 512;
  platform::ProgressBlock progress;
  s->ok = ScanExfatVolume(&source, s->disk, s->part, progress);
  return s;
}

// "path" -> node, below the root.
void Index(const ExfatNode& node, const std::string& prefix, std::map<std::string, const ExfatNode*>& out) {
  for (const ExfatNode& child : node.children) {
    const std::string path = prefix.empty() ? child.name : prefix + "/" + child.name;
    out[path] = &child;
    Index(child, path, out);
  }
}

std::map<std::string, const ExfatNode*> Paths(const Scanned& s) {
  std::map<std::string, const ExfatNode*> out;
  if (s.state()) Index(s.state()->root, "", out);
  return out;
}

std::string Sha(platform::SectorSource& source, const Scanned& s, const ExfatNode* node, NodeCopy* result = nullptr) {
  MemorySink sink;
  const NodeCopy copy = CopyNode(&source, s.part, NodeRef(node), sink);
  if (result) *result = copy;
  return disk::Sha256Hex(sink.bytes);
}

class ExfatImage : public ::testing::Test {
 protected:
  void SetUp() override {
    auto bytes = test::LoadImage(kDir / "exfat-basic.img.gz");
    if (!bytes) GTEST_SKIP() << "fixture missing; run tests/fixtures/make_exfat.sh";
    image_ = std::move(*bytes);
  }
  // The first offset of `name` in UTF-16 (a name entry's characters).
  size_t NameAt(const std::string& ascii) const {
    std::vector<uint8_t> wide;
    for (char c : ascii) wide.insert(wide.end(), {static_cast<uint8_t>(c), 0});
    auto it = std::search(image_.begin(), image_.end(), wide.begin(), wide.end());
    return static_cast<size_t>(it - image_.begin());
  }
  // The file entry of the set whose first name entry holds `ascii`.
  size_t SetAt(const std::string& ascii) const {
    const size_t file = NameAt(ascii) - 2 - 2 * disk::exfat::kEntryBytes;
    EXPECT_EQ(image_[file], disk::exfat::entry_type::kFile);
    return file;
  }
  std::vector<uint8_t> image_;
};

TEST_F(ExfatImage, ListsWhatFlsListsWithTheSameDeletedFlags) {
  platform::MemorySource source(image_);
  auto s = Scan(source);
  ASSERT_TRUE(s->ok);
  EXPECT_TRUE(s->state()->problems.empty());
  std::set<std::string> ours, theirs;
  for (const auto& [path, node] : Paths(*s))
    ours.insert((IsFolderLike(node->flags) ? "d " : "r ") + std::string(IsDeletedKind(node->flags) ? "* " : "") + path);
  std::ifstream fls(kDir / "exfat-basic.fls.txt");
  for (std::string line; std::getline(fls, line);) {
    if (line.rfind("r/r", 0) != 0 && line.rfind("d/d", 0) != 0) continue;
    const std::string path = line.substr(line.find('\t') + 1);
    if (path.rfind("$", 0) == 0 || path.find("(Volume Label Entry)") != std::string::npos) continue;
    theirs.insert(line.substr(0, 1) + (line[4] == '*' ? " * " : " ") + path);
  }
  EXPECT_EQ(theirs.size(), 10033u);
  EXPECT_EQ(ours, theirs);
}

TEST_F(ExfatImage, ContentsMatchTheManifestAndTellDeletedFilesWhoseClustersAreTaken) {
  platform::MemorySource source(image_);
  auto s = Scan(source);
  ASSERT_TRUE(s->ok);
  const auto paths = Paths(*s);
  // The large file was written after every other fill was deleted: its
  // chain jumps the holes, and those deleted fills' clusters are its own now.
  const ExfatNode* big = paths.at("frag/big.bin");
  EXPECT_FALSE(big->contiguous);
  std::ifstream manifest(kDir / "exfat-basic.files.tsv");
  std::string line;
  std::getline(manifest, line);
  size_t checked = 0;
  while (std::getline(manifest, line)) {
    std::istringstream row(line);
    std::string path, state, size, sha;
    std::getline(row, path, '\t');
    std::getline(row, state, '\t');
    std::getline(row, size, '\t');
    std::getline(row, sha, '\t');
    const auto it = paths.find(path);
    if (it == paths.end()) {
      // A deleted fill whose entries the large file's set took over.
      EXPECT_EQ(path, "frag/fill00.bin");
      continue;
    }
    SCOPED_TRACE(path);
    const ExfatNode* node = it->second;
    EXPECT_EQ(std::to_string(node->size), size);
    EXPECT_EQ(IsDeletedKind(node->flags), state == "deleted");
    NodeCopy copy;
    const std::string got = Sha(source, *s, node, &copy);
    if (path.rfind("frag/fill", 0) == 0 && state == "deleted") {
      EXPECT_FALSE(node->intact);
      EXPECT_EQ(copy.status, platform::Status::kPartial);
    } else {
      EXPECT_TRUE(node->intact);
      EXPECT_EQ(copy.status, platform::Status::kOk);
      EXPECT_EQ(got, sha);
    }
    ++checked;
  }
  EXPECT_EQ(checked, 24u);
  EXPECT_EQ(paths.at("many")->children.size(), 10000u);
}

TEST_F(ExfatImage, ADamagedMainBootRegionFallsBackToTheBackupAndBothDamagedIsNoVolume) {
  image_[512 + 7] ^= 0xFF;  // an extended boot sector: the checksum no longer holds
  platform::MemorySource source(image_);
  auto s = Scan(source);
  ASSERT_TRUE(s->ok);
  ASSERT_EQ(s->state()->problems.size(), 1u);
  EXPECT_EQ(s->state()->problems[0].standIn, "the backup boot region");
  EXPECT_EQ(Paths(*s).size(), 10033u);

  image_[12 * 512 + 512 + 7] ^= 0xFF;
  platform::MemorySource both(image_);
  EXPECT_FALSE(Scan(both)->ok);
}

TEST_F(ExfatImage, ABadEntrySetIsSkippedAndCountedAndTheRestListed) {
  image_[NameAt("hello.txt")] ^= 0x01;  // a name character: the set checksum fails
  platform::MemorySource source(image_);
  auto s = Scan(source);
  ASSERT_TRUE(s->ok);
  const auto paths = Paths(*s);
  EXPECT_EQ(paths.count("hello.txt"), 0u);
  EXPECT_EQ(paths.size(), 10032u);
  ASSERT_EQ(s->state()->problems.size(), 1u);
  EXPECT_NE(s->state()->problems[0].where.find("set checksum"), std::string::npos);
  EXPECT_TRUE(s->state()->problems[0].damaged);
}

TEST_F(ExfatImage, AnUnreadableFolderSectorIsNotedAndTheWalkGoesOn) {
  platform::MemorySource clean(image_);
  auto first = Scan(clean);
  const uint64_t folder = first->state()->geometry.clusterSector(Paths(*first).at("中文")->firstCluster);
  platform::FaultySource faulty(clean, {folder});
  auto s = Scan(faulty);
  ASSERT_TRUE(s->ok);
  const auto paths = Paths(*s);
  EXPECT_EQ(paths.count("中文/报告.txt"), 0u);
  EXPECT_EQ(paths.count("日本語/ファイル名.txt"), 1u);
  ASSERT_EQ(s->state()->problems.size(), 1u);
  EXPECT_EQ(s->state()->problems[0].where, "根目录/中文");
  EXPECT_EQ(s->state()->problems[0].sector, folder);
}

TEST_F(ExfatImage, BytesPastTheValidDataLengthReadAsZeros) {
  const size_t set = SetAt("leaf.bin");
  test::Put64(image_, set + 32 + 0x08, 1000);
  const auto sets = std::span<const uint8_t>(image_).subspan(set, 3 * 32);
  test::Put16(image_, set + 2, disk::exfat::EntrySetChecksum(sets, false));
  platform::MemorySource source(image_);
  auto s = Scan(source);
  const ExfatNode* leaf = Paths(*s).at("deep/a/b/c/leaf.bin");
  EXPECT_EQ(leaf->validLength, 1000u);
  MemorySink sink;
  EXPECT_EQ(CopyNode(&source, s->part, NodeRef(leaf), sink).status, platform::Status::kOk);
  ASSERT_EQ(sink.bytes.size(), 20000u);
  EXPECT_NE(sink.bytes[999], 0);
  EXPECT_TRUE(std::all_of(sink.bytes.begin() + 1000, sink.bytes.end(), [](uint8_t b) { return b == 0; }));
}

TEST_F(ExfatImage, AFolderChainThatLoopsEndsTheWalk) {
  // The root folder's FAT entry pointing back at itself.
  platform::MemorySource clean(image_);
  auto first = Scan(clean);
  const ExfatGeometry g = first->state()->geometry;
  test::Put32(image_, g.fatSector * 512 + uint64_t{g.rootCluster} * 4, g.rootCluster);
  platform::MemorySource source(image_);
  auto s = Scan(source);
  ASSERT_TRUE(s->ok);
  EXPECT_FALSE(s->state()->problems.empty());
  EXPECT_EQ(Paths(*s).count("hello.txt"), 1u);
}

TEST_F(ExfatImage, FreeSpaceIsTheClearBitsOfTheAllocationBitmap) {
  platform::MemorySource source(image_);
  test::MemoryTarget out;
  platform::ProgressBlock progress;
  const raw::FreeSpaceResult r =
      raw::ExtractFreeSpace(source, 0, image_.size() / 512, out, raw::FreeSpaceLayout::kCompact, progress);
  ASSERT_EQ(r.status, platform::Status::kOk) << r.message;
  EXPECT_EQ(r.family, disk::FsFamily::kExfat);
  // The clear bits of $ALLOC_BITMAP as icat gives it (README.md).
  EXPECT_EQ(r.freeClusters, 3284u);
  EXPECT_EQ(out.data.size(), 3284u * 4096);
  // The deleted text's clusters are free and hold it still.
  const std::string text(out.data.begin(), out.data.end());
  EXPECT_NE(text.find("deleted line 00000"), std::string::npos);
}

// An extended container carries exFAT's type code; it holds no exFAT volume.
TEST(ExfatRecords, AnExtendedContainerIsNotOpenedAsExfat) {
  std::vector<uint8_t> bytes(64 * 512);
  bytes[510] = 0x55;
  bytes[511] = 0xAA;
  platform::MemorySource source(bytes);
  EXPECT_FALSE(Scan(source)->ok);
}

TEST(ExfatCorpus, OthersImagesListWithoutACrash) {
  const auto dir = test::CorpusDir() / "exfat";
  if (!std::filesystem::is_directory(dir)) GTEST_SKIP() << "no corpus";
  size_t listed = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().extension() != ".gz") continue;
    SCOPED_TRACE(entry.path().filename().string());
    auto bytes = test::LoadImage(entry.path());
    ASSERT_TRUE(bytes);
    platform::MemorySource source(*bytes);
    disk::DiskInfo disk;
    disk::EnumeratePartitions(source, disk, "");
    for (disk::PartitionInfo& part : disk.partitions) {
      if (disk::FamilyOf(part.typeByte) != disk::FsFamily::kExfat) continue;
      platform::ProgressBlock progress;
      if (ScanExfatVolume(&source, disk, part, progress)) {
        std::map<std::string, const ExfatNode*> paths;
        Index(FindExfatState(part)->root, "", paths);
        listed += !paths.empty();
      }
    }
  }
  EXPECT_GT(listed, 0u);
}

}  // namespace
}  // namespace orvaldi::fs
