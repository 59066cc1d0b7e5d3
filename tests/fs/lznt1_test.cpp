// LZNT1 decompression: real units written by ntfs-3g, and hand-made chunks
// for the token layout, chunk boundaries and corrupt streams.
#include "fs/lznt1.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
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

// One compressed chunk's payload, item by item: a flag byte before each group
// of eight items, bit i set when item i is a two-byte back-reference.
class Payload {
 public:
  Payload& Literal(uint8_t b) {
    Item(false);
    bytes_.push_back(b);
    return *this;
  }
  Payload& Literals(const Bytes& bs) {
    for (uint8_t b : bs) Literal(b);
    return *this;
  }
  // A reference as stored: the low `lengthBits` bits hold length - 3, the
  // bits above them offset - 1. The caller says how the bits are split.
  Payload& Ref(unsigned lengthBits, size_t offset, size_t length) {
    return Token(static_cast<uint16_t>(((offset - 1) << lengthBits) | (length - 3)));
  }
  Payload& Token(uint16_t token) {
    Item(true);
    bytes_.push_back(static_cast<uint8_t>(token));
    bytes_.push_back(static_cast<uint8_t>(token >> 8));
    return *this;
  }
  const Bytes& bytes() const { return bytes_; }

 private:
  void Item(bool isRef) {
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
  Bytes out = {static_cast<uint8_t>(header), static_cast<uint8_t>(header >> 8)};
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}
Bytes Compressed(const Payload& p) { return Chunk(p.bytes(), true); }
Bytes Stored(const Bytes& data) { return Chunk(data, false); }
const Bytes kEnd = {0, 0};

// Appends what a back-reference yields, one byte at a time.
void Copy(Bytes& out, size_t offset, size_t length) {
  for (size_t i = 0; i < length; ++i) out.push_back(out[out.size() - offset]);
}

// The first `n` bytes of a chunk, none of them a repeat of the first 18. A
// chunk holds at most 3,640 literals (a flag byte per eight), so past 3,000
// the rest are references of 4 length bits (right from position 2,049 on)
// that copy from the middle, away from the chunk's first bytes.
void Prefix(size_t n, uint32_t seed, Payload& p, Bytes& expected) {
  ASSERT_TRUE(n <= 3000 || n >= 3003);
  const Bytes head = Noise(std::min<size_t>(n, 3000), seed);
  p.Literals(head);
  expected = head;
  for (size_t rest = n - expected.size(); rest > 0;) {
    const size_t length = rest <= 18 ? rest : std::min<size_t>(18, rest - 3);
    p.Ref(4, 2000, length);
    Copy(expected, 2000, length);
    rest -= length;
  }
}

// Decompresses into a buffer of `size` bytes followed by guard bytes, all set
// to kUntouched beforehand; fails the test when a guard byte changed.
struct Decoded {
  std::optional<size_t> produced;
  Bytes out;  // the whole buffer, guard excluded
};
Decoded Decode(std::span<const uint8_t> in, size_t size) {
  constexpr size_t kGuard = 64;
  Bytes buf(size + kGuard, kUntouched);
  Decoded d;
  d.produced = Lznt1Decompress(in, std::span<uint8_t>(buf.data(), size));
  for (size_t i = size; i < buf.size(); ++i) {
    if (buf[i] != kUntouched) {
      ADD_FAILURE() << "wrote past the output buffer at " << i << " (buffer " << size << ")";
      break;
    }
  }
  buf.resize(size);
  d.out = std::move(buf);
  return d;
}

Bytes Head(const Bytes& b, size_t n) { return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n)); }

// ---------------------------------------------------------------- ntfs-3g units

struct Unit {
  Bytes stream;
  Bytes expected;
};

Unit LoadUnit(const std::string& name) {
  const auto dir = test::FixturesDir() / "lznt1";
  auto stream = test::LoadImage(dir / (name + ".lznt1.gz"));
  auto expected = test::LoadImage(dir / (name + ".out.gz"));
  EXPECT_TRUE(stream && expected) << "missing fixture " << name << " (tests/fixtures/make_lznt1.sh)";
  if (!stream || !expected) return {};
  return {std::move(*stream), std::move(*expected)};
}

TEST(Lznt1Ntfs3g, UnitsDecompressToTheFileBytes) {
  // report.txt unit 0: 16 chunks, a full 64 KiB. mixed.bin unit 1: the file's
  // last, 10 chunks and a zero header, with the rest of the buffer untouched.
  for (const char* name : {"report-unit0", "mixed-unit1"}) {
    SCOPED_TRACE(name);
    const Unit u = LoadUnit(name);
    ASSERT_FALSE(u.stream.empty());
    const Decoded d = Decode(u.stream, 65536);
    ASSERT_EQ(d.produced, u.expected.size());
    EXPECT_TRUE(Head(d.out, u.expected.size()) == u.expected);
    for (size_t i = u.expected.size(); i < d.out.size(); ++i) ASSERT_EQ(d.out[i], kUntouched) << i;
  }
}

