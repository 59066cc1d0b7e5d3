// The carved-file record, which also serves as a disk's "Extra Found Files" folder.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace orvaldi::disk {

struct CarvedNode {
  // The two low bits carry the file list's tick mark; new records have both clear.
  uint8_t kindBits = 0;
  uint32_t size = 0;  // bytes of the carved file; 0 for the folder record
  std::string name;
  // Folder only: carved files keyed by their absolute start sector. The first
  // record inserted under a sector stays (use try_emplace).
  std::map<uint64_t, CarvedNode> children;
  // False when the file was cut where its own structure stopped short of its
  // end (a picture whose scan data breaks off): copies of it are not whole.
  bool intact = true;
  // The file a scanned volume records at this start sector (its FAT or exFAT
  // entry's first cluster, its NTFS record's first data run), when every
  // record that claims the sector agrees: its name and its folder ("/" the
  // root, "/DCIM/2019" below it; empty when the volume's walk did not place
  // the folder under the root). Both empty when none or several claim it.
  // Worked out after a scan (ops::NameCarvedFiles); never stored.
  std::string foundName = {};
  std::string foundPath = {};
};

inline constexpr const char* kExtraFoundFolderName = "Extra Found Files";

}  // namespace orvaldi::disk
