// The operations layer where the command line does not reach it: one path
// for a deleted and an existing file, the statuses of opening a partition,
// and a disk search run on a copy of the disk's records.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "disk/disk_list.h"
#include "disk/partition_table.h"
#include "disk/scan_result_file.h"
#include "fs/scan_state.h"
#include "ops/disk_search.h"
#include "ops/file_ops.h"
#include "ops/open_partition.h"
#include "raw/raw_scan.h"
#include "support/test_images.h"

namespace orvaldi::ops {
namespace {

fs::FatNode Node(const char* name, uint8_t kind, uint32_t cluster) {
  fs::FatNode n;
  n.name = name;
  n.flags = kind;
  n.firstCluster = cluster;
  return n;
}

TEST(ResolvePath, AllNodesOfAPathAndTheExistingFileFirst) {
  fs::FatNode root = Node("根目录", fs::node_kind::kFolder, 2);
  fs::FatNode* docs = fs::InsertChild(root, Node("docs", fs::node_kind::kFolder, 3));
  fs::InsertChild(*docs, Node("a.txt", fs::node_kind::kDeletedFile, 10));
  fs::InsertChild(*docs, Node("a.txt", fs::node_kind::kFile, 11));
  fs::InsertChild(root, Node("gone", fs::node_kind::kDeletedFolder, 4));
  fs::FatNode orphans = Node("零散目录", fs::node_kind::kFolder, 0);
  fs::InsertChild(orphans, Node("a.txt", fs::node_kind::kDeletedFile, 12));
  const std::vector<fs::NodeRef> tops = {fs::NodeRef(&root), fs::NodeRef(&orphans)};

  const auto found = ResolvePath(tops, "根目录//docs/a.txt/");
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].node.id(), 10u);  // listing order: the deleted one came first
  EXPECT_EQ(found[0].folders, (std::vector<std::string>{"根目录", "docs"}));
  EXPECT_EQ(ResolveFile(tops, "根目录/docs/a.txt").id(), 11u);
  EXPECT_EQ(ResolveFile(tops, "零散目录/a.txt").id(), 12u);  // a deleted file when no other is there
  EXPECT_FALSE(ResolveFile(tops, "根目录/gone"));            // a folder is no file
  EXPECT_TRUE(ResolvePath(tops, "").empty());
}

// An NTFS node names the parent it was read with, which for a node placed
// under "零散目录" is not that folder.
TEST(NodeRef, ParentIdAsTheListingShowsIt) {
  fs::NtfsNode orphans;
  orphans.recordNumber = 2;
  fs::NtfsNode child;
  child.recordNumber = 40;
  child.parentNumber = 77;
  EXPECT_EQ(fs::NodeRef(fs::InsertChild(orphans, child)).parentId(fs::NodeRef(&orphans)), 77u);
  EXPECT_EQ(fs::NodeRef(&orphans).parentId(fs::NodeRef()), std::nullopt);
}

// The cursor a list pages with gives the children forEachChild gives, and
// stops where a carved folder's range ends.
TEST(NodeRef, ChildCursorWalksAsForEachChild) {
  disk::CarvedNode carved;
  for (uint64_t sector : {5, 10, 12, 14, 15, 20}) carved.children[sector] = disk::CarvedNode{0, 1, "f", {}};
  fs::FatNode fat;
  fs::InsertChild(fat, Node("a", fs::node_kind::kFile, 3));
  fs::InsertChild(fat, Node("d", fs::node_kind::kFolder, 4));
  for (const fs::NodeRef& parent : {fs::NodeRef::CarvedFolder(&carved, 10, 5), fs::NodeRef(&fat),
                                    fs::NodeRef::CarvedFile(&carved.children[5], 5)}) {
    std::vector<fs::NodeRef> walked, paged;
    parent.forEachChild([&](const fs::NodeRef& child) { walked.push_back(child); });
    for (fs::ChildCursor cursor(parent); !cursor.atEnd();) paged.push_back(cursor.next());
    EXPECT_EQ(paged, walked);
  }
  fs::ChildCursor range(fs::NodeRef::CarvedFolder(&carved, 10, 5));
  EXPECT_EQ(range.next().carvedSector(), 10u);
  EXPECT_EQ(range.next().carvedSector(), 12u);
  EXPECT_EQ(range.next().carvedSector(), 14u);
  EXPECT_TRUE(range.atEnd());
  EXPECT_FALSE(range.next());
}

