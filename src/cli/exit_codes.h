// Exit codes of the orvaldi command.
#pragma once

namespace orvaldi::cli {

enum ExitCode : int {
  kExitOk = 0,
  kExitSource = 1,    // the source or a target could not be opened, read or written
  kExitUsage = 2,     // bad command line
  kExitCorrupt = 3,   // the source holds nothing this command can work with
  kExitInternal = 4,  // a bug: an unexpected exception
};

inline constexpr const char* kExitCodeHelp =
    "Exit codes: 0 success; 1 source or target could not be opened, read or written;\n"
    "2 bad command line; 3 nothing usable found on the source; 4 internal error.";

}  // namespace orvaldi::cli
