// Lost-partition search: boot sectors at cylinder, track or sector positions.
#include "disk/lost_partition_search.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <vector>

#include "disk/bytes.h"
#include "disk/fat_layout.h"
#include "disk/ntfs_layout.h"
#include "disk/recognisers.h"
#include "disk/sector_io.h"
#include "disk/volume_label.h"

namespace orvaldi::disk {
namespace {

namespace tc = type_code;

constexpr uint64_t kTrackOffset = 63;          // the classic first-partition offset, one track of 63 sectors
constexpr uint64_t kCylinderZeroExtra = 2048;  // the 1 MiB boundary where partitions start today
constexpr uint32_t kChunkSectors = 20480;      // sector mode reads 10 MiB at a time
constexpr uint32_t kWindowSectors = 8;         // candidate X - 1 (or X) up to X + 6, on a disk of 512-byte sectors
constexpr uint32_t kRecordSectors = 2;         // the 1,024-byte MFT record checked
constexpr uint64_t kFat32BackupOffset = 6;
constexpr uint8_t kNtfsType = type_code::kNtfs;

enum class Family : uint8_t { kNtfs, kFat32, kFat16 };

const char* FamilyText(Family family) {
  switch (family) {
    case Family::kNtfs:
      return "NTFS";
    case Family::kFat32:
      return "FAT32";
    case Family::kFat16:
      return "FAT16";
  }
  return "";
}

uint8_t FamilyType(Family family) {
  switch (family) {
    case Family::kNtfs:
      return tc::kNtfs;
    case Family::kFat32:
      return tc::kFat32;
    case Family::kFat16:
      return tc::kFat16;
  }
  return 0;
}

// The type codes that count as the same volume when sector mode looks for an
// earlier find: the variants of each family a table may have recorded.
std::span<const uint8_t> SameFamilyTypes(Family family) {
  static constexpr uint8_t kNtfsTypes[] = {tc::kNtfsAlt, tc::kNtfs};
  static constexpr uint8_t kFat32Types[] = {tc::kFat32Lba, tc::kFat32};
  static constexpr uint8_t kFat16Types[] = {tc::kFat16Small, tc::kFat16, tc::kFat16Lba};
  switch (family) {
    case Family::kNtfs:
      return kNtfsTypes;
    case Family::kFat32:
      return kFat32Types;
    case Family::kFat16:
      return kFat16Types;
  }
  return {};
}

// 512-byte sectors in one of the volume's own. Boot sectors count in their
// own sectors, the search and the records in 512-byte ones.
uint64_t VolumeUnit(const ByteView& boot) { return SectorsPerLogical(fat::BootSector(boot).bytesPerSector()); }

// Total sectors of a FAT16 boot sector: the 32-bit field, or the 16-bit one
// when the volume is small enough to use it.
uint64_t Fat16Sectors(const ByteView& boot) {
  const fat::BootSector b(boot);
  return uint64_t{b.totalSectors32() != 0 ? b.totalSectors32() : b.totalSectors16()} * VolumeUnit(boot);
}

uint64_t Fat32Sectors(const ByteView& boot) {
  return uint64_t{fat::BootSector(boot).totalSectors32()} * VolumeUnit(boot);
}

uint64_t NtfsSectors(const ByteView& boot) { return NtfsVolumeSectors({boot.data(), boot.size()}); }

class Search {
 public:
  Search(DiskInfo& disk, platform::SectorSource& source, platform::ProgressBlock& progress,
         const LostPartitionHandler& onFind)
      : disk_(disk),
        source_(source),
        progress_(progress),
        onFind_(onFind),
        stride_(std::max<uint64_t>(1, SectorsPerLogical(disk.bytesPerSector))) {
    for (size_t i = 0; i < disk_.partitions.size(); ++i)
      if (disk_.partitions[i].origin == PartitionOrigin::kFound)
        foundIndex_.emplace(disk_.partitions[i].startSector, i);
  }

  void byCylinder(uint64_t heads);
  void byHead(uint64_t heads);
  void bySector(const LostSearchCheckpoints* checkpoints);
  LostPartitionReport& report() { return report_; }

 private:
  struct Found {
    Family family;
    uint64_t start;
    uint64_t sectors;
  };
  struct Position {
    uint64_t cylinder;
    uint32_t head;
    TableKind kind;
  };

