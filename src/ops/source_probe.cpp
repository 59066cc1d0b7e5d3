// Source identity, first-sector volumes and the sector sweep.
#include "ops/source_probe.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "disk/disk_list.h"
#include "disk/mbr_entries.h"
#include "disk/partition_table.h"
#include "disk/recognisers.h"
#include "disk/sector_io.h"
#include "ops/source.h"

namespace orvaldi::ops {

SourceProbe ProbeSource(const std::string& path, uint32_t sectorSize) {
  SourceProbe out;
  auto described = disk::DescribeSource(path, &out.error);
  if (!described) return out;
  auto source = disk::OpenSource(*described, &out.error);
  if (!source) return out;
  std::array<uint8_t, 512> mbr{};
  const auto read = disk::ReadSectors(*source, 0, 1, mbr.data());
  if (!read.complete && read.error != 0) {
    out.error = path + ": cannot read sector 0: " + std::strerror(read.error);
    return out;
  }
  const auto* file = dynamic_cast<const platform::FileSource*>(source.get());
  if (sectorSize != 0) {
    described->bytesPerSector = sectorSize;
  } else if (file == nullptr || file->kind() != platform::SourceKind::BlockDevice) {
    described->bytesPerSector = disk::DetectSectorSize(*source);
  }
  const uint64_t k = std::max<uint32_t>(1, disk::SectorsPerLogical(described->bytesPerSector));
  VolumeProbe first;
  first.role = "Sector 0";
  first.guess = disk::IdentifyVolume(*source, 0);
  out.volumes.push_back(std::move(first));
  for (const disk::MbrEntry& e : disk::MbrPrimaryEntries(mbr)) {
    VolumeProbe p;
    p.role = "MBR entry " + std::to_string(e.slot + 1);
    p.sector = uint64_t{e.startSector} * k;
    p.entryType = e.typeByte;
    p.entrySectors = uint64_t{e.sectorCount} * k;
    p.guess = disk::IdentifyVolume(*source, p.sector, p.entrySectors);
    out.volumes.push_back(std::move(p));
  }
  out.disk = std::move(described);
  return out;
}

SweptSource SweepSource(const std::string& path, const std::string& which, platform::ProgressBlock& progress,
                        const SourceOptions& options, const SweepCheckpointOptions& checkpoints) {
  SweptSource out;
  LoadedDisk loaded = LoadDisk(path, options);
  out.disk = std::move(loaded.disk);
  out.error = std::move(loaded.error);
  out.resultNotes = std::move(loaded.resultNotes);
  if (!out.disk) {
    out.status = loaded.status == SourceStatus::kResultOtherDisk    ? SweepStatus::kResultOtherDisk
                 : loaded.status == SourceStatus::kResultUnreadable ? SweepStatus::kResultUnreadable
                                                                    : SweepStatus::kUnreadable;
    return out;
  }
  out.range.name = "disk";
  out.range.sectorCount = static_cast<uint64_t>(out.disk->sizeBytes) / disk::SectorSize;
  // The list may grow while the sweep runs: the partition is copied.
  std::optional<disk::PartitionInfo> context;
  if (!which.empty()) {
    const disk::PartitionInfo* part = SelectPartition(*out.disk, which, out.error);
    if (!part) {
      out.status = SweepStatus::kNoSuchPartition;
      return out;
    }
    out.range.name = part->name;
    out.range.startSector = part->startSector;
    out.range.sectorCount = part->sectorCount;
    // A dynamic volume is read through its mapping.
    if (part->volumeKind != disk::VolumeKind::kPlain) {
      context = *part;
    } else if (out.disk->sizeBytes > 0) {
      // Past the disk's end nothing can be read: a damaged entry's size
      // would only add sectors reported unreadable.
      const uint64_t end = static_cast<uint64_t>(out.disk->sizeBytes) / disk::SectorSize;
      const uint64_t onDisk = part->startSector >= end ? 0 : std::min(part->sectorCount, end - part->startSector);
      if (onDisk < part->sectorCount) {
        out.rangeNote = "partition " + part->name + " records " + std::to_string(part->sectorCount) +
                        " sectors from sector " + std::to_string(part->startSector) + ", but the disk ends at sector " +
                        std::to_string(end) + "; " + std::to_string(onDisk) + " sectors are swept";
        out.range.sectorCount = onDisk;
      }
    }
  }
  SweepCheckpointer checkpointer;
  if (!checkpointer.prepare(*out.disk, out.range.startSector, out.range.sectorCount,
                            SweepOptionsText(which.empty() ? "" : out.range.name, options.sectorSize), checkpoints)) {
    out.status = SweepStatus::kCheckpointRefused;
    out.error = checkpointer.error();
    return out;
  }
  const int ran = raw::RawDiskScan(*out.disk, progress, out.range.startSector, out.range.sectorCount,
                                   context ? &*context : nullptr, &out.report, checkpointer.checkpoints());
  out.checkpointError = checkpointer.writeError();
  if (!ran) {
    out.status = SweepStatus::kCannotOpen;
    out.error = "cannot open " + out.disk->devicePath + " for reading";
    return out;
  }
  out.status = SweepStatus::kOk;
  return out;
}

raw::SaveJob CarvedFilesJob(SweptSource& swept) {
  disk::DiskInfo& d = *swept.disk;
  const fs::NodeRef folder =
      fs::NodeRef::CarvedFolder(&d.extraFoundFolder, swept.range.startSector, swept.range.sectorCount);
  return {&d, &swept.range, {{folder, {}}}};
}

}  // namespace orvaldi::ops
