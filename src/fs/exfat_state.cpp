// The exFAT reader's per-partition state: deep copy, emptying, the bitmap and FAT lookups.
#include "fs/exfat_state.h"

namespace orvaldi::fs {
namespace {

void CopyTree(const ExfatNode& from, ExfatNode& to) {
  to.flags = from.flags;
  to.attributes = from.attributes;
  to.size = from.size;
  to.validLength = from.validLength;
  to.firstCluster = from.firstCluster;
  to.contiguous = from.contiguous;
  to.intact = from.intact;
  to.created = from.created;
  to.modified = from.modified;
  to.accessed = from.accessed;
  to.name = from.name;
  for (const ExfatNode& child : from.children) {
    to.children.emplace_back();
    to.children.back().parent = &to;
    CopyTree(child, to.children.back());
  }
}

}  // namespace

ExfatScanState::ExfatScanState() {
  root.name = "根目录";
  root.flags = node_kind::kFolder;
}

std::unique_ptr<disk::ReaderState> ExfatScanState::clone() const {
  auto copy = std::make_unique<ExfatScanState>();
  CopyTree(root, copy->root);
  copy->geometry = geometry;
  copy->fat = fat;
  copy->fatKnown = fatKnown;
  copy->bitmap = bitmap;
  copy->bitmapRead = bitmapRead;
  copy->problems = problems;
  return copy;
}

void ExfatScanState::clearResults(disk::PartitionInfo&) {
  root.children.clear();
  fat.clear();
  fatKnown.clear();
  bitmap.clear();
  bitmapRead = false;
  problems.clear();
}

ScanSummary ExfatScanState::summary() const {
  ScanSummary out;
  out.tops = {NodeRef(&root)};
  out.problems = problems;
  return out;
}

bool ExfatScanState::inUse(uint32_t cluster) const {
  if (!bitmapRead || !geometry.isCluster(cluster)) return true;
  const uint64_t bit = cluster - 2;
  return (bitmap[bit / 8] >> (bit % 8)) & 1;
}

std::optional<uint32_t> ExfatScanState::next(uint32_t cluster) const {
  if (cluster >= fat.size() || !fatKnown[cluster]) return std::nullopt;
  return fat[cluster];
}

const ExfatScanState* FindExfatState(const disk::PartitionInfo& partition) {
  return partition.reader.get<ExfatScanState>();
}

}  // namespace orvaldi::fs
