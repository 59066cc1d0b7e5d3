// The read-only tripwire: the sources this process opened, and the aborts.
#include "platform/read_only_check.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>

namespace orvaldi::platform {
namespace {

struct OpenedSource {
  bool blockDevice = false;
  uint64_t device = 0;  // st_dev of a file, st_rdev of a block device
  uint64_t inode = 0;
  std::string path;
};

struct Registry {
  std::mutex lock;
  std::vector<OpenedSource> sources;
};

Registry& Sources() {
  static Registry registry;
  return registry;
}

const char* WriterName(Writer writer) {
  switch (writer) {
    case Writer::kImageTarget:
      return "the image or free-space target";
    case Writer::kReplacedFile:
      return "a tree, checkpoint or list file";
    case Writer::kScanResult:
      return "the scan-result file";
    case Writer::kRescueMap:
      return "the rescue map";
    case Writer::kPartitionTable:
      return "the partition-table tools";
  }
  return "a writer";
}

[[noreturn]] void Trip(const std::string& what) {
  std::fprintf(stderr, "orvaldi: read-only check (ORVALDI_CHECK_READ_ONLY=1) failed: %s; aborting\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

bool Matches(const OpenedSource& s, const struct stat& st) {
  if (s.blockDevice) return S_ISBLK(st.st_mode) && st.st_rdev == s.device;
  return !S_ISBLK(st.st_mode) && st.st_dev == s.device && st.st_ino == s.inode;
}

}  // namespace

bool ReadOnlyCheckOn() {
  static const bool on = [] {
    const char* value = std::getenv("ORVALDI_CHECK_READ_ONLY");
    return value && std::strcmp(value, "1") == 0;
  }();
  return on;
}

void NoteSourceOpen(int fd, int openFlags, const std::string& path) {
  if (!ReadOnlyCheckOn()) return;
  if ((openFlags & O_ACCMODE) != O_RDONLY || (openFlags & (O_CREAT | O_TRUNC | O_APPEND)) != 0) {
    char flags[16];
    std::snprintf(flags, sizeof flags, "0%o", static_cast<unsigned>(openFlags));
    Trip("the source " + path + " was opened with flags " + flags + ", not read-only");
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) return;
  OpenedSource s;
  s.blockDevice = S_ISBLK(st.st_mode);
  s.device = s.blockDevice ? st.st_rdev : st.st_dev;
  s.inode = st.st_ino;
  s.path = path;
  Registry& r = Sources();
  std::lock_guard guard(r.lock);
  for (const OpenedSource& known : r.sources)
    if (Matches(known, st)) return;
  r.sources.push_back(std::move(s));
}

void CheckWriteOpen(const std::string& path, Writer writer, SourceWrite permit) {
  if (!ReadOnlyCheckOn()) return;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return;  // nothing there yet, so no source either
  // The one writer the rule allows onto a source, and only for itself.
  if (permit == SourceWrite::kPartitionTableTools && writer == Writer::kPartitionTable) return;
  Registry& r = Sources();
  std::lock_guard guard(r.lock);
  for (const OpenedSource& s : r.sources) {
    if (Matches(s, st))
      Trip(std::string(WriterName(writer)) + " was about to write " + path + ", which is the source " + s.path +
           " (device " + std::to_string(s.device) + ", inode " + std::to_string(s.inode) + ")");
  }
}

}  // namespace orvaldi::platform
