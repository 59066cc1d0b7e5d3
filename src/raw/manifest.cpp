// Writing the recovery manifest, reading it back and verifying a target against it.
#include "raw/manifest.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>

#include "disk/sha256.h"
#include "platform/mapped_file.h"
#include "raw/save_target.h"

namespace orvaldi::raw {
namespace {

// --- writing --------------------------------------------------------------

void AppendString(std::string& out, const std::string& s) {
  out += '"';
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20) {
      static const char kHex[] = "0123456789abcdef";
      out += "\\u00";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += ch;
    }
  }
  out += '"';
}

void AppendRanges(std::string& out, const std::vector<SectorRange>& ranges) {
  out += '[';
  for (size_t i = 0; i < ranges.size(); ++i) {
    if (i) out += ',';
    out += '[' + std::to_string(ranges[i].start) + ',' + std::to_string(ranges[i].count) + ']';
  }
  out += ']';
}

void Key(std::string& out, const char* key) {
  if (out.size() > 1) out += ',';
  out += '"';
  out += key;
  out += "\":";
}

// --- reading: just enough JSON for the manifest's own lines ---------------

struct Value {
  enum Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = kNull;
  bool boolean = false;
  std::optional<uint64_t> integer;  // numbers that are whole and not negative
  std::string text;
  std::vector<Value> items;
  std::vector<std::string> keys;  // an object's members: keys[i] names values[i]
  std::vector<Value> values;

  const Value* get(std::string_view key) const;
};

const Value* Value::get(std::string_view key) const {
  for (size_t i = 0; i < keys.size(); ++i)
    if (keys[i] == key) return &values[i];
  return nullptr;
}

class Parser {
 public:
  explicit Parser(std::string_view s) : s_(s) {}
  std::optional<Value> document() {
    Value v;
    if (!value(v, 0)) return std::nullopt;
    space();
    if (p_ != s_.size()) return std::nullopt;
    return v;
  }

 private:
  static constexpr int kMaxDepth = 8;

  void space() {
    while (p_ < s_.size() && (s_[p_] == ' ' || s_[p_] == '\t' || s_[p_] == '\r' || s_[p_] == '\n')) ++p_;
  }
  bool literal(std::string_view word) {
    if (s_.substr(p_, word.size()) != word) return false;
    p_ += word.size();
    return true;
  }
  bool string(std::string& out) {
    if (p_ >= s_.size() || s_[p_] != '"') return false;
    ++p_;
    while (p_ < s_.size()) {
      const char c = s_[p_++];
      if (c == '"') return true;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (p_ >= s_.size()) return false;
      const char e = s_[p_++];
      switch (e) {
        case '"':
        case '\\':
        case '/':
          out += e;
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          if (p_ + 4 > s_.size()) return false;
          uint32_t code = 0;
          for (int i = 0; i < 4; ++i) {
            const char h = s_[p_++];
            code <<= 4;
            if (h >= '0' && h <= '9')
              code |= static_cast<uint32_t>(h - '0');
            else if (h >= 'a' && h <= 'f')
              code |= static_cast<uint32_t>(h - 'a' + 10);
            else if (h >= 'A' && h <= 'F')
              code |= static_cast<uint32_t>(h - 'A' + 10);
            else
              return false;
          }
          // The writer escapes control characters only; others pass as UTF-8.
          if (code < 0x80) {
            out += static_cast<char>(code);
          } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
          } else {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
          }
          break;
        }
        default:
          return false;
      }
    }
    return false;
  }
  bool value(Value& v, int depth) {
    if (depth > kMaxDepth) return false;
    space();
    if (p_ >= s_.size()) return false;
    const char c = s_[p_];
    if (c == '"') {
      v.kind = Value::kString;
      return string(v.text);
    }
    if (c == '{' || c == '[') {
      const bool object = c == '{';
      v.kind = object ? Value::kObject : Value::kArray;
      ++p_;
      space();
      if (p_ < s_.size() && s_[p_] == (object ? '}' : ']')) {
        ++p_;
        return true;
      }
      while (true) {
        space();
        if (object) {
          std::string key;
          if (!string(key)) return false;
          space();
          if (p_ >= s_.size() || s_[p_++] != ':') return false;
          v.keys.push_back(std::move(key));
          v.values.emplace_back();
          if (!value(v.values.back(), depth + 1)) return false;
        } else {
          v.items.emplace_back();
          if (!value(v.items.back(), depth + 1)) return false;
        }
        space();
        if (p_ >= s_.size()) return false;
        const char next = s_[p_++];
        if (next == (object ? '}' : ']')) return true;
        if (next != ',') return false;
      }
    }
    if (literal("true")) {
      v.kind = Value::kBool;
      v.boolean = true;
      return true;
    }
    if (literal("false")) {
      v.kind = Value::kBool;
      return true;
    }
    if (literal("null")) return true;
    v.kind = Value::kNumber;
    const size_t start = p_;
    bool whole = true;
    if (s_[p_] == '-') {
      whole = false;
      ++p_;
    }
    uint64_t n = 0;
    while (p_ < s_.size() && s_[p_] >= '0' && s_[p_] <= '9') {
      const uint64_t digit = static_cast<uint64_t>(s_[p_++] - '0');
      if (n > (UINT64_MAX - digit) / 10) whole = false;
      n = n * 10 + digit;
    }
    while (p_ < s_.size() && (s_[p_] == '.' || s_[p_] == 'e' || s_[p_] == 'E' || s_[p_] == '+' || s_[p_] == '-' ||
                              (s_[p_] >= '0' && s_[p_] <= '9'))) {
      whole = false;
      ++p_;
    }
    if (p_ == start) return false;
    if (whole) v.integer = n;
    return true;
  }

  std::string_view s_;
  size_t p_ = 0;
};

