// The process-wide disk list and how drives and images join it.
#include "disk/disk_list.h"

#include "disk/partition_table.h"
#include "disk/recognisers.h"
#include "disk/sector_io.h"
#include "platform/sector_source.h"

namespace orvaldi::disk {
namespace {

constexpr uint32_t kImageHeads = 255;
constexpr uint32_t kImageSectorsPerTrack = 63;

std::string FileNameOf(const std::string& path) {
  const size_t cut = path.find_last_of("/\\");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

// An image's geometry is made up; it follows the size, which an Apple
// partition map may have restated, so it is set after the partitions are read.
void SetImageGeometry(DiskInfo& disk) {
  disk.tracksPerCylinder = kImageHeads;
  disk.sectorsPerTrack = kImageSectorsPerTrack;
  disk.cylinders =
      static_cast<uint32_t>(static_cast<uint64_t>(disk.sizeBytes) / SectorSize / kImageHeads / kImageSectorsPerTrack);
}

DiskInfo ImageRecord(const std::string& path, uint64_t size) {
  DiskInfo disk;
  disk.devicePath = path;
  disk.vendorId = FileNameOf(path);
  disk.sizeBytes = static_cast<int64_t>(size);
  SetImageGeometry(disk);
  return disk;
}

std::string KernelNameOf(const DiskInfo& disk) { return FileNameOf(disk.devicePath); }

// The unit the disk's tables count in: the operator's, the device's, or what
// an image's first sectors show.
void SetSectorSize(SectorSource& source, DiskInfo& disk, bool blockDevice, uint32_t forced) {
  if (forced != 0) {
    disk.bytesPerSector = forced;
  } else if (!blockDevice) {
    disk.bytesPerSector = DetectSectorSize(source);
  }
}

}  // namespace

DiskInfoList& DiskList() {
  static DiskInfoList list;
  return list;
}

std::string DisplayName(const DiskInfo& disk) { return disk.vendorId + disk.productId + disk.index + disk.revision; }

DiskInfo DiskFromDevice(int number, const platform::BlockDeviceIdentity& id) {
  DiskInfo disk;
  disk.serialNumber = id.serial;
  disk.devicePath = id.devicePath;
  disk.index = std::to_string(number);
  disk.productId = id.model;
  disk.vendorId = id.vendor;
  disk.revision = id.revision;
  disk.sizeBytes = static_cast<int64_t>(id.sizeBytes);
  disk.cylinders = static_cast<uint32_t>(id.cylinders);
  disk.tracksPerCylinder = id.heads;
  disk.sectorsPerTrack = id.sectorsPerTrack;
  disk.fixedMedia = id.removable ? 0 : 1;
  if (IsLogicalSectorSize(id.logicalSectorBytes)) disk.bytesPerSector = id.logicalSectorBytes;
  return disk;
}

std::optional<DiskInfo> DescribeSource(const std::string& path, std::string* error,
                                       const platform::SystemPaths& paths) {
  auto opened = platform::FileSource::open(path);
  if (!opened.source) {
    if (error) *error = opened.message;
    return std::nullopt;
  }
  if (opened.source->kind() == platform::SourceKind::RegularFile) return ImageRecord(path, opened.source->size());

  // A block device named directly: take its identity from sysfs, and number
  // it as enumeration would when it is one of the listed whole disks.
  auto id = platform::IdentifyBlockDevice(path, paths);
  if (!id) return ImageRecord(path, opened.source->size());
  if (id->sizeBytes == 0) id->sizeBytes = opened.source->size();
  for (const auto& listed : platform::ListWholeDisks(paths)) {
    if (listed.identity.name == id->name) return DiskFromDevice(listed.number, listed.identity);
  }
  DiskInfo disk = DiskFromDevice(0, *id);
  disk.index.clear();
  if (disk.vendorId.empty() && disk.productId.empty()) disk.vendorId = id->name;
  return disk;
}

std::optional<DiskInfo> LoadSource(const std::string& path, std::string* error, const platform::SystemPaths& paths,
                                   uint32_t sectorSize) {
  auto disk = DescribeSource(path, error, paths);
  if (!disk) return disk;
  auto source = OpenSource(*disk, error);
  if (!source) return std::nullopt;
  const auto* file = dynamic_cast<const platform::FileSource*>(source.get());
  SetSectorSize(*source, *disk, file != nullptr && file->kind() == platform::SourceKind::BlockDevice, sectorSize);
  EnumeratePartitions(*source, *disk, disk->devicePath);
  if (disk->index.empty()) SetImageGeometry(*disk);
  if (!disk->index.empty()) {
    DiskInfoList one{*disk};
    AttachMountPoints(one, platform::ListMountedVolumes(paths));
    return one.front();
  }
  return disk;
}

int OpenImageFile(const std::string& path, std::string* error) {
  auto opened = platform::FileSource::open(path);
  if (!opened.source) {
    if (error) *error = opened.message;
    return 0;
  }
  DiskInfo disk = ImageRecord(path, opened.source->size());
  SetSectorSize(*opened.source, disk, opened.source->kind() == platform::SourceKind::BlockDevice, 0);
  EnumeratePartitions(*opened.source, disk, path);
  SetImageGeometry(disk);
  DiskList().push_back(std::move(disk));
  return 1;
}

int EnumeratePhysicalDisks(const platform::SystemPaths& paths) {
  for (const auto& device : platform::ListWholeDisks(paths)) {
    DiskInfo disk = DiskFromDevice(device.number, device.identity);
    if (auto source = OpenSource(disk)) EnumeratePartitions(*source, disk, disk.devicePath);
    DiskList().push_back(std::move(disk));
  }
  AttachMountPoints(DiskList(), platform::ListMountedVolumes(paths));
  return 1;
}

void AttachMountPoints(DiskInfoList& disks, const std::vector<platform::MountedVolume>& mounts) {
  for (DiskInfo& disk : disks) {
    if (disk.index.empty() || disk.diskKind != DiskKind::kDrive) continue;  // images and groups have no mounts
    const std::string name = KernelNameOf(disk);
    for (const auto& mount : mounts) {
      if (mount.diskName != name) continue;
      for (PartitionInfo& part : disk.partitions) {
        if (part.startSector == mount.startSector) part.driveLetter = mount.mountPoint;
      }
    }
  }
}

}  // namespace orvaldi::disk
