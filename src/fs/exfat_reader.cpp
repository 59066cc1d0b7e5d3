// exFAT reader: the boot region (main or backup), the FAT and bitmap, the folder walk and the data runs.
#include "fs/exfat_reader.h"

#include <algorithm>
#include <set>
#include <string>
#include <unordered_set>

#include "disk/bytes.h"
#include "disk/exfat_layout.h"
#include "disk/recognisers.h"
#include "disk/sector_io.h"
#include "fs/exfat_directory.h"

namespace orvaldi::fs {
namespace {

namespace ex = disk::exfat;
using platform::SectorSource;
constexpr uint64_t kSector = disk::SectorSize;

uint64_t CeilDiv(uint64_t a, uint64_t b) { return a / b + (a % b != 0); }

// Reads `count` 512-byte sectors; the first unreadable one goes to `firstBad`.
std::vector<uint8_t> ReadSalvaging(SectorSource* source, uint64_t sector, uint64_t count, uint64_t sourceEnd,
                                   std::vector<uint64_t>& bad) {
  std::vector<uint8_t> buf(count * kSector);
  uint64_t inside = count;
  if (sourceEnd != 0) inside = sector >= sourceEnd ? 0 : std::min(count, sourceEnd - sector);
  disk::ReadVolumeSectorsSalvaging(source, nullptr, sector, inside, buf.data(), bad);
  for (uint64_t s = sector + inside; s < sector + count; ++s) bad.push_back(s);
  return buf;
}

// The geometry one boot region gives, when its checksum holds and its
// numbers describe a volume the source can hold.
std::optional<ExfatGeometry> GeometryOf(std::span<const uint8_t> region, uint32_t bytesPerSector, uint64_t volumeSector,
                                        uint64_t sourceEnd) {
  const disk::ByteView v(region);
  if (!disk::IsExfatBootSector(v.sub(0, kSector))) return std::nullopt;
  const ex::BootSector boot(v);
  if (boot.bytesPerSectorShift() < 9 || boot.bytesPerSectorShift() > 12) return std::nullopt;
  if ((1u << boot.bytesPerSectorShift()) != bytesPerSector) return std::nullopt;
  const uint32_t sum = ex::BootRegionChecksum(region, bytesPerSector);
  const disk::ByteView check(v.sub(uint64_t{ex::kChecksumSector} * bytesPerSector, bytesPerSector));
  if (check.size() != bytesPerSector) return std::nullopt;
  for (uint32_t i = 0; i < bytesPerSector; i += 4)
    if (check.le32(i) != sum) return std::nullopt;
  // Clusters of at most 32 MiB.
  if (boot.bytesPerSectorShift() + boot.sectorsPerClusterShift() > 25) return std::nullopt;
  if (boot.numberOfFats() < 1 || boot.numberOfFats() > 2) return std::nullopt;
  const uint64_t unit = bytesPerSector / kSector;  // 512-byte sectors per volume sector
  const uint64_t clusterSectors = uint64_t{1} << boot.sectorsPerClusterShift();
  const uint64_t clusters = boot.clusterCount();
  if (clusters == 0 || clusters > 0xFFFFFFF5ull - 2) return std::nullopt;
  if (boot.fatOffset() < 24 || boot.fatLength() == 0) return std::nullopt;
  if (uint64_t{boot.fatOffset()} + uint64_t{boot.fatLength()} * boot.numberOfFats() > boot.clusterHeapOffset())
    return std::nullopt;
  if (uint64_t{boot.fatLength()} * bytesPerSector < (clusters + 2) * 4) return std::nullopt;
  if (boot.clusterHeapOffset() + clusters * clusterSectors > boot.volumeLength()) return std::nullopt;
  ExfatGeometry g;
  g.bytesPerSector = bytesPerSector;
  g.fatSector = volumeSector + uint64_t{boot.fatOffset()} * unit;
  g.fatBytes = (clusters + 2) * 4;
  // The FAT sizes a buffer: it must lie on the source.
  if (sourceEnd != 0 && g.fatSector + CeilDiv(g.fatBytes, kSector) > sourceEnd) return std::nullopt;
  g.heapSector = volumeSector + uint64_t{boot.clusterHeapOffset()} * unit;
  g.clusterSectors = clusterSectors * unit;
  g.clusterCount = static_cast<uint32_t>(clusters);
  g.rootCluster = boot.rootCluster();
  if (!g.isCluster(g.rootCluster)) return std::nullopt;
  return g;
}

class ExfatScan {
 public:
  ExfatScan(SectorSource* source, disk::PartitionInfo& part, ExfatScanState& state, platform::ProgressBlock& progress)
      : source_(source), part_(part), state_(state), progress_(progress) {
    if (source_ && part_.volumeKind == disk::VolumeKind::kPlain) sourceEnd_ = source_->size() / kSector;
  }

