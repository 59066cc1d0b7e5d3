// Text conversion: UTF-16 names to UTF-8, and 8-bit OEM names through iconv;
// and the splitting of lists typed by the user.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orvaldi::platform {

// Converts little-endian UTF-16 bytes (an odd trailing byte is ignored) to
// UTF-8. Conversion stops at the first NUL unit when `stopAtNul` is set.
// An unpaired surrogate becomes U+FFFD, the replacement character.
std::string Utf16LeToUtf8(std::span<const uint8_t> bytes, bool stopAtNul = false);
std::string Utf16ToUtf8(std::u16string_view text);

// Returns `bytes` as UTF-8, replacing every invalid sequence by "?".
std::string SanitizeUtf8(std::string_view bytes);

// The code page of 8-bit on-disk names (FAT short names and labels). The
// default is 936 (GBK); any code page iconv knows as "CP<n>" may be set.
// Returns false (and keeps the old one) when iconv does not know it.
bool SetOemCodePage(int codePage);
int OemCodePage();

// Decodes 8-bit OEM bytes to UTF-8. Bytes that do not decode become "?".
// Pure ASCII passes through untouched.
std::string OemToUtf8(std::string_view bytes);

// Encodes UTF-8 text in the OEM code page, for files that keep names as
// 8-bit text. A character the code page lacks (or a byte that is not UTF-8)
// becomes "?" and is counted in `*unencodable`: the caller can then say that
// the file does not hold the name as it is shown, instead of passing a "?"
// off as the real name. Pure ASCII passes through untouched.
std::string Utf8ToOem(std::string_view utf8, size_t* unencodable = nullptr);

// Decodes bytes in any character set iconv knows (for example "MACINTOSH").
// Undecodable bytes become "?"; an unknown character set yields SanitizeUtf8.
std::string DecodeCharset(std::string_view bytes, const char* charset);

// The pieces of `text` between `separator`s, empty ones left out: "a//b/"
// is "a", "b", as a path or a list typed by hand may well be.
std::vector<std::string> SplitNonEmpty(std::string_view text, char separator);

}  // namespace orvaldi::platform
