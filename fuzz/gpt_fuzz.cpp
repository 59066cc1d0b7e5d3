// Fuzzes the GUID partition table behind a protective MBR: header, entry array and backup header.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "disk/ldm.h"
#include "disk/partition_table.h"
#include "platform/sector_source.h"

using namespace orvaldi;

namespace {

void PutLe32(uint8_t* at, uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(v >> (8 * i));
}
void PutLe64(uint8_t* at, uint64_t v) {
  for (int i = 0; i < 8; ++i) at[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

// The first byte picks 4,096-byte logical sectors (1), the backup header in
// the last sector standing in for a lost main one (2), and a protective entry
// of 0xFFFFFFFF sectors (4). The rest is the disk from its second logical
// sector on: the header, then the entry array where the header puts it. The
// protective MBR and the header's signature are written here, so that every
// input reaches the header's fields.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t how = data[0];
  const size_t lba = (how & 1) ? 4096 : 512;
  const bool backup = (how & 2) != 0;
  std::vector<uint8_t> image(lba);
  image.insert(image.end(), data + 1, data + size);
  image.resize((image.size() + lba - 1) / lba * lba + (backup ? lba : 0));
  if (image.size() < 3 * lba) image.resize(3 * lba);
  const uint64_t sectors = image.size() / lba;

  uint8_t* mbr = image.data();
  std::memset(mbr, 0, 512);
  uint8_t* entry = mbr + 446;
  entry[4] = 0xEE;
  PutLe32(entry + 8, 1);
  PutLe32(entry + 12, (how & 4) ? 0xFFFFFFFFu : static_cast<uint32_t>(std::min<uint64_t>(sectors - 1, 0xFFFFFFFEu)));
  mbr[510] = 0x55;
  mbr[511] = 0xAA;
  uint8_t* header = image.data() + lba;
  std::memcpy(header, "EFI PART", 8);
  if (backup) {
    // The main header moves to the last sector, naming its own position.
    uint8_t* last = image.data() + (sectors - 1) * lba;
    std::memcpy(last, header, 512);
    PutLe64(last + 0x18, sectors - 1);
    std::memset(header, 0, 8);
  }

  auto source = platform::MemorySource::borrow(image);
  const uint32_t detected = disk::DetectSectorSize(*source);
  // A signed main header is found at the sector size it was written for.
  if (!backup && detected != lba) std::abort();
  disk::DiskInfoList groups;
  disk::ldm::GroupListScope scope(groups);
  disk::DiskInfo disk;
  disk.devicePath = "fuzz.img";
  disk.sizeBytes = static_cast<int64_t>(image.size());
  disk.bytesPerSector = detected;
  disk::EnumeratePartitions(*source, disk, disk.devicePath);
  return 0;
}
