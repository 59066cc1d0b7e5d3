// Windows dynamic disks: the private header, the database and the volumes it describes.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "disk/disk_info.h"
#include "platform/sector_source.h"

namespace orvaldi::disk::ldm {

using Guid = std::array<uint8_t, 16>;

// A GUID text "8-4-4-4-12" as 16 bytes, each pair of digits one byte in text
// order. Nothing when a dash is misplaced or a digit is not hexadecimal.
std::optional<Guid> ParseGuidText(std::string_view text);

// The 16 bytes written in decimal one after the other: how group and member
// identifiers are kept on the disk records.
std::string GuidDecimal(const Guid& guid);

inline constexpr uint64_t kPrivHeadSector = 6;

// The private header every dynamic disk carries three times.
struct PrivHead {
  uint16_t versionMajor = 0;
  uint16_t versionMinor = 0;
  Guid diskGuid{};
  Guid groupGuid{};
  std::string groupName;
  uint64_t logicalDiskStart = 0;
  uint64_t logicalDiskSize = 0;
  uint64_t configStart = 0;
  uint64_t configSize = 0;
};

enum class PrivHeadStatus : uint8_t { kOk, kNoSignature, kBadVersion, kBadLayout, kBadGuid };

struct PrivHeadResult {
  PrivHeadStatus status = PrivHeadStatus::kNoSignature;
  PrivHead head;
  std::string message;  // why it was refused; empty when accepted
};

// Checks one 512-byte header: signature, version 2.11 or 2.12, a logical disk
// that ends before the configuration, and both GUID texts.
PrivHeadResult ParsePrivHead(std::span<const uint8_t> sector);

// The database header at configuration start + 17.
struct Vmdb {
  uint32_t sequence = 0;  // the last record block in use
  uint32_t blockSize = 0;
  uint32_t firstBlockOffset = 0;  // bytes from this header
  uint16_t versionMajor = 0;
  uint16_t versionMinor = 0;
  std::array<uint32_t, 4> counts{};
};
inline constexpr uint64_t kVmdbSectorOffset = 17;

// Version 4.10 only; block sizes outside 64..4096 bytes are refused.
std::optional<Vmdb> ParseVmdb(std::span<const uint8_t> sector);

struct Component {
  uint64_t id = 0;
  std::string name;    // at most 15 characters
  uint8_t layout = 0;  // 1 striped, 2 spanned, 3 RAID-5
  uint8_t childCount = 0;
  uint64_t parentId = 0;  // the volume
  uint16_t stripeSectors = 0;
};

struct Partition {
  uint64_t id = 0;
  std::string name;
  uint64_t start = 0;  // sectors from the disk's logical disk start
  uint64_t volumeOffset = 0;
  uint64_t size = 0;
  uint64_t parentId = 0;  // the component
  uint64_t diskId = 0;
  uint64_t column = 0;  // position in a striped or RAID-5 row, when recorded
};

struct Disk {
  uint64_t id = 0;
  std::string name;  // at most 7 characters
  Guid guid{};
  std::string deviceName;
};

struct DiskGroup {
  uint64_t id = 0;
  std::string name;
  std::string guidText;  // at most 63 characters
};

struct Volume {
  uint64_t id = 0;
  std::string name;                     // at most 15 characters
  std::array<uint8_t, 16> typeBytes{};  // kept as found, from the second text's length byte on
  uint64_t size = 0;
  uint8_t partitionType = 0;
  Guid volumeGuid{};
  std::string driveHint;  // at most 3 characters
};

struct Database {
  std::vector<Component> components;
  std::vector<Partition> partitions;
  std::vector<Disk> disks;
  std::vector<DiskGroup> groups;
  std::vector<Volume> volumes;
};

enum class RecordKind : uint8_t { kNotUsed, kComponent, kPartition, kDisk, kDiskGroup, kVolume, kIgnored };

// Parses one record block into `db`. Blocks that are not "VBLK"/"KLOG",
// whose record spans several blocks, or whose fields leave the block are not
// used (kNotUsed); types 0x44 and 0x45 are known but add nothing (kIgnored).
RecordKind ParseRecord(std::span<const uint8_t> block, Database& db);

// Parses every record block of a configuration, given the bytes from the
// database header to the configuration's end.
std::optional<Database> ParseDatabase(std::span<const uint8_t> fromVmdb);

// One dynamic volume per volume record, in database order. Members hold the
// partition's start relative to their disk's logical disk start and no
// device path until AttachMember places them. A volume whose components are
// two or more copies is a mirror.
std::vector<PartitionInfo> BuildVolumes(const Database& db);

// Gives every member extent that lies on `disk` its device path and its
// absolute start. Members already placed are left alone.
void AttachMember(DiskInfo& group, const Guid& disk, const std::string& devicePath, uint64_t logicalDiskStart);

// What the partition-table reader calls for an MBR entry of type 0x42:
// validates the private headers, creates the group record in `groups` (or
// joins the one there) and attaches `disk` to it. Returns a one-line reason
// when the disk was left as it was, empty on success.
std::string ReadDynamicDisk(platform::SectorSource& source, DiskInfo& disk, const std::string& devicePath,
                            DiskInfoList& groups);

// The list group records go to: DiskList() unless a scope names another one
// (a command that loads its own set of images keeps its groups to itself).
class GroupListScope {
 public:
  explicit GroupListScope(DiskInfoList& list);
  ~GroupListScope();
  GroupListScope(const GroupListScope&) = delete;
  GroupListScope& operator=(const GroupListScope&) = delete;

 private:
  DiskInfoList* previous_;
};
DiskInfoList& CurrentGroupList();

}  // namespace orvaldi::disk::ldm
