// Finding the partition a command names: by index, by name, or by mount point.
#pragma once

#include <string>

#include "disk/disk_info.h"

namespace orvaldi::cli {

// The partition `which` names on `disk`: a decimal index as `parts` numbers
// them, else a partition name, else a mount point. Null (and a one-line
// reason in `error`) when none matches.
disk::PartitionInfo* SelectPartition(disk::DiskInfo& disk, const std::string& which, std::string& error);

}  // namespace orvaldi::cli
