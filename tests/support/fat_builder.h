// Writes small FAT32 and FAT16 volumes into memory for reader tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvaldi::test {

// A FAT volume with 512-byte sectors, one sector per cluster, two FATs.
// FAT32: 32 reserved sectors, root at cluster 2. FAT16: 1 reserved sector,
// a 512-entry root region (cluster 0 in `entry` and `at`).
class FatBuilder {
 public:
  FatBuilder(bool fat32, uint32_t fatSectors, uint32_t clusters);

  std::vector<uint8_t>& bytes() { return bytes_; }
  uint64_t clusterSector(uint32_t cluster) const { return dataStart_ + uint64_t{cluster - 2}; }
  // The byte `offset` of entry `slot` of directory cluster `cluster`; slots
  // past a cluster's 16 run on into the clusters after it on the disk.
  uint8_t& at(uint32_t cluster, uint32_t slot, uint32_t offset = 0);

  // Sets a FAT entry in both copies.
  FatBuilder& link(uint32_t cluster, uint32_t next);
  FatBuilder& endOfChain(uint32_t cluster) { return link(cluster, fat32_ ? 0x0FFFFFFF : 0xFFFF); }
  FatBuilder& entry(uint32_t cluster, uint32_t slot, const std::string& name11, uint8_t attr, uint32_t firstCluster,
                    uint32_t size = 0);
  // Long-name entries for `name` from `slot` on, then the short entry;
  // returns the slot after the short entry.
  uint32_t longEntry(uint32_t cluster, uint32_t slot, const std::u16string& name, const std::string& name11,
                     uint8_t attr, uint32_t firstCluster, uint32_t size = 0, bool deleted = false);
  // "." and ".." entries of a directory cluster.
  FatBuilder& dots(uint32_t cluster, uint32_t parent);

 private:
  bool fat32_;
  uint32_t fatSectors_;
  uint32_t reserved_;
  uint64_t rootRegion_ = 0;
  uint64_t dataStart_;
  std::vector<uint8_t> bytes_;
};

}  // namespace orvaldi::test
