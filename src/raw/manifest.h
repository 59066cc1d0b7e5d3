// The recovery manifest: one JSON line per saved file (where it went, where
// it came from, its digest, the sectors read and what is known of its
// completeness), written into the target by every save, and read back to
// verify a target against it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "raw/content_check.h"

namespace orvaldi::raw {

inline constexpr const char* kManifestName = "manifest.jsonl";

enum class ManifestVerdict : uint8_t {
  kIntact,      // every byte was read from where the file's records place it
  kPartial,     // some of it could not be read or is missing (zeros stand in, or the file is cut short)
  kUnverified,  // every byte was read, but nothing says they are the file's (a deleted file's free clusters)
};

// "intact", "partial", "unverified".
const char* ManifestVerdictName(ManifestVerdict verdict);

// Sectors [start, start + count) of the source.
struct SectorRange {
  uint64_t start = 0;
  uint64_t count = 0;
  bool operator==(const SectorRange&) const = default;
};

struct ManifestEntry {
  std::string target;                // relative to the target folder, "/" between folders
  std::string source;                // path in the volume; carved files "/Extra Found Files/<name>"
  std::optional<uint64_t> sector;    // carved files: the sector the file starts at
  uint64_t size = 0;                 // bytes of the saved file
  std::string sha256;                // of the saved file's bytes
  std::vector<SectorRange> extents;  // the source sectors the copy read for the file's data
  ManifestVerdict verdict = ManifestVerdict::kIntact;
  std::vector<SectorRange> unread;  // kPartial: the sectors that could not be read
  std::string reason;               // kPartial, kUnverified: why
  ContentCheck check;
};

struct ManifestCounts {
  uint64_t files = 0, intact = 0, partial = 0, unverified = 0;
  uint64_t checkOk = 0, checkBad = 0, checkNotApplicable = 0;
  void add(const ManifestEntry& entry);
  bool operator==(const ManifestCounts&) const = default;
};

// The entry as one JSON object (no line end).
std::string ManifestLine(const ManifestEntry& entry);
// The closing record: {"summary": {...}}.
std::string ManifestSummaryLine(const ManifestCounts& counts);
// One line for the operator: "N files: a intact, b partial, c unverified; check x ok, y bad, z n/a".
std::string ManifestCountsText(const ManifestCounts& counts);

// Writes a manifest into a target folder as the files are saved; safe to
// call from several workers at once.
class ManifestWriter {
 public:
  ManifestWriter() = default;
  ~ManifestWriter();
  ManifestWriter(const ManifestWriter&) = delete;
  ManifestWriter& operator=(const ManifestWriter&) = delete;

  // Creates the manifest in `folder` under the first free name of
  // kManifestName (a counter as for saved files: "manifest.jsonl0.jsonl"),
  // never opening an existing file. False with errno in `error()`.
  bool open(const std::string& folder);
  void add(const ManifestEntry& entry);
  // Writes the summary record and closes the file; false when a write failed.
  bool finish();

  bool isOpen() const { return file_ != nullptr; }
  const std::string& path() const { return path_; }
  ManifestCounts counts() const;
  int error() const { return error_; }

 private:
  mutable std::mutex lock_;
  std::FILE* file_ = nullptr;
  std::string path_;
  ManifestCounts counts_;
  int error_ = 0;
};

// The content check of a saved file, read back from `path`; `name` lends
// its extension. A file that cannot be read is n/a with the reason.
ContentCheck CheckSavedFile(const std::string& path, const std::string& name);

// A manifest read back: its entries, its summary record when it has one,
// and the lines that could not be taken (with their numbers).
struct ManifestRead {
  std::vector<ManifestEntry> entries;
  std::optional<ManifestCounts> summary;
  std::vector<std::string> errors;
  int openError = 0;  // errno when the file could not be read at all
};
ManifestRead ReadManifest(const std::string& path);

// What a verify of a target against its manifest found.
struct VerifyReport {
  std::string manifestPath;
  int openError = 0;                  // the manifest could not be read (errno)
  std::vector<std::string> problems;  // one line per problem, naming the file
  uint64_t listed = 0;
  uint64_t missing = 0;    // listed files not in the target
  uint64_t changed = 0;    // size or digest differ from the manifest, or the manifest itself does not add up
  uint64_t notIntact = 0;  // present and unchanged, but partial, unverified, or their content check is bad
  ManifestCounts counts;   // of the files found unchanged, with their checks as run now
  bool clean() const { return openError == 0 && problems.empty(); }
};

// Re-reads every file `manifest` lists (a manifest file, or a folder whose
// kManifestName is taken), compares its size and digest and runs its
// content check again.
VerifyReport VerifyTarget(const std::string& manifest);

}  // namespace orvaldi::raw
