// Fuzzes the FAT reader (geometry, directory parsers, both modes) on an in-memory volume.
#include <cstddef>
#include <cstdint>
#include <set>

#include "disk/disk_info.h"
#include "fs/fat_reader.h"
#include "platform/progress.h"
#include "platform/sector_source.h"

using namespace orvaldi;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first byte picks FAT32 or FAT16, walk or search, whether the boot
  // sector is kept (otherwise the geometry is rebuilt from the FATs), and
  // whether sectors that begin with 0xBD fail to read, as on a failing disk.
  const uint8_t how = data[0];
  auto memory = platform::MemorySource::borrow({data + 1, size - 1});
  std::set<uint64_t> bad;
  if (how & 32)
    for (size_t at = 1 + 512; at < size; at += 512)
      if (data[at] == 0xBD) bad.insert((at - 1) / 512);
  platform::FaultySource faulty(*memory, bad);
  platform::SectorSource* source = &faulty;
  disk::DiskInfo disk;
  if (how & 8) disk.directorySectors = {40, 41, 64, 100};
  disk::PartitionInfo part;
  part.sectorCount = (size - 1) / 512;
  part.origin = (how & 16) ? disk::PartitionOrigin::kRebuilt : disk::PartitionOrigin::kTable;
  platform::ProgressBlock progress;
  fs::ScanFatVolume(source, disk, part, how & 1, (how & 2) ? fs::FatMode::kWalk : fs::FatMode::kSearch, progress);
  disk::PartitionInfo copy = part;  // the deep copy must hold up on whatever was built
  return 0;
}
