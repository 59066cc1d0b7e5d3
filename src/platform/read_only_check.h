// A process-wide tripwire for the promise that a source is never written: off
// unless ORVALDI_CHECK_READ_ONLY=1, it aborts on any write-open that meets one.
#pragma once

#include <cstdint>
#include <string>

namespace orvaldi::platform {

// The writers that open files. Each names itself, so that an abort says
// which one was about to write onto a source.
enum class Writer : uint8_t {
  kImageTarget,     // FileTarget: an image, a disk, free space
  kReplacedFile,    // ReplaceFile: trees, checkpoints (and the temporary file beside them)
  kScanResult,      // a saved scan result
  kRescueMap,       // the imaging map and its temporary file
  kPartitionTable,  // UpdateFile: the partition-table tools
};
// Files created with O_EXCL (recovered and carved files, manifests, backups)
// are not checked: such an open fails on any existing file, a source included.

// Who may write onto a source at all. There is one exception to the rule,
// and it is named here so that no other writer can claim it by accident:
// the partition-table tools (restore and rebuild), which write the disk's
// own tables when the operator has confirmed it.
enum class SourceWrite : uint8_t {
  kNever,
  kPartitionTableTools,
};

// True when ORVALDI_CHECK_READ_ONLY was "1" at the first call (read once).
bool ReadOnlyCheckOn();

// A source was opened on `fd` with `openFlags`: aborts when the flags ask for
// anything but reading, and otherwise remembers the file (device and inode,
// or the device a block device is) for the rest of the process.
void NoteSourceOpen(int fd, int openFlags, const std::string& path);

// About to open `path` for writing (or to rename or unlink it): aborts when it
// names a source this process opened, however spelled (a hard link, a
// symbolic link, a relative path, another node of the same device). A path
// that does not exist yet meets no source. `permit` is kNever for every
// writer but the partition-table tools.
void CheckWriteOpen(const std::string& path, Writer writer, SourceWrite permit = SourceWrite::kNever);

}  // namespace orvaldi::platform
