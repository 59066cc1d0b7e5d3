// `orvaldi image`: copies a disk or a partition to an image file or another
// disk around unreadable sectors, with a rescue map that lets a run resume.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

#include "cli/commands.h"
#include "cli/console_progress.h"
#include "cli/exit_codes.h"
#include "cli/result_options.h"
#include "ops/source.h"
#include "platform/file_target.h"
#include "raw/imaging.h"

namespace orvaldi::cli {
namespace {

struct ImageOptions {
  std::string source;
  std::string partition;
  std::string toFile;
  std::string toDisk;
  uint64_t start = 0;
  uint64_t targetStart = 0;
  std::string mapfile;
  bool yes = false;
  unsigned blockLimitMs = 2000;
  unsigned sectorLimitMs = 1000;
  ResultOptions result;
};

// Ctrl-C stops the copy between blocks or sectors; the map is kept.
std::atomic<platform::ProgressBlock*> gInterruptible{nullptr};

extern "C" void OnImageInterrupt(int) {
  if (platform::ProgressBlock* p = gInterruptible.load()) p->requestCancel();
}

class InterruptStops {
 public:
  explicit InterruptStops(platform::ProgressBlock& progress) {
    gInterruptible = &progress;
    previous_ = std::signal(SIGINT, OnImageInterrupt);
  }
  ~InterruptStops() {
    std::signal(SIGINT, previous_);
    gInterruptible = nullptr;
  }
  InterruptStops(const InterruptStops&) = delete;
  InterruptStops& operator=(const InterruptStops&) = delete;

 private:
  void (*previous_)(int) = SIG_DFL;
};

// Written beside and renamed over the old map, so a crash mid-write never
// leaves half a map.
constexpr const char* kMapTempSuffix = ".tmp";

bool SaveMap(const std::string& path, const std::string& text) {
  const std::string temp = path + kMapTempSuffix;
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) return false;
  }
  std::error_code ec;
  std::filesystem::rename(temp, path, ec);
  return !ec;
}

std::string CommandLine(const ImageOptions& o) {
  std::string line = "orvaldi image " + o.source;
  if (!o.partition.empty()) line += " " + o.partition;
  line += o.toDisk.empty() ? " --to " + o.toFile : " --to-disk " + o.toDisk;
  if (o.start) line += " --start " + std::to_string(o.start);
  if (o.targetStart) line += " --target-start " + std::to_string(o.targetStart);
  return line + " --mapfile " + o.mapfile;
}

