// LZNT1 decompression: real units written by ntfs-3g, and a table of hand-made
// streams for the token layout, chunk boundaries and corrupt input.
#include "fs/lznt1.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "support/test_images.h"

namespace orvaldi::fs {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kUntouched = 0xAA;

// Bytes without runs or short repeats, so a copy from the wrong place shows.
Bytes Noise(size_t n, uint32_t seed) {
  Bytes out(n);
  uint32_t x = seed * 2654435761u + 12345u;
  for (auto& b : out) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(x >> 24);
  }
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Head(const Bytes& b, size_t n) { return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n)); }

// One compressed chunk's payload, item by item: a flag byte before each group
// of eight items, bit i set when item i is a two-byte back-reference.
class Payload {
 public:
  Payload& lit(const Bytes& bs) {
    for (uint8_t b : bs) {
      item(false);
      bytes_.push_back(b);
    }
    return *this;
  }
  // A reference as stored: the low `lengthBits` bits hold length - 3, the
  // bits above them offset - 1. The caller says how the bits are split.
  Payload& ref(unsigned lengthBits, size_t offset, size_t length) {
    return token(static_cast<uint16_t>(((offset - 1) << lengthBits) | (length - 3)));
  }
  Payload& token(uint16_t t) {
    item(true);
    bytes_.push_back(static_cast<uint8_t>(t));
    bytes_.push_back(static_cast<uint8_t>(t >> 8));
    return *this;
  }
  const Bytes& bytes() const { return bytes_; }

 private:
  void item(bool isRef) {
    if (items_ % 8 == 0) {
      flagAt_ = bytes_.size();
      bytes_.push_back(0);
    }
    if (isRef) bytes_[flagAt_] = static_cast<uint8_t>(bytes_[flagAt_] | (1u << (items_ % 8)));
    ++items_;
  }
  Bytes bytes_;
  size_t flagAt_ = 0;
  size_t items_ = 0;
};

// A chunk: header (payload length - 1 in the low 12 bits, 3 in bits 12-14 as
// Windows writes, bit 15 when compressed), then the payload.
Bytes Chunk(const Bytes& payload, bool compressed) {
  const unsigned header = static_cast<unsigned>(payload.size() - 1) | 0x3000u | (compressed ? 0x8000u : 0u);
  return Cat({{static_cast<uint8_t>(header), static_cast<uint8_t>(header >> 8)}, payload});
}
Bytes Packed(const Payload& p) { return Chunk(p.bytes(), true); }
Bytes Stored(const Bytes& data) { return Chunk(data, false); }
const Bytes kEnd = {0, 0};

// Appends what a back-reference yields, one byte at a time.
Bytes& Copy(Bytes& out, size_t offset, size_t length) {
  for (size_t i = 0; i < length; ++i) out.push_back(out[out.size() - offset]);
  return out;
}

// The first `n` bytes of a chunk, none of them a repeat of the first 18. A
// chunk holds at most 3,640 literals (a flag byte per eight), so past 3,000
// the rest are references of 4 length bits (right from position 2,049 on)
// that copy from the middle, away from the chunk's first bytes.
Bytes Prefix(size_t n, uint32_t seed, Payload& p) {
  Bytes expected = Noise(std::min<size_t>(n, 3000), seed);
  p.lit(expected);
  for (size_t rest = n - expected.size(); rest > 0;) {
    const size_t length = rest <= 18 ? rest : std::min<size_t>(18, rest - 3);
    p.ref(4, 2000, length);
    Copy(expected, 2000, length);
    rest -= length;
  }
  return expected;
}

// Decompresses into a buffer of `size` bytes followed by guard bytes, all set
// to kUntouched beforehand; fails the test when a byte past the output
// produced (or past the buffer, on failure) changed.
struct Decoded {
  std::optional<size_t> produced;
  Bytes out;  // the whole buffer, guard excluded
};
Decoded Decode(std::span<const uint8_t> in, size_t size) {
  Bytes buf(size + 64, kUntouched);
  Decoded d{Lznt1Decompress(in, std::span<uint8_t>(buf.data(), size)), {}};
  for (size_t i = d.produced.value_or(size); i < buf.size(); ++i)
    if (buf[i] != kUntouched) ADD_FAILURE() << "wrote past the output at " << i << " (buffer " << size << ")";
  buf.resize(size);
  d.out = std::move(buf);
  return d;
}

// A stream, the buffer it is decompressed into, the result, and the bytes
// the buffer must start with. On success nothing past what was produced is
// written (no padding after the last chunk).
struct Case {
  std::string what;
  Bytes stream;
  size_t size;
  std::optional<size_t> produced;
  Bytes expected;
};

