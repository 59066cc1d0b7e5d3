// In-memory FAT volume writer for tests.
#include "support/fat_builder.h"

#include <cstring>

#include "support/test_images.h"

namespace orvaldi::test {

FatBuilder::FatBuilder(bool fat32, uint32_t fatSectors, uint32_t clusters)
    : fat32_(fat32), fatSectors_(fatSectors), reserved_(fat32 ? 32 : 1) {
  const uint64_t afterFats = reserved_ + 2ull * fatSectors;
  rootRegion_ = fat32 ? 0 : afterFats;
  dataStart_ = afterFats + (fat32 ? 0 : 32);
  bytes_.assign((dataStart_ + clusters) * 512, 0);
  std::vector<uint8_t> boot = fat32 ? Fat32BootSector() : Fat16BootSector();
  boot[0x0D] = 1;
  Put16(boot, 0x0E, static_cast<uint16_t>(reserved_));
  Put32(boot, 0x20, static_cast<uint32_t>(bytes_.size() / 512));
  if (fat32)
    Put32(boot, 0x24, fatSectors);
  else
    Put16(boot, 0x16, static_cast<uint16_t>(fatSectors));
  std::memcpy(bytes_.data(), boot.data(), 512);
  // The FATs start with the media mark and the end marks.
  link(0, fat32 ? 0x0FFFFFF8 : 0xFFF8).link(1, fat32 ? 0xFFFFFFFF : 0xFFFF);
  if (fat32) endOfChain(2);
}

FatBuilder& FatBuilder::link(uint32_t cluster, uint32_t next) {
  for (uint64_t copy = 0; copy < 2; ++copy) {
    const size_t fat = (reserved_ + copy * fatSectors_) * 512;
    if (fat32_)
      Put32(bytes_, fat + size_t{cluster} * 4, next);
    else
      Put16(bytes_, fat + size_t{cluster} * 2, static_cast<uint16_t>(next));
  }
  return *this;
}

uint8_t& FatBuilder::at(uint32_t cluster, uint32_t slot, uint32_t offset) {
  const uint64_t sector = cluster == 0 ? rootRegion_ : clusterSector(cluster);
  return bytes_.at(sector * 512 + size_t{slot} * 32 + offset);
}

FatBuilder& FatBuilder::entry(uint32_t cluster, uint32_t slot, const std::string& name11, uint8_t attr,
                              uint32_t firstCluster, uint32_t size) {
  const size_t e = static_cast<size_t>(&at(cluster, slot) - bytes_.data());
  std::memset(&bytes_[e], 0, 32);
  std::memcpy(&bytes_[e], name11.data(), std::min<size_t>(11, name11.size()));
  bytes_[e + 0x0B] = attr;
  Put16(bytes_, e + 0x10, 0x5861);  // created, accessed and modified 2024-03-01
  Put16(bytes_, e + 0x12, 0x5861);
  Put16(bytes_, e + 0x18, 0x5861);
  Put16(bytes_, e + 0x14, static_cast<uint16_t>(firstCluster >> 16));
  Put16(bytes_, e + 0x1A, static_cast<uint16_t>(firstCluster));
  Put32(bytes_, e + 0x1C, size);
  return *this;
}

uint32_t FatBuilder::longEntry(uint32_t cluster, uint32_t slot, const std::u16string& name, const std::string& name11,
                               uint8_t attr, uint32_t firstCluster, uint32_t size, bool deleted) {
  const uint32_t pieces = static_cast<uint32_t>((name.size() + 12) / 13);
  uint8_t checksum = 0;  // of the 8.3 name, as every piece carries it
  for (size_t i = 0; i < 11; ++i)
    checksum = static_cast<uint8_t>(((checksum & 1) << 7) + (checksum >> 1) + (i < name11.size() ? name11[i] : 0));
  static const int kOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  for (uint32_t p = 0; p < pieces; ++p) {
    const uint32_t seq = pieces - p;  // last piece first
    entry(cluster, slot + p, "", 0x0F, 0);
    at(cluster, slot + p) = deleted ? 0xE5 : static_cast<uint8_t>(seq | (p == 0 ? 0x40 : 0));
    at(cluster, slot + p, 0x0D) = checksum;
    for (int k = 0; k < 13; ++k) {
      const size_t i = (seq - 1) * 13 + static_cast<size_t>(k);
      const uint16_t unit = i < name.size() ? static_cast<uint16_t>(name[i]) : (i == name.size() ? 0 : 0xFFFF);
      at(cluster, slot + p, kOffsets[k]) = static_cast<uint8_t>(unit);
      at(cluster, slot + p, kOffsets[k] + 1) = static_cast<uint8_t>(unit >> 8);
    }
  }
  entry(cluster, slot + pieces, name11, attr, firstCluster, size);
  if (deleted) at(cluster, slot + pieces) = 0xE5;
  return slot + pieces + 1;
}

FatBuilder& FatBuilder::dots(uint32_t cluster, uint32_t parent) {
  return entry(cluster, 0, ".          ", 0x10, cluster).entry(cluster, 1, "..         ", 0x10, parent);
}

}  // namespace orvaldi::test
