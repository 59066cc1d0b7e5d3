// Fuzzes the LVM2 metadata parser and its reading for one physical volume: it must neither crash nor loop.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "disk/lvm_label.h"
#include "disk/lvm_metadata.h"

using namespace orvaldi;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The first 32 bytes name the physical volume whose values are looked for.
  if (size < 32) return 0;
  const std::string_view memberId(reinterpret_cast<const char*>(data), 32);
  const std::string_view text(reinterpret_cast<const char*>(data) + 32, size - 32);
  if (const auto root = disk::ParseLvmMetadata(text)) disk::InterpretLvmMetadata(*root, memberId);
  return 0;
}
