// The full-disk raw scan: one sweep over a sector range, then the rebuilding of volumes from what it noted.
#include "raw/raw_scan.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <new>
#include <span>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "disk/bytes.h"
#include "disk/fat_directory.h"
#include "disk/recognisers.h"
#include "disk/sector_io.h"
#include "disk/volume_label.h"
#include "fs/ntfs_record.h"
#include "raw/carving.h"

namespace orvaldi::raw {
namespace {

using disk::PartitionInfo;
using platform::SectorSource;
namespace tc = disk::type_code;

constexpr uint64_t kSector = disk::SectorSize;
constexpr uint64_t kChunk = kRawScanChunkSectors;
constexpr uint64_t kRecordSectors = 2;   // the 1,024-byte file record the sweep tests
constexpr uint64_t kRunGap = 30;         // sectors between records that still make one run
constexpr size_t kPairLookahead = 50;    // directory pairs compared with each pair
// A disk rarely holds more than a handful of master file tables; the cap
// keeps the pairing quadratic in a small number on a disk built to attack it.
constexpr size_t kMaxMftCandidates = 4096;
constexpr uint32_t kFat32DistanceLimit = 0x2800;
constexpr uint32_t kFat16DistanceLimit = 0x190;

using disk::Le16;
using disk::Le32;
using disk::Le64;

bool IsClusterSize(uint64_t spc) { return spc >= 1 && spc <= 128 && (spc & (spc - 1)) == 0; }

// The start of a FAT32 table: the media entry 0x0FFFFFF8, then the end mark
// of entry 1. Only the low 28 bits of an entry count: Windows writes
// 0xFFFFFFFF there, mkfs.fat 0x0FFFFFFF.
bool IsFat32TableStart(const uint8_t* p) {
  return Le32(p) == 0x0FFFFFF8 && (Le32(p + 4) & 0x0FFFFFFF) == 0x0FFFFFFF;
}

bool IsFat16TableStart(const uint8_t* p) {
  const uint32_t first = Le32(p);
  return first == 0xFFFFFFF8 || first == 0x7FFFFFF8;
}

bool HasRecordSignature(const uint8_t* p) {
  return std::memcmp(p, "FILE", 4) == 0 || std::memcmp(p, "FHDL", 4) == 0;
}

// `count` sectors from `sector` into `out`, zero where nothing could be read.
// Sector numbers whose byte offset does not fit 64 bits read as zeros.
void ReadRange(SectorSource* source, const PartitionInfo* context, uint64_t sector, uint64_t count, uint8_t* out) {
  if (count == 0) return;
  if (sector > UINT64_MAX / kSector - count) {
    std::memset(out, 0, count * kSector);
    return;
  }
  disk::ReadVolumeSectors(source, context, sector, count, out);
}

// The "." and ".." entries that open every FAT sub-directory's first sector.
bool StartsWithDotEntries(const uint8_t* p) {
  return p[0] == 0x2E && p[1] == 0x20 && p[0x20] == 0x2E && p[0x21] == 0x2E && Le32(p + 0x1C) == 0 &&
         Le32(p + 0x3C) == 0;
}

// The sweep reads in slices of 1 MiB; a chunk is a whole number of them.
constexpr uint64_t kSliceSectors = 2048;

// One read of `count` sectors at `sector` into `out`: how many sectors from
// the first arrived whole, and whether a read error (rather than the end of
// the source) stopped it. Whatever did not arrive is zero.
struct Attempt {
  uint64_t good = 0;
  bool failed = false;
};

Attempt ReadAttempt(SectorSource* source, const PartitionInfo* context, uint64_t sector, uint64_t count,
                    uint8_t* out) {
  Attempt a;
  const uint64_t length = count * kSector;  // at most a slot: fits the 32-bit volume read
  if (sector > UINT64_MAX / kSector - count) {
    std::memset(out, 0, length);  // beyond any source: its end
    return a;
  }
  if (context == nullptr || context->volumeKind == 0) {
    if (source == nullptr) {
      std::memset(out, 0, length);
      a.failed = true;
      return a;
    }
    const platform::ReadOutcome outcome = source->readAt(sector * kSector, {out, static_cast<size_t>(length)});
    std::memset(out + outcome.bytes, 0, length - outcome.bytes);
    a.good = outcome.bytes / kSector;
    a.failed = outcome.bytes < length && outcome.error != 0;
    return a;
  }
  // A volume reader tells only whether everything arrived: what it could
  // not deliver counts as unreadable.
  uint32_t got = 0;
  const bool ok =
      disk::ReadVolumeBytes(source, out, static_cast<uint32_t>(length), got, sector * kSector, context);
  a.good = std::min<uint64_t>(got / kSector, count);
  a.failed = !ok && a.good < count;
  if (a.failed) std::memset(out + a.good * kSector, 0, length - a.good * kSector);
  return a;
}

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
  SectorRescuer(SectorSource* source, const PartitionInfo* context, uint64_t end)
      : source_(source), context_(context), end_(end) {}

