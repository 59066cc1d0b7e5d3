// Sets of byte ranges on a source (the unread areas of a rescue map), and a
// source that fails reads touching them the way a drive fails on bad sectors.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/sector_source.h"

namespace orvaldi::platform {

// A byte range [begin, end) on a source.
struct ByteRange {
  uint64_t begin = 0;
  uint64_t end = 0;
  uint64_t size() const { return end - begin; }
  bool operator==(const ByteRange&) const = default;
};

// Disjoint ranges kept sorted and merged, so a query is one binary search.
class ByteAreas {
 public:
  ByteAreas() = default;
  // Ranges in any order; empty ones are dropped, overlapping ones merged.
  explicit ByteAreas(std::vector<ByteRange> ranges);

  bool empty() const { return ranges_.empty(); }
  const std::vector<ByteRange>& ranges() const { return ranges_; }
  uint64_t bytes() const;
  // Appends the parts of [begin, end) that lie in these areas to `out`, in order.
  void intersect(uint64_t begin, uint64_t end, std::vector<ByteRange>& out) const;
  // The first byte of [begin, end) in an area, or `end` when none is.
  uint64_t firstTouched(uint64_t begin, uint64_t end) const;

 private:
  std::vector<ByteRange> ranges_;
};

// Fails every read that reaches into one of `areas` with EIO, after handing
// over the whole sectors before it: what a drive does on a bad sector. Used
// to read an image as the disk it was copied from read, with the areas its
// copy never got unreadable instead of the filler in their place.
class AreaFaultySource final : public SectorSource {
 public:
  AreaFaultySource(std::unique_ptr<SectorSource> inner, std::shared_ptr<const ByteAreas> areas)
      : inner_(std::move(inner)), areas_(std::move(areas)) {}
  ReadOutcome readAt(uint64_t offset, std::span<uint8_t> out) override;
  uint64_t size() const override { return inner_->size(); }

 private:
  std::unique_ptr<SectorSource> inner_;
  std::shared_ptr<const ByteAreas> areas_;
};

}  // namespace orvaldi::platform
