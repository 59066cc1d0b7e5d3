// Opening the partition a file command names, with its messages and exit codes.
#pragma once

#include <string>

#include "ops/map_areas.h"
#include "ops/open_partition.h"
#include "ops/source.h"

namespace CLI {
class App;
}

namespace orvaldi::cli {

struct OpenedForCommand {
  ops::LoadedSource source;
  ops::OpenedPartition opened;
  ops::MapAreas map;  // --mapfile: its areas lie on the disk record, the partition was read around them
  bool partial() const { return opened.status == ops::OpenStatus::kPartial; }
};

// --mode walk|search|deep, for a command that opens a partition before it
// reads a file of it.
void AddOpenModeOption(CLI::App* cmd, std::string& mode);

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
// A scan-result file in `options` is loaded onto the disk first.
// With `map`, its areas are laid on the disk before the scan.
int OpenPartitionForCommand(const std::string& source, const std::string& which, const std::string& mode,
                            const ops::SourceOptions& options, OpenedForCommand& out, const MapOption* map = nullptr);

// The same, then the file at `path` as the listing prints it (the existing
// one when a deleted one shares its path) into `file`; a path that names no
// file is the command line's fault.
int OpenFileForCommand(const std::string& source, const std::string& which, const std::string& mode,
                       const ops::SourceOptions& options, const std::string& path, OpenedForCommand& out,
                       fs::NodeRef& file);

}  // namespace orvaldi::cli
