// MP4: a chain of top-level boxes (ftyp, free, mdat, moov), each sized by its header.
#include "fs/formats/format.h"

namespace orvaldi::fs::formats {
namespace {

using disk::Be32;

bool Claims(const uint8_t* s) { return Matches(s + 4, "ftyp"); }

bool Signature(const disk::ByteView& head) { return head.matches(4, "ftyp"); }

// A box of size 0 or 1 (to the end, or a 64-bit size) ends the walk; the
// window ends it at 4 GiB.
std::optional<Measured> Measure(const Probe& probe) {
  uint64_t p = 0;
  while (true) {
    const uint8_t* box = probe.window.at(p, 0, 8);
    if (!box) break;
    if (!Matches(box + 4, "ftyp") && !Matches(box + 4, "free") && !Matches(box + 4, "mdat") &&
        !Matches(box + 4, "moov"))
      break;
    const uint32_t size = Be32(box);
    p += size;
    if (size <= 1) break;
  }
  if (p <= kMiB || p > kMaxFileBytes) return std::nullopt;
  return Measured{p, SectorName(probe.start) + ".mp4"};
}

constexpr std::string_view kExtensions[] = {"mp4"};

}  // namespace

extern const FileFormat kMp4{"mp4", "", Claims, Measure, Signature, kExtensions};

}  // namespace orvaldi::fs::formats
