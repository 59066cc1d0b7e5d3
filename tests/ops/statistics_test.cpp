// The statistics of a selection and their size texts, and tick marks kept
// whole through a tree.
#include <gtest/gtest.h>

#include "ops/statistics.h"
#include "ops/ticks.h"
#include "support/tree_listing.h"

namespace orvaldi::ops {
namespace {

using test::AddNode;

TEST(Statistics, SizeTexts) {
  const struct {
    uint64_t size;
    const char* statistics;
    const char* summary;
  } cases[] = {
      {0, "0B", ""},
      {1, "1.0B", ""},
      {2, "2.0B", "2.0B"},
      {1023, "1023.0B", "1023.0B"},
      {1024, "1.0KB", "1.0KB"},
      {1536, "1.5KB", "1.5KB"},
      {1048575, "1024.0KB", "1024.0KB"},
      {1ull << 40, "1.0TB", "1.0TB"},
      {UINT64_MAX, "16.0EB", "16.0EB"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(StatisticsSizeText(c.size), c.statistics) << c.size;
    EXPECT_EQ(SummarySizeText(c.size), c.summary) << c.size;
  }
  EXPECT_EQ(StatisticsText({1024, 2, 3}), "文件统计： 1.0KB在2个文件夹中包含 3个文件");
  EXPECT_EQ(StatisticsText({}), "文件统计： 0B在0个文件夹中包含 0个文件");
  EXPECT_EQ(FolderSummaryText(1, 4, 5), "总大小  在 4 个文件夹中共有 5 个文件");
}

TEST(Statistics, CountsFoldersAndTheFilesTheFilterLets) {
  fs::FatNode root;
  root.flags = fs::node_kind::kFolder;
  AddNode(root, "a.txt", fs::node_kind::kFile, 100);
  AddNode(root, "b.jpg", fs::node_kind::kDeletedFile, 20);
  fs::FatNode* sub = AddNode(root, "sub", fs::node_kind::kDeletedFolder);
  AddNode(*sub, "c.txt", fs::node_kind::kDeletedFile, 3);
  const fs::NodeRef node(&root);
  const struct {
    StatisticsFilter filter;
    uint64_t size;
    uint32_t files;
  } cases[] = {
      {{}, 123, 3},
      // Without a pattern the switches do not narrow anything.
      {{"", false, false}, 123, 3},
      {{"*.txt", true, true}, 103, 2},
      {{"*.txt", true, false}, 100, 1},
      {{"txt", false, true}, 3, 1},
      {{"zzz", true, true}, 0, 0},
  };
  for (const auto& c : cases) {
    const FileStatistics s = CountFiles(node, c.filter);
    EXPECT_EQ(s.folders, 2u) << c.filter.pattern;
    EXPECT_EQ(s.size, c.size) << c.filter.pattern;
    EXPECT_EQ(s.files, c.files) << c.filter.pattern;
  }
  // A carved file is itself, whatever the filter.
  disk::CarvedNode folder;
  folder.children[10] = disk::CarvedNode{0, 4096, "00000010.jpg", {}};
  const FileStatistics carved = CountFiles(fs::NodeRef::CarvedFile(&folder.children[10], 10), {"zzz", false, false});
  EXPECT_EQ(carved.size, 4096u);
  EXPECT_EQ(carved.files, 1u);
  EXPECT_EQ(carved.folders, 0u);
}

TEST(Ticks, WrittenThroughAndFoldedBackUp) {
  fs::FatNode root;
  root.flags = fs::node_kind::kFolder;
  fs::FatNode* a = AddNode(root, "a", fs::node_kind::kFile);
  fs::FatNode* sub = AddNode(root, "sub", fs::node_kind::kFolder);
  fs::FatNode* c = AddNode(*sub, "c", fs::node_kind::kFile);
  fs::FatNode* d = AddNode(*sub, "d", fs::node_kind::kFile);
  fs::FatNode* empty = AddNode(root, "empty", fs::node_kind::kFolder);
  SetTickBelow(fs::NodeRef(&root), 1);
  for (const fs::FatNode* n : {&root, a, sub, c, d, empty}) EXPECT_EQ(fs::NodeRef(n).tick(), 1) << n->name;
  EXPECT_EQ(fs::KindOf(c->flags), fs::node_kind::kFile);

  fs::NodeRef(d).setTick(0);
  RecomputeTicks(fs::NodeRef(&root));
  EXPECT_EQ(fs::NodeRef(sub).tick(), 2);
  EXPECT_EQ(fs::NodeRef(&root).tick(), 2);
  EXPECT_EQ(fs::NodeRef(empty).tick(), 1);  // no children: keeps its own

  fs::NodeRef(c).setTick(0);
  fs::NodeRef(a).setTick(0);
  fs::NodeRef(empty).setTick(0);
  RecomputeTicks(fs::NodeRef(&root));
  EXPECT_EQ(fs::NodeRef(sub).tick(), 0);
  EXPECT_EQ(fs::NodeRef(&root).tick(), 0);
  EXPECT_FALSE(TickOfChildren(fs::NodeRef(empty)));
}

}  // namespace
}  // namespace orvaldi::ops
