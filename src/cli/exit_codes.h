// Exit codes of the orvaldi command.
#pragma once

namespace orvaldi::cli {

enum ExitCode : int {
  kExitOk = 0,
  kExitSource = 1,       // the source or a target could not be opened, read or written
  kExitUsage = 2,        // bad command line, or a --load-result file saved from another disk
  kExitCorrupt = 3,      // the source holds nothing this command can work with
  kExitInternal = 4,     // a bug: an unexpected exception
  kExitTarget = 5,       // the target was refused: too little free space, or it is the source (a hard link, a
                         // partition of it, the disk it lies on, a file on one of its volumes)
  kExitIncomplete = 6,   // some files, folders, sectors or clusters could not be read, or only in part;
                         // recover and carve: also files skipped (a refused name) or not written (their
                         // target file could not be created); ls --mapfile: files lie in areas the map
                         // marks not read
  kExitMismatch = 7,     // verify: files the manifest lists are missing or differ from it
  kExitCancelled = 130,  // interrupted by the operator
};

// How a SOURCE names the disks of a dynamic volume.
inline constexpr const char* kSourceHelp =
    "SOURCE: an image file or block device; for a volume on Windows dynamic disks, the\n"
    "member disks as a comma list (a.img,b.img,c.img). The commands then work on the disk\n"
    "group, whose partitions are its dynamic volumes; a RAID-5 or mirrored volume reads with\n"
    "one member left out. A single dynamic disk lists its group's volumes after its own\n"
    "partitions.\n";

inline constexpr const char* kExitCodeHelp =
    "Exit codes: 0 success; 1 source or target could not be opened, read or written;\n"
    "2 bad command line (also: --load-result names a file saved from another disk);\n"
    "3 nothing usable found on the source; 4 internal error;\n"
    "5 target refused (too little free space, or the source itself, a link to it, on its disk or holding it);\n"
    "6 some files, folders, sectors or clusters could not be read, or only in part (recover and carve:\n"
    "also files skipped for their names or whose target file could not be created; verify: files not intact;\n"
    "ls --mapfile: files lie in areas the map marks not read);\n"
    "7 verify: files the manifest lists are missing or differ from it; 130 interrupted.";

}  // namespace orvaldi::cli
