// orvaldi-faultyfs: serves one image file through FUSE, failing reads of chosen sectors with EIO,
// so that the command-line tool can be tried on a "disk" with unreadable sectors.
//
//   orvaldi-faultyfs IMAGE MOUNTPOINT BAD [FUSE options, e.g. -f]
//
// BAD lists 512-byte sectors and inclusive ranges: "2048,4100-4163". The mount shows one read-only
// file named like IMAGE. A read that reaches a bad sector delivers the bytes before it (a short
// read) and fails with EIO when it starts on one, as a drive's driver does; direct I/O keeps the
// kernel from widening reads into whole pages of its cache.
#define FUSE_USE_VERSION 31

#include <fuse.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uint64_t kSector = 512;

struct Served {
  std::string name;  // "/" + basename of the image
  int fd = -1;
  uint64_t size = 0;
  std::vector<std::pair<uint64_t, uint64_t>> bad;  // sorted, inclusive sector ranges
};

Served g_served;

// First bad sector in [first, last], or UINT64_MAX.
uint64_t FirstBad(uint64_t first, uint64_t last) {
  for (const auto& [lo, hi] : g_served.bad) {
    if (hi < first) continue;
    if (lo > last) break;
    return lo > first ? lo : first;
  }
  return UINT64_MAX;
}

bool ParseBad(const char* text, std::vector<std::pair<uint64_t, uint64_t>>& out) {
  std::string s(text);
  size_t at = 0;
  while (at < s.size()) {
    size_t comma = s.find(',', at);
    if (comma == std::string::npos) comma = s.size();
    const std::string item = s.substr(at, comma - at);
    at = comma + 1;
    if (item.empty()) continue;
    char* end = nullptr;
    errno = 0;
    const unsigned long long lo = std::strtoull(item.c_str(), &end, 10);
    unsigned long long hi = lo;
    if (errno != 0 || end == item.c_str()) return false;
    if (*end == '-') {
      const char* from = end + 1;
      hi = std::strtoull(from, &end, 10);
      if (errno != 0 || end == from || hi < lo) return false;
    }
    if (*end != '\0') return false;
    out.emplace_back(lo, hi);
  }
  std::sort(out.begin(), out.end());
  return true;
}

int DoGetattr(const char* path, struct stat* st, fuse_file_info*) {
  std::memset(st, 0, sizeof *st);
  if (std::strcmp(path, "/") == 0) {
    st->st_mode = S_IFDIR | 0555;
    st->st_nlink = 2;
    return 0;
  }
  if (g_served.name != path) return -ENOENT;
  st->st_mode = S_IFREG | 0444;
  st->st_nlink = 1;
  st->st_size = static_cast<off_t>(g_served.size);
  return 0;
}

int DoReaddir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info*, fuse_readdir_flags) {
  if (std::strcmp(path, "/") != 0) return -ENOENT;
  fill(buf, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buf, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buf, g_served.name.c_str() + 1, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  return 0;
}

int DoOpen(const char* path, fuse_file_info* fi) {
  if (g_served.name != path) return -ENOENT;
  if ((fi->flags & O_ACCMODE) != O_RDONLY) return -EROFS;
  fi->direct_io = 1;
  return 0;
}

int DoRead(const char* path, char* buf, size_t size, off_t offset, fuse_file_info*) {
  if (g_served.name != path) return -ENOENT;
  if (offset < 0) return -EINVAL;
  const uint64_t at = static_cast<uint64_t>(offset);
  if (at >= g_served.size || size == 0) return 0;
  uint64_t want = size;
  if (want > g_served.size - at) want = g_served.size - at;
  const uint64_t bad = FirstBad(at / kSector, (at + want - 1) / kSector);
  if (bad != UINT64_MAX) {
    const uint64_t badAt = bad * kSector;
    if (badAt <= at) return -EIO;
    want = badAt - at;
  }
  uint64_t done = 0;
  while (done < want) {
    const ssize_t got = ::pread(g_served.fd, buf + done, want - done, static_cast<off_t>(at + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      return done ? static_cast<int>(done) : -errno;
    }
    if (got == 0) break;
    done += static_cast<uint64_t>(got);
  }
  return static_cast<int>(done);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s IMAGE MOUNTPOINT BAD-SECTORS [FUSE options]\n", argv[0]);
    return 2;
  }
  const char* image = argv[1];
  g_served.fd = ::open(image, O_RDONLY | O_CLOEXEC);
  if (g_served.fd < 0) {
    std::fprintf(stderr, "orvaldi-faultyfs: %s: %s\n", image, std::strerror(errno));
    return 1;
  }
  struct stat st {};
  if (::fstat(g_served.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    std::fprintf(stderr, "orvaldi-faultyfs: %s: not a regular file\n", image);
    return 1;
  }
  g_served.size = static_cast<uint64_t>(st.st_size);
  const char* slash = std::strrchr(image, '/');
  g_served.name = std::string("/") + (slash ? slash + 1 : image);
  if (!ParseBad(argv[3], g_served.bad)) {
    std::fprintf(stderr, "orvaldi-faultyfs: bad sector list '%s' (want e.g. 2048,4100-4163)\n", argv[3]);
    return 2;
  }

  fuse_operations ops{};
  ops.getattr = DoGetattr;
  ops.readdir = DoReaddir;
  ops.open = DoOpen;
  ops.read = DoRead;

  // fuse_main takes: program, mount point, then the caller's options.
  std::vector<char*> args{argv[0], argv[2]};
  static char kReadOnly[] = "-oro,default_permissions";
  args.push_back(kReadOnly);
  for (int i = 4; i < argc; ++i) args.push_back(argv[i]);
  return fuse_main(static_cast<int>(args.size()), args.data(), &ops, nullptr);
}
