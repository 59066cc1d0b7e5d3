// `orvaldi find-parts SOURCE`: searching a disk for lost volumes by their boot sectors.
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "cli/commands.h"
#include "cli/console_progress.h"
#include "cli/exit_codes.h"
#include "cli/json_out.h"
#include "cli/result_options.h"
#include "cli/text_columns.h"
#include "disk/lost_partition_search.h"
#include "disk/sector_io.h"
#include "ops/format.h"
#include "ops/source.h"
#include "ops/sweep_checkpoint.h"

namespace orvaldi::cli {
namespace {

struct FindOptions {
  std::string source;
  std::string mode = "cylinder";
  unsigned heads = 0;
  bool json = false;
  ResultOptions result;
  CheckpointFlags checkpointing;  // sector mode only
};

disk::SearchMode ModeOf(const std::string& name) {
  if (name == "head") return disk::SearchMode::kHead;
  if (name == "sector") return disk::SearchMode::kSector;
  return disk::SearchMode::kCylinder;
}

// The size column: the size text, then the sector count as "(N sec)" without
// the space.
std::string SizeColumn(const std::string& sectors) {
  uint64_t n = 0;
  const auto [end, ec] = std::from_chars(sectors.data(), sectors.data() + sectors.size(), n);
  if (ec != std::errc() || end != sectors.data() + sectors.size()) return sectors;
  return ops::SizeText(n * disk::SectorSize) + " (" + sectors + "sec)";
}

void PrintHeader() {
  std::printf("%s%s%s%s%s\n", Pad("文件系统", 10).c_str(), Pad("卷标", 16).c_str(), Pad("柱面-磁头-扇区", 18).c_str(),
              Pad("分区大小", 28).c_str(), "分区类型");
}

void PrintRow(const std::string& row) {
  disk::ResultRowFields f;
  if (!disk::SplitResultRow(row, f)) return;
  std::printf("%s%s%s%s%s\n", Pad(f.fileSystem, 10).c_str(), Pad(f.label, 16).c_str(), Pad(f.position, 18).c_str(),
              Pad(SizeColumn(f.sectors), 28).c_str(), f.tableKind.c_str());
}

// Takes the rows the search queued each time it reports progress, as the
// search window does, and prints them above the bar. In JSON mode the rows
// are only taken (the finds themselves are printed as they come).
class RowPrinter final : public platform::ProgressSink {
 public:
  RowPrinter(platform::ProgressBlock& block, bool json) : block_(block), bar_(block), json_(json) {}

  void beginStage(int64_t upper, int64_t step) override {
    flush();
    bar_.beginStage(upper, step);
  }
  void step() override {
    flush();
    bar_.step();
  }
  void setPosition(uint64_t position) override {
    flush();
    bar_.setPosition(position);
  }
  void flush() {
    const auto rows = block_.takeRows();
    if (rows.empty() || json_) return;
    bar_.finish();
    for (const auto& row : rows) PrintRow(row);
    std::fflush(stdout);
  }
  void finish() { bar_.finish(); }

