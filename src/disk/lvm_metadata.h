// A parser for the LVM2 metadata text: nested named blocks, key = value, strings, numbers, lists.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvaldi::disk {

// One value: a whole number, a quoted string, or a bracketed list of numbers
// and strings (lists do not nest in this language).
struct LvmValue {
  enum class Kind : uint8_t { kNumber, kString, kList };
  Kind kind = Kind::kNumber;
  int64_t number = 0;
  std::string text;
  std::vector<LvmValue> items;
};

// A named block: its key = value lines and its inner blocks, in text order.
struct LvmSection {
  std::string name;
  std::vector<std::pair<std::string, LvmValue>> values;
  std::vector<LvmSection> sections;

  // The first value or block of that name; null when there is none.
  const LvmValue* find(std::string_view key) const;
  const LvmSection* section(std::string_view key) const;
  // The value when it is a number (a string or list yields nothing).
  std::optional<int64_t> number(std::string_view key) const;
  // The value when it is a string.
  const std::string* text(std::string_view key) const;
};

// Metadata areas are 1 MiB by default and rarely made larger; a text beyond
// this is not metadata. Real blocks nest four deep (group, volumes, volume,
// segment); the limit keeps a hostile text from recursing without end.
inline constexpr size_t kLvmMaxTextBytes = 16u << 20;
inline constexpr int kLvmMaxDepth = 16;

// Parses the whole text into an unnamed root block. A text that is too long,
// nests too deep, or breaks the grammar anywhere (an unclosed block, string or
// list, a key without a value, a number out of range) gives nothing: half a
// group's metadata is not the group. '#' starts a comment to the end of the line.
std::optional<LvmSection> ParseLvmMetadata(std::string_view text);

}  // namespace orvaldi::disk
