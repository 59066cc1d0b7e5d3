// The row a file command prints for one node: a text line under a header,
// or one JSON Lines object; `ls` and `find` print the same rows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "disk/fs_family.h"
#include "fs/node_view.h"
#include "platform/byte_areas.h"

namespace orvaldi::cli {

// What of a node lies in areas a rescue map marks unread: for the rows of
// a listing read with --mapfile.
struct RowDamage {
  bool data = false;
  bool metadata = false;
  std::vector<platform::ByteRange> ranges;  // bytes absolute on the source
  uint64_t mapBase = 0;                     // printed as positions of the map: minus this
  bool any() const { return data || metadata; }
};

class NodeRowPrinter {
 public:
  explicit NodeRowPrinter(bool json) : json_(json) {}

  // The header of the text rows, the number columns named as the family
  // names them (nothing for JSON).
  void header(disk::FsFamily family) const;
  // `path` as the listing prints it ("根目录/文档/a.txt"); `shownName` fills
  // the name column of a text row; `parentId` as NodeRef::parentId gives it.
  void print(const fs::NodeRef& node, const std::string& path, const std::string& shownName,
             std::optional<uint64_t> parentId, const RowDamage* damage = nullptr);
  // Text rows gain a last column "坏区" (listings read with a map).
  void showDamageColumn() { damageColumn_ = true; }

 private:
  bool json_;
  bool damageColumn_ = false;
  std::string line_;  // reused: a listing can run to millions of lines
};

}  // namespace orvaldi::cli
