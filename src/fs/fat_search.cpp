// The FAT reader's searches: every cluster of the data area, or the
// directory sectors a full-disk scan found (through the FAT when it survived).
#include <algorithm>
#include <string>
#include <vector>

#include "disk/fat_directory.h"
#include "disk/fat_entry.h"
#include "disk/fat_layout.h"
#include "fs/fat_scan.h"

namespace orvaldi::fs::detail {

namespace fat = disk::fat;
namespace {

constexpr uint32_t kSearchBatchClusters = 384;

}  // namespace

bool HoldsDirectoryEntries(std::span<const uint8_t> cluster) {
  if (cluster.size() < kSector || cluster[0] == 0) return false;
  for (size_t at = 0; at + kSector <= cluster.size(); at += kSector)
    if (!disk::IsFatDirectorySector(cluster.subspan(at, kSector))) return false;
  return true;
}

// A folder found by its cluster, named by the cluster's number, under `top`:
// after the others in cluster order (the search), or in front (the list).
FatNode* FatScan::addFoundFolder(FatNode& top, uint32_t cluster, bool inClusterOrder) {
  FatNode folder;
  folder.flags = node_kind::kFolder;
  folder.firstCluster = cluster;
  folder.name = std::to_string(cluster);
  FatNode* placed = nullptr;
  if (inClusterOrder) {
    folder.parent = &top;
    top.children.push_back(std::move(folder));
    placed = &top.children.back();
  } else {
    placed = InsertChild(top, std::move(folder));
  }
  state_.liveIndex.emplace(cluster, placed);
  return placed;
}

void FatScan::search() {
  const uint32_t first = fat32_ ? geo_.rootCluster + 1 : 2;
  state_.root.firstCluster = fat32_ ? geo_.rootCluster : 0;
  state_.liveIndex.emplace(state_.root.firstCluster, &state_.root);
  progress_.beginStage(int64_t{clusterCount_} - (fat32_ ? geo_.rootCluster + 1 : 3), 1);
  const uint32_t spc = part_.sectorsPerCluster;
  const size_t clusterBytes = size_t{spc} * kSector;
  // The root is where the search starts, not something it finds: its files
  // are listed from its first cluster (or the fixed root region); its
  // folders, like every other, are found by their clusters.
  rootFilesOnly_ = true;
  if (fat32_) {
    if (inVolume(geo_.rootCluster)) {
      markReadByAll(geo_.rootCluster);
      parseDirectory(readCluster(geo_.rootCluster, state_.root.name), state_.root, false, 0);
    }
  } else {
    const uint64_t rootBytes = uint64_t{geo_.rootEntries} * fat::kEntryBytes;
    auto buf = readDirectory(geo_.rootStart(), geo_.rootSectors, state_.root.name);
    buf.resize(rootBytes);
    parseDirectory(buf, state_.root, false, 0);
  }
  rootFilesOnly_ = false;
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
    searchBatch(c, batch, n);
    c += n;
  }
}

void FatScan::searchBatch(uint32_t first, std::span<const uint8_t> batch, uint32_t clusters) {
  const size_t clusterBytes = size_t{part_.sectorsPerCluster} * kSector;
  for (uint32_t i = 0; i < clusters && !cancelled_; ++i) {
    const uint32_t cluster = first + i;
    if (wasRead(cluster)) continue;
    progress_.step();
    if (progress_.cancelled()) {
      cancelled_ = true;
      break;
    }
    const std::span<const uint8_t> bytes = batch.subspan(i * clusterBytes, clusterBytes);
    if (StartsDirectory(bytes)) {
      if (!DotSizesEmpty(bytes, fat32_)) continue;
    } else if (!HoldsDirectoryEntries(bytes)) {
      // Without a FAT nothing leads from a folder's first cluster to its
      // later ones; they are listed on their own, as the first are.
      continue;
    }
    markReadByAll(cluster);
    FatNode* placed = addFoundFolder(state_.root, cluster, true);
    ++count_;
    progress_.setText(std::to_string(count_) + " 项被找到");
    // A long name whose first pieces end the cluster before goes on here
    // when that cluster was a folder's too: a folder's clusters usually lie
    // one after the other. A folder's first cluster starts no one's name.
    if (cluster != searchRunCluster_ + 1 || StartsDirectory(bytes)) searchRun_.reset();
    parseDirectory(bytes, *placed, false, 1, searchRun_);
    searchRunCluster_ = cluster;
  }
}

