// Extraction of file data from FAT and NTFS volumes.
#include "fs/extract.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <unordered_set>

#include "disk/bytes.h"
#include "disk/fat_geometry.h"
#include "disk/fs_family.h"
#include "disk/recognisers.h"
#include "disk/sector_io.h"
#include "fs/fat_state.h"
#include "fs/lznt1.h"
#include "fs/ntfs_reader.h"
#include "fs/ntfs_state.h"

namespace orvaldi::fs {
namespace {

constexpr uint64_t kSector = disk::SectorSize;

using platform::SectorSource;

// Reads `count` sectors from absolute sector `sector`; false when some could not be read.
bool ReadAt(SectorSource* source, const disk::PartitionInfo& part, uint64_t sector, uint64_t count, uint8_t* out) {
  return disk::ReadVolumeSectors(source, &part, sector, count, out);
}

// One read buffer per thread, kept from file to file and never cleared:
// each read fills what it read and zeroes what it could not. Pieces of
// 1 MiB stay in the processor's cache between the read and the write.
uint8_t* Scratch(size_t bytes) {
  thread_local std::unique_ptr<uint8_t[]> buffer;
  thread_local size_t capacity = 0;
  if (capacity < bytes) {
    buffer.reset(new uint8_t[bytes]);
    capacity = bytes;
  }
  return buffer.get();
}

// Copies `bytes` bytes of the stretch of whole sectors at `sector` to the
// sink in pieces, cut to what the file still needs.
class StretchCopier {
 public:
  StretchCopier(SectorSource* source, const disk::PartitionInfo& part, DataSink& sink, const PieceFn& piece,
                CopyResult& result, uint64_t pieceBytes = kCopyPieceBytes)
      : source_(source),
        part_(part),
        sink_(sink),
        piece_(piece),
        result_(result),
        pieceBytes_(std::max<uint64_t>(kSector, pieceBytes / kSector * kSector)) {}

  // False when the copy must stop (cancelled or a write failed).
  bool copy(uint64_t sector, uint64_t bytes) {
    while (bytes > 0) {
      const uint64_t n = std::min(bytes, pieceBytes_);
      const uint64_t sectors = (n + kSector - 1) / kSector;
      uint8_t* buffer = Scratch(pieceBytes_);
      if (!ReadAt(source_, part_, sector, sectors, buffer)) result_.readErrors = true;
      if (!emit(buffer, n)) return false;
      sector += sectors;
      bytes -= n;
    }
    return true;
  }

  bool zeros(uint64_t bytes) {
    if (bytes == 0) return true;
    if (!sink_.writeZeros(bytes)) {
      result_.status = CopyStatus::kWriteFailed;
      return false;
    }
    result_.written += bytes;
    return report(bytes);
  }

  bool emit(const uint8_t* data, uint64_t n) {
    if (!sink_.write(data, n)) {
      result_.status = CopyStatus::kWriteFailed;
      return false;
    }
    result_.written += n;
    return report(n);
  }

 private:
  bool report(uint64_t n) {
    if (piece_ && !piece_(n)) {
      result_.status = CopyStatus::kCancelled;
      return false;
    }
    return true;
  }

