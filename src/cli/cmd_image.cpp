// `orvaldi image`: copies a disk or a partition to an image file or another
// disk around unreadable sectors, with a rescue map that lets a run resume.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>

#include "cli/commands.h"
#include "cli/console_progress.h"
#include "cli/exit_codes.h"
#include "cli/result_options.h"
#include "ops/imaging_job.h"
#include "ops/source.h"

namespace orvaldi::cli {
namespace {

ops::SourceOptions WholeSourceOptions(uint32_t sectorSize) {
  ops::SourceOptions options;
  options.sectorSize = sectorSize;
  return options;
}

struct ImageOptions {
  std::string source;
  std::string partition;
  std::string toFile;
  std::string toDisk;
  uint64_t start = 0;
  uint64_t targetStart = 0;
  std::string mapfile;
  bool yes = false;
  bool metadataFirst = false;
  bool metadataOnly = false;
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

int RunImage(const ImageOptions& o) {
  const bool toDisk = !o.toDisk.empty();
  const std::string& targetPath = toDisk ? o.toDisk : o.toFile;
  if (toDisk && !o.yes) {
    std::fprintf(stderr, "orvaldi: 该操作可能破坏目标磁盘; give --yes to write to %s\n", targetPath.c_str());
    return kExitUsage;
  }
  ops::ImagingRequest request;
  if (!o.partition.empty()) {
    ops::LoadedSource loaded;
    if (const int code = LoadPlainPartition(o.source, o.partition, o.result, "imaged", loaded); code != kExitOk)
      return code;
    const disk::PartitionInfo& p = loaded.partition();
    request.partition = ops::ImagedPartition{p.name, p.startSector, p.sectorCount};
    request.sectorSize = ops::ImagingSectorSize(*loaded.disk);
    if (o.metadataFirst) {
      request.metadataDisk = std::make_shared<disk::DiskInfo>(*loaded.disk);
      request.metadataPartitions = {loaded.partitionIndex};
    }
  } else if (const ops::LoadedDisk disk = ops::LoadDisk(o.source, WholeSourceOptions(o.result.sectorSize));
             disk.status == ops::SourceStatus::kOk) {
    // A source whose tables cannot be read is copied in 512-byte sectors.
    request.sectorSize = ops::ImagingSectorSize(*disk.disk);
    if (o.metadataFirst) {
      // Every partition; those that hold no volume the readers list are passed over.
      request.metadataDisk = std::make_shared<disk::DiskInfo>(*disk.disk);
      for (size_t i = 0; i < disk.disk->partitions.size(); ++i) request.metadataPartitions.push_back(i);
    }
  } else if (o.metadataFirst) {
    std::fprintf(stderr, "orvaldi: --metadata-first: %s\n", disk.error.c_str());
    return kExitSource;
  }
  request.metadataOnly = o.metadataOnly;
  request.source = o.source;
  request.target = targetPath;
  request.toDisk = toDisk;
  request.startSector = o.start;
  request.targetStartSector = o.targetStart;
  request.mapfile = o.mapfile;
  request.commandLine = ops::ImagingCommandLine(request, o.partition);
  request.limits.block = std::chrono::milliseconds(o.blockLimitMs);
  request.limits.sector = std::chrono::milliseconds(o.sectorLimitMs);
  ops::PreparedImaging prepared = ops::PrepareImaging(std::move(request));
  for (const std::string& note : prepared.notes) std::fprintf(stderr, "orvaldi: %s\n", note.c_str());
  if (prepared.status != platform::Status::kOk) {
    std::fprintf(stderr, "orvaldi: %s\n", prepared.message.c_str());
    return ExitCodeOf(prepared.status, prepared.refused);
  }

  platform::ProgressBlock progress;
  ConsoleProgress bar(progress);
  progress.setSink(&bar);
  ops::ImagingOutcome outcome;
  {
    InterruptStops interrupt(progress);
    outcome = ops::RunImaging(prepared, progress);
  }
  bar.finish();
  if (!outcome.mapProblem.empty()) std::fprintf(stderr, "orvaldi: %s\n", outcome.mapProblem.c_str());
  const raw::ImagingResult& result = outcome.result;
  for (size_t i = 0; i < result.badSectors.size(); ++i) {
    std::printf("%s\t%llu\n", raw::BadSectorRowText(i + 1).c_str(),
                static_cast<unsigned long long>(result.badSectors[i]));
  }
  if (!outcome.copyFinished) {
    std::fprintf(stderr, "orvaldi: %s\n", outcome.message.c_str());
    return ExitCodeOf(outcome.status, outcome.refused);
  }
  if (outcome.metadataCopied)
    std::fprintf(stderr, "orvaldi: metadata of %zu volume(s) copied first\n", outcome.volumesListed);
  std::printf("镜像完毕\n");
  return ExitCodeOf(outcome.status, outcome.refused);
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
  auto* first = cmd->add_flag("--metadata-first", o->metadataFirst,
                              "Copy the metadata of each FAT, NTFS and exFAT volume (boot sectors, FATs, MFT, "
                              "folders) before the data, so a failing disk gives its file listing first");
  cmd->add_flag("--metadata-only", o->metadataOnly,
                "With --metadata-first: stop once the metadata is copied (a later run with the same --mapfile "
                "copies the rest)")
      ->needs(first);
  cmd->add_option("--block-timeout-ms", o->blockLimitMs, "Time limit of a 1 MiB read (default 2000)")
      ->check(CLI::Range(1u, 3600000u))
      ->group("");
  cmd->add_option("--sector-timeout-ms", o->sectorLimitMs, "Time limit of a sector read (default 1000)")
      ->check(CLI::Range(1u, 3600000u))
      ->group("");
  AddLoadResultOption(cmd, o->result);
  cmd->callback([o, &exitCode, to, toDisk] {
    if (to->count() + toDisk->count() != 1) throw CLI::RequiredError("--to or --to-disk");
    if (o->metadataOnly && o->mapfile.empty()) throw CLI::RequiredError("--mapfile (with --metadata-only)");
    exitCode = RunImage(*o);
  });
}

}  // namespace orvaldi::cli
