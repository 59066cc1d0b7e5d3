// Opening disk sources and the two ways every other part reads sectors.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "disk/disk_info.h"
#include "platform/sector_source.h"

namespace orvaldi::disk {

using platform::SectorSource;

inline constexpr uint32_t SectorSize = platform::SectorSize;

// Opens the disk's device path read-only for the length of one operation.
// Returns null on failure; `error` (when given) receives a one-line reason.
std::unique_ptr<SectorSource> OpenSource(const DiskInfo& disk, std::string* error = nullptr);

struct SectorRead {
  bool complete = false;  // every requested byte came from the source
  uint64_t bytes = 0;     // bytes actually read; the rest of the buffer is zero
  int error = 0;          // errno of a failed read, 0 when it only hit the end
};

// Reads `count` whole sectors starting at `sector` into `buffer`, which must
// hold count x SectorSize bytes. The buffer is zeroed first, so whatever could
// not be read stays zero (every recogniser rejects a zero sector).
SectorRead ReadSectors(SectorSource& source, uint64_t sector, uint32_t count, uint8_t* buffer);

// The read used by readers, scanners and savers, on the source
// OpenVolumeSource gave: reads `length` bytes at byte `position` (absolute
// on the disk for a plain partition, from the volume's start for an
// assembled one, so the same arithmetic serves both). Zero-fills what could
// not be read, sets `bytesRead`, and succeeds when every byte arrived.
bool ReadVolumeBytes(SectorSource& source, uint8_t* buffer, uint32_t length, uint32_t& bytesRead, uint64_t position);

// `count` whole sectors from sector `sector` through ReadVolumeBytes, in
// requests small enough for its 32-bit length. True when all arrived.
bool ReadVolumeSectors(SectorSource& source, uint64_t sector, uint64_t count, uint8_t* buffer);

// The same, but a failed read is repeated in halves down to single sectors,
// so that only the sectors that cannot be read stay zero; their numbers are
// appended to `bad` in ascending order. At most about two reads per sector,
// however much of the stretch is bad. True when nothing was bad.
bool ReadVolumeSectorsSalvaging(SectorSource& source, uint64_t sector, uint64_t count, uint8_t* buffer,
                                std::vector<uint64_t>& bad);

// The forms with the partition beside the source: the source alone decides
// how a position is read, the partition is not consulted. A null source
// reads nothing.
inline bool ReadVolumeSectors(SectorSource* source, const PartitionInfo* /*partition*/, uint64_t sector, uint64_t count,
                              uint8_t* buffer) {
  if (source == nullptr) {
    std::memset(buffer, 0, count * SectorSize);
    return false;
  }
  return ReadVolumeSectors(*source, sector, count, buffer);
}
inline bool ReadVolumeSectorsSalvaging(SectorSource* source, const PartitionInfo* /*partition*/, uint64_t sector,
                                       uint64_t count, uint8_t* buffer, std::vector<uint64_t>& bad) {
  if (source == nullptr) {
    std::memset(buffer, 0, count * SectorSize);
    for (uint64_t s = sector; s < sector + count; ++s) bad.push_back(s);
    return count == 0;
  }
  return ReadVolumeSectorsSalvaging(*source, sector, count, buffer, bad);
}

}  // namespace orvaldi::disk
