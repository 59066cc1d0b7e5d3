// Opening sources by path and the sector-level read entry points.
#include "disk/sector_io.h"

#include <algorithm>
#include <cstring>

#include "platform/byte_areas.h"

namespace orvaldi::disk {

std::unique_ptr<SectorSource> OpenSource(const DiskInfo& disk, std::string* error) {
  // A group record's path is the group's name, never a file to open: a file
  // of that name in the current folder is someone else's.
  if (disk.diskKind == DiskKind::kDynamicGroup) {
    if (error) *error = disk.devicePath + " is a dynamic disk group, not a disk: its sectors are read from its members";
    return nullptr;
  }
  auto opened = platform::FileSource::open(disk.devicePath);
  if (!opened.source && error) *error = opened.message;
  if (opened.source && disk.unreadableAreas)
    return std::make_unique<platform::AreaFaultySource>(std::move(opened.source), disk.unreadableAreas);
  return std::move(opened.source);
}

SectorRead ReadSectors(SectorSource& source, uint64_t sector, uint32_t count, uint8_t* buffer) {
  const uint64_t length = uint64_t{count} * SectorSize;
  SectorRead result;
  if (sector > UINT64_MAX / SectorSize) {
    std::memset(buffer, 0, length);
    return result;
  }
  const auto outcome = source.readAt(sector * SectorSize, {buffer, static_cast<size_t>(length)});
  // Only what could not be read is zeroed: the caller never sees stale bytes.
  std::memset(buffer + outcome.bytes, 0, length - outcome.bytes);
  result.bytes = outcome.bytes;
  result.error = outcome.error;
  result.complete = outcome.bytes == length;
  return result;
}

bool ReadVolumeBytes(SectorSource& source, uint8_t* buffer, uint32_t length, uint32_t& bytesRead, uint64_t position) {
  const auto outcome = source.readAt(position, {buffer, length});
  bytesRead = static_cast<uint32_t>(std::min<uint64_t>(outcome.bytes, length));
  // Whatever could not be read is zero: callers reuse their buffers.
  std::memset(buffer + bytesRead, 0, length - bytesRead);
  return bytesRead == length;
}

bool ReadVolumeSectors(SectorSource& source, uint64_t sector, uint64_t count, uint8_t* buffer) {
  constexpr uint64_t kMaxRequest = 1u << 15;  // sectors: 16 MiB
  bool ok = true;
  for (uint64_t done = 0; done < count;) {
    const uint64_t n = std::min(count - done, kMaxRequest);
    uint32_t got = 0;
    ok &= ReadVolumeBytes(source, buffer + done * SectorSize, static_cast<uint32_t>(n * SectorSize), got,
                          (sector + done) * SectorSize);
    done += n;
  }
  return ok;
}

bool ReadVolumeSectorsSalvaging(SectorSource& source, uint64_t sector, uint64_t count, uint8_t* buffer,
                                std::vector<uint64_t>& bad) {
  const uint64_t sourceEnd = source.size() / SectorSize;
  if (sourceEnd != 0 && count != 0 && sector + count > sourceEnd) {
    // Past the end of a short image or volume nothing can be read: no need to try.
    const uint64_t inside = sector < sourceEnd ? sourceEnd - sector : 0;
    ReadVolumeSectorsSalvaging(source, sector, inside, buffer, bad);
    std::memset(buffer + inside * SectorSize, 0, (count - inside) * SectorSize);
    for (uint64_t s = sector + inside; s < sector + count; ++s) bad.push_back(s);
    return false;
  }
  if (count == 0 || ReadVolumeSectors(source, sector, count, buffer)) return true;
  if (count == 1) {
    bad.push_back(sector);
    return false;
  }
  const uint64_t half = count / 2;
  const bool first = ReadVolumeSectorsSalvaging(source, sector, half, buffer, bad);
  const bool second = ReadVolumeSectorsSalvaging(source, sector + half, count - half, buffer + half * SectorSize, bad);
  return first && second;
}

}  // namespace orvaldi::disk
