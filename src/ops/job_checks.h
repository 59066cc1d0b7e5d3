// The checks a job that writes makes before it starts: a target that would
// overwrite the source is refused, and a refusal says what it turned down.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace orvaldi::ops {

// What a refused job turned down, for the front end that reports it (the
// command-line tool's exit code names it).
enum class RefusalKind : uint8_t {
  kNone,
  kRequest,  // an option or a map that does not fit the job
  kTarget,   // the target would overwrite the source, or another file the job writes
  kVolume,   // the volume is not one the job can work on
};

// "`target`: refused, <why>" when writing `target` would overwrite the data
// of `source` (a disk, an image, or the members of a disk group), or when
// the temporary file a replacement of `target` writes first would; else empty.
std::optional<std::string> WriteOntoSourceRefusal(const std::string& source, const std::string& target);

}  // namespace orvaldi::ops
