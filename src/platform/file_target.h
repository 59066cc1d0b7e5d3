// Writable targets of a copy (an image file or a disk), and what a path
// names on this machine, so a copy can refuse to write onto its own source.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace orvaldi::platform {

// Where a copy writes. Writes are positioned; a short write is a failure.
class WriteTarget {
 public:
  virtual ~WriteTarget() = default;
  WriteTarget() = default;
  WriteTarget(const WriteTarget&) = delete;
  WriteTarget& operator=(const WriteTarget&) = delete;

  // True when every byte was written; otherwise `error()` holds the errno.
  virtual bool writeAt(uint64_t offset, std::span<const uint8_t> bytes) = 0;
  // Pushes written data to the device; false (with `error()`) on failure.
  virtual bool flush() = 0;
  virtual int error() const = 0;
};

enum class TargetOpen {
  kReplace,  // an image file created anew; an existing one is emptied first
  kKeep,     // an existing file or disk written in place (resume, or a disk)
};

class FileTarget final : public WriteTarget {
 public:
  struct OpenResult {
    std::unique_ptr<FileTarget> target;
    int error = 0;
    std::string message;  // one line for the operator, empty on success
  };
  static OpenResult open(const std::string& path, TargetOpen how);

  ~FileTarget() override;
  bool writeAt(uint64_t offset, std::span<const uint8_t> bytes) override;
  bool flush() override;
  int error() const override { return error_; }

 private:
  explicit FileTarget(int fd) : fd_(fd) {}
  int fd_;
  int error_ = 0;
};

// What a path is: its own identity, and for a block device the device it is.
struct PathIdentity {
  bool blockDevice = false;
  uint64_t device = 0;  // the device holding the file (st_dev)
  uint64_t inode = 0;
  uint64_t rdev = 0;  // for a block device: the device it is
};
// Nothing when the path does not exist.
std::optional<PathIdentity> IdentifyPath(const std::string& path);

// The identity of `path`, or when it does not exist yet of its nearest
// existing parent folder (which tells the device a new file would land on).
std::optional<PathIdentity> IdentifyPathOrParent(const std::string& path);

// How a path about to be written meets a source being read. Every writer
// (scan results, maps, images, free space, recovered and carved files,
// partition-table backups) asks this one question before it creates a byte.
enum class SourceClash : uint8_t {
  kNone,            // safe, or the source cannot be looked at
  kSameFile,        // the source itself: its path, a hard link, another node of its device
  kOnSourceDisk,    // a partition of the source disk, or a file on one of its volumes
  kSourceOnTarget,  // the disk or partition the source lies on
};

// What writing `targetPath` (existing or not) would do to `sourcePath`.
// Devices are related through `sysRoot`/dev/block (a partition sits inside
// its disk's folder, a mapped or md device lists what it is built on under
// "slaves").
SourceClash ClashWithSource(const std::string& sourcePath, const std::string& targetPath,
                            const std::string& sysRoot = "/sys");

// True when two paths to be written name one file: the same file or device
// however spelled, a hard link, or (when neither exists yet) the same
// absolute path.
bool SameWriteTarget(const std::string& a, const std::string& b);

}  // namespace orvaldi::platform

namespace orvaldi::platform::detail {
// Whether block device `device` (a dev_t) is `disk` (a dev_t), a partition
// of it, or is built on it (device mapper, md), following
// `sysRoot`/dev/block/MAJ:MIN and its "slaves" folders.
bool DeviceSitsOn(const std::string& sysRoot, uint64_t device, uint64_t disk);
}  // namespace orvaldi::platform::detail
