// Size and date texts.
#include "ops/format.h"

#include <cstdio>

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

}  // namespace orvaldi::ops