  bool run() {
    if (!source_ || !readBootRegion()) return false;
    readFat();
    walk();
    return true;
  }

  // The geometry, the FAT and the allocation bitmap, without the walk.
  bool readAllocation() {
    if (!source_ || !readBootRegion()) return false;
    readFat();
    state_.root.firstCluster = state_.geometry.rootCluster;
    const ExfatDirectory dir = ParseExfatDirectory(readFolder(state_.root, true));
    if (dir.bitmap) readBitmap(dir.bitmap->first, dir.bitmap->second);
    return state_.bitmapRead;
  }

 private:
  void noteProblem(std::string where, uint64_t sector, std::string standIn = {}, bool damaged = false) {
    state_.problems.push_back(
        {std::move(where), sector, std::move(standIn), sourceEnd_ != 0 && sector >= sourceEnd_, damaged});
  }

  // The main region, else the backup at sector 12 (of the sector size its
  // own boot sector names, the main one being of no use).
  bool readBootRegion() {
    const uint64_t start = part_.startSector;
    std::vector<uint64_t> bad;
    const std::vector<uint8_t> first = ReadSalvaging(source_, start, 1, sourceEnd_, bad);
    const uint8_t shift = ex::BootSector(disk::ByteView(first)).bytesPerSectorShift();
    if (shift >= 9 && shift <= 12 && tryRegion(start, 1u << shift, 0)) return true;
    for (uint32_t s = 9; s <= 12; ++s) {
      const uint32_t bps = 1u << s;
      if (tryRegion(start, bps, ex::kBootRegionSectors)) {
        noteProblem("exFAT boot region", start + (bad.empty() ? 0 : bad.front() - start), "the backup boot region");
        return true;
      }
    }
    return false;
  }

  bool tryRegion(uint64_t volumeSector, uint32_t bps, uint32_t at) {
    const uint64_t unit = bps / kSector;
    std::vector<uint64_t> bad;
    const std::vector<uint8_t> region =
        ReadSalvaging(source_, volumeSector + uint64_t{at} * unit, ex::kBootRegionSectors * unit, sourceEnd_, bad);
    auto g = GeometryOf(region, bps, volumeSector, sourceEnd_);
    if (!g) return false;
    state_.geometry = *g;
    return true;
  }

  void readFat() {
    const ExfatGeometry& g = state_.geometry;
    const uint64_t sectors = CeilDiv(g.fatBytes, kSector);
    std::vector<uint64_t> bad;
    const std::vector<uint8_t> bytes = ReadSalvaging(source_, g.fatSector, sectors, sourceEnd_, bad);
    const uint64_t entries = g.fatBytes / 4;
    state_.fat.resize(entries);
    state_.fatKnown.assign(entries, 1);
    const disk::ByteView v(bytes);
    for (uint64_t i = 0; i < entries; ++i) state_.fat[i] = v.le32(i * 4);
    for (uint64_t s : bad) {
      const uint64_t from = (s - g.fatSector) * kSector / 4;
      for (uint64_t i = from; i < std::min(entries, from + kSector / 4); ++i) state_.fatKnown[i] = 0;
    }
    if (!bad.empty()) noteProblem("exFAT FAT", bad.front());
  }