  SectorSource* source_;
  const disk::PartitionInfo& part_;
  DataSink& sink_;
  const PieceFn& piece_;
  CopyResult& result_;
  uint64_t pieceBytes_;
};

// A stretch of a file's clusters: `lcn` is meaningless for a sparse one.
// `unmapped` marks clusters no run names (sparse as well): past the end of
// the run list, or in a gap a missing extent should have filled.
struct Mapping {
  uint64_t vcn = 0;
  uint64_t lcn = 0;
  uint64_t length = 0;
  bool sparse = false;
  bool unmapped = false;
};

// True when the runs name every cluster below `endVcn`, in sparse runs or not.
bool MapsEveryCluster(const std::vector<Mapping>& map, uint64_t endVcn) {
  uint64_t next = 0;
  for (const Mapping& m : map) {
    if (next >= endVcn) break;
    if (m.vcn != next) return false;
    next = m.vcn + m.length;
  }
  return next >= endVcn;
}

// Larger data sizes are taken for damage (NTFS volumes end far below).
constexpr uint64_t kLargestFile = 1ull << 56;
// Largest compression unit read: 64 KiB is what NTFS writes; the margin
// leaves room for odd writers without letting a damaged record size the buffers.
constexpr uint64_t kMaxUnitBytes = 1ull << 20;

// The data runs of a record laid out by VCN, up to cluster `endVcn`.
// Extents are ordered by their first VCN; overlapping ones (a damaged
// attribute list) are cut. A record decoded without extents has its runs
// read from VCN 0.
std::vector<Mapping> MapRuns(const DecodedRecord& record, uint64_t endVcn) {
  std::vector<NtfsDataExtent> extents = record.dataExtents;
  if (extents.empty() && !record.runs.empty()) {
    NtfsDataExtent all{0, record.runs};
    std::erase_if(all.runs, [](const NtfsRun& r) { return !r.sparse && r.firstCluster == 0 && r.length == 0; });
    extents.push_back(std::move(all));
  }
  std::stable_sort(extents.begin(), extents.end(),
                   [](const NtfsDataExtent& a, const NtfsDataExtent& b) { return a.firstVcn < b.firstVcn; });
  std::vector<Mapping> map;
  uint64_t next = 0;
  for (const NtfsDataExtent& extent : extents) {
    uint64_t vcn = extent.firstVcn;
    for (const NtfsRun& run : extent.runs) {
      if (run.length == 0) continue;
      uint64_t length = run.length;
      uint64_t lcn = run.firstCluster;
      if (vcn >= endVcn) break;
      length = std::min(length, endVcn - vcn);  // nothing past the file's last cluster
      if (vcn < next) {                         // overlaps what an earlier extent mapped
        const uint64_t skip = std::min(length, next - vcn);
        vcn += skip;
        lcn += skip;
        length -= skip;
        if (length == 0) continue;
      }
      map.push_back({vcn, lcn, length, run.sparse});
      vcn += length;
      next = vcn;
    }
  }
  return map;
}

// Where the clusters [vcn, vcn + count) lie: pieces of the mapping, with
// unmapped gaps given as sparse.
std::vector<Mapping> Slice(const std::vector<Mapping>& map, uint64_t vcn, uint64_t count) {
  std::vector<Mapping> out;
  const uint64_t end = vcn + count;
  auto it = std::upper_bound(map.begin(), map.end(), vcn, [](uint64_t v, const Mapping& m) { return v < m.vcn; });
  if (it != map.begin()) --it;
  uint64_t at = vcn;
  for (; it != map.end() && at < end; ++it) {
    const uint64_t mEnd = it->vcn + it->length;
    if (mEnd <= at) continue;
    if (it->vcn > at) {
      const uint64_t gap = std::min(it->vcn, end) - at;
      out.push_back({at, 0, gap, true, true});
      at += gap;
      if (at >= end) break;
    }
    const uint64_t n = std::min(mEnd, end) - at;
    out.push_back({at, it->lcn + (at - it->vcn), n, it->sparse});
    at += n;
  }
  if (at < end) out.push_back({at, 0, end - at, true, true});
  return out;
}

class NtfsDataCopier {
 public:
  NtfsDataCopier(SectorSource* source, const disk::PartitionInfo& part, const DecodedRecord& record, DataSink& sink,
                 const PieceFn& piece, CopyResult& result)
      : source_(source),
        part_(part),
        record_(record),
        result_(result),
        copier_(source, part, sink, piece, result),
        spc_(part.sectorsPerCluster),
        clusterBytes_(spc_ * kSector),
        size_(NtfsDataSize(record)),
        valid_(record.hasDataSizes ? std::min(record.initializedSize, size_) : size_) {}

