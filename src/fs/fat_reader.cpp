// FAT16/FAT32 reader: geometry (read or rebuilt), walk and search modes, list methods.
#include "fs/fat_reader.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "disk/bytes.h"
#include "disk/fat_directory.h"
#include "disk/recognisers.h"
#include "disk/sector_io.h"
#include "fs/fat_state.h"
#include "platform/text.h"

namespace orvaldi::fs {
namespace {

using disk::ByteView;
using disk::PartitionInfo;
using platform::SectorSource;

constexpr uint32_t kSector = 512;
// Deeper folders are listed but not entered: it keeps the recursion on a
// normal thread stack, and no real volume nests this deep.
constexpr int kMaxDepth = 1000;
constexpr uint32_t kSearchBatchClusters = 384;
constexpr uint64_t kFatReadChunk = 8192;  // sectors per read of the FAT copy
// FAT32 numbers at most 0x0FFFFFF6 clusters: 4-byte entries fill this many sectors.
constexpr uint32_t kMaxFat32Sectors = 0x200000;
// FAT16 cluster numbers are 16 bits: 65,536 entries of 2 bytes.
constexpr uint32_t kMaxFat16Sectors = 256;

struct Geometry {
  uint32_t sectorsPerCluster = 0;
  uint32_t reservedSectors = 0;
  uint32_t fatCount = 2;
  uint32_t rootEntries = 512;
  uint32_t fatSize = 0;
  uint32_t rootCluster = 2;
};

bool IsPowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

// A directory's first cluster begins with "." and has ".." in its second entry.
bool StartsDirectory(std::span<const uint8_t> b) {
  return b.size() >= 64 && b[0] == '.' && b[0x20] == '.' && b[0x21] == '.';
}

bool IsDotEntry(const uint8_t* e) {
  static const char kDot[] = ".          ";
  static const char kDotDot[] = "..         ";
  return std::memcmp(e, kDot, 11) == 0 || std::memcmp(e, kDotDot, 11) == 0;
}

// Collects the long-name pieces that precede a short entry.
class LongNameRun {
 public:
  static constexpr int kMaxPieces = 20;

  void reset() {
    units_.clear();
    active_ = false;
    deleted_ = false;
    expected_ = 0;
    pieces_ = 0;
  }
  void add(const uint8_t* e) {
    const bool deleted = e[0] == 0xE5;
    if (!deleted && (e[0] & 0x40)) {
      // A live chain starts at the piece marked 0x40 (the name's last piece).
      reset();
      active_ = true;
      expected_ = e[0] & 0x3F;
    } else if (deleted) {
      // A deleted chain has lost its marks and runs while pieces follow.
      if (!active_ || !deleted_) {
        reset();
        active_ = true;
        deleted_ = true;
      }
    } else if (!active_ || deleted_) {
      reset();  // a live piece without its start belongs to no chain
      return;
    }
    // A name has at most 20 pieces (255 characters); a longer run of
    // long-name entries is junk, and letting it grow costs quadratic time.
    if (pieces_ == kMaxPieces) {
      reset();
      return;
    }
    // Pieces come last-first; each new piece goes in front.
    static const int kOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    uint16_t piece[13];
    for (int i = 0; i < 13; ++i) piece[i] = static_cast<uint16_t>(e[kOffsets[i]] | (e[kOffsets[i] + 1] << 8));
    units_.insert(units_.begin(), piece, piece + 13);
    ++pieces_;
  }
  // The assembled name for a short entry of the given state, if the run fits it.
  bool take(bool deletedEntry, std::string& name) {
    const bool usable = active_ && deleted_ == deletedEntry && (deletedEntry || pieces_ == expected_);
    if (usable) {
      std::u16string text;
      // Each piece ends at its first 0x0000 unit; 0xFFFF pads after it.
      for (size_t i = 0; i < units_.size(); ++i) {
        const uint16_t u = units_[i];
        if (u == 0x0000 || u == 0xFFFF) {
          i = (i / 13 + 1) * 13 - 1;  // skip the rest of this piece
          continue;
        }
        text.push_back(static_cast<char16_t>(u));
      }
      name = platform::Utf16ToUtf8(text);
    }
    reset();
    return usable && !name.empty();
  }