  void readBitmap(uint32_t first, uint64_t length) {
    const ExfatGeometry& g = state_.geometry;
    const uint64_t needed = CeilDiv(g.clusterCount, 8);
    if (length < needed || length > needed + g.clusterBytes()) return;
    ExfatNode bitmap;
    bitmap.flags = node_kind::kFile;
    bitmap.firstCluster = first;
    bitmap.size = length;
    bool known = true;
    std::vector<uint8_t> bytes;
    for (const ExfatRun& run : ExfatRunsOf(state_, bitmap, needed, known)) {
      std::vector<uint64_t> bad;
      std::vector<uint8_t> part = ReadSalvaging(source_, run.sector, CeilDiv(run.bytes, kSector), sourceEnd_, bad);
      if (!bad.empty()) {
        noteProblem("exFAT allocation bitmap", bad.front());
        known = false;
      }
      bytes.insert(bytes.end(), part.begin(), part.begin() + static_cast<std::ptrdiff_t>(run.bytes));
    }
    if (!known || bytes.size() < needed) return;
    bytes.resize(needed);
    state_.bitmap = std::move(bytes);
    state_.bitmapRead = true;
  }

  bool countStep() {
    ++count_;
    progress_.setText(std::to_string(count_) + " 项被找到");
    progress_.step();
    return !progress_.cancelled();
  }

  static std::string PathOf(const ExfatNode& node) {
    std::string path = node.name;
    for (const ExfatNode* n = node.parent; n; n = n->parent) path = n->name + "/" + path;
    return path;
  }

  // A folder's bytes through its runs; unreadable sectors read as zeros
  // (which end the folder there) and are noted.
  std::vector<uint8_t> readFolder(const ExfatNode& folder, bool root) {
    const ExfatGeometry& g = state_.geometry;
    bool known = true;
    const uint64_t length = root ? ex::kMaxDirectoryBytes : std::min<uint64_t>(folder.size, ex::kMaxDirectoryBytes);
    std::vector<uint8_t> bytes;
    const std::vector<ExfatRun> runs = ExfatRunsOf(state_, folder, length, known);
    for (const ExfatRun& run : runs) {
      std::vector<uint64_t> bad;
      std::vector<uint8_t> part = ReadSalvaging(source_, run.sector, CeilDiv(run.bytes, kSector), sourceEnd_, bad);
      if (!bad.empty()) noteProblem(PathOf(folder), bad.front());
      bytes.insert(bytes.end(), part.begin(), part.begin() + static_cast<std::ptrdiff_t>(run.bytes));
    }
    // A live folder whose chain breaks loses what lay beyond.
    if (!known && !IsDeletedKind(folder.flags))
      noteProblem(PathOf(folder) + " (its cluster chain breaks off)",
                  runs.empty() ? g.clusterSector(std::max<uint32_t>(folder.firstCluster, 2)) : runs.back().sector);
    return bytes;
  }

  // Sets what a node's data is known to be: a length the volume holds, a
  // deleted file's clusters free in the bitmap.
  void judge(ExfatNode& node) {
    const ExfatGeometry& g = state_.geometry;
    const uint64_t volumeBytes = uint64_t{g.clusterCount} * g.clusterBytes();
    if (node.validLength > node.size) {
      node.validLength = node.size;
      node.intact = false;
    }
    if (node.size > volumeBytes) {
      node.intact = false;
      return;
    }
    if (node.size == 0) return;
    if (!g.isCluster(node.firstCluster)) {
      node.intact = false;
      return;
    }
    if (IsDeletedKind(node.flags)) {
      bool known = true;
      ExfatRunsOf(state_, node, node.size, known);
      node.intact = known;
    }
  }

