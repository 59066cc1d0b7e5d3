// Fuzzes the NTFS walk (boot sector, $MFT runs, table walk, placement) on an in-memory volume.
#include <cstddef>
#include <cstdint>

#include "disk/disk_info.h"
#include "fs/ntfs_reader.h"
#include "platform/progress.h"
#include "platform/sector_source.h"

using namespace orvaldi;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto source = platform::MemorySource::borrow({data, size});
  disk::DiskInfo disk;
  disk::PartitionInfo part;
  part.typeByte = 0x07;
  part.sectorCount = size / 512;
  platform::ProgressBlock progress;
  fs::ScanNtfsVolume(source.get(), disk, part, progress);
  disk::PartitionInfo copy = part;
  return 0;
}
