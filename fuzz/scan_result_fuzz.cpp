// Fuzzes the scan-result loader: any text loads without harm, and what it
// loaded saves to a file that loads back to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "disk/scan_result_file.h"
#include "platform/text.h"

using namespace orvaldi;

namespace {

// A disk whose display name is the input's first line, read as the loader
// reads it, so that the body behind it is parsed rather than refused.
disk::DiskInfo DiskNamedBy(std::string_view text) {
  std::string_view first = text.substr(0, text.find('\n'));
  if (!first.empty() && first.back() == '\r') first.remove_suffix(1);
  disk::DiskInfo d;
  d.vendorId = platform::OemToUtf8(first.substr(0, disk::kMaxScanResultLine));
  d.sizeBytes = int64_t{1} << 40;
  return d;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  disk::DiskInfo d = DiskNamedBy(text);
  if (disk::LoadScanResult(d, text).status != disk::ScanResultStatus::kOk) return 0;
  // The first save may tidy what the input held (undecodable names, unknown
  // kinds); from then on a save and a load must change nothing.
  const std::string saved = disk::FormatScanResult(d).bytes;
  disk::DiskInfo again = DiskNamedBy(saved);
  if (disk::LoadScanResult(again, saved).status != disk::ScanResultStatus::kOk) std::abort();
  if (disk::FormatScanResult(again).bytes != saved) std::abort();
  return 0;
}
