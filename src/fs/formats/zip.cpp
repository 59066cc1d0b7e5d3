// ZIP and the Office packages built on it: local headers, the central directory, its end record.
#include <algorithm>

#include "fs/formats/format.h"

namespace orvaldi::fs::formats {
namespace {

using disk::Le16;
using disk::Le32;

constexpr std::string_view kLocal("PK\x03\x04", 4);
constexpr std::string_view kContentTypes = "[Content_Types].xml";

bool Claims(const uint8_t* s) { return Matches(s, kLocal); }

bool Signature(const disk::ByteView& head) { return head.matches(0, kLocal); }

// Every step moves on by at least four bytes, and the window ends at 4 GiB.
std::optional<Measured> Measure(const Probe& probe) {
  ReadWindow& window = probe.window;
  std::string pending;
  uint64_t p = 0;
  while (true) {
    const uint8_t* r = window.at(p, 0, 4);
    if (!r || r[0] != 'P' || r[1] != 'K') return std::nullopt;
    const uint8_t a = r[2], b = r[3];
    if (a == 3 && b == 4) {
      const uint8_t* h = window.at(p, 18, 12);
      if (!h) return std::nullopt;
      p += 30ull + Le16(h + 8) + Le16(h + 10) + Le32(h);
    } else if (a == 1 && b == 2) {
      const uint8_t* h = window.at(p, 28, 6);
      if (!h) return std::nullopt;
      const uint16_t nameLength = Le16(h);
      // The first component of the name decides the kind of document.
      const uint32_t look = std::min<uint32_t>(nameLength, 5);
      if (const uint8_t* name = window.at(p, 46, look)) {
        const std::string_view n(reinterpret_cast<const char*>(name), look);
        if (n.starts_with("word/")) pending = ".docx";
        if (n.starts_with("xl/")) pending = ".xlsx";
        if (n.starts_with("ppt/")) pending = ".pptx";
      }
      p += 46ull + nameLength + Le16(h + 2) + Le16(h + 4);
    } else if (a == 5 && b == 6) {
      const uint8_t* h = window.at(p, 20, 2);
      if (!h) return std::nullopt;
      p += 22ull + Le16(h);
      break;
    } else {
      p += 4;
      if (a == 7 && b == 8) {
        const uint8_t* next = window.at(p, 0, 2);
        if (!next || next[0] != 'P' || next[1] != 'K') p += 12;
      }
    }
  }
  if (p > kMaxFileBytes) return std::nullopt;
  // Office documents name "[Content_Types].xml" first; anything else is a plain archive.
  const bool office = probe.first.size() >= 49 && Matches(probe.first.data() + 30, kContentTypes);
  return Measured{p, SectorName(probe.start) + (office ? pending : std::string(".zip"))};
}

bool FirstNameIsContentTypes(const disk::ByteView& b) {
  if (!b.contains(26, 2)) return false;
  return b.le16(26) >= kContentTypes.size() && b.matches(30, kContentTypes);
}

// A package and a plain archive differ by the first name only.
bool Confirms(std::string_view extension, const disk::ByteView& head, uint64_t) {
  return Signature(head) && FirstNameIsContentTypes(head) == (extension != "zip");
}

constexpr std::string_view kExtensions[] = {"zip", "docx", "pptx", "xlsx"};

}  // namespace

extern const FileFormat kZip{"zip", "P", Claims, Measure, Signature, kExtensions, false, Confirms};

}  // namespace orvaldi::fs::formats
