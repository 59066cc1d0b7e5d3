// The exFAT directory parser: entry sets out of a folder's bytes, checked before use.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fs/scan_tree.h"

namespace orvaldi::fs {

// One file entry set as it was read: the file entry, its stream extension
// and its name entries.
struct ExfatEntrySet {
  uint64_t offset = 0;  // of the file entry, from the start of the folder's bytes
  bool deleted = false;
  uint16_t attributes = 0;
  uint8_t streamFlags = 0;
  uint64_t validLength = 0;
  uint64_t dataLength = 0;
  uint32_t firstCluster = 0;
  ExfatTime created;
  ExfatTime modified;
  ExfatTime accessed;
  std::string name;  // UTF-8

  bool isFolder() const;
  bool contiguous() const;
};

// A set that was not taken: a live one is a fault of the volume, a deleted
// one is often partly overwritten and only counted.
struct ExfatBadSet {
  uint64_t offset = 0;
  bool deleted = false;
  const char* why = "";
};

struct ExfatDirectory {
  std::vector<ExfatEntrySet> sets;  // in the order they lie
  std::vector<ExfatBadSet> badSets;
  // The allocation bitmap entry (root folder): its first cluster and length.
  std::optional<std::pair<uint32_t, uint64_t>> bitmap;
  bool ended = false;  // an end-of-directory entry was met
};

// Parses the entries in `bytes` (whole 32-byte entries; a trailing part is
// ignored) up to the end-of-directory entry. Every set is bounds-checked;
// a live set whose checksum, order or name does not hold is skipped and
// noted, and parsing goes on with the entry after its file entry.
ExfatDirectory ParseExfatDirectory(std::span<const uint8_t> bytes);

}  // namespace orvaldi::fs
