// The row a file command prints for one node: a text line under a header,
// or one JSON Lines object; `ls` and `find` print the same rows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "disk/fs_family.h"
#include "fs/node_view.h"

namespace orvaldi::cli {

class NodeRowPrinter {
 public:
  explicit NodeRowPrinter(bool json) : json_(json) {}

  // The header of the text rows, the number columns named as the family
  // names them (nothing for JSON).
  void header(disk::FsFamily family) const;
  // `path` as the listing prints it ("根目录/文档/a.txt"); `shownName` fills
  // the name column of a text row; `parentId` as NodeRef::parentId gives it.
  void print(const fs::NodeRef& node, const std::string& path, const std::string& shownName,
             std::optional<uint64_t> parentId);

 private:
  bool json_;
  std::string line_;  // reused: a listing can run to millions of lines
};

}  // namespace orvaldi::cli