// A FAT that survived beside a lost boot sector says which clusters continue
// which folder. Before its chains are trusted the copy must read as a FAT:
// entries 0 and 1 as formatting leaves them, and (nearly) every other entry
// free, a mark, or a cluster of this volume that no other entry also names.
// A table that was wiped or overwritten fails, as does one read at a wrong
// place, and the folders are then read cluster by cluster.
bool FatScan::readFatIfSound() {
  std::vector<uint8_t> first(kSector);
  const uint64_t fatStart = geo_.fatStart();
  // One sector tells a missing table before the whole copy is read.
  if (fatSectorsHeld_ == 0 || !readSectors(fatStart, 1, first.data()) ||
      !(fat32_ ? disk::IsFat32TableStart(first.data()) : disk::IsFat16TableStart(first.data())))
    return false;
  readFat();
  const disk::FatEntries entries = fat();
  std::vector<bool> named(clusterLimit_, false);
  uint64_t used = 0, wrong = 0;
  for (uint32_t c = 2; c < clusterLimit_; ++c) {
    if (!state_.entryRead(entries, c)) continue;
    const uint32_t next = entries[c];
    if (next == 0) continue;
    ++used;
    if (next == entries.badMark() || entries.isEndOfChain(next)) continue;
    if (!inVolume(next) || next == c || named[next]) {
      ++wrong;
      continue;
    }
    named[next] = true;
  }
  // The root is in use on every volume; a FAT that frees it is not this one's.
  const bool rootUsed = !fat32_ || (inVolume(geo_.rootCluster) && entries[geo_.rootCluster] != 0);
  // A few stray entries (a torn write) leave the rest worth following.
  if (rootUsed && used != 0 && wrong * 100 <= used) return true;
  state_.fatCopy.clear();
  state_.unreadableFatSectors.clear();
  return false;
}

// A folder the list found, from its first cluster (bytes in `buf`, already
// counted) on through its chain in the FAT copy.
void FatScan::readListedChain(FatNode& folder, std::vector<uint8_t> buf) {
  LongNameRun run;
  std::vector<uint32_t> entered;
  const std::string where = PathOf(folder);
  uint32_t cluster = folder.firstCluster;
  for (uint32_t links = 0; links < clusterCount_ && !cancelled_; ++links) {
    onPath_[cluster] = true;
    entered.push_back(cluster);
    parseDirectory(buf, folder, true, 1, run);
    if (cancelled_) break;
    cluster = nextInChain(cluster, folder);
    if (cluster == 0 || !inVolume(cluster) || !mayEnter(cluster, true)) break;
    markRead(cluster, true);
    buf = readCluster(cluster, where);
    if (!countStep()) break;
  }
  for (uint32_t c : entered) onPath_[c] = false;
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
    if (strict ? (sector < dataStart || sector >= dataEnd) : (sector <= part_.startSector || sector >= partEnd))
      continue;
    const uint64_t cluster = (sector - zero) / spc;
    if (cluster >= 2 && cluster < clusterLimit_) clusters.push_back(static_cast<uint32_t>(cluster));
  }
  progress_.beginStage(
      strict ? static_cast<int64_t>(disk_.directorySectors.size()) : static_cast<int64_t>(clusters.size()), 1);
  // With a sound FAT the root is walked first, folders entered through their
  // chains, so a folder's later clusters join it; the list then adds what no
  // chain reached (deleted and orphaned folders), each read on through its
  // own chain. Without one, each listed cluster stands for itself.
  const bool chains = readFatIfSound();
  if (chains) walkRoot();
  for (uint32_t cluster : clusters) {
    if (cancelled_) return;
    if (wasRead(cluster)) continue;
    markReadByAll(cluster);
    auto buf = readCluster(cluster, "cluster " + std::to_string(cluster));
    if (!countStep()) return;
    if (fat32_ && cluster == geo_.rootCluster) {
      parseDirectory(buf, state_.root, false, 0);
      continue;
    }
    const bool isStart = StartsDirectory(buf);
    if (strict && (!isStart || !DotSizesEmpty(buf, fat32_))) continue;
    FatNode* placed = addFoundFolder(isStart ? state_.root : state_.orphans, cluster, false);
    if (chains)
      readListedChain(*placed, std::move(buf));
    else
      parseDirectory(buf, *placed, false, 1);
  }
}

}  // namespace orvaldi::fs::detail
