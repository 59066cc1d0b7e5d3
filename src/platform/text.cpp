// UTF-16 and OEM code-page conversion to the UTF-8 used everywhere in memory.
#include "platform/text.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>

#include <iconv.h>

namespace orvaldi::platform {
namespace {

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// An unpaired surrogate has no character of its own. The replacement
// character keeps the name showable and savable without passing for a "?"
// that the name might really hold.
constexpr uint32_t kReplacement = 0xFFFD;

template <typename UnitAt>
std::string ConvertUtf16(size_t count, UnitAt unitAt, bool stopAtNul) {
  std::string out;
  out.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    const uint16_t u = unitAt(i);
    if (u == 0 && stopAtNul) break;
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (i + 1 < count) {
        const uint16_t lo = unitAt(i + 1);
        if (lo >= 0xDC00 && lo <= 0xDFFF) {
          AppendUtf8(out, 0x10000 + ((static_cast<uint32_t>(u) - 0xD800) << 10) + (lo - 0xDC00u));
          ++i;
          continue;
        }
      }
      AppendUtf8(out, kReplacement);
    } else if (u >= 0xDC00 && u <= 0xDFFF) {
      AppendUtf8(out, kReplacement);
    } else {
      AppendUtf8(out, u);
    }
  }
  return out;
}

std::atomic<int> gOemCodePage{936};

// One converter per thread and direction, reopened when the code page
// changes, so that scans decoding many short names do not pay for
// iconv_open each time.
struct OemConverter {
  bool toOem = false;
  int codePage = 0;
  iconv_t cd = reinterpret_cast<iconv_t>(-1);
  ~OemConverter() {
    if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
  }
  bool ready(int cp) {
    if (cp == codePage && cd != reinterpret_cast<iconv_t>(-1)) return true;
    if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
    codePage = cp;
    const std::string oem = "CP" + std::to_string(cp);
    cd = toOem ? iconv_open(oem.c_str(), "UTF-8") : iconv_open("UTF-8", oem.c_str());
    return cd != reinterpret_cast<iconv_t>(-1);
  }
};

}  // namespace

std::string Utf16LeToUtf8(std::span<const uint8_t> bytes, bool stopAtNul) {
  return ConvertUtf16(
      bytes.size() / 2, [&](size_t i) { return static_cast<uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8)); },
      stopAtNul);
}

std::string Utf16ToUtf8(std::u16string_view text) {
  return ConvertUtf16(
      text.size(), [&](size_t i) { return static_cast<uint16_t>(text[i]); }, false);
}

std::string SanitizeUtf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<uint8_t>(s[i]);
    size_t len = 0;
    uint32_t cp = 0;
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
      cp = c & 0x1Fu;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      cp = c & 0x0Fu;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      cp = c & 0x07u;
    }
    bool ok = len != 0 && i + len <= s.size();
    for (size_t k = 1; ok && k < len; ++k) {
      const auto cc = static_cast<uint8_t>(s[i + k]);
      if ((cc & 0xC0) != 0x80) ok = false;
      cp = (cp << 6) | (cc & 0x3Fu);
    }
    // Reject overlong forms, surrogates and values past U+10FFFF.
    if (ok &&
        ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF)))
      ok = false;
    if (ok) {
      out.append(s.substr(i, len));
      i += len;
    } else {
      out.push_back('?');
      ++i;
    }
  }
  return out;
}

