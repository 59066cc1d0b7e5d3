// A bounded reader for the few structures of a compound document that name it.
#include "fs/compound_file.h"

#include <cstring>
#include <map>
#include <set>

#include "disk/bytes.h"
#include "platform/text.h"

namespace orvaldi::fs {
namespace {

using disk::ByteView;

constexpr uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr uint32_t kMaxChain = 1 << 16;   // sectors followed in one chain
constexpr size_t kMaxStream = 64 * 1024;  // bytes taken of one stream

class CompoundFile {
 public:
  CompoundFile(const std::vector<uint8_t>& header, const DocumentSectorReader& read) : header_(header), read_(read) {
    const ByteView h(header_);
    const uint16_t shift = h.le16(0x1E);
    sectorSize_ = (shift == 9 || shift == 12) ? (1u << shift) : 0;
    miniCutoff_ = h.le32(0x38);
    for (uint32_t i = 0; i < 109; ++i) {
      const uint32_t s = h.le32(0x4C + 4ull * i);
      if (s >= kEndOfChain) break;
      fatSectors_.push_back(s);
    }
  }

  bool usable() const { return sectorSize_ != 0 && !fatSectors_.empty(); }

  // The bytes of regular sector `n` (numbered after the header).
  const std::vector<uint8_t>& sector(uint32_t n) {
    auto it = cache_.find(n);
    if (it != cache_.end()) return it->second;
    const uint32_t per = sectorSize_ / 512;
    std::vector<uint8_t> bytes = read_((uint64_t{n} + 1) * per, per);
    bytes.resize(sectorSize_, 0);
    return cache_.emplace(n, std::move(bytes)).first->second;
  }

  uint32_t fatEntry(uint32_t n) {
    const uint32_t perSector = sectorSize_ / 4;
    const uint32_t which = n / perSector;
    if (which >= fatSectors_.size()) return kEndOfChain;
    return ByteView(sector(fatSectors_[which])).le32(4ull * (n % perSector));
  }

  std::vector<uint8_t> stream(uint32_t start, size_t size) {
    std::vector<uint8_t> out;
    std::set<uint32_t> seen;
    for (uint32_t s = start; s < kEndOfChain && out.size() < size && seen.size() < kMaxChain; s = fatEntry(s)) {
      if (!seen.insert(s).second) break;  // a loop in the table
      const auto& bytes = sector(s);
      out.insert(out.end(), bytes.begin(), bytes.end());
    }
    out.resize(std::min(out.size(), size));
    return out;
  }

  std::vector<uint8_t> miniStream(uint32_t rootStart, uint64_t rootSize, uint32_t start, size_t size) {
    const ByteView h(header_);
    const std::vector<uint8_t> container = stream(rootStart, std::min<uint64_t>(rootSize, kMaxStream * 16));
    const std::vector<uint8_t> miniFat =
        stream(h.le32(0x3C), std::min<uint64_t>(uint64_t{h.le32(0x40)} * sectorSize_, kMaxStream));
    const ByteView fat(miniFat);
    std::vector<uint8_t> out;
    std::set<uint32_t> seen;
    for (uint32_t m = start; m < kEndOfChain && out.size() < size && seen.size() < kMaxChain; m = fat.le32(4ull * m)) {
      if (!seen.insert(m).second || !fat.contains(4ull * m, 4)) break;
      if (uint64_t{m} * 64 + 64 > container.size()) break;
      out.insert(out.end(), container.begin() + static_cast<long>(m) * 64,
                 container.begin() + static_cast<long>(m) * 64 + 64);
    }
    out.resize(std::min(out.size(), size));
    return out;
  }

 private:
  const std::vector<uint8_t>& header_;
  const DocumentSectorReader& read_;
  uint32_t sectorSize_ = 0;
  uint32_t miniCutoff_ = 4096;
  std::vector<uint32_t> fatSectors_;
  std::map<uint32_t, std::vector<uint8_t>> cache_;

 public:
  uint32_t miniCutoff() const { return miniCutoff_; }
};

std::string PropertyText(const ByteView& p, uint32_t offset) {
  // Section at 48: a string value holds its type, a 32-bit length and the bytes.
  const uint64_t at = 48ull + offset;
  const uint32_t length = p.le32(at + 4);
  if (length >= 2048 || !p.contains(at + 8, length)) return {};
  const auto raw = p.sub(at + 8, length);
  const std::string text(reinterpret_cast<const char*>(raw.data()),
                         strnlen(reinterpret_cast<const char*>(raw.data()), raw.size()));
  return platform::OemToUtf8(text);
}

}  // namespace

DocumentSummary ReadDocumentSummary(const std::vector<uint8_t>& header, const DocumentSectorReader& read) {
  DocumentSummary summary;
  CompoundFile file(header, read);
  if (!file.usable()) return summary;
  const ByteView h(header);
  const std::vector<uint8_t> directory = file.stream(h.le32(0x30), 64 * 128);
  const ByteView d(directory);
  if (!d.contains(0, 128)) return summary;
  const uint32_t rootStart = d.le32(0x74);
  const uint64_t rootSize = d.le32(0x78);
  for (uint64_t at = 0; d.contains(at, 128); at += 128) {
    if (!(d.le16(at) == 0x0005 && d.le16(at + 2) == 'S' && d.le16(at + 4) == 'u' && d.le16(at + 6) == 'm')) continue;
    const uint32_t start = d.le32(at + 0x74);
    const uint32_t size = d.le32(at + 0x78);
    const size_t want = std::min<size_t>(size, 4096);
    const std::vector<uint8_t> props =
        size < file.miniCutoff() ? file.miniStream(rootStart, rootSize, start, want) : file.stream(start, want);
    const ByteView p(props);
    const uint32_t count = p.le32(52);
    if (uint64_t{count} * 8 + 60 >= props.size()) break;
    for (uint32_t i = 0; i < count; ++i) {
      const uint32_t id = p.le32(56 + 8ull * i);
      const uint32_t offset = p.le32(60 + 8ull * i);
      if (id == 2) summary.title = PropertyText(p, offset);
      if (id == 4) summary.author = PropertyText(p, offset);
      if (id == 18) summary.application = PropertyText(p, offset);
    }
    break;
  }
  return summary;
}

}  // namespace orvaldi::fs