int RunImage(const ImageOptions& o) {
  const bool toDisk = !o.toDisk.empty();
  const std::string& targetPath = toDisk ? o.toDisk : o.toFile;
  if (toDisk && !o.yes) {
    std::fprintf(stderr, "orvaldi: 该操作可能破坏目标磁盘; give --yes to write to %s\n", targetPath.c_str());
    return kExitUsage;
  }
  // The copied range: the whole source, or one partition of it.
  uint64_t rangeStart = 0, rangeBytes = 0;
  struct Entry {
    std::string name;
    uint64_t startSector, sectorCount;
  };
  std::optional<Entry> part;
  if (!o.partition.empty()) {
    ops::LoadedSource loaded;
    if (const int code = LoadPlainPartition(o.source, o.partition, o.result, "imaged", loaded); code != kExitOk)
      return code;
    const disk::PartitionInfo& p = loaded.partition();
    part = Entry{p.name, p.startSector, p.sectorCount};
  }
  auto opened = platform::FileSource::open(o.source);
  if (!opened.source) {
    std::fprintf(stderr, "orvaldi: 打开失败: %s\n", opened.message.c_str());
    return kExitSource;
  }
  std::shared_ptr<platform::SectorSource> source = std::move(opened.source);
  rangeBytes = source->size();
  if (part) {
    // A table entry's size is whatever the entry says; the copy ends where
    // the source does.
    const uint64_t sourceSectors = source->size() / raw::kImageSector;
    if (part->startSector >= sourceSectors) {
      std::fprintf(stderr, "orvaldi: partition %s starts at sector %llu, beyond the source's end (%llu sectors)\n",
                   part->name.c_str(), static_cast<unsigned long long>(part->startSector),
                   static_cast<unsigned long long>(sourceSectors));
      return kExitCorrupt;
    }
    rangeStart = part->startSector * raw::kImageSector;
    const uint64_t sectors = std::min(part->sectorCount, sourceSectors - part->startSector);
    if (sectors < part->sectorCount)
      std::fprintf(stderr,
                   "orvaldi: partition %s records %llu sectors, but the source ends %llu sectors into it; "
                   "only those are copied\n",
                   part->name.c_str(), static_cast<unsigned long long>(part->sectorCount),
                   static_cast<unsigned long long>(sectors));
    rangeBytes = sectors * raw::kImageSector;
  }
  if (o.start > rangeBytes / raw::kImageSector) {
    std::fprintf(stderr, "orvaldi: --start %llu lies beyond the source's %llu sectors\n",
                 static_cast<unsigned long long>(o.start),
                 static_cast<unsigned long long>(rangeBytes / raw::kImageSector));
    return kExitUsage;
  }
  raw::ImagingJob job;
  job.sourceOffset = rangeStart + o.start * raw::kImageSector;
  job.length = rangeBytes - o.start * raw::kImageSector;
  job.targetOffset = o.targetStart * raw::kImageSector;
  job.limits.block = std::chrono::milliseconds(o.blockLimitMs);
  job.limits.sector = std::chrono::milliseconds(o.sectorLimitMs);

  // The map and its temporary file are written as well as the image.
  const std::string mapTemp = o.mapfile.empty() ? std::string() : o.mapfile + kMapTempSuffix;
  for (const std::string& written : {targetPath, o.mapfile, mapTemp})
    if (const int code = RefuseWriteOntoSource(o.source, written); code != kExitOk) return code;
  if (!o.mapfile.empty() &&
      (platform::SameWriteTarget(o.mapfile, targetPath) || platform::SameWriteTarget(mapTemp, targetPath))) {
    std::fprintf(stderr, "orvaldi: %s: refused, --mapfile 与镜像目标是同一个文件，写入映射会覆盖镜像，请选择其他文件\n",
                 o.mapfile.c_str());
    return kExitTarget;
  }
  if (!o.mapfile.empty() && std::filesystem::exists(o.mapfile)) {
    std::ifstream in(o.mapfile, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::string error;
    auto map = raw::RescueMap::parse(text.str(), error);
    if (!map) {
      std::fprintf(stderr, "orvaldi: %s: %s\n", o.mapfile.c_str(), error.c_str());
      return kExitUsage;
    }
    if (map->length() != job.length) {
      std::fprintf(stderr, "orvaldi: %s covers %llu bytes, the copy %llu: not a map of this copy\n", o.mapfile.c_str(),
                   static_cast<unsigned long long>(map->length()), static_cast<unsigned long long>(job.length));
      return kExitUsage;
    }
    job.resume = std::move(map);
  }
  // A fresh image replaces an old file; a resumed one, or a disk, is
  // written in place.
  const auto how = toDisk || job.resume ? platform::TargetOpen::kKeep : platform::TargetOpen::kReplace;
  auto target = platform::FileTarget::open(targetPath, how);
  if (!target.target) {
    std::fprintf(stderr, "orvaldi: %s\n", target.message.c_str());
    return kExitSource;
  }
  const std::string commandLine = CommandLine(o);
  if (!o.mapfile.empty()) {
    job.checkpoint = [&](const raw::RescueMap& map) { SaveMap(o.mapfile, map.format(0, '?', commandLine)); };
  }

  platform::ProgressBlock progress;
  ConsoleProgress bar(progress);
  progress.setSink(&bar);
  raw::ImagingResult result;
  {
    InterruptStops interrupt(progress);
    result = raw::CopyImage(source, *target.target, std::move(job), progress);
  }
  bar.finish();
  if (result.status == raw::ImagingStatus::kDone && toDisk && !target.target->flush()) {
    result.status = raw::ImagingStatus::kTargetFailed;
    result.targetError = target.target->error();
  }
  bool mapSaved = true;
  if (!o.mapfile.empty() && result.status != raw::ImagingStatus::kBadJob) {
    const bool done = result.status == raw::ImagingStatus::kDone;
    uint64_t current = 0;
    for (const raw::MapBlock& b : result.map.blocks()) {
      if (b.status != raw::MapStatus::kFinished && b.status != raw::MapStatus::kBadSector) break;
      current = b.end();
    }
    mapSaved = SaveMap(o.mapfile, result.map.format(current, done ? '+' : '?', commandLine));
    if (!mapSaved) std::fprintf(stderr, "orvaldi: %s: the map could not be written\n", o.mapfile.c_str());
  }
  for (size_t i = 0; i < result.badSectors.size(); ++i) {
    std::printf("%s\t%llu\n", raw::BadSectorRowText(i + 1).c_str(),
                static_cast<unsigned long long>(result.badSectors[i]));
  }
  switch (result.status) {
    case raw::ImagingStatus::kDone:
      break;
    case raw::ImagingStatus::kStopped:
      std::fprintf(stderr, "orvaldi: stopped after %llu sectors\n",
                   static_cast<unsigned long long>(result.sectorsCopied));
      return kExitCancelled;
    case raw::ImagingStatus::kTargetFailed:
      std::fprintf(stderr, "orvaldi: 磁盘有坏道，请重新选择目标文件 (%s: %s)\n", targetPath.c_str(),
                   std::strerror(result.targetError));
      return kExitSource;
    case raw::ImagingStatus::kSourceHung:
      std::fprintf(stderr, "orvaldi: %u reads of the source hang; the copy stopped and the rest was not tried\n",
                   result.timedOutReads);
      return kExitSource;
    case raw::ImagingStatus::kBadJob:
      std::fprintf(stderr, "orvaldi: the map does not fit this copy\n");
      return kExitUsage;
  }
  std::printf("镜像完毕\n");
  if (!mapSaved) return kExitSource;
  return result.badSectors.empty() ? kExitOk : kExitIncomplete;
}

}  // namespace

