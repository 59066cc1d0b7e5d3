// Which reader a partition's type code calls for. Every decision that turns
// on "is this FAT16, FAT32 or NTFS" goes through FamilyOf, so that the set of
// codes each family takes is written down once.
#pragma once

#include <cstdint>

namespace orvaldi::disk {

enum class FsFamily : uint8_t {
  kOther,  // nothing the file readers take (EXT, HFS, empty, unknown)
  kFat16,  // 0x04, 0x06, 0x0E
  kFat32,  // 0x0B, 0x0C
  kNtfs,   // 0x07, 0x0D
  // 0x05 once the exFAT recogniser passed. The tables never make a record of
  // an extended container (the same code), but a record loaded from elsewhere
  // may carry one: the exFAT reader checks the boot region and finds no volume.
  kExfat,
};

constexpr FsFamily FamilyOf(uint8_t typeByte) {
  switch (typeByte) {
    case 0x04:
    case 0x06:
    case 0x0E:
      return FsFamily::kFat16;
    case 0x0B:
    case 0x0C:
      return FsFamily::kFat32;
    case 0x07:
    case 0x0D:
      return FsFamily::kNtfs;
    case 0x05:
      return FsFamily::kExfat;
    default:
      return FsFamily::kOther;
  }
}

constexpr bool IsFat(FsFamily f) { return f == FsFamily::kFat16 || f == FsFamily::kFat32; }

}  // namespace orvaldi::disk
