// OLE2 compound documents (Word, Excel, PowerPoint): named by the directory or
// the summary's application, sized by the allocation table.
#include <algorithm>
#include <array>
#include <vector>

#include "disk/sector_io.h"
#include "fs/formats/format.h"
#include "platform/text.h"

namespace orvaldi::fs::formats {
namespace {

using disk::Le16;
using disk::Le32;

constexpr uint32_t kSector = disk::SectorSize;
constexpr std::string_view kMagic("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8);

bool Claims(const uint8_t* s) { return Matches(s, kMagic); }

bool Signature(const disk::ByteView& head) { return head.matches(0, kMagic); }

bool NameStarts(const uint8_t* entry, const char16_t (&four)[5]) {
  for (int i = 0; i < 4; ++i)
    if (Le16(entry + 2 * i) != four[i]) return false;
  return true;
}

// Bytes from the document's start to the end of the last sector its own
// allocation table marks as used; 0 when the table cannot be found. The
// size above counts every sector the table could describe, up to 64 KiB
// more than the document holds.
uint64_t UsedBytes(FileReader& reader, std::span<const uint8_t> first, uint32_t fatSectors) {
  constexpr uint32_t kFree = 0xFFFFFFFF;
  constexpr uint32_t kInHeader = 109;  // allocation-table sector numbers the header holds
  constexpr size_t kLookBack = 16;     // allocation-table sectors searched for a used entry, from the last
  const uint16_t shift = Le16(first.data() + 0x1E);
  if (shift != 9 && shift != 12) return 0;
  const uint64_t sectorBytes = uint64_t{1} << shift;
  const uint64_t perSector = sectorBytes / 4;  // table entries in one sector
  const uint64_t diskSectors = sectorBytes / kSector;
  const uint64_t described = uint64_t{fatSectors} * perSector;  // document sectors the table describes
  // Document sector i follows the header, which fills the first sector.
  auto readSector = [&](uint32_t i, uint8_t* out) { reader.read((uint64_t{i} + 1) * diskSectors, diskSectors, out); };
  std::vector<uint32_t> table;
  for (uint32_t k = 0; k < std::min(fatSectors, kInHeader); ++k) table.push_back(Le32(first.data() + 0x4C + 4 * k));
  std::vector<uint8_t> bytes(sectorBytes);
  // The rest are listed in a chain of sectors, each ending in the next one's
  // number; every step adds entries, so the walk ends.
  for (uint32_t next = Le32(first.data() + 0x44); table.size() < fatSectors;) {
    if (next >= described) return 0;
    readSector(next, bytes.data());
    for (uint64_t k = 0; k + 1 < perSector && table.size() < fatSectors; ++k)
      table.push_back(Le32(bytes.data() + 4 * k));
    next = Le32(bytes.data() + sectorBytes - 4);
  }
  for (size_t k = table.size(); k-- > 0 && table.size() - k <= kLookBack;) {
    if (table[k] >= described) return 0;
    readSector(table[k], bytes.data());
    for (uint64_t j = perSector; j-- > 0;)
      if (Le32(bytes.data() + 4 * j) != kFree) return (k * perSector + j + 2) * sectorBytes;
  }
  return 0;
}

std::optional<Measured> Measure(const Probe& probe) {
  FileReader& reader = probe.reader;
  const std::span<const uint8_t> first = probe.first;
  const uint32_t fatSectors = Le32(first.data() + 0x2C);
  const uint32_t directory = Le32(first.data() + 0x30);
  std::array<uint8_t, 2 * kSector> dir{};
  reader.read(uint64_t{directory} + 1, 2, dir.data());
  std::string extension;
  constexpr uint32_t kAbsent = 0xFFFFFF9F;
  uint32_t summary = kAbsent, root = kAbsent;
  for (int e = 0; e < 8; ++e) {
    const uint8_t* entry = dir.data() + 128 * e;
    if (NameStarts(entry, u"Word")) extension = ".doc";
    if (NameStarts(entry, u"Powe")) extension = ".ppt";
    if (NameStarts(entry, u"Work")) extension = ".xls";
    if (NameStarts(entry, u"\x05Sum")) summary = Le32(entry + 0x74);
    if (NameStarts(entry, u"Root")) root = Le32(entry + 0x74);
  }
  std::string title, author;
  if (extension.empty()) {
    const uint32_t stream = summary < kAbsent ? summary : root;
    if (stream >= kAbsent) return std::nullopt;
    std::array<uint8_t, 2 * kSector> set{};
    reader.read(uint64_t{stream} + 1, 2, set.data());
    const uint32_t count = Le32(set.data() + 0x34);
    if (uint64_t{count} * 8 + 60 >= set.size()) return std::nullopt;
    std::string application;
    for (uint32_t i = 0; i < count; ++i) {
      const uint32_t id = Le32(set.data() + 0x38 + 8 * i);
      const uint32_t offset = Le32(set.data() + 0x3C + 8 * i);
      if (offset > 0x3D0) return std::nullopt;
      if (id != 2 && id != 4 && id != 18) continue;
      const uint64_t at = 0x30ull + offset;  // the section starts at 0x30
      if (at + 8 > set.size()) return std::nullopt;
      const uint32_t length = Le32(set.data() + at + 4);
      if (length > 0x800) return std::nullopt;
      const uint64_t end = std::min<uint64_t>(set.size(), at + 8 + length);
      std::string_view text(reinterpret_cast<const char*>(set.data() + at + 8), end - at - 8);
      text = text.substr(0, text.find('\0'));
      (id == 2 ? title : id == 4 ? author : application) = std::string(text);
    }
    if (application == "Microsoft Office Word")
      extension = ".doc";
    else if (application == "Microsoft Excel")
      extension = ".xls";
    else if (application == "Microsoft Office PowerPoint")
      extension = ".ppt";
    else
      return std::nullopt;
  }
  const uint64_t size = uint64_t{fatSectors} * kSector * 128;
  if (size == 0 || size > kMaxFileBytes) return std::nullopt;
  // Titles and authors are 8-bit text in the writer's code page.
  const std::string name =
      !title.empty() ? platform::OemToUtf8(title) : platform::OemToUtf8(author) + SectorName(probe.start);
  return Measured{size, name + extension, UsedBytes(reader, first, fatSectors)};
}

// Each allocation-table sector describes 64 KiB: the saved size lies in the last one's stretch.
bool Confirms(std::string_view, const disk::ByteView& head, uint64_t fileSize) {
  if (!Signature(head) || !head.contains(0x2C, 4)) return false;
  const uint64_t fatSectors = head.le32(0x2C);
  return fatSectors != 0 && (fatSectors - 1) * 65536 < fileSize && fileSize <= fatSectors * 65536;
}

constexpr std::string_view kExtensions[] = {"doc", "ppt", "xls"};

}  // namespace

extern const FileFormat kOle2{"ole2", "\xD0", Claims, Measure, Signature, kExtensions, true, Confirms};

}  // namespace orvaldi::fs::formats
