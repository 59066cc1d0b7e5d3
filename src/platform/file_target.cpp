// Positioned writes to image files and disks, and path identities.
#include "platform/file_target.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "platform/read_only_check.h"

namespace orvaldi::platform {

FileTarget::OpenResult FileTarget::open(const std::string& path, TargetOpen how) {
  OpenResult result;
  int flags = O_WRONLY | O_CLOEXEC | O_NOCTTY;
  if (how == TargetOpen::kReplace) flags |= O_CREAT | O_TRUNC;
  CheckWriteOpen(path, Writer::kImageTarget);
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

namespace {

bool SameNode(const PathIdentity& a, const PathIdentity& b) {
  if (a.blockDevice || b.blockDevice) return a.blockDevice && b.blockDevice && a.rdev == b.rdev;
  return a.device == b.device && a.inode == b.inode;
}

}  // namespace

SourceClash ClashWithSource(const std::string& sourcePath, const std::string& targetPath, const std::string& sysRoot) {
  const auto src = IdentifyPath(sourcePath);
  const auto exact = IdentifyPath(targetPath);
  const auto tgt = exact ? exact : IdentifyPathOrParent(targetPath);
  if (!src || !tgt) return SourceClash::kNone;
  if (exact && SameNode(*src, *exact)) return SourceClash::kSameFile;
  if (exact && exact->blockDevice) {
    // Writing a device: it must neither lie on the source disk nor hold it.
    if (src->blockDevice && detail::DeviceSitsOn(sysRoot, exact->rdev, src->rdev)) return SourceClash::kOnSourceDisk;
    const uint64_t holder = src->blockDevice ? src->rdev : src->device;
    if (detail::DeviceSitsOn(sysRoot, holder, exact->rdev)) return SourceClash::kSourceOnTarget;
    return SourceClash::kNone;
  }
  // A file (new or old) lands on the volume of its folder.
  if (src->blockDevice && detail::DeviceSitsOn(sysRoot, tgt->device, src->rdev)) return SourceClash::kOnSourceDisk;
  return SourceClash::kNone;
}

bool SameWriteTarget(const std::string& a, const std::string& b) {
  const auto ia = IdentifyPath(a);
  const auto ib = IdentifyPath(b);
  if (ia && ib) return SameNode(*ia, *ib);
  if (ia || ib) return false;  // one exists, the other does not: two names
  std::error_code ea, eb;
  const auto pa = std::filesystem::weakly_canonical(std::filesystem::absolute(a, ea), ea);
  const auto pb = std::filesystem::weakly_canonical(std::filesystem::absolute(b, eb), eb);
  return !ea && !eb && pa == pb;
}

namespace detail {

bool DeviceSitsOn(const std::string& sysRoot, uint64_t device, uint64_t disk) {
  namespace fsys = std::filesystem;
  auto name = [&](uint64_t dev) {
    return sysRoot + "/dev/block/" + std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
  };
  auto devOf = [](const fsys::path& folder) -> std::optional<uint64_t> {
    std::ifstream in(folder / "dev");
    unsigned ma = 0, mi = 0;
    char colon = 0;
    if (!(in >> ma >> colon >> mi) || colon != ':') return std::nullopt;
    return makedev(ma, mi);
  };
  std::vector<fsys::path> pending;
  std::error_code ec;
  if (device == disk) return true;
  pending.push_back(fsys::canonical(name(device), ec));
  if (ec) return false;
  for (int visited = 0; !pending.empty() && visited < 64; ++visited) {
    const fsys::path folder = pending.back();
    pending.pop_back();
    if (const auto dev = devOf(folder); dev && *dev == disk) return true;
    // A partition's folder sits inside its disk's folder.
    if (fsys::exists(folder / "partition", ec)) {
      if (const auto parent = devOf(folder.parent_path()); parent && *parent == disk) return true;
    }
    for (const auto& slave : fsys::directory_iterator(folder / "slaves", ec)) {
      fsys::path target = fsys::canonical(slave.path(), ec);
      if (!ec) pending.push_back(target);
    }
  }
  return false;
}

}  // namespace detail

}  // namespace orvaldi::platform
