// Fuzzes NTFS data extraction: a decoded record's runs (plain, sparse,
// compressed, in extents) read from the input as a small volume.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fs/extract.h"
#include "fs/ntfs_record.h"
#include "platform/sector_source.h"

using namespace orvaldi;

namespace {

// Keeps nothing and stops the copy after 4 MiB, so a huge sparse size costs little.
class CappedSink final : public fs::DataSink {
 public:
  bool write(const uint8_t*, size_t length) override {
    total += length;
    return true;
  }
  bool writeZeros(uint64_t length) override {
    total += length;
    return true;
  }
  uint64_t total = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1024 + 2) return 0;
  std::vector<uint8_t> record(data, data + 1024);
  fs::DecodedRecord decoded;
  if (!fs::DecodeRecord(record, 0, fs::DecodeMode::kFull, decoded, {})) return 0;
  // Vary what the record cannot say itself.
  decoded.compressedData = (data[1024] & 1) != 0;
  decoded.compressionUnit = data[1024] >> 4;
  std::vector<uint8_t> volume(data + 1024, data + size);
  platform::MemorySource source(volume);
  disk::PartitionInfo part;
  part.sectorsPerCluster = 1u << (data[1025] % 4);
  part.sectorCount = volume.size() / 512 + 1;
  CappedSink sink;
  const fs::PieceFn stop = [&](uint64_t) { return sink.total < (4u << 20); };
  fs::CopyNtfsData(&source, part, decoded, sink, stop);
  return 0;
}
