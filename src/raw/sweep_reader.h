// The raw scan's reading: slices read ahead of the sweep on their own
// thread, and the rescue of slices that fail to read around their bad
// sectors. Internal to the raw scan.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "disk/partition_info.h"
#include "disk/sector_io.h"
#include "platform/sector_source.h"
#include "raw/raw_scan.h"
#include "raw/sweep_state.h"

namespace orvaldi::raw {

// The sweep reads in slices of 1 MiB; a chunk is a whole number of them.
inline constexpr uint64_t kSliceSectors = 2048;

// One read of `count` sectors at `sector`: how many sectors from the first
// arrived whole, and whether a read error (rather than the end of the
// source) stopped it.
struct Attempt {
  uint64_t good = 0;
  bool failed = false;
};

// Reads the sweep's slices so that an unreadable sector costs only itself:
// the sectors around it still reach the probes. A failing drive may spend
// seconds on every failed read, so what a bad stretch costs is bounded:
//  - the piece of a failed read is searched by halving for its bad sector;
//    a read that delivered sectors before it failed points at the sector
//    behind them, which is tried alone first; behind a bad sector, reads
//    start at one sector and grow while they succeed;
//  - after kBadInRow bad sectors in a row, stretches of growing length are
//    passed over with one trial read behind each; once a trial succeeds the
//    stretch is read back from it, in growing and then halving pieces, to
//    its last bad sector, so only readable islands inside it are lost;
//  - a slice that has cost kFailureBudget failed reads gives up its rest.
// A bad stretch thus costs a few dozen failed reads at its two ends and two
// per slice in between. Sectors passed over or given up count as unreadable.
class SectorRescuer {
 public:
  SectorRescuer(platform::SectorSource* source, const disk::PartitionInfo* context, uint64_t end)
      : source_(source), context_(context), end_(end) {}

  // `count` sectors from `sector` into `out`, zero where nothing was read.
  void read(uint64_t sector, uint64_t count, uint8_t* out);

  std::vector<UnreadableRun> takeRuns() {
    std::lock_guard<std::mutex> guard(runsLock_);
    return std::move(runs_);
  }

  // The rescue's memory before the next read: the settings, and how many
  // runs there are with a copy of the last (which a later read may still
  // extend). Only on the reading thread.
  struct Mark {
    uint64_t badInRow = 0;
    uint64_t stretch = kFirstStretch;
    size_t runCount = 0;
    UnreadableRun last;
  };
  Mark mark() const;
  // The runs as they were at `mark`; from any thread.
  std::vector<UnreadableRun> runsAt(const Mark& mark) const;
  // Takes up the rescue where `state` left it, before the first read.
  void restore(const ReaderState& state);

 private:
  static constexpr unsigned kFailureBudget = 64;  // failed reads per slice
  static constexpr uint64_t kBadInRow = 8;        // bad sectors in a row before stretches are passed over
  static constexpr uint64_t kFirstStretch = 16;   // sectors; doubles with every bad trial

  uint8_t* at(uint64_t sector) const { return out_ + (sector - base_) * disk::SectorSize; }
  Attempt attempt(uint64_t sector, uint64_t count);

  void readable() {
    badInRow_ = 0;
    stretch_ = kFirstStretch;
  }

  // Zeroes `count` sectors from `sector` and notes those inside the range.
  void note(uint64_t sector, uint64_t count);

  // Inside a bad stretch at `pos`: passes over growing stretches up to the
  // slot's last sector, and reads back from the first good trial. Returns
  // where reading goes on.
  uint64_t passOver(uint64_t pos, uint64_t hi);