// A partition of each family over sectors that hold no usable boot sector,
// and the modes each family's reader lacks.
TEST(OpenPartition, StatusSaysWhatCameOfIt) {
  // A boot sector with a cluster size whose data area would begin before the
  // volume: the scan cannot place cluster 2, so there is no volume to list,
  // not an empty one.
  std::vector<uint8_t> dataBeforeVolume = test::Fat32BootSector();
  dataBeforeVolume[0x0D] = 128;
  test::Put16(dataBeforeVolume, 0x0E, 1);  // reserved
  test::Put32(dataBeforeVolume, 0x24, 1);  // FAT size
  const struct {
    uint8_t type;
    ScanMode mode;
    OpenStatus status;
    std::vector<uint8_t> boot;
  } cases[] = {
      {0x0C, ScanMode::kWalk, OpenStatus::kNoVolume, {}},
      {0x06, ScanMode::kSearch, OpenStatus::kNoVolume, {}},
      {0x07, ScanMode::kWalk, OpenStatus::kNoVolume, {}},
      {0x07, ScanMode::kSearch, OpenStatus::kWrongMode, {}},
      {0x0B, ScanMode::kDeep, OpenStatus::kWrongMode, {}},
      {0x83, ScanMode::kWalk, OpenStatus::kNotAFileSystem, {}},
      {0x0C, ScanMode::kWalk, OpenStatus::kNoVolume, dataBeforeVolume},
  };
  test::TempDir dir;
  for (const auto& c : cases) {
    std::vector<uint8_t> bytes(256 * 1024);
    std::copy(c.boot.begin(), c.boot.end(), bytes.begin());
    auto d = disk::DescribeSource(dir.write("part.img", bytes).string());
    ASSERT_TRUE(d);
    d->partitions.clear();
    disk::PartitionInfo& part = d->partitions.emplace_back();
    part.name = "Partition0";
    part.typeByte = c.type;
    part.sectorCount = 512;
    platform::ProgressBlock progress;
    const OpenedPartition opened = OpenPartition(*d, part, c.mode, progress);
    EXPECT_EQ(opened.status, c.status) << int{c.type} << " mode " << int(c.mode) << " boot " << c.boot.size();
    EXPECT_EQ(opened.family, disk::FamilyOf(c.type));
    EXPECT_TRUE(opened.tops.empty());
  }
}

// Every node below the tops, as "depth name" lines in listing order.
std::vector<std::string> Listing(const OpenedPartition& opened) {
  std::vector<std::string> lines;
  std::vector<std::pair<fs::NodeRef, size_t>> stack;
  for (auto top = opened.tops.rbegin(); top != opened.tops.rend(); ++top) stack.emplace_back(*top, 0);
  while (!stack.empty()) {
    const auto [node, depth] = stack.back();
    stack.pop_back();
    lines.push_back(std::to_string(depth) + " " + node.name());
    std::vector<fs::NodeRef> children;
    node.forEachChild([&](const fs::NodeRef& child) { children.push_back(child); });
    for (auto child = children.rbegin(); child != children.rend(); ++child) stack.emplace_back(*child, depth + 1);
  }
  return lines;
}

