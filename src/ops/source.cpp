// Source loading and partition lookup shared by the front ends.
#include "ops/source.h"

#include <algorithm>
#include <cctype>

#include "disk/disk_list.h"
#include "disk/scan_result_file.h"

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

LoadedDisk LoadDisk(const std::string& path, const SourceOptions& options) {
  LoadedDisk out;
  out.disk = disk::LoadSource(path, &out.error);
  if (!out.disk) {
    out.status = SourceStatus::kUnreadable;
    return out;
  }
  if (!options.resultFile.empty()) {
    disk::ScanResultLoad loaded = disk::LoadScanResultFile(*out.disk, options.resultFile);
    switch (loaded.status) {
      case disk::ScanResultStatus::kOk:
        out.resultNotes = std::move(loaded.dropped);
        break;
      case disk::ScanResultStatus::kCannotRead:
        out.status = SourceStatus::kResultUnreadable;
        out.error = loaded.message;
        out.disk.reset();
        return out;
      case disk::ScanResultStatus::kOtherDisk:
        out.status = SourceStatus::kResultOtherDisk;
        out.error = loaded.message;
        out.disk.reset();
        return out;
    }
  }
  out.status = SourceStatus::kOk;
  return out;
}

LoadedSource LoadSource(const std::string& path, const std::string& which, const SourceOptions& options) {
  LoadedSource out;
  LoadedDisk loaded = LoadDisk(path, options);
  out.status = loaded.status;
  out.error = std::move(loaded.error);
  out.disk = std::move(loaded.disk);
  out.resultNotes = std::move(loaded.resultNotes);
  if (out.status != SourceStatus::kOk) return out;
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
