// `orvaldi disks`: the physical drives this machine offers.
#include <cstdio>
#include <iostream>
#include <memory>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/json_out.h"
#include "disk/disk_list.h"
#include "disk/lvm_label.h"
#include "ops/format.h"

namespace orvaldi::cli {

void AddDisksCommand(CLI::App& app, int& exitCode) {
  auto* cmd = app.add_subcommand("disks", "List the physical drives (whole disks) that can be read");
  auto json = std::make_shared<bool>(false);
  cmd->add_flag("--json", *json, "Print a JSON array instead of text");
  cmd->callback([json, &exitCode] {
    disk::EnumeratePhysicalDisks();
    const auto& disks = disk::DiskList();
    if (*json) {
      nlohmann::json out = nlohmann::json::array();
      for (const auto& d : disks) {
        auto j = DiskJson(d);
        j["partitions"] = PartitionsJson(d);
        if (disk::HasLvmValues(d)) j["lvm"] = LvmJson(d);
        out.push_back(std::move(j));
      }
      std::cout << out.dump(2) << "\n";
    } else if (disks.empty()) {
      std::cout << "No readable drives found.\n";
    } else {
      for (const auto& d : disks) {
        if (d.diskKind == disk::DiskKind::kDynamicGroup) {
          PrintDiskHeading(d);
          if (!d.partitions.empty()) PrintPartitionTable(d, "    ");
          continue;
        }
        std::printf("%s  %s  %s  C/H/S %u/%u/%u  %s%s\n", disk::DisplayName(d).c_str(), d.devicePath.c_str(),
                    ops::SizeText(static_cast<uint64_t>(d.sizeBytes)).c_str(), d.cylinders, d.tracksPerCylinder,
                    d.sectorsPerTrack, d.fixedMedia ? "fixed" : "removable",
                    d.serialNumber.empty() ? "" : ("  serial " + d.serialNumber).c_str());
        if (!d.partitions.empty()) PrintPartitionTable(d, "    ");
        if (disk::HasLvmValues(d)) PrintLvmVolumes(d, "    ");
      }
    }
    exitCode = kExitOk;
  });
}

}  // namespace orvaldi::cli