std::optional<std::vector<SectorRange>> RangesOf(const Value* v) {
  std::vector<SectorRange> out;
  if (!v) return out;
  if (v->kind != Value::kArray) return std::nullopt;
  for (const Value& pair : v->items) {
    if (pair.kind != Value::kArray || pair.items.size() != 2 || !pair.items[0].integer || !pair.items[1].integer)
      return std::nullopt;
    out.push_back({*pair.items[0].integer, *pair.items[1].integer});
  }
  return out;
}

std::optional<ManifestVerdict> VerdictOf(const std::string& word) {
  if (word == "intact") return ManifestVerdict::kIntact;
  if (word == "partial") return ManifestVerdict::kPartial;
  if (word == "unverified") return ManifestVerdict::kUnverified;
  return std::nullopt;
}

std::optional<ContentVerdict> CheckOf(const std::string& word) {
  if (word == "ok") return ContentVerdict::kOk;
  if (word == "bad") return ContentVerdict::kBad;
  if (word == "n/a") return ContentVerdict::kNotApplicable;
  return std::nullopt;
}

const char* const kCountKeys[] = {"files", "intact", "partial", "unverified", "checkOk", "checkBad", "checkNa"};

uint64_t* CountField(ManifestCounts& c, size_t i) {
  uint64_t* const fields[] = {&c.files,   &c.intact,   &c.partial,           &c.unverified,
                              &c.checkOk, &c.checkBad, &c.checkNotApplicable};
  return fields[i];
}

// Why an entry's line cannot be taken, or empty.
std::string EntryOf(const Value& v, ManifestEntry& e) {
  const Value* target = v.get("target");
  const Value* size = v.get("size");
  const Value* sha = v.get("sha256");
  const Value* verdict = v.get("verdict");
  const Value* check = v.get("check");
  if (!target || target->kind != Value::kString || target->text.empty()) return "no target";
  if (!size || !size->integer) return "no size";
  if (!sha || sha->kind != Value::kString || sha->text.size() != 64) return "no sha256";
  if (!verdict || verdict->kind != Value::kString || !VerdictOf(verdict->text)) return "no verdict";
  if (!check || check->kind != Value::kString || !CheckOf(check->text)) return "no check";
  e.target = target->text;
  e.size = *size->integer;
  e.sha256 = sha->text;
  e.verdict = *VerdictOf(verdict->text);
  e.check.verdict = *CheckOf(check->text);
  if (const Value* s = v.get("source"); s && s->kind == Value::kString) e.source = s->text;
  if (const Value* s = v.get("sector"); s && s->integer) e.sector = *s->integer;
  if (const Value* s = v.get("reason"); s && s->kind == Value::kString) e.reason = s->text;
  if (const Value* s = v.get("format"); s && s->kind == Value::kString) e.check.format = s->text;
  if (const Value* s = v.get("checkProblem"); s && s->kind == Value::kString) e.check.problem = s->text;
  const auto extents = RangesOf(v.get("extents"));
  const auto unread = RangesOf(v.get("unread"));
  if (!extents || !unread) return "bad sector ranges";
  e.extents = *extents;
  e.unread = *unread;
  return {};
}

// A target path stays inside its folder: relative, without "." or "..".
bool InsideTarget(const std::string& path) {
  if (path.empty() || path.front() == '/') return false;
  size_t at = 0;
  while (at <= path.size()) {
    const size_t slash = std::min(path.find('/', at), path.size());
    const std::string_view part(path.data() + at, slash - at);
    if (part.empty() || part == "." || part == "..") return false;
    at = slash + 1;
  }
  return true;
}

