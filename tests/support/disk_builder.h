// Writes partition tables into an in-memory disk for tests: MBR, EBR chains, GPT, Apple maps.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvaldi::test {

class DiskBuilder {
 public:
  explicit DiskBuilder(uint64_t sectors) : bytes_(sectors * 512) {}

  std::vector<uint8_t>& bytes() { return bytes_; }
  uint8_t* sector(uint64_t n) { return bytes_.data() + n * 512; }

  // A partition-table entry in the table sector `tableSector` (0 for the
  // MBR, an EBR's sector otherwise), with the 0xAA55 signature.
  DiskBuilder& entry(uint64_t tableSector, int slot, uint8_t type, uint32_t first, uint32_t count);
  // Boot code in the MBR's first three bytes (e.g. EB 63 90).
  DiskBuilder& bootCode(uint8_t a, uint8_t b, uint8_t c);
  // Copies `volume` (a whole image of a volume) to `startSector`.
  DiskBuilder& place(uint64_t startSector, const std::vector<uint8_t>& volume, size_t maxBytes = SIZE_MAX);

  // A GPT header at LBA 1 and its entry array at LBA 2.
  struct GptEntry {
    std::string typeGuid;  // text form
    uint64_t firstLba = 0;
    uint64_t lastLba = 0;
    std::u16string name;
  };
  DiskBuilder& gpt(const std::vector<GptEntry>& entries, uint32_t entryCount = 128, uint32_t entrySize = 128,
                   uint64_t entryLba = 2);

  // An Apple driver descriptor and partition map, one block per entry from
  // block 1. Readers find the map through entry 0's start, so entry 0 should
  // describe the map itself ("Apple_partition_map" starting at block 1).
  struct ApmEntry {
    std::string name;
    std::string type;
    uint32_t start = 0;  // blocks
    uint32_t count = 0;
  };
  DiskBuilder& apm(const std::vector<ApmEntry>& entries, uint16_t blockSize = 512);

 private:
  std::vector<uint8_t> bytes_;
};

}  // namespace orvaldi::test