using Cases = std::vector<Case>;

void WellFormed(Cases& out) {
  {
    // Starts with 0xFF: as a compressed chunk it would open with a reference.
    // The second chunk has bits 12-14 clear, as some writers leave them.
    Bytes data = Noise(4096, 1);
    data[0] = 0xFF;
    const Bytes tail = Noise(10, 2);
    out.push_back(
        {"stored chunks verbatim", Cat({Stored(data), {0x09, 0x00}, tail, kEnd}), 3 * 4096, 4106, Cat({data, tail})});
  }
  {
    // Offset 1 repeats one byte; offset 3 a three-byte pattern, past its own start.
    Bytes e = {'x'};
    Copy(e, 1, 40).insert(e.end(), {'a', 'b', 'c'});
    Copy(e, 3, 50);
    const Payload p = Payload().lit({'x'}).ref(12, 1, 40).lit({'a', 'b', 'c'}).ref(10, 3, 50);
    out.push_back({"overlapping references", Cat({Packed(p), kEnd}), 4096, 94, e});
  }
  {
    const Bytes head = Noise(3, 3);
    Bytes e = head;
    out.push_back({"12 length bits: length 4093 fills the chunk",
                   Cat({Packed(Payload().lit(head).token(0x2FFA)), kEnd}), 4096, 4096, Copy(e, 3, 4093)});
  }
  {
    Payload p;
    Bytes e = Prefix(4095, 5, p);
    e.push_back(e[0]);
    out.push_back({"offset 4095 into the last byte", Cat({Packed(p.token(0xFFE0)), kEnd}), 4096, 4096, e});
  }
  {
    // Chunk 2 starts at 4096 and counts its position from there: at position
    // 1 its reference has 12 length bits, not the 4 the whole output would give.
    const Bytes first = Noise(60, 6);
    const Bytes stored = Noise(10, 7);
    Bytes e = first;
    Copy(e, 60, 40).resize(4096, 0);
    e.push_back('y');
    Copy(e, 1, 300).push_back('z');
    e.resize(8192, 0);
    e.insert(e.end(), stored.begin(), stored.end());
    const Bytes stream = Cat({Packed(Payload().lit(first).ref(10, 60, 40)),
                              Packed(Payload().lit({'y'}).ref(12, 1, 300).lit({'z'})), Stored(stored), kEnd});
    out.push_back({"short chunks padded to 4 KiB", stream, 4 * 4096, e.size(), e});
    // A smaller buffer gets exactly its prefix, also when it ends in the padding.
    out.push_back({"a buffer ending in the padding", stream, 4000, 4000, Head(e, 4000)});
  }
  const Bytes after = Stored(Noise(4096, 8));
  out.push_back({"empty input", {}, 4096, 0, {}});
  out.push_back({"zero header first", Cat({kEnd, after}), 4096, 0, {}});
  out.push_back({"zero header ends the stream",
                 Cat({Packed(Payload().lit({'a', 'b'}).ref(12, 2, 10)), kEnd, after}),
                 3 * 4096,
                 12,
                 {'a', 'b', 'a', 'b', 'a', 'b', 'a', 'b', 'a', 'b', 'a', 'b'}});
}

void Splits(Cases& out) {
  // Bytes already produced in the chunk -> bits for length - 3. A reference
  // to the chunk's first byte with the longest length its bits allow: read
  // with the split one bit off either way, the output no longer matches.
  constexpr std::pair<size_t, unsigned> kSplits[] = {{1, 12},  {16, 12},  {17, 11},  {32, 11},  {33, 10},  {64, 10},
                                                     {65, 9},  {128, 9},  {129, 8},  {256, 8},  {257, 7},  {512, 7},
                                                     {513, 6}, {1024, 6}, {1025, 5}, {2048, 5}, {2049, 4}, {4000, 4}};
  for (const auto& [position, bits] : kSplits) {
    Payload p;
    Bytes e = Prefix(position, static_cast<uint32_t>(position), p);
    const size_t length = std::min<size_t>((size_t{1} << bits) + 2, 4096 - position);
    Copy(e, position, length);
    if (e.size() < 4096) e.push_back('!');
    out.push_back({"split at " + std::to_string(position),
                   Cat({Packed(p.ref(bits, position, length).lit({'!'})), kEnd}), 4096, e.size(), e});
  }
}