bool IsFolder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string FolderOf(const std::string& file) {
  const size_t slash = file.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
}

std::string SizeWord(uint64_t n) { return std::to_string(n); }

}  // namespace

const char* ManifestVerdictName(ManifestVerdict verdict) {
  switch (verdict) {
    case ManifestVerdict::kPartial:
      return "partial";
    case ManifestVerdict::kUnverified:
      return "unverified";
    case ManifestVerdict::kIntact:
      break;
  }
  return "intact";
}

void ManifestCounts::add(const ManifestEntry& e) {
  ++files;
  ++(e.verdict == ManifestVerdict::kIntact ? intact : e.verdict == ManifestVerdict::kPartial ? partial : unverified);
  ++(e.check.verdict == ContentVerdict::kOk    ? checkOk
     : e.check.verdict == ContentVerdict::kBad ? checkBad
                                               : checkNotApplicable);
}

std::string ManifestLine(const ManifestEntry& e) {
  std::string out = "{";
  Key(out, "target");
  AppendString(out, e.target);
  Key(out, "source");
  AppendString(out, e.source);
  if (e.sector) {
    Key(out, "sector");
    out += std::to_string(*e.sector);
  }
  Key(out, "size");
  out += std::to_string(e.size);
  Key(out, "sha256");
  AppendString(out, e.sha256);
  Key(out, "extents");
  AppendRanges(out, e.extents);
  Key(out, "verdict");
  AppendString(out, ManifestVerdictName(e.verdict));
  if (e.verdict == ManifestVerdict::kPartial) {
    Key(out, "unread");
    AppendRanges(out, e.unread);
  }
  if (!e.reason.empty()) {
    Key(out, "reason");
    AppendString(out, e.reason);
  }
  Key(out, "check");
  AppendString(out, ContentVerdictName(e.check.verdict));
  if (!e.check.format.empty()) {
    Key(out, "format");
    AppendString(out, e.check.format);
  }
  if (!e.check.problem.empty()) {
    Key(out, "checkProblem");
    AppendString(out, e.check.problem);
  }
  return out + "}";
}

std::string ManifestSummaryLine(const ManifestCounts& counts) {
  ManifestCounts c = counts;
  std::string out = "{\"summary\":{";
  for (size_t i = 0; i < std::size(kCountKeys); ++i)
    out += std::string(i ? "," : "") + "\"" + kCountKeys[i] + "\":" + std::to_string(*CountField(c, i));
  return out + "}}";
}

std::string ManifestCountsText(const ManifestCounts& c) {
  return SizeWord(c.files) + " files: " + SizeWord(c.intact) + " intact, " + SizeWord(c.partial) + " partial, " +
         SizeWord(c.unverified) + " unverified; check " + SizeWord(c.checkOk) + " ok, " + SizeWord(c.checkBad) +
         " bad, " + SizeWord(c.checkNotApplicable) + " n/a";
}

ManifestWriter::~ManifestWriter() {
  if (file_) std::fclose(file_);
}

bool ManifestWriter::open(const std::string& folder) {
  const std::string first = folder + "/" + kManifestName;
  for (uint32_t n = 0; n < 1000; ++n) {
    const std::string candidate = n == 0 ? first : CandidateName(first, n - 1);
    const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      error_ = errno;
      return false;
    }
    file_ = ::fdopen(fd, "w");
    if (!file_) {
      error_ = errno;
      ::close(fd);
      ::unlink(candidate.c_str());
      return false;
    }
    path_ = candidate;
    return true;
  }
  error_ = EEXIST;
  return false;
}

void ManifestWriter::add(const ManifestEntry& entry) {
  const std::string line = ManifestLine(entry) + "\n";
  std::lock_guard<std::mutex> guard(lock_);
  counts_.add(entry);
  if (file_ && std::fwrite(line.data(), 1, line.size(), file_) != line.size() && error_ == 0) error_ = errno;
}

bool ManifestWriter::finish() {
  std::lock_guard<std::mutex> guard(lock_);
  if (!file_) return false;
  const std::string line = ManifestSummaryLine(counts_) + "\n";
  bool ok = std::fwrite(line.data(), 1, line.size(), file_) == line.size();
  if (!ok && error_ == 0) error_ = errno;
  if (std::fclose(file_) != 0) {
    ok = false;
    if (error_ == 0) error_ = errno;
  }
  file_ = nullptr;
  return ok && error_ == 0;
}

