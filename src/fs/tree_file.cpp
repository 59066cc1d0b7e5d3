// Writing and reading the saved-tree file.
//
// Layout (little-endian throughout):
//   magic "ORVTREE" 0x1A, version u32 (1),
//   identity, geometry, family u8 (1 FAT, 2 NTFS, 3 exFAT), the family's state,
//   CRC-32 (IEEE) of everything before it, u32.
// Strings are a u32 length and their bytes; lists a u64 count and their items.
// A tree is written in preorder, each node's fields followed by its child
// count; index entries name nodes by their preorder number over the family's
// top nodes in their fixed order.
#include "fs/tree_file.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "fs/exfat_state.h"
#include "fs/fat_state.h"
#include "fs/ntfs_state.h"

namespace orvaldi::fs {
namespace {

constexpr uint8_t kMagic[8] = {'O', 'R', 'V', 'T', 'R', 'E', 'E', 0x1A};
constexpr uint32_t kVersion = 1;
constexpr size_t kDigestBytes = 4;
// Deeper than any reader nests (they stop at 1,000 folders), so a saved
// tree always fits; a file that nests deeper was not written by us.
constexpr size_t kMaxNesting = 2048;

// The IEEE CRC-32 table, for the checksum: it finds a damaged or cut-short
// file at disk speed, where a cryptographic digest would cost more than
// parsing the tree does.
struct CrcTable {
  uint32_t entries[256];
  constexpr CrcTable() : entries() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      entries[i] = c;
    }
  }
};
constexpr CrcTable kCrc;

enum class FamilyTag : uint8_t { kFat = 1, kNtfs = 2, kExfat = 3 };

class Writer {
 public:
  void u8(uint8_t v) { out_.push_back(v); }
  void u16(uint16_t v) { le(v, 2); }
  void u32(uint32_t v) { le(v, 4); }
  void u64(uint64_t v) { le(v, 8); }
  void flag(bool v) { u8(v ? 1 : 0); }
  void str(std::string_view s) {
    u32(static_cast<uint32_t>(s.size()));
    out_.insert(out_.end(), s.begin(), s.end());
  }
  void bytes(std::span<const uint8_t> b) {
    u64(b.size());
    out_.insert(out_.end(), b.begin(), b.end());
  }
  std::vector<uint8_t>& out() { return out_; }

 private:
  void le(uint64_t v, int n) {
    for (int i = 0; i < n; ++i) out_.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  std::vector<uint8_t> out_;
};

// Every read checks what is left; the first failure is kept (with the
// offset it happened at) and every later read yields zero.
class Reader {
 public:
  explicit Reader(std::span<const uint8_t> bytes) : data_(bytes) {}

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  size_t left() const { return data_.size() - pos_; }

  bool fail(const std::string& what) {
    if (error_.empty()) error_ = what + " (at byte " + std::to_string(pos_ + kHeaderBytes) + ")";
    pos_ = data_.size();
    return false;
  }
  uint8_t u8() { return static_cast<uint8_t>(le(1, "a byte")); }
  uint16_t u16() { return static_cast<uint16_t>(le(2, "a 16-bit value")); }
  uint32_t u32() { return static_cast<uint32_t>(le(4, "a 32-bit value")); }
  uint64_t u64() { return le(8, "a 64-bit value"); }
  bool flag() {
    const uint8_t v = u8();
    if (v > 1) fail("a yes/no byte holds " + std::to_string(v));
    return v == 1;
  }
  std::string str() {
    const uint32_t n = u32();
    if (n > left()) {
      fail("a text of " + std::to_string(n) + " bytes runs past the end of the file");
      return {};
    }
    std::string s(reinterpret_cast<const char*>(data_.data() + pos_), n);
    pos_ += n;
    return s;
  }
  std::vector<uint8_t> bytes() {
    const uint64_t n = u64();
    if (n > left()) {
      fail("a block of " + std::to_string(n) + " bytes runs past the end of the file");
      return {};
    }
    std::vector<uint8_t> b(data_.begin() + static_cast<std::ptrdiff_t>(pos_),
                           data_.begin() + static_cast<std::ptrdiff_t>(pos_ + n));
    pos_ += static_cast<size_t>(n);
    return b;
  }
  // A list's count, each item taking at least `itemBytes`: a count the rest
  // of the file cannot hold is refused before anything is sized by it.
  uint64_t count(size_t itemBytes, const char* what) {
    const uint64_t n = u64();
    if (ok() && n > left() / itemBytes) {
      fail(std::string(what) + ": " + std::to_string(n) + " entries, more than the file holds");
      return 0;
    }
    return n;
  }

