// Fuzzes the backup-file reader: any bytes give a whole backup or an error,
// never a crash, and a whole backup always has a block for every offset.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "disk/partition_table_tools.h"

using namespace orvaldi;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto parsed = disk::ParseBackup({data, size});
  if (parsed.contents) {
    const auto& c = *parsed.contents;
    if (c.blocks.size() != c.offsets.size() * disk::kBackupBlockBytes) std::abort();
    for (uint64_t offset : c.offsets)
      if (offset % 512 != 0) std::abort();
  }
  return 0;
}
