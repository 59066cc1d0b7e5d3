// Parsing exFAT entry sets: checksum, entry order, name length, UTF-16 names.
#include "fs/exfat_directory.h"

#include "disk/bytes.h"
#include "disk/exfat_layout.h"
#include "platform/text.h"

namespace orvaldi::fs {
namespace {

namespace ex = disk::exfat;
namespace et = disk::exfat::entry_type;

// A set holds its stream extension and 1..17 name entries (255 characters).
constexpr uint8_t kMinSecondaries = 2;
constexpr uint8_t kMaxSecondaries = 18;

ExfatTime TimeOf(uint32_t stamp, uint8_t tenMs, uint8_t offset) { return {stamp, tenMs, offset}; }

// Reads the set at `at` (its file entry) or says why not.
const char* ReadSet(const disk::ByteView& all, uint64_t at, bool deleted, ExfatEntrySet& out, uint64_t& setBytes) {
  const ex::FileEntry file(all.sub(at, ex::kEntryBytes));
  const uint8_t secondaries = file.secondaryCount();
  if (secondaries < kMinSecondaries || secondaries > kMaxSecondaries) return "secondary count out of range";
  setBytes = uint64_t{secondaries + 1u} * ex::kEntryBytes;
  if (!all.contains(at, setBytes)) return "set runs past the folder's end";
  const std::span<const uint8_t> set = all.sub(at, setBytes);
  const uint8_t inUse = deleted ? 0 : et::kInUse;
  auto typeAt = [&](uint32_t i) { return set[uint64_t{i} * ex::kEntryBytes]; };
  if (typeAt(1) != ((et::kStream & ~et::kInUse) | inUse)) return "no stream extension after the file entry";
  for (uint32_t i = 2; i <= secondaries; ++i) {
    // Secondaries other than names (vendor extensions) may follow them, in
    // the same state as the set.
    const uint8_t t = typeAt(i);
    if ((t & et::kInUse) != inUse || (t & et::kSecondary) == 0) return "a secondary entry is not part of the set";
  }
  if (ex::EntrySetChecksum(set, deleted) != file.setChecksum()) return "set checksum does not match";
  const disk::ByteView setView(set);
  const ex::StreamEntry stream(setView.sub(ex::kEntryBytes, ex::kEntryBytes));
  const uint32_t nameLength = stream.nameLength();
  if (nameLength == 0) return "empty name";
  std::vector<uint8_t> utf16;
  utf16.reserve(nameLength * 2);
  for (uint32_t i = 2; i <= secondaries && utf16.size() < nameLength * 2u; ++i) {
    if (typeAt(i) != ((et::kName & ~et::kInUse) | inUse)) break;
    const std::span<const uint8_t> chars = setView.sub(uint64_t{i} * ex::kEntryBytes + 2, ex::kNameCharsPerEntry * 2);
    for (size_t k = 0; k < chars.size() && utf16.size() < nameLength * 2u; ++k) utf16.push_back(chars[k]);
  }
  if (utf16.size() < nameLength * 2u) return "name entries hold fewer characters than the name length";
  out.offset = at;
  out.deleted = deleted;
  out.attributes = file.attributes();
  out.streamFlags = stream.flags();
  out.validLength = stream.validDataLength();
  out.dataLength = stream.dataLength();
  out.firstCluster = stream.firstCluster();
  out.created = TimeOf(file.createTimestamp(), file.create10ms(), file.createUtcOffset());
  out.modified = TimeOf(file.modifyTimestamp(), file.modify10ms(), file.modifyUtcOffset());
  out.accessed = TimeOf(file.accessTimestamp(), 0, file.accessUtcOffset());
  out.name = platform::Utf16LeToUtf8(utf16);
  if (out.name.empty()) return "name could not be converted";
  return nullptr;
}

}  // namespace

bool ExfatEntrySet::isFolder() const { return (attributes & ex::kAttrDirectory) != 0; }
bool ExfatEntrySet::contiguous() const { return (streamFlags & ex::kFlagNoFatChain) != 0; }

ExfatDirectory ParseExfatDirectory(std::span<const uint8_t> bytes) {
  ExfatDirectory out;
  const disk::ByteView all(bytes);
  const uint64_t entries = bytes.size() / ex::kEntryBytes;
  for (uint64_t i = 0; i < entries;) {
    const uint64_t at = i * ex::kEntryBytes;
    const uint8_t type = bytes[at];
    if (type == et::kEndOfDirectory) {
      out.ended = true;
      break;
    }
    if (type == et::kBitmap && !out.bitmap) {
      const ex::BitmapEntry bitmap(all.sub(at, ex::kEntryBytes));
      out.bitmap.emplace(bitmap.firstCluster(), bitmap.dataLength());
    }
    if ((type & ~et::kInUse) != (et::kFile & ~et::kInUse)) {
      ++i;  // another primary, or a secondary outside a set we took
      continue;
    }
    const bool deleted = (type & et::kInUse) == 0;
    ExfatEntrySet set;
    uint64_t setBytes = 0;
    if (const char* why = ReadSet(all, at, deleted, set, setBytes)) {
      out.badSets.push_back({at, deleted, why});
      ++i;
      continue;
    }
    out.sets.push_back(std::move(set));
    i += setBytes / ex::kEntryBytes;
  }
  return out;
}

}  // namespace orvaldi::fs
