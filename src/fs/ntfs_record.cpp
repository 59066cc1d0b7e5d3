// NTFS file-record decoding: header, attributes, file names, data and index runs.
#include "fs/ntfs_record.h"

#include <algorithm>
#include <map>
#include <optional>

#include "disk/bytes.h"
#include "disk/ntfs_layout.h"
#include "fs/scan_tree.h"
#include "platform/text.h"

namespace orvaldi::fs {

namespace ntfs = disk::ntfs;
namespace {

using disk::ByteView;
using ntfs::AttributeHeader;
namespace attr = ntfs::attr;
namespace name_space = ntfs::name_space;

// Reads a little-endian field of `size` bytes (0..8); signed fields extend the sign.
uint64_t Field(const ByteView& b, uint64_t at, unsigned size, bool isSigned) {
  uint64_t v = 0;
  for (unsigned i = 0; i < size; ++i) v |= uint64_t{b.u8(at + i)} << (8 * i);
  if (isSigned && size > 0 && size < 8 && (v >> (8 * size - 1)) & 1) v |= ~uint64_t{0} << (8 * size);
  return v;
}

// Walks the attribute headers: stops at the end marker, or early at a length
// of 0 or one that would pass the record's end.
std::vector<AttributeHeader> ListAttributes(const ByteView& r, bool& endedEarly) {
  std::vector<AttributeHeader> list;
  uint64_t at = ntfs::RecordHeader(r).firstAttributeOffset();
  endedEarly = true;
  while (r.contains(at, 8)) {
    const AttributeHeader a(r, at);
    if (a.type() == attr::kEnd) {
      endedEarly = false;
      break;
    }
    if (a.length() == 0 || at + a.length() > r.size()) break;
    list.push_back(a);
    at += a.length();
  }
  return list;
}

// The value of a resident attribute, or an empty view when it does not fit.
std::span<const uint8_t> ResidentValue(const AttributeHeader& a) {
  if (a.nonResident()) return {};
  const uint32_t length = a.valueLength();
  const uint16_t offset = a.valueOffset();
  if (offset > a.length() || length > a.length() - offset) return {};
  return a.bytes().sub(a.at() + offset, length);
}

bool IsShortOrPosix(uint8_t nameSpace) { return nameSpace == name_space::kPosix || nameSpace == name_space::kDos; }

void TakeFileName(std::span<const uint8_t> value, uint64_t requested, bool merging, DecodedRecord& out) {
  const ntfs::FileName v{ByteView(value)};
  if (!v.bytes().contains(0, ntfs::FileName::kNameOffset) || !v.nameFits()) return;
  // Every name is kept: a file linked into several folders is listed in each.
  out.fileNames.push_back({v.parentReference(), v.nameSpace(), platform::Utf16LeToUtf8(v.name())});
  // POSIX and DOS names give way to any name taken before them.
  if (IsShortOrPosix(v.nameSpace()) && out.hasName && out.fnCreate != 0) return;
  // The names of an extension record (more hard links) give way to the base
  // record's; only a long name replaces a short one taken from an extension.
  if (merging && out.hasName && !(out.nameFromExtension && IsShortOrPosix(out.nameSpace))) return;
  out.nameFromExtension = merging;
  out.hasName = true;
  out.chosenName = static_cast<int>(out.fileNames.size() - 1);
  out.parentReference = v.parentReference();
  out.fnCreate = v.createTime();
  out.fnModify = v.modifyTime();
  out.fnChange = v.changeTime();
  out.fnAccess = v.accessTime();
  out.allocatedSize = v.allocatedSize();
  out.fnFlags = v.fileFlags();
  out.reparse = v.reparseTag();
  out.nameLength = v.nameLength();
  out.nameSpace = v.nameSpace();
  out.name = requested == 5 ? std::string("根目录") : platform::Utf16LeToUtf8(v.name());
  out.size = std::max(out.size, v.realSize());
}

void TakeIndexRoot(std::span<const uint8_t> value, DecodedRecord& out) {
  const ntfs::IndexRoot root{ByteView(value)};
  const ByteView& v = root.bytes();
  const uint64_t first = ntfs::IndexRoot::kNodeHeader + root.entriesOffset();
  const uint64_t end = std::min<uint64_t>(ntfs::IndexRoot::kNodeHeader + root.entriesEnd(), v.size());
  for (uint64_t at = first; at + ntfs::IndexEntry::kHeaderBytes <= end;) {
    const ntfs::IndexEntry entry(v, at);
    const uint16_t entryLength = entry.length();
    const uint16_t keyLength = entry.keyLength();
    if (entry.flags() & ntfs::IndexEntry::kLast) break;
    if (entryLength < ntfs::IndexEntry::kHeaderBytes || at + entryLength > end) break;
    const uint64_t keyAt = at + ntfs::IndexEntry::kHeaderBytes;
    if (keyLength >= ntfs::FileName::kNameOffset && v.contains(keyAt, keyLength)) {
      const ntfs::FileName key{ByteView(v.sub(keyAt, keyLength))};
      NtfsIndexEntry e;
      e.childReference = entry.fileReference();
      e.createTime = key.createTime();
      e.modifyTime = key.modifyTime();
      e.realSize = key.realSize();
      if (key.nameFits()) e.name = platform::Utf16LeToUtf8(key.name());
      out.indexEntries.push_back(std::move(e));
    }
    at += entryLength;
  }
}

// The run list of a non-resident attribute, or false when its header does not fit.
bool AttributeRuns(const AttributeHeader& a, std::vector<NtfsRun>& runs) {
  if (a.length() < 25) return false;
  const uint16_t runOffset = a.runListOffset();
  if (runOffset == 0 || runOffset == 0xFFFF || runOffset >= a.length()) return false;
  if (a.at() + runOffset >= a.bytes().size()) return false;
  DecodeRunList(a.bytes().sub(a.at() + runOffset, a.length() - runOffset), runs);
  return true;
}

// The value of a non-resident attribute list, read through its run list.
// False when it cannot be read whole (no reader, a damaged header, a size
// beyond any real list, unreadable clusters); `list` keeps what was read.
bool ReadListClusters(const AttributeHeader& a, const StreamReader& readStream, std::vector<uint8_t>& list) {
  if (!readStream || a.length() < AttributeHeader::kNonResidentBytes || a.firstVcn() != 0) return false;
  const uint64_t size = a.realSize();
  if (size > kMaxAttributeListBytes) return false;
  std::vector<NtfsRun> runs;
  if (!AttributeRuns(a, runs)) return false;
  return readStream(runs, size, list);
}

// True when `extension` names record `base` as its base record. A stale
// reference (the record was freed and reused) names another base.
bool IsExtensionOf(std::span<const uint8_t> extension, uint64_t base) {
  const ntfs::RecordHeader e{ByteView(extension)};
  return e.bytes().size() >= ntfs::RecordHeader::kBytes && ntfs::RecordOf(e.baseReference()) == base;
}

bool IsEndEntry(const NtfsRun& run) { return run.firstCluster == 0 && run.length == 0; }

// The UTF-16 name `units` long at `at` in `bytes`, as UTF-8; nothing when it does not fit.
std::optional<std::string> NameAt(const ByteView& bytes, uint64_t at, uint64_t units) {
  if (units == 0 || !bytes.contains(at, 2 * units)) return std::nullopt;
  return platform::Utf16LeToUtf8(bytes.sub(at, 2 * units));
}

// The name of a named attribute, read within the attribute's own length.
std::optional<std::string> AttributeName(const AttributeHeader& a) {
  const uint64_t units = a.nameLength();
  if (a.nameOffset() + 2 * units > a.length()) return std::nullopt;
  return NameAt(a.bytes(), a.at() + a.nameOffset(), units);
}

NtfsStream& StreamNamed(DecodedRecord& out, const std::string& name) {
  for (NtfsStream& s : out.streams)
    if (s.name == name) return s;
  out.streams.push_back({});
  out.streams.back().name = name;
  return out.streams.back();
}

// One record's attributes taken into a DecodedRecord. Merging takes an
// extension record's attributes into its base record's result.
class RecordDecoder {
 public:
  RecordDecoder(std::span<const uint8_t> record, uint64_t requested, DecodeMode mode, bool merging, DecodedRecord& out)
      : r_(record), requested_(requested), mode_(mode), merging_(merging), out_(out) {}

