// Where a raw scan's sweep stands: everything it carries from one sector to
// the next, so that a sweep stopped at a sector can be taken up there again.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

#include "disk/disk_info.h"
#include "raw/raw_scan.h"

namespace orvaldi::raw {

// Two sectors at which tables of one FAT type were seen; the distance is the
// FAT size once the second copy is known.
struct FatPair {
  bool hasFirst = false;
  bool hasSecond = false;
  uint64_t first = 0;
  uint64_t second = 0;
  uint64_t distance = 0;

  // Whether `sector` lies more than `extra` sectors behind the second copy's end.
  bool behindSecondCopy(uint64_t sector, uint64_t extra) const {
    return hasSecond && sector > second && sector - second > distance + extra;
  }
  bool operator==(const FatPair&) const = default;
};

struct MftCandidate {
  uint64_t recordSector = 0;  // sector of record 0
  uint64_t mftCluster = 0;
  uint64_t mirrorCluster = 0;
  uint64_t mftClusters = 0;
  bool operator==(const MftCandidate&) const = default;
};

struct DirectoryPair {
  uint64_t sector = 0;
  uint32_t cluster = 0;
  bool operator==(const DirectoryPair&) const = default;
};

// What the reading side remembers at the start of a slice: the unreadable
// runs noted so far and how the bad-sector rescue was set when the slice's
// read began. A reader started from it reads from that slice on exactly as
// the first one did.
struct ReaderState {
  uint64_t slice = 0;  // slices counted from the range's first sector
  uint64_t badInRow = 0;
  uint64_t stretch = 16;
  std::vector<UnreadableRun> runs;
  bool operator==(const ReaderState&) const = default;
};

// The sweep between two sectors: every sector before `next` is tested,
// none from it on. What the sweep wrote into the DiskInfo by then (the
// partitions it appended, directory sectors, MFT record runs, carved files)
// is the rest of its state and is kept with it.
struct SweepState {
  uint64_t next = 0;   // absolute: the first sector still to test
  uint64_t chunk = 0;  // the chunk the sweep's loop is at
  ReaderState reader;
  FatPair fat32;
  FatPair fat16;
  std::vector<DirectoryPair> directoryPairs;
  std::vector<MftCandidate> liveTables;
  std::vector<MftCandidate> mirrorTables;
  bool complete = false;  // the range is swept (the rebuilding after it has not run)
  bool operator==(const SweepState&) const = default;
};

// Checkpoints of one sweep.
struct RawScanCheckpoints {
  // Called on the sweep's thread with the state reached and the disk as the
  // sweep left it so far: every `interval` (tested between chunks), when
  // the sweep is stopped, and at its end, always before the rebuilding that
  // follows the sweep. Null: no checkpoints.
  std::function<void(const SweepState&, const disk::DiskInfo&)> save;
  std::chrono::milliseconds interval{5000};
  // Non-null: the sweep goes on from here; the DiskInfo must already hold
  // what the sweep had written into it by then.
  const SweepState* resume = nullptr;
  // The sweep stops as if cancelled when it reaches this sector: a stop at
  // a known place, for tests of the resumption.
  uint64_t stopAt = UINT64_MAX;
};

}  // namespace orvaldi::raw