  void walk() {
    ExfatNode& root = state_.root;
    root.firstCluster = state_.geometry.rootCluster;
    root.contiguous = false;
    struct Pending {
      ExfatNode* folder;
      bool root;
    };
    std::vector<Pending> stack{{&root, true}};
    std::set<uint32_t> visited{root.firstCluster};
    while (!stack.empty() && !progress_.cancelled()) {
      const Pending at = stack.back();
      stack.pop_back();
      const std::vector<uint8_t> bytes = readFolder(*at.folder, at.root);
      const ExfatDirectory dir = ParseExfatDirectory(bytes);
      if (at.root && dir.bitmap) readBitmap(dir.bitmap->first, dir.bitmap->second);
      const bool underDeleted = IsDeletedKind(at.folder->flags);
      for (const ExfatBadSet& badSet : dir.badSets) {
        if (badSet.deleted || underDeleted) continue;
        noteProblem(
            PathOf(*at.folder) + " (entry set at byte " + std::to_string(badSet.offset) + ": " + badSet.why + ")",
            sectorOf(*at.folder, badSet.offset), {}, true);
      }
      for (const ExfatEntrySet& set : dir.sets) {
        ExfatNode node;
        const bool deleted = set.deleted || underDeleted;
        node.flags = set.isFolder() ? (deleted ? node_kind::kDeletedFolder : node_kind::kFolder)
                                    : (deleted ? node_kind::kDeletedFile : node_kind::kFile);
        node.attributes = set.attributes;
        node.size = set.dataLength;
        node.validLength = set.validLength;
        node.firstCluster = set.firstCluster;
        node.contiguous = set.contiguous();
        node.created = set.created;
        node.modified = set.modified;
        node.accessed = set.accessed;
        node.name = set.name;
        // Folders are as long as their data; the valid length says nothing more.
        if (set.isFolder()) node.validLength = node.size;
        judge(node);
        ExfatNode* placed = InsertChild(*at.folder, std::move(node));
        if (!countStep()) return;
        if (!IsFolderLike(placed->flags)) continue;
        if (placed->size == 0 || !state_.geometry.isCluster(placed->firstCluster)) continue;
        if (!visited.insert(placed->firstCluster).second) {
          // A folder met twice: a loop, or a deleted folder whose clusters a
          // live one has taken. Only the first is walked.
          if (!deleted)
            noteProblem(PathOf(*placed) + " (a folder met twice)", state_.geometry.clusterSector(placed->firstCluster));
          continue;
        }
        stack.push_back({placed, false});
      }
    }
  }

  // The absolute sector of byte `offset` in a folder, for problem reports.
  uint64_t sectorOf(const ExfatNode& folder, uint64_t offset) {
    bool known = true;
    const bool root = &folder == &state_.root;
    uint64_t seen = 0;
    for (const ExfatRun& run : ExfatRunsOf(state_, folder, root ? ex::kMaxDirectoryBytes : folder.size, known)) {
      if (offset < seen + run.bytes) return run.sector + (offset - seen) / kSector;
      seen += run.bytes;
    }
    return 0;
  }

