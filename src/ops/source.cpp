// Source loading and partition lookup shared by the front ends.
#include "ops/source.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "disk/disk_list.h"
#include "disk/ldm.h"
#include "disk/scan_result_file.h"
#include "platform/text.h"

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

std::vector<std::string> SourcePaths(const std::string& source) {
  std::error_code ec;
  if (source.find(',') == std::string::npos || std::filesystem::exists(source, ec)) return {source};
  return platform::SplitNonEmpty(source, ',');
}

namespace {

// Loads every image of the source. Dynamic disks among them put their group
// records in a list of this load's own, so that one command's images never
// join a group another load made; several images are then that group.
bool LoadImages(const std::string& source, uint32_t sectorSize, LoadedDisk& out) {
  const auto paths = SourcePaths(source);
  if (paths.empty()) {
    out.error = "no image named in '" + source + "'";
    return false;
  }
  disk::DiskInfoList groups;
  disk::ldm::GroupListScope scope(groups);
  for (const auto& path : paths) {
    std::string error;
    auto one = disk::LoadSource(path, &error, {}, sectorSize);
    if (!one) {
      out.error = paths.size() > 1 ? path + ": " + error : error;
      return false;
    }
    out.memberDisks.push_back(std::move(*one));
  }
  if (groups.size() > 1) {
    out.error =
        "the images belong to " + std::to_string(groups.size()) + " dynamic disk groups; name one group's disks";
    return false;
  }
  if (paths.size() > 1) {
    if (groups.empty()) {
      out.error = "several images given, but they are not disks of one dynamic disk group";
      return false;
    }
    out.disk = std::move(groups.front());
    return true;
  }
  // One image stays the disk it is, so that whole-disk commands still read
  // it; the volumes of its group follow its own partitions.
  out.disk = std::move(out.memberDisks.front());
  out.memberDisks.clear();
  if (!groups.empty())
    for (auto& volume : groups.front().partitions) out.disk->partitions.push_back(std::move(volume));
  return true;
}

}  // namespace

LoadedDisk LoadDisk(const std::string& path, const SourceOptions& options) {
  LoadedDisk out;
  if (!LoadImages(path, options.sectorSize, out)) {
    out.disk.reset();
    out.memberDisks.clear();
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
