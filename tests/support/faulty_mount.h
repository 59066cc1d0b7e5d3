// An image served through FUSE with sectors that fail with EIO, for trying the
// command-line tool on a disk with unreadable sectors.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace orvaldi::test {

// Mounts `image` read-only in a fresh folder with reads of `badSectors`
// ("2048,4100-4163": 512-byte sectors and inclusive ranges) failing, and
// unmounts it again with the object.
class FaultyMount {
 public:
  FaultyMount(const std::filesystem::path& image, const std::string& badSectors);
  ~FaultyMount();
  FaultyMount(const FaultyMount&) = delete;
  FaultyMount& operator=(const FaultyMount&) = delete;

  // False when the mount failed; `error()` says why.
  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }
  // The served copy of the image.
  std::filesystem::path path() const { return file_; }

  // True when this machine can mount FUSE file systems at all.
  static bool Available();

 private:
  std::filesystem::path dir_;
  std::filesystem::path file_;
  pid_t pid_ = -1;
  bool ok_ = false;
  std::string error_;
};

}  // namespace orvaldi::test
