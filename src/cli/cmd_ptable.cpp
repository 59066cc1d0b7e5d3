// `orvaldi ptable backup|restore|rebuild` and `orvaldi region`: the partition-table
// tools, which write to the disk only when told `--yes`, and a hand-made region.
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/result_options.h"
#include "cli/text_columns.h"
#include "disk/disk_list.h"
#include "disk/partition_table.h"
#include "disk/partition_table_tools.h"
#include "disk/sector_io.h"
#include "disk/volume_probe.h"
#include "ops/format.h"
#include "ops/source.h"

namespace orvaldi::cli {
namespace {

using disk::PtableStatus;

// The one place a SOURCE is loaded, so that every tool sees the disk the
// same way (with whatever partitions a search found and saved earlier).
std::optional<disk::DiskInfo> LoadForTool(const std::string& path, const ResultOptions& result, int& exitCode) {
  // A group's name is no path: its tables live on each member disk.
  if ((exitCode = RefuseGroupSource(path, "the partition-table tool")) != kExitOk) return std::nullopt;
  ops::LoadedDisk loaded = ops::LoadDisk(path, result.source());
  exitCode = LoadedSourceExitCode(loaded.status, loaded.error, loaded.resultNotes);
  if (exitCode != kExitOk) return std::nullopt;
  return std::move(loaded.disk);
}

int Report(const disk::PtableResult& result) {
  switch (result.status) {
    case PtableStatus::kOk:
      std::printf("%s\n", result.message.c_str());
      return kExitOk;
    case PtableStatus::kRefused:
      std::fprintf(stderr, "orvaldi: %s\n", result.message.c_str());
      return kExitUsage;
    case PtableStatus::kBadBackup:
      std::fprintf(stderr, "orvaldi: %s\n", result.message.c_str());
      return kExitCorrupt;
    case PtableStatus::kIoError:
      std::fprintf(stderr, "orvaldi: %s\n", result.message.c_str());
      return kExitSource;
  }
  return kExitInternal;
}

int NotConfirmed() {
  std::fprintf(stderr, "orvaldi: nothing written; add --yes to write this\n");
  return kExitUsage;
}

void PrintRebuildList(const disk::DiskInfo& d, const std::vector<disk::RebuildRow>& rows) {
  std::printf("%s  %s\n", disk::DisplayName(d).c_str(), ops::SizeText(static_cast<uint64_t>(d.sizeBytes)).c_str());
  std::printf("警告：分区表重建前需备份\n");
  if (rows.empty()) {
    std::printf("  (no NTFS, FAT32 or FAT16 partition to build a table from)\n");
    return;
  }
  std::printf("  %s%s%s%s%s%s\n", Pad("#", 4).c_str(), Pad("系统", 8).c_str(), Pad("卷标", 16).c_str(),
              Pad("起始位置(sec)", 16).c_str(), Pad("大小", 12).c_str(), "主/逻辑");
  for (size_t i = 0; i < rows.size(); ++i) {
    const auto& r = rows[i];
    std::printf("  %s%s%s%s%s%s\n", Pad(std::to_string(i + 1), 4).c_str(), Pad(r.system, 8).c_str(),
                Pad(r.label, 16).c_str(), Pad(std::to_string(r.startSector), 16).c_str(),
                Pad(ops::SizeText(r.sectorCount * disk::SectorSize), 12).c_str(),
                ops::TableKindText(r.tableKind).c_str());
  }
}

void AddBackup(CLI::App& ptable, int& exitCode) {
  auto* cmd = ptable.add_subcommand("backup",
                                    "Copy the sectors that hold the partition tables and boot sectors "
                                    "into a new backup file (an existing FILE is never replaced)");
  auto source = std::make_shared<std::string>();
  auto file = std::make_shared<std::string>();
  cmd->add_option("SOURCE", *source, "Disk image file or block device")->required();
  auto loadOpts = std::make_shared<ResultOptions>();
  AddLoadResultOption(cmd, *loadOpts);
  cmd->add_option("FILE", *file, "Backup file to create")->required();
  cmd->callback([source, loadOpts, file, &exitCode] {
    if ((exitCode = RefuseGroupSource(*source, "ptable backup")) != kExitOk) return;
    if ((exitCode = RefuseWriteOntoSource(*source, *file)) != kExitOk) return;
    auto d = LoadForTool(*source, *loadOpts, exitCode);
    if (!d) return;
    const auto result = disk::BackupPartitionTable(*d, *file);
    exitCode = Report(result);
    if (result.status == PtableStatus::kOk)
      std::printf("%s: %zu sectors of %s\n", file->c_str(), disk::BackupSectors(*d).size(), d->devicePath.c_str());
  });
}

void AddRestore(CLI::App& ptable, int& exitCode) {
  auto* cmd = ptable.add_subcommand(
      "restore", "Write a backup back onto the disk it was taken from (the same device path and disk name)");
  auto source = std::make_shared<std::string>();
  auto file = std::make_shared<std::string>();
  auto yes = std::make_shared<bool>(false);
  cmd->add_option("SOURCE", *source, "Disk image file or block device to write to")->required();
  auto loadOpts = std::make_shared<ResultOptions>();
  AddLoadResultOption(cmd, *loadOpts);
  cmd->add_option("FILE", *file, "Backup file made by 'ptable backup'")->required();
  cmd->add_flag("--yes", *yes, "Write; without it the blocks are only listed");
  cmd->callback([source, loadOpts, file, yes, &exitCode] {
    auto d = LoadForTool(*source, *loadOpts, exitCode);
    if (!d) return;
    const auto plan = disk::PlanRestore(*d, *file);
    if (plan.result.status != PtableStatus::kOk) {
      exitCode = Report(plan.result);
      return;
    }
    std::printf("%zu sectors from %s to %s:\n", plan.backup.offsets.size(), file->c_str(), d->devicePath.c_str());
    for (uint64_t offset : plan.backup.offsets)
      std::printf("  byte offset %llu (sector %llu)\n", static_cast<unsigned long long>(offset),
                  static_cast<unsigned long long>(offset / disk::SectorSize));
    // The same path may hold another disk by now, or this one changed since
    // the backup: the operator sees how before anything is written.
    if (!plan.differences.empty()) {
      std::printf("警告：磁盘与备份时不同 (the disk differs from the one backed up):\n");
      for (const std::string& line : plan.differences) std::printf("  %s\n", line.c_str());
    }
    if (!*yes) {
      exitCode = NotConfirmed();
      return;
    }
    exitCode = Report(disk::RestorePartitionTable(*d, *file));
  });
}

void AddRebuild(CLI::App& ptable, int& exitCode) {
  auto* cmd = ptable.add_subcommand("rebuild",
                                    "List the NTFS, FAT32 and FAT16 partitions a new MBR table can be built "
                                    "from; with --use, write a table of the chosen rows into sector 0");
  auto source = std::make_shared<std::string>();
  auto use = std::make_shared<std::vector<size_t>>();
  auto yes = std::make_shared<bool>(false);
  cmd->add_option("SOURCE", *source, "Disk image file or block device")->required();
  auto loadOpts = std::make_shared<ResultOptions>();
  AddLoadResultOption(cmd, *loadOpts);
  cmd->add_option("--use", *use, "Rows to put in the table (numbers as listed, at most 4, comma-separated)")
      ->delimiter(',');
  cmd->add_flag("--yes", *yes, "Write; without it the new entries are only shown");
  cmd->callback([source, loadOpts, use, yes, &exitCode] {
    auto d = LoadForTool(*source, *loadOpts, exitCode);
    if (!d) return;
    const auto rows = disk::RebuildCandidates(*d);
    PrintRebuildList(*d, rows);
    if (use->empty()) {
      exitCode = kExitOk;
      return;
    }
    std::vector<size_t> chosen;
    for (size_t n : *use) {
      if (n == 0) {
        std::fprintf(stderr, "orvaldi: rows are numbered from 1\n");
        exitCode = kExitUsage;
        return;
      }
      chosen.push_back(n - 1);
    }
    const auto plan = disk::PlanRebuild(*d, chosen);
    if (plan.result.status != PtableStatus::kOk) {
      exitCode = Report(plan.result);
      return;
    }
    std::printf("sector 0 of %s, partition entries (boot flag and CHS fields kept):\n", d->devicePath.c_str());
    if (d->bytesPerSector != disk::SectorSize)
      std::printf("  (in the disk's own sectors of %u bytes)\n", static_cast<unsigned>(d->bytesPerSector));
    for (size_t slot = 0; slot < 4; ++slot) {
      if (slot < plan.entries.size()) {
        const auto& e = plan.entries[slot];
        std::printf("  entry %zu: row %zu, type 0x%02X, first sector %u, %u sectors\n", slot, e.row + 1, e.typeByte,
                    e.startSector, e.sectorCount);
      } else {
        std::printf("  entry %zu: zeroed\n", slot);
      }
    }
    if (!*yes) {
      exitCode = NotConfirmed();
      return;
    }
    exitCode = Report(disk::RebuildPartitionTable(*d, chosen));
  });
}

}  // namespace

void AddPtableCommand(CLI::App& app, int& exitCode) {
  auto* ptable = app.add_subcommand("ptable", "Back up, restore or rebuild a disk's partition table");
  ptable->require_subcommand(1);
  AddBackup(*ptable, exitCode);
  AddRestore(*ptable, exitCode);
  AddRebuild(*ptable, exitCode);
}

void AddRegionCommand(CLI::App& app, int& exitCode) {
  auto* cmd = app.add_subcommand("region", "Describe the sectors START to END of a disk as a partition record");
  auto source = std::make_shared<std::string>();
  auto start = std::make_shared<uint64_t>(0);
  auto end = std::make_shared<uint64_t>(0);
  cmd->add_option("SOURCE", *source, "Disk image file or block device")->required();
  auto loadOpts = std::make_shared<ResultOptions>();
  AddLoadResultOption(cmd, *loadOpts);
  cmd->add_option("START", *start, "First sector")->required();
  cmd->add_option("END", *end, "Sector after the last one")->required();
  cmd->callback([source, loadOpts, start, end, &exitCode] {
    auto d = LoadForTool(*source, *loadOpts, exitCode);
    if (!d) return;
    const uint64_t diskSectors = static_cast<uint64_t>(d->sizeBytes) / disk::SectorSize;
    if (*end <= *start || *end > diskSectors) {
      std::fprintf(stderr, "orvaldi: START must lie below END, and END at most %llu (the disk's sectors)\n",
                   static_cast<unsigned long long>(diskSectors));
      exitCode = kExitUsage;
      return;
    }
    std::string error;
    auto reader = disk::OpenSource(*d, &error);
    if (!reader) {
      std::fprintf(stderr, "orvaldi: %s\n", error.c_str());
      exitCode = kExitSource;
      return;
    }
    disk::CreateRegion(*start, *end, *d, *reader);
    const disk::PartitionInfo& p = d->partitions.back();
    const disk::VolumeGuess guess = disk::IdentifyVolume(*reader, p.startSector);
    std::printf("name:    %s\n", p.name.c_str());
    std::printf("start:   %llu\n", static_cast<unsigned long long>(p.startSector));
    std::printf("end:     %llu\n", static_cast<unsigned long long>(p.startSector + p.sectorCount));
    std::printf("sectors: %llu (%s)\n", static_cast<unsigned long long>(p.sectorCount),
                ops::SizeText(p.sectorCount * disk::SectorSize).c_str());
    const std::string fs = ops::FsTypeName(p);
    std::printf("type:    0x%02X%s\n", p.typeByte, fs.empty() ? "" : (" (" + fs + ")").c_str());
    if (guess.fs.empty()) {
      std::printf("holds:   no volume recognised\n");
    } else {
      std::printf("holds:   %s%s\n", guess.fs.c_str(),
                  guess.label.empty() ? "" : (", label \"" + guess.label + "\"").c_str());
    }
    exitCode = kExitOk;
  });
}

}  // namespace orvaldi::cli
