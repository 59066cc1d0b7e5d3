// Finding nodes by the paths the listing prints, copying one file's data,
// and turning picked paths into save jobs.
#pragma once

#include <string>
#include <vector>

#include "disk/disk_info.h"
#include "fs/node_view.h"
#include "raw/save_engine.h"

namespace orvaldi::ops {

// A node named by its path, with the names of the folders above it.
struct ResolvedNode {
  fs::NodeRef node;
  std::vector<std::string> folders;
};

// The nodes at `path` as the listing prints it ("根目录/docs/a.txt"),
// searched from `tops`. Several nodes can share a path (a deleted and an
// existing file of one name); all are returned, in listing order. Empty
// pieces of the path (doubled or trailing slashes) are ignored.
std::vector<ResolvedNode> ResolvePath(const std::vector<fs::NodeRef>& tops, const std::string& path);

// The file at `path`: the existing one when a deleted one shares its path,
// else the first deleted one; an empty NodeRef when no file is there.
fs::NodeRef ResolveFile(const std::vector<fs::NodeRef>& tops, const std::string& path);

struct FileCopy {
  std::string sourceError;  // non-empty: the source could not be opened, nothing was read
  fs::NodeCopy result;
};

// Copies `node`'s data to `sink`, opening the source of `disk` for it (a
// dynamic volume reads through its own mapping).
FileCopy CopyFile(const disk::DiskInfo& disk, const disk::PartitionInfo& partition, const fs::NodeRef& node,
                  fs::DataSink& sink, const fs::PieceFn& piece = {});

struct SaveJobPlan {
  std::vector<raw::SaveJob> jobs;
  std::string unresolvedPath;  // non-empty: this path named nothing, and there are no jobs
};

// One job for the whole partition (its tops) when `paths` is empty, else one
// job per path holding every node at that path.
SaveJobPlan BuildSaveJobs(disk::DiskInfo& disk, disk::PartitionInfo& partition, const std::vector<fs::NodeRef>& tops,
                          const std::vector<std::string>& paths);

// A single job runs as the save of the selected item, several as the save of
// the checked items on up to `workers` threads.
raw::SaveSummary RunSaveJobs(const std::vector<raw::SaveJob>& jobs, const raw::SaveSettings& settings,
                             unsigned workers);

}  // namespace orvaldi::ops
