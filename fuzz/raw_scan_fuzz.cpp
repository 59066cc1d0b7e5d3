// Fuzzes the full-disk raw scan (boot sectors, MFT records, FAT tables, directories, carving) on an in-memory disk.
#include <cstddef>
#include <cstdint>
#include <set>

#include "disk/disk_info.h"
#include "platform/progress.h"
#include "platform/sector_source.h"
#include "raw/raw_scan.h"

using namespace orvaldi;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto memory = platform::MemorySource::borrow({data, size});
  // Sectors that begin with 0xBD fail to read, as on a failing disk.
  std::set<uint64_t> bad;
  for (size_t at = 0; at < size; at += 512)
    if (data[at] == 0xBD) bad.insert(at / 512);
  platform::FaultySource source(*memory, bad);
  disk::DiskInfo disk;
  disk.sizeBytes = static_cast<int64_t>(size);
  platform::ProgressBlock progress;
  // Every sector, and the last one with a partial sector behind it, so that
  // the probes also meet the end of the source.
  const uint64_t sectors = (size + 511) / 512;
  raw::RawDiskScan(&source, disk, progress, 0, sectors);
  // A second scan of the same disk goes through the duplicate rules and the
  // record runs of the first.
  raw::RawDiskScan(&source, disk, progress, sectors / 2, sectors);
  return 0;
}
