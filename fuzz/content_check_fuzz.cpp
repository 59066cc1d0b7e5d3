// Fuzzes the content checks: the input as a file of its own, and behind each
// format's leading bytes so that every walk sees it.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "raw/content_check.h"

using namespace orvaldi;

namespace {

void Check(const std::vector<uint8_t>& bytes) {
  const raw::ContentCheck c = raw::CheckContent(bytes, "input.jpg");
  // A bad file always says what broke; a result needs a recognised format.
  if (c.verdict == raw::ContentVerdict::kBad && c.problem.empty()) __builtin_trap();
  if (c.verdict == raw::ContentVerdict::kOk && c.format.empty()) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static constexpr std::string_view kLeads[] = {
      std::string_view("\xFF\xD8\xFF", 3),
      std::string_view("\x89PNG\r\n\x1A\n", 8),
      "GIF89a",
      std::string_view("BM\0\0\0\0\0\0\0\0\0\0\0\0\x28\0\0\0", 18),
      "%PDF-1.4\n",
      std::string_view("PK\x03\x04", 4),
      std::string_view("PK\x05\x06", 4),
      std::string_view("Rar!\x1A\x07\x00", 7),
      "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1",
      std::string_view("\0\0\0\x18"
                       "ftyp",
                       8),
      "RIFF\x10\0\0\0AVI ",
      std::string_view("\0\0\x01\xBA", 4),
      "ID3\x03\0\0\0\0\0\0",
      std::string_view("\xFF\xFB\x90\x00", 4),
  };
  std::vector<uint8_t> bytes(data, data + size);
  Check(bytes);
  for (const std::string_view lead : kLeads) {
    std::vector<uint8_t> framed(lead.begin(), lead.end());
    framed.insert(framed.end(), data, data + size);
    Check(framed);
  }
  return 0;
}
