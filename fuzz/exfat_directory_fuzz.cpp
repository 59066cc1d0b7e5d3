// Fuzzes the exFAT entry-set parser over a folder's bytes: every set it takes
// lies inside the input, in order, without overlap, and has a name.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "disk/exfat_layout.h"
#include "fs/exfat_directory.h"

using namespace orvaldi;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fs::ExfatDirectory dir = fs::ParseExfatDirectory({data, size});
  uint64_t next = 0;  // the first byte a following set may start at
  for (const fs::ExfatEntrySet& set : dir.sets) {
    if (set.offset < next || set.offset % disk::exfat::kEntryBytes != 0) std::abort();
    // A file entry, a stream extension and at least one name entry.
    if (set.offset + 3 * disk::exfat::kEntryBytes > size) std::abort();
    if (set.name.empty()) std::abort();
    if (set.deleted != ((data[set.offset] & disk::exfat::entry_type::kInUse) == 0)) std::abort();
    next = set.offset + 3 * disk::exfat::kEntryBytes;
  }
  for (const fs::ExfatBadSet& bad : dir.badSets)
    if (bad.offset >= size) std::abort();
  return 0;
}