 private:
  std::vector<uint16_t> units_;
  bool active_ = false;
  bool deleted_ = false;
  int expected_ = 0;
  int pieces_ = 0;
};

std::string TrimRight(std::string_view s) {
  size_t n = s.size();
  while (n > 0 && s[n - 1] == ' ') --n;
  return std::string(s.substr(0, n));
}

// Byte 0x0C of a short entry: the system that wrote a name stored in one
// case marks a lower-case base (0x08) or extension (0x10) here instead of
// spending long-name entries on it, and shows the name in lower case.
constexpr uint8_t kLowerCaseBase = 0x08;
constexpr uint8_t kLowerCaseExtension = 0x10;

// Only ASCII letters have a lower case in an 8.3 name; multi-byte OEM
// characters pass unchanged.
std::string AsciiLower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// 8.3 name of an entry: name, then "." and the extension when there is one,
// each in lower case when the entry's case bits say so.
// The 0xE5 mark of a deleted entry is kept as the character U+00E5, decoded
// apart from the rest so that it cannot merge with the next byte.
std::string ShortName(const uint8_t* e) {
  std::string base(reinterpret_cast<const char*>(e), 8);
  std::string ext(reinterpret_cast<const char*>(e + 8), 3);
  std::string prefix;
  if (e[0] == 0xE5) {
    prefix = "\xC3\xA5";
    base.erase(0, 1);
  } else if (e[0] == 0x05) {
    base[0] = static_cast<char>(0xE5);  // a name whose first byte really is 0xE5
  }
  std::string name = platform::OemToUtf8(TrimRight(base));
  if (e[0x0C] & kLowerCaseBase) name = AsciiLower(std::move(name));
  name = prefix + name;
  std::string extension = platform::OemToUtf8(TrimRight(ext));
  if (e[0x0C] & kLowerCaseExtension) extension = AsciiLower(std::move(extension));
  if (!extension.empty()) name += "." + extension;
  return name;
}

class FatScan {
 public:
  FatScan(SectorSource* source, const disk::DiskInfo& disk, PartitionInfo& part, bool fat32,
          platform::ProgressBlock& progress)
      : source_(source), disk_(disk), part_(part), fat32_(fat32), progress_(progress), state_(FatStateOf(part)) {}

  bool prepare();
  void run(int mode);

 private:
  bool readSectors(uint64_t sector, uint64_t count, uint8_t* out);
  // Reads what can be read of a stretch: a failed read is repeated in halves
  // down to single sectors, so only the unreadable sectors stay zero. Their
  // numbers are appended to `bad` in ascending order. At most about two
  // reads per sector of the stretch, however much of it is bad.
  void readSalvaging(uint64_t sector, uint64_t count, uint8_t* out, std::vector<uint64_t>& bad);
  // A directory's bytes with its unreadable sectors zero; the first of them
  // is noted as a read problem of `where`. `firstSectorRead` tells whether
  // the first sector (the one that holds "." and "..") arrived.
  std::vector<uint8_t> readDirectory(uint64_t sector, uint64_t count, const std::string& where,
                                     bool* firstSectorRead = nullptr);
  std::vector<uint8_t> readCluster(uint32_t cluster, const std::string& where, bool* firstSectorRead = nullptr) {
    return readDirectory(clusterSector(cluster), part_.sectorsPerCluster, where, firstSectorRead);
  }
  void noteProblem(const std::string& where, uint64_t sector) { state_.readProblems.push_back({where, sector}); }
  uint64_t clusterSector(uint32_t cluster) const {
    return part_.clusterZeroSector + uint64_t{cluster} * part_.sectorsPerCluster;
  }
  bool inVolume(uint32_t cluster) const { return cluster >= 2 && cluster < clusterLimit_; }
  // Directory clusters read so far, by existing and by deleted folders. A
  // deleted folder may read a cluster an existing folder read (its cluster
  // was reused) and the other way round, but never one on its own path from
  // the root: each cluster is read at most once per kind, so walks end.
  bool wasRead(uint32_t cluster) const {
    return cluster < readLive_.size() && (readLive_[cluster] || readDeleted_[cluster]);
  }
  bool mayEnter(uint32_t cluster, bool live) const {
    if (cluster >= readLive_.size() || onPath_[cluster]) return false;
    return live ? !readLive_[cluster] : !readDeleted_[cluster];
  }
  void markRead(uint32_t cluster, bool live) {
    if (cluster >= readLive_.size()) return;
    (live ? readLive_ : readDeleted_)[cluster] = true;
  }
  // The searches take a cluster once, whoever would read it.
  void markReadByAll(uint32_t cluster) {
    markRead(cluster, true);
    markRead(cluster, false);
  }
  uint32_t nextInChain(uint32_t cluster) const;
  bool chainEnds(uint32_t next) const;
  // Whether the FAT entry of `cluster` came from some copy of the FAT. When
  // it did not, the folder being walked is noted as read in part, at the
  // FAT sector that no copy gave.
  bool linkKnown(uint32_t cluster, const FatNode& folder);
  // Counts one directory cluster, shows the count, steps the bar; false when cancelled.
  bool countStep();