 private:
  platform::ProgressBlock& block_;
  ConsoleProgress bar_;
  bool json_;
};

int RunFindParts(const FindOptions& o) {
  if (const int code = RefuseGroupSource(o.source, "find-parts"); code != kExitOk) return code;
  if (const int code = RefuseSaveOntoSource(o.source, o.result); code != kExitOk) return code;
  if (const int code = RefuseWriteOntoSource(o.source, o.checkpointing.checkpoint); code != kExitOk) return code;
  const bool checkpointing = o.checkpointing.any();
  if (checkpointing && ModeOf(o.mode) != disk::SearchMode::kSector) {
    std::fprintf(stderr, "orvaldi: --checkpoint and --resume are for --mode sector\n");
    return kExitUsage;
  }
  ops::LoadedDisk loaded = ops::LoadDisk(o.source, o.result.source());
  if (const int code = LoadedSourceExitCode(loaded.status, loaded.error, loaded.resultNotes); code != kExitOk)
    return code;
  auto& d = loaded.disk;
  ops::SweepCheckpointer checkpointer;
  const ops::SweepCheckpointOptions settings = o.checkpointing.settings();
  if (checkpointing && !checkpointer.prepareSearch(*d, settings)) {
    std::fprintf(stderr, "orvaldi: %s\n", checkpointer.error().c_str());
    return kExitUsage;
  }
  platform::ProgressBlock progress;
  RowPrinter printer(progress, o.json);
  progress.setSink(&printer);
  disk::LostPartitionHandler onFind;
  if (o.json) {
    onFind = [&printer](const disk::LostPartitionFind& f) {
      nlohmann::json j = PartitionJson(f.record, f.index);
      j["position"] = std::to_string(f.cylinder) + "," + std::to_string(f.head) + ",1";
      printer.finish();
      std::printf("%s\n", j.dump().c_str());
      std::fflush(stdout);
    };
  } else {
    PrintHeader();
  }
  disk::LostPartitionReport report;
  int ran = 0;
  {
    InterruptCancels interrupt(progress);
    ran = disk::SearchLostPartitions(*d, ModeOf(o.mode), static_cast<uint8_t>(o.heads), progress, &report, onFind,
                                     checkpointing ? checkpointer.searchCheckpoints() : nullptr);
  }
  printer.flush();
  printer.finish();
  if (!ran) {
    std::fprintf(stderr, "orvaldi: %s\n", report.error.c_str());
    return kExitSource;
  }
  if (!o.json && report.finds == 0) std::printf("(no partitions found)\n");
  // What was found is kept also when the search was stopped or could not
  // read everything: it still saves the operator a second search.
  if (const int code = SaveResultIfAsked(o.result, *d); code != kExitOk) return code;
  if (const std::string why = checkpointer.writeError(); !why.empty()) {
    std::fprintf(stderr, "orvaldi: %s\n", why.c_str());
    if (!report.cancelled) return kExitSource;
  }
  if (report.unreadableSectors != 0) {
    std::fprintf(stderr, "orvaldi: %llu 个扇区无法读取，其中的分区无法找到\n",
                 static_cast<unsigned long long>(report.unreadableSectors));
    return kExitIncomplete;
  }
  return report.cancelled ? kExitCancelled : kExitOk;
}

}  // namespace

void AddFindPartsCommand(CLI::App& app, int& exitCode) {
  auto* cmd = app.add_subcommand(
      "find-parts",
      "Search a disk for lost NTFS, FAT32 and FAT16 volumes by their boot sectors (and NTFS and FAT32 backups)");
  auto o = std::make_shared<FindOptions>();
  cmd->add_option("SOURCE", o->source, "Disk image file or block device (only read)")->required();
  cmd->add_option("--mode", o->mode,
                  "Where to look: cylinder (each cylinder start and one track after it; cylinder 0 also at "
                  "sector 2048), head (each track start and one track after it) or sector (every sector, 10 MiB "
                  "at a time; a tail shorter than 10 MiB is skipped)")
      ->check(CLI::IsMember({"cylinder", "head", "sector"}))
      ->default_val("cylinder");
  cmd->add_option("--heads", o->heads, "Heads per cylinder for the cylinder and head modes (0: the disk's own)")
      ->check(CLI::Range(0, 255))
      ->default_val(0);
  cmd->add_flag("--json", o->json,
                "Print one JSON object per line and find: the keys of 'parts --json' plus position "
                "(\"cylinder,head,1\")");
  AddLoadResultOption(cmd, o->result);
  AddSaveResultOption(cmd, o->result);
  AddCheckpointOptions(cmd, o->checkpointing,
                       "--mode sector: keep FILE up to date with the finds and the position (every few seconds, on "
                       "Ctrl-C and at the end), so that a stopped search can be taken up with --resume; not on SOURCE",
                       "--mode sector: go on from the checkpoint FILE of a stopped search of the same source; the "
                       "finds before the stop are printed again, so the output is that of a search never stopped");
  cmd->callback([o, &exitCode] { exitCode = RunFindParts(*o); });
}

}  // namespace orvaldi::cli
