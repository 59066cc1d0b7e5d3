// Fuzzes the NTFS sector search (records, re-parenting, document and picture tests) on an in-memory volume.
#include <cstddef>
#include <cstdint>

#include "disk/disk_info.h"
#include "fs/ntfs_search.h"
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
  fs::SearchNtfsVolume(source.get(), disk, part, progress);
  disk.mftRecordRuns = {{0, static_cast<uint32_t>(size / 512)}};
  disk::PartitionInfo listed;
  listed.sectorCount = size / 512;
  fs::SearchListedRuns(source.get(), disk, listed, progress);
  return 0;
}
