// Writable access to an existing image file or block device, and creation of
// new files, for the few operations that must write: the partition-table tools.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "platform/read_only_check.h"
#include "platform/sector_source.h"

namespace orvaldi::platform {

// An existing image file or block device opened for reading and writing.
// Opening never creates or truncates anything, so a mistyped path cannot
// bring a file into being or cut one short. The caller names itself as the
// one writer allowed onto a source (the partition-table tools).
class UpdateFile {
 public:
  struct OpenResult {
    std::unique_ptr<UpdateFile> file;
    int error = 0;        // errno, or 0 on success
    std::string message;  // one line for the operator, empty on success
  };
  static OpenResult OpenForUpdate(const std::string& path, SourceWrite permit);

  ~UpdateFile();
  UpdateFile(const UpdateFile&) = delete;
  UpdateFile& operator=(const UpdateFile&) = delete;

  ReadOutcome readAt(uint64_t offset, std::span<uint8_t> out);
  // Writes all of `bytes` at `offset`; returns 0 or the errno of the failure
  // (EIO for a write that stopped short).
  int writeAt(uint64_t offset, std::span<const uint8_t> bytes);
  // Flushes what was written to the medium; returns 0 or errno.
  int sync();
  uint64_t size() const { return size_; }

 private:
  UpdateFile(int fd, uint64_t size) : fd_(fd), size_(size) {}
  int fd_;
  uint64_t size_;
};

// Creates `path` (which must not exist yet), writes `bytes` and flushes them
// to the medium. Returns 0 or errno; on failure a partly written file is removed.
int WriteNewFile(const std::string& path, std::span<const uint8_t> bytes);

// Writes `bytes` to `path` whole or not at all: into a new file beside it,
// flushed to the medium, which then takes the place of `path` (rename), so
// that a reader sees the old file or the new one, never a cut one. Returns
// 0 or errno; on failure `path` is as it was and nothing else is left.
int ReplaceFile(const std::string& path, std::span<const uint8_t> bytes);
// The file beside `path` that ReplaceFile writes first (and removes when a
// killed run left one behind): a writer's refusal covers it as well.
std::string ReplacementTemporary(const std::string& path);

// True when both paths name the same existing file or device.
bool SameFile(const std::string& a, const std::string& b);

}  // namespace orvaldi::platform
