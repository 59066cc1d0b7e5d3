// Fuzzes the recognisers, the MFT record check and the label reader on an in-memory disk.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "disk/recognisers.h"
#include "disk/volume_label.h"
#include "disk/volume_probe.h"
#include "platform/sector_source.h"

using namespace orvaldi;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  disk::IsFat16BootSector(bytes);
  disk::IsFat32BootSector(bytes);
  disk::IsNtfsBootSector(bytes);
  disk::IsExfatBootSector(bytes);
  if (disk::IsExtSuperblock(bytes)) {
    disk::ExtGeneration(bytes);
    disk::ExtVolumeSectors(bytes, 512);
  }
  const disk::HfsKind hfs = disk::HfsSignatureKind(bytes);
  disk::HfsVolumeLabel(bytes, hfs);

  std::vector<uint8_t> record(data, data + (size / 512) * 512);
  disk::CheckUpdateSequence(record);

  // The same bytes as a disk: its first sector as a boot sector whose
  // fields steer the label readers anywhere in (or beyond) the image.
  auto source = platform::MemorySource::borrow(bytes);
  disk::IdentifyVolume(*source, 0);
  for (uint8_t type : {0x04, 0x05, 0x06, 0x07, 0x0B, 0x0C, 0x0D, 0x0E, 0x83}) disk::ReadVolumeLabel(*source, 0, type);
  return 0;
}
