#include "ops/disk_search.h"

#include <string>
#include <utility>
#include <vector>

namespace orvaldi::ops {

disk::DiskInfo CopyForSearch(disk::DiskInfo& disk) {
  // The scan trees step aside while the records are copied, so that they are
  // not cloned; moving them keeps every node where it is.
  // They go back also when the copy fails for want of memory.
  struct Aside {
    disk::DiskInfo& disk;
    std::vector<disk::ReaderSlot> trees;
    ~Aside() {
      for (size_t i = 0; i < trees.size(); ++i) disk.partitions[i].reader = std::move(trees[i]);
    }
  } aside{disk, {}};
  aside.trees.reserve(disk.partitions.size());
  for (disk::PartitionInfo& p : disk.partitions) aside.trees.push_back(std::move(p.reader));
  return disk;
}

size_t MergeSearchFindings(disk::DiskInfo& disk, disk::DiskInfo&& copy, size_t partitionsBefore) {
  const bool renumber = disk.partitions.size() != partitionsBefore;
  size_t appended = 0;
  for (size_t i = partitionsBefore; i < copy.partitions.size(); ++i, ++appended) {
    disk::PartitionInfo& p = copy.partitions[i];
    if (renumber && p.name.starts_with("Partition")) p.name = "Partition" + std::to_string(disk.partitions.size());
    disk.partitions.push_back(std::move(p));
  }
  // The search started from these sets and may have joined runs, so its
  // sets replace them whole.
  disk.directorySectors = std::move(copy.directorySectors);
  disk.mftRecordRuns = std::move(copy.mftRecordRuns);
  disk.extraFoundFolder.name = copy.extraFoundFolder.name;
  for (auto& [start, node] : copy.extraFoundFolder.children)
    disk.extraFoundFolder.children.try_emplace(start, std::move(node));
  return appended;
}

}  // namespace orvaldi::ops
