// Opening the one source a partition is read through, whatever volume it lives on.
#pragma once

#include <memory>
#include <string>

#include "disk/disk_info.h"
#include "platform/sector_source.h"
#include "platform/status.h"

namespace orvaldi::disk {

// The source of a partition and what came of opening it: `source` is set
// exactly when `outcome` is ok.
struct OpenedVolume {
  std::unique_ptr<platform::SectorSource> source;
  platform::Outcome outcome;
};

// Opens what `partition` of `disk` is read through, for the length of one
// operation. Positions on it are those the readers use: for a plain
// partition (a table's, or one a scan found or rebuilt) the whole disk,
// positions absolute on it (the partition starts at its startSector); for a
// striped, spanned, RAID-5 or mirrored volume (dynamic disks, LVM2) the
// assembled volume, positions from its start (its startSector is 0). Each
// member disk is opened once here; one that cannot be opened fails the call
// with its reason. A member whose disk is missing is not an error here: a
// RAID-5 volume rebuilds it, a mirror reads another copy, and elsewhere the
// reads that reach it fail.
OpenedVolume OpenVolumeSource(const DiskInfo& disk, const PartitionInfo& partition);

// Why the last failed read of `source` failed, when it is an assembled
// volume that knows ("a member disk of the volume is missing"); empty
// otherwise.
std::string VolumeReadFailure(const platform::SectorSource& source);

}  // namespace orvaldi::disk
