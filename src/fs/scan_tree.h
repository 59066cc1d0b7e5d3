// The scan tree: nodes for files and folders found on a volume, existing or deleted.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvaldi::fs {

// The low four bits of a node's flags byte: what the node is. The upper four
// bits belong to the file list (tick marks); readers leave them zero.
namespace node_kind {
inline constexpr uint8_t kDeletedFolder = 1;
inline constexpr uint8_t kDeletedFile = 2;
inline constexpr uint8_t kFolder = 3;
inline constexpr uint8_t kFile = 4;
}  // namespace node_kind

inline uint8_t KindOf(uint8_t flags) { return flags & 0x0F; }
inline bool IsFolderLike(uint8_t flags) { return KindOf(flags) == 1 || KindOf(flags) == 3; }
inline bool IsFileLike(uint8_t flags) { return KindOf(flags) == 2 || KindOf(flags) == 4; }
inline bool IsDeletedKind(uint8_t flags) { return KindOf(flags) == 1 || KindOf(flags) == 2; }

// "正常文件", "已删除文件", "正常文件夹", "已删除文件夹"; empty for other kinds.
const char* StateWord(uint8_t flags);

struct FatNode {
  uint8_t flags = 0;
  uint16_t createTime = 0;  // DOS time and date pairs, as stored in the entry
  uint16_t createDate = 0;
  uint16_t modifyTime = 0;
  uint16_t modifyDate = 0;
  uint32_t size = 0;
  uint32_t firstCluster = 0;
  std::string name;
  FatNode* parent = nullptr;
  // Children held by value; list elements never move, so pointers to them
  // (parent links, indexes) stay valid.
  std::list<FatNode> children;
};

struct NtfsNode {
  uint8_t flags = 0;
  uint64_t recordNumber = 0;
  uint32_t parentNumber = 0;  // low 32 bits of the parent reference of the chosen name
  uint64_t size = 0;
  uint64_t createTime = 0;  // FILETIME values from the standard information
  uint64_t modifyTime = 0;
  uint64_t accessTime = 0;
  // Part of its data could not be mapped: runs kept in extension records
  // that were not found, or an attribute list that could not be read.
  bool dataIncomplete = false;
  std::string name;
  // A named data stream of the record, listed beside its file as
  // "file:stream": the stream's name; empty for the file itself.
  std::string streamName;
  // Children held by value, as for FatNode; an NtfsNode finds its parent by number.
  std::list<NtfsNode> children;
};

// A timestamp as an exFAT entry holds it: DOS date and time fields of local
// time, a 10 ms count (0..199) and an offset from UTC (bit 7 set when valid).
struct ExfatTime {
  uint32_t stamp = 0;
  uint8_t tenMs = 0;
  uint8_t utcOffset = 0;
};

struct ExfatNode {
  uint8_t flags = 0;
  uint16_t attributes = 0;
  uint64_t size = 0;         // data length
  uint64_t validLength = 0;  // bytes written; those past it read as zeros
  uint32_t firstCluster = 0;
  bool contiguous = false;  // NoFatChain: the clusters follow one another, the FAT is not used
  // Its data is known not to be all there: a deleted file whose clusters
  // are in use again, a length the volume cannot hold, a broken chain.
  bool intact = true;
  ExfatTime created;
  ExfatTime modified;
  ExfatTime accessed;
  std::string name;
  ExfatNode* parent = nullptr;
  // Children held by value, as for FatNode.
  std::list<ExfatNode> children;
};

// Name -> nodes, kept as a flat list and sorted when first looked up: it
// costs a pointer pair per node while a scan fills it. Keys view the nodes'
// own names, which never move.
//
// Threads: `add` and `clear` belong to the one worker that scans the volume.
// Once the scan is over, `find`, `count` and `forEach` may run from several
// threads at once (save workers, the views): the first of them sorts the
// list under a lock, and nothing changes it afterwards.
template <typename Node>
class NameIndex {
 public:
  NameIndex() = default;
  NameIndex(const NameIndex&) = delete;
  NameIndex& operator=(const NameIndex&) = delete;

