// Where decoded NTFS records go in the tree: under their parent, a placeholder, or the root.
#pragma once

#include <cstdint>
#include <vector>

#include "fs/ntfs_record.h"
#include "fs/ntfs_state.h"

namespace orvaldi::fs {

class NtfsPlacer {
 public:
  explicit NtfsPlacer(NtfsScanState& state) : state_(state) {}

  static NtfsNode NodeOf(const DecodedRecord& r);
  // The node of the record under another of its names (a hard link).
  static NtfsNode NodeOfName(const DecodedRecord& r, const NtfsFileName& name);
  // The names of `r` beyond the chosen one, each a folder it is linked into;
  // none for a folder (folders have one name).
  static std::vector<NtfsFileName> OtherLinks(const DecodedRecord& r);

  // A node that shares its record number with one placed before it (a
  // stream, another name of the file): under `parent` by kind, in the
  // secondary and name indexes, never in the number index, which keeps the
  // record's own node (parents are looked up there).
  NtfsNode* addCompanion(NtfsNode& parent, NtfsNode node);
  // The named streams of `r`, beside `file` (placed under `parent`).
  void addStreams(NtfsNode& parent, const DecodedRecord& r, const NtfsNode& file);

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
  // Where the sector searches put a node naming parent `p`; `numbered` says
  // whether the node may enter the number index there.
  NtfsNode* foundParentFor(uint32_t p, bool& numbered);
  NtfsScanState& state_;
};

}  // namespace orvaldi::fs
