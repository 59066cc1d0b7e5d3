// Read-only byte sources: image files, block devices, memory, and a faulty wrapper for tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <vector>

namespace orvaldi::platform {

// Bytes per sector of every source read here; disk::SectorSize is the same
// constant for the layers above, which take it from there.
inline constexpr uint32_t SectorSize = 512;

// What one positioned read delivered. `bytes` counts the bytes placed in the
// buffer before the first error or the end of the source; `error` is the errno
// of the failing call (0 when the read stopped only because the source ended).
struct ReadOutcome {
  uint64_t bytes = 0;
  int error = 0;
};

// Every disk read in the system goes through this interface. Sources are
// never written to; implementations must be safe to call from several threads
// at once (positioned reads keep no shared file offset).
class SectorSource {
 public:
  virtual ~SectorSource() = default;
  SectorSource() = default;
  SectorSource(const SectorSource&) = delete;
  SectorSource& operator=(const SectorSource&) = delete;

  virtual ReadOutcome readAt(uint64_t offset, std::span<uint8_t> out) = 0;
  // Size in bytes; 0 when it could not be determined.
  virtual uint64_t size() const = 0;
  // The first byte at or after `offset` that may hold anything but zeros.
  // Everything before it reads as zeros without being stored anywhere (the
  // holes of a sparse image file), so a sweep that zeros cannot match may
  // pass over it unread. A source that keeps no record of holes answers
  // `offset`; so does any source that can fail a read, since a hole there
  // would hide the failure.
  virtual uint64_t nextDataAt(uint64_t offset) const { return offset; }
};

enum class SourceKind { RegularFile, BlockDevice };

// An image file or a block device opened read-only and read with pread.
class FileSource final : public SectorSource {
 public:
  struct OpenResult {
    std::unique_ptr<FileSource> source;
    int error = 0;        // errno, or 0 on success
    std::string message;  // one line for the operator, empty on success
  };
  // Opens `path` read-only. Anything but a regular file or a block device is
  // refused with EINVAL and a message saying so.
  static OpenResult open(const std::string& path);

  ~FileSource() override;
  ReadOutcome readAt(uint64_t offset, std::span<uint8_t> out) override;
  uint64_t size() const override { return size_; }
  // An image file's holes, as its file system keeps them (SEEK_DATA); a
  // block device has none.
  uint64_t nextDataAt(uint64_t offset) const override;
  SourceKind kind() const { return kind_; }
  int fd() const { return fd_; }
  const std::string& path() const { return path_; }

 private:
  FileSource(int fd, std::string path, SourceKind kind, uint64_t size)
      : fd_(fd), path_(std::move(path)), kind_(kind), size_(size) {}
  int fd_;
  std::string path_;
  SourceKind kind_;
  uint64_t size_;
};

// Bytes held in memory, owned or borrowed. Used by tests and fuzzers.
class MemorySource final : public SectorSource {
 public:
  explicit MemorySource(std::vector<uint8_t> bytes) : owned_(std::move(bytes)), view_(owned_) {}
  // Borrows `bytes`; the caller keeps them alive for the source's lifetime.
  static std::unique_ptr<MemorySource> borrow(std::span<const uint8_t> bytes) {
    return std::unique_ptr<MemorySource>(new MemorySource(bytes));
  }
  ReadOutcome readAt(uint64_t offset, std::span<uint8_t> out) override;
  uint64_t size() const override { return view_.size(); }
  std::span<const uint8_t> bytes() const { return view_; }

 private:
  explicit MemorySource(std::span<const uint8_t> view) : view_(view) {}
  std::vector<uint8_t> owned_;
  std::span<const uint8_t> view_;
};

// Wraps another source and fails reads that touch listed sectors with EIO,
// the way a drive with unreadable sectors does: the bytes before the first
// bad sector arrive, then the call fails. Counts reads so tests can check
// that a caller does not hammer bad areas.
class FaultySource final : public SectorSource {
 public:
  FaultySource(SectorSource& inner, std::set<uint64_t> badSectors, uint32_t sectorSize = SectorSize)
      : inner_(inner), bad_(std::move(badSectors)), sectorSize_(sectorSize) {}
  ReadOutcome readAt(uint64_t offset, std::span<uint8_t> out) override;
  uint64_t size() const override { return inner_.size(); }
  uint64_t readCalls() const;

 private:
  SectorSource& inner_;
  std::set<uint64_t> bad_;
  uint32_t sectorSize_;
  mutable std::mutex mutex_;
  uint64_t calls_ = 0;
};

}  // namespace orvaldi::platform
