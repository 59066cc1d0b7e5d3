// MPEG program stream: a pack header, the system header, then packets up to the end code.
#include "fs/formats/format.h"

namespace orvaldi::fs::formats {
namespace {

using disk::Be16;

constexpr std::string_view kPack("\x00\x00\x01\xBA", 4);
constexpr std::string_view kSystem("\x00\x00\x01\xBB", 4);

bool Claims(const uint8_t* s) { return Matches(s, kPack); }

// MPEG-1 (0x21) and MPEG-2 (0x44) pack headers differ in length; the system header follows.
uint32_t PackLength(const disk::ByteView& head) { return head.u8(4) == 0x21 ? 12 : head.u8(4) == 0x44 ? 14 : 0; }

bool Signature(const disk::ByteView& head) {
  if (!head.matches(0, kPack)) return false;
  const uint32_t pack = PackLength(head);
  return pack != 0 && head.matches(pack, kSystem);
}

bool IsStreamCode(uint8_t code) {
  switch (code) {
    case 0xBB:
    case 0xBE:
    case 0xE0:
    case 0xB3:
    case 0xB5:
    case 0xB8:
    case 0xB9:
    case 0xBF:
    case 0xBD:
    case 0x00:
    case 0x01:
    case 0x02:
    case 0xC0:
    case 0x03:
    case 0x04:
    case 0x05:
    case 0x06:
      return true;
    default:
      return false;
  }
}

// Every step moves on by at least four bytes, and the window ends at 4 GiB.
std::optional<Measured> Measure(const Probe& probe) {
  if (!Signature(probe.first)) return std::nullopt;
  const uint32_t packLength = PackLength(probe.first);
  uint64_t p = 0;
  while (true) {
    const uint8_t* code = probe.window.at(p, 0, 4);
    if (!code || code[0] != 0 || code[1] != 0 || code[2] != 1) break;
    if (code[3] == 0xBA) {
      p += packLength;
      continue;
    }
    if (!IsStreamCode(code[3])) break;
    const uint8_t which = code[3];
    p += 4;
    if (which == 0xB9) break;
    const uint8_t* length = probe.window.at(p, 0, 2);
    if (!length) break;
    p += 2 + Be16(length);
  }
  if (p <= kMiB || p > kMaxFileBytes) return std::nullopt;
  return Measured{p, SectorName(probe.start) + ".mpeg"};
}

constexpr std::string_view kExtensions[] = {"mpeg"};

}  // namespace

extern const FileFormat kMpeg{"mpeg", std::string_view("\x00", 1), Claims, Measure, Signature, kExtensions};

}  // namespace orvaldi::fs::formats
