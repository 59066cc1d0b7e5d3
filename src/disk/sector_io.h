// Opening disk sources and the two ways every other part reads sectors.
#pragma once

#include <cstdint>
#include <functional>
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

// Reads through a dynamic volume's mapping: `position` is the byte offset
// inside the volume. Sets `bytesRead`; returns success.
using VolumeReader = std::function<bool(uint8_t* buffer, uint32_t length, uint32_t& bytesRead, uint64_t position,
                                        const PartitionInfo& partition)>;

// Installs the reader for striped, spanned or RAID-5 volumes. Passing an
// empty function removes it.
void SetVolumeReader(VolumeKind volumeKind, VolumeReader reader);

// The partition-aware read used by readers, scanners and savers. For a plain
// partition (or none) it reads `length` bytes of `source` at byte `position`
// (absolute on the disk; zero-filled past what could be read) and succeeds
// when all of them arrived. For a dynamic volume `position` is relative to
// the volume (whose startSector is 0, so the same arithmetic serves both) and
// the request goes to the installed reader of its kind; `source` may then be
// null. An unknown kind, or a kind whose reader is not installed, fails.
bool ReadVolumeBytes(SectorSource* source, uint8_t* buffer, uint32_t length, uint32_t& bytesRead, uint64_t position,
                     const PartitionInfo* partition);

// `count` whole sectors from absolute sector `sector` through ReadVolumeBytes,
// in requests small enough for its 32-bit length. True when all arrived.
bool ReadVolumeSectors(SectorSource* source, const PartitionInfo* partition, uint64_t sector, uint64_t count,
                       uint8_t* buffer);

// The same, but a failed read is repeated in halves down to single sectors,
// so that only the sectors that cannot be read stay zero; their numbers are
// appended to `bad` in ascending order. At most about two reads per sector,
// however much of the stretch is bad. True when nothing was bad.
bool ReadVolumeSectorsSalvaging(SectorSource* source, const PartitionInfo* partition, uint64_t sector, uint64_t count,
                                uint8_t* buffer, std::vector<uint64_t>& bad);

}  // namespace orvaldi::disk
