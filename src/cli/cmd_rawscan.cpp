// `orvaldi rawscan` and `orvaldi carve`: the sector-by-sector sweep of a disk
// or partition, and saving the files it carved.
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "cli/commands.h"
#include "cli/console_progress.h"
#include "cli/exit_codes.h"
#include "cli/json_out.h"
#include "cli/result_options.h"
#include "ops/carved_names.h"
#include "ops/format.h"
#include "ops/source_probe.h"
#include "raw/save_engine.h"

namespace orvaldi::cli {
namespace {

struct ScanOptions {
  std::string source;
  std::string partition;  // empty: the whole disk
  bool json = false;
  std::string target;    // carve only
  bool manifest = true;  // carve only
  bool names = false;    // carve only: named carved files go under their found folder and name
  ResultOptions result;
  CheckpointFlags checkpointing;
};

// One line on stderr when sectors could not be read: how many, and where
// (the first runs; the JSON output lists them all).
void ReportUnreadable(const raw::RawScanReport& report) {
  if (report.unreadable.empty()) return;
  constexpr size_t kShown = 20;
  std::string where;
  for (size_t i = 0; i < report.unreadable.size() && i < kShown; ++i) {
    const raw::UnreadableRun& run = report.unreadable[i];
    where += (i ? ", " : "") + std::to_string(run.start) + "+" + std::to_string(run.sectors);
  }
  if (report.unreadable.size() > kShown) where += ", ...";
  std::fprintf(stderr, "orvaldi: %llu 个扇区无法读取 (%zu 处, 起始扇区+扇区数): %s\n",
               static_cast<unsigned long long>(report.unreadableSectors()), report.unreadable.size(), where.c_str());
}

// The names the volumes' records give the carved files of the swept range;
// false when Ctrl-C stopped it (nothing is named then).
bool NameCarved(ops::SweptSource& s) {
  platform::ProgressBlock progress;
  ConsoleProgress bar(progress);
  progress.setSink(&bar);
  InterruptCancels interrupt(progress);
  const ops::CarvedNaming naming = ops::NameCarvedFiles(*s.disk, progress, s.range.startSector, s.range.sectorCount);
  bar.finish();
  for (const std::string& volume : naming.unreadVolumes)
    std::fprintf(stderr, "orvaldi: partition %s could not be read; its files name no carved file\n", volume.c_str());
  return !naming.cancelled;
}

// "/DCIM/a.jpg": a named carved file's folder and name.
std::string FoundPathName(const disk::CarvedNode& file) {
  if (file.foundPath.empty()) return file.foundName;
  return file.foundPath + (file.foundPath.ends_with('/') ? "" : "/") + file.foundName;
}

int Sweep(const ScanOptions& o, ops::SweptSource& out, bool& cancelled) {
  {
    platform::ProgressBlock progress;
    ConsoleProgress bar(progress);
    progress.setSink(&bar);
    InterruptCancels interrupt(progress);
    out = ops::SweepSource(o.source, o.partition, progress, o.result.source(), o.checkpointing.settings());
    cancelled = progress.cancelled();
  }
  switch (out.status) {
    case ops::SweepStatus::kOk:
      LoadedSourceExitCode(ops::SourceStatus::kOk, "", out.resultNotes);
      if (!out.rangeNote.empty()) std::fprintf(stderr, "orvaldi: %s\n", out.rangeNote.c_str());
      ReportUnreadable(out.report);
      if (!out.checkpointError.empty()) std::fprintf(stderr, "orvaldi: %s\n", out.checkpointError.c_str());
      return kExitOk;
    case ops::SweepStatus::kNoSuchPartition:
    case ops::SweepStatus::kResultOtherDisk:
    case ops::SweepStatus::kCheckpointRefused:
      std::fprintf(stderr, "orvaldi: %s\n", out.error.c_str());
      return kExitUsage;
    case ops::SweepStatus::kUnreadable:
    case ops::SweepStatus::kCannotOpen:
    case ops::SweepStatus::kResultUnreadable:
      break;
  }
  std::fprintf(stderr, "orvaldi: %s\n", out.error.c_str());
  return kExitSource;
}

int RunRawScan(const ScanOptions& o) {
  // A group has no sectors of its own, but each of its volumes has: --part sweeps one through its mapping.
  if (o.partition.empty())
    if (const int code = RefuseGroupSource(o.source, "rawscan"); code != kExitOk) return code;
  if (const int code = RefuseSaveOntoSource(o.source, o.result); code != kExitOk) return code;
  if (const int code = RefuseWriteOntoSource(o.source, o.checkpointing.checkpoint); code != kExitOk) return code;
  ops::SweptSource s;
  bool cancelled = false;
  if (const int code = Sweep(o, s, cancelled); code != kExitOk) return code;
  if (!cancelled) cancelled = !NameCarved(s);
  const disk::DiskInfo& d = *s.disk;
  // Saved first, whatever the report says: a sweep stopped early or with
  // unreadable sectors still found what it lists.
  if (const int code = SaveResultIfAsked(o.result, d); code != kExitOk) return code;
  if (o.json) {
    nlohmann::json j;
    j["partitions"] = PartitionsJson(d);
    j["carved"] = nlohmann::json::array();
    for (const auto& [start, file] : d.extraFoundFolder.children) {
      nlohmann::json row = {{"start", start}, {"size", file.size}, {"name", file.name}, {"intact", file.intact}};
      if (!file.foundName.empty()) {
        row["foundName"] = file.foundName;
        if (!file.foundPath.empty()) row["foundPath"] = file.foundPath;
      }
      j["carved"].push_back(std::move(row));
    }
    j["directorySectors"] = d.directorySectors.size();
    j["mftRecordRuns"] = d.mftRecordRuns.size();
    j["unreadable"] = nlohmann::json::array();
    for (const raw::UnreadableRun& run : s.report.unreadable)
      j["unreadable"].push_back({{"start", run.start}, {"sectors", run.sectors}});
    std::printf("%s\n", j.dump(2).c_str());
    if (cancelled) return kExitCancelled;
    if (!s.checkpointError.empty()) return kExitSource;
    return s.report.unreadable.empty() ? kExitOk : kExitIncomplete;
  }
  std::printf("分区 (来源 0 分区表, 1 重建, 2 按引导扇区找到):\n");
  PrintPartitionTable(d, "  ");
  std::printf("\n%s: %zu 个文件\n", disk::kExtraFoundFolderName, d.extraFoundFolder.children.size());
  size_t named = 0;
  for (const auto& [start, file] : d.extraFoundFolder.children) {
    const std::string found = file.foundName.empty() ? "" : "  原文件: " + FoundPathName(file);
    named += !file.foundName.empty();
    std::printf("  %12llu  %12u  %s%s\n", static_cast<unsigned long long>(start), file.size, file.name.c_str(),
                found.c_str());
  }
  std::printf("找到原文件名: %zu 个文件\n", named);
  std::printf("\n目录扇区: %zu\nMFT 记录区段: %zu\n", d.directorySectors.size(), d.mftRecordRuns.size());
  std::printf("无法读取的扇区: %llu\n", static_cast<unsigned long long>(s.report.unreadableSectors()));
  if (cancelled) return kExitCancelled;
  if (!s.checkpointError.empty()) return kExitSource;
  return s.report.unreadable.empty() ? kExitOk : kExitIncomplete;
}

int RunCarve(const ScanOptions& o) {
  if (const int code = RefuseGroupSource(o.source, "carve"); code != kExitOk) return code;
  if (const int code = RefuseWriteOntoSource(o.source, o.target); code != kExitOk) return code;
  if (const int code = RefuseWriteOntoSource(o.source, o.checkpointing.checkpoint); code != kExitOk) return code;
  ops::SweptSource s;
  bool cancelled = false;
  if (const int code = Sweep(o, s, cancelled); code != kExitOk) return code;
  if (cancelled) return kExitCancelled;
  if (o.names && !NameCarved(s)) return kExitCancelled;
  disk::DiskInfo& d = *s.disk;
  if (!raw::PrepareTargetFolder(o.target)) {
    std::fprintf(stderr, "orvaldi: 无法创建: %s: %s\n", o.target.c_str(), std::strerror(errno));
    return kExitSource;
  }
  raw::SaveSettings settings;
  settings.options.target = o.target;
  settings.manifest = o.manifest;
  platform::ProgressBlock progress;
  ConsoleProgress bar(progress);
  progress.setSink(&bar);
  settings.progress = &progress;
  settings.log = [&bar](const std::string& line) {
    bar.finish();
    std::fprintf(stderr, "orvaldi: %s\n", line.c_str());
  };
  const raw::SaveSummary summary =
      raw::SaveSelected(o.names ? ops::NamedCarvedFilesJob(s) : ops::CarvedFilesJob(s), settings);
  bar.finish();
  if (!summary.refusal.empty()) {
    std::fprintf(stderr, "orvaldi: %s\n", summary.refusal.c_str());
    return kExitTarget;
  }
  if (summary.sourceFailures > 0) {
    std::fprintf(stderr, "orvaldi: cannot open %s for reading\n", d.devicePath.c_str());
    return kExitSource;
  }
  std::printf("%s: %zu 个文件找到, %llu 个保存到 %s/%s, %s\n", disk::kExtraFoundFolderName,
              d.extraFoundFolder.children.size(), static_cast<unsigned long long>(summary.files), o.target.c_str(),
              disk::kExtraFoundFolderName, ops::SizeText(summary.bytes).c_str());
  PrintManifestSummary(summary);
  // A file found but not written (its target could not be created) is as
  // lost as one that could not be read.
  const bool incomplete = summary.failed > 0 || summary.damaged > 0 || summary.skipped > 0;
  if (!s.checkpointError.empty()) return kExitSource;
  return incomplete || !s.report.unreadable.empty() ? kExitIncomplete : kExitOk;
}

// --checkpoint, --resume and --checkpoint-every, shared by both commands.
void AddCheckpointOptions(CLI::App* cmd, ScanOptions& o) {
  cli::AddCheckpointOptions(cmd, o.checkpointing,
                            "Keep FILE up to date with the sweep's findings and position (every few seconds, on Ctrl-C "
                            "and at the end), so that a stopped sweep can be taken up with --resume; not on SOURCE",
                            "Go on from the checkpoint FILE of a stopped sweep of the same source, range and options; "
                            "the result is that of a sweep never stopped");
}

}  // namespace

void AddRawScanCommand(CLI::App& app, int& exitCode) {
  auto* cmd = app.add_subcommand(
      "rawscan", "Sweep every sector of a disk (or a partition) for lost volumes and files of nine known types");
  auto o = std::make_shared<ScanOptions>();
  cmd->add_option("SOURCE", o->source, "Disk image file or block device (only read)")->required();
  cmd->add_option("--part", o->partition, "Sweep only this partition (index, name or mount point)");
  cmd->add_flag("--json", o->json,
                "Print one JSON object: partitions, carved, directorySectors, mftRecordRuns, unreadable");
  AddLoadResultOption(cmd, o->result);
  AddSaveResultOption(cmd, o->result);
  AddCheckpointOptions(cmd, *o);
  cmd->callback([o, &exitCode] { exitCode = RunRawScan(*o); });

  auto* carve = app.add_subcommand("carve", "Sweep a disk (or a partition) and save every file found by its content");
  auto c = std::make_shared<ScanOptions>();
  carve->add_option("SOURCE", c->source, "Disk image file or block device (only read)")->required();
  carve
      ->add_option("--to", c->target,
                   "Target folder, on another disk than SOURCE; files go to its \"Extra Found "
                   "Files\" folder")
      ->required();
  carve->add_option("--part", c->partition, "Sweep only this partition (index, name or mount point)");
  AddManifestOption(carve, c->manifest);
  carve->add_flag("--names", c->names,
                  "Save each carved file whose start a found volume's file record names under that folder and "
                  "name below the target (the others as without it)");
  AddLoadResultOption(carve, c->result);
  AddCheckpointOptions(carve, *c);
  carve->callback([c, &exitCode] { exitCode = RunCarve(*c); });
}

}  // namespace orvaldi::cli
