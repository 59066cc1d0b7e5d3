// Saved partition trees: what identifies the partition, and the file itself.
#include "ops/tree_file_ops.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "disk/sector_io.h"
#include "disk/sha256.h"
#include "disk/volume_source.h"
#include "fs/exfat_state.h"
#include "fs/fat_state.h"
#include "fs/ntfs_state.h"
#include "fs/tree_file.h"
#include "ops/job_checks.h"
#include "platform/update_file.h"

namespace orvaldi::ops {
namespace {

// The volume's first sector as it reads now, hashed; empty when it cannot be read.
std::string BootDigest(const disk::DiskInfo& disk, const disk::PartitionInfo& partition) {
  const disk::OpenedVolume volume = disk::OpenVolumeSource(disk, partition);
  if (!volume.source) return {};
  std::vector<uint8_t> sector(platform::SectorSize);
  if (!disk::ReadSectors(*volume.source, partition.startSector, 1, sector.data()).complete) return {};
  return disk::Sha256Hex(sector);
}

fs::TreeIdentity IdentityOf(const disk::DiskInfo& disk, const disk::PartitionInfo& partition, ScanMode mode) {
  fs::TreeIdentity id;
  id.diskName = disk::DisplayName(disk);
  id.diskSerial = disk.serialNumber;
  id.diskBytes = static_cast<uint64_t>(disk.sizeBytes);
  id.diskSectorBytes = disk.bytesPerSector;
  id.startSector = partition.startSector;
  id.sectorCount = partition.sectorCount;
  id.typeByte = partition.typeByte;
  id.volumeLabel = partition.volumeLabel;
  id.bootDigest = BootDigest(disk, partition);
  id.scanMode = static_cast<uint8_t>(mode);
  return id;
}

std::string PartitionText(const fs::TreeIdentity& id) {
  char text[160];
  std::snprintf(text, sizeof text, "the partition at sector %llu (%llu sectors, type 0x%02X)",
                static_cast<unsigned long long>(id.startSector), static_cast<unsigned long long>(id.sectorCount),
                id.typeByte);
  return text;
}

// Why a tree saved as `saved` does not belong on the partition now `now`; empty when it does.
std::string Mismatch(const fs::TreeIdentity& saved, const fs::TreeIdentity& now) {
  if (saved.diskName != now.diskName || saved.diskSerial != now.diskSerial || saved.diskBytes != now.diskBytes ||
      saved.diskSectorBytes != now.diskSectorBytes)
    return "it was saved from disk " + saved.diskName + " (" + std::to_string(saved.diskBytes) + " bytes), not " +
           now.diskName + " (" + std::to_string(now.diskBytes) + " bytes)";
  if (saved.startSector != now.startSector || saved.sectorCount != now.sectorCount || saved.typeByte != now.typeByte)
    return "it was saved from " + PartitionText(saved) + ", not " + PartitionText(now);
  if (saved.volumeLabel != now.volumeLabel)
    return "it was saved from the volume labelled \"" + saved.volumeLabel + "\", this one is labelled \"" +
           now.volumeLabel + "\"";
  // A sector that does not read now (or did not then) says nothing either way.
  if (!saved.bootDigest.empty() && !now.bootDigest.empty() && saved.bootDigest != now.bootDigest)
    return "the volume's boot sector is not the one it was saved from (the volume was formatted or changed since)";
  return {};
}

// Whether `state` is what the reader of the partition's type keeps.
bool FitsFamily(const disk::PartitionInfo& partition, const fs::ScanState& state) {
  switch (disk::FamilyOf(partition.typeByte)) {
    case disk::FsFamily::kFat16:
    case disk::FsFamily::kFat32:
      return dynamic_cast<const fs::FatScanState*>(&state) != nullptr;
    case disk::FsFamily::kNtfs:
      return dynamic_cast<const fs::NtfsScanState*>(&state) != nullptr;
    case disk::FsFamily::kExfat:
      return dynamic_cast<const fs::ExfatScanState*>(&state) != nullptr;
    case disk::FsFamily::kOther:
      break;
  }
  return false;
}

}  // namespace

const char* ModeName(ScanMode mode) {
  switch (mode) {
    case ScanMode::kWalk:
      return "walk";
    case ScanMode::kSearch:
      return "search";
    case ScanMode::kDeep:
      return "deep";
  }
  return "walk";
}

TreeSave SavePartitionTree(const disk::DiskInfo& disk, const disk::PartitionInfo& partition, ScanMode mode,
                           const std::string& path) {
  TreeSave out;
  const auto* state = partition.reader.get<fs::ScanState>();
  if (!state) {
    out.error = "partition " + partition.name + " has not been scanned: there is no tree to save";
    return out;
  }
  if (!disk.devicePath.empty()) {
    if (auto refusal = WriteOntoSourceRefusal(disk.devicePath, path)) {
      out.error = *refusal;
      return out;
    }
  }
  const fs::TreeGeometry geometry{partition.sectorsPerCluster, partition.clusterZeroSector, partition.fatSizeSectors};
  const std::vector<uint8_t> bytes = fs::FormatTreeFile(IdentityOf(disk, partition, mode), geometry, *state);
  if (bytes.empty()) {
    out.error = "partition " + partition.name + " holds no FAT, NTFS or exFAT tree";
    return out;
  }
  // Whole or not at all: a save that fails leaves an earlier tree file as it was.
  if (const int error = platform::ReplaceFile(path, bytes); error != 0) {
    out.error = path + ": " + std::strerror(error);
    return out;
  }
  out.ok = true;
  out.bytes = bytes.size();
  return out;
}

TreeLoad LoadPartitionTree(disk::DiskInfo& disk, disk::PartitionInfo& partition, const std::string& path,
                           std::optional<ScanMode> mode) {
  TreeLoad out;
  std::vector<uint8_t> bytes;
  {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
      out.message = path + ": " + std::strerror(errno);
      return out;
    }
    uint8_t chunk[1 << 16];
    size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.insert(bytes.end(), chunk, chunk + got);
    const bool failed = std::ferror(file) != 0;
    const int readErrno = errno;
    std::fclose(file);
    if (failed) {
      out.message = path + ": " + std::strerror(readErrno);
      return out;
    }
  }
  fs::TreeFileParse parsed = fs::ParseTreeFile(bytes);
  if (parsed.status != fs::TreeFileStatus::kOk) {
    out.status = TreeLoadStatus::kDamaged;
    out.message = path + ": " + parsed.message;
    return out;
  }
  const fs::TreeIdentity now = IdentityOf(disk, partition, ScanMode::kWalk);
  if (const std::string why = Mismatch(parsed.identity, now); !why.empty()) {
    out.status = TreeLoadStatus::kOtherPartition;
    out.message = path + " is not a tree of partition " + partition.name + ": " + why;
    return out;
  }
  // Of this partition's type, yet not what its reader keeps: not our making.
  if (parsed.identity.scanMode > static_cast<uint8_t>(ScanMode::kDeep) || !FitsFamily(partition, *parsed.state)) {
    out.status = TreeLoadStatus::kDamaged;
    out.message = path + ": the tree file is damaged: its file system or scan mode is none the readers make";
    return out;
  }
  out.mode = static_cast<ScanMode>(parsed.identity.scanMode);
  if (mode && *mode != out.mode) {
    out.status = TreeLoadStatus::kOtherMode;
    out.message =
        path + " holds the tree of a --mode " + ModeName(out.mode) + " scan, not of --mode " + ModeName(*mode);
    return out;
  }
  partition.reader.reset(std::move(parsed.state));
  partition.sectorsPerCluster = parsed.geometry.sectorsPerCluster;
  partition.clusterZeroSector = parsed.geometry.clusterZeroSector;
  partition.fatSizeSectors = parsed.geometry.fatSizeSectors;
  out.opened = ResultOnRecord(partition);
  out.status = TreeLoadStatus::kOk;
  return out;
}

}  // namespace orvaldi::ops
