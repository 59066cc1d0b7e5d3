// Loading and saving scan-result files from the command line.
#include "cli/result_options.h"

#include <chrono>
#include <cstdio>

#include "cli/exit_codes.h"
#include "disk/scan_result_file.h"
#include "platform/text.h"

namespace orvaldi::cli {

ops::SweepCheckpointOptions CheckpointFlags::settings() const {
  ops::SweepCheckpointOptions c;
  c.writeTo = checkpoint;
  c.resumeFrom = resume;
  c.interval = std::chrono::milliseconds(static_cast<int64_t>(every * 1000));
  c.stopAt = stopAt;
  return c;
}

void AddCheckpointOptions(CLI::App* cmd, CheckpointFlags& flags, const std::string& checkpointHelp,
                          const std::string& resumeHelp) {
  cmd->add_option("--checkpoint", flags.checkpoint, checkpointHelp);
  cmd->add_option("--resume", flags.resume, resumeHelp);
  cmd->add_option("--checkpoint-every", flags.every, "Seconds between checkpoints (default 5)")
      ->check(CLI::NonNegativeNumber);
  cmd->add_option("--stop-at", flags.stopAt)->group("");  // tests: a stop on reaching this sector
}

void AddLoadResultOption(CLI::App* cmd, ResultOptions& options) {
  cmd->add_option("--load-result", options.loadFile,
                  "Scan-result file saved from this disk (rawscan --save-result): its partitions, found volumes "
                  "included, replace the disk's; its directory sectors, MFT record runs and carved files are used");
  cmd->add_option("--sector-size", options.sectorSize,
                  "Read the partition tables in sectors of this many bytes (512, 1024, 2048 or 4096) instead of the "
                  "device's logical block size or the size the image's tables show")
      ->check(CLI::IsMember({512u, 1024u, 2048u, 4096u}));
}

void AddSaveResultOption(CLI::App* cmd, ResultOptions& options) {
  cmd->add_option("--save-result", options.saveFile,
                  "Save the partitions and what the search found to this file (" +
                      std::string(disk::kScanResultExtension) + ") for --load-result; also after an interruption");
}

int LoadedSourceExitCode(ops::SourceStatus status, const std::string& error, const std::vector<std::string>& notes) {
  switch (status) {
    case ops::SourceStatus::kOk:
      for (const std::string& note : notes) std::fprintf(stderr, "orvaldi: scan result: left out: %s\n", note.c_str());
      return kExitOk;
    case ops::SourceStatus::kUnreadable:
    case ops::SourceStatus::kResultUnreadable:
      std::fprintf(stderr, "orvaldi: %s\n", error.c_str());
      return kExitSource;
    // A source without a single partition holds nothing to work with.
    case ops::SourceStatus::kNoPartitions:
      std::fprintf(stderr, "orvaldi: %s\n", error.c_str());
      return kExitCorrupt;
    // The file the operator named is for another disk, as is a PART that
    // names none of the source's partitions: the command line's fault.
    case ops::SourceStatus::kResultOtherDisk:
    case ops::SourceStatus::kNoSuchPartition:
      std::fprintf(stderr, "orvaldi: %s\n", error.c_str());
      return kExitUsage;
  }
  return kExitInternal;
}

int LoadPlainPartition(const std::string& source, const std::string& which, const ResultOptions& options,
                       const char* what, ops::LoadedSource& out) {
  out = ops::LoadSource(source, which, options.source());
  if (const int code = LoadedSourceExitCode(out.status, out.error, out.resultNotes); code != kExitOk) return code;
  if (out.partition().volumeKind != disk::VolumeKind::kPlain) {
    std::fprintf(stderr, "orvaldi: only a partition that lies in one piece on the source can be %s\n", what);
    return kExitUsage;
  }
  return kExitOk;
}

int RefuseWriteOntoSource(const std::string& source, const std::string& target) {
  if (const auto refusal = ops::WriteOntoSourceRefusal(source, target)) {
    std::fprintf(stderr, "orvaldi: %s\n", refusal->c_str());
    return kExitTarget;
  }
  return kExitOk;
}

int ExitCodeOf(platform::Status status, ops::RefusalKind refused) {
  switch (status) {
    case platform::Status::kOk:
      return kExitOk;
    case platform::Status::kPartial:
      return kExitIncomplete;
    case platform::Status::kCancelled:
      return kExitCancelled;
    case platform::Status::kFailed:
      return kExitSource;
    case platform::Status::kRefused:
      switch (refused) {
        case ops::RefusalKind::kTarget:
          return kExitTarget;
        case ops::RefusalKind::kVolume:
          return kExitCorrupt;
        case ops::RefusalKind::kNone:
        case ops::RefusalKind::kRequest:
          break;
      }
      return kExitUsage;
  }
  return kExitSource;
}

int RefuseGroupSource(const std::string& source, const char* command) {
  const std::vector<std::string> members = ops::SourcePaths(source);
  if (members.size() <= 1) return kExitOk;
  std::string names;
  for (const std::string& m : members) names += (names.empty() ? "" : ", ") + m;
  std::fprintf(stderr,
               "orvaldi: %s names the disks of a dynamic disk group, which is no disk of its own; %s works on "
               "one disk: name one of its members (%s)\n",
               source.c_str(), command, names.c_str());
  return kExitUsage;
}

int RefuseSaveOntoSource(const std::string& source, const ResultOptions& options) {
  return RefuseWriteOntoSource(source, options.saveFile);
}

int SaveResultIfAsked(const ResultOptions& options, const disk::DiskInfo& disk) {
  if (options.saveFile.empty()) return kExitOk;
  const disk::ScanResultSave saved = disk::SaveScanResult(disk, options.saveFile);
  if (!saved.ok) {
    std::fprintf(stderr, "orvaldi: scan result not saved: %s\n", saved.error.c_str());
    return kExitSource;
  }
  if (saved.alteredTexts > 0)
    std::fprintf(stderr,
                 "orvaldi: scan result: %zu name(s) hold characters code page %d lacks, or line breaks; they are "
                 "saved with \"?\" in their place\n",
                 saved.alteredTexts, platform::OemCodePage());
  std::fprintf(stderr, "orvaldi: scan result saved to %s\n", options.saveFile.c_str());
  return kExitOk;
}

}  // namespace orvaldi::cli
