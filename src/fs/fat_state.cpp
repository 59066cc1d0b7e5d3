// The FAT reader's per-partition state: construction, deep copy, emptying.
#include "fs/fat_state.h"

#include <algorithm>
#include <unordered_map>

namespace orvaldi::fs {
namespace {

void CopyTree(const FatNode& from, FatNode& to, std::unordered_map<const FatNode*, FatNode*>& map) {
  map[&from] = &to;
  to.flags = from.flags;
  to.createTime = from.createTime;
  to.createDate = from.createDate;
  to.modifyTime = from.modifyTime;
  to.modifyDate = from.modifyDate;
  to.size = from.size;
  to.firstCluster = from.firstCluster;
  to.name = from.name;
  // Iterative over siblings, recursive over depth (bounded by the reader's depth limit).
  for (const FatNode& child : from.children) {
    to.children.emplace_back();
    FatNode& copy = to.children.back();
    copy.parent = &to;
    CopyTree(child, copy, map);
  }
}

template <typename Key>
void CopyIndex(const std::multimap<Key, FatNode*>& from, std::multimap<Key, FatNode*>& to,
               const std::unordered_map<const FatNode*, FatNode*>& map) {
  for (const auto& [key, node] : from) {
    auto it = map.find(node);
    if (it != map.end()) to.emplace(key, it->second);
  }
}

}  // namespace

FatScanState::FatScanState() {
  root.name = "根目录";
  root.flags = node_kind::kFolder;
  orphans.name = "零散目录";
  orphans.flags = node_kind::kFolder;
  thirdTop.flags = node_kind::kFolder;
}

std::unique_ptr<disk::ReaderState> FatScanState::clone() const {
  auto copy = std::make_unique<FatScanState>();
  std::unordered_map<const FatNode*, FatNode*> map;
  CopyTree(root, copy->root, map);
  CopyTree(orphans, copy->orphans, map);
  CopyTree(thirdTop, copy->thirdTop, map);
  CopyIndex(liveIndex, copy->liveIndex, map);
  CopyIndex(deletedIndex, copy->deletedIndex, map);
  nameIndex.forEach([&](const FatNode* node) {
    if (auto it = map.find(node); it != map.end()) copy->nameIndex.add(it->second);
  });
  copy->fatCopy = fatCopy;
  copy->unreadableFatSectors = unreadableFatSectors;
  copy->readProblems = readProblems;
  return copy;
}

void FatScanState::clearForRescan() {
  // The name index goes too: its entries would point at the freed nodes.
  nameIndex.clear();
  root.children.clear();
  orphans.children.clear();
  thirdTop.children.clear();
  liveIndex.clear();
  deletedIndex.clear();
  fatCopy.clear();
  fatCopy.shrink_to_fit();
  unreadableFatSectors.clear();
  readProblems.clear();
}

bool FatScanState::entryRead(const disk::FatEntries& entries, uint32_t cluster) const {
  const auto& bad = unreadableFatSectors;
  return bad.empty() || !std::binary_search(bad.begin(), bad.end(), entries.sectorOf(cluster));
}

FatScanState& FatStateOf(disk::PartitionInfo& partition) { return partition.reader.getOrCreate<FatScanState>(); }

const FatScanState* FindFatState(const disk::PartitionInfo& partition) { return partition.reader.get<FatScanState>(); }

void FatScanState::clearResults(disk::PartitionInfo& partition) {
  clearForRescan();
  if (partition.origin == disk::PartitionOrigin::kTable) partition.fatSizeSectors = 0;
}

ScanSummary FatScanState::summary() const {
  ScanSummary out;
  out.tops = {NodeRef(&root), NodeRef(&orphans)};
  if (!thirdTop.children.empty()) out.tops.emplace_back(&thirdTop);
  for (const ReadProblem& problem : readProblems) out.problems.push_back({problem.where, problem.sector, {}, false});
  out.unreadableFatSectors = unreadableFatSectors;
  return out;
}

void EmptyFatResults(disk::PartitionInfo& partition) {
  if (auto* state = partition.reader.get<FatScanState>()) state->clearForRescan();
  if (partition.origin == disk::PartitionOrigin::kTable) partition.fatSizeSectors = 0;
}

}  // namespace orvaldi::fs
