// Fuzzes the FAT directory-sector test and the long-name assembly over a run of 32-byte entries.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "disk/bytes.h"
#include "disk/fat_directory.h"
#include "disk/fat_layout.h"
#include "fs/fat_scan.h"
#include "platform/text.h"

using namespace orvaldi;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  for (size_t at = 0; at + 512 <= size; at += 512) disk::IsFatDirectorySector(bytes.subspan(at, 512));
  if (size < 512 && disk::IsFatDirectorySector(bytes)) std::abort();  // a short span is never a sector

  // The entries as a folder lists them: long-name pieces gathered until the
  // short entry they belong to.
  fs::detail::LongNameRun run;
  constexpr size_t kMaxName = fs::detail::LongNameRun::kMaxPieces * disk::fat::LongNameEntry::kUnits;
  for (size_t at = 0; at + disk::fat::kEntryBytes <= size; at += disk::fat::kEntryBytes) {
    const disk::ByteView entry(bytes.subspan(at, disk::fat::kEntryBytes));
    const disk::fat::DirEntry d(entry);
    if (d.firstByte() == 0) continue;
    if (d.attributes() == disk::fat::attr::kLongName) {
      run.add(disk::fat::LongNameEntry(entry));
      continue;
    }
    std::string name;
    if (!run.take(d.deleted(), name)) continue;
    // At most 20 pieces of 13 UTF-16 units, each at most 3 bytes of UTF-8
    // (a pair of units, 4 bytes, is two of them); always valid UTF-8.
    if (name.empty() || name.size() > 3 * kMaxName) std::abort();
    if (platform::SanitizeUtf8(name) != name) std::abort();
  }
  return 0;
}
