// One read-only view over a node of any tree the engine builds: a FAT or NTFS
// scan tree node, a carved file, or the carved-files folder. Listing, path
// search, statistics, the save walk and the views go through it, so that they
// need not ask which file system a node came from.
#pragma once

#include <cstdint>
#include <limits>
#include <list>
#include <map>
#include <optional>
#include <string>

#include "disk/carved_node.h"
#include "fs/scan_tree.h"

namespace orvaldi::fs {

enum class NodeFamily : uint8_t { kNone, kFat, kNtfs, kCarved, kExfat };

// What a carved record is: the carved-files folder or one carved file.
enum class CarvedKind : uint8_t { kNone, kFolder, kFile };

// A small copyable value over a node owned elsewhere (a partition's scan
// state or a disk's carved-files folder). It is valid as long as that tree
// is; reading it from several threads is safe once the scan has returned.
class NodeRef {
 public:
  NodeRef() = default;
  explicit NodeRef(const FatNode* node) : family_(node ? NodeFamily::kFat : NodeFamily::kNone), fat_(node) {}
  explicit NodeRef(const NtfsNode* node) : family_(node ? NodeFamily::kNtfs : NodeFamily::kNone), ntfs_(node) {}
  explicit NodeRef(const ExfatNode* node) : family_(node ? NodeFamily::kExfat : NodeFamily::kNone), exfat_(node) {}
  // One carved file, which starts at absolute sector `sector`.
  static NodeRef CarvedFile(const disk::CarvedNode* node, uint64_t sector);
  // The carved-files folder, showing the files that start in the `sectorCount`
  // sectors from `firstSector` (a partition's, or the whole disk's).
  static NodeRef CarvedFolder(const disk::CarvedNode* folder, uint64_t firstSector = 0,
                              uint64_t sectorCount = std::numeric_limits<uint64_t>::max());

  explicit operator bool() const { return family_ != NodeFamily::kNone; }
  NodeFamily family() const { return family_; }
  CarvedKind carvedKind() const;

  const std::string& name() const;
  // The node_kind byte; the carved folder is a folder and carved files are files.
  uint8_t flags() const;
  uint8_t kind() const { return KindOf(flags()); }
  bool isFolderLike() const { return IsFolderLike(flags()); }
  bool isFileLike() const { return IsFileLike(flags()); }
  bool isDeleted() const { return IsDeletedKind(flags()); }
  // An NTFS file the sector search recognised by its content rather than by
  // an MFT record: it hangs under "扩展目录" (record 1) and its record-number
  // field holds its start sector.
  bool foundByContent() const { return family_ == NodeFamily::kNtfs && ntfs_->parentNumber == 1; }
  // A named data stream of an NTFS file, listed beside it as "file:stream"
  // with the file's record number.
  bool isStream() const { return family_ == NodeFamily::kNtfs && !ntfs_->streamName.empty(); }
  // The stream's own name; empty for any other node.
  const std::string& streamName() const;
  // The name a saved copy is given: the node's name, but "file_stream" for
  // a stream, since ':' belongs in no file name outside NTFS.
  std::string saveName() const;
  // FAT: the entry's first cluster, which the start-cluster search may move
  // for a deleted file; none for the other families, whose data is not found
  // by a cluster number.
  std::optional<uint32_t> firstCluster() const {
    if (family_ != NodeFamily::kFat) return std::nullopt;
    return fat_->firstCluster;
  }
  // The save's progress text: NTFS saves show the total the walk has passed,
  // the others the bytes of the file being written.
  bool savesShowWalkTotal() const { return family_ == NodeFamily::kNtfs; }
  uint64_t size() const;
  // False when the node's data is known not to be all there (NTFS runs lost
  // with an extension record); its copy is then damaged too.
  bool intact() const;
  // FAT: first cluster; NTFS: record number (the start sector of a file found
  // by its content); carved: start sector (0 for the folder).
  uint64_t id() const;
  // The parent number as the listing shows it for this node reached from
  // `walkedFrom`: none for a top node, the parent's first cluster on FAT, the
  // parent reference of the chosen name on NTFS.
  std::optional<uint64_t> parentId(const NodeRef& walkedFrom) const;
  // Dates as the listing prints them; empty where the family keeps none.
  std::string created() const;
  std::string modified() const;
  std::string accessed() const;

