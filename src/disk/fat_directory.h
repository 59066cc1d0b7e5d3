// Byte tests that tell a FAT directory sector from other data, for the searches that have no FAT to follow.
#pragma once

#include <cstdint>
#include <span>

namespace orvaldi::disk {

// Whether every 32-byte entry of the 512-byte sector could belong to a FAT
// directory (a shorter span is rejected): known attribute and case bits, at
// most one volume label, long-name pieces that count down to their short
// entry and match its checksum, plausible clusters, times, and dates from
// 2000 to 2080 (older or later dates are taken as noise). An all-zero sector
// passes; a caller that wants evidence of entries tests the first byte too.
bool IsFatDirectorySector(std::span<const uint8_t> sector);

}  // namespace orvaldi::disk
