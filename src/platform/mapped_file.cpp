// Read-only mappings of whole files.
#include "platform/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace orvaldi::platform {

std::unique_ptr<MappedFile> MappedFile::open(const std::string& path, int* error) {
  auto fail = [error](int e) {
    if (error) *error = e;
    return std::unique_ptr<MappedFile>();
  };
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(errno);
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const int e = errno ? errno : EINVAL;
    ::close(fd);
    return fail(S_ISREG(st.st_mode) ? e : EINVAL);
  }
  const auto size = static_cast<size_t>(st.st_size);
  if (size == 0) {
    ::close(fd);
    return std::unique_ptr<MappedFile>(new MappedFile(nullptr, 0));
  }
  void* p = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  const int e = errno;
  ::close(fd);
  if (p == MAP_FAILED) return fail(e);
  // The walks read the file once from front to back.
  ::madvise(p, size, MADV_SEQUENTIAL);
  return std::unique_ptr<MappedFile>(new MappedFile(static_cast<const uint8_t*>(p), size));
}

MappedFile::~MappedFile() {
  if (data_) ::munmap(const_cast<uint8_t*>(data_), size_);
}

}  // namespace orvaldi::platform