ManifestCounts ManifestWriter::counts() const {
  std::lock_guard<std::mutex> guard(lock_);
  return counts_;
}

ContentCheck CheckSavedFile(const std::string& path, const std::string& name) {
  int error = 0;
  const auto mapped = platform::MappedFile::open(path, &error);
  if (!mapped) return {ContentVerdict::kNotApplicable, {}, "cannot be read back: " + std::string(std::strerror(error))};
  return CheckContent(mapped->bytes(), name);
}

ManifestRead ReadManifest(const std::string& path) {
  ManifestRead out;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    out.openError = errno ? errno : ENOENT;
    return out;
  }
  std::string line;
  uint64_t number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (line.empty()) continue;
    const std::optional<Value> v = Parser(line).document();
    const std::string where = "line " + std::to_string(number) + ": ";
    if (!v || v->kind != Value::kObject) {
      out.errors.push_back(where + "not a JSON object");
      continue;
    }
    if (const Value* s = v->get("summary")) {
      ManifestCounts c;
      bool ok = s->kind == Value::kObject;
      for (size_t i = 0; ok && i < std::size(kCountKeys); ++i) {
        const Value* n = s->get(kCountKeys[i]);
        ok = n && n->integer;
        if (ok) *CountField(c, i) = *n->integer;
      }
      if (!ok)
        out.errors.push_back(where + "summary without its counts");
      else if (out.summary)
        out.errors.push_back(where + "a second summary");
      else
        out.summary = c;
      continue;
    }
    if (out.summary) out.errors.push_back(where + "an entry after the summary");
    ManifestEntry e;
    const std::string why = EntryOf(*v, e);
    if (!why.empty()) {
      out.errors.push_back(where + why);
      continue;
    }
    out.entries.push_back(std::move(e));
  }
  return out;
}

VerifyReport VerifyTarget(const std::string& manifest) {
  VerifyReport r;
  r.manifestPath = IsFolder(manifest) ? manifest + "/" + kManifestName : manifest;
  const std::string folder = FolderOf(r.manifestPath);
  const ManifestRead read = ReadManifest(r.manifestPath);
  if (read.openError != 0) {
    r.openError = read.openError;
    return r;
  }
  for (const std::string& e : read.errors) {
    r.problems.push_back(r.manifestPath + ": " + e);
    ++r.changed;
  }
  r.listed = read.entries.size();
  if (!read.summary) {
    r.problems.push_back(r.manifestPath + ": no summary record: the save did not finish");
    ++r.notIntact;
  } else if (read.summary->files != read.entries.size()) {
    r.problems.push_back(r.manifestPath + ": the summary counts " + std::to_string(read.summary->files) +
                         " files, the manifest lists " + std::to_string(read.entries.size()));
    ++r.changed;
  }
  std::map<std::string, int> seen;
  for (const ManifestEntry& listed : read.entries) {
    const std::string& name = listed.target;
    if (!InsideTarget(name)) {
      r.problems.push_back(name + ": not a path inside the target");
      ++r.changed;
      continue;
    }
    if (seen[name]++ > 0) {
      r.problems.push_back(name + ": listed twice");
      ++r.changed;
      continue;
    }
    const std::string path = folder + "/" + name;
    int error = 0;
    const auto mapped = platform::MappedFile::open(path, &error);
    if (!mapped) {
      r.problems.push_back(name + ": " + (error == ENOENT ? std::string("missing") : std::strerror(error)));
      ++r.missing;
      continue;
    }
    const std::span<const uint8_t> bytes = mapped->bytes();
    if (bytes.size() != listed.size) {
      r.problems.push_back(name + ": " + std::to_string(bytes.size()) + " bytes, the manifest says " +
                           std::to_string(listed.size));
      ++r.changed;
      continue;
    }
    if (disk::Sha256Hex(bytes) != listed.sha256) {
      r.problems.push_back(name + ": sha256 differs from the manifest");
      ++r.changed;
      continue;
    }
    ManifestEntry now = listed;
    now.check = CheckContent(bytes, name);
    r.counts.add(now);
    bool intact = true;
    if (listed.verdict != ManifestVerdict::kIntact) {
      r.problems.push_back(name + ": " + ManifestVerdictName(listed.verdict) +
                           (listed.reason.empty() ? "" : " (" + listed.reason + ")"));
      intact = false;
    }
    if (now.check.verdict == ContentVerdict::kBad) {
      r.problems.push_back(name + ": content check bad: " + now.check.problem);
      intact = false;
    }
    if (!intact) ++r.notIntact;
  }
  return r;
}

}  // namespace orvaldi::raw