  void run() {
    // Data whose extents could not all be found is never passed off as whole.
    if (record_.dataIncomplete || (record_.nonResidentData && !record_.hasDataSizes)) result_.damaged = true;
    if (record_.hasResidentData && !record_.nonResidentData) {
      const uint64_t n = std::min<uint64_t>(record_.residentData.size(), size_);
      if (copier_.emit(record_.residentData.data(), n)) copier_.zeros(size_ - n);
      return;
    }
    if (size_ == 0) return;
    // A compression unit is read and unpacked whole; one beyond any that NTFS
    // writes (16 clusters of at most 4 KiB) is damage, not a buffer to size.
    const bool unitTooLarge = record_.compressedData && (uint64_t{1} << UnitShift()) * clusterBytes_ > kMaxUnitBytes;
    if (spc_ == 0 || size_ > kLargestFile || unitTooLarge) {
      result_.status = CopyStatus::kNoData;
      return;
    }
    const uint64_t endVcn = (size_ + clusterBytes_ - 1) / clusterBytes_;
    // A compressed file's last unit is mapped whole: the sparse run that
    // follows its compressed clusters may lie past the end of the data.
    const uint64_t unitClusters = uint64_t{1} << UnitShift();
    const uint64_t mapEnd = record_.compressedData ? (endVcn + unitClusters - 1) / unitClusters * unitClusters : endVcn;
    map_ = MapRuns(record_, mapEnd);
    if (map_.empty()) {
      result_.status = CopyStatus::kNoData;
      return;
    }
    if (!MapsEveryCluster(map_, endVcn)) result_.damaged = true;
    const bool ok = record_.compressedData ? compressed() : plain();
    if (ok && result_.written < size_) copier_.zeros(size_ - result_.written);
  }

 private:
  // Bytes of the file from `at` on that hold data (below the initialized size).
  uint64_t validFrom(uint64_t at, uint64_t n) const { return at >= valid_ ? 0 : std::min(n, valid_ - at); }

  bool plain() {
    for (const Mapping& m : map_) {
      const uint64_t at = m.vcn * clusterBytes_;
      if (at >= size_) break;
      if (at > result_.written && !copier_.zeros(at - result_.written)) return false;  // unmapped gap
      const uint64_t n = std::min(m.length * clusterBytes_, size_ - at);
      const uint64_t data = m.sparse ? 0 : validFrom(at, n);
      if (data > 0 && !copier_.copy(part_.startSector + m.lcn * spc_, data)) return false;
      if (!copier_.zeros(n - data)) return false;
    }
    return true;
  }

  // Compression units are 2^unit clusters (16 on every volume written with
  // 4 KiB clusters or less).
  unsigned UnitShift() const {
    return record_.compressionUnit == 0 || record_.compressionUnit > 16 ? 4 : record_.compressionUnit;
  }

