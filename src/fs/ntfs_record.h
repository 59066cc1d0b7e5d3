// Decoding NTFS file records: attributes, names, sizes, times and run lists.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace orvaldi::fs {

// One run of a run list: `firstCluster` 0 marks a sparse run (no clusters).
// A list ends with an entry whose first cluster and length are both 0.
struct NtfsRun {
  uint32_t index = 0;
  uint64_t firstCluster = 0;
  uint64_t length = 0;
  bool sparse = false;
};

// Decodes a mapping-pairs array. Each run starts with a header byte (low
// nibble: size of the length, high nibble: size of the signed offset from the
// previous run); a zero byte ends it. Fields of up to 8 bytes are read (large
// volumes need more than 4). Stops at the end of `bytes`, whatever it reads.
// Appends the end entry. Returns false when the list ran off its bytes or
// made no sense (a negative cluster); what was decoded before stays.
bool DecodeRunList(std::span<const uint8_t> bytes, std::vector<NtfsRun>& runs);

// One extent of the unnamed data attribute: its runs begin at `firstVcn`.
// A large or fragmented file keeps its extents in several records.
struct NtfsDataExtent {
  uint64_t firstVcn = 0;
  std::vector<NtfsRun> runs;  // without the end entry
};

// A named data attribute (an alternate data stream) of a record, gathered
// from the base record and its extensions as the unnamed data is.
struct NtfsStream {
  std::string name;  // the attribute's name, UTF-8
  uint64_t size = 0;
  bool hasResidentData = false;
  std::vector<uint8_t> residentData;  // not filled by DecodeMode::kListing
  bool nonResident = false;
  bool hasDataSizes = false;  // from the extent at VCN 0
  uint64_t dataSize = 0;
  uint64_t initializedSize = 0;
  bool sparse = false;
  bool compressed = false;
  uint8_t compressionUnit = 0;
  std::vector<NtfsDataExtent> extents;  // not filled by DecodeMode::kListing
  // An extension record that holds part of it could not be read.
  bool incomplete = false;
};

// One $FILE_NAME attribute of a record: a name of the file in one folder.
struct NtfsFileName {
  uint64_t parentReference = 0;
  uint8_t nameSpace = 0;
  std::string name;
  uint32_t parentNumber() const { return static_cast<uint32_t>(parentReference & 0xFFFFFFFFu); }
};

struct NtfsIndexEntry {
  uint64_t childReference = 0;
  std::string name;
  uint64_t createTime = 0;
  uint64_t modifyTime = 0;
  uint64_t realSize = 0;
};

struct DecodedRecord {
  uint64_t number = 0;
  uint64_t baseReference = 0;
  uint8_t kind = 0;  // node_kind value; 0 when the record's flags are none of the usual ones
  uint16_t flags = 0;
  std::vector<NtfsRun> runs;  // unnamed data runs, then index-allocation runs
  uint64_t siCreate = 0, siModify = 0, siChange = 0, siAccess = 0;

  bool hasName = false;
  bool nameFromExtension = false;  // the name was taken from an extension record
  uint64_t parentReference = 0;
  uint64_t fnCreate = 0, fnModify = 0, fnChange = 0, fnAccess = 0;
  uint64_t allocatedSize = 0;
  uint32_t fnFlags = 0;
  uint32_t reparse = 0;
  uint8_t nameLength = 0;
  uint8_t nameSpace = 0;
  std::string name;

  uint64_t size = 0;
  std::vector<uint8_t> residentData;
  bool hasResidentData = false;
  bool nonResidentData = false;
  bool sparseData = false;
  bool compressedData = false;
  uint8_t compressionUnit = 0;
  // The data attribute's own sizes (set from the extent at VCN 0) and its
  // extents in the order met; extraction orders them by VCN. Extents are not
  // filled by DecodeMode::kListing.
  bool hasDataSizes = false;
  uint64_t dataSize = 0;
  uint64_t initializedSize = 0;
  std::vector<NtfsDataExtent> dataExtents;
  std::vector<NtfsIndexEntry> indexEntries;
  // Named data attributes, in the order first met.
  std::vector<NtfsStream> streams;
  // Every file name met (base record first, then extensions), and which of
  // them is the chosen one (`name`, `parentReference`); -1 when none.
  std::vector<NtfsFileName> fileNames;
  int chosenName = -1;
  bool attributesEndedEarly = false;  // a zero or overlong attribute length cut the walk short
  bool hasAttributeList = false;      // some attributes may live in extension records
  // Part of the data may be missing: the attribute list could not be read
  // whole, or an extension record it names for the unnamed data could not be
  // read or is not an extension of this record.
  bool dataIncomplete = false;

  uint32_t parentNumber() const { return static_cast<uint32_t>(parentReference & 0xFFFFFFFFu); }
};

// Reads record `number` (after its update-sequence check) into `out`, or fails.
using RecordFetcher = std::function<bool(uint64_t number, std::vector<uint8_t>& record)>;

// Reads the first `size` bytes of a non-resident attribute through its runs
// into `out` (`size` bytes long afterwards). False when a cluster could not be
// read or the runs do not hold `size` bytes.
using StreamReader = std::function<bool(const std::vector<NtfsRun>& runs, uint64_t size, std::vector<uint8_t>& out)>;

// Attribute lists are a few KiB; NTFS itself keeps them below 256 KiB.
inline constexpr uint64_t kMaxAttributeListBytes = 256 * 1024;

// How much of a record DecodeRecord takes.
enum class DecodeMode {
  kFull,
  // For the sector searches: attribute lists are not followed.
  kFound,
  // Only what a listing needs: no copy of resident data, no index entries,
  // no data extents.
  kListing,
};

// Decodes a record whose update sequence was already checked and restored.
// `requested` is the number it was read as. Extension records named by the
// attribute list are read through `fetch` (may be empty: the list is then
// not followed) and merged; a non-resident list is read through `readStream`
// (may be empty: the list then counts as unreadable). Returns false when the
// record is not the one requested.
bool DecodeRecord(std::span<const uint8_t> record, uint64_t requested, DecodeMode mode, DecodedRecord& out,
                  const RecordFetcher& fetch, const StreamReader& readStream = {});

// Merges the names, data and index attributes of an extension record
// (checked and restored as above) into its base record's `out`; the
// extension's own number, base and flags are not taken. False when it is
// too short to be a record.
bool MergeExtensionRecord(std::span<const uint8_t> record, DecodedRecord& out);

// The names the file is listed under, one per folder it is linked into:
// the chosen name first, then the other hard links. A DOS name that shares
// its folder with a longer name of the record is the same link (its 8.3
// form) and is left out, as is a name met twice.
std::vector<NtfsFileName> LinkNames(const DecodedRecord& record);

// `record` with `stream`'s data in place of the unnamed data, for copying
// the stream as a file.
DecodedRecord StreamAsData(const DecodedRecord& record, const NtfsStream& stream);

// Kind of a record from its header flags: in use and directory bits.
uint8_t KindFromRecordFlags(uint16_t flags);

}  // namespace orvaldi::fs
