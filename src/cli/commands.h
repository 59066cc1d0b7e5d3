// The subcommands of the orvaldi command.
#pragma once

#include <string>

#include <CLI/CLI.hpp>

#include "disk/disk_info.h"

namespace orvaldi::raw {
struct SaveSummary;
}  // namespace orvaldi::raw

namespace orvaldi::cli {

// Each registers its subcommand on `app`; the subcommand's callback stores
// its exit code in `exitCode`.
void AddDisksCommand(CLI::App& app, int& exitCode);
void AddInfoCommand(CLI::App& app, int& exitCode);
void AddPartsCommand(CLI::App& app, int& exitCode);
void AddLsCommand(CLI::App& app, int& exitCode);
void AddFindCommand(CLI::App& app, int& exitCode);
void AddRecoverCommand(CLI::App& app, int& exitCode);
void AddVerifyCommand(CLI::App& app, int& exitCode);
// recover and carve: --no-manifest, and the line saying what their manifest holds.
void AddManifestOption(CLI::App* cmd, bool& manifest);
void PrintManifestSummary(const raw::SaveSummary& summary);
void AddCatCommand(CLI::App& app, int& exitCode);
void AddHexCommand(CLI::App& app, int& exitCode);
void AddFindPartsCommand(CLI::App& app, int& exitCode);
void AddImageCommand(CLI::App& app, int& exitCode);
void AddFreeSpaceCommand(CLI::App& app, int& exitCode);
// rawscan and carve.
void AddRawScanCommand(CLI::App& app, int& exitCode);
// ptable backup|restore|rebuild, and region.
void AddPtableCommand(CLI::App& app, int& exitCode);
void AddRegionCommand(CLI::App& app, int& exitCode);

// The partition rows of `disk`, one per line, each line starting with `indent`.
void PrintPartitionTable(const disk::DiskInfo& disk, const char* indent);
// An LVM2 physical volume's values and its logical volumes with their segments.
void PrintLvmVolumes(const disk::DiskInfo& disk, const char* indent);
// The disk's heading line: name and size; a dynamic disk group's name and id.
void PrintDiskHeading(const disk::DiskInfo& disk);

}  // namespace orvaldi::cli
