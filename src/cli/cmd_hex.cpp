// `orvaldi hex`: the rows of the hex view of a sector range or of one file.
#include <cstdio>
#include <memory>
#include <string>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/partition_scan.h"
#include "cli/result_options.h"
#include "raw/hex_model.h"

namespace orvaldi::cli {
namespace {

struct HexOptions {
  std::string source;
  std::string partition;
  std::string path;
  uint64_t sector = 0;
  uint32_t count = 1;
  uint32_t width = 16;
  std::string mode = "walk";
  ResultOptions result;
};

// Prints the rows of the bytes that were read; what could not be read is
// said on stderr, never printed as zeros.
int PrintLoad(raw::HexLoad& load, uint32_t width) {
  if (load.bytes.empty() && !load.problem.empty()) {
    std::fprintf(stderr, "orvaldi: %s\n", load.problem.c_str());
    return kExitSource;
  }
  const uint64_t readable = load.readable;
  raw::HexModel model;
  model.setData(std::move(load.bytes));
  model.setBytesPerRow(width);
  model.setWideAddress(model.data().size() > 0x10000);
  std::printf("%s\n", model.caption().c_str());
  const size_t ruleWidth = width * 3 + 6;
  for (const raw::HexRow& row : model.rows(model.data().size() * 2)) {
    if (row.offset >= readable) break;
    if (row.marker) {
      const size_t dashes = ruleWidth > row.text.size() + 1 ? ruleWidth - row.text.size() - 1 : 3;
      std::printf("%s %s\n", row.text.c_str(), std::string(dashes, '-').c_str());
    } else {
      std::printf("%s  %-*s %s\n", row.address.c_str(), static_cast<int>(width * 3), row.hex.c_str(),
                  row.chars.c_str());
    }
  }
  if (!load.whole) {
    std::fprintf(stderr, "orvaldi: %s; nothing from there on is shown\n", load.problem.c_str());
    return kExitIncomplete;
  }
  return kExitOk;
}

int RunHex(const HexOptions& o) {
  if (o.partition.empty()) {
    if (const int code = RefuseGroupSource(o.source, "hex without PART"); code != kExitOk) return code;
    disk::DiskInfo disk;
    disk.devicePath = o.source;
    // Sectors are shown from the source itself; a result file named here is
    // still checked against it, so that a wrong one is not passed over.
    if (!o.result.loadFile.empty()) {
      const ops::LoadedDisk loaded = ops::LoadDisk(o.source, o.result.source());
      if (const int code = LoadedSourceExitCode(loaded.status, loaded.error, loaded.resultNotes); code != kExitOk)
        return code;
    }
    raw::HexLoad load = raw::LoadSectorRange(disk, o.sector, uint64_t{o.count} * raw::HexModel::kSector);
    return PrintLoad(load, o.width);
  }
  if (o.path.empty()) {
    std::fprintf(stderr, "orvaldi: hex with a partition needs the PATH of a file\n");
    return kExitUsage;
  }
  OpenedForCommand open;
  fs::NodeRef file;
  if (const int code = OpenFileForCommand(o.source, o.partition, o.mode, o.result.source(), o.path, open, file);
      code != kExitOk)
    return code;
  disk::PartitionInfo& part = open.source.partition();
  raw::HexLoad load = raw::LoadFile(*open.source.disk, part, file);
  return PrintLoad(load, o.width);
}

}  // namespace

void AddHexCommand(CLI::App& app, int& exitCode) {
  auto* cmd = app.add_subcommand("hex", "Show sectors of the source, or one file's bytes, as a hex view");
  auto o = std::make_shared<HexOptions>();
  cmd->add_option("SOURCE", o->source, "Disk image file or block device (only read)")->required();
  auto* part = cmd->add_option("PART", o->partition,
                               "Partition: index or name as 'orvaldi parts' shows it, or mount point (with PATH)");
  cmd->add_option("PATH", o->path,
                  "The file as 'orvaldi ls' prints it (the existing one when a deleted one shares it)");
  auto* sector = cmd->add_option("--sector", o->sector, "First sector shown, from the start of SOURCE (default 0)");
  auto* count = cmd->add_option("--count", o->count, "Sectors shown (default 1)")->check(CLI::Range(1u, 1u << 21));
  sector->excludes(part);
  count->excludes(part);
  cmd->add_option("--width", o->width, "Bytes per row: 1, 2, 4, 8 or 16 (default 16)")
      ->check(CLI::IsMember({1u, 2u, 4u, 8u, 16u}));
  AddOpenModeOption(cmd, o->mode);
  AddLoadResultOption(cmd, o->result);
  cmd->callback([o, &exitCode] { exitCode = RunHex(*o); });
}

}  // namespace orvaldi::cli
