// Counting a selection for "文件大小统计" and the size texts it shows.
#include "ops/statistics.h"

#include <cstdio>
#include <vector>

#include "raw/save_target.h"

namespace orvaldi::ops {
namespace {

bool Counts(const fs::NodeRef& file, const StatisticsFilter& filter) {
  if (filter.pattern.empty()) return true;
  if (file.kind() == fs::node_kind::kDeletedFile && !filter.includeDeleted) return false;
  if (file.kind() == fs::node_kind::kFile && !filter.includeExisting) return false;
  return raw::FilterMatches(filter.pattern, file.name());
}

std::string UnitText(uint64_t size) {
  static const char* const kUnits[] = {"B", "KB", "MB", "GB", "TB", "PB", "EB"};
  double value = static_cast<double>(size);
  size_t unit = 0;
  while (value >= 1024.0 && unit + 1 < std::size(kUnits)) {
    value /= 1024.0;
    ++unit;
  }
  char text[64];
  std::snprintf(text, sizeof text, "%.1f%s", value, kUnits[unit]);
  return text;
}

}  // namespace

FileStatistics CountFiles(const fs::NodeRef& node, const StatisticsFilter& filter) {
  FileStatistics out;
  if (!node) return out;
  if (node.carvedKind() == fs::CarvedKind::kFile) {
    out.size = node.size();
    out.files = 1;
    return out;
  }
  // An explicit stack: a scan tree can be deeper than the thread's stack.
  std::vector<fs::NodeRef> stack{node};
  while (!stack.empty()) {
    const fs::NodeRef n = stack.back();
    stack.pop_back();
    if (n.isFolderLike()) {
      ++out.folders;
    } else if (n.isFileLike() && Counts(n, filter)) {
      out.size += n.size();
      ++out.files;
    }
    n.forEachChild([&](const fs::NodeRef& child) { stack.push_back(child); });
  }
  return out;
}

std::string StatisticsSizeText(uint64_t size) { return size == 0 ? "0B" : UnitText(size); }

std::string SummarySizeText(uint64_t total) { return total <= 1 ? std::string() : UnitText(total); }

std::string StatisticsText(const FileStatistics& statistics) {
  return "文件统计： " + StatisticsSizeText(statistics.size) + "在" + std::to_string(statistics.folders) +
         "个文件夹中包含 " + std::to_string(statistics.files) + "个文件";
}

std::string FolderSummaryText(uint64_t totalSize, uint32_t folders, uint32_t files) {
  return "总大小 " + SummarySizeText(totalSize) + " 在 " + std::to_string(folders) + " 个文件夹中共有 " +
         std::to_string(files) + " 个文件";
}

}  // namespace orvaldi::ops
