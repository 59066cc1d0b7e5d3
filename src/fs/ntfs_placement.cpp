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

NtfsNode NtfsPlacer::NodeOfName(const DecodedRecord& r, const NtfsFileName& name) {
  NtfsNode n = NodeOf(r);
  n.parentNumber = name.parentNumber();
  n.name = name.name;
  return n;
}

std::vector<NtfsFileName> NtfsPlacer::OtherLinks(const DecodedRecord& r) {
  if (IsFolderLike(r.kind)) return {};
  std::vector<NtfsFileName> links = LinkNames(r);
  if (!links.empty()) links.erase(links.begin());
  return links;
}

NtfsNode* NtfsPlacer::addCompanion(NtfsNode& parent, NtfsNode node) {
  NtfsNode* placed = InsertChild(parent, std::move(node));
  state_.secondaryIndex.emplace(placed->recordNumber, placed);
  state_.nameIndex.add(placed);
  return placed;
}

void NtfsPlacer::addStreams(NtfsNode& parent, const DecodedRecord& r, const NtfsNode& file) {
  for (const NtfsStream& s : r.streams) {
    NtfsNode n;
    // A stream is a file whatever it hangs on; deleted with its record.
    n.flags = IsDeletedKind(file.flags) ? node_kind::kDeletedFile : node_kind::kFile;
    n.recordNumber = file.recordNumber;
    n.parentNumber = file.parentNumber;
    n.size = s.size;
    n.createTime = file.createTime;
    n.modifyTime = file.modifyTime;
    n.accessTime = file.accessTime;
    n.dataIncomplete = s.incomplete;
    n.name = file.name + ":" + s.name;
    n.streamName = s.name;
    addCompanion(parent, std::move(n));
  }
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

NtfsNode* NtfsPlacer::foundParentFor(uint32_t p, bool& numbered) {
  numbered = false;
  if (NtfsNode* known = state_.numberIndex.find(p)) {
    if (!IsFolderLike(known->flags)) return placeholderFor(p);  // the number now belongs to a file
    numbered = true;
    return known;
  }
  if (auto it = state_.secondaryIndex.find(p); it != state_.secondaryIndex.end()) return it->second;
  numbered = true;
  return &state_.root;  // provisionally, until the re-parenting pass
}

void NtfsPlacer::placeFound(const DecodedRecord& r) {
  bool numbered = false;
  NtfsNode* parent = foundParentFor(r.parentNumber(), numbered);
  NtfsNode* placed = numbered ? attach(*parent, NodeOf(r)) : addCompanion(*parent, NodeOf(r));
  addStreams(*parent, r, *placed);
  for (const NtfsFileName& link : OtherLinks(r)) {
    NtfsNode* linkParent = foundParentFor(link.parentNumber(), numbered);
    NtfsNode* named = addCompanion(*linkParent, NodeOfName(r, link));
    addStreams(*linkParent, r, *named);
  }
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
