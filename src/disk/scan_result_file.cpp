// Writing and reading the scan-result file.
#include "disk/scan_result_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <utility>

#include "disk/sector_io.h"
#include "platform/read_only_check.h"
#include "platform/text.h"

namespace orvaldi::disk {
namespace {

constexpr std::string_view kPartitionMark = "-----partition-----";
constexpr std::string_view kVolumeMark = "-----Logical_Volumes-----";
constexpr std::string_view kSegmentMark = "-----Segment-----";
constexpr const char* kEol = "\r\n";

// ---------------------------------------------------------------- writing

class Writer {
 public:
  void text(std::string_view utf8) { line(encoded(utf8)); }
  // `utf8` in the OEM code page. A line break inside a text would split its
  // record in two on reading, so it becomes "?" like a character the code
  // page lacks, and the text is counted as altered.
  std::string encoded(std::string_view utf8) {
    size_t lost = 0;
    std::string oem = platform::Utf8ToOem(utf8, &lost);
    for (char& ch : oem) {
      if (ch == '\r' || ch == '\n') {
        ch = '?';
        ++lost;
      }
    }
    if (lost > 0) ++altered_;
    return oem;
  }
  // 64-bit values as signed decimals, 32-, 16- and 8-bit ones as the signed
  // value of their width: the numbers the file has always held, and what the
  // reader folds back into the same bits.
  void i64(uint64_t v) { line(std::to_string(static_cast<int64_t>(v))); }
  void i32(uint32_t v) { line(std::to_string(static_cast<int32_t>(v))); }
  void u8(uint8_t v) { line(std::to_string(v)); }
  void u16(uint16_t v) { line(std::to_string(v)); }
  void line(std::string_view raw) {
    out_ += raw;
    out_ += kEol;
  }
  ScanResultText take() { return {std::move(out_), altered_}; }

 private:
  std::string out_;
  size_t altered_ = 0;
};

void WritePartition(Writer& w, const PartitionInfo& p) {
  w.line(kPartitionMark);
  w.text(p.fsTypeText);
  w.i32(static_cast<uint32_t>(p.hfsKind));  // the kind's number
  w.text(p.volumeLabel);
  w.text(p.driveLetter);
  w.text(p.name);
  w.text(p.fsLabel);
  w.i64(p.sectorCount);
  w.i64(p.startSector);
  w.i32(NumberOf(p.tableKind));
  w.i32(p.sectorsPerCluster);
  w.i64(p.clusterZeroSector);
  w.u8(p.typeByte);
  w.i32(p.bytesPerSector);
  w.i32(NumberOf(p.origin));
  w.i32(NumberOf(p.volumeKind));
  w.u16(p.stripeSectors);
  for (size_t i = 0; i < p.members.size(); ++i) {
    const VolumeMember& m = p.members[i];
    w.line(std::to_string(i));
    std::string id;
    for (const uint8_t b : m.diskGuid) id += std::to_string(b) + ",";
    w.line(id);
    w.text(m.devicePath);
    w.i64(m.startSector);
    w.i64(m.sectorCount);
  }
}

void WriteVolume(Writer& w, const LogicalVolume& v) {
  w.line(kVolumeMark);
  w.u8(v.flags);
  w.text(v.text1);
  w.text(v.text2);
  w.text(v.text3);
  w.i64(v.sizeSectors);
  w.i32(v.segmentCount);
  w.text(v.text4);
  for (const LvmSegment& s : v.segments) {
    w.line(kSegmentMark);
    w.i32(s.startExtent);
    w.i32(s.extentCount);
    w.text(s.type);
    w.i32(s.stripeCount);
    w.text(s.pvId);
    w.i64(s.pvStartExtent);
  }
}

// ---------------------------------------------------------------- reading

// Lines of a file or of bytes in memory, each without its LF and a CR before
// it, cut to kMaxScanResultLine bytes; one line can be put back.
class LineReader {
 public:
  explicit LineReader(std::string_view bytes) : view_(bytes) {}
  explicit LineReader(std::FILE* file) : file_(file), buffer_(std::make_unique<char[]>(kChunk)) {}

