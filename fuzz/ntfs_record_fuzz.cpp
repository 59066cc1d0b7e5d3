// Fuzzes the MFT record decoder (with its update-sequence check) and the run-list decoder.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "disk/recognisers.h"
#include "fs/ntfs_record.h"

using namespace orvaldi;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<fs::NtfsRun> runs;
  fs::DecodeRunList({data, size}, runs);

  // The input as one or more records; extension records come from the rest of the input.
  const size_t recordBytes = size >= 4096 ? 4096 : 1024;
  if (size < recordBytes) return 0;
  std::vector<uint8_t> record(data, data + recordBytes);
  if (!disk::CheckUpdateSequence(record)) {
    // Decode it anyway: the decoder must hold up on records that were never checked.
  }
  fs::RecordFetcher fetch = [&](uint64_t number, std::vector<uint8_t>& out) {
    const uint64_t at = (number % 4) * recordBytes;
    if (at + recordBytes > size) return false;
    out.assign(data + at, data + at + recordBytes);
    return disk::CheckUpdateSequence(out) == 1;
  };
  fs::DecodedRecord decoded;
  fs::DecodeRecord(record, 0, fs::DecodeMode::kFull, decoded, fetch);
  fs::DecodedRecord merged;
  fs::MergeExtensionRecord(record, merged);
  return 0;
}
