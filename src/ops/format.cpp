// Size and date texts.
#include "ops/format.h"

#include <algorithm>
#include <cstdio>

#include "disk/fs_family.h"

namespace orvaldi::ops {

std::string SizeText(uint64_t bytes) {
  const double b = static_cast<double>(bytes);
  const double g = b / (1024.0 * 1024.0 * 1024.0);
  char text[64];
  if (g >= 0.1) {
    std::snprintf(text, sizeof text, "%.1f GB", g);
  } else if (g < 0.0001) {
    std::snprintf(text, sizeof text, "%.1f KB", b / 1024.0);
  } else {
    std::snprintf(text, sizeof text, "%.1f MB", b / (1024.0 * 1024.0));
  }
  return text;
}

std::string DateText(int year, int month, int day, int hour, int minute, int second) {
  char text[64];
  std::snprintf(text, sizeof text, "%d-%02d-%02d %02d:%02d:%02d", year, month, day, hour, minute, second);
  return text;
}

std::string FsTypeName(const disk::PartitionInfo& partition) {
  switch (disk::FamilyOf(partition.typeByte)) {
    case disk::FsFamily::kFat16:
      return "FAT16";
    case disk::FsFamily::kFat32:
      return "FAT32";
    case disk::FsFamily::kNtfs:
      return "NTFS";
    case disk::FsFamily::kExfat:
    case disk::FsFamily::kOther:
      break;
  }
  switch (partition.typeByte) {
    case disk::type_code::kExfat:
      return "exFAT";
    case disk::type_code::kHfs:
      return partition.fsTypeText;
    case disk::type_code::kLinux:
      return partition.fsLabel;
    default:
      return {};
  }
}

std::vector<std::string> PartitionDisplayNames(const disk::DiskInfo& disk) {
  std::vector<std::string> names;
  for (const auto& p : disk.partitions) {
    std::string text = p.driveLetter.empty() ? p.name : p.driveLetter;
    if (std::find(names.begin(), names.end(), text) != names.end()) text = p.name;
    names.push_back(std::move(text));
  }
  return names;
}

std::string TableKindText(disk::TableKind tableKind) { return tableKind == disk::TableKind::kLogical ? "逻辑" : "主"; }

std::string GuidText(const std::array<uint8_t, 16>& guid) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < guid.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
    out.push_back(kHex[guid[i] >> 4]);
    out.push_back(kHex[guid[i] & 15]);
  }
  return out;
}

std::string VolumeLayoutText(const disk::PartitionInfo& partition) {
  switch (partition.volumeKind) {
    case disk::VolumeKind::kPlain:
      return {};
    case disk::VolumeKind::kStriped:
      return "striped";
    case disk::VolumeKind::kSpanned:
      return partition.members.size() == 1 ? "simple" : "spanned";
    case disk::VolumeKind::kRaid5:
      return "RAID-5";
    case disk::VolumeKind::kMirrored:
      return "mirrored";
  }
  return {};
}

}  // namespace orvaldi::ops
