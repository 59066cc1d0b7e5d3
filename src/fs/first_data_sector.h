// Where a node's data begins on the disk, whatever reader made the node.
#pragma once

#include <cstdint>
#include <optional>

#include "disk/partition_info.h"
#include "fs/node_view.h"
#include "platform/sector_source.h"

namespace orvaldi::fs {

// The absolute sector that holds the first byte of `node`'s data on
// `partition`, as the node's own record gives it: a FAT or exFAT entry's
// first cluster, an NTFS record's first data run (its record is read
// through `source`). None when the record says nothing certain: no first
// cluster, one outside the volume, resident, sparse or compressed data, a
// record that cannot be read, a named stream, a file recognised by its
// content, a carved file or a folder.
std::optional<uint64_t> FirstDataSector(platform::SectorSource* source, const disk::PartitionInfo& partition,
                                        const NodeRef& node);

}  // namespace orvaldi::fs
