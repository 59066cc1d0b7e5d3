// The file filter's pattern, its test of a file and the filtered folder walk.
#include "ops/file_filter.h"

#include <utility>

#include "raw/save_target.h"

namespace orvaldi::ops {

std::string StoredFilterPattern(std::string_view typed) {
  std::string out;
  out.reserve(typed.size());
  for (char c : typed) out.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
  const size_t dot = out.find('.');
  if (dot == std::string::npos || dot == 0) std::erase(out, '*');
  return out;
}

bool FileQualifies(const fs::NodeRef& file, const FileFilter& filter) {
  if (!file.isFileLike()) return false;
  if (file.kind() == fs::node_kind::kDeletedFile && !filter.includeDeleted) return false;
  if (file.kind() == fs::node_kind::kFile && !filter.includeExisting) return false;
  return raw::FilterMatches(filter.pattern, file.name());
}

FilteredFolders FilterFolders(const std::vector<fs::NodeRef>& tops, const FileFilter& filter) {
  FilteredFolders out;
  // Depth-first with an explicit stack (a crafted tree can be very deep);
  // `path` holds the folders from the top down to the one being walked.
  std::vector<std::pair<fs::NodeRef, size_t>> stack;
  std::vector<fs::NodeRef> path;
  for (const fs::NodeRef& top : tops) {
    if (!top || !top.isFolderLike()) continue;
    stack.assign(1, {top, 0});
    path.clear();
    while (!stack.empty()) {
      const fs::NodeRef node = stack.back().first;
      const size_t depth = stack.back().second;
      stack.pop_back();
      path.resize(depth);
      if (node.isFolderLike()) {
        path.push_back(node);
        node.forEachChild([&](const fs::NodeRef& child) { stack.emplace_back(child, depth + 1); });
        continue;
      }
      if (!FileQualifies(node, filter)) continue;
      out.totalSize += node.size();
      ++out.files;
      // The folders above were kept from the top down: stop at the first
      // one already kept.
      for (size_t i = path.size(); i-- > 0;)
        if (!out.kept_.insert(FilteredFolders::key(path[i])).second) break;
    }
  }
  return out;
}

}  // namespace orvaldi::ops