  SectorSource* source_;
  disk::PartitionInfo& part_;
  ExfatScanState& state_;
  platform::ProgressBlock& progress_;
  uint64_t sourceEnd_ = 0;
  uint64_t count_ = 0;
};

void AddRun(std::vector<ExfatRun>& runs, const ExfatGeometry& g, uint32_t cluster, uint64_t bytes) {
  const uint64_t sector = g.clusterSector(cluster);
  if (!runs.empty() && runs.back().sector + runs.back().bytes / kSector == sector && runs.back().bytes % kSector == 0) {
    runs.back().bytes += bytes;
    return;
  }
  runs.push_back({sector, bytes});
}

}  // namespace

std::vector<ExfatRun> ExfatRunsOf(const ExfatScanState& state, const ExfatNode& node, uint64_t bytes, bool& known) {
  const ExfatGeometry& g = state.geometry;
  std::vector<ExfatRun> runs;
  if (bytes == 0) return runs;
  const uint64_t cb = g.clusterBytes();
  if (cb == 0 || !g.isCluster(node.firstCluster)) {
    known = false;
    return runs;
  }
  const bool root = &node == &state.root;
  const bool deleted = IsDeletedKind(node.flags);
  // The root folder has no length: its chain runs to its end.
  const uint64_t wanted = CeilDiv(bytes, cb);
  const uint64_t room = uint64_t{g.clusterCount} - (node.firstCluster - 2);
  auto contiguous = [&] {
    const uint64_t n = std::min(wanted, room);
    if (n < wanted) known = false;
    for (uint64_t i = 0; i < n; ++i) {
      const auto c = static_cast<uint32_t>(node.firstCluster + i);
      if (deleted && state.inUse(c)) known = false;
      const uint64_t take = std::min(cb, bytes - i * cb);
      AddRun(runs, g, c, take);
    }
  };
  if (node.contiguous) {
    contiguous();
    return runs;
  }
  // The FAT chain, stopped at its end, a bad entry, or after more clusters
  // than the volume has (a loop).
  std::vector<ExfatRun> chain;
  bool chainKnown = true;
  uint32_t c = node.firstCluster;
  uint64_t taken = 0;
  const uint64_t limit = std::min<uint64_t>(wanted, g.clusterCount);
  std::unordered_set<uint32_t> met;
  while (true) {
    if (!met.insert(c).second) {
      chainKnown = false;  // the chain loops back
      break;
    }
    if (deleted && state.inUse(c)) chainKnown = false;
    const uint64_t take = root ? cb : std::min(cb, bytes - taken * cb);
    AddRun(chain, g, c, take);
    ++taken;
    if (taken >= limit) {
      if (taken < wanted && !root) chainKnown = false;
      // The root's chain should end here; a longer one loops.
      if (root && state.next(c).value_or(0) != ex::kEndOfChain) chainKnown = false;
      break;
    }
    const std::optional<uint32_t> next = state.next(c);
    if (!next) {
      chainKnown = false;
      break;
    }
    if (*next == ex::kEndOfChain) {
      if (!root) chainKnown = false;  // ended before the data did
      break;
    }
    if (!g.isCluster(*next)) {
      chainKnown = false;
      break;
    }
    c = *next;
  }
  if (!deleted || chainKnown) {
    known = known && chainKnown;
    return chain;
  }
  // A deleted file whose chain no longer holds: its clusters, guessed as
  // contiguous, are not known to be its own.
  known = false;
  contiguous();
  return runs;
}

CopyResult CopyExfatData(SectorSource* source, const disk::PartitionInfo& partition, const ExfatScanState& state,
                         const ExfatNode& node, uint64_t length, DataSink& sink, const PieceFn& piece) {
  CopyResult result;
  const uint64_t fromDisk = std::min(length, node.validLength);
  bool known = node.intact;
  const std::vector<ExfatRun> runs = ExfatRunsOf(state, node, fromDisk, known);
  uint64_t done = 0;
  for (const ExfatRun& run : runs) {
    const uint64_t n = std::min(run.bytes, fromDisk - done);
    if (n == 0) break;
    const CopyResult part = CopySectors(source, partition, run.sector, n, sink, piece);
    result.written += part.written;
    result.readErrors |= part.readErrors;
    result.damaged |= part.damaged;
    done += part.written;
    if (part.status != CopyStatus::kComplete) {
      result.status = part.status;
      return result;
    }
  }
  // What the runs could not give, and everything past the valid data length, reads as zeros.
  if (done < fromDisk) known = false;
  if (length > done) {
    if (!sink.writeZeros(length - done)) {
      result.status = CopyStatus::kWriteFailed;
      return result;
    }
    result.written += length - done;
    if (piece && !piece(length - done)) result.status = CopyStatus::kCancelled;
  }
  result.damaged |= !known;
  return result;
}

bool ReadExfatAllocation(SectorSource* source, disk::PartitionInfo& partition, ExfatScanState& state) {
  platform::ProgressBlock progress;
  ExfatScan scan(source, partition, state, progress);
  return scan.readAllocation();
}

bool ScanExfatVolume(SectorSource* source, const disk::DiskInfo& /*disk*/, disk::PartitionInfo& partition,
                     platform::ProgressBlock& progress) {
  ExfatScanState& state = partition.reader.getOrCreate<ExfatScanState>();
  state.clearResults(partition);
  ExfatScan scan(source, partition, state, progress);
  if (!scan.run()) {
    partition.reader.reset();
    return false;
  }
  return true;
}

}  // namespace orvaldi::fs
