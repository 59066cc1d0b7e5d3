// The raw scan's reading: the read-ahead ring and the bad-sector rescue.
#include "raw/sweep_reader.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>
#include <utility>

#include "disk/sector_io.h"

namespace orvaldi::raw {
namespace {

using disk::PartitionInfo;
using platform::SectorSource;

constexpr uint64_t kSector = disk::SectorSize;

// `count` sectors at `sector` into `out`; whatever did not arrive is zero.
Attempt ReadAttempt(SectorSource* source, const PartitionInfo* context, uint64_t sector, uint64_t count, uint8_t* out) {
  Attempt a;
  const uint64_t length = count * kSector;  // at most a slot: fits the 32-bit volume read
  if (sector > UINT64_MAX / kSector - count) {
    std::memset(out, 0, length);  // beyond any source: its end
    return a;
  }
  if (source == nullptr) {
    std::memset(out, 0, length);
    a.failed = true;
    return a;
  }
  if (context == nullptr || context->volumeKind == disk::VolumeKind::kPlain) {
    const platform::ReadOutcome outcome = source->readAt(sector * kSector, {out, static_cast<size_t>(length)});
    std::memset(out + outcome.bytes, 0, length - outcome.bytes);
    a.good = outcome.bytes / kSector;
    a.failed = outcome.bytes < length && outcome.error != 0;
    return a;
  }
  // An assembled volume's read counts what it could not deliver as
  // unreadable, its end included.
  uint32_t got = 0;
  const bool ok = disk::ReadVolumeBytes(*source, out, static_cast<uint32_t>(length), got, sector * kSector);
  a.good = std::min<uint64_t>(got / kSector, count);
  a.failed = !ok && a.good < count;
  if (a.failed) std::memset(out + a.good * kSector, 0, length - a.good * kSector);
  return a;
}

}  // namespace

void SectorRescuer::read(uint64_t sector, uint64_t count, uint8_t* out) {
  base_ = sector;
  out_ = out;
  failures_ = 0;
  const uint64_t hi = sector + count;
  uint64_t pos = sector;
  // A slice's slot also holds the next slice's first sector: one found bad
  // there is not tried again.
  if (!runs_.empty() && pos >= runs_.back().start && pos - runs_.back().start < runs_.back().sectors) {
    const uint64_t known = std::min(hi - pos, runs_.back().start + runs_.back().sectors - pos);
    std::memset(at(pos), 0, known * kSector);
    pos += known;
  }
  uint64_t piece = 1;       // the next read's length while no failed read points ahead
  uint64_t failEnd = 0;     // when above pos: a read up to here failed, so a bad sector lies before it
  bool probeFirst = false;  // a failed read delivered sectors up to pos: that sector is the likely culprit
  if (badInRow_ == 0 && pos < hi) {
    const Attempt a = attempt(pos, hi - pos);
    if (!a.failed) return;
    pos += a.good;
    failEnd = hi;
    probeFirst = a.good > 0;
  }
  while (pos < hi) {
    if (failures_ >= kFailureBudget) {
      note(pos, hi - pos);
      return;
    }
    if (failEnd == pos + 1) {  // the failed reads leave only this sector
      note(pos, 1);
      ++pos;
      failEnd = 0;
      piece = 1;  // its neighbour is likely bad too: try it alone
      if (++badInRow_ >= kBadInRow) pos = passOver(pos, hi);
      continue;
    }
    const uint64_t n = probeFirst ? 1 : failEnd > pos ? (failEnd - pos) / 2 : std::min(piece, hi - pos);
    probeFirst = false;
    const Attempt a = attempt(pos, n);
    if (!a.failed) {
      if (a.good < n) {  // the source ends here
        std::memset(at(pos + n), 0, (hi - pos - n) * kSector);
        return;
      }
      pos += n;
      readable();
      piece = 2 * n;
      continue;
    }
    if (a.good > 0) readable();
    failEnd = pos + n;
    pos += a.good;
    probeFirst = a.good > 0 && failEnd - pos > 1;
  }
}

Attempt SectorRescuer::attempt(uint64_t sector, uint64_t count) {
  const Attempt a = ReadAttempt(source_, context_, sector, count, at(sector));
  if (a.failed) ++failures_;
  return a;
}

void SectorRescuer::note(uint64_t sector, uint64_t count) {
  if (count == 0) return;
  std::memset(at(sector), 0, count * kSector);
  if (sector >= end_) return;
  count = std::min(count, end_ - sector);
  std::lock_guard<std::mutex> guard(runsLock_);
  if (!runs_.empty() && sector - runs_.back().start <= runs_.back().sectors) {
    UnreadableRun& last = runs_.back();
    last.sectors = std::max(last.sectors, sector + count - last.start);
  } else {
    runs_.push_back({sector, count});
  }
}

SectorRescuer::Mark SectorRescuer::mark() const {
  Mark m;
  m.badInRow = badInRow_;
  m.stretch = stretch_;
  m.runCount = runs_.size();  // only this thread changes the list
  if (!runs_.empty()) m.last = runs_.back();
  return m;
}

std::vector<UnreadableRun> SectorRescuer::runsAt(const Mark& mark) const {
  std::lock_guard<std::mutex> guard(runsLock_);
  std::vector<UnreadableRun> runs(runs_.begin(), runs_.begin() + static_cast<std::ptrdiff_t>(mark.runCount));
  if (!runs.empty()) runs.back() = mark.last;
  return runs;
}

void SectorRescuer::restore(const ReaderState& state) {
  std::lock_guard<std::mutex> guard(runsLock_);
  runs_ = state.runs;
  badInRow_ = state.badInRow;
  stretch_ = std::clamp<uint64_t>(state.stretch, kFirstStretch, kSliceSectors);
}

uint64_t SectorRescuer::passOver(uint64_t pos, uint64_t hi) {
  while (pos + 1 < hi && failures_ < kFailureBudget) {
    const uint64_t trial = pos + std::min(stretch_, hi - 1 - pos);
    stretch_ = std::min(2 * stretch_, kSliceSectors);
    const Attempt a = attempt(trial, 1);
    if (a.failed) {
      note(pos, trial + 1 - pos);
      pos = trial + 1;
      continue;
    }
    if (a.good == 0) {  // the source ends before the trial
      note(pos, trial - pos);
      std::memset(at(trial), 0, (hi - trial) * kSector);
      return hi;
    }
    // [back, trial] read fine: read down from there to the bad sector
    // closest below, first in growing pieces, then halving the window in
    // which a failed read showed it to be.
    uint64_t back = trial;
    uint64_t grow = 1;
    uint64_t window = 0;  // once a read failed: the bad sector lies within this many below `back`
    while (back > pos && window != 1 && failures_ < kFailureBudget) {
      const uint64_t m = window != 0 ? window / 2 : std::min(grow, back - pos);
      const Attempt b = attempt(back - m, m);
      if (!b.failed && b.good == m) {
        back -= m;
        if (window != 0) window -= m;
        grow = 2 * m;
      } else {
        window = m - b.good;  // sectors before the failure arrived
      }
    }
    note(pos, back - pos);
    readable();
    return trial + 1;
  }
  return pos;
}

SliceReader::SliceReader(SectorSource* source, const PartitionInfo* context, uint64_t first, uint64_t end,
                         bool background, const ReaderState* resume)
    : source_(source), rescuer_(source, context, end), first_(first), end_(end) {
  if (resume) {
    rescuer_.restore(*resume);
    next_ = resume->slice;
    filled_.store(next_, std::memory_order_relaxed);
    done_.store(next_, std::memory_order_relaxed);
  }
  enteredSlice_ = next_;
  entered_ = rescuer_.mark();
  ring_.reset(new (std::nothrow) uint8_t[kSlots * (kSlice + 1) * kSector]);
  if (!ring_ || !background) return;
  threaded_ = true;  // before the thread starts: it reads the flag
  try {
    thread_ = std::thread([this] {
      while (!quit_.load(std::memory_order_acquire) && step()) {
      }
    });
  } catch (const std::system_error&) {
    threaded_ = false;  // no thread to be had: read on the caller's thread
  }
}

uint64_t SliceReader::heldFrom(uint64_t sector) const {
  const uint64_t sliceStart = first_ + (sector - first_) / kSlice * kSlice;
  return std::min(sliceStart + kSlice, end_) + 1 - sector;
}

void SliceReader::enter(uint64_t slice) {
  if (slice == current_) return;
  done_.store(slice, std::memory_order_release);
  done_.notify_one();
  current_ = slice;
  if (threaded_) {
    for (uint64_t have = filled_.load(std::memory_order_acquire); have <= slice;
         have = filled_.load(std::memory_order_acquire))
      filled_.wait(have, std::memory_order_acquire);
  } else {
    while (filled_.load(std::memory_order_relaxed) <= slice && step()) {
    }
  }
  // Published with the slot (or never read: the range ended before it).
  if (filled_.load(std::memory_order_acquire) > slice) {
    enteredSlice_ = slice;
    entered_ = slotMarks_[slice % kSlots];
  }
}

const uint8_t* SliceReader::at(uint64_t sector) {
  const uint64_t slice = (sector - first_) / kSlice;
  enter(slice);
  return ring_.get() + ((slice % kSlots) * (kSlice + 1) + (sector - first_) % kSlice) * kSector;
}

uint64_t SliceReader::dataFrom(uint64_t sector) {
  const uint64_t slice = (sector - first_) / kSlice;
  enter(slice);
  if (filled_.load(std::memory_order_acquire) <= slice || slotHoleEnd_[slice % kSlots] == 0) return sector;
  return std::max(sector, slotHoleEnd_[slice % kSlots]);
}

uint64_t SliceReader::holeEnd(uint64_t sector, uint64_t count) {
  if (source_ == nullptr || sector > UINT64_MAX / kSector - count) return 0;
  const uint64_t from = sector * kSector;
  const uint64_t to = from + count * kSector;
  // One question to the source for a whole run of holes, not one per slice.
  if (from < holeFrom_ || from >= dataAt_) {
    holeFrom_ = from;
    dataAt_ = source_->nextDataAt(from);
  }
  // A hole up to the source's end: what lies beyond reads as zeros too.
  const uint64_t size = source_->size();
  const bool toTheEnd = size != 0 && dataAt_ >= size;
  if (dataAt_ < to && !toTheEnd) return 0;
  // The sector that holds the first byte of data is the first to test.
  return toTheEnd ? end_ : std::min(end_, dataAt_ / kSector);
}

void SliceReader::stop() {
  quit_.store(true, std::memory_order_release);
  done_.store(UINT64_MAX, std::memory_order_release);
  done_.notify_all();
  if (thread_.joinable()) thread_.join();
}

ReaderState SliceReader::resumePoint() const {
  ReaderState state;
  state.slice = enteredSlice_;
  state.badInRow = entered_.badInRow;
  state.stretch = entered_.stretch;
  state.runs = rescuer_.runsAt(entered_);
  return state;
}

bool SliceReader::step() {
  const uint64_t slice = next_;
  const uint64_t start = first_ + slice * kSlice;
  if (start >= end_) return false;
  // The slot last held slice - kSlots; the sweep must be past it.
  if (threaded_ && slice >= kSlots) {
    for (uint64_t d = done_.load(std::memory_order_acquire); d <= slice - kSlots;
         d = done_.load(std::memory_order_acquire))
      done_.wait(d, std::memory_order_acquire);
  }
  if (quit_.load(std::memory_order_acquire)) return false;
  uint8_t* slot = ring_.get() + (slice % kSlots) * (kSlice + 1) * kSector;
  slotMarks_[slice % kSlots] = rescuer_.mark();
  const uint64_t count = std::min(kSlice, end_ - start) + 1;
  slotHoleEnd_[slice % kSlots] = holeEnd(start, count);
  if (slotHoleEnd_[slice % kSlots] == 0) {
    rescuer_.read(start, count, slot);
    std::memset(slot + count * kSector, 0, (kSlice + 1 - count) * kSector);
  }
  next_ = slice + 1;
  // The slices of a hole that follow go with this one, as far as the sweep
  // has freed their slots: one hand-over for a run of them, not one each.
  if (slotHoleEnd_[slice % kSlots] != 0)
    while (passHole(next_)) ++next_;
  filled_.store(next_, std::memory_order_release);
  filled_.notify_all();
  return true;
}

bool SliceReader::passHole(uint64_t slice) {
  const uint64_t start = first_ + slice * kSlice;
  if (start >= end_ || quit_.load(std::memory_order_acquire)) return false;
  if (slice >= kSlots && done_.load(std::memory_order_acquire) <= slice - kSlots) return false;  // slot still in use
  const uint64_t hole = holeEnd(start, std::min(kSlice, end_ - start) + 1);
  if (hole == 0) return false;
  slotMarks_[slice % kSlots] = rescuer_.mark();
  slotHoleEnd_[slice % kSlots] = hole;
  return true;
}

}  // namespace orvaldi::raw