  static constexpr size_t kHeaderBytes = sizeof kMagic + 4;

 private:
  uint64_t le(size_t n, const char* what) {
    if (n > left()) {
      fail(std::string("the file ends inside ") + what);
      return 0;
    }
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v |= static_cast<uint64_t>(data_[pos_ + i]) << (8 * i);
    pos_ += n;
    return v;
  }
  std::span<const uint8_t> data_;
  size_t pos_ = 0;
  std::string error_;
};

uint8_t SavedFlags(uint8_t flags) { return KindOf(flags); }

// The flags byte of a node read back: a kind the readers make, nothing else.
uint8_t ReadFlags(Reader& r) {
  const uint8_t flags = r.u8();
  if (r.ok() && (flags > 0x0F || KindOf(flags) < 1 || KindOf(flags) > 4))
    r.fail("a node's flags byte holds " + std::to_string(flags));
  return flags;
}

// --- trees -------------------------------------------------------------

template <typename Node>
using NodeIds = std::unordered_map<const Node*, uint64_t>;

template <typename Node, typename Put>
void PutTree(Writer& w, const Node& top, NodeIds<Node>& ids, Put put) {
  std::vector<const Node*> stack{&top};
  while (!stack.empty()) {
    const Node* node = stack.back();
    stack.pop_back();
    ids.emplace(node, ids.size());
    put(w, *node);
    w.u32(static_cast<uint32_t>(node->children.size()));
    for (auto it = node->children.rbegin(); it != node->children.rend(); ++it) stack.push_back(&*it);
  }
}

template <typename Node, typename Get, typename Link>
void GetTree(Reader& r, Node& top, std::vector<Node*>& nodes, size_t minNodeBytes, Get get, Link link) {
  struct Open {
    Node* node;
    uint64_t left;
  };
  auto childCount = [&r, minNodeBytes] {
    const uint32_t n = r.u32();
    if (r.ok() && n > r.left() / minNodeBytes) r.fail("a folder of " + std::to_string(n) + " children");
    return n;
  };
  get(r, top);
  nodes.push_back(&top);
  std::vector<Open> stack{{&top, childCount()}};
  while (!stack.empty() && r.ok()) {
    if (stack.back().left == 0) {
      stack.pop_back();
      continue;
    }
    --stack.back().left;
    if (stack.size() >= kMaxNesting) {
      r.fail("folders nested deeper than " + std::to_string(kMaxNesting));
      return;
    }
    Node* parent = stack.back().node;
    parent->children.emplace_back();
    Node& child = parent->children.back();
    link(child, parent);
    get(r, child);
    nodes.push_back(&child);
    const uint32_t n = childCount();
    stack.push_back({&child, n});
  }
}

template <typename Node>
Node* NodeOf(Reader& r, const std::vector<Node*>& nodes) {
  const uint64_t id = r.u64();
  if (!r.ok()) return nullptr;
  if (id >= nodes.size()) {
    r.fail("an index names node " + std::to_string(id) + " of " + std::to_string(nodes.size()));
    return nullptr;
  }
  return nodes[static_cast<size_t>(id)];
}

template <typename Map, typename Node>
void PutIndex(Writer& w, const Map& index, const NodeIds<Node>& ids) {
  std::vector<std::pair<uint64_t, uint64_t>> entries;
  for (const auto& [key, node] : index)
    if (auto it = ids.find(node); it != ids.end()) entries.emplace_back(key, it->second);
  w.u64(entries.size());
  for (const auto& [key, id] : entries) {
    w.u64(key);
    w.u64(id);
  }
}

template <typename Node, typename Add>
void GetIndex(Reader& r, const std::vector<Node*>& nodes, const char* what, Add add) {
  const uint64_t n = r.count(16, what);
  for (uint64_t i = 0; i < n && r.ok(); ++i) {
    const uint64_t key = r.u64();
    Node* node = NodeOf(r, nodes);
    if (r.ok() && !add(key, node)) r.fail(std::string(what) + ": key " + std::to_string(key) + " twice");
  }
}

template <typename Node>
void PutNames(Writer& w, const NameIndex<Node>& index, const NodeIds<Node>& ids) {
  std::vector<uint64_t> entries;
  index.forEach([&](const Node* node) {
    if (auto it = ids.find(node); it != ids.end()) entries.push_back(it->second);
  });
  w.u64(entries.size());
  for (uint64_t id : entries) w.u64(id);
}

template <typename Node>
void GetNames(Reader& r, const std::vector<Node*>& nodes, NameIndex<Node>& index) {
  const uint64_t n = r.count(8, "name index");
  for (uint64_t i = 0; i < n && r.ok(); ++i)
    if (Node* node = NodeOf(r, nodes)) index.add(node);
}

template <typename T>
void PutNumbers(Writer& w, const std::vector<T>& values) {
  w.u64(values.size());
  for (T v : values) w.u64(v);
}

template <typename T>
std::vector<T> GetNumbers(Reader& r, const char* what) {
  std::vector<T> out;
  const uint64_t n = r.count(8, what);
  out.reserve(static_cast<size_t>(n));
  for (uint64_t i = 0; i < n && r.ok(); ++i) {
    const uint64_t v = r.u64();
    if (static_cast<T>(v) != v) r.fail(std::string(what) + ": " + std::to_string(v) + " out of range");
    out.push_back(static_cast<T>(v));
  }
  return out;
}

void PutProblems(Writer& w, const std::vector<ScanProblem>& problems) {
  w.u64(problems.size());
  for (const ScanProblem& p : problems) {
    w.str(p.where);
    w.u64(p.sector);
    w.str(p.standIn);
    w.flag(p.pastEnd);
    w.flag(p.damaged);
  }
}

std::vector<ScanProblem> GetProblems(Reader& r) {
  std::vector<ScanProblem> out;
  const uint64_t n = r.count(4 + 8 + 4 + 2, "read problems");
  for (uint64_t i = 0; i < n && r.ok(); ++i) {
    ScanProblem p;
    p.where = r.str();
    p.sector = r.u64();
    p.standIn = r.str();
    p.pastEnd = r.flag();
    p.damaged = r.flag();
    out.push_back(std::move(p));
  }
  return out;
}

// --- FAT ---------------------------------------------------------------

constexpr size_t kFatNodeBytes = 1 + 8 + 4 + 4 + 4 + 4;

void PutFat(Writer& w, const FatScanState& s) {
  NodeIds<FatNode> ids;
  const auto put = [](Writer& out, const FatNode& n) {
    out.u8(SavedFlags(n.flags));
    out.u16(n.createTime);
    out.u16(n.createDate);
    out.u16(n.modifyTime);
    out.u16(n.modifyDate);
    out.u32(n.size);
    out.u32(n.firstCluster);
    out.str(n.name);
  };
  for (const FatNode* top : {&s.root, &s.orphans, &s.thirdTop}) PutTree(w, *top, ids, put);
  PutIndex(w, s.liveIndex, ids);
  PutIndex(w, s.deletedIndex, ids);
  PutNames(w, s.nameIndex, ids);
  w.bytes(s.fatCopy);
  PutNumbers(w, s.unreadableFatSectors);
  std::vector<ScanProblem> problems;
  for (const auto& p : s.readProblems) problems.push_back({p.where, p.sector, {}, false, false});
  PutProblems(w, problems);
}

std::unique_ptr<ScanState> GetFat(Reader& r) {
  auto s = std::make_unique<FatScanState>();
  std::vector<FatNode*> nodes;
  const auto get = [](Reader& in, FatNode& n) {
    n.flags = ReadFlags(in);
    n.createTime = in.u16();
    n.createDate = in.u16();
    n.modifyTime = in.u16();
    n.modifyDate = in.u16();
    n.size = in.u32();
    n.firstCluster = in.u32();
    n.name = in.str();
  };
  const auto link = [](FatNode& child, FatNode* parent) { child.parent = parent; };
  for (FatNode* top : {&s->root, &s->orphans, &s->thirdTop}) GetTree(r, *top, nodes, kFatNodeBytes, get, link);
  for (auto* index : {&s->liveIndex, &s->deletedIndex}) {
    GetIndex(r, nodes, "cluster index", [&r, index](uint64_t key, FatNode* node) {
      if (key > UINT32_MAX) {
        r.fail("a cluster index key of " + std::to_string(key));
      } else {
        index->emplace(static_cast<uint32_t>(key), node);
      }
      return true;
    });
  }
  GetNames(r, nodes, s->nameIndex);
  s->fatCopy = r.bytes();
  s->unreadableFatSectors = GetNumbers<uint32_t>(r, "unreadable FAT sectors");
  if (!std::is_sorted(s->unreadableFatSectors.begin(), s->unreadableFatSectors.end()))
    r.fail("the unreadable FAT sectors are out of order");
  for (ScanProblem& p : GetProblems(r)) s->readProblems.push_back({std::move(p.where), p.sector});
  return s;
}

// --- NTFS --------------------------------------------------------------

constexpr size_t kNtfsNodeBytes = 1 + 8 + 4 + 8 * 4 + 1 + 4 + 4 + 4;

void PutNtfs(Writer& w, const NtfsScanState& s) {
  NodeIds<NtfsNode> ids;
  const auto put = [](Writer& out, const NtfsNode& n) {
    out.u8(SavedFlags(n.flags));
    out.u64(n.recordNumber);
    out.u32(n.parentNumber);
    out.u64(n.size);
    out.u64(n.createTime);
    out.u64(n.modifyTime);
    out.u64(n.accessTime);
    out.flag(n.dataIncomplete);
    out.str(n.name);
    out.str(n.streamName);
  };
  for (const NtfsNode* top : {&s.root, &s.orphans, &s.extension}) PutTree(w, *top, ids, put);
  std::vector<std::pair<uint64_t, const NtfsNode*>> numbers;
  s.numberIndex.forEach([&](uint64_t n, const NtfsNode* node) { numbers.emplace_back(n, node); });
  PutIndex(w, numbers, ids);
  PutIndex(w, s.secondaryIndex, ids);
  PutIndex(w, s.contentIndex, ids);
  PutNames(w, s.nameIndex, ids);
  w.u64(s.mftRuns.size());
  for (const NtfsRun& run : s.mftRuns) {
    w.u32(run.index);
    w.u64(run.firstCluster);
    w.u64(run.length);
    w.flag(run.sparse);
  }
  w.u64(s.recordPositions.size());
  for (const auto& [number, sector] : s.recordPositions) {
    w.u64(number);
    w.u64(sector);
  }
  w.u64(s.duplicatePositions.size());
  for (const auto& [number, sector] : s.duplicatePositions) {
    w.u64(number);
    w.u64(sector);
  }
  w.u64(s.mftFirstSector);
  w.u32(s.recordBytes);
  w.u32(s.indexRecordField);
  PutNumbers(w, s.carvedDuplicates);
  std::vector<ScanProblem> problems;
  for (const auto& p : s.readProblems) problems.push_back({p.where, p.sector, p.standIn, p.pastEnd, false});
  PutProblems(w, problems);
}

std::unique_ptr<ScanState> GetNtfs(Reader& r) {
  auto s = std::make_unique<NtfsScanState>();
  std::vector<NtfsNode*> nodes;
  const auto get = [](Reader& in, NtfsNode& n) {
    n.flags = ReadFlags(in);
    n.recordNumber = in.u64();
    n.parentNumber = in.u32();
    n.size = in.u64();
    n.createTime = in.u64();
    n.modifyTime = in.u64();
    n.accessTime = in.u64();
    n.dataIncomplete = in.flag();
    n.name = in.str();
    n.streamName = in.str();
  };
  const auto link = [](NtfsNode&, NtfsNode*) {};
  for (NtfsNode* top : {&s->root, &s->orphans, &s->extension}) GetTree(r, *top, nodes, kNtfsNodeBytes, get, link);
  NtfsScanState& st = *s;
  GetIndex(r, nodes, "record number index",
           [&st](uint64_t key, NtfsNode* node) { return st.numberIndex.emplace(key, node); });
  GetIndex(r, nodes, "secondary index", [&st](uint64_t key, NtfsNode* node) {
    st.secondaryIndex.emplace(key, node);
    return true;
  });
  GetIndex(r, nodes, "content index",
           [&st](uint64_t key, NtfsNode* node) { return st.contentIndex.emplace(key, node).second; });
  GetNames(r, nodes, s->nameIndex);
  const uint64_t runs = r.count(4 + 8 + 8 + 1, "MFT runs");
  for (uint64_t i = 0; i < runs && r.ok(); ++i) {
    NtfsRun run;
    run.index = r.u32();
    run.firstCluster = r.u64();
    run.length = r.u64();
    run.sparse = r.flag();
    s->mftRuns.push_back(run);
  }
  const uint64_t positions = r.count(16, "record positions");
  for (uint64_t i = 0; i < positions && r.ok(); ++i) {
    const uint64_t number = r.u64();
    const uint64_t sector = r.u64();
    if (r.ok() && !s->recordPositions.emplace(number, sector).second)
      r.fail("record " + std::to_string(number) + " placed twice");
  }
  const uint64_t duplicates = r.count(16, "duplicate positions");
  for (uint64_t i = 0; i < duplicates && r.ok(); ++i) {
    const uint64_t number = r.u64();
    s->duplicatePositions.emplace(number, r.u64());
  }
  s->mftFirstSector = r.u64();
  s->recordBytes = r.u32();
  // The sizes the readers take from a boot sector; extraction sizes its
  // record buffer by it.
  if (r.ok() && s->recordBytes != 1024 && s->recordBytes != 4096 &&
      (s->recordBytes < 256 || s->recordBytes > 65536 || (s->recordBytes & (s->recordBytes - 1)) != 0))
    r.fail("a record size of " + std::to_string(s->recordBytes) + " bytes");
  s->indexRecordField = r.u32();
  s->carvedDuplicates = GetNumbers<uint64_t>(r, "carved duplicates");
  for (ScanProblem& p : GetProblems(r))
    s->readProblems.push_back({std::move(p.where), p.sector, std::move(p.standIn), p.pastEnd});
  return s;
}

// --- exFAT -------------------------------------------------------------

constexpr size_t kExfatNodeBytes = 1 + 2 + 8 + 8 + 4 + 1 + 1 + 3 * 6 + 4 + 4;

void PutTime(Writer& w, const ExfatTime& t) {
  w.u32(t.stamp);
  w.u8(t.tenMs);
  w.u8(t.utcOffset);
}

ExfatTime GetTime(Reader& r) {
  ExfatTime t;
  t.stamp = r.u32();
  t.tenMs = r.u8();
  t.utcOffset = r.u8();
  return t;
}

void PutExfat(Writer& w, const ExfatScanState& s) {
  NodeIds<ExfatNode> ids;
  PutTree(w, s.root, ids, [](Writer& out, const ExfatNode& n) {
    out.u8(SavedFlags(n.flags));
    out.u16(n.attributes);
    out.u64(n.size);
    out.u64(n.validLength);
    out.u32(n.firstCluster);
    out.flag(n.contiguous);
    out.flag(n.intact);
    PutTime(out, n.created);
    PutTime(out, n.modified);
    PutTime(out, n.accessed);
    out.str(n.name);
  });
  const ExfatGeometry& g = s.geometry;
  w.u32(g.bytesPerSector);
  w.u64(g.heapSector);
  w.u64(g.clusterSectors);
  w.u32(g.clusterCount);
  w.u32(g.rootCluster);
  w.u64(g.fatSector);
  w.u64(g.fatBytes);
  w.u64(s.fat.size());
  for (uint32_t entry : s.fat) w.u32(entry);
  w.bytes(s.fatKnown);
  w.bytes(s.bitmap);
  w.flag(s.bitmapRead);
  PutProblems(w, s.problems);
}

std::unique_ptr<ScanState> GetExfat(Reader& r) {
  auto s = std::make_unique<ExfatScanState>();
  std::vector<ExfatNode*> nodes;
  GetTree(
      r, s->root, nodes, kExfatNodeBytes,
      [](Reader& in, ExfatNode& n) {
        n.flags = ReadFlags(in);
        n.attributes = in.u16();
        n.size = in.u64();
        n.validLength = in.u64();
        n.firstCluster = in.u32();
        n.contiguous = in.flag();
        n.intact = in.flag();
        n.created = GetTime(in);
        n.modified = GetTime(in);
        n.accessed = GetTime(in);
        n.name = in.str();
      },
      [](ExfatNode& child, ExfatNode* parent) { child.parent = parent; });
  ExfatGeometry& g = s->geometry;
  g.bytesPerSector = r.u32();
  g.heapSector = r.u64();
  g.clusterSectors = r.u64();
  g.clusterCount = r.u32();
  g.rootCluster = r.u32();
  g.fatSector = r.u64();
  g.fatBytes = r.u64();
  const uint64_t entries = r.count(4, "exFAT FAT entries");
  s->fat.reserve(static_cast<size_t>(entries));
  for (uint64_t i = 0; i < entries && r.ok(); ++i) s->fat.push_back(r.u32());
  s->fatKnown = r.bytes();
  s->bitmap = r.bytes();
  s->bitmapRead = r.flag();
  // What the lookups index without asking: a known-flag per FAT entry, and
  // with a bitmap read, a bit for every cluster.
  if (r.ok() && s->fatKnown.size() != s->fat.size())
    r.fail("the FAT has " + std::to_string(s->fat.size()) + " entries but " + std::to_string(s->fatKnown.size()) +
           " read marks");
  if (r.ok() && s->bitmapRead && s->bitmap.size() < (uint64_t{g.clusterCount} + 7) / 8)
    r.fail("a bitmap of " + std::to_string(s->bitmap.size()) + " bytes for " + std::to_string(g.clusterCount) +
           " clusters");
  s->problems = GetProblems(r);
  return s;
}

}  // namespace

