// What one file format knows: its header tests, its size walk and how a file of it is named.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "disk/bytes.h"

namespace orvaldi::fs::formats {

// Largest file a walk measures: positions are 32-bit.
inline constexpr uint64_t kMaxFileBytes = 0xFFFFFFFFull;
// How far the searches for an end (a PDF's "%EOF", a JPEG's end marker) look.
inline constexpr uint64_t kSearchBytes = 0xA00000;
inline constexpr uint64_t kMiB = 0x100000;

// The sectors of one file from its first on: those the caller already holds
// come from memory, the rest from the disk through `readOnDisk`.
class FileReader {
 public:
  explicit FileReader(std::span<const uint8_t> held) : held_(held) {}
  virtual ~FileReader() = default;
  // `count` sectors from sector `offset` of the file into `out` (zero where unreadable).
  void read(uint64_t offset, uint64_t count, uint8_t* out);
  // The sectors when the caller's buffer holds them all, else null.
  const uint8_t* inMemory(uint64_t offset, uint64_t count) const;

 protected:
  virtual void readOnDisk(uint64_t offset, uint64_t count, uint8_t* out) = 0;

 private:
  std::span<const uint8_t> held_;
};

// The file as seen through a window of two sectors: the 512-byte block that
// holds the current position and the block after it. A field of up to 8
// bytes at any offset of the block is inside. Positions are 32-bit.
class ReadWindow {
 public:
  static constexpr uint64_t kSpan = 128;  // sectors per read (+1)
  ReadWindow(FileReader& reader, std::span<const uint8_t> first);
  // The `n` bytes at `offset` past position `p`, or null where the window
  // cannot show them (past 4 GiB, or across its two blocks).
  const uint8_t* at(uint64_t p, uint32_t offset, uint32_t n);

 private:
  FileReader& reader_;
  std::unique_ptr<uint8_t[]> bytes_;
  uint64_t block_ = 0;
  uint64_t base_ = 0;
  uint64_t valid_ = 2;
};

// The first kSearchBytes from a sector of the file on, read on demand in growing pieces.
class LazyRange {
 public:
  LazyRange(FileReader& reader, uint64_t firstSector);
  // Makes at least bytes [0, n) available (n <= kSearchBytes); returns how many are.
  uint64_t need(uint64_t n);
  const uint8_t* data() const { return bytes_.get(); }

 private:
  FileReader& reader_;
  uint64_t first_;
  std::unique_ptr<uint8_t[]> bytes_;
  uint64_t loaded_ = 0;
};

// A file start a format was asked to measure.
struct Probe {
  std::span<const uint8_t> first;  // the first sector and at least the next
  uint64_t start = 0;              // the absolute sector, which most names carry
  FileReader& reader;
  ReadWindow& window;
};

// What a walk measured.
struct Measured {
  uint64_t size = 0;
  std::string name;
  uint64_t extent = 0;  // bytes the file is known to hold, when fewer than `size`; 0: all of them
  bool intact = true;   // false: the file breaks off before its end
};

struct FileFormat {
  std::string_view name;
  // The bytes a file of the format may begin with; empty: any (the format's
  // mark lies further in). Lets the per-sector test skip the other formats.
  std::string_view leads;
  // The carving sweep's header test on a whole sector: true when the format
  // takes the sector. The first format of the registry that takes it alone
  // probes it, whether or not it then finds a file there.
  bool (*claims)(const uint8_t* sector);
  // The format's further header tests and its size walk, from a sector it
  // claims; nothing when the file does not hold together.
  std::optional<Measured> (*measure)(const Probe& probe);
  // The header every file of the format begins with, on bytes of any length.
  bool (*signature)(const disk::ByteView& head);
  // The extensions a saved file of the format is confirmed under when its
  // first cluster is searched for, and whether the pool save searches them too.
  std::span<const std::string_view> extensions;
  bool pooled = false;
  // Whether `head` begins a file of this format of `fileSize` bytes saved
  // under `extension` (one of `extensions`); null: the signature decides.
  bool (*confirms)(std::string_view extension, const disk::ByteView& head, uint64_t fileSize) = nullptr;
};

// The descriptors, one per file.
extern const FileFormat kPdf;
extern const FileFormat kMpeg;
extern const FileFormat kAvi;
extern const FileFormat kMp4;
extern const FileFormat kZip;
extern const FileFormat kRar;
extern const FileFormat kOle2;
extern const FileFormat kJpeg;
extern const FileFormat kMp3;

// Length of the MPEG audio frame whose header bytes after the FF are b1, b2;
// 0 when the header is not valid.
uint32_t Mp3FrameLength(uint8_t b1, uint8_t b2);

// Small helpers the format files share.
inline bool Matches(const uint8_t* p, std::string_view bytes) {
  return std::memcmp(p, bytes.data(), bytes.size()) == 0;
}
inline std::string SectorName(uint64_t start) { return std::to_string(start); }

}  // namespace orvaldi::fs::formats
