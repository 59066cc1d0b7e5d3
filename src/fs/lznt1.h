// LZNT1, the compression of NTFS compressed files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace orvaldi::fs {

// Size of the output of one LZNT1 chunk.
inline constexpr size_t kLznt1ChunkBytes = 4096;

// Decompresses an LZNT1 stream (the compressed clusters of one compression
// unit) into `out`. The stream is a run of chunks, each a 16-bit header
// (low 12 bits: chunk length - 3; bit 15: compressed) and up to 4,096 bytes
// of output; a zero header ends it. A chunk that yields less than 4,096
// bytes while another follows is padded with zeros, so each chunk starts at
// its own 4 KiB boundary. Output past `out` is never written: decompression
// stops at its end. Returns the bytes produced, or nothing when the stream is
// corrupt (a back-reference before the chunk's start, a chunk running past
// the input); what was produced before the fault stays in `out`.
std::optional<size_t> Lznt1Decompress(std::span<const uint8_t> in, std::span<uint8_t> out);

}  // namespace orvaldi::fs
