// Opening the partition a file command names, with its messages and exit codes.
#pragma once

#include <string>

#include "cli/result_options.h"
#include "ops/map_areas.h"
#include "ops/open_partition.h"
#include "ops/source.h"

namespace CLI {
class App;
}

namespace orvaldi::cli {

// --checkpoint, --resume (and the hidden --stop-at) of a command that can
// read a partition with the deep search.
using DeepCheckpointFlags = CheckpointFlags;
void AddDeepCheckpointOptions(CLI::App* cmd, DeepCheckpointFlags& flags);

struct OpenedForCommand {
  ops::LoadedSource source;
  ops::OpenedPartition opened;
  ops::MapAreas map;  // --mapfile: its areas lie on the disk record, the partition was read around them
  bool partial() const { return opened.status == ops::OpenStatus::kPartial; }
};

// --mode walk|search|deep, for a command that opens a partition before it
// reads a file of it.
void AddOpenModeOption(CLI::App* cmd, std::string& mode);

// --save-tree FILE and --load-tree FILE: the partition's scanned tree kept
// in a file after the scan, or read from one instead of scanning.
struct TreeFileOptions {
  std::string saveFile;    // empty: none
  std::string loadFile;    // empty: none
  bool modeGiven = false;  // --mode was on the command line: the loaded tree must be of it
};
void AddTreeFileOptions(CLI::App* cmd, TreeFileOptions& options);

// --mapfile MAP and --map-base, for a command that reads a partition as a
// copy of a failing disk: the areas MAP does not mark finished are read as
// unreadable sectors.
struct MapOption {
  std::string path;  // empty: none
  std::string base = "auto";
};
void AddMapfileOption(CLI::App* cmd, MapOption& option);

// Loads `source`, selects partition `which` and scans it with `mode`
// ("walk", "search" or "deep"), showing a progress bar on a terminal and
// saying on stderr what could not be read. Returns an exit code; on failure
// a one-line message was printed.
// A scan-result file in `options` is loaded onto the disk first. With a
// tree file to load, it takes the place of the scan; one to save is written
// after a scan that was not cancelled. With `deep` (--mode deep only), the
// search keeps a checkpoint or goes on from one; Ctrl-C then stops it with
// the checkpoint written. With `map`, its areas are laid on the disk before
// the scan.
int OpenPartitionForCommand(const std::string& source, const std::string& which, const std::string& mode,
                            const ops::SourceOptions& options, OpenedForCommand& out, const TreeFileOptions& tree = {},
                            const DeepCheckpointFlags* deep = nullptr, const MapOption* map = nullptr);

// The same, then the file at `path` as the listing prints it (the existing
// one when a deleted one shares its path) into `file`; a path that names no
// file is the command line's fault.
int OpenFileForCommand(const std::string& source, const std::string& which, const std::string& mode,
                       const ops::SourceOptions& options, const std::string& path, OpenedForCommand& out,
                       fs::NodeRef& file, const TreeFileOptions& tree = {});

}  // namespace orvaldi::cli
