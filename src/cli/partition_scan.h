// Loading a source, picking a partition and scanning its tree: what ls,
// recover and cat share.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "disk/disk_info.h"
#include "fs/scan_tree.h"

namespace orvaldi::cli {

struct ScannedPartition {
  std::optional<disk::DiskInfo> disk;
  disk::PartitionInfo* partition = nullptr;
  bool ntfs = false;
  // The top folders in listing order: "根目录", "零散目录", then the third
  // top node or "扩展目录" when they hold anything. Exactly one list is filled.
  std::vector<const fs::FatNode*> fatTops;
  std::vector<const fs::NtfsNode*> ntfsTops;
  // Part of the tree could not be read; a message on stderr said where.
  bool partial = false;
};

// Loads `source`, selects partition `which` and scans it with `mode`
// ("walk", "search" or "deep"), showing a progress bar on a terminal.
// Returns an exit code; on failure a one-line message was printed.
int ScanPartition(const std::string& source, const std::string& which, const std::string& mode,
                  ScannedPartition& out);

// A node named by its path as `ls` prints it ("根目录/docs/a.txt"), with
// the names of the folders above it. Several nodes can share a path (a
// deleted and an existing file of the same name); all are returned, in
// listing order.
template <typename Node>
struct FoundNode {
  const Node* node;
  std::vector<std::string> folders;
};
std::vector<FoundNode<fs::FatNode>> FindByPath(const std::vector<const fs::FatNode*>& tops, const std::string& path);
std::vector<FoundNode<fs::NtfsNode>> FindByPath(const std::vector<const fs::NtfsNode*>& tops,
                                                const std::string& path);

}  // namespace orvaldi::cli