  platform::SectorSource* source_;
  const disk::PartitionInfo* context_;
  uint64_t end_;  // sectors from here on are not the sweep's to report
  // Appended to by the reading thread, copied by the sweep's checkpoints.
  mutable std::mutex runsLock_;
  std::vector<UnreadableRun> runs_;
  uint64_t badInRow_ = 0;
  uint64_t stretch_ = kFirstStretch;
  // The read under way.
  uint64_t base_ = 0;
  uint8_t* out_ = nullptr;
  unsigned failures_ = 0;
};

// Reads the range on its own thread just ahead of the sweep, in slices of
// 1 MiB, into a ring of four slots that the sweep reuses: small enough that
// what is read is still in the processor's cache when it is tested. Each
// slot holds its slice and the sector after it, so the test of a slice's
// last sector sees the next sector as well. The reader refills a slot only
// once the sweep is done with its slice. Without a thread the slices are read
// on the sweep's own thread as it needs them. Slices that fail to read are
// read again around their bad sectors (SectorRescuer).
class SliceReader {
 public:
  static constexpr uint64_t kSlice = kSliceSectors;
  static constexpr uint64_t kSlots = 4;

  // `resume`, when given, starts at its slice with the rescue as it was
  // there, instead of at `first`.
  SliceReader(platform::SectorSource* source, const disk::PartitionInfo* context, uint64_t first, uint64_t end,
              bool background, const ReaderState* resume = nullptr);
  ~SliceReader() { stop(); }
  SliceReader(const SliceReader&) = delete;
  SliceReader& operator=(const SliceReader&) = delete;

  bool ready() const { return ring_ != nullptr; }
  // Stops reading ahead; then hands over the sectors that could not be read.
  std::vector<UnreadableRun> finish() {
    stop();
    return rescuer_.takeRuns();
  }

  // Sectors from `sector` on that its slot holds (at least 2): the probes
  // read what lies there from memory.
  uint64_t heldFrom(uint64_t sector) const;

  // The bytes of absolute sector `sector` and of the one after it, once read.
  // The sweep is then done with every slice before this sector's.
  const uint8_t* at(uint64_t sector);

  // Where the sweep goes on from `sector`: `sector` itself when its slice
  // was read, else the end of the hole of the source (SectorSource::
  // nextDataAt) that holds the slice, the next one whose sector may hold
  // data. Zeros match none of the sweep's tests, so a hole is passed over
  // unread and untested. Enters the slice as at() does.
  uint64_t dataFrom(uint64_t sector);
  // The first sector behind the slice of `sector`.
  uint64_t sliceEnd(uint64_t sector) const {
    return std::min(first_ + ((sector - first_) / kSlice + 1) * kSlice, end_);
  }

  // Where a reader started anew goes on so that it reads what this one
  // still has to: the start of the slice the sweep is in (its first when
  // it has not begun).
  ReaderState resumePoint() const;

 private:
  void stop();
  // Reads the next slice into its slot; false when the range is read.
  bool step();
  // Waits until `slice` is read (or the range ended before it).
  void enter(uint64_t slice);
  // Publishes `slice` unread when it lies in a hole and its slot is free
  // without waiting; false otherwise (nothing done).
  bool passHole(uint64_t slice);
  // When the `count` sectors from `sector` all lie in a hole of the source,
  // the sector where the hole ends (within the range); else 0.
  uint64_t holeEnd(uint64_t sector, uint64_t count);

  platform::SectorSource* source_;
  SectorRescuer rescuer_;  // used by whichever thread reads
  uint64_t first_;
  uint64_t end_;
  std::unique_ptr<uint8_t[]> ring_;
  uint64_t next_ = 0;              // reader: the next slice to read
  uint64_t current_ = UINT64_MAX;  // sweep: the slice it is in
  // The rescue as each slot's read began, written before the slot is
  // published; the sweep copies the one of the slice it enters.
  SectorRescuer::Mark slotMarks_[kSlots];
  // Where the hole that holds each slot's slice ends (the slot left unread),
  // or 0 for a slice that was read; written with the slot.
  uint64_t slotHoleEnd_[kSlots] = {};
  // The reader's last answer from the source: no data from holeFrom_ up to
  // dataAt_ (bytes).
  uint64_t holeFrom_ = 0;
  uint64_t dataAt_ = 0;
  uint64_t enteredSlice_ = 0;  // sweep: the slice of `entered_`
  SectorRescuer::Mark entered_;
  std::atomic<uint64_t> filled_{0};  // slices before this one are read
  std::atomic<uint64_t> done_{0};    // slices before this one are tested
  std::atomic<bool> quit_{false};
  bool threaded_ = false;
  std::thread thread_;
};

}  // namespace orvaldi::raw
