// Fuzzes the dynamic-disk database parser: record blocks, the whole database and the volumes built from it.
#include <cstddef>
#include <cstdint>
#include <span>

#include "disk/ldm.h"

using namespace orvaldi;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  disk::ldm::ParsePrivHead(bytes.first(std::min<size_t>(size, 512)));
  // Every 128-byte block as a record on its own, then the input as a
  // database whose header says how its blocks lie.
  disk::ldm::Database blocks;
  for (size_t at = 0; at + 128 <= size; at += 128) disk::ldm::ParseRecord(bytes.subspan(at, 128), blocks);
  disk::ldm::BuildVolumes(blocks);
  if (const auto db = disk::ldm::ParseDatabase(bytes)) {
    auto volumes = disk::ldm::BuildVolumes(*db);
    disk::DiskInfo group;
    for (auto& v : volumes) group.partitions.push_back(std::move(v));
    disk::ldm::AttachMember(group, {}, "member.img", 63);
  }
  return 0;
}