  bool next(std::string& line) {
    if (pushedBack_) {
      line = std::move(*pushedBack_);
      pushedBack_.reset();
      return true;
    }
    line.clear();
    int c = get();
    if (c == EOF) return false;
    while (c != EOF && c != '\n') {
      // One byte more than the bound, so that a CR at the bound is seen.
      if (line.size() <= kMaxScanResultLine) line.push_back(static_cast<char>(c));
      c = get();
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > kMaxScanResultLine) line.resize(kMaxScanResultLine);
    return true;
  }
  // The next line, left to be read again; nullopt at the end.
  const std::string* peek() {
    if (!pushedBack_) {
      std::string line;
      if (!next(line)) return nullptr;
      pushedBack_ = std::move(line);
    }
    return &*pushedBack_;
  }
  bool failed() const { return failed_; }
  int error() const { return error_; }

 private:
  static constexpr size_t kChunk = 64 * 1024;

  int get() {
    if (!file_) return pos_ < view_.size() ? static_cast<uint8_t>(view_[pos_++]) : EOF;
    if (pos_ == length_) {
      if (atEnd_) return EOF;
      length_ = std::fread(buffer_.get(), 1, kChunk, file_);
      pos_ = 0;
      if (length_ == 0) {
        atEnd_ = true;
        failed_ = std::ferror(file_) != 0;
        if (failed_) error_ = errno;
        return EOF;
      }
    }
    return static_cast<uint8_t>(buffer_[pos_++]);
  }

  std::string_view view_;
  std::FILE* file_ = nullptr;
  std::unique_ptr<char[]> buffer_;
  size_t pos_ = 0;
  size_t length_ = 0;
  bool atEnd_ = false;
  bool failed_ = false;
  int error_ = 0;
  std::optional<std::string> pushedBack_;
};

// Leading blanks, an optional sign and decimal digits, as the file's numbers
// were always read: what follows the digits is ignored. The value is returned
// as the bits of a field `bits` wide; a line without digits, or a value that
// fits that width neither signed nor unsigned, reads as 0.
uint64_t ParseField(std::string_view s, unsigned bits) {
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
  if (i >= s.size() || s[i] < '0' || s[i] > '9') return 0;
  uint64_t magnitude = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    const auto digit = static_cast<uint64_t>(s[i] - '0');
    if (magnitude > (std::numeric_limits<uint64_t>::max() - digit) / 10) return 0;
    magnitude = magnitude * 10 + digit;
  }
  const uint64_t unsignedMax = bits == 64 ? std::numeric_limits<uint64_t>::max() : (uint64_t{1} << bits) - 1;
  const uint64_t negativeMax = uint64_t{1} << (bits - 1);  // magnitude of the most negative value
  if (negative) {
    if (magnitude > negativeMax) return 0;
    return (~magnitude + 1) & unsignedMax;  // two's complement in `bits`
  }
  return magnitude <= unsignedMax ? magnitude : 0;
}

// A count line: "%d" read as a signed value; 0 or less reads no lines.
int64_t ParseCount(std::string_view s) { return static_cast<int32_t>(static_cast<uint32_t>(ParseField(s, 32))); }

// Reads one field line after another; at the end of the text every read
// fails, and `complete` says whether all of a record's lines were there.
class FieldReader {
 public:
  explicit FieldReader(LineReader& lines) : lines_(lines) {}
  std::string raw() {
    std::string line;
    if (!lines_.next(line)) complete_ = false;
    return line;
  }
  std::string text() { return platform::OemToUtf8(raw()); }
  uint64_t u64() { return ParseField(raw(), 64); }
  uint32_t u32() { return static_cast<uint32_t>(ParseField(raw(), 32)); }
  uint16_t u16() { return static_cast<uint16_t>(ParseField(raw(), 16)); }
  uint8_t u8() { return static_cast<uint8_t>(ParseField(raw(), 8)); }
  bool complete() const { return complete_; }
  void start() { complete_ = true; }

