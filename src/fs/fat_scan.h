// Inside the FAT reader: one scan of one volume, shared by the geometry and
// FAT reading, the directory walk and the cluster searches.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "disk/disk_info.h"
#include "disk/fat_entry.h"
#include "disk/fat_geometry.h"
#include "disk/fat_layout.h"
#include "fs/fat_reader.h"
#include "fs/fat_state.h"
#include "platform/progress.h"
#include "platform/sector_source.h"
#include "platform/text.h"

namespace orvaldi::fs::detail {

inline constexpr uint32_t kSector = 512;
// Deeper folders are listed but not entered: it keeps the recursion on a
// normal thread stack, and no real volume nests this deep.
inline constexpr int kMaxDepth = 1000;

// A directory's first cluster begins with "." and has ".." in its second entry.
bool StartsDirectory(std::span<const uint8_t> b);
// The "." and ".." entries of a folder's first cluster carry no size; the
// searches take a cluster whose "." claims one for file data. On FAT16 the
// test is the one the searches have always made: ".."'s high cluster word
// and the low half of its size.
bool DotSizesEmpty(std::span<const uint8_t> b, bool fat32);
// A cluster that holds directory entries but no "." entry: a later cluster
// of some folder. Its first sector must hold entries; the others may be
// empty, as a folder's last cluster usually is.
bool HoldsDirectoryEntries(std::span<const uint8_t> cluster);
// The path of a folder as listings show it, for read-problem notes.
std::string PathOf(const FatNode& node);

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
  void add(const disk::fat::LongNameEntry& e) {
    const bool deleted = e.order() == disk::fat::kDeletedMark;
    if (!deleted && (e.order() & disk::fat::LongNameEntry::kLastPiece)) {
      // A live chain starts at the piece marked 0x40 (the name's last piece).
      reset();
      active_ = true;
      expected_ = e.order() & 0x3F;
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
    uint16_t piece[disk::fat::LongNameEntry::kUnits];
    for (int i = 0; i < disk::fat::LongNameEntry::kUnits; ++i) piece[i] = e.unit(i);
    units_.insert(units_.begin(), piece, piece + disk::fat::LongNameEntry::kUnits);
    ++pieces_;
  }
  // The assembled name for a short entry of the given state, if the run fits it.
  bool take(bool deletedEntry, std::string& name) {
    const bool usable = active_ && deleted_ == deletedEntry && (deletedEntry || pieces_ == expected_);
    if (usable) {
      constexpr size_t kUnits = disk::fat::LongNameEntry::kUnits;
      std::u16string text;
      // Each piece ends at its first 0x0000 unit; 0xFFFF pads after it.
      for (size_t i = 0; i < units_.size(); ++i) {
        const uint16_t u = units_[i];
        if (u == 0x0000 || u == 0xFFFF) {
          i = (i / kUnits + 1) * kUnits - 1;  // skip the rest of this piece
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

// The scan's working state. A scan is owned by the one thread that runs it.
class FatScan {
 public:
  FatScan(platform::SectorSource* source, const disk::DiskInfo& disk, disk::PartitionInfo& part, bool fat32,
          platform::ProgressBlock& progress)
      : source_(source), disk_(disk), part_(part), fat32_(fat32), progress_(progress), state_(FatStateOf(part)) {}

  // Finds the geometry (from the boot sector, an earlier search, or the FATs
  // themselves) and sizes the per-cluster tables; false when it cannot.
  bool prepare();
  void run(FatMode mode);

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
  disk::FatEntries fat() const { return disk::FatEntries(state_.fatCopy, fat32_); }
  // The cluster after `cluster` in its chain, or 0 when the chain ends there:
  // at an end or bad-cluster mark, a free or reserved entry, or past the FAT.
  // An entry in a FAT sector that no copy gave is not known: the folder being
  // walked is noted as read in part at that sector, and the chain ends too.
  uint32_t nextInChain(uint32_t cluster, const FatNode& folder);
  // Whether the FAT copy was read and says `cluster` is free, or in use by
  // some chain; an entry no copy gave says neither.
  bool knownFree(uint32_t cluster) const {
    return !state_.fatCopy.empty() && state_.entryRead(fat(), cluster) && fat()[cluster] == 0;
  }
  bool knownInUse(uint32_t cluster) const {
    return !state_.fatCopy.empty() && state_.entryRead(fat(), cluster) && fat()[cluster] != 0;
  }
  // The cluster after `cluster` of a deleted folder, whose chain is gone:
  // the next one on the disk when the FAT has it free and it reads as more
  // entries of a folder (not the start of another). 0 when there is none.
  // `buf` receives its bytes.
  uint32_t nextFreedCluster(uint32_t cluster, const FatNode& folder, std::vector<uint8_t>& buf);
  // Counts one directory cluster, shows the count, steps the bar; false when cancelled.
  bool countStep();

  bool readBootSector();
  bool takeSearchedGeometry();
  bool sizeTables();
  bool rebuildGeometry();
  uint64_t findFatStart(uint64_t from, uint32_t block, uint32_t blocks);
  bool findClusterSize(uint64_t dataStart);
  void readFat();
  // Reads the FAT copy for a volume whose geometry was rebuilt or searched
  // for, and keeps it when it reads as a FAT (see fat_search.cpp); false,
  // with no copy kept, when it does not.
  bool readFatIfSound();
  void fillFromOtherCopies(uint64_t fatStart, std::vector<uint64_t>& missing);

  void walk();
  // The root's own directory: its chain (FAT32) or the fixed region (FAT16),
  // folders entered through the FAT copy.
  void walkRoot();
  void search();
  void searchBatch(uint32_t first, std::span<const uint8_t> batch, uint32_t clusters);
  void listMethod(bool strict);
  void readListedChain(FatNode& folder, std::vector<uint8_t> buf);

  // `run` carries a long name across the clusters of one directory.
  void parseDirectory(std::span<const uint8_t> buf, FatNode& parent, bool useFat, int depth, LongNameRun& run);
  void parseDirectory(std::span<const uint8_t> buf, FatNode& parent, bool useFat, int depth);
  // `live` is the folder entry's own mark, which picks the set of clusters
  // read (a folder inside a deleted one is deleted, yet its entry may be live).
  void enterFolder(FatNode& folder, const FatNode& parent, bool useFat, bool live, int depth);
  void enterDeletedFolder(std::span<const uint8_t> entry, FatNode& parent, bool viaLongName, FatNode node, int depth);
  // Whether a cluster reads as the deleted folder `entry` names: found sets
  // `node`'s first cluster and fills `cluster`; a folder whose cluster now
  // belongs to a live chain is found with `cluster` left empty.
  bool findDeletedFolder(std::span<const uint8_t> entry, const FatNode& parent, bool viaLongName, FatNode& node,
                         std::vector<uint8_t>& cluster);
  // Parses a deleted folder from its first cluster (bytes in `first`) on
  // through the free clusters behind it.
  void readDeletedFolder(FatNode& folder, std::vector<uint8_t> first, int depth);
  FatNode* addNode(FatNode& parent, FatNode node);
  FatNode* addFoundFolder(FatNode& top, uint32_t cluster, bool inClusterOrder);

  platform::SectorSource* source_;
  const disk::DiskInfo& disk_;
  disk::PartitionInfo& part_;
  bool fat32_;
  platform::ProgressBlock& progress_;
  FatScanState& state_;
  disk::FatGeometry geo_;
  uint32_t clusterCount_ = 0;    // FAT entries: the upper bound of every cluster number
  uint32_t clusterLimit_ = 0;    // first cluster number past the volume's data area
  uint64_t fatSectorsHeld_ = 0;  // sectors of the FAT that lie inside the source
  std::vector<bool> readLive_;
  std::vector<bool> readDeleted_;
  std::vector<bool> onPath_;  // clusters of the folders being read, root to here
  int count_ = 0;
  bool cancelled_ = false;
  // The search lists the root's files (its folders are found by their clusters).
  bool rootFilesOnly_ = false;
  // The long name the search carries from one found cluster into the next.
  LongNameRun searchRun_;
  uint32_t searchRunCluster_ = 0;
  uint64_t sourceEnd_ = 0;  // sectors in a plain source; 0 when unknown or read through a volume mapping
};

}  // namespace orvaldi::fs::detail
