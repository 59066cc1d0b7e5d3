// Partition-table backup, restore and rebuild.
#include "disk/partition_table_tools.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <filesystem>

#include "disk/bytes.h"
#include "disk/fs_family.h"
#include "disk/mbr_entries.h"
#include "disk/recognisers.h"
#include "disk/sector_io.h"
#include "disk/sha256.h"
#include "platform/update_file.h"

namespace orvaldi::disk {
namespace {

constexpr char kSeparator = '^';
constexpr uint64_t kMbrLimit = uint64_t{1} << 32;  // MBR entries hold 32-bit sector numbers
// A trailer below 512 bytes lists at most 255 offsets ("0^" each), so a
// longer file is not a backup and is not read into memory.
constexpr uint64_t kMaxBackupBytes = 256 * kBackupBlockBytes + kBackupBlockBytes - 1;

const char* const kBackupDone = "备份成功";
const char* const kWrongDisk = "备份信息与磁盘不对应";
const char* const kRestoreDone = "恢复成功";
const char* const kBadChoice = "选择错误，请从新选择";
const char* const kSystemDisk = "不能更改当前系统所在的硬盘分区信息！";
const char* const kCreateFailed = "open file error!";

PtableResult Refused(std::string message) { return {PtableStatus::kRefused, std::move(message)}; }

// A group record names the group, not a device: its tables lie on the member
// disks, each backed up, restored or rebuilt on its own.
bool IsGroup(const DiskInfo& disk) { return disk.diskKind == DiskKind::kDynamicGroup; }
std::string GroupRefusal(const DiskInfo& disk) {
  return disk.devicePath + " is a dynamic disk group; the partition-table tools work on one member disk at a time";
}
PtableResult IoError(std::string message) { return {PtableStatus::kIoError, std::move(message)}; }

void StoreLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

std::string Errno(int error) { return std::strerror(error); }

std::string FileNameOf(const std::string& path) {
  const size_t cut = path.find_last_of("/\\");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

// Sectors of the disk as far as it can be opened; the record's size when it cannot.
uint64_t DiskBytes(const DiskInfo& disk, const SectorSource* source) {
  if (source && source->size() != 0) return source->size();
  return disk.sizeBytes > 0 ? static_cast<uint64_t>(disk.sizeBytes) : 0;
}

bool InsideDisk(uint64_t offset, uint64_t diskBytes) {
  return offset <= diskBytes && diskBytes - offset >= kBackupBlockBytes;
}

constexpr char kIdentityMark = '\0';  // no path or name holds one

// The path a backup records: absolute, so that the same relative name typed
// in another folder cannot pass for it.
std::string AbsolutePath(const std::string& path) {
  std::error_code ec;
  const auto p = std::filesystem::weakly_canonical(std::filesystem::absolute(path, ec), ec);
  return ec ? path : p.string();
}

std::string BackupTrailer(const DiskInfo& disk, const std::vector<uint64_t>& sectors, const DiskIdentity& id) {
  std::string trailer;
  for (uint64_t sector : sectors) trailer += std::to_string(sector * SectorSize) + kSeparator;
  trailer += AbsolutePath(disk.devicePath) + kSeparator + DisplayName(disk);
  trailer += kIdentityMark;
  return trailer + "size=" + std::to_string(id.sizeBytes) + " sector0=" + id.sector0Sha256;
}

std::optional<DiskIdentity> ParseIdentity(std::string_view text) {
  constexpr std::string_view kSize = "size=", kSector0 = " sector0=";
  if (text.substr(0, kSize.size()) != kSize) return std::nullopt;
  const size_t cut = text.find(kSector0);
  if (cut == std::string_view::npos) return std::nullopt;
  DiskIdentity id;
  const std::string_view size = text.substr(kSize.size(), cut - kSize.size());
  const auto [end, ec] = std::from_chars(size.data(), size.data() + size.size(), id.sizeBytes);
  if (size.empty() || ec != std::errc() || end != size.data() + size.size()) return std::nullopt;
  id.sector0Sha256 = std::string(text.substr(cut + kSector0.size()));
  if (id.sector0Sha256.size() != 64 || !std::all_of(id.sector0Sha256.begin(), id.sector0Sha256.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
      }))
    return std::nullopt;
  return id;
}

// Whether two device paths name one disk: the same file or device, or the
// same absolute path (a disk that cannot be looked at now).
bool SameDiskPath(const std::string& a, const std::string& b) {
  return platform::SameFile(a, b) || AbsolutePath(a) == AbsolutePath(b);
}

bool ParseOffset(std::string_view text, uint64_t& value) {
  if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

ParsedBackup ParseBackup(std::span<const uint8_t> bytes) {
  ParsedBackup out;
  const size_t trailerBytes = bytes.size() % kBackupBlockBytes;
  const size_t blockCount = bytes.size() / kBackupBlockBytes;
  if (trailerBytes == 0) {
    out.error = "no trailer after the blocks (the file length is a multiple of 512)";
    return out;
  }
  std::string trailer(bytes.end() - static_cast<std::ptrdiff_t>(trailerBytes), bytes.end());
  std::optional<DiskIdentity> identity;
  if (const size_t mark = trailer.find(kIdentityMark); mark != std::string::npos) {
    identity = ParseIdentity(std::string_view(trailer).substr(mark + 1));
    if (!identity) {
      out.error = "the trailer's disk identity is not \"size=BYTES sector0=SHA256\"";
      return out;
    }
    trailer.resize(mark);
  }
  const size_t nameCut = trailer.rfind(kSeparator);
  const size_t pathCut =
      nameCut == std::string::npos || nameCut == 0 ? std::string::npos : trailer.rfind(kSeparator, nameCut - 1);
  if (pathCut == std::string::npos) {
    out.error = "the trailer does not name a device path and a disk";
    return out;
  }
  BackupContents c;
  c.displayName = trailer.substr(nameCut + 1);
  c.devicePath = trailer.substr(pathCut + 1, nameCut - pathCut - 1);
  c.identity = std::move(identity);
  if (c.displayName.empty() || c.devicePath.empty()) {
    out.error = "the trailer's device path or disk name is empty";
    return out;
  }
  const std::string_view list(trailer.data(), pathCut);
  for (size_t from = 0;;) {
    const size_t cut = std::min(list.find(kSeparator, from), list.size());
    uint64_t offset = 0;
    if (!ParseOffset(list.substr(from, cut - from), offset)) {
      out.error = "offset \"" + std::string(list.substr(from, cut - from)) + "\" is not a decimal byte offset";
      return out;
    }
    if (offset % SectorSize != 0) {
      out.error = "offset " + std::to_string(offset) + " is not at a sector boundary";
      return out;
    }
    c.offsets.push_back(offset);
    if (cut == list.size()) break;
    from = cut + 1;
  }
  if (c.offsets.size() != blockCount) {
    out.error = "the trailer lists " + std::to_string(c.offsets.size()) + " offsets but the file holds " +
                std::to_string(blockCount) + " whole blocks";
    return out;
  }
  c.blocks.assign(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(blockCount * kBackupBlockBytes));
  out.contents = std::move(c);
  return out;
}

std::vector<uint64_t> BackupSectors(const DiskInfo& disk) {
  std::vector<uint64_t> sectors;
  const PartitionInfo* previous = nullptr;
  for (const PartitionInfo& p : disk.partitions) {
    uint64_t follow = 0;
    if (previous) {
      const uint64_t count = previous->sectorCount & 0xFFFFFFFFu;
      follow = previous->startSector > UINT64_MAX - count ? UINT64_MAX : previous->startSector + count;
    }
    sectors.push_back(follow);
    sectors.push_back(p.startSector);
    previous = &p;
  }
  return sectors;
}

PtableResult BackupPartitionTable(const DiskInfo& disk, const std::string& path) {
  if (IsGroup(disk)) return Refused(GroupRefusal(disk));
  if (disk.partitions.empty()) return Refused("the disk has no partition records: nothing to back up");
  const std::string name = DisplayName(disk);
  if (AbsolutePath(disk.devicePath).find(kSeparator) != std::string::npos || name.find(kSeparator) != std::string::npos)
    return Refused("the device path or the disk name contains \"^\", which a backup's trailer cannot hold");
  const std::vector<uint64_t> sectors = BackupSectors(disk);
  // The identity's length does not depend on what is read: check the size
  // of the trailer before anything is.
  const auto tooLong = [&](const std::string& trailer) {
    return Refused("the backup's trailer would take " + std::to_string(trailer.size()) + " bytes (" +
                   std::to_string(disk.partitions.size()) +
                   " partition records); it must stay below 512 bytes to be read back. Nothing written");
  };
  if (const std::string t = BackupTrailer(disk, sectors, {UINT64_MAX, std::string(64, '0')});
      t.size() >= kBackupBlockBytes)
    return tooLong(t);

  std::string error;
  auto source = OpenSource(disk, &error);
  if (!source) return IoError(error);
  const uint64_t diskBytes = DiskBytes(disk, source.get());
  std::vector<uint8_t> bytes(sectors.size() * kBackupBlockBytes);
  for (size_t i = 0; i < sectors.size(); ++i) {
    if (sectors[i] > UINT64_MAX / SectorSize || !InsideDisk(sectors[i] * SectorSize, diskBytes))
      return Refused("sector " + std::to_string(sectors[i]) + " lies beyond the end of the disk (" +
                     std::to_string(diskBytes / SectorSize) + " sectors). Nothing written");
    const SectorRead read = ReadSectors(*source, sectors[i], 1, bytes.data() + i * kBackupBlockBytes);
    if (!read.complete)
      return IoError("sector " + std::to_string(sectors[i]) + " could not be read" +
                     (read.error ? " (" + Errno(read.error) + ")" : std::string()) + "; no backup written");
  }
  // The first block is always sector 0 (BackupSectors starts there).
  const DiskIdentity id{diskBytes, Sha256Hex(std::span<const uint8_t>(bytes.data(), kBackupBlockBytes))};
  const std::string trailer = BackupTrailer(disk, sectors, id);
  bytes.insert(bytes.end(), trailer.begin(), trailer.end());
  if (const int e = platform::WriteNewFile(path, bytes); e != 0)
    return IoError(std::string(kCreateFailed) + " " + path + ": " + Errno(e));
  return {PtableStatus::kOk, kBackupDone};
}

bool HoldsRunningSystem(const DiskInfo& disk, const platform::SystemPaths& paths) {
  std::error_code ec;
  if (std::filesystem::is_regular_file(disk.devicePath, ec)) return false;
  // A drive that cannot be looked at now still goes by its kernel name.
  const std::string name = platform::WholeDiskNameOf(disk.devicePath, paths).value_or(FileNameOf(disk.devicePath));
  const auto roots = platform::RootDiskNames(paths);
  return std::find(roots.begin(), roots.end(), name) != roots.end();
}

RestorePlan PlanRestore(const DiskInfo& disk, const std::string& backupPath, const platform::SystemPaths& paths) {
  RestorePlan plan;
  if (IsGroup(disk)) {
    plan.result = Refused(GroupRefusal(disk));
    return plan;
  }
  auto opened = platform::FileSource::open(backupPath);
  if (!opened.source) {
    plan.result = IoError(opened.message);
    return plan;
  }
  const uint64_t size = opened.source->size();
  if (size > kMaxBackupBytes) {
    plan.result = {PtableStatus::kBadBackup,
                   backupPath + ": " + std::to_string(size) + " bytes is more than a backup can hold; nothing written"};
    return plan;
  }
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  const auto read = opened.source->readAt(0, bytes);
  if (read.bytes != size) {
    plan.result = IoError(backupPath + ": could not be read" + (read.error ? " (" + Errno(read.error) + ")" : "") +
                          "; nothing written");
    return plan;
  }
  ParsedBackup parsed = ParseBackup(bytes);
  if (!parsed.contents) {
    plan.result = {PtableStatus::kBadBackup,
                   backupPath + ": not a whole backup: " + parsed.error + "; nothing written"};
    return plan;
  }
  plan.backup = std::move(*parsed.contents);
  const BackupContents& b = plan.backup;
  if (b.displayName != DisplayName(disk)) {
    plan.result = Refused(kWrongDisk);
    return plan;
  }
  // The file names the device it was taken from; restore writes only to the
  // disk it was asked to, and only when that is the same device.
  if (!SameDiskPath(b.devicePath, disk.devicePath)) {
    plan.result = Refused(std::string(kWrongDisk) + ": the backup was taken from " + b.devicePath + ", not from " +
                          disk.devicePath + "; nothing written");
    return plan;
  }
  const uint64_t diskBytes = DiskBytes(disk, nullptr);
  for (uint64_t offset : b.offsets) {
    if (!InsideDisk(offset, diskBytes)) {
      plan.result =
          Refused("the backup's block at byte offset " + std::to_string(offset) + " lies beyond the end of the disk (" +
                  std::to_string(diskBytes) + " bytes); nothing written");
      return plan;
    }
  }
  if (HoldsRunningSystem(disk, paths)) {
    plan.result = Refused(kSystemDisk);
    return plan;
  }
  if (b.identity) {
    std::string error;
    auto source = OpenSource(disk, &error);
    if (!source) {
      plan.result = IoError(error + "; nothing written");
      return plan;
    }
    std::array<uint8_t, kBackupBlockBytes> sector0{};
    const SectorRead first = ReadSectors(*source, 0, 1, sector0.data());
    if (!first.complete) {
      plan.result = IoError("sector 0 of " + disk.devicePath + " could not be read; nothing written");
      return plan;
    }
    const uint64_t now = DiskBytes(disk, source.get());
    if (now != b.identity->sizeBytes)
      plan.differences.push_back("disk size: " + std::to_string(b.identity->sizeBytes) + " bytes at backup time, " +
                                 std::to_string(now) + " bytes now");
    if (const std::string digest = Sha256Hex(sector0); digest != b.identity->sector0Sha256)
      plan.differences.push_back("sector 0: SHA-256 " + b.identity->sector0Sha256 + " at backup time, " + digest +
                                 " now");
  }
  plan.result = {PtableStatus::kOk, kRestoreDone};
  return plan;
}

PtableResult RestorePartitionTable(const DiskInfo& disk, const std::string& backupPath,
                                   const platform::SystemPaths& paths) {
  const RestorePlan plan = PlanRestore(disk, backupPath, paths);
  if (plan.result.status != PtableStatus::kOk) return plan.result;
  auto opened = platform::UpdateFile::OpenForUpdate(disk.devicePath, platform::SourceWrite::kPartitionTableTools);
  if (!opened.file) return IoError(opened.message + "; nothing written");
  platform::UpdateFile& target = *opened.file;
  // The device may have changed size since the disk was read.
  for (uint64_t offset : plan.backup.offsets) {
    if (!InsideDisk(offset, target.size()))
      return Refused("the backup's block at byte offset " + std::to_string(offset) + " lies beyond the end of " +
                     disk.devicePath + "; nothing written");
  }
  const auto& offsets = plan.backup.offsets;
  for (size_t i = 0; i < offsets.size(); ++i) {
    const std::span<const uint8_t> block(plan.backup.blocks.data() + i * kBackupBlockBytes, kBackupBlockBytes);
    if (const int e = target.writeAt(offsets[i], block); e != 0)
      return IoError("writing byte offset " + std::to_string(offsets[i]) + " failed (" + Errno(e) + ") after " +
                     std::to_string(i) + " of " + std::to_string(offsets.size()) +
                     " blocks were written; the disk's tables may now disagree with each other");
  }
  if (const int e = target.sync(); e != 0)
    return IoError("the written blocks could not be flushed to " + disk.devicePath + " (" + Errno(e) + ")");
  return plan.result;
}

std::vector<RebuildRow> RebuildCandidates(const DiskInfo& disk) {
  std::vector<RebuildRow> rows;
  for (size_t i = 0; i < disk.partitions.size(); ++i) {
    const PartitionInfo& p = disk.partitions[i];
    const FsFamily family = FamilyOf(p.typeByte);
    if (p.origin == PartitionOrigin::kRebuilt || family == FsFamily::kOther || family == FsFamily::kExfat) continue;
    if (p.origin == PartitionOrigin::kFound) {
      const bool repeatsTable = std::any_of(disk.partitions.begin(), disk.partitions.end(), [&](const auto& q) {
        return q.origin == PartitionOrigin::kTable && q.startSector == p.startSector && FamilyOf(q.typeByte) == family;
      });
      if (repeatsTable) continue;
    }
    const char* system = family == FsFamily::kNtfs ? "NTFS" : family == FsFamily::kFat32 ? "FAT32" : "FAT16";
    rows.push_back({i, system, p.volumeLabel, p.startSector, p.sectorCount, p.tableKind});
  }
  return rows;
}

RebuildPlan PlanRebuild(const DiskInfo& disk, std::span<const size_t> rows, const platform::SystemPaths& paths) {
  RebuildPlan plan;
  auto refuse = [&plan](std::string message) {
    plan.entries.clear();
    plan.result = Refused(std::move(message));
    return plan;
  };
  if (IsGroup(disk)) return refuse(GroupRefusal(disk));
  const auto candidates = RebuildCandidates(disk);
  // The entries count the disk's own sectors; the records count 512-byte ones.
  const uint64_t unit = std::max<uint64_t>(1, SectorsPerLogical(disk.bytesPerSector));
  std::vector<size_t> chosen(rows.begin(), rows.end());
  std::sort(chosen.begin(), chosen.end());  // entries follow the list, not the order of choosing
  if (chosen.empty()) return refuse("no row chosen; nothing written");
  if (chosen.size() > 4 || std::adjacent_find(chosen.begin(), chosen.end()) != chosen.end()) return refuse(kBadChoice);
  for (size_t row : chosen) {
    if (row >= candidates.size())
      return refuse(std::string(kBadChoice) + ": the list has " + std::to_string(candidates.size()) + " rows");
    const RebuildRow& r = candidates[row];
    const PartitionInfo& p = disk.partitions[r.recordIndex];
    const std::string which = "the " + r.system + " partition at sector " + std::to_string(p.startSector);
    if (p.startSector % unit != 0 || p.sectorCount % unit != 0)
      return refuse(which + " (" + std::to_string(p.sectorCount) + " sectors) does not lie on the " +
                    std::to_string(disk.bytesPerSector) + "-byte sectors of this disk; nothing written");
    const uint64_t first = p.startSector / unit;
    if (first >= kMbrLimit)
      return refuse(which + " lies at or beyond sector 2^32, which an MBR entry cannot describe; nothing written");
    if (first == 0) return refuse(which + " begins in sector 0, where the table itself lies; nothing written");
    // A found NTFS volume took its count from the boot sector, which leaves
    // out the backup boot sector in the one disk sector just past the
    // counted ones; the entry must cover it. Counts read from a table are
    // the table's own.
    const bool countFromBootSector = FamilyOf(p.typeByte) == FsFamily::kNtfs && p.origin == PartitionOrigin::kFound;
    const uint64_t extra = countFromBootSector ? 1 : 0;
    const uint64_t sectors = p.sectorCount / unit;
    if (sectors == 0 || sectors >= kMbrLimit - extra)
      return refuse(which + " has a sector count (" + std::to_string(sectors) + (extra ? " + 1" : "") +
                    ") that an MBR entry cannot hold; nothing written");
    const uint64_t count = sectors + extra;
    plan.entries.push_back({row, p.typeByte, static_cast<uint32_t>(first), static_cast<uint32_t>(count)});
  }
  if (HoldsRunningSystem(disk, paths)) return refuse(kSystemDisk);
  plan.result = {PtableStatus::kOk,
                 "sector 0 rewritten with " + std::to_string(plan.entries.size()) + " partition entries"};
  return plan;
}

PtableResult RebuildPartitionTable(const DiskInfo& disk, std::span<const size_t> rows,
                                   const platform::SystemPaths& paths) {
  const RebuildPlan plan = PlanRebuild(disk, rows, paths);
  if (plan.result.status != PtableStatus::kOk) return plan.result;
  auto opened = platform::UpdateFile::OpenForUpdate(disk.devicePath, platform::SourceWrite::kPartitionTableTools);
  if (!opened.file) return IoError(opened.message + "; nothing written");
  std::array<uint8_t, kMbrBytes> mbr{};
  const auto read = opened.file->readAt(0, mbr);
  if (read.bytes != mbr.size())
    return IoError("sector 0 of " + disk.devicePath + " could not be read" +
                   (read.error ? " (" + Errno(read.error) + ")" : std::string()) + "; nothing written");
  for (size_t slot = 0; slot < kMbrEntries; ++slot) {
    uint8_t* entry = mbr.data() + kMbrTableOffset + kMbrEntryBytes * slot;
    if (slot >= plan.entries.size()) {
      std::fill(entry, entry + kMbrEntryBytes, uint8_t{0});
      continue;
    }
    // The boot flag (byte 0) and both CHS fields (1-3, 5-7) stay as they were.
    const RebuildEntry& e = plan.entries[slot];
    entry[kMbrEntryTypeAt] = e.typeByte;
    StoreLe32(entry + kMbrEntryFirstSectorAt, e.startSector);
    StoreLe32(entry + kMbrEntrySectorCountAt, e.sectorCount);
  }
  mbr[kMbrSignatureOffset] = 0x55;
  mbr[kMbrSignatureOffset + 1] = 0xAA;
  if (const int e = opened.file->writeAt(0, mbr); e != 0)
    return IoError("writing sector 0 of " + disk.devicePath + " failed (" + Errno(e) + ")");
  if (const int e = opened.file->sync(); e != 0)
    return IoError("sector 0 could not be flushed to " + disk.devicePath + " (" + Errno(e) + ")");
  return plan.result;
}

}  // namespace orvaldi::disk
