// Whether a saved file's bytes hold together as a file of its format: the
// structure walks a recovered file is checked with after it is written.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace orvaldi::raw {

enum class ContentVerdict : uint8_t {
  kNotApplicable,  // a format the checks do not know, or one they cannot decide
  kOk,             // the walk reached the format's end inside the file
  kBad,            // the structure breaks off, points outside the file or fails its checksums
};

// "ok", "bad", "n/a": the words the manifest uses.
const char* ContentVerdictName(ContentVerdict verdict);

struct ContentCheck {
  ContentVerdict verdict = ContentVerdict::kNotApplicable;
  std::string format;   // "jpeg", "zip", ...; empty when none was recognised
  std::string problem;  // kBad: what broke and where; otherwise a note (members not checked), may be empty
};

// Checks a whole file's bytes. The format is told by the bytes' header; a
// file whose header is none of the known ones but whose name carries one of
// their extensions (a ".jpg" that does not begin like a JPEG) is bad.
// Bytes after the end of the structure are allowed where a carved copy
// holds them (a picture's trailing sector bytes, an OLE2 document's slack).
// Every length read from the bytes is checked against the span, and every
// walk moves forward or stops.
ContentCheck CheckContent(std::span<const uint8_t> bytes, std::string_view name);

// Whether CheckContent could decide anything for a file that begins with
// `head` (its first bytes, at least 16 when the file has them) and is named
// `name`: when not, the file need not be read back to be checked.
bool ContentCheckApplies(std::span<const uint8_t> head, std::string_view name);

// CRC-32 (ISO-HDLC, as ZIP, PNG and RAR use it), continuing from `crc`.
uint32_t Crc32(std::span<const uint8_t> bytes, uint32_t crc = 0);

}  // namespace orvaldi::raw
