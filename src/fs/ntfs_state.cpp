// The NTFS readers' per-partition state: top nodes, deep copy, emptying.
#include "fs/ntfs_state.h"

#include <unordered_map>

namespace orvaldi::fs {
namespace {

using NodeMap = std::unordered_map<const NtfsNode*, NtfsNode*>;

void CopyTree(const NtfsNode& from, NtfsNode& to, NodeMap& map) {
  map[&from] = &to;
  to.flags = from.flags;
  to.recordNumber = from.recordNumber;
  to.parentNumber = from.parentNumber;
  to.size = from.size;
  to.createTime = from.createTime;
  to.modifyTime = from.modifyTime;
  to.accessTime = from.accessTime;
  to.name = from.name;
  to.streamName = from.streamName;
  to.dataIncomplete = from.dataIncomplete;
  for (const NtfsNode& child : from.children) {
    to.children.emplace_back();
    CopyTree(child, to.children.back(), map);
  }
}

}  // namespace

NtfsScanState::NtfsScanState() {
  root.name = "根目录";
  root.flags = node_kind::kFolder;
  root.recordNumber = 5;
  root.parentNumber = 5;
  orphans.name = "零散目录";
  orphans.flags = node_kind::kFolder;
  orphans.recordNumber = 2;
  orphans.parentNumber = 2;
  extension.name = "扩展目录";
  extension.flags = node_kind::kFolder;
  extension.recordNumber = 1;
  extension.parentNumber = 1;
}

std::unique_ptr<disk::ReaderState> NtfsScanState::clone() const {
  auto copy = std::make_unique<NtfsScanState>();
  NodeMap map;
  CopyTree(root, copy->root, map);
  CopyTree(orphans, copy->orphans, map);
  CopyTree(extension, copy->extension, map);
  numberIndex.forEach([&](uint64_t k, const NtfsNode* node) {
    if (auto it = map.find(node); it != map.end()) copy->numberIndex.emplace(k, it->second);
  });
  for (const auto& [k, node] : secondaryIndex)
    if (auto it = map.find(node); it != map.end()) copy->secondaryIndex.emplace(k, it->second);
  for (const auto& [k, node] : contentIndex)
    if (auto it = map.find(node); it != map.end()) copy->contentIndex.emplace(k, it->second);
  nameIndex.forEach([&](const NtfsNode* node) {
    if (auto it = map.find(node); it != map.end()) copy->nameIndex.add(it->second);
  });
  copy->mftRuns = mftRuns;
  copy->recordPositions = recordPositions;
  copy->duplicatePositions = duplicatePositions;
  copy->mftFirstSector = mftFirstSector;
  copy->recordBytes = recordBytes;
  copy->indexRecordField = indexRecordField;
  copy->carvedDuplicates = carvedDuplicates;
  copy->readProblems = readProblems;
  return copy;
}

ScanSummary NtfsScanState::summary() const {
  ScanSummary out;
  out.tops = {NodeRef(&root), NodeRef(&orphans)};
  if (!extension.children.empty()) out.tops.emplace_back(&extension);
  for (const ReadProblem& problem : readProblems)
    out.problems.push_back({problem.where, problem.sector, problem.standIn, problem.pastEnd});
  out.carvedDuplicates = carvedDuplicates;
  return out;
}

void NtfsScanState::clearForRescan() {
  nameIndex.clear();  // its keys view the names of the nodes about to go
  numberIndex.clear();
  secondaryIndex.clear();
  contentIndex.clear();
  recordPositions.clear();
  duplicatePositions.clear();
  root.children.clear();
  orphans.children.clear();
  extension.children.clear();
  carvedDuplicates.clear();
  readProblems.clear();
}

NtfsScanState& NtfsStateOf(disk::PartitionInfo& partition) { return partition.reader.getOrCreate<NtfsScanState>(); }

const NtfsScanState* FindNtfsState(const disk::PartitionInfo& partition) {
  return partition.reader.get<NtfsScanState>();
}

}  // namespace orvaldi::fs
