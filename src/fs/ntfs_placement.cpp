// Placement of NTFS records, and the re-parenting pass of the sector searches.
#include "fs/ntfs_placement.h"

#include <string>
#include <vector>

namespace orvaldi::fs {

NtfsNode NtfsPlacer::NodeOf(const DecodedRecord& r) {
  NtfsNode n;
  n.flags = r.kind;
  n.recordNumber = r.number & 0xFFFFFFFFu;  // the upper half is always written as 0
  n.parentNumber = r.parentNumber();
  n.size = r.size;
  n.createTime = r.siCreate;
  n.modifyTime = r.siModify;
  n.accessTime = r.siAccess;
  n.name = r.name;
  n.dataIncomplete = r.dataIncomplete;
  return n;
}

NtfsNode* NtfsPlacer::attach(NtfsNode& parent, NtfsNode node) {
  NtfsNode* placed = InsertChild(parent, std::move(node));
  if (!state_.numberIndex.emplace(placed->recordNumber, placed))
    state_.secondaryIndex.emplace(placed->recordNumber, placed);
  state_.nameIndex.add(placed);
  return placed;
}

NtfsNode* NtfsPlacer::placeholderFor(uint32_t missing) {
  const std::string name = "$$$Folder" + std::to_string(missing);
  auto range = state_.secondaryIndex.equal_range(missing);
  for (auto it = range.first; it != range.second; ++it)
    if (it->second->name == name) return it->second;
  NtfsNode holder;
  holder.flags = node_kind::kDeletedFolder;
  holder.recordNumber = missing;
  holder.parentNumber = 2;
  holder.name = name;
  state_.orphans.children.push_back(std::move(holder));
  NtfsNode* placed = &state_.orphans.children.back();
  state_.secondaryIndex.emplace(missing, placed);
  state_.nameIndex.add(placed);
  return placed;
}

NtfsNode* NtfsPlacer::intoPlaceholder(uint32_t missing, NtfsNode node) {
  NtfsNode* placed = InsertChild(*placeholderFor(missing), std::move(node));
  state_.secondaryIndex.emplace(placed->recordNumber, placed);
  state_.nameIndex.add(placed);
  return placed;
}

void NtfsPlacer::placeFound(const DecodedRecord& r) {
  const uint32_t p = r.parentNumber();
  if (NtfsNode* known = state_.numberIndex.find(p)) {
    if (IsFolderLike(known->flags)) {
      attach(*known, NodeOf(r));
    } else {
      intoPlaceholder(p, NodeOf(r));  // the number now belongs to a file
    }
    return;
  }
  if (auto it = state_.secondaryIndex.find(p); it != state_.secondaryIndex.end()) {
    NtfsNode* placed = InsertChild(*it->second, NodeOf(r));
    state_.secondaryIndex.emplace(placed->recordNumber, placed);
    state_.nameIndex.add(placed);
    return;
  }
  attach(state_.root, NodeOf(r));  // provisionally, until the re-parenting pass
}

bool NtfsPlacer::isWithin(const NtfsNode& tree, const NtfsNode* node) const {
  std::vector<const NtfsNode*> stack{&tree};
  while (!stack.empty()) {
    const NtfsNode* n = stack.back();
    stack.pop_back();
    if (n == node) return true;
    for (const auto& child : n->children) stack.push_back(&child);
  }
  return false;
}

void NtfsPlacer::reparent() {
  auto& rootChildren = state_.root.children;
  for (auto it = rootChildren.begin(); it != rootChildren.end();) {
    auto current = it++;
    NtfsNode& child = *current;
    if (child.parentNumber == 5) continue;
    NtfsNode* target = nullptr;
    if (NtfsNode* found = state_.numberIndex.find(child.parentNumber);
        found && IsFolderLike(found->flags) && !isWithin(child, found)) {
      target = found;
    }
    if (!target) target = placeholderFor(child.parentNumber);
    // Splicing moves the list element itself: the node keeps its address, so
    // every index entry of it and of everything below it stays right.
    if (IsFolderLike(child.flags)) {
      target->children.splice(target->children.begin(), rootChildren, current);
    } else {
      target->children.splice(target->children.end(), rootChildren, current);
    }
  }
}

}  // namespace orvaldi::fs
