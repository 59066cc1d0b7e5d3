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
  if (fat32) {
    Put32(boot, 0x24, fatSectors);
    Put32(boot, 0x2C, 2);
    Put32(boot, 0x20, static_cast<uint32_t>(bytes_.size() / 512));
  } else {
    Put16(boot, 0x16, static_cast<uint16_t>(fatSectors));
    Put32(boot, 0x20, static_cast<uint32_t>(bytes_.size() / 512));
  }
  std::memcpy(bytes_.data(), boot.data(), 512);
  // The FATs start with the media mark and the end marks.
  for (int copy = 0; copy < 2; ++copy) {
    uint8_t* fat = bytes_.data() + (reserved_ + static_cast<uint64_t>(copy) * fatSectors) * 512;
    if (fat32) {
      const uint8_t sig[8] = {0xF8, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0xFF};
      std::memcpy(fat, sig, 8);
    } else {
      const uint8_t sig[4] = {0xF8, 0xFF, 0xFF, 0xFF};
      std::memcpy(fat, sig, 4);
    }
  }
  if (fat32) endOfChain(2);
}

FatBuilder& FatBuilder::link(uint32_t cluster, uint32_t next) {
  for (int copy = 0; copy < 2; ++copy) {
    const size_t fat = (reserved_ + size_t(copy) * fatSectors_) * 512;
    if (fat32_) {
      Put32(bytes_, fat + size_t{cluster} * 4, next);
    } else {
      Put16(bytes_, fat + size_t{cluster} * 2, static_cast<uint16_t>(next));
    }
  }
  return *this;
}

uint8_t* FatBuilder::slot(uint32_t cluster, uint32_t index) {
  const uint64_t sector = cluster == 0 ? rootRegion_ : clusterSector(cluster);
  return bytes_.data() + sector * 512 + size_t{index} * 32;
}

FatBuilder& FatBuilder::entry(uint32_t cluster, uint32_t index, const std::string& name11, uint8_t attr,
                              uint32_t firstCluster, uint32_t size, uint16_t date) {
  uint8_t* e = slot(cluster, index);
  std::memset(e, 0, 32);
  std::memcpy(e, name11.data(), std::min<size_t>(11, name11.size()));
  e[0x0B] = attr;
  e[0x10] = static_cast<uint8_t>(date);
  e[0x11] = static_cast<uint8_t>(date >> 8);
  e[0x18] = static_cast<uint8_t>(date);
  e[0x19] = static_cast<uint8_t>(date >> 8);
  e[0x14] = static_cast<uint8_t>(firstCluster >> 16);
  e[0x15] = static_cast<uint8_t>(firstCluster >> 24);
  e[0x1A] = static_cast<uint8_t>(firstCluster);
  e[0x1B] = static_cast<uint8_t>(firstCluster >> 8);
  std::memcpy(e + 0x1C, &size, 4);
  return *this;
}

uint32_t FatBuilder::longEntry(uint32_t cluster, uint32_t index, const std::u16string& name, const std::string& name11,
                               uint8_t attr, uint32_t firstCluster, uint32_t size, bool deleted) {
  const size_t pieces = (name.size() + 12) / 13;
  static const int kOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  for (size_t p = 0; p < pieces; ++p) {
    const size_t seq = pieces - p;  // last piece first
    uint8_t* e = slot(cluster, index + static_cast<uint32_t>(p));
    std::memset(e, 0, 32);
    e[0] = static_cast<uint8_t>(seq | (p == 0 ? 0x40 : 0));
    if (deleted) e[0] = 0xE5;
    e[0x0B] = 0x0F;
    for (int k = 0; k < 13; ++k) {
      const size_t at = (seq - 1) * 13 + static_cast<size_t>(k);
      uint16_t unit = at < name.size() ? static_cast<uint16_t>(name[at]) : (at == name.size() ? 0 : 0xFFFF);
      e[kOffsets[k]] = static_cast<uint8_t>(unit);
      e[kOffsets[k] + 1] = static_cast<uint8_t>(unit >> 8);
    }
  }
  const uint32_t shortSlot = index + static_cast<uint32_t>(pieces);
  entry(cluster, shortSlot, name11, attr, firstCluster, size);
  if (deleted) mark(cluster, shortSlot, 0xE5);
  return shortSlot + 1;
}

FatBuilder& FatBuilder::dots(uint32_t cluster, uint32_t parent) {
  entry(cluster, 0, ".          ", 0x10, cluster);
  entry(cluster, 1, "..         ", 0x10, parent);
  return *this;
}

FatBuilder& FatBuilder::fill(uint32_t cluster, uint8_t value) {
  std::memset(bytes_.data() + clusterSector(cluster) * 512, value, 512);
  return *this;
}

FatBuilder& FatBuilder::wipeBootSector() {
  std::memset(bytes_.data(), 0, 512);
  return *this;
}

FatBuilder& FatBuilder::mark(uint32_t cluster, uint32_t index, uint8_t first) {
  slot(cluster, index)[0] = first;
  return *this;
}

}  // namespace orvaldi::test