uint32_t TreeFileChecksum(std::span<const uint8_t> bytes) {
  uint32_t c = 0xFFFFFFFFu;
  for (const uint8_t b : bytes) c = kCrc.entries[(c ^ b) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

std::vector<uint8_t> FormatTreeFile(const TreeIdentity& identity, const TreeGeometry& geometry,
                                    const ScanState& state) {
  Writer w;
  for (uint8_t b : kMagic) w.u8(b);
  w.u32(kVersion);
  w.str(identity.diskName);
  w.str(identity.diskSerial);
  w.u64(identity.diskBytes);
  w.u32(identity.diskSectorBytes);
  w.u64(identity.startSector);
  w.u64(identity.sectorCount);
  w.u8(identity.typeByte);
  w.str(identity.volumeLabel);
  w.str(identity.bootDigest);
  w.u8(identity.scanMode);
  w.u32(geometry.sectorsPerCluster);
  w.u64(geometry.clusterZeroSector);
  w.u32(geometry.fatSizeSectors);
  if (const auto* fat = dynamic_cast<const FatScanState*>(&state)) {
    w.u8(static_cast<uint8_t>(FamilyTag::kFat));
    PutFat(w, *fat);
  } else if (const auto* ntfs = dynamic_cast<const NtfsScanState*>(&state)) {
    w.u8(static_cast<uint8_t>(FamilyTag::kNtfs));
    PutNtfs(w, *ntfs);
  } else if (const auto* exfat = dynamic_cast<const ExfatScanState*>(&state)) {
    w.u8(static_cast<uint8_t>(FamilyTag::kExfat));
    PutExfat(w, *exfat);
  } else {
    return {};
  }
  w.u32(TreeFileChecksum(w.out()));
  return std::move(w.out());
}

TreeFileParse ParseTreeFile(std::span<const uint8_t> bytes) {
  TreeFileParse out;
  if (bytes.size() < sizeof kMagic || !std::equal(kMagic, kMagic + sizeof kMagic, bytes.begin())) {
    out.status = TreeFileStatus::kNotATreeFile;
    out.message = "not a saved partition tree (no tree file header)";
    return out;
  }
  if (bytes.size() < Reader::kHeaderBytes + kDigestBytes) {
    out.message = "the tree file is cut short (" + std::to_string(bytes.size()) + " bytes)";
    return out;
  }
  uint32_t version = 0;
  for (int i = 0; i < 4; ++i) version |= static_cast<uint32_t>(bytes[sizeof kMagic + i]) << (8 * i);
  if (version != kVersion) {
    out.status = TreeFileStatus::kVersion;
    out.message = "tree file version " + std::to_string(version) + " (this program reads version " +
                  std::to_string(kVersion) + ")";
    return out;
  }
  const std::span<const uint8_t> signedPart = bytes.first(bytes.size() - kDigestBytes);
  uint32_t stored = 0;
  for (size_t i = 0; i < kDigestBytes; ++i) stored |= static_cast<uint32_t>(bytes[signedPart.size() + i]) << (8 * i);
  if (TreeFileChecksum(signedPart) != stored) {
    out.message = "the tree file is damaged or cut short (its checksum does not match)";
    return out;
  }
  Reader r(signedPart.subspan(Reader::kHeaderBytes));
  TreeIdentity& id = out.identity;
  id.diskName = r.str();
  id.diskSerial = r.str();
  id.diskBytes = r.u64();
  id.diskSectorBytes = r.u32();
  id.startSector = r.u64();
  id.sectorCount = r.u64();
  id.typeByte = r.u8();
  id.volumeLabel = r.str();
  id.bootDigest = r.str();
  id.scanMode = r.u8();
  out.geometry.sectorsPerCluster = r.u32();
  out.geometry.clusterZeroSector = r.u64();
  out.geometry.fatSizeSectors = r.u32();
  std::unique_ptr<ScanState> state;
  switch (static_cast<FamilyTag>(r.u8())) {
    case FamilyTag::kFat:
      state = GetFat(r);
      break;
    case FamilyTag::kNtfs:
      state = GetNtfs(r);
      break;
    case FamilyTag::kExfat:
      state = GetExfat(r);
      break;
    default:
      r.fail("no file system of that number");
  }
  if (r.ok() && r.left() != 0) r.fail(std::to_string(r.left()) + " bytes follow the tree");
  if (!r.ok()) {
    out.message = "the tree file is damaged: " + r.error();
    return out;
  }
  out.status = TreeFileStatus::kOk;
  out.state = std::move(state);
  return out;
}

}  // namespace orvaldi::fs
