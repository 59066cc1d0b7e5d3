// The hex view of a sector range or a file: the bytes held in memory, their
// rows (address, hexadecimal, characters, a marker row after every sector),
// the selection, the clipboard formats and the edits. Edits change only the
// copy in memory; nothing is ever written back to the disk.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "disk/disk_info.h"
#include "disk/partition_info.h"
#include "fs/node_view.h"
#include "platform/sector_source.h"

namespace orvaldi::raw {

enum class HexArea : uint8_t { kHex, kChars };

// One row as painted: a row of bytes, or the marker row that follows the
// last byte of a 512-byte sector.
struct HexRow {
  bool marker = false;
  uint64_t offset = 0;  // bytes row: its first byte; marker: the sector's last byte
  uint64_t sector = 0;  // marker: ordinal of the sector just ended, from 1
  uint32_t count = 0;   // bytes row: bytes in the row
  std::string address;  // "%04lX" / "%08lX"
  std::string hex;      // "41 00 42 " (three characters a byte)
  std::string chars;    // printable bytes as themselves, others "."
  std::string text;     // marker: "%d sec"
};

// What the clipboard receives on copy: the raw bytes (the "BinaryData"
// format) and the text of the area the caret is in.
struct HexClip {
  std::vector<uint8_t> binary;
  std::string text;
};

class HexModel {
 public:
  static constexpr uint32_t kSector = 512;

  // Takes the bytes shown; clears the selection and resets top, caret and area.
  void setData(std::vector<uint8_t> data);
  const std::vector<uint8_t>& data() const { return data_; }
  // "%d sector" with whole sectors held (length / 512, truncated).
  std::string caption() const;

  // 1, 2, 4, 8 or 16; any other value is ignored.
  void setBytesPerRow(uint32_t n);
  uint32_t bytesPerRow() const { return bytesPerRow_; }
  void setWideAddress(bool wide) { wideAddress_ = wide; }
  void setTop(uint64_t offset);
  uint64_t top() const { return top_; }

  // Up to `maxRows` rows (marker rows included) from the top offset.
  std::vector<HexRow> rows(size_t maxRows) const;

  // Caret: a byte offset (the length itself is the place after the last
  // byte) and, in the hex area, which nibble the next digit replaces.
  void setCaret(uint64_t offset, HexArea area);
  uint64_t caret() const { return caret_; }
  HexArea area() const { return area_; }
  bool lowNibble() const { return lowNibble_; }
  void moveCaret(int64_t delta);
  void switchArea();  // Tab

  // Bytes [start, end); the ends are swapped when start > end and held to
  // the data. Empty when start == end.
  void select(uint64_t start, uint64_t end);
  void selectAll();
  void clearSelection();
  bool hasSelection() const { return selStart_ >= 0 && selEnd_ > selStart_; }
  int64_t selectionStart() const { return selStart_; }
  int64_t selectionEnd() const { return selEnd_; }
  bool isSelected(uint64_t offset) const;

  // Nothing to copy without a selection (both formats empty).
  HexClip copy() const;
  // Copy, then delete the selection.
  HexClip cut();
  // Deletes the selected bytes; the caret goes to where they were.
  void deleteSelection();
  // Replaces the selection (or inserts at the caret) with `bytes`; the caret
  // goes after them.
  void paste(const std::vector<uint8_t>& bytes);
  // Deletes the byte before the caret.
  void backspace();
  // In the hex area a hexadecimal digit replaces the nibble under the caret
  // (high, then low, then on to the next byte). Returns whether it was taken.
  bool typeHexDigit(char digit);

 private:
  std::vector<uint8_t> data_;
  uint32_t bytesPerRow_ = 8;
  bool wideAddress_ = false;
  uint64_t top_ = 0;
  uint64_t caret_ = 0;
  HexArea area_ = HexArea::kHex;
  bool lowNibble_ = false;
  int64_t selStart_ = -1;
  int64_t selEnd_ = -1;
};

// The bytes loaded for the view. Whatever could not be read is zero in
// `bytes` and must not be shown as data: only the first `readable` bytes came
// from the disk (the whole buffer when `whole`).
struct HexLoad {
  std::vector<uint8_t> bytes;
  uint64_t readable = 0;
  bool whole = false;
  std::string problem;  // one line when not whole
};

// `sizeBytes` rounded up to whole sectors from absolute sector `startSector`.
HexLoad LoadSectorRange(platform::SectorSource& source, uint64_t startSector, uint64_t sizeBytes);
HexLoad LoadSectorRange(const disk::DiskInfo& disk, uint64_t startSector, uint64_t sizeBytes);

// A file of a FAT or NTFS tree through its file system's leading-bytes reader,
// asked for the whole file; a carved file from its raw sectors. The buffer is
// the file's size rounded up to whole sectors.
HexLoad LoadFile(const disk::DiskInfo& disk, const disk::PartitionInfo& partition, const fs::NodeRef& node);

}  // namespace orvaldi::raw
