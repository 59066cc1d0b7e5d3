// Which member of the HFS family a volume header announces.
#pragma once

#include <cstdint>

namespace orvaldi::disk {

// The numbers are the ones the scan-result file stores; a number read from
// such a file that is none of these is kept as read (and labels nothing).
enum class HfsKind : uint32_t { kNone = 0, kHfs = 1, kHfsPlus = 2, kHfsx = 3, kHfsPlusInHfs = 4 };

// "HFS", "HFS+", "HFSX", "HFS+ in HFS"; empty for kNone and unknown numbers.
constexpr const char* HfsKindText(HfsKind kind) {
  switch (kind) {
    case HfsKind::kHfs:
      return "HFS";
    case HfsKind::kHfsPlus:
      return "HFS+";
    case HfsKind::kHfsx:
      return "HFSX";
    case HfsKind::kHfsPlusInHfs:
      return "HFS+ in HFS";
    case HfsKind::kNone:
      break;
  }
  return "";
}

}  // namespace orvaldi::disk