  // A unit without allocated clusters is zeros. One whose clusters are
  // followed by a sparse run holds an LZNT1 stream in those clusters. One
  // without a sparse run is stored as it is: a whole unit of allocated
  // clusters, or the last unit when the run list ends with the data (ntfs-3g
  // writes an incompressible tail so, with no sparse filler).
  bool compressed() {
    const uint64_t unitClusters = uint64_t{1} << UnitShift();
    const uint64_t unitBytes = unitClusters * clusterBytes_;
    std::vector<uint8_t> packed;
    std::vector<uint8_t> unpacked(unitBytes);
    for (uint64_t vcn = 0; vcn * clusterBytes_ < size_; vcn += unitClusters) {
      const uint64_t at = vcn * clusterBytes_;
      const uint64_t n = std::min(unitBytes, size_ - at);
      const auto pieces = Slice(map_, vcn, unitClusters);
      uint64_t allocated = 0;
      uint64_t holes = 0;
      for (const Mapping& m : pieces) {
        if (!m.sparse) allocated += m.length;
        if (m.sparse && !m.unmapped) holes += m.length;
      }
      if (allocated != 0 && holes == 0) {
        for (const Mapping& m : pieces) {
          const uint64_t pieceAt = m.vcn * clusterBytes_;
          if (pieceAt >= size_) break;
          const uint64_t pn = std::min(m.length * clusterBytes_, size_ - pieceAt);
          const uint64_t data = m.sparse ? 0 : validFrom(pieceAt, pn);
          if (data > 0 && !copier_.copy(part_.startSector + m.lcn * spc_, data)) return false;
          if (!copier_.zeros(pn - data)) return false;
        }
        continue;
      }
      if (allocated == 0) {
        if (!copier_.zeros(n)) return false;
        continue;
      }
      packed.assign(allocated * clusterBytes_, 0);
      uint8_t* out = packed.data();
      for (const Mapping& m : pieces) {
        if (m.sparse) continue;
        if (!ReadAt(source_, part_, part_.startSector + m.lcn * spc_, m.length * spc_, out)) result_.readErrors = true;
        out += m.length * clusterBytes_;
      }
      std::fill(unpacked.begin(), unpacked.end(), 0);
      if (!Lznt1Decompress(packed, unpacked)) result_.damaged = true;
      const uint64_t data = validFrom(at, n);
      if (data > 0 && !copier_.emit(unpacked.data(), data)) return false;
      if (!copier_.zeros(n - data)) return false;
    }
    return true;
  }

  SectorSource* source_;
  const disk::PartitionInfo& part_;
  const DecodedRecord& record_;
  CopyResult& result_;
  StretchCopier copier_;
  uint64_t spc_;
  uint64_t clusterBytes_;
  uint64_t size_;
  uint64_t valid_;
  std::vector<Mapping> map_;
};

bool FetchAtPosition(SectorSource* source, const disk::PartitionInfo& part, const NtfsScanState& state, uint64_t number,
                     std::vector<uint8_t>& record) {
  auto it = state.recordPositions.find(number);
  if (it == state.recordPositions.end()) return false;
  const uint32_t bytes = state.recordBytes == 4096 ? 4096 : 1024;
  record.assign(bytes, 0);
  if (!ReadAt(source, part, it->second, bytes / kSector, record.data())) return false;
  return disk::CheckUpdateSequence(record) == 1;
}

}  // namespace

bool DataSink::writeZeros(uint64_t length) {
  static const uint8_t kZeros[64 * 1024] = {};
  while (length > 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(length, sizeof kZeros));
    if (!write(kZeros, n)) return false;
    length -= n;
  }
  return true;
}

CopyResult CopySectors(SectorSource* source, const disk::PartitionInfo& partition, uint64_t firstSector, uint64_t size,
                       DataSink& sink, const PieceFn& piece, uint64_t pieceBytes) {
  CopyResult result;
  StretchCopier copier(source, partition, sink, piece, result, pieceBytes);
  copier.copy(firstSector, size);
  return result;
}

uint64_t FatClusterSector(const disk::PartitionInfo& partition, uint32_t cluster) {
  return disk::FatGeometry::OfRecord(partition).clusterSector(cluster);
}

uint64_t FatClusterBytes(const disk::PartitionInfo& partition) {
  return disk::FatGeometry::OfRecord(partition).clusterBytes();
}

bool FatIs32(const disk::PartitionInfo& partition) { return disk::FatGeometry::OfRecord(partition).fat32; }

uint32_t FatEntryCount(const disk::PartitionInfo& partition, const FatScanState& state) {
  const disk::FatGeometry geo = disk::FatGeometry::OfRecord(partition);
  uint64_t entries = state.fatCopy.size() / geo.entryWidth();
  if (geo.fatSize != 0) entries = std::min<uint64_t>(entries, geo.fatEntries());
  return static_cast<uint32_t>(std::min<uint64_t>(entries, UINT32_MAX));
}

