// Reading a file from its first sector on, for the format walks: the held sectors, a sliding window, a lazy range.
#include <algorithm>
#include <cstring>

#include "disk/sector_io.h"
#include "fs/formats/format.h"

namespace orvaldi::fs::formats {

namespace {
constexpr uint32_t kSector = disk::SectorSize;
}  // namespace

void FileReader::read(uint64_t offset, uint64_t count, uint8_t* out) {
  if (const uint8_t* in = inMemory(offset, count)) {
    std::memcpy(out, in, count * kSector);
    return;
  }
  readOnDisk(offset, count, out);
}

const uint8_t* FileReader::inMemory(uint64_t offset, uint64_t count) const {
  return (offset + count) * kSector <= held_.size() ? held_.data() + offset * kSector : nullptr;
}

ReadWindow::ReadWindow(FileReader& reader, std::span<const uint8_t> first)
    : reader_(reader), bytes_(new uint8_t[(kSpan + 1) * kSector]) {
  std::memcpy(bytes_.get(), first.data(), std::min<size_t>(first.size(), 2 * kSector));
  if (first.size() < 2 * kSector) std::memset(bytes_.get() + first.size(), 0, 2 * kSector - first.size());
}

const uint8_t* ReadWindow::at(uint64_t p, uint32_t offset, uint32_t n) {
  if (p + offset + n > kMaxFileBytes) return nullptr;
  const uint64_t block = p / kSector;
  if (block > block_) {
    block_ = block;
    if (const uint8_t* in = reader_.inMemory(block_, 2)) {
      const uint64_t within = p % kSector + offset;
      return within + n <= 2 * kSector ? in + within : nullptr;
    }
    if (block_ + 2 > base_ + valid_) {
      reader_.read(block_, kSpan + 1, bytes_.get());
      base_ = block_;
      valid_ = kSpan + 1;
    }
  }
  const uint64_t within = p % kSector + offset;
  if (within + n > 2 * kSector) return nullptr;
  if (const uint8_t* in = reader_.inMemory(block_, 2)) return in + within;
  return bytes_.get() + (block_ - base_) * kSector + within;
}

LazyRange::LazyRange(FileReader& reader, uint64_t firstSector)
    : reader_(reader), first_(firstSector), bytes_(new uint8_t[kSearchBytes]) {}

uint64_t LazyRange::need(uint64_t n) {
  while (loaded_ < n) {
    const uint64_t next = std::min<uint64_t>(kSearchBytes, std::max<uint64_t>(2 * loaded_, 0x10000));
    reader_.read(first_ + loaded_ / kSector, (next - loaded_) / kSector, bytes_.get() + loaded_);
    loaded_ = next;
  }
  return loaded_;
}

}  // namespace orvaldi::fs::formats
