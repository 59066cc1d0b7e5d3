// NTFS file-record decoding: header, attributes, file names, data and index runs.
#include "fs/ntfs_record.h"

#include <map>

#include "disk/bytes.h"
#include "fs/scan_tree.h"
#include "platform/text.h"

namespace orvaldi::fs {
namespace {

using disk::ByteView;

constexpr uint32_t kStandardInformation = 0x10;
constexpr uint32_t kAttributeList = 0x20;
constexpr uint32_t kFileName = 0x30;
constexpr uint32_t kData = 0x80;
constexpr uint32_t kIndexRoot = 0x90;
constexpr uint32_t kIndexAllocation = 0xA0;
constexpr uint32_t kEnd = 0xFFFFFFFF;

// Reads a little-endian field of `size` bytes (0..8); signed fields extend the sign.
uint64_t Field(const ByteView& b, uint64_t at, unsigned size, bool isSigned) {
  uint64_t v = 0;
  for (unsigned i = 0; i < size; ++i) v |= uint64_t{b.u8(at + i)} << (8 * i);
  if (isSigned && size > 0 && size < 8 && (v >> (8 * size - 1)) & 1) v |= ~uint64_t{0} << (8 * size);
  return v;
}

struct Attribute {
  uint32_t type;
  uint64_t offset;  // in the record
  uint32_t length;
};

// Walks the attribute headers: stops at the end marker, or early at a length
// of 0 or one that would pass the record's end.
std::vector<Attribute> ListAttributes(const ByteView& r, bool& endedEarly) {
  std::vector<Attribute> list;
  uint64_t at = r.le16(0x14);
  endedEarly = true;
  while (r.contains(at, 8)) {
    const uint32_t type = r.le32(at);
    if (type == kEnd) {
      endedEarly = false;
      break;
    }
    const uint32_t length = r.le32(at + 4);
    if (length == 0 || at + length > r.size()) break;
    list.push_back({type, at, length});
    at += length;
  }
  return list;
}

// The value of a resident attribute, or an empty view when it does not fit.
std::span<const uint8_t> ResidentValue(const ByteView& r, const Attribute& a) {
  if (r.u8(a.offset + 8) != 0) return {};
  const uint32_t length = r.le32(a.offset + 0x10);
  const uint16_t offset = r.le16(a.offset + 0x14);
  if (offset > a.length || length > a.length - offset) return {};
  return r.sub(a.offset + offset, length);
}

void TakeFileName(std::span<const uint8_t> value, uint64_t requested, bool merging, DecodedRecord& out) {
  const ByteView v(value);
  if (!v.contains(0, 0x42)) return;
  const uint8_t nameLength = v.u8(0x40);
  const uint8_t nameSpace = v.u8(0x41);
  if (!v.contains(0x42, 2ull * nameLength)) return;
  const bool shortOrPosix = nameSpace == 0 || nameSpace == 2;
  // POSIX (0) and DOS (2) names give way to any name taken before them.
  if (shortOrPosix && out.hasName && out.fnCreate != 0) return;
  // The names of an extension record (more hard links) give way to the base
  // record's; only a long name replaces a short one taken from an extension.
  if (merging && out.hasName && !(out.nameFromExtension && (out.nameSpace == 0 || out.nameSpace == 2)))
    return;
  out.nameFromExtension = merging;
  out.hasName = true;
  out.parentReference = v.le64(0x00);
  out.fnCreate = v.le64(0x08);
  out.fnModify = v.le64(0x10);
  out.fnChange = v.le64(0x18);
  out.fnAccess = v.le64(0x20);
  out.allocatedSize = v.le64(0x28);
  out.fnFlags = v.le32(0x38);
  out.reparse = v.le32(0x3C);
  out.nameLength = nameLength;
  out.nameSpace = nameSpace;
  out.name = requested == 5 ? std::string("根目录") : platform::Utf16LeToUtf8(v.sub(0x42, 2ull * nameLength));
  out.size = std::max(out.size, v.le64(0x30));
}

void TakeIndexRoot(std::span<const uint8_t> value, DecodedRecord& out) {
  const ByteView v(value);
  // Index root: 16-byte header, then the node header (entries offset at +0,
  // end of entries at +4, both relative to the node header).
  const uint64_t node = 0x10;
  const uint64_t first = node + v.le32(node);
  const uint64_t end = std::min<uint64_t>(node + v.le32(node + 4), v.size());
  for (uint64_t at = first; at + 16 <= end;) {
    const uint16_t entryLength = v.le16(at + 8);
    const uint16_t keyLength = v.le16(at + 10);
    const uint32_t entryFlags = v.le32(at + 12);
    if (entryFlags & 2) break;  // the last entry carries no key
    if (entryLength < 16 || at + entryLength > end) break;
    if (keyLength >= 0x42 && v.contains(at + 16, keyLength)) {
      const ByteView key(v.sub(at + 16, keyLength));
      const uint8_t nameLength = key.u8(0x40);
      NtfsIndexEntry e;
      e.childReference = v.le64(at);
      e.createTime = key.le64(0x08);
      e.modifyTime = key.le64(0x10);
      e.realSize = key.le64(0x30);
      if (key.contains(0x42, 2ull * nameLength)) e.name = platform::Utf16LeToUtf8(key.sub(0x42, 2ull * nameLength));
      out.indexEntries.push_back(std::move(e));
    }
    at += entryLength;
  }
}

// The run list of a non-resident attribute, or false when its header does not fit.
bool AttributeRuns(const ByteView& r, const Attribute& a, std::vector<NtfsRun>& runs) {
  if (a.length < 25) return false;
  const uint16_t runOffset = r.le16(a.offset + 0x20);
  if (runOffset == 0 || runOffset == 0xFFFF || runOffset >= a.length) return false;
  if (a.offset + runOffset >= r.size()) return false;
  DecodeRunList(r.sub(a.offset + runOffset, a.length - runOffset), runs);
  return true;
}

// The value of a non-resident attribute list, read through its run list.
// False when it cannot be read whole (no reader, a damaged header, a size
// beyond any real list, unreadable clusters); `list` keeps what was read.
bool ReadListClusters(const ByteView& r, const Attribute& a, const StreamReader& readStream,
                      std::vector<uint8_t>& list) {
  if (!readStream || a.length < 0x40 || r.le64(a.offset + 0x10) != 0) return false;
  const uint64_t size = r.le64(a.offset + 0x30);
  if (size > kMaxAttributeListBytes) return false;
  std::vector<NtfsRun> runs;
  if (!AttributeRuns(r, a, runs)) return false;
  return readStream(runs, size, list);
}

// True when `extension` names record `base` as its base record. A stale
// reference (the record was freed and reused) names another base.
bool IsExtensionOf(std::span<const uint8_t> extension, uint64_t base) {
  const ByteView e(extension);
  return e.size() >= 0x30 && (e.le64(0x20) & 0x0000FFFFFFFFFFFFull) == base;
}

// Merges the extension records an attribute list names for names, data and
// index attributes into `out`. Each record is read once; references to this
// record itself, or to records that are not its extensions, are not merged.
void FollowAttributeList(std::span<const uint8_t> list, uint64_t requested, DecodedRecord& out,
                         const RecordFetcher& fetch, const StreamReader& readStream) {
  const ByteView v(list);
  std::map<uint64_t, bool> merged;  // record number -> merged
  uint64_t at = 0;
  while (v.contains(at, 0x1A)) {
    const uint16_t length = v.le16(at + 4);
    if (length < 0x1A || at + length > v.size()) break;
    const uint32_t type = v.le32(at);
    const uint8_t nameLength = v.u8(at + 6);
    const uint64_t other = v.le64(at + 0x10) & 0x0000FFFFFFFFFFFFull;
    const bool followed = type == kFileName || type == kData || type == kIndexRoot || type == kIndexAllocation;
    if (followed && other != out.number && other != requested) {
      auto it = merged.find(other);
      if (it == merged.end()) {
        std::vector<uint8_t> extension;
        const bool ok = fetch(other, extension) && IsExtensionOf(extension, out.number) &&
                        DecodeRecord(extension, other, kDecodeMerge, out, fetch, readStream);
        it = merged.emplace(other, ok).first;
      }
      if (!it->second && type == kData && nameLength == 0) out.dataIncomplete = true;
    }
    at += length;
  }
  // Entries fill the list exactly; a list cut short may hide data extents.
  if (at < v.size()) out.dataIncomplete = true;
}

}  // namespace

uint8_t KindFromRecordFlags(uint16_t flags) {
  switch (flags) {
    case 0:
      return node_kind::kDeletedFile;
    case 1:
      return node_kind::kFile;
    case 2:
      return node_kind::kDeletedFolder;
    case 3:
    case 7:
      return node_kind::kFolder;
    default:
      return 0;
  }
}

bool DecodeRunList(std::span<const uint8_t> bytes, std::vector<NtfsRun>& runs) {
  const ByteView b(bytes);
  uint64_t at = 0;
  uint64_t cluster = 0;
  uint32_t index = 0;
  bool ok = true;
  while (true) {
    if (!b.contains(at, 1)) {
      ok = false;  // no end byte before the attribute's end
      break;
    }
    const uint8_t header = b.u8(at);
    if (header == 0) break;
    const unsigned lengthSize = header & 0x0F;
    const unsigned offsetSize = header >> 4;
    if (lengthSize == 0 || lengthSize > 8 || offsetSize > 8 || !b.contains(at + 1, lengthSize + offsetSize)) {
      ok = false;
      break;
    }
    const uint64_t length = Field(b, at + 1, lengthSize, false);
    NtfsRun run;
    run.index = index++;
    run.length = length;
    if (offsetSize == 0) {
      run.sparse = true;
    } else {
      const int64_t delta = static_cast<int64_t>(Field(b, at + 1 + lengthSize, offsetSize, true));
      int64_t next = 0;
      if (__builtin_add_overflow(static_cast<int64_t>(cluster), delta, &next) || next < 0) {
        ok = false;
        break;
      }
      cluster = static_cast<uint64_t>(next);
      run.firstCluster = cluster;
    }
    runs.push_back(run);
    at += 1 + lengthSize + offsetSize;
  }
  runs.push_back(NtfsRun{index, 0, 0, false});
  return ok;
}

bool DecodeRecord(std::span<const uint8_t> record, uint64_t requested, int mode, DecodedRecord& out,
                  const RecordFetcher& fetch, const StreamReader& readStream) {
  const ByteView r(record);
  if (r.size() < 0x30) return false;
  const bool merging = mode == kDecodeMerge;
  if (!merging) {
    out.baseReference = r.le64(0x20);
    out.number = r.u8(4) == 0x2A ? requested : r.le32(0x2C);
    if (out.number != requested) return false;
    out.flags = r.le16(0x16);
    out.kind = KindFromRecordFlags(out.flags);
  }
  // An extension record's own flags say nothing of what its base record is.

  // Runs from the data and index-allocation attributes go into one list,
  // without the end entries of the lists in between.
  auto appendRuns = [&](std::vector<NtfsRun>& more) {
    if (!out.runs.empty() && out.runs.back().firstCluster == 0 && out.runs.back().length == 0) out.runs.pop_back();
    const uint32_t base = out.runs.empty() ? 0 : out.runs.back().index + 1;
    for (auto& run : more) {
      run.index += base;
      out.runs.push_back(run);
    }
  };

  bool endedEarly = false;
  const auto attributes = ListAttributes(r, endedEarly);
  const Attribute* list = nullptr;
  if (!merging) out.attributesEndedEarly = endedEarly;
  for (const Attribute& a : attributes) {
    switch (a.type) {
      case kStandardInformation: {
        const ByteView v(ResidentValue(r, a));
        if (v.contains(0, 32)) {
          out.siCreate = v.le64(0);
          out.siModify = v.le64(8);
          out.siChange = v.le64(16);
          out.siAccess = v.le64(24);
        }
        break;
      }
      case kAttributeList:
        // Followed once this record's own attributes are in: its names come
        // first, and its runs (VCN 0 on) before those of its extensions.
        if (!merging && mode != kDecodeFound && fetch) list = &a;
        break;
      case kFileName:
        TakeFileName(ResidentValue(r, a), merging ? out.number : requested, merging, out);
        break;
      case kData: {
        if (r.u8(a.offset + 9) != 0) break;  // named streams are not the file's data
        if (r.u8(a.offset + 8) == 0) {
          const auto value = ResidentValue(r, a);
          if (!value.data() && r.le32(a.offset + 0x10) != 0) break;
          if (mode != kDecodeListing) out.residentData.assign(value.begin(), value.end());
          out.hasResidentData = true;
          out.size = std::max<uint64_t>(out.size, value.size());
        } else {
          std::vector<NtfsRun> runs;
          if (!AttributeRuns(r, a, runs)) break;
          // Only the first extent of an attribute carries its sizes and flags.
          const uint64_t firstVcn = r.le64(a.offset + 0x10);
          if (firstVcn == 0) {
            out.size = std::max(out.size, r.le64(a.offset + 0x30));
            out.hasDataSizes = true;
            out.dataSize = r.le64(a.offset + 0x30);
            out.initializedSize = r.le64(a.offset + 0x38);
            const uint16_t attrFlags = r.le16(a.offset + 0x0C);
            out.compressedData = (attrFlags & 0x00FF) != 0;
            out.sparseData = (attrFlags & 0x8000) != 0;
            out.compressionUnit = r.u8(a.offset + 0x22);
          }
          out.nonResidentData = true;
          if (mode != kDecodeListing) {
            NtfsDataExtent extent{firstVcn, runs};
            if (!extent.runs.empty() && extent.runs.back().firstCluster == 0 && extent.runs.back().length == 0)
              extent.runs.pop_back();
            out.dataExtents.push_back(std::move(extent));
          }
          appendRuns(runs);
        }
        break;
      }
      case kIndexRoot:
        if (mode != kDecodeListing) TakeIndexRoot(ResidentValue(r, a), out);
        break;
      case kIndexAllocation: {
        if (r.u8(a.offset + 8) == 0) break;
        std::vector<NtfsRun> runs;
        if (!AttributeRuns(r, a, runs)) break;
        std::erase_if(runs, [](const NtfsRun& run) { return run.sparse; });
        appendRuns(runs);
        break;
      }
      default:
        break;
    }
  }
  if (list && r.u8(list->offset + 8) == 0) {
    FollowAttributeList(ResidentValue(r, *list), requested, out, fetch, readStream);
  } else if (list) {
    // A large or fragmented file's list outgrows its record and is kept in clusters.
    std::vector<uint8_t> bytes;
    if (!ReadListClusters(r, *list, readStream, bytes)) out.dataIncomplete = true;
    FollowAttributeList(bytes, requested, out, fetch, readStream);
  }
  return true;
}

}  // namespace orvaldi::fs
