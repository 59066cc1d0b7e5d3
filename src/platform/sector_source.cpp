// Positioned, read-only access to image files and block devices.
#include "platform/sector_source.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/read_only_check.h"

namespace orvaldi::platform {

FileSource::OpenResult FileSource::open(const std::string& path) {
  OpenResult result;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    result.error = errno;
    result.message = path + ": " + std::strerror(result.error);
    return result;
  }
  SourceKind kind;
  if (S_ISREG(st.st_mode)) {
    kind = SourceKind::RegularFile;
  } else if (S_ISBLK(st.st_mode)) {
    kind = SourceKind::BlockDevice;
  } else {
    result.error = EINVAL;
    result.message = path + ": not a regular file or block device";
    return result;
  }
  // Read-only, always: the source is the thing being rescued.
  const int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY;
  int fd = ::open(path.c_str(), flags);
  if (fd < 0) {
    result.error = errno;
    result.message = path + ": " + std::strerror(result.error);
    return result;
  }
  NoteSourceOpen(fd, flags, path);
  uint64_t size = 0;
  if (kind == SourceKind::RegularFile) {
    size = static_cast<uint64_t>(st.st_size);
  } else {
    uint64_t bytes = 0;
    if (::ioctl(fd, BLKGETSIZE64, &bytes) == 0) size = bytes;
  }
  result.source.reset(new FileSource(fd, path, kind, size));
  return result;
}

FileSource::~FileSource() { ::close(fd_); }

ReadOutcome FileSource::readAt(uint64_t offset, std::span<uint8_t> out) {
  ReadOutcome outcome;
  while (outcome.bytes < out.size()) {
    const uint64_t at = offset + outcome.bytes;
    if (at > static_cast<uint64_t>(INT64_MAX)) break;
    const size_t want = out.size() - static_cast<size_t>(outcome.bytes);
    const ssize_t got = ::pread(fd_, out.data() + outcome.bytes, want, static_cast<off_t>(at));
    if (got < 0) {
      if (errno == EINTR) continue;
      outcome.error = errno;
      break;
    }
    if (got == 0) break;  // end of source
    outcome.bytes += static_cast<uint64_t>(got);
  }
  return outcome;
}

uint64_t FileSource::nextDataAt(uint64_t offset) const {
  if (kind_ != SourceKind::RegularFile || offset >= size_ || offset > static_cast<uint64_t>(INT64_MAX)) return offset;
  // The file offset SEEK_DATA moves is one no read uses: reads are positioned.
  const off_t data = ::lseek(fd_, static_cast<off_t>(offset), SEEK_DATA);
  if (data >= 0) return std::max(offset, static_cast<uint64_t>(data));
  // ENXIO: nothing but a hole from `offset` to the end. Anything else (a file
  // system that cannot tell) says nothing about holes.
  return errno == ENXIO ? size_ : offset;
}

ReadOutcome MemorySource::readAt(uint64_t offset, std::span<uint8_t> out) {
  ReadOutcome outcome;
  if (offset >= view_.size() || out.empty()) return outcome;
  const uint64_t n = std::min<uint64_t>(out.size(), view_.size() - offset);
  std::memcpy(out.data(), view_.data() + offset, static_cast<size_t>(n));
  outcome.bytes = n;
  return outcome;
}

ReadOutcome FaultySource::readAt(uint64_t offset, std::span<uint8_t> out) {
  {
    std::lock_guard lock(mutex_);
    ++calls_;
  }
  if (out.empty()) return {};
  const uint64_t first = offset / sectorSize_;
  const uint64_t last = (offset + out.size() - 1) / sectorSize_;
  auto it = bad_.lower_bound(first);
  if (it == bad_.end() || *it > last) return inner_.readAt(offset, out);
  // Deliver what lies before the bad sector, then fail.
  const uint64_t goodEnd = std::max(offset, *it * sectorSize_);
  ReadOutcome outcome;
  if (goodEnd > offset) {
    outcome = inner_.readAt(offset, out.first(static_cast<size_t>(goodEnd - offset)));
    if (outcome.error != 0 || outcome.bytes < goodEnd - offset) return outcome;
  }
  outcome.error = EIO;
  return outcome;
}

uint64_t FaultySource::readCalls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

}  // namespace orvaldi::platform
