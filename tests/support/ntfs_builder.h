// Writes NTFS file records and small NTFS volumes into memory for reader tests.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "disk/disk_info.h"
#include "fs/ntfs_state.h"
#include "platform/progress.h"
#include "platform/sector_source.h"

namespace orvaldi::test {

using ListEntries = std::vector<std::pair<uint32_t, uint64_t>>;  // attribute type, record

// One file record under construction (1,024 bytes unless told otherwise).
class RecordBuilder {
 public:
  explicit RecordBuilder(uint32_t number, uint16_t flags = 1, uint32_t size = 1024, uint8_t usaOffset = 0x30);

  // A file name attribute: namespace 0 POSIX, 1 Win32, 2 DOS, 3 Win32 and DOS.
  RecordBuilder& standardInformation(uint64_t create, uint64_t modify, uint64_t access);
  RecordBuilder& fileName(uint64_t parent, const std::u16string& name, uint8_t nameSpace = 1, uint64_t realSize = 0);
  // Unnamed data, or a named stream.
  RecordBuilder& residentData(const std::vector<uint8_t>& bytes, const std::u16string& stream = u"");
  RecordBuilder& nonResident(uint32_t type, const std::vector<uint8_t>& runList, uint64_t size, uint16_t flags = 0);
  RecordBuilder& attributeList(const ListEntries& entries);
  RecordBuilder& baseReference(uint64_t base);

  // Ends the attribute list and applies the update sequence.
  std::vector<uint8_t> build() const;

 private:
  void append(const std::vector<uint8_t>& attr);
  std::vector<uint8_t> bytes_;
  size_t next_;
  uint8_t usaOffset_;
};

// The value of an attribute list naming these records.
std::vector<uint8_t> AttributeListBytes(const ListEntries& entries);

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
  uint32_t recordBytes_;
};

// An NTFS volume in memory from `startSector` to the end, walked through its
// MFT or searched sector by sector.
struct ScannedNtfs {
  enum class How { kWalk, kSearch };
  explicit ScannedNtfs(std::vector<uint8_t> image, How how = How::kWalk, uint64_t startSector = 0,
                       platform::ProgressBlock* progress = nullptr);
  const fs::NtfsScanState& state() const { return *fs::FindNtfsState(part); }
  platform::MemorySource src;
  disk::DiskInfo disk;
  disk::PartitionInfo part;
  bool ok = false;
};

}  // namespace orvaldi::test
