// `orvaldi parts SOURCE`: the partitions of a disk image or block device.
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/json_out.h"
#include "cli/result_options.h"
#include "cli/text_columns.h"
#include "disk/disk_list.h"
#include "disk/lvm_label.h"
#include "disk/sector_io.h"
#include "ops/format.h"

namespace orvaldi::cli {
void PrintPartitionTable(const disk::DiskInfo& d, const char* indent) {
  const auto names = ops::PartitionDisplayNames(d);
  std::printf("%s%s%s%s%s%s%s%s%s%s\n", indent, Pad("#", 4).c_str(), Pad("名称", 28).c_str(), Pad("标签", 16).c_str(),
              Pad("文件类型", 12).c_str(), Pad("起始地址", 12).c_str(), Pad("大小", 12).c_str(),
              Pad("起始扇区", 12).c_str(), Pad("扇区数", 12).c_str(), "类型 表   来源");
  for (size_t i = 0; i < d.partitions.size(); ++i) {
    const auto& p = d.partitions[i];
    char tail[64];
    std::snprintf(tail, sizeof tail, "0x%02X %s %u", p.typeByte, ops::TableKindText(p.tableKind).c_str(),
                  disk::NumberOf(p.origin));
    std::printf("%s%s%s%s%s%s%s%s%s%s\n", indent, Pad(std::to_string(i), 4).c_str(), Pad(names[i], 28).c_str(),
                Pad(p.volumeLabel, 16).c_str(), Pad(ops::FsTypeName(p), 12).c_str(),
                Pad(ops::SizeText(p.startSector * disk::SectorSize), 12).c_str(),
                Pad(ops::SizeText(p.sectorCount * disk::SectorSize), 12).c_str(),
                Pad(std::to_string(p.startSector), 12).c_str(), Pad(std::to_string(p.sectorCount), 12).c_str(), tail);
  }
  // A dynamic volume's extents, in the order its mapping numbers them.
  for (size_t i = 0; i < d.partitions.size(); ++i) {
    const auto& p = d.partitions[i];
    if (p.volumeKind == disk::VolumeKind::kPlain) continue;
    std::printf("%s%zu %s: %s", indent, i, p.name.c_str(), ops::VolumeLayoutText(p).c_str());
    if (p.volumeKind == disk::VolumeKind::kStriped || p.volumeKind == disk::VolumeKind::kRaid5)
      std::printf(", stripe %u sectors", p.stripeSectors);
    std::printf("\n");
    for (const auto& m : p.members)
      std::printf("%s    disk %s  %s  start %llu  sectors %llu\n", indent, ops::GuidText(m.diskGuid).c_str(),
                  m.devicePath.empty() ? "(missing)" : m.devicePath.c_str(),
                  static_cast<unsigned long long>(m.startSector), static_cast<unsigned long long>(m.sectorCount));
  }
}

void PrintDiskHeading(const disk::DiskInfo& d) {
  if (d.diskKind == disk::DiskKind::kDynamicGroup) {
    std::printf("%s  dynamic disk group  %s\n", disk::DisplayName(d).c_str(), d.groupId.c_str());
    return;
  }
  std::printf("%s  %s", disk::DisplayName(d).c_str(), ops::SizeText(static_cast<uint64_t>(d.sizeBytes)).c_str());
  if (!d.memberId.empty()) std::printf("  member %s of group %s", d.memberId.c_str(), d.groupId.c_str());
  // Sector numbers stay in 512-byte units on every disk; the disk's own unit is named.
  if (d.bytesPerSector != disk::SectorSize && d.mapEntryCount == 0)
    std::printf("  %u-byte sectors (sector numbers below count 512 bytes)", d.bytesPerSector);
  std::printf("\n");
}

void PrintLvmVolumes(const disk::DiskInfo& d, const char* indent) {
  std::printf("%sLVM2 物理卷 %s  卷组 %s\n", indent, d.memberId.c_str(), d.groupId.c_str());
  std::printf("%s  设备扇区数 %llu  PE 起始扇区 %llu  PE 数 %u  PE 扇区数 %u\n", indent,
              static_cast<unsigned long long>(d.lvmDevSize), static_cast<unsigned long long>(d.lvmPeStart),
              d.lvmPeCount, d.lvmExtentSize);
  if (d.logicalVolumes.empty()) {
    std::printf("%s  (no logical volumes)\n", indent);
    return;
  }
  std::printf("%s  %s%s%s%s\n", indent, Pad("逻辑卷", 24).c_str(), Pad("大小", 12).c_str(), Pad("扇区数", 12).c_str(),
              "段数");
  for (const auto& lv : d.logicalVolumes) {
    std::printf("%s  %s%s%s%u\n", indent, Pad(lv.name, 24).c_str(),
                Pad(ops::SizeText(lv.sizeSectors * disk::SectorSize), 12).c_str(),
                Pad(std::to_string(lv.sizeSectors), 12).c_str(), lv.segmentCount);
    for (const auto& seg : lv.segments)
      std::printf("%s    段 LE %u+%u  条带 %u  物理卷 %s  PE %llu\n", indent, seg.startExtent, seg.extentCount,
                  seg.stripeCount, seg.pvId.empty() ? "-" : seg.pvId.c_str(),
                  static_cast<unsigned long long>(seg.pvStartExtent));
  }
}

namespace {

// What the table reader read past: a GPT whose checksums do not match may be
// stale or damaged, so the operator should know its partitions are a guess.
std::vector<std::string> TableWarnings(const disk::DiskInfo& d) {
  std::vector<std::string> out;
  if (d.tableChecks.gptHeaderCrcMismatch) out.emplace_back("GPT 头的校验和不符，分区仍按表中内容列出");
  if (d.tableChecks.gptEntriesCrcMismatch) out.emplace_back("GPT 分区项的校验和不符，分区仍按表中内容列出");
  if (d.tableChecks.gptBackupHeaderUsed) out.emplace_back("GPT 主表头不可用，分区按备份表头列出");
  if (const uint64_t reach = d.tableChecks.mbrReachEnd; reach != 0 && d.sizeBytes > 0) {
    const uint64_t sectors = static_cast<uint64_t>(d.sizeBytes) / disk::SectorSize;
    if (sectors > reach)
      out.push_back("MBR 分区表只能描述磁盘的前 " + ops::SizeText(reach * disk::SectorSize) + "：第 " +
                    std::to_string(reach) + " 扇区起的 " + std::to_string(sectors - reach) + " 个扇区 (" +
                    ops::SizeText((sectors - reach) * disk::SectorSize) +
                    ") 不在任何分区中 (find-parts 或 rawscan 可在其中查找分区)");
  }
  return out;
}

}  // namespace

void AddPartsCommand(CLI::App& app, int& exitCode) {
  auto* cmd = app.add_subcommand("parts", "List the partitions of a disk image or block device");
  auto path = std::make_shared<std::string>();
  cmd->add_option("SOURCE", *path, "Disk image file or block device")->required();
  auto json = std::make_shared<bool>(false);
  cmd->add_flag("--json", *json, "Print a JSON array of partitions");
  auto result = std::make_shared<ResultOptions>();
  AddLoadResultOption(cmd, *result);
  cmd->callback([path, json, result, &exitCode] {
    ops::LoadedDisk loaded = ops::LoadDisk(*path, result->source());
    if (const int code = LoadedSourceExitCode(loaded.status, loaded.error, loaded.resultNotes); code != kExitOk) {
      exitCode = code;
      return;
    }
    auto& d = loaded.disk;
    const auto warnings = TableWarnings(*d);
    for (const auto& w : warnings) std::fprintf(stderr, "orvaldi: 警告：%s\n", w.c_str());
    if (*json) {
      // A physical volume's listing also carries its group and logical
      // volumes, so it is an object, as rawscan's is; other disks keep the array.
      if (disk::HasLvmValues(*d)) {
        std::cout << nlohmann::json{{"partitions", PartitionsJson(*d)}, {"lvm", LvmJson(*d)}}.dump(2) << "\n";
      } else {
        std::cout << PartitionsJson(*d).dump(2) << "\n";
      }
    } else {
      for (const auto& member : loaded.memberDisks) {
        PrintDiskHeading(member);
        if (!member.partitions.empty()) PrintPartitionTable(member, "  ");
      }
      PrintDiskHeading(*d);
      for (const auto& w : warnings) std::printf("  警告：%s\n", w.c_str());
      if (d->partitions.empty()) {
        std::printf("  (no partitions found)\n");
      } else {
        PrintPartitionTable(*d, "  ");
      }
      if (disk::HasLvmValues(*d)) PrintLvmVolumes(*d, "  ");
    }
    exitCode = kExitOk;
  });
}

}  // namespace orvaldi::cli
