// JSON renderings of disks.
#include "cli/json_out.h"

#include "ops/format.h"

namespace orvaldi::cli {

nlohmann::json DiskJson(const disk::DiskInfo& disk) {
  return {
      {"name", disk::DisplayName(disk)},
      {"devicePath", disk.devicePath},
      {"index", disk.index},
      {"vendor", disk.vendorId},
      {"product", disk.productId},
      {"revision", disk.revision},
      {"serial", disk.serialNumber},
      {"sizeBytes", disk.sizeBytes},
      {"size", ops::SizeText(static_cast<uint64_t>(disk.sizeBytes))},
      {"cylinders", disk.cylinders},
      {"heads", disk.tracksPerCylinder},
      {"sectorsPerTrack", disk.sectorsPerTrack},
      {"fixedMedia", disk.fixedMedia != 0},
  };
}

}  // namespace orvaldi::cli
