// Where decoded NTFS records go in the tree: under their parent, a placeholder, or the root.
#pragma once

#include <cstdint>

#include "fs/ntfs_record.h"
#include "fs/ntfs_state.h"

namespace orvaldi::fs {

class NtfsPlacer {
 public:
  explicit NtfsPlacer(NtfsScanState& state) : state_(state) {}

  static NtfsNode NodeOf(const DecodedRecord& r);

  // Folder-like parent: front for folders, back for files; the number goes
  // into the number index, or the secondary index when it is taken.
  NtfsNode* attach(NtfsNode& parent, NtfsNode node);
  // The "$$$Folder<n>" placeholder for missing parent `missing` under "零散目录".
  NtfsNode* placeholderFor(uint32_t missing);
  NtfsNode* intoPlaceholder(uint32_t missing, NtfsNode node);

  // The sector searches' rules: under a known parent, under the first node
  // of its number in the secondary index, else provisionally under the root.
  void placeFound(const DecodedRecord& r);
  // After the last record: moves the root's children whose parent turned up
  // under that parent, the others into placeholders for their parents.
  void reparent();

 private:
  bool isWithin(const NtfsNode& tree, const NtfsNode* node) const;
  NtfsScanState& state_;
};

}  // namespace orvaldi::fs
