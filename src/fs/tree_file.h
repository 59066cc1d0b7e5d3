// The saved-tree file: a partition's scan state (tree, indexes and what the
// readers keep for copying files out) with the partition it was made from,
// so that a long scan need not run again.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "fs/scan_state.h"

namespace orvaldi::fs {

inline constexpr const char* kTreeFileExtension = ".orvtree";

// What a saved tree must match before it is put on a partition record:
// the disk, the partition's place and type, and its volume as it reads now.
struct TreeIdentity {
  std::string diskName;  // the disk's display name
  std::string diskSerial;
  uint64_t diskBytes = 0;
  uint32_t diskSectorBytes = 512;
  uint64_t startSector = 0;
  uint64_t sectorCount = 0;
  uint8_t typeByte = 0;
  std::string volumeLabel;
  // SHA-256 (hex) of the volume's first sector as read when the tree was
  // made; empty when it could not be read.
  std::string bootDigest;
  // The scan that made the tree, as ops numbers its modes (0 walk, 1 search, 2 deep).
  uint8_t scanMode = 0;
};

// Partition values the readers set while they scan, which copying needs again.
struct TreeGeometry {
  uint32_t sectorsPerCluster = 0;
  uint64_t clusterZeroSector = 0;
  uint32_t fatSizeSectors = 0;
};

// The file's bytes for `state` (a FAT, NTFS or exFAT scan state); empty when
// the state is of no family the file holds. Tick marks are not saved.
std::vector<uint8_t> FormatTreeFile(const TreeIdentity& identity, const TreeGeometry& geometry, const ScanState& state);

enum class TreeFileStatus : uint8_t {
  kOk,
  kNotATreeFile,  // no magic: some other file
  kVersion,       // a version this program does not read
  kCorrupt,       // cut short, checksum wrong, or a value out of bounds
};

struct TreeFileParse {
  TreeFileStatus status = TreeFileStatus::kCorrupt;
  std::string message;  // one line unless kOk: what was wrong and where
  TreeIdentity identity;
  TreeGeometry geometry;
  std::unique_ptr<ScanState> state;  // set with kOk only
};

// The checksum a file ends with (little-endian), over every byte before it.
uint32_t TreeFileChecksum(std::span<const uint8_t> bytes);

// Reads a saved tree back. Trusts nothing: the checksum covers the whole
// file, every count and length is checked against the bytes left before
// anything is sized by it, every node id an index names must be a node of
// the tree, and nesting is bounded.
TreeFileParse ParseTreeFile(std::span<const uint8_t> bytes);

}  // namespace orvaldi::fs
