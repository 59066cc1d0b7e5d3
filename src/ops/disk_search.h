// Disk-wide searches (the full-disk scan, a partition's raw scan, the
// lost-partition search) run on a copy of the disk's records, so that the
// windows showing the disk never see those records change under them. What
// the search added is merged back where the records are owned (the UI
// thread) once it has ended.
#pragma once

#include <cstddef>

#include "disk/disk_info.h"

namespace orvaldi::ops {

// A copy of `disk` with every record and finding but the partitions' scan
// trees (their readers' state), which no search reads and which may be large.
// `disk` is unchanged when it returns; no other thread may use it meanwhile.
disk::DiskInfo CopyForSearch(disk::DiskInfo& disk);

// Brings what a search added to `copy` (made by CopyForSearch when `disk`
// listed `partitionsBefore` partitions) into `disk`: the appended partitions,
// the directory sectors, the MFT record runs and the carved files. Carved
// files `disk` already has stay where they are, so that views pointing at
// them stay valid. Nothing else may have changed `disk`'s findings since the
// copy was made (the front ends refuse to run anything that would); appended
// partitions are renamed only if other partitions were appended meanwhile.
// Returns how many partitions were appended.
size_t MergeSearchFindings(disk::DiskInfo& disk, disk::DiskInfo&& copy, size_t partitionsBefore);

}  // namespace orvaldi::ops
