// Finding NTFS records by sector: formatted or damaged volumes, and the runs a disk scan noted.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "disk/disk_info.h"
#include "platform/progress.h"
#include "platform/sector_source.h"

namespace orvaldi::fs {

// Where a search of every sector stands, in a form it can be rebuilt from:
// the sectors examined before `next` that held something (a record slot, a
// compound document, a JPEG picture) are read and decoded again in order, the
// unreadable sectors are noted again in the order they were met, and the
// search goes on at `next`. Placing and re-parenting run at the end, over all.
struct DeepSearchState {
  uint64_t next = 0;  // absolute sector the search goes on from
  bool complete = false;
  std::vector<std::pair<uint64_t, uint64_t>> unread;  // first sector, count; in the order noted
  enum : char { kRecord = 'r', kDocument = 'd', kJpeg = 'j' };
  std::vector<std::pair<uint64_t, char>> finds;  // sector, kind; in sector order
};

struct DeepSearchCheckpoints {
  const DeepSearchState* resume = nullptr;  // where to go on from; null: the start
  // Called on the search's thread between blocks every `interval`, when the
  // search is stopped and at its end. Null: none.
  std::function<void(const DeepSearchState&)> save;
  std::chrono::milliseconds interval{5000};
  uint64_t stopAt = UINT64_MAX;  // tests: stop as if cancelled on reaching this sector
};

// Examines every sector of the partition: valid file records are decoded and
// placed, re-parented at the end; compound documents and JPEG pictures in
// the other sectors are listed under "扩展目录". Reads `source`, the one
// disk::OpenVolumeSource gave for the partition.
// With `checkpoints`, the search can be saved as it goes and taken up again.
bool SearchNtfsVolume(platform::SectorSource* source, disk::DiskInfo& disk, disk::PartitionInfo& partition,
                      platform::ProgressBlock& progress, const DeepSearchCheckpoints* checkpoints = nullptr);

// Examines every second sector of the disk's MFT record runs that start
// inside the partition. Carved files that start where a found record's data
// starts are dropped from the disk's "Extra Found Files".
bool SearchListedRuns(platform::SectorSource* source, disk::DiskInfo& disk, disk::PartitionInfo& partition,
                      platform::ProgressBlock& progress);

}  // namespace orvaldi::fs
