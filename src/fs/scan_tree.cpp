// Scan-tree helpers shared by the readers and the front ends.
#include "fs/scan_tree.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

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

namespace {

template <typename Node>
Node* InsertByKind(std::list<Node>& children, Node child) {
  if (IsFolderLike(child.flags)) {
    children.push_front(std::move(child));
    return &children.front();
  }
  children.push_back(std::move(child));
  return &children.back();
}

}  // namespace

FatNode* InsertChild(FatNode& parent, FatNode child) {
  child.parent = &parent;
  return InsertByKind(parent.children, std::move(child));
}

NtfsNode* InsertChild(NtfsNode& parent, NtfsNode child) { return InsertByKind(parent.children, std::move(child)); }

ExfatNode* InsertChild(ExfatNode& parent, ExfatNode child) {
  child.parent = &parent;
  return InsertByKind(parent.children, std::move(child));
}

std::string FileTimeText(uint64_t fileTime) {
  constexpr uint64_t kTicksPerSecond = 10000000;
  constexpr int64_t kUnixEpochSeconds = 11644473600;  // 1601-01-01 to 1970-01-01
  if (fileTime == 0) return {};
  const int64_t seconds = static_cast<int64_t>(fileTime / kTicksPerSecond) - kUnixEpochSeconds;
  const time_t t = static_cast<time_t>(seconds);
  struct tm local {};
  if (!localtime_r(&t, &local)) return {};
  char text[64];
  std::snprintf(text, sizeof text, "%d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                local.tm_hour, local.tm_min, local.tm_sec);
  return text;
}

std::string DosDateText(uint16_t date, uint16_t time) {
  if (date == 0) return {};
  char text[64];
  std::snprintf(text, sizeof text, "%d-%02d-%02d %02d:%02d:%02d", (date >> 9) + 1980, (date >> 5) & 15, date & 31,
                time >> 11, (time >> 5) & 63, (time & 31) * 2);
  return text;
}

std::string ExfatTimeText(const ExfatTime& time) {
  const auto date = static_cast<uint16_t>(time.stamp >> 16);
  if (date == 0) return {};
  struct tm fields {};
  fields.tm_year = (date >> 9) + 80;
  fields.tm_mon = ((date >> 5) & 15) - 1;
  fields.tm_mday = date & 31;
  fields.tm_hour = (time.stamp >> 11) & 31;
  fields.tm_min = (time.stamp >> 5) & 63;
  fields.tm_sec = static_cast<int>(time.stamp & 31) * 2 + std::min<int>(time.tenMs, 199) / 100;
  if ((time.utcOffset & 0x80) == 0) {
    char text[64];
    std::snprintf(text, sizeof text, "%d-%02d-%02d %02d:%02d:%02d", fields.tm_year + 1900, fields.tm_mon + 1,
                  fields.tm_mday, fields.tm_hour, fields.tm_min, fields.tm_sec);
    return text;
  }
  // Seven bits of signed quarter hours east of UTC.
  const int quarters = (time.utcOffset & 0x40) ? static_cast<int>(time.utcOffset & 0x7F) - 0x80 : time.utcOffset & 0x3F;
  const time_t asUtc = timegm(&fields);
  if (asUtc == static_cast<time_t>(-1)) return {};
  const int64_t utc = static_cast<int64_t>(asUtc) - int64_t{quarters} * 15 * 60;
  constexpr int64_t kUnixEpochSeconds = 11644473600;
  if (utc + kUnixEpochSeconds <= 0) return {};
  return FileTimeText(static_cast<uint64_t>(utc + kUnixEpochSeconds) * 10000000u);
}

}  // namespace orvaldi::fs
