// The find-file search: its name tests, its switches, the paths it gives
// back, and a large tree searched quickly and stopped on request.
#include <gtest/gtest.h>

#include <tuple>

#include "fs/find_files.h"
#include "support/tree_listing.h"

namespace orvaldi::fs {
namespace {

using test::AddNode;

TEST(FindFiles, GlobEdgeCases) {
  const struct {
    const char* pattern;
    const char* name;
    bool match;
  } cases[] = {
      {"*r*me.t?t", "readme.txt", true},
      {"*r*me.t?t", "rme.tat", true},  // each '*' may stand for nothing
      {"*r*me.t?t", "readme.tt", false},
      {"*r*me.t?t", "readme.txt.bak", false},  // the whole name must match
      {"*jp*", "photo.jpg", true},
      {"*jp*", "jp", true},
      {"*", "", true},
      {"", "", true},
      {"", "a", false},
      {"?", "", false},
      {"?", "文", true},  // one character, three bytes
      {"??", "文", false},
      {"?.txt", "档.txt", true},
      {"???.txt", "档.txt", false},
      {"会?纪要.txt", "会议纪要.txt", true},
      {"*要.txt", "会议纪要.txt", true},
      {"a*b*c", "aXbYbZc", true},
      {"a*b*c", "aXbYbZ", false},
      {"**a**", "ba", true},
      {"*.*", "noext", false},
      {"*.*", "a.b.c", true},
      {"a?c", "abbc", false},
      {"*?", "文", true},
  };
  for (const auto& c : cases) EXPECT_EQ(GlobMatch(c.pattern, c.name), c.match) << c.pattern << " / " << c.name;
}

TEST(FindFiles, ListsAndNameTests) {
  EXPECT_EQ(SplitFindList(" txt; doc;;xls ;  ; \t"), (std::vector<std::string>{"txt", "doc", "xls"}));
  EXPECT_TRUE(SplitFindList(" ; ").empty());
  const struct {
    FindBy by;
    const char* text;
    bool exact;
    const char* name;
    bool match;
  } cases[] = {
      {FindBy::kName, "READ", false, "myreadme.txt", true},
      {FindBy::kName, "readme", true, "README", true},
      {FindBy::kName, "readme", true, "readme.txt", false},
      {FindBy::kName, "", false, "anything", true},
      {FindBy::kName, "纪要", false, "会议纪要.txt", true},
      {FindBy::kExtension, "txt; doc; xls", false, "a.DOC", true},
      {FindBy::kExtension, "txt; doc; xls", false, "a.docx", false},
      {FindBy::kExtension, "txt", false, "archive.txt.gz", false},  // the last dot decides
      {FindBy::kExtension, "gz", false, "archive.txt.gz", true},
      {FindBy::kExtension, "txt", false, "txt", false},  // no dot, no extension
      {FindBy::kExtension, "txt", false, "file.", false},
      {FindBy::kExtension, ".txt", false, "a.txt", true},
      {FindBy::kExtension, " ; txt ;", false, "a.TXT", true},
      {FindBy::kPattern, "*r*me.t?t;*jp*", false, "README.TXT", true},
      {FindBy::kPattern, "*r*me.t?t;*jp*", false, "IMG.JPG", true},
      {FindBy::kPattern, "*r*me.t?t;*jp*", false, "notes.txt", false},
      {FindBy::kPattern, " a.txt ; ", false, "A.txt", true},
  };
  for (const auto& c : cases) {
    FindQuery q;
    q.by = c.by;
    q.text = c.text;
    q.exact = c.exact;
    EXPECT_EQ(NameMatcher(q).matches(c.name), c.match) << c.text << " / " << c.name;
  }
  for (const auto& [by, text, exact] :
       {std::tuple{FindBy::kExtension, " ; ", false}, {FindBy::kPattern, "", false}, {FindBy::kName, "", true}}) {
    FindQuery q;
    q.by = by;
    q.text = text;
    q.exact = exact;
    EXPECT_TRUE(NameMatcher(q).empty()) << text;
  }
}

std::vector<std::string> Paths(const FindResult& r) {
  std::vector<std::string> out;
  for (size_t i = 0; i < r.found.size(); ++i) out.push_back(r.path(i));
  return out;
}

TEST(FindFiles, SwitchesPathsAndChains) {
  FatNode root, orphans;
  root.name = "根目录";
  root.flags = orphans.flags = node_kind::kFolder;
  orphans.name = "零散目录";
  AddNode(root, "a.txt", node_kind::kFile);
  FatNode* docs = AddNode(root, "docs.txt", node_kind::kDeletedFolder);
  AddNode(*docs, "b.TXT", node_kind::kDeletedFile);
  FatNode* deep = AddNode(*docs, "deep", node_kind::kFolder);
  AddNode(*deep, "c.txt", node_kind::kFile);
  AddNode(orphans, "d.txt", node_kind::kDeletedFile);
  const std::vector<NodeRef> tops{NodeRef(&root), NodeRef(&orphans)};
  const struct {
    bool deleted, existing, files, folders;
    std::vector<std::string> paths;
  } cases[] = {
      // Listing order: folders before files, each folder's contents after it.
      {true,
       true,
       true,
       true,
       {"根目录/docs.txt", "根目录/docs.txt/deep/c.txt", "根目录/docs.txt/b.TXT", "根目录/a.txt", "零散目录/d.txt"}},
      {true, false, true, true, {"根目录/docs.txt", "根目录/docs.txt/b.TXT", "零散目录/d.txt"}},
      {false, true, true, false, {"根目录/docs.txt/deep/c.txt", "根目录/a.txt"}},
      {true, true, false, true, {"根目录/docs.txt"}},
      {false, false, true, true, {}},
      {true, true, false, false, {}},
  };
  for (const auto& c : cases) {
    FindQuery q;
    q.by = FindBy::kExtension;
    q.text = "txt";
    q.includeDeleted = c.deleted;
    q.includeExisting = c.existing;
    q.files = c.files;
    q.folders = c.folders;
    platform::ProgressBlock block;
    const FindResult r = FindFiles(tops, q, block);
    EXPECT_EQ(r.status, FindStatus::kOk);
    EXPECT_EQ(Paths(r), c.paths);
  }
  // The tops are where the search starts, never results themselves.
  FindQuery byName;
  byName.text = "目录";
  platform::ProgressBlock block;
  EXPECT_TRUE(FindFiles(tops, byName, block).found.empty());
  byName.text = "C.TXT";
  byName.exact = true;
  const FindResult r = FindFiles(tops, byName, block);
  ASSERT_EQ(r.found.size(), 1u);
  EXPECT_EQ(r.found[0].node, NodeRef(&deep->children.front()));
  EXPECT_EQ(r.folderChain(0), (std::vector<NodeRef>{NodeRef(&root), NodeRef(docs), NodeRef(deep)}));
}

// Counts the stages and positions an engine reports.
class CountingSink final : public platform::ProgressSink {
 public:
  void beginStage(int64_t upper, int64_t) override { upper_ = upper; }
  void step() override {}
  void setPosition(uint64_t position) override { last_ = position; }
  int64_t upper_ = -1;
  uint64_t last_ = 0;
};

TEST(FindFiles, AQuarterMillionNodesAndADeepChainAreWalkedAndStoppedOnRequest) {
  // One folder per thousand files, and a chain of folders deeper than a
  // walk by recursion would like (the tree's own destructor limits it).
  FatNode root;
  root.flags = node_kind::kFolder;
  root.name = "根目录";
  for (int f = 0; f < 250; ++f) {
    FatNode* folder = AddNode(root, ("dir" + std::to_string(f)).c_str(), node_kind::kFolder);
    for (int i = 0; i < 1000; ++i)
      AddNode(*folder, ("file" + std::to_string(i) + (i % 10 == 0 ? ".txt" : ".dat")).c_str(),
              i % 3 ? node_kind::kFile : node_kind::kDeletedFile);
  }
  FatNode* chain = &root;
  for (int d = 0; d < 5000; ++d) chain = AddNode(*chain, "d", node_kind::kFolder);
  AddNode(*chain, "bottom.txt", node_kind::kFile);

  FindQuery q;
  q.by = FindBy::kPattern;
  q.text = "file?0.t?t; bottom*";
  CountingSink sink;
  platform::ProgressBlock block(&sink);
  const FindResult r = FindFiles({NodeRef(&root)}, q, block);
  EXPECT_EQ(r.found.size(), 250u * 9 + 1);  // file10 .. file90 in each folder, and the bottom
  // The chain is the last folder made, so it comes first.
  EXPECT_EQ(r.path(0).size(), std::string("根目录/").size() + 2 * 5000 + 10);
  EXPECT_EQ(sink.upper_, 250 * 1001 + 5001 + 1);
  EXPECT_EQ(sink.last_, r.visited);

  block.requestCancel();
  const FindResult stopped = FindFiles({NodeRef(&root)}, q, block);
  EXPECT_EQ(stopped.status, FindStatus::kCancelled);
  EXPECT_TRUE(stopped.found.empty());
}

}  // namespace
}  // namespace orvaldi::fs
