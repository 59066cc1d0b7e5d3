// Whole-disk block devices and mount points, read from sysfs and procfs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orvaldi::platform {

// Where the kernel's views live; tests point these at a fake tree.
struct SystemPaths {
  std::string sysBlock = "/sys/block";
  std::string sysDevBlock = "/sys/dev/block";
  std::string mountInfo = "/proc/self/mountinfo";
  std::string devDir = "/dev";
};

struct BlockDeviceIdentity {
  std::string name;        // kernel name, e.g. "sda"
  std::string devicePath;  // devDir + "/" + name
  std::string vendor;
  std::string model;
  std::string revision;
  std::string serial;
  uint64_t sizeBytes = 0;  // 0 when the size could not be read
  uint32_t heads = 255;
  uint32_t sectorsPerTrack = 63;
  uint64_t cylinders = 0;
  bool removable = false;
  // The kernel's logical block size: the unit its partition tables count in.
  uint32_t logicalSectorBytes = 512;
};

// Kernel names that denote whole disks we list (sd*, nvme*n*, vd*, hd*,
// xvd*, mmcblk*, without partition suffixes).
bool IsWholeDiskName(const std::string& name);

// Whole disks, in name order, at most 16. A device that cannot be opened for
// reading is left out; its number is not reused, so the position in the
// returned list is not the drive number: `number` carries it.
struct NumberedDevice {
  int number = 0;
  BlockDeviceIdentity identity;
};
std::vector<NumberedDevice> ListWholeDisks(const SystemPaths& paths = {});

// Identity of one block device (whole disk or partition) given its path.
std::optional<BlockDeviceIdentity> IdentifyBlockDevice(const std::string& devicePath, const SystemPaths& paths = {});

// A mounted block device: which disk it lies on and where it starts there.
struct MountedVolume {
  std::string mountPoint;
  std::string diskName;      // kernel name of the whole disk
  uint64_t startSector = 0;  // 512-byte units from the disk's start
};
std::vector<MountedVolume> ListMountedVolumes(const SystemPaths& paths = {});

// Kernel names of the whole disks that hold the root file system: the disk
// of its partition, or the disks beneath a device-mapper or md device.
// Empty when the root is not on a block device (a container's overlay).
std::vector<std::string> RootDiskNames(const SystemPaths& paths = {});

// Kernel name of the whole disk that the block device at `devicePath` is or
// lies on; nothing when the path is not a block device.
std::optional<std::string> WholeDiskNameOf(const std::string& devicePath, const SystemPaths& paths = {});

// Undoes the octal escapes (\040 and friends) of /proc/self/mountinfo.
std::string UnescapeMountField(const std::string& field);

}  // namespace orvaldi::platform
