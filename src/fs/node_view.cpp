// The common node view: what each family's node gives the listing and the walks.
#include "fs/node_view.h"

#include <algorithm>

namespace orvaldi::fs {
namespace {
const std::string kNoName;
}

NodeRef NodeRef::CarvedFile(const disk::CarvedNode* node, uint64_t sector) {
  NodeRef r;
  if (!node) return r;
  r.family_ = NodeFamily::kCarved;
  r.carved_ = node;
  r.sector_ = sector;
  return r;
}

NodeRef NodeRef::CarvedFolder(const disk::CarvedNode* folder, uint64_t firstSector, uint64_t sectorCount) {
  NodeRef r;
  if (!folder) return r;
  r.family_ = NodeFamily::kCarved;
  r.folder_ = true;
  r.carved_ = folder;
  r.sector_ = firstSector;
  // Saturates: a range that would run past the last sector ends there.
  r.end_ = sectorCount > std::numeric_limits<uint64_t>::max() - firstSector ? std::numeric_limits<uint64_t>::max()
                                                                            : firstSector + sectorCount;
  return r;
}

CarvedKind NodeRef::carvedKind() const {
  if (family_ != NodeFamily::kCarved) return CarvedKind::kNone;
  return folder_ ? CarvedKind::kFolder : CarvedKind::kFile;
}

const std::string& NodeRef::name() const {
  switch (family_) {
    case NodeFamily::kFat:
      return fat_->name;
    case NodeFamily::kNtfs:
      return ntfs_->name;
    case NodeFamily::kExfat:
      return exfat_->name;
    case NodeFamily::kCarved:
      return carved_->name;
    case NodeFamily::kNone:
      break;
  }
  return kNoName;
}

const std::string& NodeRef::streamName() const { return isStream() ? ntfs_->streamName : kNoName; }

std::string NodeRef::saveName() const {
  if (!isStream()) return name();
  const std::string& full = ntfs_->name;
  const size_t fileLength = full.size() - std::min(full.size(), ntfs_->streamName.size() + 1);
  return full.substr(0, fileLength) + "_" + ntfs_->streamName;
}

uint8_t NodeRef::flags() const {
  switch (family_) {
    case NodeFamily::kFat:
      return fat_->flags;
    case NodeFamily::kNtfs:
      return ntfs_->flags;
    case NodeFamily::kExfat:
      return exfat_->flags;
    case NodeFamily::kCarved:
      return folder_ ? node_kind::kFolder : node_kind::kFile;
    case NodeFamily::kNone:
      break;
  }
  return 0;
}

uint64_t NodeRef::size() const {
  switch (family_) {
    case NodeFamily::kFat:
      return fat_->size;
    case NodeFamily::kNtfs:
      return ntfs_->size;
    case NodeFamily::kExfat:
      return exfat_->size;
    case NodeFamily::kCarved:
      return folder_ ? 0 : carved_->size;
    case NodeFamily::kNone:
      break;
  }
  return 0;
}

uint8_t NodeRef::tick() const {
  switch (family_) {
    case NodeFamily::kFat:
      return (fat_->flags >> 4) & 0x03;
    case NodeFamily::kNtfs:
      return ntfs_->flags >> 4;
    case NodeFamily::kExfat:
      return exfat_->flags >> 4;
    case NodeFamily::kCarved:
      return carved_->kindBits & 0x03;
    case NodeFamily::kNone:
      break;
  }
  return 0;
}

void NodeRef::setTick(uint8_t mode) const {
  mode = std::min<uint8_t>(mode, 2);
  switch (family_) {
    case NodeFamily::kFat: {
      auto& flags = const_cast<FatNode*>(fat_)->flags;
      flags = static_cast<uint8_t>((flags & ~0x30) | ((mode << 4) & 0x30));
      break;
    }
    case NodeFamily::kNtfs: {
      auto& flags = const_cast<NtfsNode*>(ntfs_)->flags;
      flags = static_cast<uint8_t>((flags & 0x0F) | (mode << 4));
      break;
    }
    case NodeFamily::kExfat: {
      auto& flags = const_cast<ExfatNode*>(exfat_)->flags;
      flags = static_cast<uint8_t>((flags & 0x0F) | (mode << 4));
      break;
    }
    case NodeFamily::kCarved: {
      auto& bits = const_cast<disk::CarvedNode*>(carved_)->kindBits;
      bits = static_cast<uint8_t>((bits & ~0x03) | mode);
      break;
    }
    case NodeFamily::kNone:
      break;
  }
}

bool NodeRef::intact() const {
  if (family_ == NodeFamily::kExfat) return exfat_->intact;
  return family_ != NodeFamily::kNtfs || !ntfs_->dataIncomplete;
}

uint64_t NodeRef::id() const {
  switch (family_) {
    case NodeFamily::kFat:
      return fat_->firstCluster;
    case NodeFamily::kNtfs:
      return ntfs_->recordNumber;
    case NodeFamily::kExfat:
      return exfat_->firstCluster;
    case NodeFamily::kCarved:
      return folder_ ? 0 : sector_;
    case NodeFamily::kNone:
      break;
  }
  return 0;
}

std::optional<uint64_t> NodeRef::parentId(const NodeRef& walkedFrom) const {
  if (!walkedFrom) return std::nullopt;
  // An NTFS node keeps the parent reference it was read with; the listing
  // shows that rather than the number of the folder it was attached to.
  if (family_ == NodeFamily::kNtfs) return ntfs_->parentNumber;
  return walkedFrom.id();
}

std::string NodeRef::created() const {
  if (family_ == NodeFamily::kFat) return DosDateText(fat_->createDate, fat_->createTime);
  if (family_ == NodeFamily::kNtfs) return FileTimeText(ntfs_->createTime);
  if (family_ == NodeFamily::kExfat) return ExfatTimeText(exfat_->created);
  return {};
}

std::string NodeRef::modified() const {
  if (family_ == NodeFamily::kFat) return DosDateText(fat_->modifyDate, fat_->modifyTime);
  if (family_ == NodeFamily::kNtfs) return FileTimeText(ntfs_->modifyTime);
  if (family_ == NodeFamily::kExfat) return ExfatTimeText(exfat_->modified);
  return {};
}

std::string NodeRef::accessed() const {
  // FAT keeps an access date without a time; the listing leaves it out.
  if (family_ == NodeFamily::kNtfs) return FileTimeText(ntfs_->accessTime);
  if (family_ == NodeFamily::kExfat) return ExfatTimeText(exfat_->accessed);
  return {};
}

bool NodeRef::hasChildren() const {
  switch (family_) {
    case NodeFamily::kFat:
      return !fat_->children.empty();
    case NodeFamily::kNtfs:
      return !ntfs_->children.empty();
    case NodeFamily::kExfat:
      return !exfat_->children.empty();
    case NodeFamily::kCarved: {
      if (!folder_) return false;
      const auto it = carved_->children.lower_bound(sector_);
      return it != carved_->children.end() && it->first < end_;
    }
    case NodeFamily::kNone:
      break;
  }
  return false;
}

ChildCursor::ChildCursor(const NodeRef& parent) : family_(parent.family_) {
  switch (family_) {
    case NodeFamily::kFat:
      fat_ = parent.fat_->children.begin();
      fatEnd_ = parent.fat_->children.end();
      break;
    case NodeFamily::kNtfs:
      ntfs_ = parent.ntfs_->children.begin();
      ntfsEnd_ = parent.ntfs_->children.end();
      break;
    case NodeFamily::kExfat:
      exfat_ = parent.exfat_->children.begin();
      exfatEnd_ = parent.exfat_->children.end();
      break;
    case NodeFamily::kCarved:
      if (!parent.folder_) {
        family_ = NodeFamily::kNone;
        break;
      }
      carved_ = parent.carved_->children.lower_bound(parent.sector_);
      carvedEnd_ = parent.carved_->children.end();
      end_ = parent.end_;
      break;
    case NodeFamily::kNone:
      break;
  }
}

bool ChildCursor::atEnd() const {
  switch (family_) {
    case NodeFamily::kFat:
      return fat_ == fatEnd_;
    case NodeFamily::kNtfs:
      return ntfs_ == ntfsEnd_;
    case NodeFamily::kExfat:
      return exfat_ == exfatEnd_;
    case NodeFamily::kCarved:
      return carved_ == carvedEnd_ || carved_->first >= end_;
    case NodeFamily::kNone:
      break;
  }
  return true;
}

NodeRef ChildCursor::next() {
  if (atEnd()) return {};
  switch (family_) {
    case NodeFamily::kFat:
      return NodeRef(&*fat_++);
    case NodeFamily::kNtfs:
      return NodeRef(&*ntfs_++);
    case NodeFamily::kExfat:
      return NodeRef(&*exfat_++);
    case NodeFamily::kCarved: {
      const auto it = carved_++;
      return NodeRef::CarvedFile(&it->second, it->first);
    }
    case NodeFamily::kNone:
      break;
  }
  return {};
}

}  // namespace orvaldi::fs
