// Bounds-checked little- and big-endian reads from on-disk bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

namespace orvaldi::disk {

// A read-only window onto bytes taken from a disk. Every accessor checks its
// range: a read that would leave the window yields 0 (or an empty view) and
// marks the view as overrun, so a parser can read a whole header and test
// `ok()` once. Offsets and lengths are 64-bit so that values taken from the
// disk can be passed in without narrowing first.
class ByteView {
 public:
  ByteView() = default;
  ByteView(std::span<const uint8_t> bytes) : data_(bytes) {}  // NOLINT: implicit on purpose
  ByteView(const uint8_t* p, size_t n) : data_(p, n) {}

  size_t size() const { return data_.size(); }
  const uint8_t* data() const { return data_.data(); }
  bool ok() const { return !overrun_; }

  // True when [offset, offset + length) lies inside the view, without overflow.
  bool contains(uint64_t offset, uint64_t length) const {
    return offset <= data_.size() && length <= data_.size() - offset;
  }

  uint8_t u8(uint64_t off) const { return check(off, 1) ? data_[off] : 0; }
  uint16_t le16(uint64_t off) const {
    return check(off, 2) ? static_cast<uint16_t>(data_[off] | (data_[off + 1] << 8)) : 0;
  }
  uint32_t le32(uint64_t off) const {
    return check(off, 4)
               ? static_cast<uint32_t>(data_[off]) | (static_cast<uint32_t>(data_[off + 1]) << 8) |
                     (static_cast<uint32_t>(data_[off + 2]) << 16) | (static_cast<uint32_t>(data_[off + 3]) << 24)
               : 0;
  }
  uint64_t le64(uint64_t off) const {
    return check(off, 8) ? static_cast<uint64_t>(le32(off)) | (static_cast<uint64_t>(le32(off + 4)) << 32) : 0;
  }
  uint16_t be16(uint64_t off) const {
    return check(off, 2) ? static_cast<uint16_t>((data_[off] << 8) | data_[off + 1]) : 0;
  }
  uint32_t be32(uint64_t off) const {
    return check(off, 4) ? (static_cast<uint32_t>(data_[off]) << 24) | (static_cast<uint32_t>(data_[off + 1]) << 16) |
                               (static_cast<uint32_t>(data_[off + 2]) << 8) | static_cast<uint32_t>(data_[off + 3])
                         : 0;
  }
  uint64_t be64(uint64_t off) const {
    return check(off, 8) ? (static_cast<uint64_t>(be32(off)) << 32) | be32(off + 4) : 0;
  }

  // The bytes [off, off + len), or an empty span (and overrun) when outside.
  std::span<const uint8_t> sub(uint64_t off, uint64_t len) const {
    if (!check(off, len)) return {};
    return data_.subspan(static_cast<size_t>(off), static_cast<size_t>(len));
  }
  // True when the bytes at `off` equal `text` (false when outside the view).
  bool matches(uint64_t off, std::string_view text) const {
    return contains(off, text.size()) && std::memcmp(data_.data() + off, text.data(), text.size()) == 0;
  }
  bool allZero(uint64_t off, uint64_t len) const {
    if (!check(off, len)) return false;
    for (uint64_t i = 0; i < len; ++i)
      if (data_[off + i] != 0) return false;
    return true;
  }

 private:
  bool check(uint64_t off, uint64_t len) const {
    if (contains(off, len)) return true;
    overrun_ = true;
    return false;
  }
  std::span<const uint8_t> data_;
  mutable bool overrun_ = false;
};

// Unchecked reads for the hot loops of the sweeps, over a buffer whose size
// the caller has already checked (a whole sector or window in hand): `p` must
// point at enough bytes. Everything else reads through ByteView.
inline uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t Le32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
inline uint64_t Le64(const uint8_t* p) { return uint64_t{Le32(p)} | (uint64_t{Le32(p + 4)} << 32); }
inline uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline uint32_t Be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

}  // namespace orvaldi::disk
