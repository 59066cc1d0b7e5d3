// Fuzzes FAT extraction (chains through a FAT taken from the input, loops and
// ends included) and the header confirmation of the first-cluster search.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fs/extract.h"
#include "fs/fat_state.h"
#include "platform/sector_source.h"
#include "raw/start_cluster_search.h"

using namespace orvaldi;

namespace {

class CountingSink final : public fs::DataSink {
 public:
  bool write(const uint8_t*, size_t length) override {
    total += length;
    return true;
  }
  uint64_t total = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  for (const char* ext : {"jpg", "doc", "pdf", "mpeg", "avi", "mp4", "zip", "docx", "rar"})
    raw::ConfirmHeader(ext, {data, size}, size);
  if (size < 16) return 0;
  disk::PartitionInfo part;
  part.typeByte = (data[0] & 1) ? 0x0C : 0x06;
  part.sectorsPerCluster = 1;
  part.clusterZeroSector = 0;
  part.sectorCount = size / 512 + 1;
  part.fatSizeSectors = static_cast<uint32_t>(size / 512 + 1);
  fs::FatScanState& state = fs::FatStateOf(part);
  state.fatCopy.assign(data, data + size);
  platform::MemorySource source(std::vector<uint8_t>(data, data + size));
  uint32_t first = 0;
  uint32_t length = 0;
  for (int i = 0; i < 4; ++i) {
    first |= uint32_t{data[1 + i]} << (8 * i);
    length |= uint32_t{data[5 + i]} << (8 * i);
  }
  CountingSink sink;
  // Some FAT sectors unreadable, as byte 9 picks them.
  for (uint32_t sector = 0; sector < 8; ++sector)
    if ((data[9] >> sector) & 1) state.unreadableFatSectors.push_back(sector);
  const fs::CopyResult r = fs::CopyFatChain(&source, part, state, first % 70000, length % (1u << 24), sink, {});
  if (r.written > length % (1u << 24)) __builtin_trap();
  CountingSink deleted;
  const fs::CopyResult d = fs::CopyFatDeleted(&source, part, state, first % 70000, length % (1u << 24), deleted, {});
  if (d.written > length % (1u << 24)) __builtin_trap();
  return 0;
}
