// Building the disk list: physical drives at start-up, image files on demand.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "disk/disk_info.h"
#include "platform/block_devices.h"

namespace orvaldi::disk {

// Describes the image file or block device at `path` without touching the
// disk list. Returns nothing (and a one-line reason in `error`) when it is
// missing, unreadable, or neither a regular file nor a block device.
std::optional<DiskInfo> DescribeSource(const std::string& path, std::string* error = nullptr,
                                       const platform::SystemPaths& paths = {});

// DescribeSource, then the partitions read from the source (and, for a
// block device, the mount points of its partitions). The tables are read in
// `sectorSize` byte sectors when that is given (one of 512, 1024, 2048,
// 4096), else in the device's logical block size, else in the size the
// image's first sectors show (DetectSectorSize).
std::optional<DiskInfo> LoadSource(const std::string& path, std::string* error = nullptr,
                                   const platform::SystemPaths& paths = {}, uint32_t sectorSize = 0);

// Appends the image at `path` to the disk list. Returns 1 on success, 0 when
// it cannot be opened (nothing is appended).
int OpenImageFile(const std::string& path, std::string* error = nullptr);

// Appends every openable whole disk (at most 16, numbered in name order),
// then gives mounted partitions their mount point. Returns 1.
int EnumeratePhysicalDisks(const platform::SystemPaths& paths = {});

// Sets the driveLetter field (our mount point) of every partition of a
// physical disk in `disks` that starts where a mounted volume starts.
void AttachMountPoints(DiskInfoList& disks, const std::vector<platform::MountedVolume>& mounts);

// The record of one enumerated drive.
DiskInfo DiskFromDevice(int number, const platform::BlockDeviceIdentity& id);

}  // namespace orvaldi::disk
