// Fuzzes the full-disk raw scan (boot sectors, MFT records, FAT tables, directories, carving) on an in-memory disk.
#include <cstddef>
#include <cstdint>

#include "disk/disk_info.h"
#include "platform/progress.h"
#include "platform/sector_source.h"
#include "raw/raw_scan.h"

using namespace orvaldi;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto source = platform::MemorySource::borrow({data, size});
  disk::DiskInfo disk;
  disk.sizeBytes = static_cast<int64_t>(size);
  platform::ProgressBlock progress;
  // Every sector, and the last one with a partial sector behind it, so that
  // the probes also meet the end of the source.
  const uint64_t sectors = (size + 511) / 512;
  raw::RawDiskScan(source.get(), disk, progress, 0, sectors);
  // A second scan of the same disk goes through the duplicate rules and the
  // record runs of the first.
  raw::RawDiskScan(source.get(), disk, progress, sectors / 2, sectors);
  return 0;
}