TEST(Lznt1Ntfs3g, SmallerBufferGetsExactlyItsPrefix) {
  const Unit u = LoadUnit("report-unit0");
  ASSERT_FALSE(u.stream.empty());
  // Around chunk boundaries, the offset/length split points, and odd places.
  for (size_t size : {0, 1, 2, 3, 16, 17, 100, 2049, 4095, 4096, 4097, 8191, 8192, 30001, 61440, 65535}) {
    SCOPED_TRACE(size);
    const Decoded d = Decode(u.stream, size);
    ASSERT_EQ(d.produced, size);
    EXPECT_TRUE(d.out == Head(u.expected, size));
  }
}

TEST(Lznt1Ntfs3g, EveryCutOfTheStreamFailsUnlessItFallsBetweenChunks) {
  const Unit u = LoadUnit("report-unit0");
  ASSERT_FALSE(u.stream.empty());
  // Chunk ends, from the headers: the stream is 16 chunks, then a zero header.
  std::vector<size_t> ends = {0};
  for (size_t at = 0;;) {
    const unsigned header = u.stream[at] | (u.stream[at + 1] << 8);
    if (header == 0) break;
    at += 2 + (header & 0x0FFF) + 1;
    ends.push_back(at);
  }
  ASSERT_EQ(ends.size(), 17u);
  // The decoder sees a prefix of the real stream; the bytes after the cut are
  // still there in memory, so reading past the input would make it succeed.
  size_t chunk = 0;
  for (size_t cut = 0; cut <= ends.back(); ++cut) {
    while (chunk + 1 < ends.size() && ends[chunk + 1] <= cut) ++chunk;
    const size_t done = chunk * kLznt1ChunkBytes;
    const Decoded d = Decode(std::span<const uint8_t>(u.stream.data(), cut), 65536);
    // Cut at a chunk's end, or one byte into the next header: the stream
    // just ends there. Anywhere else a chunk runs past the input.
    if (cut == ends[chunk] || cut == ends[chunk] + 1) {
      ASSERT_EQ(d.produced, done) << "cut at " << cut;
    } else {
      ASSERT_EQ(d.produced, std::nullopt) << "cut at " << cut;
    }
    // What the whole chunks before the cut produced is in the buffer either way.
    ASSERT_TRUE(Head(d.out, done) == Head(u.expected, done)) << "cut at " << cut;
  }
}

// ---------------------------------------------------------------- crafted chunks

TEST(Lznt1Chunks, UncompressedChunkIsCopiedVerbatim) {
  // Starts with 0xFF: as a compressed chunk it would open with a reference
  // before anything was produced, and fail.
  Bytes data = Noise(4096, 1);
  data[0] = 0xFF;
  const Bytes tail = Noise(10, 2);
  // The second chunk has bits 12-14 clear, as some writers leave them.
  Bytes plain = {0x09, 0x00};
  plain.insert(plain.end(), tail.begin(), tail.end());
  const Decoded d = Decode(Cat({Stored(data), plain, kEnd}), 3 * 4096);
  ASSERT_EQ(d.produced, 4096u + 10u);
  EXPECT_TRUE(Head(d.out, 4106) == Cat({data, tail}));
}

TEST(Lznt1Chunks, OverlappingReferencesRepeatWhatTheyJustWrote) {
  // Offset 1 repeats one byte; offset 3 a three-byte pattern, past its own start.
  Payload p;
  p.Literal('x').Ref(12, 1, 40).Literals({'a', 'b', 'c'}).Ref(10, 3, 50);
  Bytes expected = {'x'};
  Copy(expected, 1, 40);
  expected.insert(expected.end(), {'a', 'b', 'c'});
  Copy(expected, 3, 50);
  ASSERT_EQ(expected.size(), 94u);

  const Decoded d = Decode(Cat({Compressed(p), kEnd}), 4096);
  ASSERT_EQ(d.produced, expected.size());
  EXPECT_TRUE(Head(d.out, expected.size()) == expected);
}

