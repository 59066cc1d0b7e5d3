// Fuzzes the Apple partition map: the driver descriptor, the map's entries and the HFS headers they lead to.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "disk/partition_table.h"
#include "platform/sector_source.h"

using namespace orvaldi;

// The input is the disk. Its descriptor signature ("ER", with no MBR
// signature) and, when the block size is one the reader takes, the first
// map entry's "PM" are written here, so that every input reaches the entries.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> image(data, data + size);
  if (image.size() < 1024) image.resize(1024);
  std::memcpy(image.data(), "ER", 2);
  image[510] = 0;
  const uint32_t blockSize = uint32_t{image[2]} << 8 | image[3];
  if (blockSize >= 512 && blockSize <= 32768 && (blockSize & (blockSize - 1)) == 0 && blockSize + 2 <= image.size())
    std::memcpy(image.data() + blockSize, "PM", 2);
  auto source = platform::MemorySource::borrow(image);
  disk::DiskInfo disk;
  disk.devicePath = "fuzz.img";
  disk.sizeBytes = static_cast<int64_t>(image.size());
  disk::EnumeratePartitions(*source, disk, disk.devicePath);
  return 0;
}
