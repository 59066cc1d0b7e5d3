// Source loading, partition selection and scanning for the file commands.
#include "cli/partition_scan.h"

#include <cstdio>

#include "cli/console_progress.h"
#include "cli/exit_codes.h"
#include "cli/partition_select.h"
#include "disk/disk_list.h"
#include "fs/fat_reader.h"
#include "fs/fat_state.h"
#include "fs/ntfs_reader.h"
#include "fs/ntfs_search.h"
#include "fs/ntfs_state.h"

namespace orvaldi::cli {
namespace {

int ScanNtfsPartition(ScannedPartition& out, const std::string& mode) {
  disk::PartitionInfo& part = *out.partition;
  if (mode == "search") {
    std::fprintf(stderr, "orvaldi: --mode search is for FAT partitions; use --mode deep on NTFS\n");
    return kExitUsage;
  }
  platform::ProgressBlock progress;
  ConsoleProgress bar(progress);
  progress.window = &bar;
  const bool ok = mode == "deep" ? fs::SearchNtfsPartition(*out.disk, part, progress)
                                 : fs::ScanNtfs(*out.disk, part, progress);
  bar.finish();
  const fs::NtfsScanState* state = fs::FindNtfsState(part);
  if (!ok || !state) {
    std::fprintf(stderr, "orvaldi: no NTFS volume could be read in partition %s\n", part.name.c_str());
    return kExitCorrupt;
  }
  out.ntfs = true;
  out.ntfsTops = {&state->root, &state->orphans};
  if (!state->extension.children.empty()) out.ntfsTops.push_back(&state->extension);
  return kExitOk;
}

// What the scan could not read, one line each, so that a listing that
// lacks something never passes for whole.
void ReportFatReadProblems(const fs::FatScanState& state) {
  for (const auto& problem : state.readProblems)
    std::fprintf(stderr, "orvaldi: %s: sector %llu could not be read; what it held is not listed\n",
                 problem.where.c_str(), static_cast<unsigned long long>(problem.sector));
  const auto& fat = state.unreadableFatSectors;
  if (!fat.empty())
    std::fprintf(stderr,
                 "orvaldi: %zu sector(s) of the FAT could not be read from any copy (the first is FAT sector %u); "
                 "files whose clusters they chain are not intact\n",
                 fat.size(), fat.front());
}

template <typename Node>
void Descend(const Node& node, std::vector<std::string>& parts, size_t depth, std::vector<std::string>& folders,
             std::vector<FoundNode<Node>>& out) {
  if (node.name != parts[depth]) return;
  if (depth + 1 == parts.size()) {
    out.push_back({&node, folders});
    return;
  }
  folders.push_back(node.name);
  for (const Node& child : node.children) Descend(child, parts, depth + 1, folders, out);
  folders.pop_back();
}

template <typename Node>
std::vector<FoundNode<Node>> Find(const std::vector<const Node*>& tops, const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    const size_t slash = path.find('/', start);
    const std::string piece = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (!piece.empty()) parts.push_back(piece);
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  std::vector<FoundNode<Node>> out;
  if (parts.empty()) return out;
  std::vector<std::string> folders;
  for (const Node* top : tops) Descend(*top, parts, 0, folders, out);
  return out;
}

}  // namespace

int ScanPartition(const std::string& source, const std::string& which, const std::string& mode,
                  ScannedPartition& out) {
  std::string error;
  out.disk = disk::LoadSource(source, &error);
  if (!out.disk) {
    std::fprintf(stderr, "orvaldi: %s\n", error.c_str());
    return kExitSource;
  }
  out.partition = SelectPartition(*out.disk, which, error);
  if (!out.partition) {
    std::fprintf(stderr, "orvaldi: %s\n", error.c_str());
    // A source without a single partition holds nothing to work with; a
    // PART that names none of those a source has is the command line's fault.
    return out.disk->partitions.empty() ? kExitCorrupt : kExitUsage;
  }
  disk::PartitionInfo& part = *out.partition;
  if (mode == "deep" && part.typeByte != 0x07 && part.typeByte != 0x0D) {
    std::fprintf(stderr, "orvaldi: --mode deep is for NTFS partitions; use --mode search on FAT\n");
    return kExitUsage;
  }
  bool fat32;
  switch (part.typeByte) {
    case 0x07:
    case 0x0D:
      return ScanNtfsPartition(out, mode);
    case 0x0B:
    case 0x0C:
      fat32 = true;
      break;
    case 0x04:
    case 0x06:
    case 0x0E:
      fat32 = false;
      break;
    default:
      std::fprintf(stderr, "orvaldi: partition %s (type 0x%02X) holds no FAT16, FAT32 or NTFS volume\n",
                   part.name.c_str(), part.typeByte);
      return kExitCorrupt;
  }
  platform::ProgressBlock progress;
  ConsoleProgress bar(progress);
  progress.window = &bar;
  const fs::FatMode fatMode = mode == "search" ? fs::FatMode::kSearch : fs::FatMode::kWalk;
  if (fat32) {
    fs::ScanFat32(*out.disk, part, fatMode, progress);
  } else {
    fs::ScanFat16(*out.disk, part, fatMode, progress);
  }
  bar.finish();
  const fs::FatScanState* state = fs::FindFatState(part);
  if (!state || (state->root.children.empty() && state->orphans.children.empty() && state->root.firstCluster == 0 &&
                 part.sectorsPerCluster == 0)) {
    std::fprintf(stderr, "orvaldi: no FAT volume could be read in partition %s\n", part.name.c_str());
    return kExitCorrupt;
  }
  ReportFatReadProblems(*state);
  out.partial = !state->readProblems.empty();
  out.fatTops = {&state->root, &state->orphans};
  if (!state->thirdTop.children.empty()) out.fatTops.push_back(&state->thirdTop);
  return kExitOk;
}

std::vector<FoundNode<fs::FatNode>> FindByPath(const std::vector<const fs::FatNode*>& tops, const std::string& path) {
  return Find(tops, path);
}

std::vector<FoundNode<fs::NtfsNode>> FindByPath(const std::vector<const fs::NtfsNode*>& tops,
                                                const std::string& path) {
  return Find(tops, path);
}

}  // namespace orvaldi::cli
