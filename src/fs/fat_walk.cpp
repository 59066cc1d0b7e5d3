// FAT directory parsing and the walk from the root: short and long names,
// folder chains through the FAT, deleted folders found by their "." entry.
#include <cstring>
#include <vector>

#include "disk/fat_layout.h"
#include "fs/fat_scan.h"
#include "platform/text.h"

namespace orvaldi::fs::detail {

namespace fat = disk::fat;
using disk::ByteView;

namespace {

std::string TrimRight(std::string_view s) {
  size_t n = s.size();
  while (n > 0 && s[n - 1] == ' ') --n;
  return std::string(s.substr(0, n));
}

// Only ASCII letters have a lower case in an 8.3 name; multi-byte OEM
// characters pass unchanged.
std::string AsciiLower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// 8.3 name of an entry: name, then "." and the extension when there is one,
// each in lower case when the entry's case bits say so (the system that wrote
// a name stored in one case marks it so instead of spending long-name entries
// on it). The 0xE5 mark of a deleted entry is kept as the character U+00E5,
// decoded apart from the rest so that it cannot merge with the next byte.
std::string ShortName(const fat::DirEntry& e) {
  const auto raw = e.name();
  std::string base(reinterpret_cast<const char*>(raw.data()), 8);
  std::string ext(reinterpret_cast<const char*>(raw.data()) + 8, 3);
  std::string prefix;
  if (e.firstByte() == fat::kDeletedMark) {
    prefix = "\xC3\xA5";
    base.erase(0, 1);
  } else if (e.firstByte() == fat::kEscapedE5) {
    base[0] = static_cast<char>(0xE5);  // a name whose first byte really is 0xE5
  }
  std::string name = platform::OemToUtf8(TrimRight(base));
  if (e.caseBits() & fat::kLowerCaseBase) name = AsciiLower(std::move(name));
  name = prefix + name;
  std::string extension = platform::OemToUtf8(TrimRight(ext));
  if (e.caseBits() & fat::kLowerCaseExtension) extension = AsciiLower(std::move(extension));
  if (!extension.empty()) name += "." + extension;
  return name;
}

bool IsDotEntry(const fat::DirEntry& e) {
  static const char kDot[] = ".          ";
  static const char kDotDot[] = "..         ";
  const auto name = e.name();
  return std::memcmp(name.data(), kDot, 11) == 0 || std::memcmp(name.data(), kDotDot, 11) == 0;
}

// Attribute bytes of folders and files as the reader takes them; anything
// else (labels, devices, junk) is passed over.
bool IsFolderAttr(uint8_t a) { return (a >= 0x10 && a <= 0x17) || a == 0x30 || a == 0x32 || a == 0x34 || a == 0x36; }
bool IsFileAttr(uint8_t a) { return a <= 0x07 || (a >= 0x20 && a <= 0x27); }

void TakeTimes(FatNode& node, const fat::DirEntry& e) {
  node.createTime = e.createTime();
  node.createDate = e.createDate();
  node.modifyTime = e.modifyTime();
  node.modifyDate = e.modifyDate();
  node.size = e.size();
}

}  // namespace

FatNode* FatScan::addNode(FatNode& parent, FatNode node) {
  FatNode* placed = InsertChild(parent, std::move(node));
  (IsDeletedKind(placed->flags) ? state_.deletedIndex : state_.liveIndex).emplace(placed->firstCluster, placed);
  state_.nameIndex.add(placed);
  return placed;
}

void FatScan::parseDirectory(std::span<const uint8_t> buf, FatNode& parent, bool useFat, int depth) {
  LongNameRun run;
  parseDirectory(buf, parent, useFat, depth, run);
}

void FatScan::parseDirectory(std::span<const uint8_t> buf, FatNode& parent, bool useFat, int depth, LongNameRun& run) {
  const ByteView dir(buf);
  uint64_t off = StartsDirectory(buf) ? 2 * fat::kEntryBytes : 0;
  for (; dir.contains(off, fat::kEntryBytes) && !cancelled_; off += fat::kEntryBytes) {
    const ByteView bytes(dir.sub(off, fat::kEntryBytes));
    if (bytes.allZero(0, 16)) {
      run.reset();  // an empty slot; the entries after it are still read
      continue;
    }
    const fat::DirEntry e(bytes);
    const uint8_t attr = e.attributes();
    if (attr == fat::attr::kLongName) {
      run.add(fat::LongNameEntry(bytes));
      continue;
    }
    const bool isFolder = IsFolderAttr(attr);
    const bool isFile = IsFileAttr(attr);
    const bool deleted = e.deleted();
    std::string longName;
    const bool hasLong = run.take(deleted, longName);
    if ((!isFolder && !isFile) || IsDotEntry(e)) continue;

    FatNode node;
    TakeTimes(node, e);
    node.firstCluster = e.firstCluster();
    node.name = hasLong ? longName : ShortName(e);
    if (rootFilesOnly_ && isFolder && &parent == &state_.root) continue;
    // An existing file without a cluster is an empty one, listed as such; one
    // that claims bytes without a cluster to hold them is junk.
    if (!deleted && isFile && node.firstCluster == 0 && node.size != 0) continue;
    // Deleting a folder frees its clusters and those of everything in it,
    // whether or not the entries inside were marked: they are deleted too.
    const bool gone = deleted || IsDeletedKind(parent.flags);
    node.flags = gone ? (isFolder ? node_kind::kDeletedFolder : node_kind::kDeletedFile)
                      : (isFolder ? node_kind::kFolder : node_kind::kFile);
    if (deleted && isFolder && fat32_) {
      enterDeletedFolder(bytes.sub(0, fat::kEntryBytes), parent, hasLong, std::move(node), depth);
      if (cancelled_) return;
      continue;
    }
    // A deleted folder whose cluster the FAT now gives to a live chain keeps
    // its entry, but what that cluster holds is the new owner's.
    const bool reused = gone && isFolder && knownInUse(node.firstCluster);
    FatNode* placed = addNode(parent, std::move(node));
    if (isFolder && depth < kMaxDepth && !reused) enterFolder(*placed, parent, useFat && !deleted, !deleted, depth + 1);
  }
}

void FatScan::enterDeletedFolder(std::span<const uint8_t> entry, FatNode& parent, bool viaLongName, FatNode node,
                                 int depth) {
  std::vector<uint8_t> cluster;
  if (!findDeletedFolder(entry, parent, viaLongName, node, cluster)) return;
  FatNode* placed = addNode(parent, std::move(node));
  if (cluster.empty()) return;  // its cluster belongs to a live folder now
  if (!countStep()) return;
  if (depth < kMaxDepth) readDeletedFolder(*placed, std::move(cluster), depth + 1);
}

void FatScan::readDeletedFolder(FatNode& folder, std::vector<uint8_t> buf, int depth) {
  LongNameRun run;
  std::vector<uint32_t> entered;
  uint32_t cluster = folder.firstCluster;
  for (uint32_t links = 0; links < clusterCount_ && !cancelled_; ++links) {
    onPath_[cluster] = true;
    entered.push_back(cluster);
    parseDirectory(buf, folder, false, depth, run);
    if (cancelled_) break;
    cluster = nextFreedCluster(cluster, folder, buf);
    if (cluster == 0 || !countStep()) break;
  }
  for (uint32_t c : entered) onPath_[c] = false;
}

uint32_t FatScan::nextFreedCluster(uint32_t cluster, const FatNode& folder, std::vector<uint8_t>& buf) {
  // Deleting a folder frees its chain: what is left is where its clusters
  // lay. A folder filled in one go has them one after the other; the next
  // one belongs to it while the FAT has it free and it reads as entries.
  const uint32_t next = cluster + 1;
  if (!inVolume(next) || !mayEnter(next, false) || !knownFree(next)) return 0;
  const std::string where = PathOf(folder);
  bool firstSectorRead = true;
  buf = readCluster(next, where, &firstSectorRead);
  if (!firstSectorRead || StartsDirectory(buf) || !HoldsDirectoryEntries(buf)) return 0;
  markRead(next, false);
  return next;
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
    if (cancelled_) break;
    if (IsDeletedKind(folder.flags)) {
      // Its chain is gone (or, for a live entry inside a deleted folder, freed).
      for (std::vector<uint8_t> more; (cluster = nextFreedCluster(cluster, folder, more)) != 0;) {
        if (!countStep()) break;
        onPath_[cluster] = true;
        entered.push_back(cluster);
        parseDirectory(more, folder, false, depth, run);
        if (cancelled_) break;
      }
      break;
    }
    if (!useFat) break;
    cluster = nextInChain(cluster, folder);
    if (cluster == 0) break;
  }
  for (uint32_t c : entered) onPath_[c] = false;
}