  // `count` sectors from `sector` into `out`, zero where nothing was read.
  void read(uint64_t sector, uint64_t count, uint8_t* out) {
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

  std::vector<UnreadableRun> takeRuns() { return std::move(runs_); }

 private:
  static constexpr unsigned kFailureBudget = 64;  // failed reads per slice
  static constexpr uint64_t kBadInRow = 8;        // bad sectors in a row before stretches are passed over
  static constexpr uint64_t kFirstStretch = 16;   // sectors; doubles with every bad trial

  uint8_t* at(uint64_t sector) const { return out_ + (sector - base_) * kSector; }

  Attempt attempt(uint64_t sector, uint64_t count) {
    const Attempt a = ReadAttempt(source_, context_, sector, count, at(sector));
    if (a.failed) ++failures_;
    return a;
  }

  void readable() {
    badInRow_ = 0;
    stretch_ = kFirstStretch;
  }

  // Zeroes `count` sectors from `sector` and notes those inside the range.
  void note(uint64_t sector, uint64_t count) {
    if (count == 0) return;
    std::memset(at(sector), 0, count * kSector);
    if (sector >= end_) return;
    count = std::min(count, end_ - sector);
    if (!runs_.empty() && sector - runs_.back().start <= runs_.back().sectors) {
      UnreadableRun& last = runs_.back();
      last.sectors = std::max(last.sectors, sector + count - last.start);
    } else {
      runs_.push_back({sector, count});
    }
  }

  // Inside a bad stretch at `pos`: passes over growing stretches up to the
  // slot's last sector, and reads back from the first good trial. Returns
  // where reading goes on.
  uint64_t passOver(uint64_t pos, uint64_t hi) {
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

  SectorSource* source_;
  const PartitionInfo* context_;
  uint64_t end_;  // sectors from here on are not the sweep's to report
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

  SliceReader(SectorSource* source, const PartitionInfo* context, uint64_t first, uint64_t end, bool background)
      : rescuer_(source, context, end), first_(first), end_(end) {
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
  uint64_t heldFrom(uint64_t sector) const {
    const uint64_t sliceStart = first_ + (sector - first_) / kSlice * kSlice;
    return std::min(sliceStart + kSlice, end_) + 1 - sector;
  }

  // The bytes of absolute sector `sector` and of the one after it, once read.
  // The sweep is then done with every slice before this sector's.
  const uint8_t* at(uint64_t sector) {
    const uint64_t slice = (sector - first_) / kSlice;
    if (slice != current_) {
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
    }
    return ring_.get() + ((slice % kSlots) * (kSlice + 1) + (sector - first_) % kSlice) * kSector;
  }

 private:
  void stop() {
    quit_.store(true, std::memory_order_release);
    done_.store(UINT64_MAX, std::memory_order_release);
    done_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

  // Reads the next slice into its slot; false when the range is read.
  bool step() {
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
    const uint64_t count = std::min(kSlice, end_ - start) + 1;
    rescuer_.read(start, count, slot);
    std::memset(slot + count * kSector, 0, (kSlice + 1 - count) * kSector);
    next_ = slice + 1;
    filled_.store(next_, std::memory_order_release);
    filled_.notify_all();
    return true;
  }

  SectorRescuer rescuer_;  // used by whichever thread reads
  uint64_t first_;
  uint64_t end_;
  std::unique_ptr<uint8_t[]> ring_;
  uint64_t next_ = 0;                 // reader: the next slice to read
  uint64_t current_ = UINT64_MAX;     // sweep: the slice it is in
  std::atomic<uint64_t> filled_{0};   // slices before this one are read
  std::atomic<uint64_t> done_{0};     // slices before this one are tested
  std::atomic<bool> quit_{false};
  bool threaded_ = false;
  std::thread thread_;
};

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
};

struct MftCandidate {
  uint64_t recordSector = 0;  // sector of record 0
  uint64_t mftCluster = 0;
  uint64_t mirrorCluster = 0;
  uint64_t mftClusters = 0;
};

struct DirectoryPair {
  uint64_t sector = 0;
  uint32_t cluster = 0;
};

class RawScan {
 public:
  RawScan(SectorSource* source, disk::DiskInfo& disk, platform::ProgressBlock& progress, uint64_t first,
          uint64_t count, const PartitionInfo* context)
      : source_(source),
        disk_(disk),
        progress_(progress),
        context_(context),
        first_(first),
        sectorCount_(std::min(count, UINT64_MAX - first)),
        end_(first + sectorCount_),
        plainReads_(context == nullptr || context->volumeKind == 0) {}

  bool sweep();
  void rebuildFromDirectoryPairs();
  void matchMftCandidates();
  std::vector<UnreadableRun> takeUnreadable() { return std::move(unreadable_); }

 private:
  bool testChunk(SliceReader& reader, uint64_t chunkStart, uint64_t& next);
  uint64_t testSector(const uint8_t* p, uint64_t sector, uint64_t held);

  void ntfsByBootSector(const uint8_t* p, uint64_t sector);
  void fat32ByBootSector(const uint8_t* p, uint64_t sector);
  void fat16ByBootSector(const uint8_t* p, uint64_t sector);
  bool fileRecord(const uint8_t* p, uint64_t sector);
  void noteRecordRun(uint64_t sector);
  void examineMftRecord(std::span<const uint8_t> record, uint64_t sector);
  void fatTableStart(bool fat32, uint64_t sector);
  void directoryTests(const uint8_t* p, uint64_t sector);
  void rebuildFromPair(bool fat32, uint64_t sector, uint32_t cluster);

  bool holdsFileRecord(uint64_t sector);
  bool hasPartition(uint64_t start, std::initializer_list<uint8_t> types, int origin = -1) const;
  void add(PartitionInfo partition, bool withLabel);
  uint64_t diskSectors() const;

  SectorSource* source_;
  disk::DiskInfo& disk_;
  platform::ProgressBlock& progress_;
  const PartitionInfo* context_;
  uint64_t first_;
  uint64_t sectorCount_;
  uint64_t end_;  // first sector behind the range
  bool plainReads_;

  FatPair fat32Pair_;
  FatPair fat16Pair_;
  std::vector<DirectoryPair> directoryPairs_;
  std::vector<MftCandidate> liveTables_;    // record 5 follows record 0: a working MFT
  std::vector<MftCandidate> mirrorTables_;  // records 0 to 3 only: the mirror
  std::vector<UnreadableRun> unreadable_;
};

bool RawScan::sweep() {
  const uint64_t lastChunk = sectorCount_ / kChunk;
  progress_.beginStage(static_cast<int64_t>(std::min<uint64_t>(lastChunk, INT64_MAX)), 1);
  // The next slices are read while this one is tested; a range of one
  // chunk or less has nothing to overlap.
  SliceReader reader(source_, context_, first_, end_, sectorCount_ > kChunk);
  if (!reader.ready()) return false;
  // What a sector's tests pass over (a carved file, a file record) may run
  // on over chunk marks.
  uint64_t next = first_;
  for (uint64_t k = 0; k <= lastChunk; ++k) {
    if (progress_.cancelled()) break;
    const uint64_t chunkStart = first_ + k * kChunk;
    progress_.clearText();
    progress_.setText("%llu 扇区被扫描", static_cast<unsigned long long>(k * kChunk));
    progress_.setPosition(k);
    if (chunkStart >= end_) break;
    if (!testChunk(reader, chunkStart, next)) break;
  }
  unreadable_ = reader.finish();
  return true;
}

bool RawScan::testChunk(SliceReader& reader, uint64_t chunkStart, uint64_t& next) {
  const uint64_t chunkEnd = chunkStart + std::min(kChunk, end_ - chunkStart);
  while (next < chunkEnd) {
    if (progress_.cancelled()) return false;
    next += testSector(reader.at(next), next, reader.heldFrom(next));
  }
  return true;
}

// Tests one sector (`p` holds it and the `held` - 1 sectors after it, at
// least one); returns how many sectors the sweep moves on, at least 1 and
// never past the end of the range.
uint64_t RawScan::testSector(const uint8_t* p, uint64_t sector, uint64_t held) {
  // Every boot sector looked for gives 512 bytes per sector (offset 0x0B):
  // testing that first spares most sectors the load of their last cache line.
  if (p[0x0B] == 0x00 && p[0x0C] == 0x02 && p[0x1FE] == 0x55 && p[0x1FF] == 0xAA) {
    const std::span<const uint8_t> s(p, kSector);
    if (disk::IsNtfsBootSector(s)) {
      ntfsByBootSector(p, sector);
      return 1;
    }
    if (disk::IsFat32BootSector(s)) {
      fat32ByBootSector(p, sector);
      return 1;
    }
    if (disk::IsFat16BootSector(s)) {
      fat16ByBootSector(p, sector);
      return 1;
    }
  }
  const uint64_t left = end_ - sector;
  uint64_t advance = 1;
  if (HasRecordSignature(p) && fileRecord(p, sector)) advance = std::min(kRecordSectors, left);
  if (IsFat32TableStart(p)) {
    fatTableStart(true, sector);
  } else if (MayStartCarvedFile(p)) {
    // Reads are positioned, so the probe's own reads disturb nothing and
    // its "moved the position" answer needs no action here. The sweep goes
    // on behind the bytes the file itself holds, which may be fewer than
    // its saved size: files that start there are still found.
    uint32_t size = 0;
    uint64_t extent = 0;
    (void)ProbeCarvedFile(disk_, source_, context_, std::span<const uint8_t>(p, held * kSector), sector, left, size,
                          &extent);
    if (size != 0) {
      const uint64_t sectors = (extent + kSector - 1) / kSector;
      return std::min(std::max(advance, sectors), left);
    }
  }
  if (IsFat16TableStart(p)) {
    fatTableStart(false, sector);
  } else {
    directoryTests(p, sector);
  }
  return advance;
}

// ---- Volumes found by their boot sectors ----

bool RawScan::holdsFileRecord(uint64_t sector) {
  std::array<uint8_t, kRecordSectors * kSector> record{};
  ReadRange(source_, context_, sector, kRecordSectors, record.data());
  return disk::CheckUpdateSequence(record) == 1;
}

void RawScan::ntfsByBootSector(const uint8_t* p, uint64_t sector) {
  const uint64_t spc = disk::NtfsSectorsPerCluster(p[0x0D]);
  if (spc == 0) return;
  const uint64_t mftCluster = Le64(p + 0x30);
  const uint64_t total = Le64(p + 0x28);
  if (mftCluster > UINT64_MAX / spc) return;
  const uint64_t mftOffset = spc * mftCluster;
  uint64_t start = 0;
  if (mftOffset <= UINT64_MAX - sector && holdsFileRecord(sector + mftOffset)) {
    start = sector;
  } else if (sector >= total && mftOffset <= UINT64_MAX - (sector - total) &&
             holdsFileRecord(sector - total + mftOffset)) {
    start = sector - total;  // the backup copy in the volume's last sector
  } else {
    return;
  }
  if (hasPartition(start, {}, 2)) return;
  PartitionInfo found;
  found.startSector = start;
  found.sectorCount = total;
  found.typeByte = tc::kNtfs;
  found.origin = 2;
  add(std::move(found), true);
}

void RawScan::fat32ByBootSector(const uint8_t* p, uint64_t sector) {
  // The hidden-sectors field names the volume's start when this is the boot
  // sector itself or its backup six sectors in.
  const uint64_t hidden = Le32(p + 0x1C);
  const uint64_t start = (hidden == sector || (sector >= 6 && hidden == sector - 6)) ? hidden : sector;
  std::array<uint8_t, kSector> fat{};
  ReadRange(source_, context_, start + Le16(p + 0x0E), 1, fat.data());
  if (!IsFat32TableStart(fat.data())) return;
  for (const PartitionInfo& q : disk_.partitions) {
    if ((q.origin != 2 && q.origin != 0) || q.typeByte != tc::kFat32) continue;
    const uint32_t a = static_cast<uint32_t>(q.startSector), b = static_cast<uint32_t>(start);
    if (q.startSector == start || a - b == 6 || b - a == 6) return;
  }
  PartitionInfo found;
  found.startSector = start;
  found.sectorCount = Le32(p + 0x20);
  found.typeByte = tc::kFat32;
  found.origin = 2;
  add(std::move(found), true);
}

void RawScan::fat16ByBootSector(const uint8_t* p, uint64_t sector) {
  if (hasPartition(sector, {tc::kFat16}, 2)) return;
  PartitionInfo found;
  found.startSector = sector;
  const uint32_t large = Le32(p + 0x20);
  found.sectorCount = large != 0 ? large : Le16(p + 0x13);
  found.typeByte = tc::kFat16;
  found.origin = 2;
  add(std::move(found), true);
}

// ---- MFT records ----

bool RawScan::fileRecord(const uint8_t* p, uint64_t sector) {
  std::array<uint8_t, kRecordSectors * kSector> record;
  std::memcpy(record.data(), p, record.size());
  if (!disk::CheckUpdateSequence(record)) return false;
  noteRecordRun(sector);
  if (Le32(record.data() + 0x2C) == 0) examineMftRecord(record, sector);
  return true;
}

// Records lying close together make one run; a run covers its last record
// too, so the NTFS searches that walk the runs read every record noted.
void RawScan::noteRecordRun(uint64_t sector) {
  auto& runs = disk_.mftRecordRuns;
  auto next = runs.upper_bound(sector);
  uint64_t runFirst = sector;
  uint64_t runEnd = sector + kRecordSectors;
  // An extent is 32-bit: a run that would outgrow it leaves the record to a new one.
  auto fits = [&](uint64_t first, uint64_t end) { return end - first <= UINT32_MAX; };
  if (next != runs.begin()) {
    auto last = std::prev(next);
    const uint64_t lastEnd = last->first + last->second;
    const uint64_t joinedEnd = std::max(lastEnd, runEnd);
    if ((sector < lastEnd || sector - lastEnd < kRunGap) && fits(last->first, joinedEnd)) {
      runFirst = last->first;
      runEnd = joinedEnd;
    }
  }
  // A run noted by an earlier scan may begin right behind this one.
  while (next != runs.end() && next->first - std::min(next->first, runEnd) < kRunGap &&
         fits(runFirst, std::max(runEnd, next->first + next->second))) {
    runEnd = std::max(runEnd, next->first + next->second);
    next = runs.erase(next);
  }
  runs[runFirst] = static_cast<uint32_t>(runEnd - runFirst);
}

// Record 0 named "$MFT", with "$MFTMirr" as record 1, is either a working
// master file table (record 5 follows) or its mirror (four records only).
void RawScan::examineMftRecord(std::span<const uint8_t> record, uint64_t sector) {
  fs::DecodedRecord mft;
  if (!fs::DecodeRecord(record, 0, fs::DecodeMode::kFound, mft, {}) || mft.name != "$MFT") return;
  auto firstAndCount = [](const fs::DecodedRecord& r, uint64_t& firstCluster, uint64_t& clusters) {
    clusters = 0;
    bool any = false;
    for (const fs::NtfsRun& run : r.runs) {
      if (run.firstCluster == 0 && run.length == 0) break;
      if (!any) firstCluster = run.firstCluster;
      any = true;
      clusters = run.length > UINT64_MAX - clusters ? UINT64_MAX : clusters + run.length;
    }
    return any;
  };
  MftCandidate candidate;
  candidate.recordSector = sector;
  if (!firstAndCount(mft, candidate.mftCluster, candidate.mftClusters)) return;

  constexpr uint64_t kRecords = 12;  // records 0 to 5
  std::vector<uint8_t> table(kRecords * kSector);
  ReadRange(source_, context_, sector, kRecords, table.data());
  const std::span<uint8_t> mirrorRecord(table.data() + 2 * kSector, kRecordSectors * kSector);
  fs::DecodedRecord mirror;
  uint64_t mirrorClusters = 0;
  if (!disk::CheckUpdateSequence(mirrorRecord) || !fs::DecodeRecord(mirrorRecord, 1, fs::DecodeMode::kFound, mirror, {}) ||
      mirror.name != "$MFTMirr" || !firstAndCount(mirror, candidate.mirrorCluster, mirrorClusters))
    return;
  const std::span<uint8_t> fifth(table.data() + 10 * kSector, kRecordSectors * kSector);
  auto& list = disk::CheckUpdateSequence(fifth) ? liveTables_ : mirrorTables_;
  if (list.size() < kMaxMftCandidates) list.push_back(candidate);
}

// ---- FAT tables and directories ----

void RawScan::fatTableStart(bool fat32, uint64_t sector) {
  FatPair& pair = fat32 ? fat32Pair_ : fat16Pair_;
  if (!pair.hasFirst) {
    pair.hasFirst = true;
    pair.first = sector;
  } else {
    pair.hasSecond = true;
    pair.second = sector;
    pair.distance = sector - pair.first;
  }
  if (fat32) {
    if (pair.hasSecond && pair.distance > kFat32DistanceLimit) {
      pair.hasSecond = false;
      pair.second = pair.distance = 0;
    }
    fat16Pair_ = FatPair{};
  } else {
    if (pair.hasSecond && pair.distance > kFat16DistanceLimit) pair = FatPair{};
    fat32Pair_ = FatPair{};
  }
}

void RawScan::directoryTests(const uint8_t* p, uint64_t sector) {
  if (p[0] == 0) return;
  if (!StartsWithDotEntries(p)) {
    if (disk::IsFatDirectorySector({p, kSector})) disk_.directorySectors.insert(sector);
    return;
  }
  disk_.directorySectors.insert(sector);
  const uint32_t cluster = (uint32_t{Le16(p + 0x14)} << 16) | Le16(p + 0x1A);
  const bool behindFat32 = fat32Pair_.behindSecondCopy(sector, 1);
  const bool behindFat16 = fat16Pair_.behindSecondCopy(sector, 0x21);
  if (behindFat32 || behindFat16) directoryPairs_.push_back({sector, cluster});
  if (behindFat32 && std::memcmp(p, "\x2E\x20\x20\x20", 4) == 0 && std::memcmp(p + 0x20, "\x2E\x2E\x20\x20", 4) == 0) {
    rebuildFromPair(true, sector, cluster);
  } else if (behindFat16) {
    rebuildFromPair(false, sector, cluster);
  }
}

// The first sector of a sub-directory behind a FAT pair fixes the cluster
// size: its "." entry names its own cluster, and the data area begins behind
// the two FATs (and, on FAT16, the 32-sector root directory).
void RawScan::rebuildFromPair(bool fat32, uint64_t sector, uint32_t cluster) {
  FatPair& slot = fat32 ? fat32Pair_ : fat16Pair_;
  const FatPair pair = slot;
  // FAT32 tables start 2 sectors behind the volume's start in this
  // reckoning, FAT16 ones 6; FAT16 data follows a 32-sector root directory.
  const uint64_t behindStart = fat32 ? 2 : 6;
  const uint64_t rootSectors = fat32 ? 0 : 32;
  if (cluster <= 2) return;  // cluster 2 would divide by zero; the pair waits for another directory
  const uint64_t spc = (sector - pair.first - 2 * pair.distance - rootSectors) / (cluster - 2);
  if (!IsClusterSize(spc) || spc * cluster > sector) return;
  slot = FatPair{};
  if (pair.first < behindStart) return;
  const uint64_t start = pair.first - behindStart;
  if (fat32 ? hasPartition(start, {tc::kFat32, tc::kFat32Lba})
            : hasPartition(start, {tc::kFat16Small, tc::kFat16, tc::kFat16Lba}))
    return;
  PartitionInfo rebuilt;
  rebuilt.startSector = start;
  rebuilt.sectorCount = end_ - start;
  rebuilt.typeByte = fat32 ? tc::kFat32 : tc::kFat16;
  rebuilt.origin = 1;
  rebuilt.sectorsPerCluster = static_cast<uint32_t>(spc);
  rebuilt.clusterZeroSector = sector - spc * cluster;
  rebuilt.fatSizeSectors = static_cast<uint32_t>(pair.distance);
  add(std::move(rebuilt), false);
}

// Two directories of one volume agree on where cluster 0 would lie: the
// sector distance over the cluster distance is the cluster size.
void RawScan::rebuildFromDirectoryPairs() {
  const uint64_t limit = std::min(diskSectors(), end_);
  const size_t n = directoryPairs_.size();
  for (size_t i = 0; i < n; ++i) {
    const DirectoryPair a = directoryPairs_[i];
    for (size_t j = i + 1; j < n && j <= i + kPairLookahead; ++j) {
      const DirectoryPair b = directoryPairs_[j];
      if (b.cluster <= a.cluster || b.sector <= a.sector) continue;  // also the same cluster twice
      const uint64_t spc = (b.sector - a.sector) / (b.cluster - a.cluster);
      if (!IsClusterSize(spc) || spc * a.cluster > a.sector || spc * b.cluster > b.sector) continue;
      const uint64_t zero = a.sector - spc * a.cluster;
      if (zero != b.sector - spc * b.cluster || zero > limit) continue;
      const uint64_t count = end_ - zero;
      // A FAT of 2 (FAT16) or 4 (FAT32) bytes for every cluster the rest of the range holds.
      auto candidate = [&](uint8_t type, uint64_t entryBytes) {
        PartitionInfo rebuilt;
        rebuilt.startSector = zero;
        rebuilt.sectorCount = count;
        rebuilt.typeByte = type;
        rebuilt.origin = 1;
        rebuilt.sectorsPerCluster = static_cast<uint32_t>(spc);
        rebuilt.clusterZeroSector = zero;
        rebuilt.fatSizeSectors =
            static_cast<uint32_t>(std::min<uint64_t>(count / spc * entryBytes / kSector, UINT32_MAX));
        add(std::move(rebuilt), false);
      };
      if (a.cluster <= 0xFFFF && b.cluster <= 0xFFFF &&
          !hasPartition(zero, {tc::kFat16Small, tc::kFat16, tc::kFat16Lba}))
        candidate(tc::kFat16, 2);
      if (!hasPartition(zero, {tc::kFat32, tc::kFat32Lba})) candidate(tc::kFat32, 4);
    }
  }
}

// A working table and its mirror hold the same record 0: the distance
// between the two copies over the distance between their first clusters is
// the cluster size, and the working copy's position then gives the start.
void RawScan::matchMftCandidates() {
  for (const MftCandidate& live : liveTables_) {
    for (const MftCandidate& mirror : mirrorTables_) {
      if (live.mftCluster != mirror.mftCluster || live.mirrorCluster != mirror.mirrorCluster ||
          live.mftClusters != mirror.mftClusters)
        continue;
      const uint64_t x = live.recordSector, y = mirror.recordSector;
      const uint64_t m = live.mftCluster, r = live.mirrorCluster;
      if (m == r || x == y || (x > y) != (m > r)) continue;
      const uint64_t sectors = x > y ? x - y : y - x;
      const uint64_t clusters = m > r ? m - r : r - m;
      const uint64_t spc = sectors / clusters + (sectors % clusters != 0 ? 1 : 0);
      if (!IsClusterSize(spc) || m > x / spc) continue;
      const uint64_t start = x - spc * m;
      if (start >= end_ || hasPartition(start, {tc::kNtfs})) continue;
      PartitionInfo rebuilt;
      rebuilt.startSector = start;
      rebuilt.sectorCount = end_ - start;
      rebuilt.typeByte = tc::kNtfs;
      rebuilt.origin = 1;
      rebuilt.sectorsPerCluster = static_cast<uint32_t>(spc);
      rebuilt.clusterZeroSector = start;  // NTFS counts clusters from the volume's first sector
      add(std::move(rebuilt), false);
    }
  }
}

// ---- The partition list ----

// Whether the list holds a partition starting at `start` with one of `types`
// (any type when empty) and, when `origin` is not -1, of that origin.
bool RawScan::hasPartition(uint64_t start, std::initializer_list<uint8_t> types, int origin) const {
  for (const PartitionInfo& q : disk_.partitions) {
    if (q.startSector != start) continue;
    if (origin >= 0 && q.origin != static_cast<uint32_t>(origin)) continue;
    if (types.size() != 0 && std::find(types.begin(), types.end(), q.typeByte) == types.end()) continue;
    return true;
  }
  return false;
}

void RawScan::add(PartitionInfo partition, bool withLabel) {
  // A volume's label is read in place on the disk; through a volume reader
  // there is no disk position to read it at.
  if (withLabel && plainReads_ && source_ != nullptr)
    partition.volumeLabel = disk::ReadVolumeLabel(*source_, partition.startSector, partition.typeByte);
  partition.name = "Partition" + std::to_string(disk_.partitions.size());
  disk_.partitions.push_back(std::move(partition));
}

uint64_t RawScan::diskSectors() const {
  if (disk_.sizeBytes > 0) return static_cast<uint64_t>(disk_.sizeBytes) / kSector;
  if (source_ != nullptr && source_->size() != 0) return source_->size() / kSector;
  return UINT64_MAX;
}

}  // namespace

int RawDiskScan(SectorSource* source, disk::DiskInfo& disk, platform::ProgressBlock& progress, uint64_t firstSector,
                uint64_t sectorCount, const PartitionInfo* context, RawScanReport* report) {
  disk.extraFoundFolder.name = disk::kExtraFoundFolderName;
  disk.extraFoundFolder.size = 0;
  const bool mapped = context != nullptr && context->volumeKind != 0;
  if (source == nullptr && !mapped) return 0;
  RawScan scan(source, disk, progress, firstSector, sectorCount, context);
  if (!scan.sweep()) return 0;
  // Also after a stop: what the sweep collected is still worth rebuilding.
  scan.rebuildFromDirectoryPairs();
  scan.matchMftCandidates();
  if (report) report->unreadable = scan.takeUnreadable();
  return 1;
}

int RawDiskScan(disk::DiskInfo& disk, platform::ProgressBlock& progress, uint64_t firstSector, uint64_t sectorCount,
                const PartitionInfo* context, RawScanReport* report) {
  disk.extraFoundFolder.name = disk::kExtraFoundFolderName;
  disk.extraFoundFolder.size = 0;
  std::unique_ptr<SectorSource> source;
  if (context == nullptr || context->volumeKind == 0) {
    source = disk::OpenSource(disk);
    if (!source) return 0;
  }
  return RawDiskScan(source.get(), disk, progress, firstSector, sectorCount, context, report);
}

}  // namespace orvaldi::raw
