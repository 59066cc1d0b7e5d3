// Positioned writes to image files and disks, and path identities.
#include "platform/file_target.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvaldi::platform {

FileTarget::OpenResult FileTarget::open(const std::string& path, TargetOpen how) {
  OpenResult result;
  int flags = O_WRONLY | O_CLOEXEC | O_NOCTTY;
  if (how == TargetOpen::kReplace) flags |= O_CREAT | O_TRUNC;
  const int fd = ::open(path.c_str(), flags, 0644);
  if (fd < 0) {
    result.error = errno;
    result.message = path + ": " + std::strerror(result.error);
    return result;
  }
  result.target.reset(new FileTarget(fd));
  return result;
}

FileTarget::~FileTarget() { ::close(fd_); }

bool FileTarget::writeAt(uint64_t offset, std::span<const uint8_t> bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const uint64_t at = offset + done;
    if (at > static_cast<uint64_t>(INT64_MAX)) {
      error_ = EFBIG;
      return false;
    }
    const ssize_t put = ::pwrite(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(at));
    if (put < 0) {
      if (errno == EINTR) continue;
      error_ = errno;
      return false;
    }
    if (put == 0) {
      error_ = ENOSPC;
      return false;
    }
    done += static_cast<size_t>(put);
  }
  return true;
}

bool FileTarget::flush() {
  if (::fsync(fd_) == 0 || errno == EINVAL) return true;  // EINVAL: a target that cannot sync (a pipe-like device)
  error_ = errno;
  return false;
}

std::optional<PathIdentity> IdentifyPath(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  PathIdentity id;
  id.blockDevice = S_ISBLK(st.st_mode);
  id.device = st.st_dev;
  id.inode = st.st_ino;
  id.rdev = st.st_rdev;
  return id;
}

std::optional<PathIdentity> IdentifyPathOrParent(const std::string& path) {
  std::error_code ec;
  std::filesystem::path p = std::filesystem::absolute(path.empty() ? "." : path, ec);
  for (int depth = 0; depth < 256; ++depth) {
    if (auto id = IdentifyPath(p.string())) return id;
    if (!p.has_parent_path() || p.parent_path() == p) return std::nullopt;
    p = p.parent_path();
  }
  return std::nullopt;
}

}  // namespace orvaldi::platform