// A partition scanned again (the windows' reopen and their lost-file scans)
// lists what it listed the first time, not that twice.
TEST(OpenPartition, ScanningAgainListsTheSameTree) {
  const auto bytes = test::LoadImage(test::DemoImageGz());
  ASSERT_TRUE(bytes);
  test::TempDir dir;
  auto disk = disk::LoadSource(dir.write("demo.img", *bytes).string());
  ASSERT_TRUE(disk && disk->partitions.size() == 2);
  platform::ProgressBlock progress;
  for (const auto& [index, mode] : {std::pair{0, ScanMode::kWalk}, std::pair{0, ScanMode::kSearch},
                                    std::pair{1, ScanMode::kWalk}, std::pair{1, ScanMode::kDeep}}) {
    disk::PartitionInfo& part = disk->partitions[static_cast<size_t>(index)];
    const std::vector<std::string> first = Listing(OpenPartition(*disk, part, mode, progress));
    EXPECT_GT(first.size(), 10u);
    EXPECT_EQ(Listing(OpenPartition(*disk, part, mode, progress)), first) << index << " mode " << int(mode);
    // What a rescan starts from: the reader state, cleared, keeps its tops with nothing below them.
    auto* state = part.reader.get<fs::ScanState>();
    ASSERT_TRUE(state) << part.name;
    state->clearResults(part);
    for (const fs::NodeRef& top : state->summary().tops) EXPECT_FALSE(top.hasChildren()) << top.name();
  }
}

std::string SavedResult(const disk::DiskInfo& disk, const std::filesystem::path& path) {
  EXPECT_TRUE(disk::SaveScanResult(disk, path.string()).ok);
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A full-disk scan run on a copy and merged back finds what the same scan
// finds in place, and leaves the carved files already listed where they were
// (views point at them). A partition added while the copy was away keeps its
// name; the found ones are numbered after it.
TEST(DiskSearch, OnACopyMergedBackAsInPlace) {
  const auto bytes = test::LoadImage(test::DemoImageGz());
  ASSERT_TRUE(bytes);
  test::TempDir dir;
  const std::string image = dir.write("demo.img", *bytes).string();
  auto inPlace = disk::LoadSource(image);
  auto merged = disk::LoadSource(image);
  ASSERT_TRUE(inPlace && merged);
  platform::ProgressBlock progress;
  const uint64_t sectors = bytes->size() / 512;
  for (disk::DiskInfo* d : {&*inPlace, &*merged}) {
    d->extraFoundFolder.children[1].name = "seed";
    // A scan tree the copy leaves out; the search must not need it.
    ASSERT_EQ(OpenPartition(*d, d->partitions.front(), ScanMode::kWalk, progress).status, OpenStatus::kOk);
  }
  const disk::CarvedNode* seeded = &merged->extraFoundFolder.children.at(1);

  ASSERT_EQ(raw::RawDiskScan(*inPlace, progress, 0, sectors), 1);
  const size_t before = merged->partitions.size();
  disk::DiskInfo copy = CopyForSearch(*merged);
  ASSERT_EQ(raw::RawDiskScan(copy, progress, 0, sectors), 1);
  const size_t found = copy.partitions.size() - before;
  ASSERT_GT(found, 0u);
  EXPECT_EQ(MergeSearchFindings(*merged, std::move(copy), before), found);
  EXPECT_EQ(&merged->extraFoundFolder.children.at(1), seeded);
  EXPECT_GT(merged->extraFoundFolder.children.size(), 1u);
  EXPECT_NE(merged->partitions.front().reader.get<disk::ReaderState>(), nullptr);
  EXPECT_EQ(SavedResult(*merged, dir.path() / "merged.txt"), SavedResult(*inPlace, dir.path() / "in_place.txt"));

  auto other = disk::LoadSource(image);
  ASSERT_TRUE(other);
  const size_t listed = other->partitions.size();
  copy = CopyForSearch(*other);
  ASSERT_TRUE(disk::CreateRegion(100, 199, *other));
  ASSERT_EQ(raw::RawDiskScan(copy, progress, 0, sectors), 1);
  MergeSearchFindings(*other, std::move(copy), listed);
  std::set<std::string> names;
  for (const disk::PartitionInfo& p : other->partitions) EXPECT_TRUE(names.insert(p.name).second) << p.name;
  EXPECT_EQ(other->partitions[listed].startSector, 100u);
}

}  // namespace
}  // namespace orvaldi::ops
