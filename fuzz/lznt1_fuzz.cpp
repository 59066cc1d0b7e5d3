// Fuzzes LZNT1 decompression into output buffers of several sizes; a smaller
// buffer must get exactly the start of what a larger one gets.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <vector>

#include "fs/lznt1.h"

using namespace orvaldi;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Empty, one byte, one chunk, one chunk and a byte, a whole compression unit.
  static constexpr std::array<size_t, 5> kSizes = {0, 1, 4096, 4097, 65536};
  std::array<std::vector<uint8_t>, kSizes.size()> outs;
  std::array<std::optional<size_t>, kSizes.size()> produced;
  for (size_t i = 0; i < kSizes.size(); ++i) {
    outs[i].assign(kSizes[i], 0);  // exactly sized, so a write past the end is caught
    produced[i] = fs::Lznt1Decompress({data, size}, outs[i]);
    if (produced[i] && *produced[i] > kSizes[i]) std::abort();
  }
  // Where the larger buffer succeeded, the smaller one stopped at its own
  // end (or where the stream did) with the same bytes; where the smaller one
  // failed, the fault lay before its end, so the larger one failed too.
  for (size_t small = 0; small < kSizes.size(); ++small) {
    for (size_t large = small + 1; large < kSizes.size(); ++large) {
      if (!produced[large]) continue;
      const size_t want = std::min(*produced[large], kSizes[small]);
      if (produced[small] != want) std::abort();
      if (!std::equal(outs[small].begin(), outs[small].begin() + static_cast<std::ptrdiff_t>(want),
                      outs[large].begin()))
        std::abort();
    }
  }
  return 0;
}