 private:
  LineReader& lines_;
  bool complete_ = true;
};

bool IsMark(const std::string* line) {
  return line && (*line == kPartitionMark || *line == kVolumeMark || *line == kScanResultEndMark);
}

// What a load collects before it touches the disk, so that a file that cannot
// be read or belongs to another disk leaves the disk as it was.
struct Loaded {
  std::vector<uint64_t> directorySectors;
  std::vector<std::pair<uint64_t, uint32_t>> mftRecordRuns;
  std::vector<std::pair<uint64_t, CarvedNode>> carved;
  uint32_t mapEntryCount = 0;
  uint32_t diskKind = 0;
  std::string memberId, groupId;
  uint64_t lvmPeStart = 0, lvmDevSize = 0, reserved2 = 0;
  uint32_t lvmPeCount = 0, reserved1 = 0, lvmExtentSize = 0, reserved3 = 0;
  std::vector<PartitionInfo> partitions;
  std::vector<LogicalVolume> volumes;
};

// A partition's sixteen field lines and its member blocks. False when the
// text ends inside them: a record cut short is not kept, since a volume
// missing a member would read wrong bytes.
bool ReadPartition(LineReader& lines, FieldReader& f, PartitionInfo& p, std::string& unknownKinds) {
  f.start();
  p.fsTypeText = f.text();
  p.hfsKind = static_cast<HfsKind>(f.u32());
  p.volumeLabel = f.text();
  p.driveLetter = f.text();
  p.name = f.text();
  p.fsLabel = f.text();
  p.sectorCount = f.u64();
  p.startSector = f.u64();
  const uint32_t tableKind = f.u32();
  p.sectorsPerCluster = f.u32();
  p.clusterZeroSector = f.u64();
  p.typeByte = f.u8();
  p.bytesPerSector = f.u32();
  const uint32_t origin = f.u32();
  const uint32_t volumeKind = f.u32();
  p.stripeSectors = f.u16();
  if (!f.complete()) return false;
  while (lines.peek() && !IsMark(lines.peek())) {
    f.raw();  // the ordinal: members are kept in file order
    VolumeMember m;
    const std::string id = f.raw();
    size_t at = 0;
    for (uint8_t& b : m.diskGuid) {
      if (at > id.size()) break;
      const size_t comma = std::min(id.find(',', at), id.size());
      b = static_cast<uint8_t>(ParseField(std::string_view(id).substr(at, comma - at), 8));
      at = comma + 1;
    }
    m.devicePath = f.text();
    m.startSector = f.u64();
    m.sectorCount = f.u64();
    if (!f.complete()) return false;
    p.members.push_back(std::move(m));
  }
  // Kinds this program does not know would send the readers down paths no
  // scan can produce.
  if ((tableKind != NumberOf(TableKind::kPrimary) && tableKind != NumberOf(TableKind::kLogical)) ||
      origin > NumberOf(PartitionOrigin::kFound) || volumeKind > NumberOf(VolumeKind::kMirrored)) {
    unknownKinds = "table kind " + std::to_string(tableKind) + ", origin " + std::to_string(origin) + ", volume kind " +
                   std::to_string(volumeKind);
    return true;
  }
  p.tableKind = static_cast<TableKind>(tableKind);
  p.origin = static_cast<PartitionOrigin>(origin);
  p.volumeKind = static_cast<VolumeKind>(volumeKind);
  return true;
}

void ReadVolume(LineReader& lines, FieldReader& f, Loaded& out) {
  LogicalVolume v;
  f.start();
  v.flags = f.u8();
  v.text1 = f.text();
  v.text2 = f.text();
  v.text3 = f.text();
  v.sizeSectors = f.u64();
  v.segmentCount = f.u32();
  v.text4 = f.text();
  if (!f.complete()) return;
  std::string line;
  while (lines.peek() && *lines.peek() != kVolumeMark && *lines.peek() != kScanResultEndMark) {
    lines.next(line);
    if (line != kSegmentMark) continue;
    LvmSegment s;
    f.start();
    s.startExtent = f.u32();
    s.extentCount = f.u32();
    s.type = f.text();
    s.stripeCount = f.u32();
    s.pvId = f.text();
    s.pvStartExtent = f.u64();
    if (!f.complete()) break;
    v.segments.push_back(std::move(s));
  }
  out.volumes.push_back(std::move(v));
}

// Everything after the first line. Counts stop at the end of the text, so a
// huge count reads no more lines than there are and reserves nothing.
void ReadBody(LineReader& lines, Loaded& out, std::vector<std::string>& dropped) {
  FieldReader f(lines);
  std::string line;
  for (int64_t n = ParseCount(f.raw()); n > 0 && lines.next(line); --n)
    out.directorySectors.push_back(ParseField(line, 64));
  for (int64_t n = ParseCount(f.raw()); n > 0 && lines.next(line); --n) {
    const size_t comma = std::min(line.find(','), line.size());
    const std::string_view view(line);
    out.mftRecordRuns.emplace_back(
        ParseField(view.substr(0, comma), 64),
        static_cast<uint32_t>(ParseField(view.substr(std::min(comma + 1, view.size())), 32)));
  }
  for (int64_t n = ParseCount(f.raw()); n > 0 && lines.next(line); --n) {
    // The name keeps everything after the second comma, commas included.
    const std::string_view view(line);
    const size_t first = std::min(view.find(','), view.size());
    const size_t second = first < view.size() ? std::min(view.find(',', first + 1), view.size()) : view.size();
    CarvedNode file;
    file.size = static_cast<uint32_t>(ParseField(view.substr(std::min(first + 1, view.size()), second - first), 32));
    if (second < view.size()) file.name = platform::OemToUtf8(view.substr(second + 1));
    out.carved.emplace_back(ParseField(view.substr(0, first), 64), std::move(file));
  }
  out.mapEntryCount = f.u32();
  out.diskKind = f.u32();
  out.memberId = f.text();
  out.groupId = f.text();
  out.lvmPeStart = f.u64();
  out.lvmDevSize = f.u64();
  out.reserved2 = f.u64();
  out.lvmPeCount = f.u32();
  out.reserved1 = f.u32();
  out.lvmExtentSize = f.u32();
  out.reserved3 = f.u32();
  while (lines.next(line)) {
    if (line == kScanResultEndMark) break;
    if (line == kPartitionMark) {
      PartitionInfo p;
      std::string unknownKinds;
      if (!ReadPartition(lines, f, p, unknownKinds)) break;  // cut short: nothing follows
      if (!unknownKinds.empty()) {
        dropped.push_back("partition \"" + p.name + "\": unknown " + unknownKinds);
        continue;
      }
      out.partitions.push_back(std::move(p));
    } else if (line == kVolumeMark) {
      ReadVolume(lines, f, out);
    }
  }
}

// Drops what would address sectors past the end of the disk (when its size
// is known). A partition that starts inside the disk and runs past its end
// stays, as a sweep of a cut-short image finds it so: reads past the end are
// reported unreadable like any other.
void DropBeyondDisk(const DiskInfo& disk, Loaded& in, std::vector<std::string>& dropped) {
  if (disk.sizeBytes <= 0) return;
  const uint64_t end = static_cast<uint64_t>(disk.sizeBytes) / SectorSize;
  const std::string where = " at or beyond the disk's end (sector " + std::to_string(end) + ")";
  std::erase_if(in.partitions, [&](const PartitionInfo& p) {
    if (p.volumeKind != VolumeKind::kPlain || p.startSector < end) return false;
    dropped.push_back("partition \"" + p.name + "\" starts at sector " + std::to_string(p.startSector) + where);
    return true;
  });
  const size_t dirs = std::erase_if(in.directorySectors, [&](uint64_t s) { return s >= end; });
  if (dirs) dropped.push_back(std::to_string(dirs) + " directory sector(s)" + where);
  const size_t runs = std::erase_if(in.mftRecordRuns, [&](const auto& r) { return r.first >= end; });
  if (runs) dropped.push_back(std::to_string(runs) + " MFT record run(s) starting" + where);
  const size_t carved = std::erase_if(in.carved, [&](const auto& c) { return c.first >= end; });
  if (carved) dropped.push_back(std::to_string(carved) + " carved file(s) starting" + where);
}

void Apply(Loaded& in, DiskInfo& disk) {
  disk.partitions.clear();
  disk.logicalVolumes.clear();
  disk.directorySectors.insert(in.directorySectors.begin(), in.directorySectors.end());
  for (const auto& [first, extent] : in.mftRecordRuns) disk.mftRecordRuns.emplace(first, extent);
  disk.extraFoundFolder.name = kExtraFoundFolderName;
  disk.extraFoundFolder.size = 0;
  for (auto& [start, file] : in.carved) disk.extraFoundFolder.children.try_emplace(start, std::move(file));
  disk.mapEntryCount = in.mapEntryCount;
  // Only the kinds this program makes; anything else reads as a drive.
  disk.diskKind = in.diskKind == NumberOf(DiskKind::kDynamicGroup) ? DiskKind::kDynamicGroup : DiskKind::kDrive;
  disk.memberId = std::move(in.memberId);
  disk.groupId = std::move(in.groupId);
  disk.lvmPeStart = in.lvmPeStart;
  disk.lvmDevSize = in.lvmDevSize;
  disk.reserved2 = in.reserved2;
  disk.lvmPeCount = in.lvmPeCount;
  disk.reserved1 = in.reserved1;
  disk.lvmExtentSize = in.lvmExtentSize;
  disk.reserved3 = in.reserved3;
  for (auto& p : in.partitions) disk.partitions.push_back(std::move(p));
  for (auto& v : in.volumes) disk.logicalVolumes.push_back(std::move(v));
}

ScanResultLoad Load(DiskInfo& disk, LineReader& lines) {
  ScanResultLoad out;
  std::string first;
  lines.next(first);
  out.fileDiskName = platform::OemToUtf8(first);
  const std::string name = DisplayName(disk);
  if (!lines.failed() && out.fileDiskName != name) {
    out.status = ScanResultStatus::kOtherDisk;
    out.message = "不是该磁盘的信息！ (the file is for \"" + out.fileDiskName + "\", this disk is \"" + name + "\")";
    return out;
  }
  Loaded loaded;
  ReadBody(lines, loaded, out.dropped);
  if (lines.failed()) {
    out.status = ScanResultStatus::kCannotRead;
    out.message = std::string("read error: ") + std::strerror(lines.error());
    return out;
  }
  DropBeyondDisk(disk, loaded, out.dropped);
  Apply(loaded, disk);
  out.status = ScanResultStatus::kOk;
  return out;
}

}  // namespace