  uint64_t cylinderCount(uint64_t heads);
  template <typename PerCylinder>
  void eachCylinder(uint64_t heads, PerCylinder&& onCylinder);
  void testCandidate(uint64_t x, const Position& at);
  bool mftRecordAt(uint64_t volumeStart, const ByteView& boot);
  std::optional<size_t> foundRecord(uint64_t start, std::span<const uint8_t> types) const;
  void emit(const Found& found, const Position& at, std::optional<size_t> duplicateOf);
  void readWindow(uint64_t first, uint64_t count, uint8_t* buffer);
  void readChunk(uint64_t first, uint32_t count, uint8_t* buffer);
  void testSector(const uint8_t* p, uint64_t s);

  DiskInfo& disk_;
  platform::SectorSource& source_;
  platform::ProgressBlock& progress_;
  const LostPartitionHandler& onFind_;
  // 512-byte sectors in one of the disk's: volumes start on those
  // boundaries, and only they are candidates.
  const uint64_t stride_;
  LostPartitionReport report_;
  std::set<uint64_t> ntfsReported_;             // NTFS starts this search already showed
  std::multimap<uint64_t, size_t> foundIndex_;  // start -> index of every found record, for the duplicate tests
  std::vector<LostPartitionFind>* keptFinds_ = nullptr;  // checkpoints: every find, kept
};

uint64_t Search::cylinderCount(uint64_t heads) {
  const uint64_t sectors = disk_.sizeBytes > 0 ? static_cast<uint64_t>(disk_.sizeBytes) / SectorSize : 0;
  const uint64_t perTrack = disk_.sectorsPerTrack;
  const uint64_t cylinders = heads == 0 || perTrack == 0 ? 0 : sectors / heads / perTrack;
  disk_.cylinders = static_cast<uint32_t>(std::min<uint64_t>(cylinders, UINT32_MAX));
  return cylinders;
}

// Reads `count` sectors from `first`. A failed read is retried sector by
// sector, so that one bad sector costs only itself; sectors past the end of
// the source are simply absent.
void Search::readWindow(uint64_t first, uint64_t count, uint8_t* buffer) {
  const SectorRead r = ReadSectors(source_, first, static_cast<uint32_t>(count), buffer);
  if (r.complete || r.error == 0) return;
  for (uint64_t i = r.bytes / SectorSize; i < count; ++i) {
    const SectorRead one = ReadSectors(source_, first + i, 1, buffer + i * SectorSize);
    if (!one.complete && one.error != 0) ++report_.unreadableSectors;
  }
}

// Reads `count` sectors from `first` in one request; when that fails, keeps
// what arrived and halves the rest, so that the readable sectors around a
// bad one are still searched.
void Search::readChunk(uint64_t first, uint32_t count, uint8_t* buffer) {
  const SectorRead r = ReadSectors(source_, first, static_cast<uint32_t>(count), buffer);
  if (r.complete) return;
  const uint32_t good = static_cast<uint32_t>(r.bytes / SectorSize);
  const uint32_t left = count - good;
  if (r.error == 0 || left == 1) {
    // The source ended before the size it gave, or this is the one bad sector.
    report_.unreadableSectors += left;
    return;
  }
  const uint32_t half = left / 2;
  uint8_t* rest = buffer + uint64_t{good} * SectorSize;
  readChunk(first + good, half, rest);
  readChunk(first + good + half, left - half, rest + uint64_t{half} * SectorSize);
}

// Whether the volume whose boot sector is `boot` and which starts at
// `volumeStart` has a valid MFT record where the boot sector puts the MFT.
bool Search::mftRecordAt(uint64_t volumeStart, const ByteView& boot) {
  const ntfs::BootSector b(boot);
  const uint64_t perCluster = NtfsClusterSectors({boot.data(), boot.size()});
  const uint64_t cluster = b.mftCluster();
  if (perCluster == 0 || cluster > (UINT64_MAX - volumeStart) / perCluster) return false;
  std::array<uint8_t, kRecordSectors * SectorSize> record{};
  const SectorRead r = ReadSectors(source_, volumeStart + perCluster * cluster, kRecordSectors, record.data());
  if (!r.complete) {
    if (r.error != 0) report_.unreadableSectors += kRecordSectors - r.bytes / SectorSize;
    return false;
  }
  return CheckUpdateSequence(record) == 1;
}

// The index of a record found by a search (this one or an earlier one) at
// `start` with one of `types`.
std::optional<size_t> Search::foundRecord(uint64_t start, std::span<const uint8_t> types) const {
  const auto [from, to] = foundIndex_.equal_range(start);
  for (auto it = from; it != to; ++it) {
    if (std::find(types.begin(), types.end(), disk_.partitions[it->second].typeByte) != types.end()) return it->second;
  }
  return std::nullopt;
}

// One find: its row goes to the progress block, and it joins the list unless
// it is already there. Records are named by the place they take in the list,
// so names stay unique whatever order finds and duplicates come in.
void Search::emit(const Found& found, const Position& at, std::optional<size_t> duplicateOf) {
  LostPartitionFind f;
  PartitionInfo& p = f.record;
  p.typeByte = FamilyType(found.family);
  p.startSector = found.start;
  p.sectorCount = found.sectors;
  p.tableKind = at.kind;
  p.origin = PartitionOrigin::kFound;
  p.volumeLabel = ReadVolumeLabel(source_, found.start, p.typeByte);
  f.cylinder = at.cylinder;
  f.head = at.head;
  f.row = std::string(FamilyText(found.family)) + ";" + p.volumeLabel + ";" + std::to_string(at.cylinder) + "," +
          std::to_string(at.head) + ",1;" + std::to_string(found.sectors) + ";" +
          (at.kind == TableKind::kPrimary ? "主;" : "逻辑;");
  if (duplicateOf) {
    f.duplicate = true;
    f.index = *duplicateOf;
    p.name = disk_.partitions[*duplicateOf].name;
  } else {
    f.index = disk_.partitions.size();
    p.name = "Partition" + std::to_string(f.index);
    disk_.partitions.push_back(p);
    foundIndex_.emplace(p.startSector, f.index);
    ++report_.appended;
  }
  if (found.family == Family::kNtfs) ntfsReported_.insert(found.start);
  ++report_.finds;
  progress_.pushRow(f.row);
  if (onFind_) onFind_(f);
  if (keptFinds_) keptFinds_->push_back(std::move(f));
}

// The tests at candidate X of the cylinder and head searches. The window
// holds the disk sector before X up to the FAT32 backup six disk sectors
// after it (X to X + 7 in cylinder 0, where the sector before is never
// looked at). On a disk of larger sectors a candidate off their boundaries
// cannot hold a boot sector and is passed over.
void Search::testCandidate(uint64_t x, const Position& at) {
  const bool cylinderZero = at.cylinder == 0;
  if (!cylinderZero && x < stride_) return;
  if (x % stride_ != 0) return;
  const uint64_t backupOffset = kFat32BackupOffset * stride_;
  const uint64_t windowSectors = std::max<uint64_t>(kWindowSectors, stride_ + backupOffset + 1);
  std::vector<uint8_t> window(windowSectors * SectorSize);
  const uint64_t first = cylinderZero ? x : x - stride_;
  readWindow(first, windowSectors, window.data());
  const auto sector = [&](uint64_t s) {
    return std::span<const uint8_t>(window.data() + (s - first) * SectorSize, SectorSize);
  };

  std::optional<Found> found;
  const std::span<const uint8_t> boot = sector(x);
  if (IsNtfsBootSector(boot)) {
    // A boot sector whose MFT is not where it says is a stale copy or a
    // coincidence: nothing else is tried here.
    if (!mftRecordAt(x, boot)) return;
    found = Found{Family::kNtfs, x, NtfsSectors(boot)};
  } else if (IsFat32BootSector(boot)) {
    found = Found{Family::kFat32, x, Fat32Sectors(boot)};
  } else if (const auto backup = sector(x + backupOffset); IsFat32BootSector(backup)) {
    found = Found{Family::kFat32, x, Fat32Sectors(backup)};
  } else if (IsFat16BootSector(boot)) {
    found = Found{Family::kFat16, x, Fat16Sectors(boot)};
  }
  if (!found) return;

  // An NTFS volume ends with a copy of its boot sector: when one lies just
  // before this volume, the NTFS volume before it is found even if its own
  // boot sector is gone.
  if (!cylinderZero) {
    const std::span<const uint8_t> before = sector(x - stride_);
    if (IsNtfsBootSector(before)) {
      const uint64_t total = NtfsSectors(before);
      if (total != 0 && total < UINT64_MAX - stride_ && x > total + stride_) {
        const uint64_t start = x - stride_ - total;
        const bool justFound = (!disk_.partitions.empty() && disk_.partitions.back().startSector == start) ||
                               ntfsReported_.count(start) != 0;
        if (!justFound && mftRecordAt(start, before))
          emit(Found{Family::kNtfs, start, total}, at, foundRecord(start, std::span(&kNtfsType, 1)));
      }
    }
  }
  const uint8_t type = FamilyType(found->family);
  emit(*found, at, foundRecord(found->start, std::span(&type, 1)));
}

// One progress step a cylinder, stopping when the user cancels. Cylinder
// zero's sector 0 and first track are tested here for both passes; the
// caller is then given every cylinder, zero included.
template <typename PerCylinder>
void Search::eachCylinder(uint64_t heads, PerCylinder&& onCylinder) {
  const uint64_t cylinders = cylinderCount(heads);
  progress_.beginStage(static_cast<int64_t>(std::min<uint64_t>(cylinders, INT64_MAX)), 1);
  for (uint64_t c = 0; c < cylinders; ++c) {
    progress_.step();
    if (progress_.cancelled()) {
      report_.cancelled = true;
      return;
    }
    if (c == 0) {
      testCandidate(0, {0, 0, TableKind::kPrimary});
      testCandidate(kTrackOffset, {0, 1, TableKind::kPrimary});
    }
    onCylinder(c);
  }
}

void Search::byCylinder(uint64_t heads) {
  const uint64_t perCylinder = heads * disk_.sectorsPerTrack;
  eachCylinder(heads, [&](uint64_t c) {
    if (c == 0) {
      testCandidate(kCylinderZeroExtra, {0, 1, TableKind::kPrimary});
      return;
    }
    testCandidate(c * perCylinder, {c, 0, TableKind::kPrimary});
    testCandidate(c * perCylinder + kTrackOffset, {c, 1, TableKind::kLogical});
  });
}

// Every track start of the cylinder and the sector one 63-sector track after
// it. Where the two coincide (63 sectors per track) a sector is tested once,
// and a candidate that reaches into the next cylinder is left to that
// cylinder, so that every volume gets one row with its own cylinder.
void Search::byHead(uint64_t heads) {
  const uint64_t perTrack = disk_.sectorsPerTrack;
  const uint64_t perCylinder = heads * perTrack;
  std::set<uint64_t> tested;
  eachCylinder(heads, [&](uint64_t c) {
    if (c == 0) return;
    tested.clear();
    const uint64_t base = c * perCylinder;
    for (uint64_t h = 0; h < heads; ++h) {
      for (uint32_t k = 0; k < 2; ++k) {
        const uint64_t x = base + h * perTrack + kTrackOffset * k;
        if (x >= base + perCylinder || !tested.insert(x).second) continue;
        testCandidate(x, {c, k, k == 0 ? TableKind::kPrimary : TableKind::kLogical});
      }
    }
  });
}

void Search::testSector(const uint8_t* p, uint64_t s) {
  const std::span<const uint8_t> span(p, SectorSize);
  const ByteView boot(span);
  const Position at{0, 0, TableKind::kPrimary};
  std::optional<Found> found;
  if (IsNtfsBootSector(span)) {
    const uint64_t total = NtfsSectors(boot);
    if (mftRecordAt(s, boot)) {
      found = Found{Family::kNtfs, s, total};
    } else if (s >= total && mftRecordAt(s - total, boot)) {
      found = Found{Family::kNtfs, s - total, total};  // the backup in the volume's last sector
    }
  } else if (IsFat32BootSector(span)) {
    // The hidden-sector count names the volume's start when this is the boot
    // sector itself or its backup six sectors in.
    const fat::BootSector b(boot);
    const uint64_t unit = VolumeUnit(boot);
    const uint64_t hidden = uint64_t{b.hiddenSectors()} * unit;
    const uint64_t backup = kFat32BackupOffset * unit;
    const bool named = hidden == s || (s >= backup && hidden == s - backup);
    found = Found{Family::kFat32, named ? hidden : s, Fat32Sectors(boot)};
  } else if (IsFat16BootSector(span)) {
    found = Found{Family::kFat16, s, Fat16Sectors(boot)};
  }
  if (found) emit(*found, at, foundRecord(found->start, SameFamilyTypes(found->family)));
}

void Search::bySector(const LostSearchCheckpoints* checkpoints) {
  const uint64_t sectors = disk_.sizeBytes > 0 ? static_cast<uint64_t>(disk_.sizeBytes) / SectorSize : 0;
  // A tail shorter than one chunk is not searched: a volume worth finding
  // does not fit there.
  const uint64_t chunks = sectors / kChunkSectors;
  progress_.beginStage(static_cast<int64_t>(std::min<uint64_t>(chunks, INT64_MAX)), 1);
  LostSearchState state;
  uint64_t from = 0;
  if (checkpoints && checkpoints->resume) {
    // The finds made before the stop are reported again, in their order.
    const LostSearchState& resume = *checkpoints->resume;
    from = resume.chunk;
    report_.unreadableSectors = resume.unreadableSectors;
    ntfsReported_ = resume.ntfsReported;
    for (const LostPartitionFind& f : resume.finds) {
      ++report_.finds;
      if (!f.duplicate) ++report_.appended;
      progress_.pushRow(f.row);
      if (onFind_) onFind_(f);
    }
    state.finds = resume.finds;
  }
  const bool saving = checkpoints && checkpoints->save;
  if (saving) keptFinds_ = &state.finds;
  const uint64_t stopChunk = checkpoints ? checkpoints->stopAt / kChunkSectors : UINT64_MAX;
  auto lastSaved = std::chrono::steady_clock::now();
  auto save = [&](uint64_t chunk, bool complete) {
    state.chunk = chunk;
    state.unreadableSectors = report_.unreadableSectors;
    state.ntfsReported = ntfsReported_;
    state.complete = complete;
    checkpoints->save(state, disk_);
    lastSaved = std::chrono::steady_clock::now();
  };
  std::vector<uint8_t> buffer(chunks == 0 ? 0 : uint64_t{kChunkSectors} * SectorSize);
  for (uint64_t i = from; i < chunks; ++i) {
    progress_.setPosition(i);
    if (i >= stopChunk) progress_.requestCancel();
    if (progress_.cancelled()) {
      report_.cancelled = true;
      if (saving) save(i, false);
      return;
    }
    if (saving && std::chrono::steady_clock::now() - lastSaved >= checkpoints->interval) save(i, false);
    const uint64_t first = i * kChunkSectors;
    readChunk(first, kChunkSectors, buffer.data());
    // A chunk is a whole number of disk sectors; only their first 512 bytes can open a volume.
    for (uint32_t j = 0; j < kChunkSectors; j += static_cast<uint32_t>(stride_)) {
      const uint8_t* p = buffer.data() + uint64_t{j} * SectorSize;
      // All three boot sectors give 512 to 4,096 bytes per sector and end
      // in 0x55AA: most sectors fail this before the full tests load
      // anything else.
      const uint8_t high = p[0x0C];
      if (p[0x0B] != 0x00 || (high != 0x02 && high != 0x04 && high != 0x08 && high != 0x10) || p[0x1FE] != 0x55 ||
          p[0x1FF] != 0xAA)
        continue;
      testSector(p, first + j);
    }
  }
  if (saving) save(std::max(from, chunks), true);
}

}  // namespace

LostPartitionReport SearchLostPartitions(DiskInfo& disk, platform::SectorSource& source, SearchMode mode, uint8_t heads,
                                         platform::ProgressBlock& progress, const LostPartitionHandler& onFind,
                                         const LostSearchCheckpoints* checkpoints) {
  Search search(disk, source, progress, onFind);
  const uint64_t h = heads != 0 ? heads : disk.tracksPerCylinder;
  switch (mode) {
    case SearchMode::kCylinder:
      search.byCylinder(h);
      break;
    case SearchMode::kHead:
      search.byHead(h);
      break;
    case SearchMode::kSector:
      search.bySector(checkpoints);
      break;
  }
  search.report().opened = true;
  return search.report();
}

int SearchLostPartitions(DiskInfo& disk, SearchMode mode, uint8_t heads, platform::ProgressBlock& progress,
                         LostPartitionReport* report, const LostPartitionHandler& onFind,
                         const LostSearchCheckpoints* checkpoints) {
  std::string error;
  const std::unique_ptr<SectorSource> source = OpenSource(disk, &error);
  if (!source) {
    if (report) {
      *report = {};
      report->error = error;
    }
    return 0;
  }
  LostPartitionReport done = SearchLostPartitions(disk, *source, mode, heads, progress, onFind, checkpoints);
  if (report) *report = std::move(done);
  return 1;
}

bool SplitResultRow(const std::string& row, ResultRowFields& fields) {
  // "fs;label;position;sectors;kind;": the label is whatever lies between
  // the first field and the last three. Found from the back: the separators
  // before the kind, before the sectors and before the position.
  if (row.empty() || row.back() != ';') return false;
  const size_t first = row.find(';');
  size_t ends[3];
  size_t at = row.size() - 1;
  for (size_t& end : ends) {
    if (at == 0) return false;
    at = row.rfind(';', at - 1);
    if (at == std::string::npos || at <= first) return false;
    end = at;
  }
  fields.fileSystem = row.substr(0, first);
  fields.label = row.substr(first + 1, ends[2] - first - 1);
  fields.position = row.substr(ends[2] + 1, ends[1] - ends[2] - 1);
  fields.sectors = row.substr(ends[1] + 1, ends[0] - ends[1] - 1);
  fields.tableKind = row.substr(ends[0] + 1, row.size() - 1 - ends[0] - 1);
  return true;
}

}  // namespace orvaldi::disk
