// In-memory partition-table writer for tests.
#include "support/disk_builder.h"

#include <algorithm>
#include <cstring>

#include "disk/partition_table.h"
#include "support/test_images.h"

namespace orvaldi::test {
namespace {

void PutBe16(std::vector<uint8_t>& b, size_t off, uint16_t v) {
  b.at(off) = static_cast<uint8_t>(v >> 8);
  b.at(off + 1) = static_cast<uint8_t>(v);
}
void PutBe32(std::vector<uint8_t>& b, size_t off, uint32_t v) {
  PutBe16(b, off, static_cast<uint16_t>(v >> 16));
  PutBe16(b, off + 2, static_cast<uint16_t>(v));
}

}  // namespace

DiskBuilder& DiskBuilder::entry(uint64_t tableSector, int slot, uint8_t type, uint32_t first, uint32_t count) {
  const size_t base = tableSector * 512;
  const size_t at = base + 0x1BE + 16 * static_cast<size_t>(slot);
  bytes_.at(at + 4) = type;
  Put32(bytes_, at + 8, first);
  Put32(bytes_, at + 12, count);
  Put16(bytes_, base + 0x1FE, 0xAA55);
  return *this;
}

DiskBuilder& DiskBuilder::bootCode(uint8_t a, uint8_t b, uint8_t c) {
  bytes_.at(0) = a;
  bytes_.at(1) = b;
  bytes_.at(2) = c;
  return *this;
}

DiskBuilder& DiskBuilder::place(uint64_t startSector, const std::vector<uint8_t>& volume, size_t maxBytes) {
  const size_t n = std::min({volume.size(), maxBytes, bytes_.size() - startSector * 512});
  std::memcpy(bytes_.data() + startSector * 512, volume.data(), n);
  return *this;
}

DiskBuilder& DiskBuilder::gpt(const std::vector<GptEntry>& entries, uint32_t entryCount, uint32_t entrySize,
                              uint64_t entryLba) {
  // Protective entry covering the disk, as partitioning tools write it.
  const uint64_t sectors = bytes_.size() / 512;
  entry(0, 0, 0xEE, 1, static_cast<uint32_t>(std::min<uint64_t>(sectors - 1, 0xFFFFFFFF)));
  const size_t h = 512;
  PutText(bytes_, h, "EFI PART");
  Put32(bytes_, h + 8, 0x00010000);
  Put32(bytes_, h + 12, 92);
  Put64(bytes_, h + 0x18, 1);
  Put64(bytes_, h + 0x48, entryLba);
  Put32(bytes_, h + 0x50, entryCount);
  Put32(bytes_, h + 0x54, entrySize);
  for (size_t i = 0; i < entries.size(); ++i) {
    const size_t at = entryLba * 512 + i * entrySize;
    const auto guid = disk::GuidFromText(entries[i].typeGuid.c_str());
    std::copy(guid.begin(), guid.end(), bytes_.begin() + static_cast<long>(at));
    bytes_.at(at + 16) = static_cast<uint8_t>(i + 1);  // unique GUID: anything non-zero
    Put64(bytes_, at + 0x20, entries[i].firstLba);
    Put64(bytes_, at + 0x28, entries[i].lastLba);
    for (size_t k = 0; k < entries[i].name.size() && k < 36; ++k)
      Put16(bytes_, at + 0x38 + 2 * k, static_cast<uint16_t>(entries[i].name[k]));
  }
  return *this;
}

DiskBuilder& DiskBuilder::apm(const std::vector<ApmEntry>& entries, uint16_t blockSize) {
  PutText(bytes_, 0, "ER");
  PutBe16(bytes_, 2, blockSize);
  PutBe32(bytes_, 4, static_cast<uint32_t>(bytes_.size() / blockSize));
  for (size_t i = 0; i < entries.size(); ++i) {
    const size_t at = (1 + i) * blockSize;
    PutText(bytes_, at, "PM");
    PutBe32(bytes_, at + 4, static_cast<uint32_t>(entries.size()));
    PutBe32(bytes_, at + 8, entries[i].start);
    PutBe32(bytes_, at + 0x0C, entries[i].count);
    PutText(bytes_, at + 0x10, entries[i].name.substr(0, 32));
    PutText(bytes_, at + 0x30, entries[i].type.substr(0, 32));
  }
  return *this;
}

}  // namespace orvaldi::test
