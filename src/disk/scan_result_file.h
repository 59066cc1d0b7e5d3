// The scan-result file: what searches found on one disk, kept as CR LF text so
// that a later run can load it instead of scanning again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "disk/disk_info.h"

namespace orvaldi::disk {

inline constexpr const char* kScanResultExtension = ".kvr_scn";

// Longest line the loader takes; the rest of a longer line is dropped. No
// line we write comes near it (a display name, a label, a carved-file name).
inline constexpr size_t kMaxScanResultLine = 4096;

// A line after which the file holds more than a scan result (a checkpoint
// of a scan under way): the loader stops there, so that such a file also
// loads as the result of what was found so far.
inline constexpr std::string_view kScanResultEndMark = "-----checkpoint-----";

struct ScanResultText {
  std::string bytes;
  // Texts that could not be written as they are: characters the code page
  // lacks and line breaks became "?".
  size_t alteredTexts = 0;
};

// The file's bytes for `disk`: its display name, directory sectors, MFT record
// runs, carved files, disk values, partitions and logical volumes, texts in
// the OEM code page.
ScanResultText FormatScanResult(const DiskInfo& disk);

struct ScanResultSave {
  bool ok = false;
  std::string error;  // one line when not ok
  size_t alteredTexts = 0;
};

// Writes FormatScanResult(disk) to `path`. A file that could not be written
// whole is removed, so that no cut-short file is left to pass for a result.
ScanResultSave SaveScanResult(const DiskInfo& disk, const std::string& path);

enum class ScanResultStatus : uint8_t {
  kOk,
  kCannotRead,  // the file could not be opened or read
  kOtherDisk,   // its first line names another disk; the disk is unchanged
};

struct ScanResultLoad {
  ScanResultStatus status = ScanResultStatus::kCannotRead;
  std::string message;               // one line for kCannotRead and kOtherDisk
  std::string fileDiskName;          // the display name the file's first line holds
  std::vector<std::string> dropped;  // records left out because they lie beyond the disk
};

// Loads `bytes` into `disk` when their first line is the disk's display name:
// the partitions and logical volumes are replaced, the directory sectors, MFT
// record runs and carved files added. Never trusts the text: numbers that do
// not parse read as 0, counts stop at the end of the text, long lines are
// cut, and records that would address sectors past the end of the disk are
// dropped (and listed in `dropped`).
ScanResultLoad LoadScanResult(DiskInfo& disk, std::string_view bytes);
ScanResultLoad LoadScanResultFile(DiskInfo& disk, const std::string& path);

}  // namespace orvaldi::disk
