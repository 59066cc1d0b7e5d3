// The --load-result and --save-result options every command shares, and what
// they print.
#pragma once

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "disk/disk_info.h"
#include "ops/job_checks.h"
#include "ops/source.h"
#include "ops/sweep_checkpoint.h"
#include "platform/status.h"

namespace orvaldi::cli {

struct ResultOptions {
  std::string loadFile;     // empty: none
  std::string saveFile;     // empty: none
  uint32_t sectorSize = 0;  // --sector-size; 0: the source's own
  ops::SourceOptions source() const { return {loadFile, sectorSize}; }
};

// --checkpoint FILE, --resume FILE, --checkpoint-every S and the hidden
// --stop-at SECTOR of a command whose search can be stopped and taken up.
struct CheckpointFlags {
  std::string checkpoint;  // empty: none
  std::string resume;      // empty: a new search
  double every = 5;
  uint64_t stopAt = UINT64_MAX;  // tests: a stop on reaching this sector
  bool any() const { return !checkpoint.empty() || !resume.empty() || stopAt != UINT64_MAX; }
  ops::SweepCheckpointOptions settings() const;
};
void AddCheckpointOptions(CLI::App* cmd, CheckpointFlags& flags, const std::string& checkpointHelp,
                          const std::string& resumeHelp);

// --load-result FILE and --sector-size N, for a command that takes a SOURCE.
void AddLoadResultOption(CLI::App* cmd, ResultOptions& options);
// --save-result FILE, for a command that searches.
void AddSaveResultOption(CLI::App* cmd, ResultOptions& options);

// The exit code for a source that did not load (its message is printed), or
// kExitOk after printing a warning for each record of the result file that
// was left out.
int LoadedSourceExitCode(ops::SourceStatus status, const std::string& error, const std::vector<std::string>& notes);

// Loads `source` and selects partition `which`, for a command that reads the
// partition as one range of the source's sectors: a volume in pieces is
// refused, the message saying the partition "can be `what`". Returns
// kExitOk, or the exit code after the message.
int LoadPlainPartition(const std::string& source, const std::string& which, const ResultOptions& options,
                       const char* what, ops::LoadedSource& out);

// The one refusal of every command that writes a file or a device:
// `target` must not be the source (or one of its member disks), a hard link
// to it, a partition of it, a file on one of its volumes, or the disk it
// lies on. Returns kExitTarget after a message, or kExitOk; asked before any
// work starts.
int RefuseWriteOntoSource(const std::string& source, const std::string& target);
// The exit code of a job's outcome: a refusal by what it turned down
// (kExitTarget, kExitCorrupt, else kExitUsage), a failure kExitSource.
int ExitCodeOf(platform::Status status, ops::RefusalKind refused = ops::RefusalKind::kNone);
// A SOURCE that names several images is a dynamic disk group, which has no
// sectors of its own: a command that works on one whole disk refuses it
// (kExitUsage, after a message naming the member disks to use instead);
// kExitOk for one image.
int RefuseGroupSource(const std::string& source, const char* command);

// RefuseWriteOntoSource for the --save-result file.
int RefuseSaveOntoSource(const std::string& source, const ResultOptions& options);

// Saves the disk's scan result when --save-result was given; says so on
// stderr, with a warning when names could not be written as they are.
// Returns kExitOk, or kExitSource with a message when the file could not be
// written whole.
int SaveResultIfAsked(const ResultOptions& options, const disk::DiskInfo& disk);

}  // namespace orvaldi::cli
