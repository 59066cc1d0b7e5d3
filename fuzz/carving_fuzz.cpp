// Fuzzes the carving probes: the input is a small disk, probed at its first sectors.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/sector_source.h"
#include "raw/carving.h"

using namespace orvaldi;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Whole sectors plus the one after the last probed sector.
  std::vector<uint8_t> disk(data, data + size);
  disk.resize((disk.size() / 512 + 2) * 512, 0);
  auto source = platform::MemorySource::borrow(disk);
  disk::DiskInfo info;
  for (uint64_t sector = 0; sector + 1 < disk.size() / 512 && sector < 8; ++sector) {
    uint32_t carved = 0;
    raw::ProbeCarvedFile(info, source.get(), nullptr, {disk.data() + sector * 512, 1024}, sector, 0, carved);
    const auto it = info.extraFoundFolder.children.find(sector);
    if (it != info.extraFoundFolder.children.end() && it->second.size != carved) __builtin_trap();
  }
  return 0;
}