ScanResultText FormatScanResult(const DiskInfo& disk) {
  Writer w;
  w.text(DisplayName(disk));
  w.line(std::to_string(disk.directorySectors.size()));
  for (const uint64_t s : disk.directorySectors) w.i64(s);
  w.line(std::to_string(disk.mftRecordRuns.size()));
  for (const auto& [first, extent] : disk.mftRecordRuns)
    w.line(std::to_string(static_cast<int64_t>(first)) + "," + std::to_string(static_cast<int32_t>(extent)));
  w.line(std::to_string(disk.extraFoundFolder.children.size()));
  for (const auto& [start, file] : disk.extraFoundFolder.children) {
    // The name is the last field, so its own commas need no escaping.
    w.line(std::to_string(static_cast<int64_t>(start)) + "," + std::to_string(static_cast<int32_t>(file.size)) + "," +
           w.encoded(file.name));
  }
  w.i32(disk.mapEntryCount);
  w.i32(NumberOf(disk.diskKind));
  w.text(disk.memberId);
  w.text(disk.groupId);
  w.i64(disk.lvmPeStart);
  w.i64(disk.lvmDevSize);
  w.i64(disk.reserved2);
  w.i32(disk.lvmPeCount);
  w.i32(disk.reserved1);
  w.i32(disk.lvmExtentSize);
  w.i32(disk.reserved3);
  for (const PartitionInfo& p : disk.partitions) WritePartition(w, p);
  for (const LogicalVolume& v : disk.logicalVolumes) WriteVolume(w, v);
  return w.take();
}