  // The file list's tick mark, 0 (clear), 1 (ticked) or 2 (a folder partly
  // ticked), kept in the node itself so that the save finds it: FAT in bits
  // 4 and 5 of the flags, NTFS in their upper nibble, carved records in the
  // two low kind bits. The kind bits are never touched. Storing a tick is a
  // single-byte write into a tree the scan has finished with; the views own
  // the trees' tick bits, so it goes through the const view.
  uint8_t tick() const;
  void setTick(uint8_t mode) const;

  bool hasChildren() const;
  // Calls f(NodeRef) for each child in stored order (folders first on FAT and
  // NTFS, start sector order for carved files).
  template <typename F>
  void forEachChild(F&& f) const {
    switch (family_) {
      case NodeFamily::kFat:
        for (const FatNode& c : fat_->children) f(NodeRef(&c));
        break;
      case NodeFamily::kNtfs:
        for (const NtfsNode& c : ntfs_->children) f(NodeRef(&c));
        break;
      case NodeFamily::kExfat:
        for (const ExfatNode& c : exfat_->children) f(NodeRef(&c));
        break;
      case NodeFamily::kCarved:
        if (!folder_) break;
        for (auto it = carved_->children.lower_bound(sector_); it != carved_->children.end() && it->first < end_; ++it)
          f(CarvedFile(&it->second, it->first));
        break;
      case NodeFamily::kNone:
        break;
    }
  }

  // The node behind the view, for the reader that made it (copying its data).
  const FatNode* fat() const { return fat_; }
  const NtfsNode* ntfs() const { return ntfs_; }
  const ExfatNode* exfat() const { return exfat_; }
  const disk::CarvedNode* carved() const { return carved_; }
  uint64_t carvedSector() const { return folder_ ? 0 : sector_; }

  bool operator==(const NodeRef& o) const {
    return family_ == o.family_ && fat_ == o.fat_ && ntfs_ == o.ntfs_ && exfat_ == o.exfat_ && carved_ == o.carved_ &&
           sector_ == o.sector_;
  }

 private:
  friend class ChildCursor;
  NodeFamily family_ = NodeFamily::kNone;
  bool folder_ = false;  // carved: the folder rather than one file
  const FatNode* fat_ = nullptr;
  const NtfsNode* ntfs_ = nullptr;
  const ExfatNode* exfat_ = nullptr;
  const disk::CarvedNode* carved_ = nullptr;
  uint64_t sector_ = 0;  // carved file: its start; folder: the first sector shown
  uint64_t end_ = 0;     // folder: the sector after the last shown
};

// Walks a node's children one at a time, in the order forEachChild gives
// them, for views that make rows in batches: it keeps its place between
// batches instead of walking the list again from its start. Valid as long as
// the tree is.
class ChildCursor {
 public:
  ChildCursor() = default;
  explicit ChildCursor(const NodeRef& parent);

  bool atEnd() const;
  // The child at the cursor, which then moves on; none at the end.
  NodeRef next();

 private:
  NodeFamily family_ = NodeFamily::kNone;
  std::list<FatNode>::const_iterator fat_, fatEnd_;
  std::list<NtfsNode>::const_iterator ntfs_, ntfsEnd_;
  std::list<ExfatNode>::const_iterator exfat_, exfatEnd_;
  std::map<uint64_t, disk::CarvedNode>::const_iterator carved_, carvedEnd_;
  uint64_t end_ = 0;  // carved: the sector after the last one shown
};

}  // namespace orvaldi::fs
