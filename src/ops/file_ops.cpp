// Path lookup over the common node view, single-file copies and save-job assembly.
#include "ops/file_ops.h"

#include <memory>

#include "disk/sector_io.h"
#include "disk/volume_source.h"
#include "platform/text.h"

namespace orvaldi::ops {
namespace {

void Descend(const fs::NodeRef& node, const std::vector<std::string>& pieces, size_t depth,
             std::vector<std::string>& folders, std::vector<ResolvedNode>& out) {
  if (node.name() != pieces[depth]) return;
  if (depth + 1 == pieces.size()) {
    out.push_back({node, folders});
    return;
  }
  folders.push_back(node.name());
  node.forEachChild([&](const fs::NodeRef& child) { Descend(child, pieces, depth + 1, folders, out); });
  folders.pop_back();
}

}  // namespace

std::vector<ResolvedNode> ResolvePath(const std::vector<fs::NodeRef>& tops, const std::string& path) {
  const std::vector<std::string> pieces = platform::SplitNonEmpty(path, '/');
  std::vector<ResolvedNode> out;
  if (pieces.empty()) return out;
  std::vector<std::string> folders;
  for (const fs::NodeRef& top : tops) Descend(top, pieces, 0, folders, out);
  return out;
}

fs::NodeRef ResolveFile(const std::vector<fs::NodeRef>& tops, const std::string& path) {
  fs::NodeRef pick;
  for (const ResolvedNode& found : ResolvePath(tops, path)) {
    if (!found.node.isFileLike()) continue;
    if (found.node.kind() == fs::node_kind::kFile) return found.node;
    if (!pick) pick = found.node;
  }
  return pick;
}

FileCopy CopyFile(const disk::DiskInfo& disk, const disk::PartitionInfo& partition, const fs::NodeRef& node,
                  fs::DataSink& sink, const fs::PieceFn& piece) {
  FileCopy out;
  const disk::OpenedVolume source = disk::OpenVolumeSource(disk, partition);
  if (!source.source) {
    out.sourceError = source.outcome.message;
    out.result.status = platform::Status::kFailed;
    return out;
  }
  out.result = raw::CopyFileData(source.source.get(), partition, node, sink, piece);
  return out;
}

SaveJobPlan BuildSaveJobs(disk::DiskInfo& disk, disk::PartitionInfo& partition, const std::vector<fs::NodeRef>& tops,
                          const std::vector<std::string>& paths) {
  SaveJobPlan plan;
  if (paths.empty()) {
    raw::SaveJob job{&disk, &partition, {}};
    for (const fs::NodeRef& top : tops) job.items.push_back({top, {}});
    plan.jobs.push_back(std::move(job));
    return plan;
  }
  for (const std::string& path : paths) {
    std::vector<ResolvedNode> found = ResolvePath(tops, path);
    if (found.empty()) {
      plan.jobs.clear();
      plan.unresolvedPath = path;
      return plan;
    }
    raw::SaveJob job{&disk, &partition, {}};
    for (ResolvedNode& f : found) job.items.push_back({f.node, std::move(f.folders)});
    plan.jobs.push_back(std::move(job));
  }
  return plan;
}

raw::SaveSummary RunSaveJobs(const std::vector<raw::SaveJob>& jobs, const raw::SaveSettings& settings,
                             unsigned workers) {
  return jobs.size() == 1 ? raw::SaveSelected(jobs.front(), settings) : raw::SaveChecked(jobs, settings, workers);
}

}  // namespace orvaldi::ops
