// Fuzzes the saved-tree loader: any bytes load without harm, and a tree that
// loaded saves to bytes that load back to the same bytes. The checksum would
// stop nearly every input at the door, so most inputs are signed first: the
// fuzzer's bytes become the body of a file with a good header and digest.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "fs/tree_file.h"

using namespace orvaldi;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> input(data, size);
  std::vector<uint8_t> file;
  if (size > 0 && (data[0] & 1) == 0) {
    file = {'O', 'R', 'V', 'T', 'R', 'E', 'E', 0x1A, 1, 0, 0, 0};
    file.insert(file.end(), input.begin() + 1, input.end());
    const uint32_t crc = fs::TreeFileChecksum(file);
    for (int i = 0; i < 4; ++i) file.push_back(static_cast<uint8_t>(crc >> (8 * i)));
  } else {
    file.assign(input.begin(), input.end());
  }
  const fs::TreeFileParse parsed = fs::ParseTreeFile(file);
  if (parsed.status != fs::TreeFileStatus::kOk) return 0;
  if (!parsed.state) std::abort();
  const std::vector<uint8_t> saved = fs::FormatTreeFile(parsed.identity, parsed.geometry, *parsed.state);
  const fs::TreeFileParse again = fs::ParseTreeFile(saved);
  if (again.status != fs::TreeFileStatus::kOk) std::abort();
  if (fs::FormatTreeFile(again.identity, again.geometry, *again.state) != saved) std::abort();
  return 0;
}
