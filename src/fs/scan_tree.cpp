// Scan-tree helpers shared by the readers and the front ends.
#include "fs/scan_tree.h"

#include <cstdio>

namespace orvaldi::fs {

const char* StateWord(uint8_t flags) {
  switch (KindOf(flags)) {
    case node_kind::kDeletedFolder:
      return "已删除文件夹";
    case node_kind::kDeletedFile:
      return "已删除文件";
    case node_kind::kFolder:
      return "正常文件夹";
    case node_kind::kFile:
      return "正常文件";
    default:
      return "";
  }
}

FatNode* InsertChild(FatNode& parent, FatNode child) {
  child.parent = &parent;
  if (IsFolderLike(child.flags)) {
    parent.children.push_front(std::move(child));
    return &parent.children.front();
  }
  parent.children.push_back(std::move(child));
  return &parent.children.back();
}

std::string DosDateText(uint16_t date, uint16_t time) {
  if (date == 0) return {};
  char text[64];
  std::snprintf(text, sizeof text, "%d-%02d-%02d %02d:%02d:%02d", (date >> 9) + 1980, (date >> 5) & 15, date & 31,
                time >> 11, (time >> 5) & 63, (time & 31) * 2);
  return text;
}

}  // namespace orvaldi::fs