// A deleted FAT32 folder may have lost the high word of its first cluster:
// try each high word until a cluster that reads as this folder turns up.
bool FatScan::findDeletedFolder(std::span<const uint8_t> entry, const FatNode& parent, bool viaLongName, FatNode& node,
                                std::vector<uint8_t>& cluster) {
  const fat::DirEntry e{ByteView(entry)};
  const uint16_t low = e.clusterLow();
  const uint16_t ownHigh = e.clusterHigh();
  const uint32_t lastHigh = ownHigh != 0 ? ownHigh : (clusterCount_ >> 16);
  uint64_t unreadable = 0;  // the first candidate whose "." could not be read
  uint32_t reusedAt = 0;    // the first candidate that reads as it but is in use
  for (uint32_t high = ownHigh; high <= lastHigh && !cancelled_; ++high) {
    const uint32_t candidate = (high << 16) | low;
    if (!inVolume(candidate) || wasRead(candidate)) continue;
    std::vector<uint8_t> buf(kSector);
    if (!readSectors(clusterSector(candidate), 1, buf.data())) {
      if (unreadable == 0) unreadable = clusterSector(candidate);
      continue;
    }
    if (!StartsDirectory(buf)) continue;
    const ByteView first(buf);
    const fat::DirEntry dot(first.sub(0, fat::kEntryBytes));
    const fat::DirEntry dotDot(first.sub(fat::kEntryBytes, fat::kEntryBytes));
    const uint32_t up = dotDot.firstCluster();
    if (dot.clusterLow() != low) continue;
    if (!(up == 0 || up == parent.firstCluster || parent.firstCluster == 2 || ownHigh != 0)) continue;
    if (knownInUse(candidate)) {
      // A live chain holds it: a folder moved away, whose entries are listed
      // where it lives now. A free candidate with another high word wins.
      if (reusedAt == 0) reusedAt = candidate;
      continue;
    }
    markRead(candidate, false);
    node.firstCluster = candidate;
    // Found through its long name: times and size come from the folder's own "..".
    if (viaLongName) TakeTimes(node, dotDot);
    cluster = readCluster(candidate, PathOf(parent) + "/" + node.name);
    return true;
  }
  if (reusedAt != 0) {
    node.firstCluster = reusedAt;
    cluster.clear();
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
  walkRoot();
}

void FatScan::walkRoot() {
  if (fat32_) {
    uint32_t cluster = geo_.rootCluster;
    LongNameRun run;
    for (uint32_t links = 0; links < clusterCount_ && !cancelled_; ++links) {
      if (!inVolume(cluster) || !mayEnter(cluster, true)) break;
      markRead(cluster, true);
      onPath_[cluster] = true;  // the root stays on every path
      parseDirectory(readCluster(cluster, state_.root.name), state_.root, true, 0, run);
      cluster = nextInChain(cluster, state_.root);
      if (cluster == 0) break;
    }
  } else {
    const uint64_t rootBytes = uint64_t{geo_.rootEntries} * fat::kEntryBytes;
    auto buf = readDirectory(geo_.rootStart(), geo_.rootSectors, state_.root.name);
    buf.resize(rootBytes);
    parseDirectory(buf, state_.root, true, 0);
  }
}

}  // namespace orvaldi::fs::detail
