// Texts shared by every front end: sizes and dates as the views show them.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "disk/disk_info.h"

namespace orvaldi::ops {

// "%.1f GB" when the size is at least 0.1 GiB, "%.1f KB" below 0.0001 GiB,
// "%.1f MB" in between (1024-based units).
std::string SizeText(uint64_t bytes);

// "%d-%02d-%02d %02d:%02d:%02d".
std::string DateText(int year, int month, int day, int hour, int minute, int second);

// The file-system column of a partition, by its type code: FAT16, exFAT,
// NTFS, FAT32, the HFS type text, the EXT generation, or empty.
std::string FsTypeName(const disk::PartitionInfo& partition);

// The name each partition of `disk` shows in the device tree: its mount point
// (our drive letter) when it has one, else its name; and its name when an
// earlier partition of the disk already shows that text.
std::vector<std::string> PartitionDisplayNames(const disk::DiskInfo& disk);

// "主" for a primary (table kind 1), "逻辑" for a logical partition.
std::string TableKindText(disk::TableKind tableKind);

// A dynamic disk's GUID as its text "8-4-4-4-12", bytes in order.
std::string GuidText(const std::array<uint8_t, 16>& guid);

// How a dynamic volume is laid out: "simple" (one extent), "spanned",
// "striped", "RAID-5", "mirrored"; empty for a plain partition.
std::string VolumeLayoutText(const disk::PartitionInfo& partition);

}  // namespace orvaldi::ops