namespace {

// The in-memory FAT as the copies see it: entries by cluster (no more than
// the FAT size names), and whether an entry is known at all (its sector was
// read from some copy of the FAT).
class FatTable {
 public:
  FatTable(const disk::PartitionInfo& part, const FatScanState& state)
      : state_(state), entries_(EntriesOf(part, state)) {}

  // Whether `cluster` is a data cluster this FAT describes.
  bool valid(uint32_t cluster) const { return entries_.isCluster(cluster); }
  uint32_t next(uint32_t cluster) const { return entries_[cluster]; }
  bool known(uint32_t cluster) const { return state_.entryRead(entries_, cluster); }

 private:
  static disk::FatEntries EntriesOf(const disk::PartitionInfo& part, const FatScanState& state) {
    const bool fat32 = FatIs32(part);
    const size_t bytes = size_t{FatEntryCount(part, state)} * disk::FatEntries::WidthOf(fat32);
    return disk::FatEntries(std::span<const uint8_t>(state.fatCopy).first(bytes), fat32);
  }

  const FatScanState& state_;
  disk::FatEntries entries_;
};

// A deleted file's clusters, from `firstCluster` on, in the order it most
// likely had them: the free ones. Clusters that the FAT gives to existing
// files are passed over, since a file written into a hole too small for it
// went on after the file that bounded the hole. The first cluster is taken
// whatever its entry says (the caller chose it); when it belongs to another
// file the bytes are that file's, so the copy is flagged. So is any cluster
// whose entry no FAT copy gave, and a copy that runs off the end of the FAT.
CopyResult CopyFreeClusters(SectorSource* source, const disk::PartitionInfo& partition, const FatTable& fat,
                            uint32_t firstCluster, uint64_t size, DataSink& sink, const PieceFn& piece) {
  CopyResult result;
  const disk::FatGeometry geo = disk::FatGeometry::OfRecord(partition);
  const uint64_t clusterBytes = geo.clusterBytes();
  StretchCopier copier(source, partition, sink, piece, result);
  if (!fat.known(firstCluster) || fat.next(firstCluster) != 0) result.damaged = true;
  uint64_t remaining = size;
  uint32_t c = firstCluster;
  while (remaining > 0) {
    const uint32_t runStart = c;
    uint64_t runClusters = 1;
    while (runClusters * clusterBytes < remaining && runClusters * clusterBytes < kCopyPieceBytes && fat.valid(c + 1) &&
           fat.next(c + 1) == 0) {
      ++c;
      ++runClusters;
      if (!fat.known(c)) result.damaged = true;
    }
    const uint64_t bytes = std::min(remaining, runClusters * clusterBytes);
    if (!copier.copy(geo.clusterSector(runStart), bytes)) return result;
    remaining -= bytes;
    if (remaining == 0) break;
    // On to the next free cluster.
    do {
      ++c;
    } while (fat.valid(c) && fat.next(c) != 0);
    if (!fat.valid(c)) {
      result.damaged = true;
      break;
    }
    if (!fat.known(c)) result.damaged = true;
  }
  return result;
}

}  // namespace

