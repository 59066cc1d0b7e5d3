// The operations layer where the command line does not reach it: one path
// for a deleted and an existing file, and the statuses of opening a partition.
#include <gtest/gtest.h>

#include "disk/disk_list.h"
#include "ops/file_ops.h"
#include "ops/open_partition.h"
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

}  // namespace
}  // namespace orvaldi::ops
