// AVI: a RIFF file of form "AVI " whose first chunk is a list, sized by its RIFF header.
#include "fs/formats/format.h"

namespace orvaldi::fs::formats {
namespace {

bool Claims(const uint8_t* s) { return Matches(s, "RIFF") && Matches(s + 8, "AVI LIST"); }

bool Signature(const disk::ByteView& head) {
  return head.matches(0, "RIFF") && head.matches(8, "AVI ") && head.matches(12, "LIST");
}

// Only pictures of 1 MiB to 20 MiB are taken.
std::optional<Measured> Measure(const Probe& probe) {
  const uint32_t riff = disk::Le32(probe.first.data() + 4);
  if (riff < 0x100001 || riff > 0x13FFFFF) return std::nullopt;
  return Measured{uint64_t{riff} + 12, SectorName(probe.start) + ".avi"};
}

// The RIFF size plus its header agrees with the saved size to within a sector.
bool Confirms(std::string_view, const disk::ByteView& head, uint64_t fileSize) {
  if (!Signature(head)) return false;
  const int64_t carved = int64_t{head.le32(4)} + 12;
  const int64_t diff = carved - static_cast<int64_t>(fileSize);
  return (diff < 0 ? -diff : diff) < 512;
}

constexpr std::string_view kExtensions[] = {"avi"};

}  // namespace

extern const FileFormat kAvi{"avi", "R", Claims, Measure, Signature, kExtensions, false, Confirms};

}  // namespace orvaldi::fs::formats
