// Scan trees as lines of "path kind number", for compact expectations in tests.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "fs/scan_tree.h"

namespace orvaldi::test {

// Appends a FAT node to `parent` in the tree's own order; the node added.
inline fs::FatNode* AddNode(fs::FatNode& parent, const char* name, uint8_t kind, uint32_t size = 0) {
  fs::FatNode n;
  n.name = name;
  n.flags = kind;
  n.size = size;
  return fs::InsertChild(parent, std::move(n));
}

inline uint64_t NumberOf(const fs::FatNode& n) { return n.firstCluster; }
inline uint64_t NumberOf(const fs::NtfsNode& n) { return n.recordNumber; }

// Every node below `node` in tree order: "/a/b kind number" (first cluster on
// FAT, record number on NTFS).
template <typename Node>
void Flatten(const Node& node, const std::string& prefix, std::vector<std::string>& out) {
  for (const auto& child : node.children) {
    const std::string path = prefix + "/" + child.name;
    out.push_back(path + " " + std::to_string(fs::KindOf(child.flags)) + " " + std::to_string(NumberOf(child)));
    Flatten(child, path, out);
  }
}

template <typename Node>
std::vector<std::string> Tree(const Node& top) {
  std::vector<std::string> out;
  Flatten(top, "", out);
  return out;
}

}  // namespace orvaldi::test
