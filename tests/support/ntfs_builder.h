// Writes NTFS file records and small NTFS volumes into memory for reader tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvaldi::test {

// One file record under construction (1,024 bytes unless told otherwise).
class RecordBuilder {
 public:
  explicit RecordBuilder(uint32_t number, uint16_t flags = 1, uint32_t size = 1024, uint8_t usaOffset = 0x30);

  RecordBuilder& standardInformation(uint64_t create, uint64_t modify, uint64_t access);
  // A file name attribute: namespace 0 POSIX, 1 Win32, 2 DOS, 3 Win32 and DOS.
  RecordBuilder& fileName(uint64_t parent, const std::u16string& name, uint8_t nameSpace = 1, uint64_t realSize = 0,
                          uint64_t create = 0x01D9000000000000ull);
  RecordBuilder& residentData(const std::vector<uint8_t>& bytes);
  RecordBuilder& nonResidentData(const std::vector<uint8_t>& runList, uint64_t dataSize, uint16_t attrFlags = 0);
  RecordBuilder& namedData(const std::u16string& streamName, const std::vector<uint8_t>& bytes);
  RecordBuilder& attributeList(const std::vector<std::pair<uint32_t, uint64_t>>& entries);  // type, record
  RecordBuilder& baseReference(uint64_t base);
  RecordBuilder& raw(uint32_t type, const std::vector<uint8_t>& attribute);  // a whole attribute, header included

  // Ends the attribute list and applies the update sequence.
  std::vector<uint8_t> build() const;

 private:
  void append(const std::vector<uint8_t>& attr);
  std::vector<uint8_t> bytes_;
  size_t next_;
  uint8_t usaOffset_;
};

// A run list with one entry per (first cluster, length), as NTFS stores it.
std::vector<uint8_t> RunList(const std::vector<std::pair<uint64_t, uint64_t>>& runs);

// A volume with 512-byte clusters whose MFT starts at cluster 32 and holds
// `records` slots (1,024 bytes, or `recordBytes`) in one run; record 0
// describes that run.
class NtfsVolumeBuilder {
 public:
  explicit NtfsVolumeBuilder(uint32_t records, uint64_t totalSectors = 4096, uint32_t recordBytes = 1024);
  std::vector<uint8_t>& bytes() { return bytes_; }
  void put(uint32_t number, const std::vector<uint8_t>& record);
  // Replaces record 0 with one whose run list is `runs` (to describe other layouts).
  void mftRuns(const std::vector<std::pair<uint64_t, uint64_t>>& runs);
  static constexpr uint64_t kMftCluster = 32;

 private:
  std::vector<uint8_t> bytes_;
  uint32_t records_;
  uint32_t recordBytes_;
};

}  // namespace orvaldi::test
