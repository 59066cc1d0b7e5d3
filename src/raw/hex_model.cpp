#include "raw/hex_model.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>

#include "disk/sector_io.h"
#include "disk/volume_source.h"
#include "fs/node_copy.h"

namespace orvaldi::raw {
namespace {

constexpr uint64_t kSector = HexModel::kSector;
constexpr char kDigits[] = "0123456789ABCDEF";

bool Printable(uint8_t b) { return b >= 0x20 && b < 0x7F; }

uint64_t RoundUp(uint64_t n) { return n / kSector * kSector + (n % kSector ? kSector : 0); }

}  // namespace

void HexModel::setData(std::vector<uint8_t> data) {
  data_ = std::move(data);
  selStart_ = selEnd_ = -1;
  top_ = caret_ = 0;
  area_ = HexArea::kHex;
  lowNibble_ = false;
}

std::string HexModel::caption() const { return std::to_string(data_.size() / kSector) + " sector"; }

void HexModel::setBytesPerRow(uint32_t n) {
  if (n == 1 || n == 2 || n == 4 || n == 8 || n == 16) bytesPerRow_ = n;
}

void HexModel::setTop(uint64_t offset) {
  offset = std::min<uint64_t>(offset, data_.size());
  top_ = offset / bytesPerRow_ * bytesPerRow_;
}

std::vector<HexRow> HexModel::rows(size_t maxRows) const {
  std::vector<HexRow> out;
  char address[24];
  for (uint64_t offset = top_; offset < data_.size() && out.size() < maxRows; offset += bytesPerRow_) {
    HexRow row;
    row.offset = offset;
    row.count = static_cast<uint32_t>(std::min<uint64_t>(bytesPerRow_, data_.size() - offset));
    std::snprintf(address, sizeof address, wideAddress_ ? "%08" PRIX64 : "%04" PRIX64, offset);
    row.address = address;
    for (uint32_t i = 0; i < row.count; ++i) {
      const uint8_t b = data_[offset + i];
      row.hex += kDigits[b >> 4];
      row.hex += kDigits[b & 15];
      row.hex += ' ';
      row.chars += Printable(b) ? static_cast<char>(b) : '.';
    }
    const uint64_t last = offset + row.count - 1;
    out.push_back(std::move(row));
    // Every row size divides a sector, so a sector's last byte always ends a row.
    if ((last + 1) % kSector == 0 && out.size() < maxRows) {
      HexRow marker;
      marker.marker = true;
      marker.offset = last;
      marker.sector = (last + 1) / kSector;
      marker.text = std::to_string(marker.sector) + " sec";
      out.push_back(std::move(marker));
    }
  }
  return out;
}

void HexModel::setCaret(uint64_t offset, HexArea area) {
  if (data_.empty()) return;
  caret_ = std::min<uint64_t>(offset, data_.size());
  area_ = area;
  lowNibble_ = false;
}

void HexModel::moveCaret(int64_t delta) {
  if (data_.empty()) return;
  const int64_t target = static_cast<int64_t>(caret_) + delta;
  caret_ = static_cast<uint64_t>(std::clamp<int64_t>(target, 0, static_cast<int64_t>(data_.size())));
  lowNibble_ = false;
}

void HexModel::switchArea() {
  if (data_.empty()) return;
  area_ = area_ == HexArea::kHex ? HexArea::kChars : HexArea::kHex;
  lowNibble_ = false;
}

void HexModel::select(uint64_t start, uint64_t end) {
  if (data_.empty()) return;
  if (start > end) std::swap(start, end);
  start = std::min<uint64_t>(start, data_.size());
  end = std::min<uint64_t>(end, data_.size());
  selStart_ = static_cast<int64_t>(start);
  selEnd_ = static_cast<int64_t>(end);
}

void HexModel::selectAll() { select(0, data_.size()); }

void HexModel::clearSelection() { selStart_ = selEnd_ = -1; }

bool HexModel::isSelected(uint64_t offset) const {
  return hasSelection() && offset >= static_cast<uint64_t>(selStart_) && offset < static_cast<uint64_t>(selEnd_);
}

HexClip HexModel::copy() const {
  HexClip clip;
  if (!hasSelection()) return clip;
  clip.binary.assign(data_.begin() + selStart_, data_.begin() + selEnd_);
  for (const uint8_t b : clip.binary) {
    if (area_ == HexArea::kHex) {
      clip.text += kDigits[b >> 4];
      clip.text += kDigits[b & 15];
      clip.text += ' ';
    } else {
      clip.text += Printable(b) ? static_cast<char>(b) : '.';
    }
  }
  return clip;
}

HexClip HexModel::cut() {
  HexClip clip = copy();
  deleteSelection();
  return clip;
}

void HexModel::deleteSelection() {
  if (!hasSelection()) return;
  data_.erase(data_.begin() + selStart_, data_.begin() + selEnd_);
  caret_ = static_cast<uint64_t>(selStart_);
  lowNibble_ = false;
  clearSelection();
  top_ = std::min<uint64_t>(top_, data_.size() / bytesPerRow_ * bytesPerRow_);
}

void HexModel::paste(const std::vector<uint8_t>& bytes) {
  if (data_.empty()) return;
  deleteSelection();
  data_.insert(data_.begin() + static_cast<int64_t>(caret_), bytes.begin(), bytes.end());
  caret_ += bytes.size();
  lowNibble_ = false;
}

void HexModel::backspace() {
  if (data_.empty()) return;
  if (hasSelection()) clearSelection();
  if (caret_ == 0) return;
  --caret_;
  data_.erase(data_.begin() + static_cast<int64_t>(caret_));
  lowNibble_ = false;
}

bool HexModel::typeHexDigit(char digit) {
  if (data_.empty() || area_ != HexArea::kHex || caret_ >= data_.size()) return false;
  const char* p = std::strchr(kDigits, digit >= 'a' && digit <= 'f' ? digit - 'a' + 'A' : digit);
  if (digit == '\0' || !p) return false;
  const auto value = static_cast<uint8_t>(p - kDigits);
  uint8_t& b = data_[caret_];
  if (lowNibble_) {
    b = static_cast<uint8_t>((b & 0xF0) | value);
    lowNibble_ = false;
    ++caret_;
  } else {
    b = static_cast<uint8_t>((b & 0x0F) | (value << 4));
    lowNibble_ = true;
  }
  return true;
}

HexLoad LoadSectorRange(platform::SectorSource& source, uint64_t startSector, uint64_t sizeBytes) {
  HexLoad load;
  const uint64_t sectors = RoundUp(sizeBytes) / kSector;
  load.bytes.assign(sectors * kSector, 0);
  // Sector by sector, so that the view knows where the readable part ends.
  for (uint64_t i = 0; i < sectors; ++i) {
    const disk::SectorRead r = disk::ReadSectors(source, startSector + i, 1, load.bytes.data() + i * kSector);
    if (!r.complete) {
      load.problem = "sector " + std::to_string(startSector + i) + " could not be read" +
                     (r.error ? std::string(" (") + std::strerror(r.error) + ")" : std::string(" (past the end)"));
      std::fill(load.bytes.begin() + static_cast<int64_t>(i * kSector), load.bytes.end(), uint8_t{0});
      return load;
    }
    load.readable += kSector;
  }
  load.whole = true;
  return load;
}

HexLoad LoadSectorRange(const disk::DiskInfo& disk, uint64_t startSector, uint64_t sizeBytes) {
  // Sectors of the disk itself, as a plain partition's are read.
  const disk::OpenedVolume opened = disk::OpenVolumeSource(disk, disk::PartitionInfo{});
  if (!opened.source) {
    HexLoad load;
    load.problem = opened.outcome.message;
    return load;
  }
  return LoadSectorRange(*opened.source, startSector, sizeBytes);
}

HexLoad LoadFile(const disk::DiskInfo& disk, const disk::PartitionInfo& partition, const fs::NodeRef& node) {
  HexLoad load;
  if (!node.isFileLike()) {
    load.problem = "\"" + node.name() + "\" is not a file";
    return load;
  }
  // The view holds the file in memory; larger files show their first part.
  // A size no volume of this partition's length could hold is damage, and
  // must not size the buffer.
  constexpr uint64_t kMaxBytes = UINT32_MAX / kSector * kSector;
  uint64_t wanted = std::min(node.size(), kMaxBytes);
  if (partition.sectorCount != 0 && partition.sectorCount <= UINT64_MAX / kSector)
    wanted = std::min(wanted, partition.sectorCount * kSector);
  const disk::OpenedVolume source = disk::OpenVolumeSource(disk, partition);
  if (!source.source) {
    load.problem = source.outcome.message;
    return load;
  }
  fs::CopyRequest request;
  request.limit = wanted;
  request.fatClusters = fs::FatClusters::kKnownOnly;
  fs::MemorySink sink;
  const fs::NodeCopy copy = fs::CopyNode(source.source.get(), partition, node, sink, request);
  load.bytes = std::move(sink.bytes);
  const uint64_t located = RoundUp(load.bytes.size());
  const uint64_t expected = RoundUp(wanted);
  if (copy.readErrors) {
    // What came before the first short read is shown; the rest is not data.
    load.readable = std::min<uint64_t>(copy.readFromDisk, load.bytes.size());
    load.problem = "some sectors of \"" + node.name() + "\" could not be read: " + copy.message;
  } else if (located < expected) {
    load.readable = std::min<uint64_t>(located, wanted);
    load.problem = "only " + std::to_string(load.readable) + " of " + std::to_string(node.size()) + " bytes of \"" +
                   node.name() + "\" could be located";
  } else if (copy.status != platform::Status::kOk) {
    load.readable = load.bytes.size();
    load.problem = "\"" + node.name() + "\" is not whole: " + copy.message;
  } else if (wanted < node.size()) {
    load.readable = wanted;
    load.problem = "only the first " + std::to_string(wanted) + " bytes are loaded";
  } else {
    load.readable = load.bytes.size();
    load.whole = true;
  }
  load.bytes.resize(expected, 0);
  return load;
}

}  // namespace orvaldi::raw
