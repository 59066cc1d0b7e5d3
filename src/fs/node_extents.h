// Where a node lies on the disk: the sectors of its data and of the records
// that describe it (a FAT or exFAT directory entry, an NTFS MFT record with
// its attribute list and extension records), as the readers find them.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "disk/fat_geometry.h"
#include "disk/partition_info.h"
#include "fs/node_view.h"
#include "platform/byte_areas.h"
#include "platform/sector_source.h"

namespace orvaldi::fs {

struct NodeExtents {
  // Bytes absolute on the source, sorted and merged, in whole sectors.
  std::vector<platform::ByteRange> data;
  std::vector<platform::ByteRange> metadata;
  // The entry or record could not be told apart from its neighbours (or
  // its folder could not be read): `metadata` is the whole folder's clusters.
  bool metadataApproximate = false;
};

// Works out nodes' extents on one partition, reading what it needs (NTFS
// records, the folders holding FAT and exFAT entries) through `source`. A
// folder's entries are read once and kept for its other children. The data
// of a file is where a copy of it would read: a FAT chain, a deleted file's
// free clusters from its first, NTFS runs (resident data: its record's
// sectors), exFAT runs up to the valid length, a carved file's stretch.
class ExtentFinder {
 public:
  ExtentFinder(platform::SectorSource* source, const disk::PartitionInfo& partition);

  // `parent` is the folder the node was reached from (its entry lies there).
  NodeExtents of(const NodeRef& node, const NodeRef& parent);

 private:
  struct EntryPlace {
    uint64_t offset = 0;  // first byte of the entry (or its long-name pieces) in the folder's bytes
    uint64_t length = 0;
    uint32_t firstCluster = 0;
    uint64_t size = 0;
    bool folder = false;
    std::string name;  // exFAT: the set's name, told apart by it; FAT: empty
  };
  struct FolderBytes {
    std::vector<platform::ByteRange> where;  // the folder's bytes in order, absolute on the source
    std::vector<EntryPlace> entries;
    std::multimap<uint32_t, size_t> byCluster;  // first cluster -> index in entries
    std::multimap<std::string, size_t> byName;  // exFAT entries without a cluster (empty files), by name
  };
  const FolderBytes& folder(const NodeRef& parent);
  void entryMetadata(const NodeRef& node, const NodeRef& parent, NodeExtents& out);
  std::vector<platform::ByteRange> fatFolderRanges(const FatNode& folder) const;

  platform::SectorSource* source_;
  const disk::PartitionInfo& partition_;
  std::optional<disk::FatGeometry> fatGeometry_;  // from the boot sector, for the FAT16 root
  std::map<const void*, FolderBytes> folders_;
};

// The parts of `extents` (data and metadata) that lie in `areas`, merged.
std::vector<platform::ByteRange> TouchedAreas(const NodeExtents& extents, const platform::ByteAreas& areas);

}  // namespace orvaldi::fs
