// File statistics of a selection ("文件大小统计") and the size texts of the
// statistics and of a window's summary, for every front end.
#pragma once

#include <cstdint>
#include <string>

#include "fs/node_view.h"

namespace orvaldi::ops {

// Which files the statistics count: with a pattern, only files whose kind
// the switches allow and whose name matches it; without one, every file.
struct StatisticsFilter {
  std::string pattern;  // lower-cased; empty: every file counts
  bool includeExisting = true;
  bool includeDeleted = true;
};

struct FileStatistics {
  uint64_t size = 0;
  uint32_t folders = 0;
  uint32_t files = 0;
};

// Counts `node` and everything below it: each folder once, each counted
// file with its size. A carved file counts as itself, unfiltered.
FileStatistics CountFiles(const fs::NodeRef& node, const StatisticsFilter& filter);

// "0B" for 0, else the size in the largest 1024-based unit that leaves it at
// least 1, with one decimal and no space: "1023.0B", "1.0KB", "1.5MB".
std::string StatisticsSizeText(uint64_t size);
// The same, but empty for 0 and 1 byte (the summary shows no size then).
std::string SummarySizeText(uint64_t total);

// "文件统计： " + size + "在" + folders + "个文件夹中包含 " + files + "个文件".
std::string StatisticsText(const FileStatistics& statistics);
// "总大小 " + size + " 在 " + folders + " 个文件夹中共有 " + files + " 个文件".
std::string FolderSummaryText(uint64_t totalSize, uint32_t folders, uint32_t files);

}  // namespace orvaldi::ops