ScanResultSave SaveScanResult(const DiskInfo& disk, const std::string& path) {
  ScanResultSave out;
  const ScanResultText text = FormatScanResult(disk);
  out.alteredTexts = text.alteredTexts;
  platform::CheckWriteOpen(path, platform::Writer::kScanResult);
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) {
    out.error = "创建错误！ " + path + ": " + std::strerror(errno);
    return out;
  }
  const bool written = std::fwrite(text.bytes.data(), 1, text.bytes.size(), file) == text.bytes.size();
  const int writeErrno = errno;
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed) {
    out.error = path + ": write failed: " + std::strerror(written ? errno : writeErrno);
    std::remove(path.c_str());
    return out;
  }
  out.ok = true;
  return out;
}

ScanResultLoad LoadScanResult(DiskInfo& disk, std::string_view bytes) {
  LineReader lines(bytes);
  return Load(disk, lines);
}

ScanResultLoad LoadScanResultFile(DiskInfo& disk, const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) {
    ScanResultLoad out;
    out.message = path + ": " + std::strerror(errno);
    return out;
  }
  LineReader lines(file);
  ScanResultLoad out = Load(disk, lines);
  std::fclose(file);
  if (out.status != ScanResultStatus::kOk) out.message = path + ": " + out.message;
  return out;
}

}  // namespace orvaldi::disk
