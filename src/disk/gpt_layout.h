// The GUID partition table's header and entries, field by field: every reader of a GPT takes its offsets from here.
#pragma once

#include <cstdint>
#include <span>

#include "disk/bytes.h"

namespace orvaldi::disk::gpt {

// The fields a header's checksum leaves out of its own sum, and the smallest
// header that holds every field below.
inline constexpr uint64_t kHeaderCrcAt = 0x10;
inline constexpr uint64_t kHeaderCrcBytes = 4;
inline constexpr uint32_t kMinHeaderBytes = 92;

// The header in the sector after the protective MBR (its backup in the last
// sector). Reads past the bytes give 0 (ByteView).
class Header {
 public:
  explicit Header(ByteView b) : b_(b) {}

  bool hasSignature() const { return b_.matches(0, "EFI PART"); }
  uint32_t revision() const { return b_.le32(0x08); }
  uint32_t headerBytes() const { return b_.le32(0x0C); }  // what the header checksum covers
  uint32_t headerCrc() const { return b_.le32(kHeaderCrcAt); }
  uint64_t myLba() const { return b_.le64(0x18); }
  uint64_t alternateLba() const { return b_.le64(0x20); }
  uint64_t firstUsableLba() const { return b_.le64(0x28); }
  uint64_t lastUsableLba() const { return b_.le64(0x30); }
  std::span<const uint8_t> diskGuid() const { return b_.sub(0x38, 16); }
  uint64_t entriesLba() const { return b_.le64(0x48); }
  uint32_t entryCount() const { return b_.le32(0x50); }
  uint32_t entryBytes() const { return b_.le32(0x54); }  // the stride of the entry array
  uint32_t entriesCrc() const { return b_.le32(0x58); }

 private:
  ByteView b_;
};

inline constexpr uint64_t kNameBytes = 72;  // 36 UTF-16 units

// One entry of the array, `at` bytes into it (entry index x entryBytes()).
class Entry {
 public:
  Entry(ByteView array, uint64_t at) : b_(array), at_(at) {}

  std::span<const uint8_t> typeGuid() const { return b_.sub(at_, 16); }  // all zero: the entry is unused
  std::span<const uint8_t> uniqueGuid() const { return b_.sub(at_ + 0x10, 16); }
  uint64_t firstLba() const { return b_.le64(at_ + 0x20); }
  uint64_t lastLba() const { return b_.le64(at_ + 0x28); }  // inclusive
  uint64_t attributes() const { return b_.le64(at_ + 0x30); }
  std::span<const uint8_t> name() const { return b_.sub(at_ + 0x38, kNameBytes); }

 private:
  ByteView b_;
  uint64_t at_;
};

}  // namespace orvaldi::disk::gpt