TEST(Lznt1Chunks, LongestAndFarthestReferences) {
  {
    SCOPED_TRACE("near the start: 12 length bits, length 4093 fills the chunk");
    const Bytes head = Noise(3, 3);
    Payload p;
    p.Literals(head).Token(0x2FFA);  // offset 3, length 0xFFA + 3
    Bytes expected = head;
    Copy(expected, 3, 4093);
    const Decoded d = Decode(Cat({Compressed(p), kEnd}), 4096);
    ASSERT_EQ(d.produced, 4096u);
    EXPECT_TRUE(d.out == expected);
  }
  {
    SCOPED_TRACE("deep in the chunk: 12 offset bits reach back to byte 0");
    Payload p;
    Bytes expected;
    Prefix(4080, 4, p, expected);
    p.Token(0xFEFD);  // offset 0xFEF + 1 = 4080, length 0xD + 3 = 16
    Copy(expected, 4080, 16);
    const Decoded d = Decode(Cat({Compressed(p), kEnd}), 4096);
    ASSERT_EQ(d.produced, 4096u);
    EXPECT_TRUE(d.out == expected);
  }
  {
    SCOPED_TRACE("at 4095 the longest offset, 4095, copies byte 0 into the chunk's last byte");
    Payload p;
    Bytes expected;
    Prefix(4095, 5, p, expected);
    p.Token(0xFFE0);  // offset 0xFFE + 1, length 3: one byte fits
    const Decoded d = Decode(Cat({Compressed(p), kEnd}), 4096);
    ASSERT_EQ(d.produced, 4096u);
    EXPECT_TRUE(Head(d.out, 4095) == expected);
    EXPECT_EQ(d.out[4095], d.out[0]);
  }
}

TEST(Lznt1Chunks, OffsetLengthSplitDependsOnPositionInChunk) {
  // Bytes already produced in the chunk -> bits for length - 3. A reference
  // that reaches back to the chunk's first byte with the longest length its
  // bits allow: read with the split one bit off either way, its offset or
  // length changes and the output no longer matches.
  const struct {
    size_t position;
    unsigned lengthBits;
  } cases[] = {
      {1, 12},   {16, 12},  {17, 11},  {32, 11},   {33, 10},   {64, 10},   {65, 9},     {128, 9},    {129, 8},
      {256, 8},  {257, 7},  {512, 7},  {513, 6},   {1024, 6},  {1025, 5},  {2048, 5},   {2049, 4},   {4000, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "position " << c.position);
    Payload p;
    Bytes expected;
    Prefix(c.position, static_cast<uint32_t>(c.position), p, expected);
    const size_t length = std::min<size_t>((size_t{1} << c.lengthBits) + 2, 4096 - c.position);
    p.Ref(c.lengthBits, c.position, length).Literal('!');
    Copy(expected, c.position, length);
    if (expected.size() < 4096) expected.push_back('!');

    const Decoded d = Decode(Cat({Compressed(p), kEnd}), 4096);
    ASSERT_EQ(d.produced, expected.size());
    EXPECT_TRUE(Head(d.out, expected.size()) == expected);
  }
}

TEST(Lznt1Chunks, ShortChunkIsPaddedToTheNextFourKiB) {
  // Chunk 1 yields 100 bytes. Chunk 2 starts at 4096 and counts its position
  // from there: at position 1 its reference has 12 length bits, not the 4 its
  // place in the whole output would give.
  const Bytes first = Noise(60, 6);
  Payload p1;
  p1.Literals(first).Ref(10, 60, 40);
  Payload p2;
  p2.Literal('y').Ref(12, 1, 300).Literal('z');
  const Bytes stored = Noise(10, 7);

  Bytes expected = first;
  Copy(expected, 60, 40);
  ASSERT_EQ(expected.size(), 100u);
  expected.resize(4096, 0);
  expected.push_back('y');
  Copy(expected, 1, 300);
  expected.push_back('z');
  expected.resize(8192, 0);
  expected.insert(expected.end(), stored.begin(), stored.end());

  const Decoded d = Decode(Cat({Compressed(p1), Compressed(p2), Stored(stored), kEnd}), 4 * 4096);
  ASSERT_EQ(d.produced, expected.size());
  EXPECT_TRUE(Head(d.out, expected.size()) == expected);
  // No padding after the last chunk.
  EXPECT_EQ(d.out[expected.size()], kUntouched);
}

TEST(Lznt1Chunks, ZeroHeaderEndsTheStream) {
  Payload p;
  p.Literals({'a', 'b'}).Ref(12, 2, 10);
  const Bytes after = Stored(Noise(4096, 8));
  EXPECT_EQ(Decode(Bytes{}, 4096).produced, 0u);
  EXPECT_EQ(Decode(kEnd, 4096).produced, 0u);
  EXPECT_EQ(Decode(Cat({kEnd, after}), 4096).produced, 0u);

  const Decoded d = Decode(Cat({Compressed(p), kEnd, after}), 3 * 4096);
  ASSERT_EQ(d.produced, 12u);
  EXPECT_EQ(std::string(d.out.begin(), d.out.begin() + 12), "abababababab");
  for (size_t i = 12; i < d.out.size(); ++i) ASSERT_EQ(d.out[i], kUntouched) << i;
}

// ---------------------------------------------------------------- faults

