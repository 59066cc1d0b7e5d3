// RAR (version 1.5 to 4): a chain of blocks, each sized by its header, up to the end-of-archive block.
#include "fs/formats/format.h"

namespace orvaldi::fs::formats {
namespace {

using disk::Le16;
using disk::Le32;

constexpr std::string_view kMark("Rar!\x1A\x07\x00", 7);

bool Claims(const uint8_t* s) { return Matches(s, kMark); }

bool Signature(const disk::ByteView& head) { return head.matches(0, kMark); }

// Every block is at least seven bytes; the walk stops at 4 GiB.
std::optional<Measured> Measure(const Probe& probe) {
  uint64_t p = 0;
  while (true) {
    const uint8_t* h = probe.window.at(p, 0, 11);
    if (!h) return std::nullopt;
    const uint8_t type = h[2];
    const uint16_t headerSize = Le16(h + 5);
    if (type < 0x72 || type > 0x7B || headerSize < 7) return std::nullopt;
    const uint16_t flags = Le16(h + 3);
    p += headerSize;
    if (flags & 0x8000) p += Le32(h + 7);
    if (type == 0x7B) break;
    if (p > kMaxFileBytes) return std::nullopt;
  }
  if (p > kMaxFileBytes) return std::nullopt;
  return Measured{p, SectorName(probe.start) + ".rar"};
}

constexpr std::string_view kExtensions[] = {"rar"};

}  // namespace

extern const FileFormat kRar{"rar", "R", Claims, Measure, Signature, kExtensions};

}  // namespace orvaldi::fs::formats
