// Keeping, writing and reading the map of a copy.
#include "raw/rescue_map.h"

#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <cstdio>

namespace orvaldi::raw {

RescueMap::RescueMap(uint64_t length) {
  if (length > 0) blocks_.push_back({0, length, MapStatus::kNonTried});
}

void RescueMap::mark(uint64_t pos, uint64_t size, MapStatus status) {
  const uint64_t total = length();
  if (pos >= total || size == 0) return;
  const uint64_t end = std::min(total, pos + std::min(size, total - pos));
  // Only the blocks the range touches (and one neighbour each side, to merge
  // equal states) are rebuilt; a sequential copy touches two or three.
  auto first =
      std::upper_bound(blocks_.begin(), blocks_.end(), pos, [](uint64_t p, const MapBlock& b) { return p < b.end(); });
  std::vector<MapBlock> middle;
  auto last = first;
  while (last != blocks_.end() && last->pos < end) ++last;
  if (first->pos < pos) middle.push_back({first->pos, pos - first->pos, first->status});
  middle.push_back({pos, end - pos, status});
  const MapBlock& tail = *(last - 1);
  if (tail.end() > end) middle.push_back({end, tail.end() - end, tail.status});
  // Widen by one neighbour each side so equal states merge.
  if (first != blocks_.begin()) {
    --first;
    middle.insert(middle.begin(), *first);
  }
  if (last != blocks_.end()) {
    middle.push_back(*last);
    ++last;
  }
  std::vector<MapBlock> merged;
  for (const MapBlock& b : middle) {
    if (!merged.empty() && merged.back().status == b.status) {
      merged.back().size += b.size;
    } else {
      merged.push_back(b);
    }
  }
  const auto at = blocks_.erase(first, last);
  blocks_.insert(at, merged.begin(), merged.end());
}

uint64_t RescueMap::bytesIn(MapStatus status) const {
  uint64_t n = 0;
  for (const MapBlock& b : blocks_) n += b.status == status ? b.size : 0;
  return n;
}

std::vector<MapBlock> RescueMap::unfinished() const {
  std::vector<MapBlock> out;
  for (const MapBlock& b : blocks_)
    if (b.status != MapStatus::kFinished) out.push_back(b);
  return out;
}

std::string RescueMap::format(uint64_t current, char state, std::string_view commandLine) const {
  std::string out = "# Mapfile. Created by orvaldi image\n";
  out += "# Command line: ";
  out += commandLine;
  out += "\n# Positions are bytes from the first copied byte of the source.\n";
  char line[96];
  std::snprintf(line, sizeof line,
                "# current_pos  current_status  current_pass\n0x%08" PRIX64 "     %c               1\n", current,
                state);
  out += line;
  out += "#      pos        size  status\n";
  for (const MapBlock& b : blocks_) {
    std::snprintf(line, sizeof line, "0x%08" PRIX64 "  0x%08" PRIX64 "  %c\n", b.pos, b.size,
                  static_cast<char>(b.status));
    out += line;
  }
  return out;
}

namespace {

bool IsStatus(char c) { return c == '?' || c == '*' || c == '/' || c == '-' || c == '+'; }

// One number as the file writes it: hex with 0x, octal with a leading 0, else decimal.
std::optional<uint64_t> ParseNumber(std::string_view word) {
  int base = 10;
  if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
    base = 16;
    word.remove_prefix(2);
  } else if (word.size() > 1 && word[0] == '0') {
    base = 8;
    word.remove_prefix(1);
  }
  uint64_t value = 0;
  const auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), value, base);
  if (ec != std::errc() || end != word.data() + word.size()) return std::nullopt;
  return value;
}

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    const size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') ++i;
    if (i > start) words.push_back(line.substr(start, i - start));
  }
  return words;
}

}  // namespace

std::optional<RescueMap> RescueMap::parse(std::string_view text, std::string& error) {
  RescueMap map;
  bool statusLineSeen = false;
  size_t lineNumber = 0;
  while (!text.empty()) {
    const size_t nl = text.find('\n');
    const std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    ++lineNumber;
    const auto words = Words(line);
    if (words.empty() || words[0].front() == '#') continue;
    const std::string where = "map line " + std::to_string(lineNumber);
    if (!statusLineSeen) {
      // current_pos and current_status, optionally the pass.
      if (words.size() < 2 || words.size() > 3 || !ParseNumber(words[0]) || words[1].size() != 1) {
        error = where + ": expected the current position and state";
        return std::nullopt;
      }
      statusLineSeen = true;
      continue;
    }
    if (words.size() != 3 || words[2].size() != 1 || !IsStatus(words[2][0])) {
      error = where + ": expected position, size and one of ?*/-+";
      return std::nullopt;
    }
    const auto pos = ParseNumber(words[0]);
    const auto size = ParseNumber(words[1]);
    if (!pos || !size || *size == 0 || *pos + *size < *pos) {
      error = where + ": bad position or size";
      return std::nullopt;
    }
    if (*pos != map.length()) {
      error = where + ": block does not start where the one before it ends";
      return std::nullopt;
    }
    const auto status = static_cast<MapStatus>(words[2][0]);
    if (!map.blocks_.empty() && map.blocks_.back().status == status) {
      map.blocks_.back().size += *size;
    } else {
      map.blocks_.push_back({*pos, *size, status});
    }
  }
  if (!statusLineSeen) {
    error = "map holds no current-position line";
    return std::nullopt;
  }
  return map;
}

}  // namespace orvaldi::raw
