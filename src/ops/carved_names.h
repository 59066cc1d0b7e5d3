// Names for carved files: after a full-disk scan, the file records of the
// volumes it found are matched to the carved files by where their data starts.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "disk/disk_info.h"
#include "ops/source_probe.h"
#include "platform/progress.h"
#include "raw/save_engine.h"

namespace orvaldi::ops {

struct CarvedNaming {
  size_t carved = 0;                       // carved files in the range
  size_t named = 0;                        // given a name (and its folder, when placed)
  size_t disputed = 0;                     // claimed by records that disagree: left without a name
  size_t volumes = 0;                      // volumes whose records were read
  std::vector<std::string> unreadVolumes;  // partitions holding carved files whose volume could not be read
  bool cancelled = false;
};

// Gives each carved file of `disk` that starts in the `sectorCount` sectors
// from `firstSector` the name and folder of the file record whose data
// starts at its start sector (CarvedNode::foundName, foundPath), and clears
// them on every other one. The records are those of the FAT, NTFS and exFAT
// volumes in the disk's partition list that hold carved files: existing and
// deleted entries, and the records the sweep found by sector, as the
// volume's walk lists them. A volume opened before is taken as it was
// scanned; any other is opened in walk mode (its tree is left on the
// partition record). Only an exact match of the first data sector counts;
// a sector claimed by two records of different names or folders gets none.
CarvedNaming NameCarvedFiles(disk::DiskInfo& disk, platform::ProgressBlock& progress, uint64_t firstSector = 0,
                             uint64_t sectorCount = std::numeric_limits<uint64_t>::max());

// Where a named carved file goes below a save target: its folder and name
// as path pieces, each a name the target can take (a name without a known
// folder goes into the carved-files folder); empty when it has no found
// name or one of the pieces is no valid name (it is saved as carved).
std::vector<std::string> FoundSavePieces(const disk::CarvedNode& file);

// The save job of the swept range's carved files, as CarvedFilesJob, but
// each file FoundSavePieces places goes under its found folder and name
// (below the target, the folders rebuilt); the others into the carved-files
// folder under their carved names.
raw::SaveJob NamedCarvedFilesJob(SweptSource& swept);

}  // namespace orvaldi::ops
