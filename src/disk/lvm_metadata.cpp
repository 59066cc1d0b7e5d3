// A parser for the LVM2 metadata text: nested named blocks, key = value, strings, numbers, lists.
#include "disk/lvm_metadata.h"

#include <limits>

namespace orvaldi::disk {

const LvmValue* LvmSection::find(std::string_view key) const {
  for (const auto& [valueName, value] : values)
    if (valueName == key) return &value;
  return nullptr;
}

const LvmSection* LvmSection::section(std::string_view key) const {
  for (const auto& s : sections)
    if (s.name == key) return &s;
  return nullptr;
}

std::optional<int64_t> LvmSection::number(std::string_view key) const {
  const LvmValue* v = find(key);
  if (!v || v->kind != LvmValue::Kind::kNumber) return std::nullopt;
  return v->number;
}

const std::string* LvmSection::text(std::string_view key) const {
  const LvmValue* v = find(key);
  return v && v->kind == LvmValue::Kind::kString ? &v->text : nullptr;
}

namespace {

// Recursive descent over the text; every step either advances or fails, so
// the walk ends after at most one pass.
class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  bool parseBody(LvmSection& into, int depth) {
    if (depth > kLvmMaxDepth) return false;
    for (;;) {
      skipBlanks();
      if (atEnd()) return depth == 0;  // only the root may end with the text
      if (peek() == '}') {
        if (depth == 0) return false;
        ++pos_;
        return true;
      }
      std::string key;
      if (!parseName(key)) return false;
      skipBlanks();
      if (atEnd()) return false;
      if (peek() == '{') {
        ++pos_;
        LvmSection inner;
        inner.name = std::move(key);
        if (!parseBody(inner, depth + 1)) return false;
        into.sections.push_back(std::move(inner));
      } else if (peek() == '=') {
        ++pos_;
        LvmValue value;
        if (!parseValue(value, true)) return false;
        into.values.emplace_back(std::move(key), std::move(value));
      } else {
        return false;
      }
    }
  }

 private:
  bool atEnd() const { return pos_ >= text_.size(); }
  char peek() const { return text_[pos_]; }

  // White space and comments ('#' to the end of the line).
  void skipBlanks() {
    while (!atEnd()) {
      const char c = peek();
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
        ++pos_;
      } else if (c == '#') {
        while (!atEnd() && peek() != '\n') ++pos_;
      } else {
        break;
      }
    }
  }

  // Group, volume and key names: letters, digits and the few marks the tools
  // allow in names.
  static bool isNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
           c == '+' || c == '-';
  }

  bool parseName(std::string& out) {
    const size_t from = pos_;
    while (!atEnd() && isNameChar(peek())) ++pos_;
    if (pos_ == from) return false;
    out.assign(text_.substr(from, pos_ - from));
    return true;
  }

  bool parseValue(LvmValue& out, bool listAllowed) {
    skipBlanks();
    if (atEnd()) return false;
    const char c = peek();
    if (c == '"') return parseString(out);
    if (c == '[') {
      if (!listAllowed) return false;
      return parseList(out);
    }
    if (c == '-' || (c >= '0' && c <= '9')) return parseNumber(out);
    return false;
  }

  // "..." with backslash escapes; may run over several lines.
  bool parseString(LvmValue& out) {
    out.kind = LvmValue::Kind::kString;
    ++pos_;
    while (!atEnd()) {
      char c = peek();
      ++pos_;
      if (c == '"') return true;
      if (c == '\\') {
        if (atEnd()) return false;
        c = peek();
        ++pos_;
      }
      out.text.push_back(c);
    }
    return false;
  }

  // A whole number; a fraction, which the metadata does not use for the
  // values we read, is accepted and dropped rather than failing the group.
  bool parseNumber(LvmValue& out) {
    out.kind = LvmValue::Kind::kNumber;
    const bool negative = peek() == '-';
    if (negative) ++pos_;
    const size_t from = pos_;
    uint64_t magnitude = 0;
    const uint64_t limit =
        negative ? uint64_t{std::numeric_limits<int64_t>::max()} + 1 : uint64_t{std::numeric_limits<int64_t>::max()};
    while (!atEnd() && peek() >= '0' && peek() <= '9') {
      const auto digit = static_cast<uint64_t>(peek() - '0');
      if (magnitude > (limit - digit) / 10) return false;
      magnitude = magnitude * 10 + digit;
      ++pos_;
    }
    if (pos_ == from) return false;
    if (!atEnd() && peek() == '.') {
      ++pos_;
      while (!atEnd() && peek() >= '0' && peek() <= '9') ++pos_;
    }
    out.number = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    return true;
  }

  bool parseList(LvmValue& out) {
    out.kind = LvmValue::Kind::kList;
    ++pos_;
    for (;;) {
      skipBlanks();
      if (atEnd()) return false;
      if (peek() == ']') {
        ++pos_;
        return true;
      }
      LvmValue item;
      if (!parseValue(item, false)) return false;
      out.items.push_back(std::move(item));
      skipBlanks();
      if (atEnd()) return false;
      if (peek() == ',') {
        ++pos_;
      } else if (peek() != ']') {
        return false;
      }
    }
  }

  std::string_view text_;
  size_t pos_ = 0;
};

}  // namespace

std::optional<LvmSection> ParseLvmMetadata(std::string_view text) {
  if (text.size() > kLvmMaxTextBytes) return std::nullopt;
  LvmSection root;
  Parser parser(text);
  if (!parser.parseBody(root, 0)) return std::nullopt;
  return root;
}

}  // namespace orvaldi::disk