void Faults(Cases& out) {
  const auto none = std::nullopt;
  const Bytes full = Noise(4096, 10);
  out.push_back(
      {"reference before anything was produced", Cat({Packed(Payload().ref(12, 1, 3)), kEnd}), 4096, none, {}});
  out.push_back(
      {"reference one byte too far", Cat({Packed(Payload().lit(Noise(20, 9)).ref(11, 21, 3)), kEnd}), 4096, none, {}});
  out.push_back({"reference into the previous chunk",
                 Cat({Stored(full), Packed(Payload().lit({'a', 'b'}).ref(12, 3, 3)), kEnd}), 2 * 4096, none, full});
  out.push_back({"reference into a short chunk's padding",
                 Cat({Stored(Noise(10, 11)), Packed(Payload().lit({'a'}).ref(12, 2, 3)), kEnd}),
                 2 * 4096,
                 none,
                 {}});
  // Cut inputs are prefixes of a longer buffer whose next bytes would make a
  // valid stream, so a decoder reading past its input would not fail.
  out.push_back({"header says 100 bytes, 50 follow", Head(Cat({Stored(Noise(100, 12)), kEnd}), 52), 4096, none, {}});
  const Bytes twoChunks = Cat({Stored(full), Packed(Payload().lit(Noise(30, 14))), kEnd});
  out.push_back({"second chunk cut short", Head(twoChunks, twoChunks.size() - 5), 2 * 4096, none, full});
  // Flag 0x02: a literal, then a reference of which the chunk holds one byte;
  // the byte after the chunk would complete it as offset 1, length 3.
  out.push_back({"token cut by the chunk's end", {0x02, 0xB0, 0x02, 'a', 0x00, 0x00, 0x00}, 4096, none, {}});
  const Bytes ab = Cat({Packed(Payload().lit({'a', 'b'}).ref(12, 2, 3)), kEnd});
  out.push_back({"token cut by the input's end", Head(ab, ab.size() - 3), 4096, none, {}});
}

TEST(Lznt1, CraftedStreams) {
  Cases cases;
  WellFormed(cases);
  Splits(cases);
  Faults(cases);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Decoded d = Decode(c.stream, c.size);
    ASSERT_EQ(d.produced, c.produced);
    EXPECT_TRUE(Head(d.out, c.expected.size()) == c.expected);
  }
}

// report.txt unit 0: 16 chunks, a full 64 KiB. mixed.bin unit 1: the file's
// last, 10 chunks and a zero header. A smaller buffer gets exactly its prefix
// (sizes around chunk boundaries and the offset/length split points). Every
// cut of the stream fails unless it falls between chunks.
TEST(Lznt1, UnitsWrittenByNtfs3g) {
  for (const char* name : {"report-unit0", "mixed-unit1"}) {
    SCOPED_TRACE(name);
    const auto dir = test::FixturesDir() / "lznt1";
    const auto stream = test::LoadImage(dir / (name + std::string(".lznt1.gz")));
    const auto expected = test::LoadImage(dir / (name + std::string(".out.gz")));
    ASSERT_TRUE(stream && expected) << "missing fixture (tests/fixtures/make_lznt1.sh)";
    const Bytes &in = *stream, &want = *expected;
    for (size_t size : {0, 1, 2, 3, 16, 17, 100, 2049, 4095, 4096, 4097, 8191, 8192, 30001, 61440, 65535, 65536}) {
      const Decoded d = Decode(in, size);
      ASSERT_EQ(d.produced, std::min(size, want.size())) << size;
      EXPECT_TRUE(Head(d.out, *d.produced) == Head(want, *d.produced)) << size;
    }
    std::vector<size_t> ends = {0};  // chunk ends, from the headers
    for (size_t at = 0; in[at] | in[at + 1];) {
      at += 2 + (in[at] | ((in[at + 1] & 0x0F) << 8)) + 1;
      ends.push_back(at);
    }
    ASSERT_EQ(ends.size(), (want.size() + kLznt1ChunkBytes - 1) / kLznt1ChunkBytes + 1);
    // The bytes after the cut are still there in memory, so reading past the
    // input would make it succeed.
    size_t chunk = 0;
    for (size_t cut = 0; cut <= ends.back(); ++cut) {
      while (chunk + 1 < ends.size() && ends[chunk + 1] <= cut) ++chunk;
      const size_t done = chunk * kLznt1ChunkBytes;
      const Decoded d = Decode(std::span<const uint8_t>(in.data(), cut), 65536);
      // At a chunk's end, or one byte into the next header, the stream just ends.
      const bool between = cut == ends[chunk] || cut == ends[chunk] + 1;
      ASSERT_EQ(d.produced, between ? std::optional<size_t>(done) : std::nullopt) << "cut at " << cut;
      ASSERT_TRUE(Head(d.out, done) == Head(want, done)) << "cut at " << cut;
    }
  }
}

}  // namespace
}  // namespace orvaldi::fs
