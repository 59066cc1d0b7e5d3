// JSON renderings of disks.
#include "cli/json_out.h"

#include "ops/format.h"

namespace orvaldi::cli {

nlohmann::json DiskJson(const disk::DiskInfo& disk) {
  nlohmann::json out = {
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
  // Dynamic-disk groups and their member disks say which is which.
  if (disk.diskKind != disk::DiskKind::kDrive) out["kind"] = disk::NumberOf(disk.diskKind);
  if (!disk.memberId.empty()) out["memberId"] = disk.memberId;
  if (!disk.groupId.empty()) out["groupId"] = disk.groupId;
  return out;
}

nlohmann::json PartitionJson(const disk::PartitionInfo& p, size_t index) {
  nlohmann::json out = {
      {"index", index},
      {"name", p.name},
      {"label", p.volumeLabel},
      {"fs", ops::FsTypeName(p)},
      {"start", p.startSector},
      {"sectors", p.sectorCount},
      {"type", p.typeByte},
      {"table", ops::TableKindText(p.tableKind)},
      {"origin", disk::NumberOf(p.origin)},
      {"mount", p.driveLetter},
  };
  if (p.volumeKind != disk::VolumeKind::kPlain) {
    out["volumeKind"] = disk::NumberOf(p.volumeKind);
    out["stripeSectors"] = p.stripeSectors;
    nlohmann::json members = nlohmann::json::array();
    for (const auto& m : p.members)
      members.push_back({{"disk", ops::GuidText(m.diskGuid)},
                         {"devicePath", m.devicePath},
                         {"start", m.startSector},
                         {"sectors", m.sectorCount}});
    out["members"] = std::move(members);
  }
  return out;
}

nlohmann::json PartitionsJson(const disk::DiskInfo& disk) {
  nlohmann::json out = nlohmann::json::array();
  for (size_t i = 0; i < disk.partitions.size(); ++i) out.push_back(PartitionJson(disk.partitions[i], i));
  return out;
}

nlohmann::json LvmJson(const disk::DiskInfo& disk) {
  nlohmann::json volumes = nlohmann::json::array();
  for (const auto& lv : disk.logicalVolumes) {
    nlohmann::json segments = nlohmann::json::array();
    for (const auto& seg : lv.segments)
      segments.push_back({{"startExtent", seg.startExtent},
                          {"extentCount", seg.extentCount},
                          {"stripeCount", seg.stripeCount},
                          {"pvId", seg.pvId},
                          {"pvStartExtent", seg.pvStartExtent}});
    volumes.push_back(
        {{"name", lv.name}, {"sectors", lv.sizeSectors}, {"segmentCount", lv.segmentCount}, {"segments", segments}});
  }
  return {{"memberId", disk.memberId},  {"groupId", disk.groupId},    {"devSize", disk.lvmDevSize},
          {"peStart", disk.lvmPeStart}, {"peCount", disk.lvmPeCount}, {"extentSize", disk.lvmExtentSize},
          {"logicalVolumes", volumes}};
}

}  // namespace orvaldi::cli
