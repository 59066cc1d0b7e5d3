// The disk record and the process-wide list of disk sources.
#pragma once

#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "disk/carved_node.h"
#include "disk/partition_info.h"
#include "disk/volume_records.h"
#include "platform/byte_areas.h"
#include "platform/sector_source.h"

namespace orvaldi::disk {

// Faults the partition-table reader met and read past, for the listings to
// report: a table whose checksums do not match may be stale or damaged.
struct TableChecks {
  bool gptHeaderCrcMismatch = false;
  bool gptEntriesCrcMismatch = false;
  bool gptBackupHeaderUsed = false;  // the main header was gone: the table is the backup's
  // An MBR disk larger than its 32-bit entries reach: the first sector no
  // entry covers or could begin at, beyond which the table holds nothing;
  // 0 when the table reaches the disk's end.
  uint64_t mbrReachEnd = 0;
};

// What a disk record stands for: one drive or image, or the group of a
// dynamic disk's members.
enum class DiskKind : uint8_t { kDrive = 0, kDynamicGroup = 2 };

// The number the disk listings write for it.
constexpr unsigned NumberOf(DiskKind kind) { return static_cast<unsigned>(kind); }

struct DiskInfo {
  std::string serialNumber;
  std::string devicePath;  // reopened by every operation; an image's full path
  std::string index;       // drive number "%d"; empty for images
  std::string productId;
  std::string vendorId;  // an image's file name without its folder
  std::string revision;
  int64_t sizeBytes = 0;
  uint32_t cylinders = 0;
  uint32_t tracksPerCylinder = 0;
  uint32_t sectorsPerTrack = 0;
  uint32_t fixedMedia = 0;
  // A deque, so that records handed to running operations stay where they
  // are while later searches append to the list.
  std::deque<PartitionInfo> partitions;
  std::set<uint64_t> directorySectors;
  std::map<uint64_t, uint32_t> mftRecordRuns;
  CarvedNode extraFoundFolder;
  uint32_t mapEntryCount = 0;
  uint32_t bytesPerSector = platform::SectorSize;
  DiskKind diskKind = DiskKind::kDrive;
  std::string memberId;
  std::string groupId;
  std::vector<LogicalVolume> logicalVolumes;
  uint64_t lvmPeStart = 0;
  uint32_t lvmPeCount = 0;
  uint32_t reserved1 = 0;  // kept only for the scan-result file
  uint32_t lvmExtentSize = 0;
  uint64_t lvmDevSize = 0;
  uint64_t reserved2 = 0;  // kept only for the scan-result file
  uint32_t reserved3 = 0;  // kept only for the scan-result file
  TableChecks tableChecks;
  // Areas an earlier copy of this disk never read (a rescue map's): reads
  // that reach into them fail, so an image reads as the failing disk did.
  // Bytes absolute on the source; none when unset.
  std::shared_ptr<const platform::ByteAreas> unreadableAreas;
};

// Physical drives first in drive order, then images in the order opened.
// Records are appended, and a closed image's record is erased; a list, so
// that references to every other record stay valid through both.
using DiskInfoList = std::list<DiskInfo>;
DiskInfoList& DiskList();

// vendorId + productId + index + revision; an image's file name.
std::string DisplayName(const DiskInfo& disk);

}  // namespace orvaldi::disk
