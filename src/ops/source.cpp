// Source loading and partition lookup shared by the front ends.
#include "ops/source.h"

#include <algorithm>
#include <cctype>

#include "disk/disk_list.h"

namespace orvaldi::ops {

disk::PartitionInfo* SelectPartition(disk::DiskInfo& disk, const std::string& which, std::string& error) {
  if (!which.empty() && which.size() < 10 &&
      std::all_of(which.begin(), which.end(), [](unsigned char c) { return std::isdigit(c); })) {
    const size_t index = std::stoul(which);
    if (index < disk.partitions.size()) return &disk.partitions[index];
  }
  for (auto& p : disk.partitions)
    if (p.name == which) return &p;
  for (auto& p : disk.partitions)
    if (!p.driveLetter.empty() && p.driveLetter == which) return &p;
  error =
      "no partition '" + which + "' (" + std::to_string(disk.partitions.size()) + " partitions; see 'orvaldi parts')";
  return nullptr;
}

LoadedSource LoadSource(const std::string& path, const std::string& which) {
  LoadedSource out;
  out.disk = disk::LoadSource(path, &out.error);
  if (!out.disk) {
    out.status = SourceStatus::kUnreadable;
    return out;
  }
  const disk::PartitionInfo* part = SelectPartition(*out.disk, which, out.error);
  if (!part) {
    out.status = out.disk->partitions.empty() ? SourceStatus::kNoPartitions : SourceStatus::kNoSuchPartition;
    return out;
  }
  while (&out.disk->partitions[out.partitionIndex] != part) ++out.partitionIndex;
  out.status = SourceStatus::kOk;
  return out;
}

}  // namespace orvaldi::ops