  bool decode(const RecordFetcher& fetch, const StreamReader& readStream);

 private:
  bool takeHeader();
  void take(const AttributeHeader& a);
  void takeStandardInformation(const AttributeHeader& a);
  void takeData(const AttributeHeader& a);
  void takeStream(const AttributeHeader& a);
  void takeIndexAllocation(const AttributeHeader& a);
  void appendRuns(std::vector<NtfsRun>& more);
  void followList(const AttributeHeader& list, const RecordFetcher& fetch, const StreamReader& readStream);
  void followListEntries(std::span<const uint8_t> list, const RecordFetcher& fetch);

  ByteView r_;
  uint64_t requested_;
  DecodeMode mode_;
  bool merging_;
  DecodedRecord& out_;
  bool listLost_ = false;  // the attribute list could not be read whole
};

bool RecordDecoder::takeHeader() {
  // An extension record's own flags say nothing of what its base record is.
  if (merging_) return true;
  const ntfs::RecordHeader h(r_);
  out_.baseReference = h.baseReference();
  out_.number = h.hasNumberField() ? h.recordNumber() : requested_;
  if (out_.number != requested_) return false;
  out_.flags = h.flags();
  out_.kind = KindFromRecordFlags(out_.flags);
  return true;
}

bool RecordDecoder::decode(const RecordFetcher& fetch, const StreamReader& readStream) {
  if (r_.size() < ntfs::RecordHeader::kBytes) return false;
  if (!takeHeader()) return false;
  bool endedEarly = false;
  const auto attributes = ListAttributes(r_, endedEarly);
  if (!merging_) out_.attributesEndedEarly = endedEarly;
  const AttributeHeader* list = nullptr;
  for (const AttributeHeader& a : attributes) {
    // The list is followed once this record's own attributes are in: its
    // names come first, and its runs (VCN 0 on) before those of its extensions.
    if (a.type() == attr::kAttributeList) {
      if (!merging_) out_.hasAttributeList = true;
      if (!merging_ && mode_ != DecodeMode::kFound && fetch) list = &a;
    } else {
      take(a);
    }
  }
  if (list) followList(*list, fetch, readStream);
  return true;
}

void RecordDecoder::take(const AttributeHeader& a) {
  switch (a.type()) {
    case attr::kStandardInformation:
      takeStandardInformation(a);
      break;
    case attr::kFileName:
      TakeFileName(ResidentValue(a), merging_ ? out_.number : requested_, merging_, out_);
      break;
    case attr::kData:
      if (a.nameLength() == 0) {
        takeData(a);
      } else {
        takeStream(a);  // a named stream is not the file's data, but a stream of its own
      }
      break;
    case attr::kIndexRoot:
      if (mode_ != DecodeMode::kListing) TakeIndexRoot(ResidentValue(a), out_);
      break;
    case attr::kIndexAllocation:
      takeIndexAllocation(a);
      break;
    default:
      break;
  }
}

void RecordDecoder::takeStandardInformation(const AttributeHeader& a) {
  const ntfs::StandardInformation v{ByteView(ResidentValue(a))};
  if (!v.bytes().contains(0, ntfs::StandardInformation::kTimesBytes)) return;
  out_.siCreate = v.createTime();
  out_.siModify = v.modifyTime();
  out_.siChange = v.changeTime();
  out_.siAccess = v.accessTime();
}

void RecordDecoder::takeData(const AttributeHeader& a) {
  if (!a.nonResident()) {
    const auto value = ResidentValue(a);
    if (!value.data() && a.valueLength() != 0) return;
    if (mode_ != DecodeMode::kListing) out_.residentData.assign(value.begin(), value.end());
    out_.hasResidentData = true;
    out_.size = std::max<uint64_t>(out_.size, value.size());
    return;
  }
  std::vector<NtfsRun> runs;
  if (!AttributeRuns(a, runs)) return;
  // Only the first extent of an attribute carries its sizes and flags.
  const uint64_t firstVcn = a.firstVcn();
  if (firstVcn == 0) {
    out_.size = std::max(out_.size, a.realSize());
    out_.hasDataSizes = true;
    out_.dataSize = a.realSize();
    out_.initializedSize = a.initializedSize();
    out_.compressedData = (a.flags() & AttributeHeader::kCompressionMask) != 0;
    out_.sparseData = (a.flags() & AttributeHeader::kSparse) != 0;
    out_.compressionUnit = a.compressionUnit();
  }
  out_.nonResidentData = true;
  if (mode_ != DecodeMode::kListing) {
    NtfsDataExtent extent{firstVcn, runs};
    if (!extent.runs.empty() && IsEndEntry(extent.runs.back())) extent.runs.pop_back();
    out_.dataExtents.push_back(std::move(extent));
  }
  appendRuns(runs);
}

void RecordDecoder::takeStream(const AttributeHeader& a) {
  const std::optional<std::string> name = AttributeName(a);
  if (!name) return;
  if (!a.nonResident()) {
    const auto value = ResidentValue(a);
    if (!value.data() && a.valueLength() != 0) return;
    NtfsStream& s = StreamNamed(out_, *name);
    if (mode_ != DecodeMode::kListing) s.residentData.assign(value.begin(), value.end());
    s.hasResidentData = true;
    s.size = std::max<uint64_t>(s.size, value.size());
    return;
  }
  std::vector<NtfsRun> runs;
  if (!AttributeRuns(a, runs)) return;
  NtfsStream& s = StreamNamed(out_, *name);
  const uint64_t firstVcn = a.firstVcn();
  if (firstVcn == 0) {
    s.size = std::max(s.size, a.realSize());
    s.hasDataSizes = true;
    s.dataSize = a.realSize();
    s.initializedSize = a.initializedSize();
    s.compressed = (a.flags() & AttributeHeader::kCompressionMask) != 0;
    s.sparse = (a.flags() & AttributeHeader::kSparse) != 0;
    s.compressionUnit = a.compressionUnit();
  }
  s.nonResident = true;
  if (mode_ != DecodeMode::kListing) {
    NtfsDataExtent extent{firstVcn, std::move(runs)};
    if (!extent.runs.empty() && IsEndEntry(extent.runs.back())) extent.runs.pop_back();
    s.extents.push_back(std::move(extent));
  }
}

void RecordDecoder::takeIndexAllocation(const AttributeHeader& a) {
  if (!a.nonResident()) return;
  std::vector<NtfsRun> runs;
  if (!AttributeRuns(a, runs)) return;
  std::erase_if(runs, [](const NtfsRun& run) { return run.sparse; });
  appendRuns(runs);
}

// Runs from the data and index-allocation attributes go into one list,
// without the end entries of the lists in between.
void RecordDecoder::appendRuns(std::vector<NtfsRun>& more) {
  if (!out_.runs.empty() && IsEndEntry(out_.runs.back())) out_.runs.pop_back();
  const uint32_t base = out_.runs.empty() ? 0 : out_.runs.back().index + 1;
  for (auto& run : more) {
    run.index += base;
    out_.runs.push_back(run);
  }
}

void RecordDecoder::followList(const AttributeHeader& list, const RecordFetcher& fetch,
                               const StreamReader& readStream) {
  if (!list.nonResident()) {
    followListEntries(ResidentValue(list), fetch);
    return;
  }
  // A large or fragmented file's list outgrows its record and is kept in clusters.
  std::vector<uint8_t> bytes;
  if (!ReadListClusters(list, readStream, bytes)) out_.dataIncomplete = listLost_ = true;
  followListEntries(bytes, fetch);
}

// Merges the extension records an attribute list names for names, data and
// index attributes. Each record is read once; references to this record
// itself, or to records that are not its extensions, are not merged.
void RecordDecoder::followListEntries(std::span<const uint8_t> list, const RecordFetcher& fetch) {
  const ByteView v(list);
  std::map<uint64_t, bool> merged;  // record number -> merged
  uint64_t at = 0;
  while (v.contains(at, ntfs::AttributeListEntry::kMinBytes)) {
    const ntfs::AttributeListEntry entry(v, at);
    const uint16_t length = entry.length();
    if (length < ntfs::AttributeListEntry::kMinBytes || at + length > v.size()) break;
    const uint32_t type = entry.type();
    const uint64_t other = ntfs::RecordOf(entry.reference());
    const bool followed =
        type == attr::kFileName || type == attr::kData || type == attr::kIndexRoot || type == attr::kIndexAllocation;
    if (followed && other != out_.number && other != requested_) {
      auto it = merged.find(other);
      if (it == merged.end()) {
        std::vector<uint8_t> extension;
        const bool ok =
            fetch(other, extension) && IsExtensionOf(extension, out_.number) && MergeExtensionRecord(extension, out_);
        it = merged.emplace(other, ok).first;
      }
      if (!it->second && type == attr::kData && entry.nameLength() == 0) out_.dataIncomplete = true;
      // A stream whose extension is lost is still listed, as not whole.
      if (!it->second && type == attr::kData && entry.nameLength() != 0) {
        const ByteView e(v.sub(at, length));
        if (const auto name = NameAt(e, entry.nameOffset(), entry.nameLength()))
          StreamNamed(out_, *name).incomplete = true;
      }
    }
    at += length;
  }
  // Entries fill the list exactly; a list cut short may hide data extents.
  if (at < v.size()) out_.dataIncomplete = listLost_ = true;
  // What the list could not tell may be any stream's too.
  if (listLost_)
    for (NtfsStream& stream : out_.streams) stream.incomplete = true;
}

}  // namespace

uint8_t KindFromRecordFlags(uint16_t flags) {
  using ntfs::RecordHeader;
  switch (flags) {
    case 0:
      return node_kind::kDeletedFile;
    case RecordHeader::kInUse:
      return node_kind::kFile;
    case RecordHeader::kDirectory:
      return node_kind::kDeletedFolder;
    case RecordHeader::kInUse | RecordHeader::kDirectory:
    case 7:  // in use, a folder, and the 4 bit some system folders carry
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

bool DecodeRecord(std::span<const uint8_t> record, uint64_t requested, DecodeMode mode, DecodedRecord& out,
                  const RecordFetcher& fetch, const StreamReader& readStream) {
  return RecordDecoder(record, requested, mode, false, out).decode(fetch, readStream);
}

bool MergeExtensionRecord(std::span<const uint8_t> record, DecodedRecord& out) {
  return RecordDecoder(record, out.number, DecodeMode::kFull, true, out).decode({}, {});
}

std::vector<NtfsFileName> LinkNames(const DecodedRecord& record) {
  std::vector<NtfsFileName> out;
  const auto& names = record.fileNames;
  if (record.chosenName >= 0 && static_cast<size_t>(record.chosenName) < names.size())
    out.push_back(names[static_cast<size_t>(record.chosenName)]);
  for (const NtfsFileName& n : names) {
    const bool shortForm =
        n.nameSpace == name_space::kDos && std::any_of(names.begin(), names.end(), [&](const auto& m) {
          return m.nameSpace != name_space::kDos && m.parentNumber() == n.parentNumber();
        });
    const bool listed = std::any_of(out.begin(), out.end(), [&](const NtfsFileName& m) {
      return m.parentNumber() == n.parentNumber() && m.name == n.name;
    });
    if (!shortForm && !listed) out.push_back(n);
  }
  return out;
}

DecodedRecord StreamAsData(const DecodedRecord& record, const NtfsStream& stream) {
  DecodedRecord d;
  d.number = record.number;
  d.baseReference = record.baseReference;
  d.kind = record.kind;
  d.flags = record.flags;
  d.siCreate = record.siCreate;
  d.siModify = record.siModify;
  d.siChange = record.siChange;
  d.siAccess = record.siAccess;
  d.size = stream.size;
  d.residentData = stream.residentData;
  d.hasResidentData = stream.hasResidentData;
  d.nonResidentData = stream.nonResident;
  d.sparseData = stream.sparse;
  d.compressedData = stream.compressed;
  d.compressionUnit = stream.compressionUnit;
  d.hasDataSizes = stream.hasDataSizes;
  d.dataSize = stream.dataSize;
  d.initializedSize = stream.initializedSize;
  d.dataExtents = stream.extents;
  d.dataIncomplete = stream.incomplete;
  return d;
}

}  // namespace orvaldi::fs
