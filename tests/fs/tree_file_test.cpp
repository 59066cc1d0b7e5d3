// The saved-tree file on its own: what a FAT state carries through a save and
// a load, and what a cut-short or over-deep file gets.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fs/fat_state.h"
#include "fs/ntfs_state.h"
#include "fs/tree_file.h"

namespace orvaldi::fs {
namespace {

void FillSmallFatState(FatScanState& s) {
  s.root.firstCluster = 2;
  FatNode folder;
  folder.flags = node_kind::kFolder;
  folder.name = "DOCS";
  folder.firstCluster = 5;
  FatNode* docs = InsertChild(s.root, folder);
  docs->parent = &s.root;
  FatNode file;
  file.flags = node_kind::kDeletedFile;
  file.name = "gone.txt";
  file.size = 1234;
  file.firstCluster = 9;
  file.modifyDate = 0x5865;
  FatNode* gone = InsertChild(*docs, file);
  gone->parent = docs;
  gone->flags |= 0x10;  // a tick mark: not saved
  s.liveIndex.emplace(5, docs);
  s.deletedIndex.emplace(9, gone);
  s.deletedIndex.emplace(0, &s.orphans);
  s.nameIndex.add(docs);
  s.nameIndex.add(gone);
  s.fatCopy = {0xF8, 0xFF, 0xFF, 0x0F, 1, 2, 3, 4};
  s.unreadableFatSectors = {3, 7};
  s.readProblems.push_back({"根目录/DOCS", 4242});
}

// `body` (everything between the header and the digest) as a signed file.
std::vector<uint8_t> Signed(std::vector<uint8_t> head, std::span<const uint8_t> body) {
  head.insert(head.end(), body.begin(), body.end());
  const uint32_t crc = TreeFileChecksum(head);
  for (int i = 0; i < 4; ++i) head.push_back(static_cast<uint8_t>(crc >> (8 * i)));
  return head;
}

TEST(TreeFile, FatStateComesBackWhole) {
  FatScanState s;
  FillSmallFatState(s);
  TreeIdentity id;
  id.diskName = "disk.img";
  id.startSector = 2048;
  id.scanMode = 1;
  const std::vector<uint8_t> bytes = FormatTreeFile(id, {8, 4096, 123}, s);
  const TreeFileParse parsed = ParseTreeFile(bytes);
  ASSERT_EQ(parsed.status, TreeFileStatus::kOk) << parsed.message;
  EXPECT_EQ(parsed.identity.diskName, "disk.img");
  EXPECT_EQ(parsed.identity.startSector, 2048u);
  EXPECT_EQ(parsed.geometry.clusterZeroSector, 4096u);
  const auto* t = dynamic_cast<const FatScanState*>(parsed.state.get());
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(t->root.children.size(), 1u);
  const FatNode& docs = t->root.children.front();
  ASSERT_EQ(docs.children.size(), 1u);
  const FatNode& gone = docs.children.front();
  EXPECT_EQ(gone.parent, &docs);
  EXPECT_EQ(docs.parent, &t->root);
  EXPECT_EQ(gone.flags, node_kind::kDeletedFile);
  EXPECT_EQ(gone.size, 1234u);
  EXPECT_EQ(gone.modifyDate, 0x5865);
  // Index entries point into the loaded tree, not at the saved one.
  ASSERT_EQ(t->liveIndex.count(5), 1u);
  EXPECT_EQ(t->liveIndex.find(5)->second, &docs);
  EXPECT_EQ(t->deletedIndex.find(9)->second, &gone);
  EXPECT_EQ(t->deletedIndex.find(0)->second, &t->orphans);
  EXPECT_EQ(t->nameIndex.find("gone.txt"), std::vector<FatNode*>{const_cast<FatNode*>(&gone)});
  EXPECT_EQ(t->fatCopy, s.fatCopy);
  EXPECT_EQ(t->unreadableFatSectors, s.unreadableFatSectors);
  ASSERT_EQ(t->readProblems.size(), 1u);
  EXPECT_EQ(t->readProblems[0].sector, 4242u);
  EXPECT_EQ(FormatTreeFile(parsed.identity, parsed.geometry, *t), bytes);
}

// Past the checksum (re-signed at each length), a file cut anywhere short
// is refused as damaged, never read past its end.
TEST(TreeFile, EveryCutShortFileIsRefused) {
  FatScanState s;
  FillSmallFatState(s);
  const std::vector<uint8_t> bytes = FormatTreeFile({}, {}, s);
  const std::vector<uint8_t> head(bytes.begin(), bytes.begin() + 12);
  const std::span<const uint8_t> body(bytes.data() + 12, bytes.size() - 12 - 4);
  for (size_t n = 0; n < body.size(); ++n) {
    const TreeFileParse parsed = ParseTreeFile(Signed(head, body.first(n)));
    ASSERT_EQ(parsed.status, TreeFileStatus::kCorrupt) << n;
    EXPECT_EQ(parsed.state, nullptr);
  }
  EXPECT_EQ(ParseTreeFile(Signed(head, body)).status, TreeFileStatus::kOk);
  std::vector<uint8_t> longer(body.begin(), body.end());
  longer.push_back(0);
  EXPECT_NE(ParseTreeFile(Signed(head, longer)).message.find("follow the tree"), std::string::npos);
  std::vector<uint8_t> future = head;
  future[8] = 2;
  EXPECT_EQ(ParseTreeFile(Signed(future, body)).status, TreeFileStatus::kVersion);
}

// A chain of folders deeper than any reader makes: refused, so that the
// recursive walks over a loaded tree stay within their stack.
TEST(TreeFile, OverDeepNestingIsRefused) {
  NtfsScanState s;
  NtfsNode* at = &s.root;
  for (int i = 0; i < 3000; ++i) {
    NtfsNode folder;
    folder.flags = node_kind::kFolder;
    folder.recordNumber = 100 + i;
    at = InsertChild(*at, folder);
  }
  const TreeFileParse parsed = ParseTreeFile(FormatTreeFile({}, {}, s));
  EXPECT_EQ(parsed.status, TreeFileStatus::kCorrupt);
  EXPECT_NE(parsed.message.find("nested deeper"), std::string::npos) << parsed.message;
}

}  // namespace
}  // namespace orvaldi::fs
