// JSON renderings of engine records shared by several commands.
#pragma once

#include <nlohmann/json.hpp>

#include "disk/disk_info.h"

namespace orvaldi::cli {

nlohmann::json DiskJson(const disk::DiskInfo& disk);

// One partition record as the object below describes, `index` its place in
// the disk's list.
nlohmann::json PartitionJson(const disk::PartitionInfo& partition, size_t index);

// One object per partition with the keys index, name, label, fs, start,
// sectors, type, table, origin, mount.
nlohmann::json PartitionsJson(const disk::DiskInfo& disk);

// An LVM2 physical volume's values, its group and its logical volumes with
// their segments (sizes and positions in sectors and extents, as recorded).
nlohmann::json LvmJson(const disk::DiskInfo& disk);

}  // namespace orvaldi::cli
