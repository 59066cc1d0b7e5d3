// LZNT1 decompression.
#include "fs/lznt1.h"

#include <algorithm>
#include <cstring>

namespace orvaldi::fs {
namespace {

// Decompresses one compressed chunk's payload into `out` (at most 4,096
// bytes). Returns the bytes produced, or nothing when a reference is bad.
std::optional<size_t> DecompressChunk(std::span<const uint8_t> in, std::span<uint8_t> out) {
  size_t ip = 0;
  size_t op = 0;
  while (ip < in.size() && op < out.size()) {
    const uint8_t flags = in[ip++];
    for (int bit = 0; bit < 8 && ip < in.size() && op < out.size(); ++bit) {
      if ((flags & (1u << bit)) == 0) {
        out[op++] = in[ip++];
        continue;
      }
      if (ip + 2 > in.size()) return std::nullopt;
      const uint16_t token = static_cast<uint16_t>(in[ip] | (in[ip + 1] << 8));
      ip += 2;
      // The further into the chunk, the more bits the offset takes: 4 bits
      // up to 16 bytes of output, one more at each doubling, 12 at most.
      unsigned lengthBits = 12;
      for (size_t p = op - 1; op > 0 && p >= 0x10; p >>= 1) --lengthBits;
      const size_t length = (token & ((1u << lengthBits) - 1)) + 3;
      const size_t offset = (token >> lengthBits) + 1;
      if (offset > op) return std::nullopt;
      const size_t n = std::min(length, out.size() - op);
      // Byte by byte: a reference may overlap what it produces.
      for (size_t i = 0; i < n; ++i, ++op) out[op] = out[op - offset];
    }
  }
  return op;
}

}  // namespace

std::optional<size_t> Lznt1Decompress(std::span<const uint8_t> in, std::span<uint8_t> out) {
  size_t ip = 0;
  size_t op = 0;
  while (ip + 2 <= in.size() && op < out.size()) {
    const uint16_t header = static_cast<uint16_t>(in[ip] | (in[ip + 1] << 8));
    if (header == 0) break;
    // Bits 12 to 14 (3 in what Windows writes) are not checked: other
    // writers differ, and the length and flag are all that is needed.
    const size_t payload = (header & 0x0FFF) + 1;
    ip += 2;
    if (ip + payload > in.size()) return std::nullopt;
    // Each chunk begins on its own 4 KiB boundary of the output.
    if (op % kLznt1ChunkBytes != 0) {
      const size_t pad = std::min(kLznt1ChunkBytes - op % kLznt1ChunkBytes, out.size() - op);
      std::memset(out.data() + op, 0, pad);
      op += pad;
      if (op == out.size()) break;
    }
    const std::span<uint8_t> chunkOut = out.subspan(op, std::min(kLznt1ChunkBytes, out.size() - op));
    if (header & 0x8000) {
      const auto produced = DecompressChunk(in.subspan(ip, payload), chunkOut);
      if (!produced) return std::nullopt;
      op += *produced;
    } else {
      const size_t n = std::min(payload, chunkOut.size());
      std::memcpy(chunkOut.data(), in.data() + ip, n);
      op += n;
    }
    ip += payload;
  }
  return op;
}

}  // namespace orvaldi::fs
