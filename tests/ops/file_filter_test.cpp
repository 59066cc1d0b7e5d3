// The partition window's file filter: the pattern it keeps, the files it
// lets through and the folders its tree shows.
#include "ops/file_filter.h"
#include "support/tree_listing.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace orvaldi::ops {
namespace {

using test::AddNode;

TEST(FileFilter, StoredPatternIsLowerCasedAndLosesItsStarsOnlyWithoutADotInside) {
  const struct {
    const char* typed;
    const char* stored;
  } cases[] = {
      {"", ""},           {"*Report*", "report"},  // no dot: the stars go
      {"*.JPG", "*.jpg"},                          // a dot after the first character: kept as typed
      {".*JPG", ".jpg"},                           // starts with the dot: the stars go
      {"A*.b*", "a*.b*"}, {"年度*报告", "年度报告"}, {"?*", "?"},
  };
  for (const auto& c : cases) EXPECT_EQ(StoredFilterPattern(c.typed), c.stored) << c.typed;
}

TEST(FileFilter, TreeKeepsTheFoldersOnTheWayToAQualifyingFile) {
  using namespace fs::node_kind;
  fs::FatNode root, orphans;
  root.flags = orphans.flags = kFolder;
  fs::FatNode* docs = AddNode(root, "docs", kFolder);
  fs::FatNode* old = AddNode(*docs, "old", kDeletedFolder);
  AddNode(*old, "report.doc", kDeletedFile, 7);
  AddNode(*docs, "notes.txt", kFile, 5);
  fs::FatNode* empty = AddNode(root, "empty", kFolder);
  AddNode(orphans, "photo.JPG", kDeletedFile, 11);
  const fs::NodeRef r(&root), o(&orphans), d(docs), od(old), e(empty);
  const struct {
    FileFilter filter;
    std::vector<fs::NodeRef> shown;
    uint32_t files;
    uint64_t size;
  } cases[] = {
      // An empty pattern passes every name, but a folder with no file below stays out.
      {{"", true, true}, {r, d, od, o}, 3, 23}, {{"*.doc", true, true}, {r, d, od}, 1, 7},
      {{"*.doc", true, false}, {}, 0, 0},  // the only .doc is deleted
      {{"", true, false}, {r, d}, 1, 5},        {{"jpg", false, true}, {o}, 1, 11},
      {{"", false, false}, {}, 0, 0},           {{"zzz", true, true}, {}, 0, 0},
  };
  for (const auto& c : cases) {
    const FilteredFolders f = FilterFolders({r, o}, c.filter);
    for (const fs::NodeRef& folder : {r, o, d, od, e}) {
      const bool expected = std::find(c.shown.begin(), c.shown.end(), folder) != c.shown.end();
      EXPECT_EQ(f.shows(folder), expected) << c.filter.pattern << " " << folder.name();
    }
    EXPECT_EQ(f.folderCount(), c.shown.size()) << c.filter.pattern;
    EXPECT_EQ(f.files, c.files) << c.filter.pattern;
    EXPECT_EQ(f.totalSize, c.size) << c.filter.pattern;
  }
  // Folders never qualify, whatever their names.
  EXPECT_FALSE(FileQualifies(d, {"docs", true, true}));
}

}  // namespace
}  // namespace orvaldi::ops