bool SetOemCodePage(int codePage) {
  iconv_t cd = iconv_open("UTF-8", ("CP" + std::to_string(codePage)).c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  iconv_close(cd);
  gOemCodePage.store(codePage);
  return true;
}

int OemCodePage() { return gOemCodePage.load(); }

namespace {

// Runs the converter over `bytes`, turning each undecodable byte into "?".
std::string RunIconv(iconv_t cd, std::string_view bytes) {
  iconv(cd, nullptr, nullptr, nullptr, nullptr);  // reset shift state
  std::string out;
  out.resize(bytes.size() * 4 + 8);
  char* in = const_cast<char*>(bytes.data());
  size_t inLeft = bytes.size();
  char* dst = out.data();
  size_t dstLeft = out.size();
  while (inLeft > 0) {
    if (iconv(cd, &in, &inLeft, &dst, &dstLeft) != static_cast<size_t>(-1)) break;
    if (errno == E2BIG || dstLeft == 0) break;  // cannot happen with 4 bytes per input byte
    // An undecodable or truncated sequence: mark it and go on after one byte.
    *dst++ = '?';
    --dstLeft;
    ++in;
    --inLeft;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  out.resize(out.size() - dstLeft);
  return out;
}

// The bytes the UTF-8 character at `i` takes: 1 for a byte that starts
// none, so that a walk over broken text still moves on.
size_t Utf8SequenceLength(std::string_view s, size_t i) {
  const auto c = static_cast<uint8_t>(s[i]);
  size_t len = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c <= 0xDF ? 2 : 1;
  if (c >= 0xF5) len = 1;
  for (size_t k = 1; k < len; ++k)
    if (i + k >= s.size() || (static_cast<uint8_t>(s[i + k]) & 0xC0) != 0x80) return k;
  return len;
}

bool IsAscii(std::string_view bytes) {
  for (char ch : bytes)
    if (static_cast<uint8_t>(ch) >= 0x80) return false;
  return true;
}

}  // namespace

std::string OemToUtf8(std::string_view bytes) {
  if (IsAscii(bytes)) return std::string(bytes);
  thread_local OemConverter conv;
  if (!conv.ready(gOemCodePage.load())) return SanitizeUtf8(bytes);
  return RunIconv(conv.cd, bytes);
}

std::string Utf8ToOem(std::string_view utf8, size_t* unencodable) {
  if (unencodable) *unencodable = 0;
  if (IsAscii(utf8)) return std::string(utf8);
  thread_local OemConverter conv{.toOem = true};
  size_t bad = 0;
  std::string out;
  if (!conv.ready(gOemCodePage.load())) {
    // No converter: keep the ASCII and mark everything else.
    for (size_t i = 0; i < utf8.size(); i += Utf8SequenceLength(utf8, i)) {
      if (static_cast<uint8_t>(utf8[i]) < 0x80) {
        out.push_back(utf8[i]);
      } else {
        out.push_back('?');
        ++bad;
      }
    }
  } else {
    iconv(conv.cd, nullptr, nullptr, nullptr, nullptr);
    // A code page needs at most four bytes for any character.
    out.resize(utf8.size() * 4 + 8);
    char* in = const_cast<char*>(utf8.data());
    size_t inLeft = utf8.size();
    char* dst = out.data();
    size_t dstLeft = out.size();
    while (inLeft > 0) {
      if (iconv(conv.cd, &in, &inLeft, &dst, &dstLeft) != static_cast<size_t>(-1)) break;
      if (errno == E2BIG || dstLeft == 0) break;
      // A character the code page lacks, or bytes that are not UTF-8: one
      // "?" for the whole character, so that a name keeps its length in
      // characters.
      const size_t skip = std::min(inLeft, Utf8SequenceLength(std::string_view(in, inLeft), 0));
      *dst++ = '?';
      --dstLeft;
      in += skip;
      inLeft -= skip;
      ++bad;
      iconv(conv.cd, nullptr, nullptr, nullptr, nullptr);
    }
    // Return to the initial shift state (stateful code pages only).
    iconv(conv.cd, nullptr, nullptr, &dst, &dstLeft);
    out.resize(out.size() - dstLeft);
  }
  if (unencodable) *unencodable = bad;
  return out;
}

std::string DecodeCharset(std::string_view bytes, const char* charset) {
  if (IsAscii(bytes)) return std::string(bytes);
  iconv_t cd = iconv_open("UTF-8", charset);
  if (cd == reinterpret_cast<iconv_t>(-1)) return SanitizeUtf8(bytes);
  std::string out = RunIconv(cd, bytes);
  iconv_close(cd);
  return out;
}

std::vector<std::string> SplitNonEmpty(std::string_view text, char separator) {
  std::vector<std::string> pieces;
  for (size_t start = 0; start <= text.size();) {
    const size_t end = std::min(text.find(separator, start), text.size());
    if (end > start) pieces.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return pieces;
}

}  // namespace orvaldi::platform
