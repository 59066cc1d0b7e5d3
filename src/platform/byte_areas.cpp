// Byte-range sets and the source that fails reads on them.
#include "platform/byte_areas.h"

#include <algorithm>
#include <cerrno>

namespace orvaldi::platform {

ByteAreas::ByteAreas(std::vector<ByteRange> ranges) {
  std::erase_if(ranges, [](const ByteRange& r) { return r.end <= r.begin; });
  std::sort(ranges.begin(), ranges.end(), [](const ByteRange& a, const ByteRange& b) { return a.begin < b.begin; });
  for (const ByteRange& r : ranges) {
    if (!ranges_.empty() && r.begin <= ranges_.back().end) {
      ranges_.back().end = std::max(ranges_.back().end, r.end);
    } else {
      ranges_.push_back(r);
    }
  }
}

uint64_t ByteAreas::bytes() const {
  uint64_t n = 0;
  for (const ByteRange& r : ranges_) n += r.size();
  return n;
}

void ByteAreas::intersect(uint64_t begin, uint64_t end, std::vector<ByteRange>& out) const {
  if (end <= begin) return;
  auto it = std::upper_bound(ranges_.begin(), ranges_.end(), begin,
                             [](uint64_t pos, const ByteRange& r) { return pos < r.end; });
  for (; it != ranges_.end() && it->begin < end; ++it)
    out.push_back({std::max(begin, it->begin), std::min(end, it->end)});
}

uint64_t ByteAreas::firstTouched(uint64_t begin, uint64_t end) const {
  if (end <= begin) return end;
  auto it = std::upper_bound(ranges_.begin(), ranges_.end(), begin,
                             [](uint64_t pos, const ByteRange& r) { return pos < r.end; });
  return it != ranges_.end() && it->begin < end ? std::max(begin, it->begin) : end;
}

ReadOutcome AreaFaultySource::readAt(uint64_t offset, std::span<uint8_t> out) {
  if (out.empty()) return {};
  const uint64_t end = offset + out.size();
  const uint64_t bad = areas_->firstTouched(offset, end);
  if (bad == end) return inner_->readAt(offset, out);
  // The sector the area begins in is lost whole.
  const uint64_t goodEnd = std::max(offset, bad / SectorSize * SectorSize);
  ReadOutcome outcome;
  if (goodEnd > offset) {
    outcome = inner_->readAt(offset, out.first(static_cast<size_t>(goodEnd - offset)));
    if (outcome.error != 0 || outcome.bytes < goodEnd - offset) return outcome;
  }
  outcome.error = EIO;
  return outcome;
}

}  // namespace orvaldi::platform
