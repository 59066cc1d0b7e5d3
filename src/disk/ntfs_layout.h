// Named fields of NTFS's on-disk structures: boot sector, file record, attributes, index entries.
#pragma once

#include <cstdint>
#include <span>

#include "disk/bytes.h"

namespace orvaldi::disk::ntfs {

// Every accessor reads through a ByteView: a field that lies outside the
// bytes reads as 0 and marks the view overrun, as ByteView does.
class Fields {
 public:
  explicit Fields(ByteView bytes, uint64_t at = 0) : b_(bytes), at_(at) {}
  const ByteView& bytes() const { return b_; }
  uint64_t at() const { return at_; }

 protected:
  uint8_t u8(uint64_t off) const { return b_.u8(at_ + off); }
  uint16_t le16(uint64_t off) const { return b_.le16(at_ + off); }
  uint32_t le32(uint64_t off) const { return b_.le32(at_ + off); }
  uint64_t le64(uint64_t off) const { return b_.le64(at_ + off); }

 private:
  ByteView b_;
  uint64_t at_;
};

// A file reference: record number in the low 48 bits, sequence number above.
constexpr uint64_t RecordOf(uint64_t reference) { return reference & 0x0000FFFFFFFFFFFFull; }

class BootSector : public Fields {
 public:
  using Fields::Fields;
  uint16_t bytesPerSector() const { return le16(0x0B); }
  // Encoded: 1..0x80 as it is, larger values as a negative power of two.
  uint8_t sectorsPerClusterCode() const { return u8(0x0D); }
  uint64_t totalSectors() const { return le64(0x28); }
  uint64_t mftCluster() const { return le64(0x30); }
  uint64_t mftMirrorCluster() const { return le64(0x38); }
  // Encoded: positive in clusters, negative as a power of two in bytes.
  int8_t clustersPerRecordCode() const { return static_cast<int8_t>(u8(0x40)); }
  // The index-record field read whole, the three bytes after the code included.
  uint32_t clustersPerIndexRecordField() const { return le32(0x44); }
  uint64_t serial() const { return le64(0x48); }
};

// The header of a file record ("FILE"), after its update sequence was restored.
class RecordHeader : public Fields {
 public:
  using Fields::Fields;
  static constexpr uint64_t kBytes = 0x30;
  static constexpr uint16_t kInUse = 0x0001;
  static constexpr uint16_t kDirectory = 0x0002;
  // Records written before the number field existed keep the update
  // sequence at 0x2A, where that field would begin.
  static constexpr uint8_t kOldUsaOffset = 0x2A;

  uint16_t usaOffset() const { return le16(0x04); }
  uint16_t usaCount() const { return le16(0x06); }
  uint16_t sequenceNumber() const { return le16(0x10); }
  uint16_t linkCount() const { return le16(0x12); }
  uint16_t firstAttributeOffset() const { return le16(0x14); }
  uint16_t flags() const { return le16(0x16); }
  uint32_t bytesUsed() const { return le32(0x18); }
  uint32_t bytesAllocated() const { return le32(0x1C); }
  uint64_t baseReference() const { return le64(0x20); }
  uint32_t recordNumber() const { return le32(0x2C); }
  // Judged on the low byte alone, as the update-sequence check reads it.
  bool hasNumberField() const { return u8(0x04) != kOldUsaOffset; }
};

// Attribute type codes.
namespace attr {
inline constexpr uint32_t kStandardInformation = 0x10;
inline constexpr uint32_t kAttributeList = 0x20;
inline constexpr uint32_t kFileName = 0x30;
inline constexpr uint32_t kVolumeName = 0x60;
inline constexpr uint32_t kData = 0x80;
inline constexpr uint32_t kIndexRoot = 0x90;
inline constexpr uint32_t kIndexAllocation = 0xA0;
inline constexpr uint32_t kEnd = 0xFFFFFFFF;
}  // namespace attr

// An attribute header at `at` in its record's bytes. Fields are read within
// the record; whether they lie within the attribute's own length is the
// reader's to check.
class AttributeHeader : public Fields {
 public:
  using Fields::Fields;
  static constexpr uint64_t kCommonBytes = 0x10;
  static constexpr uint64_t kNonResidentBytes = 0x40;
  static constexpr uint16_t kCompressionMask = 0x00FF;
  static constexpr uint16_t kSparse = 0x8000;