CopyResult CopyFatChain(SectorSource* source, const disk::PartitionInfo& partition, const FatScanState& state,
                        uint32_t firstCluster, uint64_t size, DataSink& sink, const PieceFn& piece) {
  CopyResult result;
  const FatTable fat(partition, state);
  const disk::FatGeometry geo = disk::FatGeometry::OfRecord(partition);
  const uint64_t clusterBytes = geo.clusterBytes();
  if (size == 0) return result;
  if (clusterBytes == 0 || !fat.valid(firstCluster)) {
    result.status = CopyStatus::kNoData;
    return result;
  }
  // A free first entry: the chain was released (a file left inside a
  // deleted folder keeps its entry but loses its chain), and its clusters
  // are read as a deleted file's. When the entry's sector could not be read
  // the chain is not known at all: the same guess, flagged as damaged.
  if (fat.next(firstCluster) == 0) return CopyFreeClusters(source, partition, fat, firstCluster, size, sink, piece);
  StretchCopier copier(source, partition, sink, piece, result);
  std::unordered_set<uint32_t> seen;
  uint64_t remaining = size;
  uint32_t c = firstCluster;
  while (remaining > 0) {
    // Runs of consecutive clusters are read as one stretch.
    const uint32_t runStart = c;
    uint64_t runClusters = 1;
    seen.insert(c);
    while (runClusters * clusterBytes < remaining && runClusters * clusterBytes < kCopyPieceBytes && fat.known(c) &&
           fat.next(c) == c + 1 && fat.valid(c + 1) && !seen.count(c + 1)) {
      ++c;
      ++runClusters;
      seen.insert(c);
    }
    const uint64_t bytes = std::min(remaining, runClusters * clusterBytes);
    if (!copier.copy(geo.clusterSector(runStart), bytes)) return result;
    remaining -= bytes;
    if (remaining == 0) break;
    // The chain ends short of the size, loops, leaves the FAT, or runs into
    // an entry no FAT copy gave: the rest of the file is not known.
    const uint32_t n = fat.known(c) ? fat.next(c) : 0;
    if (!fat.valid(n) || seen.count(n)) {
      result.damaged = true;
      break;
    }
    c = n;
  }
  return result;
}

CopyResult CopyFatContiguous(SectorSource* source, const disk::PartitionInfo& partition, uint32_t firstCluster,
                             uint64_t size, DataSink& sink, const PieceFn& piece) {
  if (size == 0) return {};
  if (FatClusterBytes(partition) == 0 || firstCluster < 2) return {CopyStatus::kNoData, 0, false, false};
  return CopySectors(source, partition, FatClusterSector(partition, firstCluster), size, sink, piece);
}

CopyResult CopyFatDeleted(SectorSource* source, const disk::PartitionInfo& partition, const FatScanState& state,
                          uint32_t firstCluster, uint64_t size, DataSink& sink, const PieceFn& piece) {
  const FatTable fat(partition, state);
  // Without a FAT that covers the cluster there is nothing to pass over.
  if (size == 0 || FatClusterBytes(partition) == 0 || !fat.valid(firstCluster))
    return CopyFatContiguous(source, partition, firstCluster, size, sink, piece);
  return CopyFreeClusters(source, partition, fat, firstCluster, size, sink, piece);
}

bool ReadNtfsRecord(SectorSource* source, const disk::PartitionInfo& partition, const NtfsScanState& state,
                    uint64_t number, DecodedRecord& out) {
  if (state.recordPositions.empty()) return ReadRecordByNumber(source, partition, state, number, out);
  std::vector<uint8_t> record;
  if (!FetchAtPosition(source, partition, state, number, record)) {
    // Not seen by the search: the run list may still know it.
    return !state.mftRuns.empty() && ReadRecordByNumber(source, partition, state, number, out);
  }
  RecordFetcher fetch = [&](uint64_t n, std::vector<uint8_t>& r) {
    return FetchAtPosition(source, partition, state, n, r);
  };
  StreamReader readStream = [&](const std::vector<NtfsRun>& runs, uint64_t size, std::vector<uint8_t>& bytes) {
    return ReadAttributeStream(source, partition, runs, size, bytes);
  };
  return DecodeRecord(record, number, DecodeMode::kFull, out, fetch, readStream);
}

uint64_t NtfsDataSize(const DecodedRecord& record) {
  if (record.hasDataSizes) return record.dataSize;
  if (record.hasResidentData) return record.residentData.size();
  return record.nonResidentData ? record.size : 0;
}

CopyResult CopyNtfsData(SectorSource* source, const disk::PartitionInfo& partition, const DecodedRecord& record,
                        DataSink& sink, const PieceFn& piece) {
  CopyResult result;
  NtfsDataCopier copier(source, partition, record, sink, piece, result);
  copier.run();
  return result;
}

}  // namespace orvaldi::fs
