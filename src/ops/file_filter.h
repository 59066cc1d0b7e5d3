// A partition window's file filter: the pattern as it is kept, which files
// it lets through, and the folders a filtered tree shows.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "fs/node_view.h"

namespace orvaldi::ops {

struct FileFilter {
  std::string pattern;  // as StoredFilterPattern keeps it; empty passes every name
  bool includeExisting = true;
  bool includeDeleted = true;
};

// The typed pattern as the window keeps it: lower-cased as names are when
// they are matched, and without asterisks when it has no dot or starts with
// one (the match skips them there anyway; the save is handed the same text).
std::string StoredFilterPattern(std::string_view typed);

// A file the filtered tree is made for: its kind is allowed (a deleted file
// by includeDeleted, an existing one by includeExisting) and its name
// matches. Folders never qualify themselves.
bool FileQualifies(const fs::NodeRef& file, const FileFilter& filter);

// The folders of a filtered tree: those on the path from a walked top down to
// a qualifying file, and what those files hold.
class FilteredFolders {
 public:
  bool shows(const fs::NodeRef& folder) const { return kept_.count(key(folder)) != 0; }
  size_t folderCount() const { return kept_.size(); }
  uint64_t totalSize = 0;  // of the qualifying files
  uint32_t files = 0;

 private:
  friend FilteredFolders FilterFolders(const std::vector<fs::NodeRef>& tops, const FileFilter& filter);
  static const void* key(const fs::NodeRef& node) {
    return node.family() == fs::NodeFamily::kFat     ? static_cast<const void*>(node.fat())
           : node.family() == fs::NodeFamily::kNtfs  ? static_cast<const void*>(node.ntfs())
           : node.family() == fs::NodeFamily::kExfat ? static_cast<const void*>(node.exfat())
                                                     : nullptr;
  }
  std::unordered_set<const void*> kept_;
};

// Walks `tops` (folders of a FAT or NTFS scan tree) in order. A file's own
// children, which no tree item could show, are not walked.
FilteredFolders FilterFolders(const std::vector<fs::NodeRef>& tops, const FileFilter& filter);

}  // namespace orvaldi::ops
