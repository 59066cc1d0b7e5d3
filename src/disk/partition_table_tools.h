// Partition-table backup, restore and rebuild: the only operations that write
// to a disk under recovery. Each checks everything it can before the first
// byte is written, and reports a written byte only once it reached the medium.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "disk/disk_info.h"
#include "platform/block_devices.h"

namespace orvaldi::disk {

enum class PtableStatus : uint8_t {
  kOk,
  kRefused,    // the request does not fit this disk or this backup; nothing was written
  kBadBackup,  // the backup file is not one this system wrote whole; nothing was written
  kIoError,    // a read or write failed; `message` says whether anything was written
};

struct PtableResult {
  PtableStatus status = PtableStatus::kOk;
  std::string message;  // the operator's message, success included
};

// A backup file: 512-byte copies of disk sectors, then a text trailer
// "OFFSET^OFFSET^...^DEVICEPATH^DISPLAYNAME" (byte offsets in decimal). The
// trailer is what is left after the last whole block, so it must stay below
// 512 bytes.
inline constexpr size_t kBackupBlockBytes = 512;

// What a backup records of its disk besides path and name, so that it cannot
// match another disk: after the display name a NUL, then
// "size=BYTES sector0=SHA256HEX" (the disk's size and the digest of its
// sector 0 at backup time). Older backups end at the display name.
struct DiskIdentity {
  uint64_t sizeBytes = 0;
  std::string sector0Sha256;  // 64 lower-case hex digits
};

struct BackupContents {
  std::vector<uint64_t> offsets;  // byte offset on the disk of each block, in file order
  std::vector<uint8_t> blocks;    // offsets.size() x 512 bytes
  std::string devicePath;         // absolute in backups that carry an identity
  std::string displayName;
  std::optional<DiskIdentity> identity;
};

struct ParsedBackup {
  std::optional<BackupContents> contents;
  std::string error;  // why the bytes are not a whole backup, when contents is empty
};

// Reads a backup file's bytes. Pure: no disk is touched.
ParsedBackup ParseBackup(std::span<const uint8_t> bytes);

// The sectors a backup of `disk` holds: for each partition record, the
// sector after the previous record's end (the MBR for the first; the count
// taken modulo 2^32, as a 32-bit table holds it), then the record's first.
std::vector<uint64_t> BackupSectors(const DiskInfo& disk);

// Writes a new backup file at `path` (an existing file is never replaced).
PtableResult BackupPartitionTable(const DiskInfo& disk, const std::string& path);

// What restore would write, once the backup passed every check.
struct RestorePlan {
  PtableResult result;
  BackupContents backup;
  // How the disk now differs from the one the backup recorded (its size, its
  // sector 0), one line each; the operator must see these before writing.
  std::vector<std::string> differences;
};
RestorePlan PlanRestore(const DiskInfo& disk, const std::string& backupPath, const platform::SystemPaths& paths = {});
// PlanRestore, then the blocks written to the disk's own device path.
PtableResult RestorePartitionTable(const DiskInfo& disk, const std::string& backupPath,
                                   const platform::SystemPaths& paths = {});

// One row of the rebuild list, tied to its record.
struct RebuildRow {
  size_t recordIndex = 0;  // into disk.partitions
  std::string system;      // "NTFS", "FAT32" or "FAT16"
  std::string label;
  uint64_t startSector = 0;
  uint64_t sectorCount = 0;
  TableKind tableKind = TableKind::kPrimary;
};

// The records a new MBR may be built from: NTFS, FAT32 and FAT16 records of
// the table and found by a search, without volumes rebuilt by the raw scan
// and without found ones that repeat a table record of the same family.
std::vector<RebuildRow> RebuildCandidates(const DiskInfo& disk);

// A primary-table entry of the new MBR. Its numbers are the disk's own
// logical sectors (DiskInfo::bytesPerSector), as the entry holds them: on a
// disk of 4,096-byte sectors a record at 512-byte sector 2,048 becomes LBA 256.
struct RebuildEntry {
  size_t row = 0;  // position in RebuildCandidates
  uint8_t typeByte = 0;
  uint32_t startSector = 0;
  uint32_t sectorCount = 0;
};

struct RebuildPlan {
  PtableResult result;
  std::vector<RebuildEntry> entries;  // entries 0, 1, ... in list order; the rest are zeroed
};

// Checks the chosen rows (positions in RebuildCandidates) and works out the
// entries they become.
RebuildPlan PlanRebuild(const DiskInfo& disk, std::span<const size_t> rows, const platform::SystemPaths& paths = {});
// PlanRebuild, then sector 0 rewritten: the chosen entries in list order, boot
// flags and CHS fields kept from the old table, the entries after them zeroed.
PtableResult RebuildPartitionTable(const DiskInfo& disk, std::span<const size_t> rows,
                                   const platform::SystemPaths& paths = {});

// True when `disk` is (or lies on) the disk holding the root file system.
// An image file never is.
bool HoldsRunningSystem(const DiskInfo& disk, const platform::SystemPaths& paths = {});

}  // namespace orvaldi::disk
