// MP3: an optional ID3v2 tag, MPEG audio frames each sized by its header, an optional ID3v1 tag.
#include "fs/formats/format.h"

namespace orvaldi::fs::formats {
namespace {

// Bitrates in kbit/s by [MPEG-1 ? 0 : 1][layer bits 3 (I), 2 (II), 1 (III)][index].
constexpr uint16_t kBitrates[2][4][16] = {
    {{},
     {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
     {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0}},
    {{},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0}},
};
constexpr uint32_t kSampleRates[4][3] = {{11025, 12000, 8000}, {}, {22050, 24000, 16000}, {44100, 48000, 32000}};

bool Claims(const uint8_t* s) {
  return (s[0] == 0xFF && (s[1] & 0xE0) == 0xE0 && (s[2] & 0xF0) != 0xF0) || Matches(s, "ID3");
}

bool Signature(const disk::ByteView& head) {
  return head.matches(0, "ID3") ||
         (head.contains(0, 3) && head.u8(0) == 0xFF && (head.u8(1) & 0xE0) == 0xE0 && (head.u8(2) & 0xF0) != 0xF0);
}

}  // namespace

uint32_t Mp3FrameLength(uint8_t b1, uint8_t b2) {
  if ((b1 & 0xE0) != 0xE0 || (b2 & 0xF0) == 0xF0) return 0;
  const unsigned version = (b1 >> 3) & 3;
  const unsigned layer = (b1 >> 1) & 3;
  const unsigned bitrateIndex = b2 >> 4;
  const unsigned rateIndex = (b2 >> 2) & 3;
  if (version == 1 || layer == 0 || bitrateIndex == 15 || rateIndex == 3) return 0;
  const uint32_t bitrate = kBitrates[version == 3 ? 0 : 1][layer][bitrateIndex] * 1000u;
  if (bitrate == 0) return 0;
  const uint32_t rate = kSampleRates[version][rateIndex];
  const uint32_t padding = (b2 >> 1) & 1;
  uint32_t coefficient = 144, slot = 1;
  if (layer == 3) {
    coefficient = 12;
    slot = 4;
  } else if (layer == 1 && version != 3) {
    coefficient = 72;
  }
  return (coefficient * bitrate / rate + padding) * slot;
}

namespace {

// Every valid frame is longer than nothing, and the window ends at 4 GiB.
std::optional<Measured> Measure(const Probe& probe) {
  uint64_t p = 0;
  if (Matches(probe.first.data(), "ID3")) {
    const uint8_t* s = probe.first.data() + 6;
    p = 10 +
        ((uint64_t{s[0]} & 0x7F) << 21 | (uint64_t{s[1]} & 0x7F) << 14 | (uint64_t{s[2]} & 0x7F) << 7 | (s[3] & 0x7F));
  }
  while (true) {
    const uint8_t* h = probe.window.at(p, 0, 3);
    if (!h || h[0] != 0xFF) break;
    const uint32_t length = Mp3FrameLength(h[1], h[2]);
    if (length == 0) break;
    p += length;
  }
  if (p < kMiB + 1 || p > 0x13FFFFF) return std::nullopt;
  uint64_t size = p;
  if (const uint8_t* tag = probe.window.at(p, 0, 3); tag && Matches(tag, "TAG")) size += 128;
  return Measured{size, SectorName(probe.start) + ".mp3"};
}

}  // namespace

// A saved MP3 is not looked for by its first cluster.
extern const FileFormat kMp3{"mp3", "\xFFI", Claims, Measure, Signature, {}};

}  // namespace orvaldi::fs::formats
