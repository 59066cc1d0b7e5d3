// Scan trees as lines of "path kind number", for compact expectations in tests.
#pragma once

#include <string>
#include <vector>

#include "fs/scan_tree.h"

namespace orvaldi::test {

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
