// The volumes a raw scan finds: by their boot sectors (NTFS, FAT32, FAT16),
// and rebuilt from the MFT records, FAT tables and directories it met.
#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "disk/bytes.h"
#include "disk/fat_directory.h"
#include "disk/fat_geometry.h"
#include "disk/fat_layout.h"
#include "disk/ntfs_layout.h"
#include "disk/recognisers.h"
#include "fs/ntfs_record.h"
#include "raw/raw_scan_internal.h"

namespace orvaldi::raw {
namespace {

using disk::PartitionInfo;
using disk::PartitionOrigin;
namespace tc = disk::type_code;

constexpr uint64_t kSector = disk::SectorSize;
constexpr uint64_t kRunGap = 30;       // sectors between records that still make one run
constexpr size_t kPairLookahead = 50;  // directory pairs compared with each pair
// A disk rarely holds more than a handful of master file tables; the cap
// keeps the pairing quadratic in a small number on a disk built to attack it.
constexpr size_t kMaxMftCandidates = 4096;
constexpr uint32_t kFat32DistanceLimit = 0x2800;
constexpr uint32_t kFat16DistanceLimit = 0x190;

bool IsClusterSize(uint64_t spc) { return spc >= 1 && spc <= 128 && (spc & (spc - 1)) == 0; }

// The "." and ".." entries that open every FAT sub-directory's first sector.
bool StartsWithDotEntries(const uint8_t* p) {
  const disk::fat::DirEntry dot({p, disk::fat::kEntryBytes}),
      dotDot({p + disk::fat::kEntryBytes, disk::fat::kEntryBytes});
  return p[0] == 0x2E && p[1] == 0x20 && p[0x20] == 0x2E && p[0x21] == 0x2E && dot.size() == 0 && dotDot.size() == 0;
}

}  // namespace

// ---- Volumes found by their boot sectors ----

bool RawScan::holdsFileRecord(uint64_t sector) {
  std::array<uint8_t, kRecordSectors * kSector> record{};
  ReadRange(source_, context_, sector, kRecordSectors, record.data());
  return disk::CheckUpdateSequence(record) == 1;
}

void RawScan::ntfsByBootSector(const uint8_t* p, uint64_t sector) {
  const disk::ntfs::BootSector boot(disk::ByteView(p, kSector));
  // Clusters and the total in 512-byte sectors, whatever the volume's own are.
  const std::span<const uint8_t> bytes(p, kSector);
  const uint64_t spc = disk::NtfsClusterSectors(bytes);
  if (spc == 0) return;
  const uint64_t mftCluster = boot.mftCluster();
  const uint64_t total = disk::NtfsVolumeSectors(bytes);
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
  if (hasPartition(start, {}, PartitionOrigin::kFound)) return;
  PartitionInfo found;
  found.startSector = start;
  found.sectorCount = total;
  found.typeByte = tc::kNtfs;
  found.origin = PartitionOrigin::kFound;
  add(std::move(found), true);
}

void RawScan::fat32ByBootSector(const uint8_t* p, uint64_t sector) {
  // The hidden-sectors field names the volume's start when this is the boot
  // sector itself or its backup six sectors in.
  // The hidden sectors, the backup's place and the reserved area count the
  // volume's own sectors.
  const disk::fat::BootSector boot(disk::ByteView(p, kSector));
  const uint64_t unit = disk::SectorsPerLogical(boot.bytesPerSector());
  if (unit == 0) return;
  const uint64_t hidden = uint64_t{boot.hiddenSectors()} * unit;
  const uint64_t backup = 6 * unit;
  const uint64_t start = (hidden == sector || (sector >= backup && hidden == sector - backup)) ? hidden : sector;
  std::array<uint8_t, kSector> fat{};
  ReadRange(source_, context_, start + uint64_t{boot.reservedSectors()} * unit, 1, fat.data());
  if (!disk::IsFat32TableStart(fat.data())) return;
  for (const PartitionInfo& q : disk_.partitions) {
    if (q.origin == PartitionOrigin::kRebuilt || q.typeByte != tc::kFat32) continue;
    const uint32_t a = static_cast<uint32_t>(q.startSector), b = static_cast<uint32_t>(start);
    if (q.startSector == start || a - b == backup || b - a == backup) return;
  }
  PartitionInfo found;
  found.startSector = start;
  found.sectorCount = uint64_t{boot.totalSectors32()} * unit;
  found.typeByte = tc::kFat32;
  found.origin = PartitionOrigin::kFound;
  add(std::move(found), true);
}

void RawScan::fat16ByBootSector(const uint8_t* p, uint64_t sector) {
  if (hasPartition(sector, {tc::kFat16}, PartitionOrigin::kFound)) return;
  PartitionInfo found;
  found.startSector = sector;
  const disk::fat::BootSector boot(disk::ByteView(p, kSector));
  const uint32_t large = boot.totalSectors32();
  found.sectorCount =
      uint64_t{large != 0 ? large : boot.totalSectors16()} * disk::SectorsPerLogical(boot.bytesPerSector());
  found.typeByte = tc::kFat16;
  found.origin = PartitionOrigin::kFound;
  add(std::move(found), true);
}

// ---- MFT records ----

bool RawScan::fileRecord(const uint8_t* p, uint64_t sector) {
  std::array<uint8_t, kRecordSectors * kSector> record;
  std::memcpy(record.data(), p, record.size());
  if (!disk::CheckUpdateSequence(record)) return false;
  noteRecordRun(sector);
  if (disk::ntfs::RecordHeader(disk::ByteView(record)).recordNumber() == 0) examineMftRecord(record, sector);
  return true;
}

// Records lying close together make one run; a run covers its last record
// too, so the NTFS searches that walk the runs read every record noted. A
// record fills at least one of the disk's sectors.
void RawScan::noteRecordRun(uint64_t sector) {
  auto& runs = disk_.mftRecordRuns;
  auto next = runs.upper_bound(sector);
  uint64_t runFirst = sector;
  uint64_t runEnd = sector + std::max(kRecordSectors, stride_);
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
  if (!disk::CheckUpdateSequence(mirrorRecord) ||
      !fs::DecodeRecord(mirrorRecord, 1, fs::DecodeMode::kFound, mirror, {}) || mirror.name != "$MFTMirr" ||
      !firstAndCount(mirror, candidate.mirrorCluster, mirrorClusters))
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
  const uint32_t cluster = disk::fat::DirEntry({p, disk::fat::kEntryBytes}).firstCluster();
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
  uint64_t start = pair.first - behindStart;
  if (fat32) start = fsInfoStart(pair.first).value_or(start);
  if (hasPartition(start, fat32 ? disk::FsFamily::kFat32 : disk::FsFamily::kFat16)) return;
  PartitionInfo rebuilt;
  rebuilt.startSector = start;
  rebuilt.sectorCount = end_ - start;
  rebuilt.typeByte = fat32 ? tc::kFat32 : tc::kFat16;
  rebuilt.origin = PartitionOrigin::kRebuilt;
  disk::FatGeometry::Measured(fat32, {start, rebuilt.sectorCount, 0}, static_cast<uint32_t>(spc),
                              static_cast<uint32_t>(pair.distance), sector, cluster)
      .describe(rebuilt);
  add(std::move(rebuilt), false);
}

// The FSInfo sector lies at the volume's relative sector 1 (its copy at 7),
// inside the reserved area in front of the first FAT: it names the start
// where the reserved area's size is not known. Relative sectors are the
// disk's own: on a disk of 4 KiB sectors FSInfo lies 8 engine sectors in.
std::optional<uint64_t> RawScan::fsInfoStart(uint64_t firstFat) {
  const uint64_t lookBack = 64 * stride_;
  const uint64_t from = firstFat > lookBack ? firstFat - lookBack : 0;
  std::vector<uint8_t> area((firstFat - from) * kSector);
  ReadRange(source_, context_, from, firstFat - from, area.data());
  auto isFsInfo = [&](uint64_t s) {
    const uint8_t* p = area.data() + (s - from) * kSector;
    return std::memcmp(p, "RRaA", 4) == 0 && std::memcmp(p + 484, "rrAa", 4) == 0;
  };
  const uint64_t copyDistance = 6 * stride_;
  for (uint64_t s = std::max<uint64_t>(from, stride_); s < firstFat; ++s) {
    if (s % stride_ != 0 || !isFsInfo(s)) continue;
    // The copy six sectors on tells the primary from a lone copy.
    if (s + copyDistance < firstFat && isFsInfo(s + copyDistance)) return s - stride_;
    if (s >= 7 * stride_ && s - copyDistance >= from && !isFsInfo(s - copyDistance)) return s - stride_;
  }
  return std::nullopt;
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
        rebuilt.origin = PartitionOrigin::kRebuilt;
        const auto fatSize = static_cast<uint32_t>(std::min<uint64_t>(count / spc * entryBytes / kSector, UINT32_MAX));
        disk::FatGeometry::Measured(type == tc::kFat32, {zero, count, 0}, static_cast<uint32_t>(spc), fatSize, a.sector,
                                    a.cluster)
            .describe(rebuilt);
        add(std::move(rebuilt), false);
      };
      if (a.cluster <= 0xFFFF && b.cluster <= 0xFFFF && !hasPartition(zero, disk::FsFamily::kFat16))
        candidate(tc::kFat16, 2);
      if (!hasPartition(zero, disk::FsFamily::kFat32)) candidate(tc::kFat32, 4);
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
      rebuilt.origin = PartitionOrigin::kRebuilt;
      rebuilt.sectorsPerCluster = static_cast<uint32_t>(spc);
      rebuilt.clusterZeroSector = start;  // NTFS counts clusters from the volume's first sector
      add(std::move(rebuilt), false);
    }
  }
}
}  // namespace orvaldi::raw
