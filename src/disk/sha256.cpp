// SHA-256 (FIPS 180-4), digested in one piece or as the bytes arrive.
#include "disk/sha256.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace orvaldi::disk {
namespace {

constexpr std::array<uint32_t, 64> kRound = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void Compress(std::array<uint32_t, 8>& h, const uint8_t* block) {
  std::array<uint32_t, 64> w{};
  for (int i = 0; i < 16; ++i)
    w[i] = uint32_t{block[4 * i]} << 24 | uint32_t{block[4 * i + 1]} << 16 | uint32_t{block[4 * i + 2]} << 8 |
           block[4 * i + 3];
  for (int i = 16; i < 64; ++i) {
    const uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
    const uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  auto [a, b, c, d, e, f, g, k] = h;
  for (int i = 0; i < 64; ++i) {
    const uint32_t t1 = k + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRound[i] + w[i];
    const uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    k = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  const std::array<uint32_t, 8> add = {a, b, c, d, e, f, g, k};
  for (int i = 0; i < 8; ++i) h[i] += add[i];
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// The processor's SHA-256 instructions: four rounds per step, the state as
// the two halves ABEF and CDGH that the instructions take.
__attribute__((target("sha,sse4.1"))) void CompressShaNi(std::array<uint32_t, 8>& h, const uint8_t* p, size_t blocks) {
  const __m128i swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  __m128i t = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h.data()));
  __m128i s1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h.data() + 4));
  t = _mm_shuffle_epi32(t, 0xB1);
  s1 = _mm_shuffle_epi32(s1, 0x1B);
  __m128i s0 = _mm_alignr_epi8(t, s1, 8);
  s1 = _mm_blend_epi16(s1, t, 0xF0);
  for (; blocks > 0; --blocks, p += 64) {
    const __m128i abef = s0, cdgh = s1;
    __m128i w0, w1, w2, w3;
    // Rounds 4g to 4g + 3 with the message words in `m`.
#define ORVALDI_SHA_ROUNDS(g, m)                                                                              \
  do {                                                                                                        \
    __m128i k = _mm_add_epi32(m, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRound.data() + 4 * (g)))); \
    s1 = _mm_sha256rnds2_epu32(s1, s0, k);                                                                    \
    k = _mm_shuffle_epi32(k, 0x0E);                                                                           \
    s0 = _mm_sha256rnds2_epu32(s0, s1, k);                                                                    \
  } while (0)
    // The next four words from the sixteen before them, held in a, b, c, d (oldest first).
#define ORVALDI_SHA_NEXT(a, b, c, d) \
  a = _mm_sha256msg2_epu32(_mm_add_epi32(_mm_sha256msg1_epu32(a, b), _mm_alignr_epi8(d, c, 4)), d)
    w0 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), swap);
    ORVALDI_SHA_ROUNDS(0, w0);
    w1 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)), swap);
    ORVALDI_SHA_ROUNDS(1, w1);
    w2 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32)), swap);
    ORVALDI_SHA_ROUNDS(2, w2);
    w3 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48)), swap);
    ORVALDI_SHA_ROUNDS(3, w3);
    for (int g = 4; g < 16; g += 4) {
      ORVALDI_SHA_NEXT(w0, w1, w2, w3);
      ORVALDI_SHA_ROUNDS(g, w0);
      ORVALDI_SHA_NEXT(w1, w2, w3, w0);
      ORVALDI_SHA_ROUNDS(g + 1, w1);
      ORVALDI_SHA_NEXT(w2, w3, w0, w1);
      ORVALDI_SHA_ROUNDS(g + 2, w2);
      ORVALDI_SHA_NEXT(w3, w0, w1, w2);
      ORVALDI_SHA_ROUNDS(g + 3, w3);
    }
#undef ORVALDI_SHA_NEXT
#undef ORVALDI_SHA_ROUNDS
    s0 = _mm_add_epi32(s0, abef);
    s1 = _mm_add_epi32(s1, cdgh);
  }
  t = _mm_shuffle_epi32(s0, 0x1B);
  s1 = _mm_shuffle_epi32(s1, 0xB1);
  s0 = _mm_blend_epi16(t, s1, 0xF0);
  s1 = _mm_alignr_epi8(s1, t, 8);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(h.data()), s0);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(h.data() + 4), s1);
}

bool HasShaNi() {
  static const bool has = [] {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & (1u << 19))) return false;   // SSE4.1
    return __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & (1u << 29)) != 0;  // SHA
  }();
  return has;
}
#endif

// `blocks` whole blocks from `p`.
void CompressBlocks(std::array<uint32_t, 8>& h, const uint8_t* p, size_t blocks) {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
  if (HasShaNi()) {
    CompressShaNi(h, p, blocks);
    return;
  }
#endif
  for (; blocks > 0; --blocks, p += 64) Compress(h, p);
}

}  // namespace

Sha256::Sha256()
    : state_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19} {}

void Sha256::update(std::span<const uint8_t> bytes) {
  // An empty piece (an empty file's) may have no storage at all.
  if (bytes.empty()) return;
  const uint8_t* p = bytes.data();
  size_t n = bytes.size();
  length_ += n;
  if (held_ > 0) {
    const size_t take = std::min(n, block_.size() - held_);
    std::memcpy(block_.data() + held_, p, take);
    held_ += take;
    p += take;
    n -= take;
    if (held_ < block_.size()) return;
    CompressBlocks(state_, block_.data(), 1);
    held_ = 0;
  }
  CompressBlocks(state_, p, n / 64);
  p += n / 64 * 64;
  n %= 64;
  std::memcpy(block_.data(), p, n);
  held_ = n;
}

void Sha256::updateZeros(uint64_t length) {
  static const uint8_t kZeros[4096] = {};
  while (length > 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(length, sizeof kZeros));
    update({kZeros, n});
    length -= n;
  }
}

std::string Sha256::hexDigest() {
  const uint64_t bits = length_ * 8;
  uint8_t tail[72] = {0x80};
  const size_t pad = (held_ < 56 ? 56 : 120) - held_;
  for (int i = 0; i < 8; ++i) tail[pad + i] = static_cast<uint8_t>(bits >> (8 * (7 - i)));
  update({tail, pad + 8});
  std::string out;
  char hex[9];
  for (uint32_t v : state_) {
    std::snprintf(hex, sizeof hex, "%08x", v);
    out += hex;
  }
  return out;
}

std::string Sha256Hex(std::span<const uint8_t> bytes) {
  Sha256 digest;
  digest.update(bytes);
  return digest.hexDigest();
}

}  // namespace orvaldi::disk
