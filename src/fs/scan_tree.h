// The scan tree: nodes for files and folders found on a volume, existing or deleted.
#pragma once

#include <cstdint>
#include <list>
#include <string>

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
  std::string name;
  // Children held by value, as for FatNode; an NtfsNode finds its parent by number.
  std::list<NtfsNode> children;
};

// Inserts `child` under `parent`: folders at the front, files at the back,
// and returns the node where it now lives.
FatNode* InsertChild(FatNode& parent, FatNode child);
NtfsNode* InsertChild(NtfsNode& parent, NtfsNode child);

// The date text of a FILETIME (100 ns since 1601) in local calendar time;
// empty for 0 or a value outside what the calendar functions take.
std::string FileTimeText(uint64_t fileTime);

// "%d-%02d-%02d %02d:%02d:%02d" of a DOS date and time; empty when the date is 0.
std::string DosDateText(uint16_t date, uint16_t time);

}  // namespace orvaldi::fs