TEST(Lznt1Faults, ReferenceBeforeTheChunkStartFails) {
  {
    SCOPED_TRACE("a reference before anything was produced");
    Payload p;
    p.Ref(12, 1, 3);
    EXPECT_EQ(Decode(Cat({Compressed(p), kEnd}), 4096).produced, std::nullopt);
  }
  {
    SCOPED_TRACE("one byte too far");
    Payload p;
    p.Literals(Noise(20, 9)).Ref(11, 21, 3);
    EXPECT_EQ(Decode(Cat({Compressed(p), kEnd}), 4096).produced, std::nullopt);
  }
  {
    SCOPED_TRACE("into the previous chunk, which holds the bytes");
    const Bytes full = Noise(4096, 10);
    Payload p;
    p.Literals({'a', 'b'}).Ref(12, 3, 3);
    const Decoded d = Decode(Cat({Stored(full), Compressed(p), kEnd}), 2 * 4096);
    EXPECT_EQ(d.produced, std::nullopt);
    EXPECT_TRUE(Head(d.out, 4096) == full);
  }
  {
    SCOPED_TRACE("into the padding of a short previous chunk");
    Payload p;
    p.Literal('a').Ref(12, 2, 3);
    EXPECT_EQ(Decode(Cat({Stored(Noise(10, 11)), Compressed(p), kEnd}), 2 * 4096).produced, std::nullopt);
  }
}

TEST(Lznt1Faults, TruncatedInputFailsWithoutReadingOn) {
  // Each input is a prefix of a longer buffer whose next bytes would make a
  // valid stream, so a decoder reading past its input would not fail.
  {
    SCOPED_TRACE("header says 100 bytes, 50 follow");
    const Bytes whole = Cat({Stored(Noise(100, 12)), kEnd});
    const Decoded d = Decode(std::span<const uint8_t>(whole.data(), 2 + 50), 4096);
    EXPECT_EQ(d.produced, std::nullopt);
  }
  {
    SCOPED_TRACE("second chunk cut short; the first chunk's bytes stay");
    const Bytes first = Noise(4096, 13);
    Payload p;
    p.Literals(Noise(30, 14));
    const Bytes whole = Cat({Stored(first), Compressed(p), kEnd});
    const Decoded d = Decode(std::span<const uint8_t>(whole.data(), whole.size() - 5), 2 * 4096);
    EXPECT_EQ(d.produced, std::nullopt);
    EXPECT_TRUE(Head(d.out, 4096) == first);
  }
  {
    SCOPED_TRACE("a token cut in half by the chunk's end");
    // Flag 0x02: a literal, then a reference of which the chunk holds one
    // byte. The byte after the chunk would complete it as offset 1, length 3.
    const Bytes whole = {0x02, 0xB0, 0x02, 'a', 0x00, 0x00, 0x00};
    EXPECT_EQ(Decode(whole, 4096).produced, std::nullopt);
  }
  {
    SCOPED_TRACE("a token cut in half by the end of the input");
    Payload p;
    p.Literals({'a', 'b'}).Ref(12, 2, 3);
    const Bytes whole = Cat({Compressed(p), kEnd});
    EXPECT_EQ(Decode(std::span<const uint8_t>(whole.data(), whole.size() - 3), 4096).produced, std::nullopt);
  }
}

TEST(Lznt1Faults, SmallOutputBufferStopsAtItsEnd) {
  // 100 bytes, padding, a stored chunk of 4096 and a compressed one: the
  // buffer ends inside a literal run, a reference, the padding, the stored
  // chunk and the last chunk's reference.
  const Bytes lits = Noise(60, 15);
  Payload p1;
  p1.Literals(lits).Ref(10, 60, 40);
  const Bytes stored = Noise(4096, 16);
  Payload p3;
  p3.Literal('q').Ref(12, 1, 999);
  const Bytes stream = Cat({Compressed(p1), Stored(stored), Compressed(p3), kEnd});

  Bytes expected = lits;
  Copy(expected, 60, 40);
  expected.resize(4096, 0);
  expected.insert(expected.end(), stored.begin(), stored.end());
  expected.push_back('q');
  Copy(expected, 1, 999);
  ASSERT_EQ(expected.size(), 2 * 4096u + 1000u);

  for (size_t size : {1, 30, 60, 61, 99, 100, 101, 4000, 4096, 4097, 6000, 8192, 8193, 8500, 9191}) {
    SCOPED_TRACE(size);
    const Decoded d = Decode(stream, size);
    ASSERT_EQ(d.produced, size);
    EXPECT_TRUE(d.out == Head(expected, size));
  }
  const Decoded whole = Decode(stream, 3 * 4096);
  ASSERT_EQ(whole.produced, expected.size());
  EXPECT_TRUE(Head(whole.out, expected.size()) == expected);
}

}  // namespace
}  // namespace orvaldi::fs