  void add(const Node* node) {
    entries_.emplace_back(std::string_view(node->name), const_cast<Node*>(node));
    sorted_.store(false, std::memory_order_relaxed);
  }
  size_t size() const { return entries_.size(); }
  void clear() {
    entries_.clear();
    entries_.shrink_to_fit();
    sorted_.store(true, std::memory_order_relaxed);
  }
  // The nodes of that name, in the order they were added.
  std::vector<Node*> find(std::string_view name) const {
    sort();
    std::vector<Node*> out;
    auto lo = std::lower_bound(entries_.begin(), entries_.end(), name,
                               [](const auto& e, std::string_view n) { return e.first < n; });
    for (; lo != entries_.end() && lo->first == name; ++lo) out.push_back(lo->second);
    return out;
  }
  size_t count(std::string_view name) const { return find(name).size(); }
  // Every node, by name; nodes of one name in the order they were added.
  template <typename F>
  void forEach(F f) const {
    sort();
    for (const auto& [name, node] : entries_) f(node);
  }

 private:
  void sort() const {
    if (sorted_.load(std::memory_order_acquire)) return;
    std::lock_guard<std::mutex> guard(sortLock_);
    if (sorted_.load(std::memory_order_relaxed)) return;
    std::stable_sort(entries_.begin(), entries_.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    sorted_.store(true, std::memory_order_release);
  }
  mutable std::vector<std::pair<std::string_view, Node*>> entries_;
  mutable std::atomic<bool> sorted_{true};
  mutable std::mutex sortLock_;
};

// Record number -> node, unique. Dense numbers (an MFT's) sit in a vector;
// far-out ones (read off a damaged disk) in a map.
template <typename Node>
class NumberIndex {
 public:
  Node* find(uint64_t n) const {
    if (n < dense_.size()) return dense_[n];
    auto it = sparse_.find(n);
    return it == sparse_.end() ? nullptr : it->second;
  }
  size_t count(uint64_t n) const { return find(n) ? 1 : 0; }
  Node* at(uint64_t n) const {
    if (Node* node = find(n)) return node;
    throw std::out_of_range("no record " + std::to_string(n));
  }
  // False (and nothing changes) when the number is taken.
  bool emplace(uint64_t n, Node* node) {
    if (find(n)) return false;
    if (n >= dense_.size() && n < 2 * dense_.size() + 65536)
      dense_.resize(std::max<uint64_t>(n + 1, 2 * dense_.size()), nullptr);
    if (n < dense_.size()) {
      dense_[n] = node;
    } else {
      sparse_.emplace(n, node);
    }
    ++size_;
    return true;
  }
  size_t size() const { return size_; }
  void clear() {
    dense_.clear();
    dense_.shrink_to_fit();
    sparse_.clear();
    size_ = 0;
  }
  template <typename F>
  void forEach(F f) const {
    for (size_t i = 0; i < dense_.size(); ++i)
      if (dense_[i]) f(i, dense_[i]);
    for (const auto& [n, node] : sparse_) f(n, node);
  }

 private:
  std::vector<Node*> dense_;
  std::map<uint64_t, Node*> sparse_;
  size_t size_ = 0;
};

// Inserts `child` under `parent`: folders at the front, files at the back,
// and returns the node where it now lives.
FatNode* InsertChild(FatNode& parent, FatNode child);
NtfsNode* InsertChild(NtfsNode& parent, NtfsNode child);
ExfatNode* InsertChild(ExfatNode& parent, ExfatNode child);

// The date text of a FILETIME (100 ns since 1601) in local calendar time;
// empty for 0 or a value outside what the calendar functions take.
std::string FileTimeText(uint64_t fileTime);

// "%d-%02d-%02d %02d:%02d:%02d" of a DOS date and time; empty when the date is 0.
std::string DosDateText(uint16_t date, uint16_t time);

// The date text of an exFAT timestamp: with a valid UTC offset in local
// calendar time, as FileTimeText gives NTFS times; without one as stored, as
// DosDateText gives FAT times. The 10 ms count adds its whole seconds.
std::string ExfatTimeText(const ExfatTime& time);

}  // namespace orvaldi::fs
