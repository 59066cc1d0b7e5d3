// Partition lookup for the command line.
#include "cli/partition_select.h"

#include <algorithm>
#include <cctype>

namespace orvaldi::cli {

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
  error = "no partition '" + which + "' (" + std::to_string(disk.partitions.size()) +
          " partitions; see 'orvaldi parts')";
  return nullptr;
}

}  // namespace orvaldi::cli