void AddImageCommand(CLI::App& app, int& exitCode) {
  auto* cmd = app.add_subcommand("image",
                                 "Copy a disk or a partition to an image file or another disk, "
                                 "filling unreadable sectors with 0x20 bytes");
  auto o = std::make_shared<ImageOptions>();
  cmd->add_option("SOURCE", o->source, "Disk image file or block device (only read)")->required();
  cmd->add_option("PART", o->partition,
                  "Partition: index or name as 'orvaldi parts' shows it (default: all of SOURCE)");
  auto* to = cmd->add_option("--to", o->toFile, "Image file to write (an existing one is replaced unless resumed)");
  auto* toDisk = cmd->add_option("--to-disk", o->toDisk, "Disk (or existing file) to write onto; needs --yes");
  to->excludes(toDisk);
  cmd->add_option("--start", o->start, "First sector copied, within SOURCE or PART (default 0)");
  cmd->add_option("--target-start", o->targetStart, "Sector of the target disk the copy begins at (default 0)")
      ->needs(toDisk);
  cmd->add_option("--mapfile", o->mapfile,
                  "Rescue map (GNU ddrescue layout, positions from the first copied byte); an existing one "
                  "makes the run read only what it marks as not read or failed");
  cmd->add_flag("--yes", o->yes, "Confirm writing onto the target disk");
  cmd->add_option("--block-timeout-ms", o->blockLimitMs, "Time limit of a 1 MiB read (default 2000)")
      ->check(CLI::Range(1u, 3600000u))
      ->group("");
  cmd->add_option("--sector-timeout-ms", o->sectorLimitMs, "Time limit of a sector read (default 1000)")
      ->check(CLI::Range(1u, 3600000u))
      ->group("");
  AddLoadResultOption(cmd, o->result);
  cmd->callback([o, &exitCode, to, toDisk] {
    if (to->count() + toDisk->count() != 1) throw CLI::RequiredError("--to or --to-disk");
    exitCode = RunImage(*o);
  });
}

}  // namespace orvaldi::cli
