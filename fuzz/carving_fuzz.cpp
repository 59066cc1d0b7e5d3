// Fuzzes the carving probes (the input is a small disk, probed at its first
// sectors) and the formats' header tests on the input as it is.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fs/formats/registry.h"
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
    const auto found = raw::ProbeCarvedFile(info, source.get(), nullptr, {disk.data() + sector * 512, 1024}, sector);
    const auto it = info.extraFoundFolder.children.find(sector);
    const bool recorded = it != info.extraFoundFolder.children.end();
    // A record and a find go together, agree on the size, and the file's
    // known extent never runs past its size.
    if (recorded != found.has_value()) __builtin_trap();
    if (found && (it->second.size != found->size || found->extent > found->size)) __builtin_trap();
  }
  // The header tests on bytes of any length, as the first-cluster search and
  // the NTFS content search call them.
  const disk::ByteView head(data, size);
  for (const fs::formats::FileFormat* format : fs::formats::Registry()) {
    format->signature(head);
    for (const std::string_view extension : format->extensions) fs::formats::ConfirmsHeader(extension, head, size);
  }
  return 0;
}