  bool rebuildGeometry();
  bool findClusterSize(uint64_t dataStart);
  void readFat();

  void walk();
  void search();
  void listMethod(bool strict);

  // `run` carries a long name across the clusters of one directory.
  void parseDirectory(std::span<const uint8_t> buf, FatNode& parent, bool useFat, int depth, LongNameRun& run);
  void parseDirectory(std::span<const uint8_t> buf, FatNode& parent, bool useFat, int depth) {
    LongNameRun run;
    parseDirectory(buf, parent, useFat, depth, run);
  }
  // `live` is the folder entry's own mark, which picks the set of clusters
  // read (a folder inside a deleted one is deleted, yet its entry may be live).
  void enterFolder(FatNode& folder, const FatNode& parent, bool useFat, bool live, int depth);
  bool findDeletedFolder(const uint8_t* entry, const FatNode& parent, bool viaLongName, FatNode& node,
                         std::vector<uint8_t>& cluster);
  FatNode* addNode(FatNode& parent, FatNode node);

  SectorSource* source_;
  const disk::DiskInfo& disk_;
  PartitionInfo& part_;
  bool fat32_;
  platform::ProgressBlock& progress_;
  FatScanState& state_;
  Geometry geo_;
  uint32_t clusterCount_ = 0;  // FAT entries: the upper bound of every cluster number
  uint32_t clusterLimit_ = 0;  // first cluster number past the volume's data area
  uint64_t fatSectorsHeld_ = 0;  // sectors of the FAT that lie inside the source
  std::vector<bool> readLive_;
  std::vector<bool> readDeleted_;
  std::vector<bool> onPath_;  // clusters of the folders being read, root to here
  int count_ = 0;
  bool cancelled_ = false;
  uint64_t sourceEnd_ = 0;  // sectors in a plain source; 0 when unknown or read through a volume mapping
};

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

// The path of a folder as listings show it, for read-problem notes.
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

uint32_t FatScan::nextInChain(uint32_t cluster) const {
  const ByteView fat(state_.fatCopy);
  if (fat32_) return fat.contains(uint64_t{cluster} * 4, 4) ? fat.le32(uint64_t{cluster} * 4) & 0x0FFFFFFF : 0;
  return fat.contains(uint64_t{cluster} * 2, 2) ? fat.le16(uint64_t{cluster} * 2) : 0;
}

bool FatScan::linkKnown(uint32_t cluster, const FatNode& folder) {
  const auto& missing = state_.unreadableFatSectors;
  if (missing.empty()) return true;
  const uint64_t fatSector = uint64_t{cluster} * (fat32_ ? 4 : 2) / kSector;
  if (!std::binary_search(missing.begin(), missing.end(), fatSector)) return true;
  noteProblem(PathOf(folder), part_.startSector + geo_.reservedSectors + fatSector);
  return false;
}

bool FatScan::chainEnds(uint32_t next) const {
  return next == (fat32_ ? 0x0FFFFFFFu : 0xFFFFu) || next < 2 || next >= clusterCount_;
}

bool FatScan::countStep() {
  ++count_;
  progress_.setText("%d 项被找到", count_);
  progress_.step();
  if (progress_.cancelled()) cancelled_ = true;
  return !cancelled_;
}

bool FatScan::prepare() {
  if (part_.volumeKind == disk::VolumeKind::kPlain && source_ == nullptr) return false;
  if (part_.volumeKind == disk::VolumeKind::kPlain) sourceEnd_ = source_->size() / kSector;
  std::vector<uint8_t> boot(kSector);
  readSectors(part_.startSector, 1, boot.data());
  const ByteView b(boot);
  const bool recognised = fat32_ ? disk::IsFat32BootSector(boot) : disk::IsFat16BootSector(boot);
  bool usable = recognised;
  if (recognised) {
    geo_.sectorsPerCluster = b.u8(0x0D);
    geo_.reservedSectors = b.le16(0x0E);
    geo_.fatCount = b.u8(0x10);
    geo_.rootEntries = b.le16(0x11);
    geo_.fatSize = fat32_ ? b.le32(0x24) : b.le16(0x16);
    geo_.rootCluster = fat32_ ? b.le32(0x2C) : 0;
    // Nonsense values make the boot sector as good as absent. So does a FAT
    // that its own volume could not hold: the FAT copy is sized from it.
    const uint64_t fatArea = geo_.reservedSectors + uint64_t{geo_.fatCount} * geo_.fatSize;
    usable = IsPowerOfTwo(geo_.sectorsPerCluster) && geo_.reservedSectors != 0 && geo_.fatCount != 0 &&
             geo_.fatSize != 0 && geo_.fatSize <= (fat32_ ? kMaxFat32Sectors : 0xFFFFu) &&
             (part_.sectorCount == 0 || fatArea < part_.sectorCount) &&
             (sourceEnd_ == 0 || part_.startSector + geo_.reservedSectors < sourceEnd_) &&
             (fat32_ ? geo_.rootCluster >= 2 : true);
  }
  if (usable) {
    part_.bytesPerSector = kSector;
    part_.sectorsPerCluster = geo_.sectorsPerCluster;
    part_.fatSizeSectors = geo_.fatSize;
  } else if (part_.fatSizeSectors == 0) {
    if (!rebuildGeometry()) return false;
  } else {
    // A search already measured this volume: take its numbers as they are.
    if (part_.sectorsPerCluster == 0 || part_.clusterZeroSector == 0) return false;
    geo_.sectorsPerCluster = part_.sectorsPerCluster;
    geo_.fatSize = part_.fatSizeSectors;
    const uint64_t dataStart = part_.clusterZeroSector + 2ull * part_.sectorsPerCluster;
    const uint64_t beforeData = uint64_t{geo_.fatCount} * geo_.fatSize + (fat32_ ? 0 : 32);
    if (dataStart < part_.startSector + beforeData) return false;
    geo_.reservedSectors = static_cast<uint32_t>(dataStart - beforeData - part_.startSector);
  }
  if (part_.sectorsPerCluster == 0 || part_.fatSizeSectors == 0) return false;

  if (part_.clusterZeroSector == 0) {
    const uint64_t rootSectors = fat32_ ? 0 : uint64_t{geo_.rootEntries} * 32 / kSector;
    const uint64_t dataStart =
        part_.startSector + geo_.reservedSectors + uint64_t{geo_.fatCount} * geo_.fatSize + rootSectors;
    const uint64_t twoClusters = 2ull * part_.sectorsPerCluster;
    if (dataStart < twoClusters) return false;
    part_.clusterZeroSector = dataStart - twoClusters;
  }
  // The FAT copy (and every per-cluster table) holds no more entries than
  // cluster numbers can reach: a size measured over a whole disk's range may
  // claim more. Nor does it reach past the end of an image, where nothing can
  // be read; the clusters whose entries are cut off lie past that end too,
  // behind the FATs.
  fatSectorsHeld_ = std::min<uint64_t>(part_.fatSizeSectors, fat32_ ? kMaxFat32Sectors : kMaxFat16Sectors);
  if (sourceEnd_ != 0) {
    const uint64_t fatStart = part_.startSector + geo_.reservedSectors;
    if (fatStart >= sourceEnd_) return false;
    fatSectorsHeld_ = std::min<uint64_t>(fatSectorsHeld_, sourceEnd_ - fatStart);
  }
  clusterCount_ = static_cast<uint32_t>(fatSectorsHeld_ * kSector / (fat32_ ? 4 : 2));
  clusterLimit_ = clusterCount_;
  if (part_.sectorCount != 0) {
    const uint64_t end = part_.startSector + part_.sectorCount;
    const uint64_t inVolume = end > part_.clusterZeroSector ? (end - part_.clusterZeroSector) / part_.sectorsPerCluster : 0;
    clusterLimit_ = static_cast<uint32_t>(std::min<uint64_t>(clusterLimit_, inVolume));
  }
  readLive_.assign(clusterCount_, false);
  readDeleted_.assign(clusterCount_, false);
  onPath_.assign(clusterCount_, false);
  return true;
}

bool FatScan::rebuildGeometry() {
  geo_ = Geometry{};
  const uint64_t start = part_.startSector;
  // The first FAT: its first entries are the media mark and the end marks.
  auto isFatStart = [&](const uint8_t* s) {
    if (fat32_) {
      static const uint8_t kSig[8] = {0xF8, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0xFF};
      return std::memcmp(s, kSig, 8) == 0;
    }
    return s[0] == 0xF8 && s[1] == 0xFF && s[2] == 0xFF && (s[3] == 0x7F || s[3] == 0xFF);
  };
  const uint32_t block = fat32_ ? 38 : 36;
  const uint32_t blocks = fat32_ ? 100 : 1;
  std::vector<uint8_t> buf(size_t{block} * kSector);
  uint64_t firstFat = 0;
  for (uint32_t i = 0; i < blocks && firstFat == 0; ++i) {
    const uint64_t at = start + 1 + uint64_t{i} * block;
    readSectors(at, block, buf.data());
    for (uint32_t s = 0; s < block; ++s) {
      if (isFatStart(buf.data() + s * kSector)) {
        firstFat = at + s;
        break;
      }
    }
  }
  if (firstFat == 0) return false;
  geo_.reservedSectors = static_cast<uint32_t>(firstFat - start);

  const uint32_t block2 = fat32_ ? 2050 : 2048;
  const uint32_t blocks2 = fat32_ ? 5 : 1;
  buf.assign(size_t{block2} * kSector, 0);
  uint64_t secondFat = 0;
  for (uint32_t i = 0; i < blocks2 && secondFat == 0; ++i) {
    const uint64_t at = firstFat + 1 + uint64_t{i} * block2;
    readSectors(at, block2, buf.data());
    for (uint32_t s = 0; s < block2; ++s) {
      if (isFatStart(buf.data() + size_t{s} * kSector)) {
        secondFat = at + s;
        break;
      }
    }
  }
  if (secondFat == 0) return false;
  geo_.fatSize = static_cast<uint32_t>(secondFat - firstFat);
  part_.fatSizeSectors = geo_.fatSize;
  part_.bytesPerSector = kSector;

  const uint64_t dataStart = firstFat + 2ull * geo_.fatSize + (fat32_ ? 0 : 32);
  if (fat32_ || part_.sectorsPerCluster == 0) {
    if (!findClusterSize(dataStart)) return false;
  }
  geo_.sectorsPerCluster = part_.sectorsPerCluster;
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
      const uint8_t* p = buf.data() + size_t{s} * kSector;
      if (!StartsDirectory({p, kSector})) continue;
      const ByteView e(p, kSector);
      const uint32_t cluster = (uint32_t{e.le16(0x14)} << 16) | e.le16(0x1A);
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
  const uint64_t fatStart = part_.startSector + geo_.reservedSectors;
  const uint64_t sectors = fatSectorsHeld_;
  state_.fatCopy.assign(sectors * kSector, 0);
  uint8_t* fat = state_.fatCopy.data();
  std::vector<uint64_t> bad;
  for (uint64_t done = 0; done < sectors; done += kFatReadChunk) {
    const uint64_t n = std::min(kFatReadChunk, sectors - done);
    readSalvaging(fatStart + done, n, fat + done * kSector, bad);
  }
  std::vector<uint64_t> missing;  // counted from the first copy's start
  missing.reserve(bad.size());
  for (uint64_t sector : bad) missing.push_back(sector - fatStart);
  std::vector<uint8_t> run;
  for (uint32_t copy = 1; copy < geo_.fatCount && !missing.empty(); ++copy) {
    const uint64_t copyStart = fatStart + uint64_t{copy} * part_.fatSizeSectors;
    std::vector<uint64_t> still;
    // Runs of neighbouring sectors are read together.
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
  // A FAT size is a 32-bit count of sectors, so its indices fit.
  state_.unreadableFatSectors.clear();
  for (uint64_t sector : missing) state_.unreadableFatSectors.push_back(static_cast<uint32_t>(sector));
}

FatNode* FatScan::addNode(FatNode& parent, FatNode node) {
  FatNode* placed = InsertChild(parent, std::move(node));
  (IsDeletedKind(placed->flags) ? state_.deletedIndex : state_.liveIndex).emplace(placed->firstCluster, placed);
  state_.nameIndex.add(placed);
  return placed;
}

void FatScan::parseDirectory(std::span<const uint8_t> buf, FatNode& parent, bool useFat, int depth,
                             LongNameRun& run) {
  size_t off = StartsDirectory(buf) ? 64 : 0;
  for (; off + 32 <= buf.size() && !cancelled_; off += 32) {
    const uint8_t* e = buf.data() + off;
    if (std::all_of(e, e + 16, [](uint8_t b) { return b == 0; })) {
      run.reset();  // an empty slot; the entries after it are still read
      continue;
    }
    const uint8_t attr = e[0x0B];
    if (attr == 0x0F) {
      run.add(e);
      continue;
    }
    const bool isFolder = (attr >= 0x10 && attr <= 0x17) || attr == 0x30 || attr == 0x32 || attr == 0x34 || attr == 0x36;
    const bool isFile = attr <= 0x07 || (attr >= 0x20 && attr <= 0x27);
    const bool deleted = e[0] == 0xE5;
    std::string longName;
    const bool hasLong = run.take(deleted, longName);
    if (!isFolder && !isFile) continue;
    if (IsDotEntry(e)) continue;

    const ByteView v(e, 32);
    FatNode node;
    node.createTime = v.le16(0x0E);
    node.createDate = v.le16(0x10);
    node.modifyTime = v.le16(0x16);
    node.modifyDate = v.le16(0x18);
    node.size = v.le32(0x1C);
    node.firstCluster = (uint32_t{v.le16(0x14)} << 16) | v.le16(0x1A);
    node.name = hasLong ? longName : ShortName(e);
    if (!deleted && isFile && !hasLong && node.firstCluster == 0) continue;
    // Deleting a folder frees its clusters and those of everything in it,
    // whether or not the entries inside were marked: they are deleted too.
    const bool gone = deleted || IsDeletedKind(parent.flags);
    node.flags = gone ? (isFolder ? node_kind::kDeletedFolder : node_kind::kDeletedFile)
                      : (isFolder ? node_kind::kFolder : node_kind::kFile);

    if (deleted && isFolder && fat32_) {
      std::vector<uint8_t> cluster;
      if (!findDeletedFolder(e, parent, hasLong, node, cluster)) continue;
      FatNode* placed = addNode(parent, std::move(node));
      if (!countStep()) return;
      if (depth < kMaxDepth) {
        const uint32_t at = placed->firstCluster;
        onPath_[at] = true;
        parseDirectory(cluster, *placed, false, depth + 1);
        onPath_[at] = false;
      }
      continue;
    }
    FatNode* placed = addNode(parent, std::move(node));
    if (isFolder && depth < kMaxDepth) enterFolder(*placed, parent, useFat && !deleted, !deleted, depth + 1);
  }
}

// Reads a folder's clusters into it: its whole chain through the FAT, or
// just its first cluster when there is no FAT to follow (or it is deleted).
void FatScan::enterFolder(FatNode& folder, const FatNode& parent, bool useFat, bool live, int depth) {
  uint32_t cluster = folder.firstCluster;
  LongNameRun run;
  std::vector<uint32_t> entered;
  const std::string where = PathOf(folder);
  for (uint32_t links = 0; links < clusterCount_; ++links) {
    if (cluster < 2 || cluster == parent.firstCluster) break;
    if (!inVolume(cluster) || !mayEnter(cluster, live)) break;  // off the volume, read already, or a loop
    markRead(cluster, live);
    bool firstSectorRead = true;
    const auto buf = readCluster(cluster, where, &firstSectorRead);
    // A first cluster without "." is not this folder; one that could not be
    // read is noted, and the chain goes on past it.
    if (cluster == folder.firstCluster && firstSectorRead && !StartsDirectory(buf)) break;
    if (!countStep()) break;
    onPath_[cluster] = true;
    entered.push_back(cluster);
    parseDirectory(buf, folder, useFat, depth, run);
    if (cancelled_ || !useFat || !linkKnown(cluster, folder)) break;
    const uint32_t next = nextInChain(cluster);
    if (chainEnds(next)) break;
    cluster = next;
  }
  for (uint32_t c : entered) onPath_[c] = false;
}

// A deleted FAT32 folder may have lost the high word of its first cluster:
// try each high word until a cluster that reads as this folder turns up.
bool FatScan::findDeletedFolder(const uint8_t* entry, const FatNode& parent, bool viaLongName, FatNode& node,
                                std::vector<uint8_t>& cluster) {
  const ByteView e(entry, 32);
  const uint16_t low = e.le16(0x1A);
  const uint16_t ownHigh = e.le16(0x14);
  const uint32_t firstHigh = ownHigh;
  const uint32_t lastHigh = ownHigh != 0 ? ownHigh : (clusterCount_ >> 16);
  uint64_t unreadable = 0;  // the first candidate whose "." could not be read
  for (uint32_t high = firstHigh; high <= lastHigh && !cancelled_; ++high) {
    const uint32_t candidate = (high << 16) | low;
    if (!inVolume(candidate) || wasRead(candidate)) continue;
    std::vector<uint8_t> buf(kSector);
    if (!readSectors(clusterSector(candidate), 1, buf.data())) {
      if (unreadable == 0) unreadable = clusterSector(candidate);
      continue;
    }
    if (!StartsDirectory(buf)) continue;
    const ByteView c(buf);
    const uint32_t dotDot = (uint32_t{c.le16(0x34)} << 16) | c.le16(0x3A);
    if (c.le16(0x1A) != low) continue;
    if (!(dotDot == 0 || dotDot == parent.firstCluster || parent.firstCluster == 2 || ownHigh != 0)) continue;
    markRead(candidate, false);
    node.firstCluster = candidate;
    if (viaLongName) {
      node.createTime = c.le16(0x2E);
      node.createDate = c.le16(0x30);
      node.modifyTime = c.le16(0x36);
      node.modifyDate = c.le16(0x38);
      node.size = c.le32(0x3C);
    }
    cluster = readCluster(candidate, PathOf(parent) + "/" + node.name);
    return true;
  }
  // The folder may lie in the cluster that could not be read.
  if (unreadable != 0) noteProblem(PathOf(parent) + "/" + node.name, unreadable);
  return false;
}

void FatScan::walk() {
  state_.root.firstCluster = fat32_ ? geo_.rootCluster : 0;
  state_.liveIndex.emplace(state_.root.firstCluster, &state_.root);
  progress_.beginStage(fat32_ ? int64_t{part_.fatSizeSectors} * 128 : part_.fatSizeSectors / 2, 1);
  readFat();
  if (fat32_) {
    uint32_t cluster = geo_.rootCluster;
    LongNameRun run;
    for (uint32_t links = 0; links < clusterCount_ && !cancelled_; ++links) {
      if (!inVolume(cluster) || !mayEnter(cluster, true)) break;
      markRead(cluster, true);
      onPath_[cluster] = true;  // the root stays on every path
      parseDirectory(readCluster(cluster, state_.root.name), state_.root, true, 0, run);
      if (!linkKnown(cluster, state_.root)) break;
      const uint32_t next = nextInChain(cluster);
      if (chainEnds(next)) break;
      cluster = next;
    }
  } else {
    const uint64_t rootSector = part_.startSector + geo_.reservedSectors + uint64_t{geo_.fatCount} * geo_.fatSize;
    const uint64_t rootSectors = (uint64_t{geo_.rootEntries} * 32 + kSector - 1) / kSector;
    auto buf = readDirectory(rootSector, rootSectors, state_.root.name);
    buf.resize(size_t{geo_.rootEntries} * 32);
    parseDirectory(buf, state_.root, true, 0);
  }
}

// A cluster that holds directory entries but no "." entry: a later cluster
// of some folder. Its first sector must hold entries; the others may be
// empty, as a folder's last cluster usually is.
bool HoldsDirectoryEntries(std::span<const uint8_t> cluster) {
  if (cluster.size() < kSector || cluster[0] == 0) return false;
  for (size_t at = 0; at + kSector <= cluster.size(); at += kSector)
    if (!disk::IsFatDirectorySector(cluster.subspan(at, kSector))) return false;
  return true;
}

void FatScan::search() {
  const uint32_t first = fat32_ ? geo_.rootCluster + 1 : 2;
  state_.root.firstCluster = fat32_ ? geo_.rootCluster : 0;
  state_.liveIndex.emplace(state_.root.firstCluster, &state_.root);
  progress_.beginStage(int64_t{clusterCount_} - (fat32_ ? geo_.rootCluster + 1 : 3), 1);
  const uint32_t spc = part_.sectorsPerCluster;
  const size_t clusterBytes = size_t{spc} * kSector;
  std::vector<uint8_t> batch;
  std::vector<uint64_t> bad;
  uint64_t lastBad = 0;
  for (uint32_t c = first; c < clusterLimit_ && !cancelled_;) {
    const uint32_t n = std::min(kSearchBatchClusters, clusterLimit_ - c);
    batch.assign(n * clusterBytes, 0);
    bad.clear();
    readSalvaging(clusterSector(c), uint64_t{n} * spc, batch.data(), bad);
    // Whatever an unreadable stretch held, folders included, is missing:
    // one note per stretch.
    for (uint64_t sector : bad) {
      if (sector != lastBad + 1) {
        const uint64_t cluster = (sector - part_.clusterZeroSector) / spc;
        noteProblem("cluster " + std::to_string(cluster), sector);
      }
      lastBad = sector;
    }
    for (uint32_t i = 0; i < n && !cancelled_; ++i) {
      const uint32_t cluster = c + i;
      if (wasRead(cluster)) continue;
      progress_.step();
      if (progress_.cancelled()) {
        cancelled_ = true;
        break;
      }
      const std::span<const uint8_t> bytes(batch.data() + i * clusterBytes, clusterBytes);
      if (StartsDirectory(bytes)) {
        const ByteView b(bytes);
        const bool emptySizes =
            fat32_ ? (b.le32(0x1C) == 0 && b.le32(0x3C) == 0) : (b.le16(0x34) == 0 && b.le16(0x3C) == 0);
        if (!emptySizes) continue;
      } else if (!HoldsDirectoryEntries(bytes)) {
        // Without a FAT nothing leads from a folder's first cluster to its
        // later ones; they are listed on their own, as the first are.
        continue;
      }
      markReadByAll(cluster);
      FatNode folder;
      folder.flags = node_kind::kFolder;
      folder.firstCluster = cluster;
      folder.name = std::to_string(cluster);
      folder.parent = &state_.root;
      state_.root.children.push_back(std::move(folder));
      FatNode* placed = &state_.root.children.back();
      state_.liveIndex.emplace(cluster, placed);
      ++count_;
      progress_.setText("%d 项被找到", count_);
      parseDirectory(bytes, *placed, false, 1);
    }
    c += n;
  }
}

void FatScan::listMethod(bool strict) {
  state_.root.firstCluster = fat32_ ? geo_.rootCluster : (strict ? 0 : 1);
  state_.liveIndex.emplace(state_.root.firstCluster, &state_.root);
  if (!strict) state_.deletedIndex.emplace(0, &state_.orphans);
  const uint32_t spc = part_.sectorsPerCluster;
  const uint64_t zero = part_.clusterZeroSector;
  const uint64_t partEnd = part_.startSector + part_.sectorCount;
  const uint64_t dataStart = zero + 2ull * spc;
  const uint64_t dataEnd = std::min<uint64_t>(zero + uint64_t{clusterLimit_} * spc, partEnd);
  std::vector<uint32_t> clusters;
  for (uint64_t sector : disk_.directorySectors) {
    if (sector < zero || (sector - zero) % spc != 0) continue;
    if (strict ? (sector < dataStart || sector >= dataEnd) : (sector <= part_.startSector || sector >= partEnd)) continue;
    const uint64_t cluster = (sector - zero) / spc;
    if (cluster >= 2 && cluster < clusterLimit_) clusters.push_back(static_cast<uint32_t>(cluster));
  }
  progress_.beginStage(strict ? static_cast<int64_t>(disk_.directorySectors.size()) : static_cast<int64_t>(clusters.size()), 1);
  for (uint32_t cluster : clusters) {
    if (cancelled_) return;
    if (wasRead(cluster)) continue;
    markReadByAll(cluster);
    const auto buf = readCluster(cluster, "cluster " + std::to_string(cluster));
    if (!countStep()) return;
    if (fat32_ && cluster == geo_.rootCluster) {
      parseDirectory(buf, state_.root, false, 0);
      continue;
    }
    const bool isStart = StartsDirectory(buf);
    if (strict) {
      const ByteView b(buf);
      const bool emptySizes = fat32_ ? (b.le32(0x1C) == 0 && b.le32(0x3C) == 0) : (b.le16(0x34) == 0 && b.le16(0x3C) == 0);
      if (!isStart || !emptySizes) continue;
    }
    FatNode folder;
    folder.flags = node_kind::kFolder;
    folder.firstCluster = cluster;
    folder.name = std::to_string(cluster);
    FatNode* placed = InsertChild(isStart ? state_.root : state_.orphans, std::move(folder));
    state_.liveIndex.emplace(cluster, placed);
    parseDirectory(buf, *placed, false, 1);
  }
}

void FatScan::run(int mode) {
  // The full-disk scan's directory sectors steer the reader when they reach
  // into this partition.
  const auto& dirs = disk_.directorySectors;
  auto first = dirs.upper_bound(part_.startSector);
  if (first != dirs.end() && part_.sectorCount != 0 && *first < part_.startSector + part_.sectorCount) {
    listMethod(false);
  } else if (part_.origin == disk::PartitionOrigin::kRebuilt && !dirs.empty()) {
    listMethod(true);
  } else if (mode != kFatModeSearch) {
    walk();
  } else {
    search();
  }
}

void ScanWithOpenedSource(const disk::DiskInfo& disk, disk::PartitionInfo& partition, bool fat32, int mode,
                          platform::ProgressBlock& progress) {
  std::unique_ptr<SectorSource> source;
  if (partition.volumeKind == disk::VolumeKind::kPlain) {
    source = disk::OpenSource(disk);
    if (!source) return;
  }
  ScanFatVolume(source.get(), disk, partition, fat32, mode, progress);
}

}  // namespace

void ScanFatVolume(SectorSource* source, const disk::DiskInfo& disk, disk::PartitionInfo& partition, bool fat32,
                   int mode, platform::ProgressBlock& progress) {
  FatScan scan(source, disk, partition, fat32, progress);
  if (!scan.prepare()) return;
  scan.run(mode);
}

void ScanFat32(const disk::DiskInfo& disk, disk::PartitionInfo& partition, int mode,
               platform::ProgressBlock& progress) {
  ScanWithOpenedSource(disk, partition, true, mode, progress);
}

void ScanFat16(const disk::DiskInfo& disk, disk::PartitionInfo& partition, int mode,
               platform::ProgressBlock& progress) {
  ScanWithOpenedSource(disk, partition, false, mode, progress);
}

}  // namespace orvaldi::fs
