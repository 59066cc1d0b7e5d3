// PDF: "%PDF-1.", sized up to and with the first "%EOF" behind the first sector.
#include <cstring>

#include "disk/sector_io.h"
#include "fs/formats/format.h"

namespace orvaldi::fs::formats {
namespace {

bool Claims(const uint8_t* s) { return Matches(s, "%PDF-1"); }

bool Signature(const disk::ByteView& head) { return head.matches(0, "%PDF-1"); }

// The first sector is skipped: an "%EOF" written in the header's comment is
// not the file's end.
std::optional<Measured> Measure(const Probe& probe) {
  if (probe.first[6] != '.') return std::nullopt;
  LazyRange buffer(probe.reader, 1);
  const uint8_t* d = buffer.data();
  const uint8_t* hit = nullptr;
  uint64_t i = 0;
  while (i + 4 <= kSearchBytes) {
    const uint64_t have = buffer.need(i + 4);
    const auto* p = static_cast<const uint8_t*>(std::memchr(d + i, '%', have - 3 - i));
    if (!p) {
      if (have == kSearchBytes) break;
      i = have - 3;
      continue;
    }
    if (Matches(p, "%EOF")) {
      hit = p;
      break;
    }
    i = static_cast<uint64_t>(p - d) + 1;
  }
  if (!hit) return std::nullopt;
  return Measured{disk::SectorSize + static_cast<uint64_t>(hit - d) + 4, SectorName(probe.start) + ".pdf"};
}

constexpr std::string_view kExtensions[] = {"pdf"};

}  // namespace

extern const FileFormat kPdf{"pdf", "%", Claims, Measure, Signature, kExtensions};

}  // namespace orvaldi::fs::formats
