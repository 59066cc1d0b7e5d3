// pwrite/fsync access for the partition-table tools; everything else reads only.
#include "platform/update_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/read_only_check.h"

namespace orvaldi::platform {
namespace {

int WriteAll(int fd, uint64_t offset, std::span<const uint8_t> bytes) {
  uint64_t done = 0;
  while (done < bytes.size()) {
    const ssize_t put =
        ::pwrite(fd, bytes.data() + done, bytes.size() - static_cast<size_t>(done), static_cast<off_t>(offset + done));
    if (put < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (put == 0) return EIO;
    done += static_cast<uint64_t>(put);
  }
  return 0;
}

}  // namespace

UpdateFile::OpenResult UpdateFile::OpenForUpdate(const std::string& path, SourceWrite permit) {
  OpenResult result;
  auto fail = [&](int error, const std::string& why) {
    result.error = error;
    result.message = path + ": " + why;
    return std::move(result);
  };
  CheckWriteOpen(path, Writer::kPartitionTable, permit);
  // No O_CREAT and no O_TRUNC: only what exists is opened, and it stays whole.
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return fail(errno, std::strerror(errno));
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int error = errno;
    ::close(fd);
    return fail(error, std::strerror(error));
  }
  uint64_t size = 0;
  if (S_ISREG(st.st_mode)) {
    size = static_cast<uint64_t>(st.st_size);
  } else if (S_ISBLK(st.st_mode)) {
    if (::ioctl(fd, BLKGETSIZE64, &size) != 0) size = 0;
  } else {
    ::close(fd);
    return fail(EINVAL, "not a regular file or block device");
  }
  result.file.reset(new UpdateFile(fd, size));
  return result;
}

UpdateFile::~UpdateFile() { ::close(fd_); }

ReadOutcome UpdateFile::readAt(uint64_t offset, std::span<uint8_t> out) {
  ReadOutcome outcome;
  while (outcome.bytes < out.size()) {
    const ssize_t got = ::pread(fd_, out.data() + outcome.bytes, out.size() - static_cast<size_t>(outcome.bytes),
                                static_cast<off_t>(offset + outcome.bytes));
    if (got < 0) {
      if (errno == EINTR) continue;
      outcome.error = errno;
      break;
    }
    if (got == 0) break;
    outcome.bytes += static_cast<uint64_t>(got);
  }
  return outcome;
}

int UpdateFile::writeAt(uint64_t offset, std::span<const uint8_t> bytes) { return WriteAll(fd_, offset, bytes); }

int UpdateFile::sync() { return ::fsync(fd_) == 0 ? 0 : errno; }

int WriteNewFile(const std::string& path, std::span<const uint8_t> bytes) {
  // O_EXCL: a backup never replaces an existing file, least of all the disk
  // it was taken from.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0644);
  if (fd < 0) return errno;
  int error = WriteAll(fd, 0, bytes);
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error != 0) ::unlink(path.c_str());
  return error;
}

std::string ReplacementTemporary(const std::string& path) { return path + ".new"; }

int ReplaceFile(const std::string& path, std::span<const uint8_t> bytes) {
  const std::string temporary = ReplacementTemporary(path);
  CheckWriteOpen(temporary, Writer::kReplacedFile);
  ::unlink(temporary.c_str());  // one left behind by a run that was killed
  if (const int error = WriteNewFile(temporary, bytes); error != 0) return error;
  CheckWriteOpen(path, Writer::kReplacedFile);
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    return error;
  }
  return 0;
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {
  }, sb{};
  if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
  if (S_ISBLK(sa.st_mode) && S_ISBLK(sb.st_mode)) return sa.st_rdev == sb.st_rdev;  // two nodes, one device
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

}  // namespace orvaldi::platform
