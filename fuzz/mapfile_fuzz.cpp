// Fuzzes the rescue-map reader, and the unread areas and failing source built from a map it took.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/byte_areas.h"
#include "platform/sector_source.h"
#include "raw/rescue_map.h"

using namespace orvaldi;

namespace {

// Blocks from 0 on, each following the last, none empty, neighbours of different states.
void CheckBlocks(const raw::RescueMap& map) {
  uint64_t at = 0;
  const raw::MapBlock* previous = nullptr;
  for (const raw::MapBlock& b : map.blocks()) {
    if (b.pos != at || b.size == 0 || b.end() < b.pos) std::abort();
    if (previous && previous->status == b.status) std::abort();
    at = b.end();
    previous = &b;
  }
  if (at != map.length()) std::abort();
}

bool SameBlocks(const raw::RescueMap& a, const raw::RescueMap& b) {
  if (a.blocks().size() != b.blocks().size()) return false;
  for (size_t i = 0; i < a.blocks().size(); ++i) {
    const raw::MapBlock &x = a.blocks()[i], &y = b.blocks()[i];
    if (x.pos != y.pos || x.size != y.size || x.status != y.status) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string error;
  auto map = raw::RescueMap::parse(text, error);
  if (!map) {
    if (error.empty()) std::abort();  // a refusal always says why
    return 0;
  }
  CheckBlocks(*map);
  // What a later run writes reads back as the same map.
  const auto again = raw::RescueMap::parse(map->format(map->length() / 2, '?', "fuzz"), error);
  if (!again || !SameBlocks(*map, *again)) std::abort();

  // The unread areas, and a source that fails where they lie.
  std::vector<platform::ByteRange> unread;
  uint64_t unreadBytes = 0;
  for (const raw::MapBlock& b : map->unfinished()) {
    unread.push_back({b.pos, b.end()});
    unreadBytes += b.size;
  }
  auto areas = std::make_shared<const platform::ByteAreas>(std::move(unread));
  if (areas->bytes() != unreadBytes || unreadBytes != map->length() - map->bytesIn(raw::MapStatus::kFinished))
    std::abort();
  platform::AreaFaultySource faulty(platform::MemorySource::borrow({data, size}), areas);
  std::vector<uint8_t> sector(512);
  for (uint64_t at = 0; at < size && at < 64 * 512; at += 512) {
    const platform::ReadOutcome got = faulty.readAt(at, sector);
    const bool touches = areas->firstTouched(at, at + sector.size()) != at + sector.size();
    if ((got.error != 0) != touches) std::abort();
  }

  // A further pass finishes the middle of every block: the map stays whole.
  const std::vector<raw::MapBlock> blocks = map->blocks();
  for (const raw::MapBlock& b : blocks) map->mark(b.pos + b.size / 4, b.size / 2, raw::MapStatus::kFinished);
  CheckBlocks(*map);
  if (map->length() != again->length()) std::abort();
  return 0;
}
