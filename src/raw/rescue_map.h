// The map of a copy: which byte ranges were copied, failed or are still to be
// read, kept in the text layout that rescue tools for failing disks share.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvaldi::raw {

// The states are the characters the file uses, so the file and the type
// share one vocabulary.
enum class MapStatus : char {
  kNonTried = '?',
  kNonTrimmed = '*',
  kNonScraped = '/',
  kBadSector = '-',
  kFinished = '+',
};

struct MapBlock {
  uint64_t pos = 0;
  uint64_t size = 0;
  MapStatus status = MapStatus::kNonTried;
  uint64_t end() const { return pos + size; }
};

// Contiguous blocks covering 0 .. length, neighbours always of different
// states. Positions are bytes from the start of the copied range.
class RescueMap {
 public:
  RescueMap() = default;
  // The whole range not tried yet.
  explicit RescueMap(uint64_t length);

  uint64_t length() const { return blocks_.empty() ? 0 : blocks_.back().end(); }
  const std::vector<MapBlock>& blocks() const { return blocks_; }
  // Sets pos .. pos + size (clipped to the map) to `status`.
  void mark(uint64_t pos, uint64_t size, MapStatus status);
  // Bytes in `status`.
  uint64_t bytesIn(MapStatus status) const;
  // The blocks a further run still has to read: every one not finished.
  std::vector<MapBlock> unfinished() const;

  // The file's text: a comment, the current-position line, the blocks.
  // `current` is where the copy stands; `pass` its state ('+' once done,
  // '?' while areas are left).
  std::string format(uint64_t current, char state, std::string_view commandLine) const;

  // Reads the file's text. Nothing (and a one-line reason) when a line is
  // malformed, the blocks do not follow each other from 0, or a size is 0.
  static std::optional<RescueMap> parse(std::string_view text, std::string& error);

 private:
  std::vector<MapBlock> blocks_;
};

}  // namespace orvaldi::raw
