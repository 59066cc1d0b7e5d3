// FAT16/FAT32 reader: the entry points, sector reads that salvage what they
// can, the volume's geometry (read or rebuilt) and the in-memory FAT copy.
#include "fs/fat_reader.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "disk/fat_entry.h"
#include "disk/fat_layout.h"
#include "disk/recognisers.h"
#include "disk/sector_io.h"
#include "fs/fat_scan.h"

namespace orvaldi::fs {
namespace detail {
namespace {

constexpr uint64_t kFatReadChunk = 8192;  // sectors per read of the FAT copy
// FAT16 cluster numbers are 16 bits: 65,536 entries of 2 bytes.
constexpr uint32_t kMaxFat16Sectors = 256;

bool IsPowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

}  // namespace

bool StartsDirectory(std::span<const uint8_t> b) {
  return b.size() >= 64 && b[0] == '.' && b[0x20] == '.' && b[0x21] == '.';
}

bool DotSizesEmpty(std::span<const uint8_t> b, bool fat32) {
  const disk::ByteView v(b);
  const disk::fat::DirEntry dot(v.sub(0, disk::fat::kEntryBytes));
  const disk::fat::DirEntry dotDot(v.sub(disk::fat::kEntryBytes, disk::fat::kEntryBytes));
  if (fat32) return dot.size() == 0 && dotDot.size() == 0;
  return dotDot.clusterHigh() == 0 && static_cast<uint16_t>(dotDot.size()) == 0;
}

std::string PathOf(const FatNode& node) {
  std::vector<const std::string*> names;
  for (const FatNode* n = &node; n != nullptr; n = n->parent) names.push_back(&n->name);
  std::string path;
  for (auto it = names.rbegin(); it != names.rend(); ++it) {
    if (!path.empty()) path += '/';
    path += **it;
  }
  return path;
}

bool FatScan::readSectors(uint64_t sector, uint64_t count, uint8_t* out) {
  return disk::ReadVolumeSectors(source_, &part_, sector, count, out);
}

void FatScan::readSalvaging(uint64_t sector, uint64_t count, uint8_t* out, std::vector<uint64_t>& bad) {
  if (sourceEnd_ != 0 && count != 0 && sector + count > sourceEnd_) {
    // Past the end of a short image nothing can be read: no need to try.
    const uint64_t inside = sector < sourceEnd_ ? sourceEnd_ - sector : 0;
    readSalvaging(sector, inside, out, bad);
    std::memset(out + inside * kSector, 0, (count - inside) * kSector);
    for (uint64_t s = sector + inside; s < sector + count; ++s) bad.push_back(s);
    return;
  }
  if (count == 0 || readSectors(sector, count, out)) return;
  if (count == 1) {
    bad.push_back(sector);
    return;
  }
  const uint64_t half = count / 2;
  readSalvaging(sector, half, out, bad);
  readSalvaging(sector + half, count - half, out + half * kSector, bad);
}

std::vector<uint8_t> FatScan::readDirectory(uint64_t sector, uint64_t count, const std::string& where,
                                            bool* firstSectorRead) {
  std::vector<uint8_t> buf(count * kSector);
  std::vector<uint64_t> bad;
  readSalvaging(sector, count, buf.data(), bad);
  if (!bad.empty()) noteProblem(where, bad.front());
  if (firstSectorRead) *firstSectorRead = bad.empty() || bad.front() != sector;
  return buf;
}

uint32_t FatScan::nextInChain(uint32_t cluster, const FatNode& folder) {
  const disk::FatEntries entries = fat();
  if (!state_.entryRead(entries, cluster)) {
    noteProblem(PathOf(folder), geo_.fatStart() + entries.sectorOf(cluster, kSector));
    return 0;
  }
  const uint32_t next = entries[cluster];
  return entries.isCluster(next) ? next : 0;
}

bool FatScan::countStep() {
  ++count_;
  progress_.setText(std::to_string(count_) + " 项被找到");
  progress_.step();
  if (progress_.cancelled()) cancelled_ = true;
  return !cancelled_;
}

// The boot sector's numbers, when it is one and they make sense. Nonsense
// values make the boot sector as good as absent; so does a FAT that its own
// volume could not hold, since the FAT copy is sized from it.
bool FatScan::readBootSector() {
  std::vector<uint8_t> boot(kSector);
  readSectors(part_.startSector, 1, boot.data());
  if (!(fat32_ ? disk::IsFat32BootSector(boot) : disk::IsFat16BootSector(boot))) return false;
  auto geometry = disk::FatGeometry::FromBootSector(boot, fat32_, {part_.startSector, part_.sectorCount, sourceEnd_});
  if (!geometry) return false;
  geo_ = *geometry;
  return true;
}

// A search already measured this volume: take its numbers as they are.
bool FatScan::takeSearchedGeometry() {
  auto geometry = disk::FatGeometry::FromSearch(part_, fat32_);
  if (!geometry) return false;
  geo_ = *geometry;
  return true;
}

bool FatScan::prepare() {
  if (source_ == nullptr) return false;
  if (part_.volumeKind == disk::VolumeKind::kPlain) sourceEnd_ = source_->size() / kSector;
  if (readBootSector()) {
    part_.bytesPerSector = geo_.volumeBytesPerSector;
    part_.sectorsPerCluster = geo_.sectorsPerCluster;
    part_.fatSizeSectors = geo_.fatSize;
  } else if (part_.fatSizeSectors == 0) {
    if (!rebuildGeometry()) return false;
  } else if (!takeSearchedGeometry()) {
    return false;
  }
  if (part_.sectorsPerCluster == 0 || part_.fatSizeSectors == 0) return false;
  return sizeTables();
}

// Where cluster 0 lies, how many clusters the FAT copy and the volume hold,
// and the per-cluster tables.
bool FatScan::sizeTables() {
  if (part_.clusterZeroSector == 0) {
    const auto zero = geo_.clusterZeroSector();
    if (!zero) return false;
    part_.clusterZeroSector = *zero;
  }
  // The FAT copy (and every per-cluster table) holds no more entries than
  // cluster numbers can reach: a size measured over a whole disk's range may
  // claim more. Nor does it reach past the end of an image, where nothing can
  // be read; the clusters whose entries are cut off lie past that end too,
  // behind the FATs.
  fatSectorsHeld_ = std::min<uint64_t>(part_.fatSizeSectors, fat32_ ? disk::kMaxFat32FatSectors : kMaxFat16Sectors);
  if (sourceEnd_ != 0) {
    const uint64_t fatStart = geo_.fatStart();
    if (fatStart >= sourceEnd_) return false;
    fatSectorsHeld_ = std::min<uint64_t>(fatSectorsHeld_, sourceEnd_ - fatStart);
  }
  clusterCount_ = static_cast<uint32_t>(fatSectorsHeld_ * kSector / (fat32_ ? 4 : 2));
  clusterLimit_ = clusterCount_;
  if (part_.sectorCount != 0) {
    const uint64_t end = part_.startSector + part_.sectorCount;
    const uint64_t inVolume =
        end > part_.clusterZeroSector ? (end - part_.clusterZeroSector) / part_.sectorsPerCluster : 0;
    clusterLimit_ = static_cast<uint32_t>(std::min<uint64_t>(clusterLimit_, inVolume));
  }
  readLive_.assign(clusterCount_, false);
  readDeleted_.assign(clusterCount_, false);
  onPath_.assign(clusterCount_, false);
  return true;
}

// The first sector, from `from` on in `blocks` reads of `block` sectors, that
// starts a FAT: the media mark and the end marks of entries 0 and 1. 0 when none.
uint64_t FatScan::findFatStart(uint64_t from, uint32_t block, uint32_t blocks) {
  // The sweep's test: mkfs.fat leaves 0x0FFFFFFF in FAT32 entry 1, not 0xFFFFFFFF.
  auto isFatStart = [&](const uint8_t* s) { return fat32_ ? disk::IsFat32TableStart(s) : disk::IsFat16TableStart(s); };
  std::vector<uint8_t> buf(size_t{block} * kSector);
  for (uint32_t i = 0; i < blocks; ++i) {
    const uint64_t at = from + uint64_t{i} * block;
    readSectors(at, block, buf.data());
    for (uint32_t s = 0; s < block; ++s)
      if (isFatStart(buf.data() + size_t{s} * kSector)) return at + s;
  }
  return 0;
}

// Without a boot sector the two FATs give the reserved area and the FAT size,
// and the first folder's "." entry the cluster size.
bool FatScan::rebuildGeometry() {
  const uint64_t start = part_.startSector;
  const uint64_t firstFat = findFatStart(start + 1, fat32_ ? 38 : 36, fat32_ ? 100 : 1);
  if (firstFat == 0) return false;
  const uint64_t secondFat = findFatStart(firstFat + 1, fat32_ ? 2050 : 2048, fat32_ ? 5 : 1);
  if (secondFat == 0) return false;
  const disk::FatVolumeBounds bounds{start, part_.sectorCount, sourceEnd_};
  const auto reserved = static_cast<uint32_t>(firstFat - start);
  const auto fatSize = static_cast<uint32_t>(secondFat - firstFat);
  part_.fatSizeSectors = fatSize;
  part_.bytesPerSector = kSector;
  if (fat32_ || part_.sectorsPerCluster == 0) {
    const uint64_t dataStart = disk::FatGeometry::Rebuilt(fat32_, bounds, reserved, fatSize, 0).dataStart;
    if (!findClusterSize(dataStart)) return false;
  }
  geo_ = disk::FatGeometry::Rebuilt(fat32_, bounds, reserved, fatSize, part_.sectorsPerCluster);
  return true;
}

bool FatScan::findClusterSize(uint64_t dataStart) {
  constexpr uint32_t kBlock = 4096;
  constexpr uint64_t kGiveUp = 4194304;
  std::vector<uint8_t> buf(size_t{kBlock} * kSector);
  const uint64_t searchStart = dataStart + 1;
  for (uint64_t done = 0; done < kGiveUp; done += kBlock) {
    readSectors(searchStart + done, kBlock, buf.data());
    for (uint32_t s = 0; s < kBlock; ++s) {
      const std::span<const uint8_t> sector(buf.data() + size_t{s} * kSector, kSector);
      if (!StartsDirectory(sector)) continue;
      const uint32_t cluster = disk::fat::DirEntry(disk::ByteView(sector)).firstCluster();
      if (cluster <= 2) continue;
      uint64_t spc = (done + s + 1) / (cluster - 2);
      if (fat32_) spc &= 0xFF;
      if (!IsPowerOfTwo(static_cast<uint32_t>(spc)) || spc > 128) return false;
      part_.sectorsPerCluster = static_cast<uint32_t>(spc);
      return true;
    }
    if (progress_.cancelled()) return false;
  }
  return false;
}

// The first FAT copy into memory. A sector it cannot give is taken from the
// next copy that can: a chain read from a zeroed sector would end early and
// lose the files behind it. Sectors no copy gives are kept in the state.
void FatScan::readFat() {
  const uint64_t fatStart = geo_.fatStart();
  const uint64_t sectors = fatSectorsHeld_;
  state_.fatCopy.assign(sectors * kSector, 0);
  std::vector<uint64_t> bad;
  for (uint64_t done = 0; done < sectors; done += kFatReadChunk) {
    const uint64_t n = std::min(kFatReadChunk, sectors - done);
    readSalvaging(fatStart + done, n, state_.fatCopy.data() + done * kSector, bad);
  }
  std::vector<uint64_t> missing;  // counted from the first copy's start
  missing.reserve(bad.size());
  for (uint64_t sector : bad) missing.push_back(sector - fatStart);
  fillFromOtherCopies(fatStart, missing);
  // A FAT size is a 32-bit count of sectors, so its indices fit.
  state_.unreadableFatSectors.clear();
  for (uint64_t sector : missing) state_.unreadableFatSectors.push_back(static_cast<uint32_t>(sector));
}

// Reads the `missing` sectors of the first copy from the later copies, runs
// of neighbouring sectors together; what no copy gives stays in `missing`.
void FatScan::fillFromOtherCopies(uint64_t fatStart, std::vector<uint64_t>& missing) {
  uint8_t* fat = state_.fatCopy.data();
  std::vector<uint8_t> run;
  for (uint32_t copy = 1; copy < geo_.fatCount && !missing.empty(); ++copy) {
    const uint64_t copyStart = fatStart + uint64_t{copy} * geo_.fatSize;
    std::vector<uint64_t> still;
    for (size_t i = 0; i < missing.size();) {
      size_t j = i + 1;
      while (j < missing.size() && missing[j] == missing[j - 1] + 1) ++j;
      const uint64_t first = missing[i];
      const uint64_t count = j - i;
      run.assign(count * kSector, 0);
      std::vector<uint64_t> unread;
      readSalvaging(copyStart + first, count, run.data(), unread);
      size_t u = 0;
      for (uint64_t k = 0; k < count; ++k) {
        if (u < unread.size() && unread[u] == copyStart + first + k) {
          still.push_back(first + k);
          ++u;
        } else {
          std::memcpy(fat + (first + k) * kSector, run.data() + k * kSector, kSector);
        }
      }
      i = j;
    }
    missing.swap(still);
  }
}

void FatScan::run(FatMode mode) {
  // The full-disk scan's directory sectors steer the reader when they reach
  // into this partition.
  const auto& dirs = disk_.directorySectors;
  auto first = dirs.upper_bound(part_.startSector);
  if (first != dirs.end() && part_.sectorCount != 0 && *first < part_.startSector + part_.sectorCount) {
    listMethod(false);
  } else if (part_.origin == disk::PartitionOrigin::kRebuilt && !dirs.empty()) {
    listMethod(true);
  } else if (mode == FatMode::kWalk) {
    walk();
  } else {
    search();
  }
}

}  // namespace detail

bool ScanFatVolume(platform::SectorSource* source, const disk::DiskInfo& disk, disk::PartitionInfo& partition,
                   bool fat32, FatMode mode, platform::ProgressBlock& progress) {
  detail::FatScan scan(source, disk, partition, fat32, progress);
  if (!scan.prepare()) return false;
  scan.run(mode);
  return true;
}

}  // namespace orvaldi::fs
