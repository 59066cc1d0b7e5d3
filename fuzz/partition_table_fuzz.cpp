// Fuzzes partition-table reading on an in-memory disk: it must neither crash nor loop.
#include <cstddef>
#include <cstdint>

#include "disk/ldm.h"
#include "disk/partition_table.h"
#include "platform/sector_source.h"

using namespace orvaldi;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto source = platform::MemorySource::borrow({data, size});
  // Dynamic-disk groups go to a list of this input's own.
  disk::DiskInfoList groups;
  disk::ldm::GroupListScope scope(groups);
  disk::DiskInfo disk;
  disk.devicePath = "fuzz.img";
  disk.sizeBytes = static_cast<int64_t>(size);
  disk::EnumeratePartitions(*source, disk, disk.devicePath);
  disk::CreateRegion(size > 8 ? data[0] : 0, size, disk, *source);
  return 0;
}
