// The carving sweep's side of the file formats: reads through the volume, and the records in "Extra Found Files".
#include "raw/carving.h"

#include <algorithm>
#include <span>

#include "disk/sector_io.h"
#include "fs/formats/registry.h"

namespace orvaldi::raw {
namespace {

namespace formats = fs::formats;

constexpr uint32_t kSector = disk::SectorSize;

// Reads for one probe: through the partition's reader when given, else plain.
class ProbeReader final : public formats::FileReader {
 public:
  ProbeReader(platform::SectorSource* source, const disk::PartitionInfo* context, uint64_t start,
              std::span<const uint8_t> held)
      : FileReader(held), source_(source), context_(context), start_(start) {}

 private:
  void readOnDisk(uint64_t offset, uint64_t count, uint8_t* out) override {
    disk::ReadVolumeSectors(source_, context_, start_ + offset, count, out);
  }

  platform::SectorSource* source_;
  const disk::PartitionInfo* context_;
  uint64_t start_;
};

CarvedFind Record(disk::DiskInfo& disk, uint64_t start, const formats::Measured& c) {
  disk::CarvedNode node;
  node.size = static_cast<uint32_t>(c.size);
  node.name = c.name;
  node.intact = c.intact;
  disk.extraFoundFolder.children.try_emplace(start, std::move(node));
  return {static_cast<uint32_t>(c.size), c.extent != 0 ? std::min(c.extent, c.size) : c.size, c.intact};
}

}  // namespace

bool MayStartCarvedFile(const uint8_t* s) { return formats::AnyClaims(s); }

std::optional<CarvedFind> ProbeCarvedFile(disk::DiskInfo& disk, platform::SectorSource* source,
                                          const disk::PartitionInfo* context, std::span<const uint8_t> sectorData,
                                          uint64_t startSector) {
  if (sectorData.size() < 2 * kSector) return std::nullopt;
  const formats::FileFormat* format = formats::Claimant(sectorData.data());
  if (!format) return std::nullopt;
  ProbeReader reader(source, context, startSector, sectorData);
  formats::ReadWindow window(reader, sectorData);
  const std::optional<formats::Measured> carved = format->measure({sectorData, startSector, reader, window});
  if (!carved) return std::nullopt;
  return Record(disk, startSector, *carved);
}

}  // namespace orvaldi::raw