  uint32_t type() const { return le32(0x00); }
  uint32_t length() const { return le32(0x04); }
  bool nonResident() const { return u8(0x08) != 0; }
  uint8_t nameLength() const { return u8(0x09); }
  uint16_t nameOffset() const { return le16(0x0A); }
  uint16_t flags() const { return le16(0x0C); }
  uint16_t id() const { return le16(0x0E); }
  // Resident attributes.
  uint32_t valueLength() const { return le32(0x10); }
  uint16_t valueOffset() const { return le16(0x14); }
  // Non-resident attributes.
  uint64_t firstVcn() const { return le64(0x10); }
  uint64_t lastVcn() const { return le64(0x18); }
  uint16_t runListOffset() const { return le16(0x20); }
  uint8_t compressionUnit() const { return u8(0x22); }
  uint64_t allocatedSize() const { return le64(0x28); }
  uint64_t realSize() const { return le64(0x30); }
  uint64_t initializedSize() const { return le64(0x38); }
};

// The value of a standard-information attribute: its four times come first.
class StandardInformation : public Fields {
 public:
  using Fields::Fields;
  static constexpr uint64_t kTimesBytes = 0x20;
  uint64_t createTime() const { return le64(0x00); }
  uint64_t modifyTime() const { return le64(0x08); }
  uint64_t changeTime() const { return le64(0x10); }
  uint64_t accessTime() const { return le64(0x18); }
};

// Name spaces of a file name.
namespace name_space {
inline constexpr uint8_t kPosix = 0;
inline constexpr uint8_t kWin32 = 1;
inline constexpr uint8_t kDos = 2;
inline constexpr uint8_t kWin32AndDos = 3;
}  // namespace name_space

// The value of a file-name attribute, also the key of a folder's index entry.
class FileName : public Fields {
 public:
  using Fields::Fields;
  static constexpr uint64_t kNameOffset = 0x42;  // also the fixed part's size

  uint64_t parentReference() const { return le64(0x00); }
  uint64_t createTime() const { return le64(0x08); }
  uint64_t modifyTime() const { return le64(0x10); }
  uint64_t changeTime() const { return le64(0x18); }
  uint64_t accessTime() const { return le64(0x20); }
  uint64_t allocatedSize() const { return le64(0x28); }
  uint64_t realSize() const { return le64(0x30); }
  uint32_t fileFlags() const { return le32(0x38); }
  uint32_t reparseTag() const { return le32(0x3C); }
  uint8_t nameLength() const { return u8(0x40); }  // in UTF-16 units
  uint8_t nameSpace() const { return u8(0x41); }
  uint64_t nameBytes() const { return 2ull * nameLength(); }
  bool nameFits() const { return bytes().contains(at() + kNameOffset, nameBytes()); }
  // The UTF-16LE name, empty when it does not fit.
  std::span<const uint8_t> name() const { return bytes().sub(at() + kNameOffset, nameBytes()); }
};

// The index root's value: a 16-byte root header, then the node header whose
// offsets count from the node header itself.
class IndexRoot : public Fields {
 public:
  using Fields::Fields;
  static constexpr uint64_t kNodeHeader = 0x10;
  uint32_t entriesOffset() const { return le32(kNodeHeader + 0x00); }
  uint32_t entriesEnd() const { return le32(kNodeHeader + 0x04); }
};

// One entry of an index node; its key (a file name) follows the header.
class IndexEntry : public Fields {
 public:
  using Fields::Fields;
  static constexpr uint64_t kHeaderBytes = 0x10;
  static constexpr uint32_t kLast = 0x02;  // the node's last entry, which has no key
  uint64_t fileReference() const { return le64(0x00); }
  uint16_t length() const { return le16(0x08); }
  uint16_t keyLength() const { return le16(0x0A); }
  uint32_t flags() const { return le32(0x0C); }
};

// One entry of an attribute list.
class AttributeListEntry : public Fields {
 public:
  using Fields::Fields;
  static constexpr uint64_t kMinBytes = 0x1A;
  uint32_t type() const { return le32(0x00); }
  uint16_t length() const { return le16(0x04); }
  uint8_t nameLength() const { return u8(0x06); }
  uint8_t nameOffset() const { return u8(0x07); }
  uint64_t firstVcn() const { return le64(0x08); }
  uint64_t reference() const { return le64(0x10); }
  uint16_t id() const { return le16(0x18); }
};

}  // namespace orvaldi::disk::ntfs
