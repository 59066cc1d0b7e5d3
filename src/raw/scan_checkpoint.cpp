// Writing and reading a sweep's checkpoint file.
#include "raw/scan_checkpoint.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>

#include "disk/scan_result_file.h"
#include "disk/sha256.h"
#include "platform/update_file.h"
#include "raw/sweep_reader.h"

namespace orvaldi::raw {
namespace {

constexpr std::string_view kVersion = "orvaldi-checkpoint 1";
constexpr const char* kEol = "\r\n";

// Texts as hex of their UTF-8 bytes, "-" when empty: one token whatever
// they hold, and back to the same bytes.
std::string Hex(std::string_view text) {
  if (text.empty()) return "-";
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (const char c : text) {
    const auto b = static_cast<uint8_t>(c);
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

bool Unhex(std::string_view token, std::string& out) {
  out.clear();
  if (token == "-") return true;
  if (token.empty() || token.size() % 2 != 0) return false;
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  for (size_t i = 0; i < token.size(); i += 2) {
    const int hi = digit(token[i]);
    const int lo = digit(token[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out += static_cast<char>(hi * 16 + lo);
  }
  return true;
}

class Lines {
 public:
  void add(std::string_view key, std::initializer_list<uint64_t> values) {
    std::string line(key);
    for (const uint64_t v : values) line += " " + std::to_string(v);
    text_ += line + kEol;
  }
  void text(std::string_view key, std::string_view value) { text_ += std::string(key) + " " + Hex(value) + kEol; }
  void raw(std::string_view line) {
    text_ += line;
    text_ += kEol;
  }
  std::string take() { return std::move(text_); }

 private:
  std::string text_;
};

void WritePair(Lines& w, std::string_view key, const FatPair& p) {
  w.add(key, {p.hasFirst ? 1u : 0u, p.hasSecond ? 1u : 0u, p.first, p.second, p.distance});
}

void WriteTables(Lines& w, std::string_view key, const std::vector<MftCandidate>& tables) {
  w.add(key, {tables.size()});
  for (const MftCandidate& c : tables) w.add("t", {c.recordSector, c.mftCluster, c.mirrorCluster, c.mftClusters});
}

void WritePartition(Lines& w, const disk::PartitionInfo& p) {
  std::string line = "p";
  for (const uint64_t v :
       {p.startSector, p.sectorCount, uint64_t{p.typeByte}, uint64_t{disk::NumberOf(p.origin)},
        uint64_t{disk::NumberOf(p.tableKind)}, uint64_t{p.sectorsPerCluster}, p.clusterZeroSector,
        uint64_t{p.fatSizeSectors}, uint64_t{p.bytesPerSector}, uint64_t{disk::NumberOf(p.volumeKind)},
        uint64_t{static_cast<uint32_t>(p.hfsKind)}, uint64_t{p.stripeSectors}})
    line += " " + std::to_string(v);
  for (const std::string* t : {&p.name, &p.volumeLabel, &p.fsTypeText, &p.fsLabel, &p.driveLetter, &p.sourcePath})
    line += " " + Hex(*t);
  w.raw(line);
}

// The lines after the end mark, one "key values..." each.
class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  // The next line split at blanks; false at the end.
  bool next(std::vector<std::string_view>& tokens) {
    tokens.clear();
    if (pos_ >= text_.size()) return false;
    size_t end = text_.find('\n', pos_);
    if (end == std::string_view::npos) end = text_.size();
    std::string_view line = text_.substr(pos_, end - pos_);
    pos_ = end + 1;
    ++line_;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    size_t at = 0;
    while (at < line.size()) {
      const size_t blank = std::min(line.find(' ', at), line.size());
      if (blank > at) tokens.push_back(line.substr(at, blank - at));
      at = blank + 1;
    }
    return true;
  }

  // The next line, which must be `key` and `n` numbers.
  bool numbers(std::string_view key, size_t n, std::vector<uint64_t>& out) {
    std::vector<std::string_view> t;
    if (!next(t) || t.empty() || t[0] != key || t.size() != n + 1) return fail(key);
    out.clear();
    for (size_t i = 1; i < t.size(); ++i) {
      uint64_t v = 0;
      if (!Number(t[i], v)) return fail(key);
      out.push_back(v);
    }
    return true;
  }
  bool number(std::string_view key, uint64_t& out) {
    std::vector<uint64_t> v;
    if (!numbers(key, 1, v)) return false;
    out = v[0];
    return true;
  }
  bool text(std::string_view key, std::string& out) {
    std::vector<std::string_view> t;
    if (!next(t) || t.size() != 2 || t[0] != key || !Unhex(t[1], out)) return fail(key);
    return true;
  }
  // A count of lines that follow: never more than the lines left.
  bool count(std::string_view key, uint64_t& out) {
    if (!number(key, out)) return false;
    if (out > text_.size() - std::min(pos_, text_.size())) return fail(key);
    return true;
  }

  bool fail(std::string_view what) {
    if (error_.empty()) error_ = "line " + std::to_string(line_) + " of the checkpoint part: bad " + std::string(what);
    return false;
  }
  const std::string& error() const { return error_; }

  static bool Number(std::string_view s, uint64_t& v) {
    if (s.empty() || s.size() > 20) return false;
    v = 0;
    for (const char c : s) {
      if (c < '0' || c > '9') return false;
      const auto d = static_cast<uint64_t>(c - '0');
      if (v > (UINT64_MAX - d) / 10) return false;
      v = v * 10 + d;
    }
    return true;
  }

 private:
  std::string_view text_;
  size_t pos_ = 0;
  size_t line_ = 0;
  std::string error_;
};

bool ReadPair(Reader& r, std::string_view key, FatPair& p) {
  std::vector<uint64_t> v;
  if (!r.numbers(key, 5, v) || v[0] > 1 || v[1] > 1) return r.fail(key);
  p = {v[0] == 1, v[1] == 1, v[2], v[3], v[4]};
  return true;
}

bool ReadTables(Reader& r, std::string_view key, std::vector<MftCandidate>& tables) {
  uint64_t n = 0;
  if (!r.count(key, n)) return false;
  std::vector<uint64_t> v;
  for (uint64_t i = 0; i < n; ++i) {
    if (!r.numbers("t", 4, v)) return false;
    tables.push_back({v[0], v[1], v[2], v[3]});
  }
  return true;
}

bool ReadPartition(Reader& r, disk::PartitionInfo& p) {
  std::vector<std::string_view> t;
  if (!r.next(t) || t.size() != 19 || t[0] != "p") return r.fail("partition");
  uint64_t v[12];
  for (size_t i = 0; i < 12; ++i)
    if (!Reader::Number(t[i + 1], v[i])) return r.fail("partition");
  if (v[2] > 0xFF || v[3] > disk::NumberOf(disk::PartitionOrigin::kFound) ||
      (v[4] != disk::NumberOf(disk::TableKind::kPrimary) && v[4] != disk::NumberOf(disk::TableKind::kLogical)) ||
      v[5] > UINT32_MAX || v[7] > UINT32_MAX || v[8] > UINT32_MAX ||
      v[9] > disk::NumberOf(disk::VolumeKind::kMirrored) || v[10] > UINT32_MAX || v[11] > 0xFFFF)
    return r.fail("partition");
  p.startSector = v[0];
  p.sectorCount = v[1];
  p.typeByte = static_cast<uint8_t>(v[2]);
  p.origin = static_cast<disk::PartitionOrigin>(v[3]);
  p.tableKind = static_cast<disk::TableKind>(v[4]);
  p.sectorsPerCluster = static_cast<uint32_t>(v[5]);
  p.clusterZeroSector = v[6];
  p.fatSizeSectors = static_cast<uint32_t>(v[7]);
  p.bytesPerSector = static_cast<uint32_t>(v[8]);
  p.volumeKind = static_cast<disk::VolumeKind>(v[9]);
  p.hfsKind = static_cast<disk::HfsKind>(v[10]);
  p.stripeSectors = static_cast<uint16_t>(v[11]);
  std::string* texts[] = {&p.name, &p.volumeLabel, &p.fsTypeText, &p.fsLabel, &p.driveLetter, &p.sourcePath};
  for (size_t i = 0; i < 6; ++i)
    if (!Unhex(t[13 + i], *texts[i])) return r.fail("partition");
  return true;
}

bool ReadFindings(Reader& r, Checkpoint& c);
bool ReadSearch(Reader& r, Checkpoint& c);

bool ReadState(Reader& r, Checkpoint& c) {
  CheckpointIdentity& id = c.identity;
  SweepState& s = c.state;
  std::vector<uint64_t> v;
  if (!r.text("command", id.command) || !r.text("disk", id.diskName) || !r.number("source-bytes", id.sourceBytes) ||
      !r.number("first", id.first) || !r.number("count", id.count) || !r.text("options", id.options) ||
      !r.text("start-digest", id.startDigest) || !r.number("base-partitions", id.basePartitions) ||
      !r.text("partitions-digest", id.partitionsDigest))
    return false;
  if (id.command == kLostSearchCommand) return ReadSearch(r, c);
  if (!r.number("next", s.next) || !r.number("chunk", s.chunk) || !r.numbers("reader", 3, v)) return false;
  s.reader.slice = v[0];
  s.reader.badInRow = v[1];
  s.reader.stretch = v[2];
  uint64_t n = 0;
  if (!r.count("unreadable", n)) return false;
  for (uint64_t i = 0; i < n; ++i) {
    if (!r.numbers("u", 2, v)) return false;
    s.reader.runs.push_back({v[0], v[1]});
  }
  if (!ReadPair(r, "fat32", s.fat32) || !ReadPair(r, "fat16", s.fat16)) return false;
  if (!r.count("directory-pairs", n)) return false;
  for (uint64_t i = 0; i < n; ++i) {
    if (!r.numbers("d", 2, v) || v[1] > UINT32_MAX) return r.fail("directory pair");
    s.directoryPairs.push_back({v[0], static_cast<uint32_t>(v[1])});
  }
  if (!ReadTables(r, "live-tables", s.liveTables) || !ReadTables(r, "mirror-tables", s.mirrorTables)) return false;
  uint64_t complete = 0;
  if (!r.number("complete", complete) || complete > 1) return r.fail("complete");
  s.complete = complete == 1;
  // Positions the sweep could not have reached: the next sector inside the
  // range, at or behind the chunk the loop is at, and the reader's slice
  // not behind it (the sweep only goes on in slices that are read).
  if (s.next < id.first || s.next - id.first > id.count) return r.fail("next");
  const uint64_t done = s.next - id.first;
  if (s.chunk > id.count / kRawScanChunkSectors + 1 || (s.chunk * kRawScanChunkSectors > done && !s.complete))
    return r.fail("chunk");
  if (s.reader.slice > done / kSliceSectors) return r.fail("reader");
  return ReadFindings(r, c);
}

bool ReadFindings(Reader& r, Checkpoint& c) {
  uint64_t n = 0;
  if (!r.count("added-partitions", n)) return false;
  for (uint64_t i = 0; i < n; ++i) {
    disk::PartitionInfo p;
    if (!ReadPartition(r, p)) return false;
    c.added.push_back(std::move(p));
  }
  if (!r.count("cut-carved", n)) return false;
  for (uint64_t i = 0; i < n; ++i) {
    uint64_t start = 0;
    if (!r.number("c", start)) return false;
    const auto it = c.carved.find(start);
    if (it == c.carved.end()) return r.fail("carved start");
    it->second.intact = false;
  }
  std::vector<std::string_view> t;
  if (!r.next(t) || t.size() != 1 || t[0] != "end") return r.fail("end");
  return true;
}

bool ReadSearch(Reader& r, Checkpoint& c) {
  disk::LostSearchState& s = c.search;
  uint64_t n = 0;
  if (!r.number("search-chunk", s.chunk) || !r.number("search-unreadable", s.unreadableSectors) ||
      !r.count("ntfs-reported", n))
    return false;
  // Chunks of 10 MiB: one past the last of the source at most.
  if (s.chunk > c.identity.count / 20480 + 1) return r.fail("search-chunk");
  for (uint64_t i = 0; i < n; ++i) {
    uint64_t start = 0;
    if (!r.number("s", start)) return false;
    s.ntfsReported.insert(start);
  }
  if (!r.count("finds", n)) return false;
  for (uint64_t i = 0; i < n; ++i) {
    std::vector<std::string_view> t;
    disk::LostPartitionFind f;
    uint64_t v[4];
    if (!r.next(t) || t.size() != 6 || t[0] != "f") return r.fail("find");
    for (size_t k = 0; k < 4; ++k)
      if (!Reader::Number(t[k + 1], v[k])) return r.fail("find");
    if (v[1] > UINT32_MAX || v[2] > 1 || !Unhex(t[5], f.row)) return r.fail("find");
    f.cylinder = v[0];
    f.head = static_cast<uint32_t>(v[1]);
    f.duplicate = v[2] == 1;
    f.index = static_cast<size_t>(v[3]);
    if (!ReadPartition(r, f.record)) return false;
    s.finds.push_back(std::move(f));
  }
  uint64_t complete = 0;
  if (!r.number("complete", complete) || complete > 1) return r.fail("complete");
  s.complete = complete == 1;
  return ReadFindings(r, c);
}

}  // namespace

CheckpointIdentity IdentityAtStart(const disk::DiskInfo& disk, std::string command, uint64_t sourceBytes,
                                   uint64_t first, uint64_t count, std::string options) {
  CheckpointIdentity id;
  id.command = std::move(command);
  id.diskName = disk::DisplayName(disk);
  id.sourceBytes = sourceBytes;
  id.first = first;
  id.count = count;
  id.options = std::move(options);
  const std::string text = disk::FormatScanResult(disk).bytes;
  id.startDigest = disk::Sha256Hex({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
  id.basePartitions = disk.partitions.size();
  id.partitionsDigest = PartitionsDigest(disk, disk.partitions.size());
  return id;
}

std::string PartitionsDigest(const disk::DiskInfo& disk, size_t count) {
  disk::DiskInfo records;
  records.vendorId = disk.vendorId;
  records.productId = disk.productId;
  records.index = disk.index;
  records.revision = disk.revision;
  // The fields the scan-result file holds, not the scan trees (which a
  // copy would clone).
  for (size_t i = 0; i < count && i < disk.partitions.size(); ++i) {
    const disk::PartitionInfo& p = disk.partitions[i];
    disk::PartitionInfo& q = records.partitions.emplace_back();
    q.fsTypeText = p.fsTypeText;
    q.hfsKind = p.hfsKind;
    q.volumeLabel = p.volumeLabel;
    q.driveLetter = p.driveLetter;
    q.name = p.name;
    q.fsLabel = p.fsLabel;
    q.sectorCount = p.sectorCount;
    q.startSector = p.startSector;
    q.tableKind = p.tableKind;
    q.sectorsPerCluster = p.sectorsPerCluster;
    q.clusterZeroSector = p.clusterZeroSector;
    q.typeByte = p.typeByte;
    q.bytesPerSector = p.bytesPerSector;
    q.origin = p.origin;
    q.volumeKind = p.volumeKind;
    q.stripeSectors = p.stripeSectors;
    q.members = p.members;
  }
  const std::string text = disk::FormatScanResult(records).bytes;
  return disk::Sha256Hex({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
}

std::string IdentityMismatch(const CheckpointIdentity& file, const CheckpointIdentity& now, bool sameStart) {
  auto differs = [](const char* what, const std::string& a, const std::string& b) {
    return std::string("the checkpoint was written by another ") + what + " (\"" + a + "\", this one is \"" + b + "\")";
  };
  if (file.command != now.command) return differs("command", file.command, now.command);
  if (file.diskName != now.diskName) return differs("source", file.diskName, now.diskName);
  if (file.sourceBytes != now.sourceBytes)
    return differs("source size", std::to_string(file.sourceBytes), std::to_string(now.sourceBytes));
  if (file.first != now.first || file.count != now.count)
    return differs("range", std::to_string(file.first) + "+" + std::to_string(file.count),
                   std::to_string(now.first) + "+" + std::to_string(now.count));
  if (file.options != now.options) return differs("set of options", file.options, now.options);
  if (!sameStart) {
    if (file.partitionsDigest.empty() || file.partitionsDigest != now.partitionsDigest)
      return "the checkpoint was written for other partition records on this source";
    return {};
  }
  if (file.startDigest != now.startDigest || file.basePartitions != now.basePartitions)
    return "the checkpoint was written for other partition records or another loaded scan result on this source";
  return {};
}

namespace {

void WriteIdentity(Lines& w, const CheckpointIdentity& identity) {
  w.raw(disk::kScanResultEndMark);
  w.raw(kVersion);
  w.text("command", identity.command);
  w.text("disk", identity.diskName);
  w.add("source-bytes", {identity.sourceBytes});
  w.add("first", {identity.first});
  w.add("count", {identity.count});
  w.text("options", identity.options);
  w.text("start-digest", identity.startDigest);
  w.add("base-partitions", {identity.basePartitions});
  w.text("partitions-digest", identity.partitionsDigest);
}

// The records the scan-result text does not hold whole.
void WriteFindings(Lines& w, const disk::DiskInfo& disk, const CheckpointIdentity& identity) {
  const size_t base = std::min<size_t>(identity.basePartitions, disk.partitions.size());
  w.add("added-partitions", {disk.partitions.size() - base});
  for (size_t i = base; i < disk.partitions.size(); ++i) WritePartition(w, disk.partitions[i]);
  std::vector<uint64_t> cut;
  for (const auto& [start, file] : disk.extraFoundFolder.children)
    if (!file.intact) cut.push_back(start);
  w.add("cut-carved", {cut.size()});
  for (const uint64_t start : cut) w.add("c", {start});
  w.raw("end");
}

}  // namespace

std::string FormatCheckpoint(const disk::DiskInfo& disk, const CheckpointIdentity& identity, const SweepState& state) {
  std::string out = disk::FormatScanResult(disk).bytes;
  Lines w;
  WriteIdentity(w, identity);
  w.add("next", {state.next});
  w.add("chunk", {state.chunk});
  w.add("reader", {state.reader.slice, state.reader.badInRow, state.reader.stretch});
  w.add("unreadable", {state.reader.runs.size()});
  for (const UnreadableRun& run : state.reader.runs) w.add("u", {run.start, run.sectors});
  WritePair(w, "fat32", state.fat32);
  WritePair(w, "fat16", state.fat16);
  w.add("directory-pairs", {state.directoryPairs.size()});
  for (const DirectoryPair& d : state.directoryPairs) w.add("d", {d.sector, d.cluster});
  WriteTables(w, "live-tables", state.liveTables);
  WriteTables(w, "mirror-tables", state.mirrorTables);
  w.add("complete", {state.complete ? 1u : 0u});
  WriteFindings(w, disk, identity);
  return out + w.take();
}

std::string FormatCheckpoint(const disk::DiskInfo& disk, const CheckpointIdentity& identity,
                             const disk::LostSearchState& state) {
  std::string out = disk::FormatScanResult(disk).bytes;
  Lines w;
  WriteIdentity(w, identity);
  w.add("search-chunk", {state.chunk});
  w.add("search-unreadable", {state.unreadableSectors});
  w.add("ntfs-reported", {state.ntfsReported.size()});
  for (const uint64_t start : state.ntfsReported) w.add("s", {start});
  w.add("finds", {state.finds.size()});
  for (const disk::LostPartitionFind& f : state.finds) {
    w.raw("f " + std::to_string(f.cylinder) + " " + std::to_string(f.head) + " " + (f.duplicate ? "1" : "0") + " " +
          std::to_string(f.index) + " " + Hex(f.row));
    WritePartition(w, f.record);
  }
  w.add("complete", {state.complete ? 1u : 0u});
  WriteFindings(w, disk, identity);
  return out + w.take();
}

CheckpointRead ParseCheckpoint(std::string_view bytes, const disk::DiskInfo& disk) {
  CheckpointRead out;
  // The mark on a line of its own, after the scan-result part.
  const std::string mark = std::string(kEol) + std::string(disk::kScanResultEndMark) + kEol;
  const size_t at = bytes.find(mark);
  if (at == std::string_view::npos) {
    out.error = "not a checkpoint (no checkpoint part behind the scan result)";
    return out;
  }
  // The scan-result part, read as any scan-result file onto a record of
  // this disk that holds nothing yet.
  disk::DiskInfo scratch;
  scratch.vendorId = disk.vendorId;
  scratch.productId = disk.productId;
  scratch.index = disk.index;
  scratch.revision = disk.revision;
  scratch.sizeBytes = disk.sizeBytes;
  const disk::ScanResultLoad loaded = disk::LoadScanResult(scratch, bytes.substr(0, at + 2));
  if (loaded.status != disk::ScanResultStatus::kOk) {
    out.error = loaded.message;
    return out;
  }
  if (!loaded.dropped.empty()) {
    out.error = "its scan result holds records beyond this source's end: " + loaded.dropped.front();
    return out;
  }
  Checkpoint& c = out.checkpoint;
  c.directorySectors = std::move(scratch.directorySectors);
  c.mftRecordRuns = std::move(scratch.mftRecordRuns);
  c.carved = std::move(scratch.extraFoundFolder.children);
  Reader r(bytes.substr(at + mark.size()));
  std::vector<std::string_view> t;
  if (!r.next(t) || t.size() != 2 || std::string(t[0]) + " " + std::string(t[1]) != kVersion) {
    out.error = "a checkpoint of another format (expected \"" + std::string(kVersion) + "\")";
    return out;
  }
  if (!ReadState(r, c)) {
    out.error = "damaged checkpoint: " + r.error();
    return out;
  }
  out.ok = true;
  return out;
}

CheckpointRead ReadCheckpointFile(const std::string& path, const disk::DiskInfo& disk) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    CheckpointRead out;
    out.error = path + ": " + std::strerror(errno);
    return out;
  }
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (in.bad()) {
    CheckpointRead out;
    out.error = path + ": read error";
    return out;
  }
  CheckpointRead out = ParseCheckpoint(bytes.str(), disk);
  if (!out.ok) out.error = path + ": " + out.error;
  return out;
}

void ApplyCheckpoint(const Checkpoint& checkpoint, disk::DiskInfo& disk) {
  disk.directorySectors = checkpoint.directorySectors;
  disk.mftRecordRuns = checkpoint.mftRecordRuns;
  disk.extraFoundFolder.name = disk::kExtraFoundFolderName;
  disk.extraFoundFolder.size = 0;
  disk.extraFoundFolder.children = checkpoint.carved;
  for (const disk::PartitionInfo& p : checkpoint.added) disk.partitions.push_back(p);
}

std::string WriteCheckpointFile(const std::string& path, std::string_view bytes) {
  const int error = platform::ReplaceFile(path, {reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
  if (error == 0) return {};
  return "checkpoint not written: " + path + ": " + std::strerror(error);
}

}  // namespace orvaldi::raw
