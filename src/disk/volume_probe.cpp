// Identifying the volume at a sector by running the recognisers in turn.
#include "disk/volume_probe.h"

#include <array>

#include "disk/partition_info.h"
#include "disk/recognisers.h"
#include "disk/sector_io.h"
#include "disk/volume_label.h"

namespace orvaldi::disk {

VolumeGuess IdentifyVolume(platform::SectorSource& source, uint64_t sector, uint64_t entrySectors) {
  std::array<uint8_t, SectorSize> boot{};
  ReadSectors(source, sector, 1, boot.data());
  VolumeGuess guess;
  auto labelled = [&](const char* fs, uint8_t type) {
    guess.fs = fs;
    guess.typeByte = type;
    guess.label = ReadVolumeLabel(source, sector, type);
    return guess;
  };
  switch (ClassifyBootSector(boot, sector, entrySectors)) {
    case BootSectorKind::kNtfs:
      return labelled("NTFS", type_code::kNtfs);
    case BootSectorKind::kFat32:
      return labelled("FAT32", type_code::kFat32Lba);
    case BootSectorKind::kFat16:
      return labelled("FAT16", type_code::kFat16);
    case BootSectorKind::kExfat:
      return labelled("exFAT", type_code::kExfat);
    case BootSectorKind::kNone:
      break;
  }

  std::array<uint8_t, 2 * SectorSize> super{};
  if (sector <= UINT64_MAX - 2) ReadSectors(source, sector + 2, 2, super.data());
  if (IsExtSuperblock(super)) {
    guess.fs = ExtGeneration(super);
    guess.typeByte = type_code::kLinux;
    guess.label = ReadVolumeLabel(source, sector, type_code::kLinux);
    return guess;
  }
  if (const HfsKind kind = HfsSignatureKind(super); kind != HfsKind::kNone) {
    guess.fs = HfsKindText(kind);
    guess.typeByte = type_code::kHfs;
    guess.hfsKind = kind;
    guess.label = HfsVolumeLabel(super, kind);
  }
  return guess;
}

}  // namespace orvaldi::disk
