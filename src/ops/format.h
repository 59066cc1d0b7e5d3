// Texts shared by every front end: sizes and dates as the views show them.
#pragma once

#include <cstdint>
#include <string>

namespace orvaldi::ops {

// "%.1f GB" when the size is at least 0.1 GiB, "%.1f KB" below 0.0001 GiB,
// "%.1f MB" in between (1024-based units).
std::string SizeText(uint64_t bytes);

// "%d-%02d-%02d %02d:%02d:%02d".
std::string DateText(int year, int month, int day, int hour, int minute, int second);

}  // namespace orvaldi::ops
