// NameCarvedFiles: the walk of each volume that holds carved files, the
// first data sector of each file it lists, and the agreement rule.
#include "ops/carved_names.h"

#include <map>
#include <set>
#include <utility>

#include "disk/fs_family.h"
#include "disk/volume_source.h"
#include "fs/first_data_sector.h"
#include "fs/formats/registry.h"
#include "fs/node_view.h"
#include "fs/scan_state.h"
#include "ops/open_partition.h"
#include "platform/text.h"
#include "raw/save_target.h"

namespace orvaldi::ops {
namespace {

using CarvedMap = std::map<uint64_t, disk::CarvedNode>;

// What the records say of one carved file's start sector.
struct Claim {
  std::string name;
  std::string folder;
  bool disputed = false;
};

// The deleted mark in place of a short name's first character: the name
// the file had is not known.
bool LostFirstCharacter(const fs::NodeRef& node) {
  return node.family() == fs::NodeFamily::kFat && node.isDeleted() && node.name().rfind("\xC3\xA5", 0) == 0;
}

std::string LowerExtension(const std::string& name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot + 1 == name.size()) return {};
  std::string ext = name.substr(dot + 1);
  for (char& c : ext)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return ext;
}

// Deleting a FAT entry overwrites the ordinal of each of its long-name
// entries, and with it the mark of the last one: a long name read from a
// directory sector without the entries before it (they lay in the sector
// before) has lost its end, and nothing in the entry tells. Such a name is
// taken only when it ends in an extension of the carved file's type.
bool ExtensionFits(const std::string& found, const std::string& carvedName) {
  const std::string ext = LowerExtension(found);
  const std::string carved = LowerExtension(carvedName);
  if (ext.empty()) return false;
  if (ext == carved) return true;
  const fs::formats::FileFormat* format = fs::formats::FormatOfExtension(carved);
  if (format == nullptr) return false;
  for (const std::string_view known : format->extensions)
    if (known == ext) return true;
  return false;
}

class VolumeClaims {
 public:
  VolumeClaims(platform::SectorSource* source, const disk::PartitionInfo& partition, const CarvedMap& carved,
               uint64_t first, uint64_t end, std::map<uint64_t, Claim>& claims)
      : source_(source), partition_(partition), carved_(carved), first_(first), end_(end), claims_(claims) {}

  // Below any top but the root the folders are the listing's stand-ins
  // ("零散目录/123"), not where the files were: their files get no folder.
  void top(const fs::NodeRef& top, bool isRoot) { walk(top, isRoot ? "/" : "", 0); }

 private:
  static constexpr int kMaxDepth = 256;

  void walk(const fs::NodeRef& folder, const std::string& path, int depth) {
    if (depth > kMaxDepth) return;
    folder.forEachChild([&](const fs::NodeRef& child) {
      if (child.isFolderLike()) {
        walk(child, path.empty() ? "" : path == "/" ? "/" + child.name() : path + "/" + child.name(), depth + 1);
        return;
      }
      claim(child, path);
    });
  }

  void claim(const fs::NodeRef& file, const std::string& folder) {
    const std::optional<uint64_t> sector = fs::FirstDataSector(source_, partition_, file);
    if (!sector || *sector < first_ || *sector >= end_ || carved_.count(*sector) == 0) return;
    const auto [it, fresh] = claims_.try_emplace(*sector);
    Claim& c = it->second;
    const bool deletedFat = file.family() == fs::NodeFamily::kFat && file.isDeleted();
    if (LostFirstCharacter(file) || (deletedFat && !ExtensionFits(file.name(), carved_.at(*sector).name))) {
      // A record whose name is not whole still claims the sector.
      c.disputed = true;
      return;
    }
    if (fresh) {
      c.name = file.name();
      c.folder = folder;
    } else if (c.name != file.name() || c.folder != folder) {
      c.disputed = true;
    }
  }

  platform::SectorSource* source_;
  const disk::PartitionInfo& partition_;
  const CarvedMap& carved_;
  uint64_t first_;
  uint64_t end_;
  std::map<uint64_t, Claim>& claims_;
};

// Whether a carved file starts inside `partition`.
bool HoldsCarved(const CarvedMap& carved, const disk::PartitionInfo& partition, uint64_t first, uint64_t end) {
  const uint64_t from = std::max(first, partition.startSector);
  const auto it = carved.lower_bound(from);
  if (it == carved.end() || it->first >= end) return false;
  return partition.sectorCount == 0 || it->first - partition.startSector < partition.sectorCount;
}

}  // namespace

CarvedNaming NameCarvedFiles(disk::DiskInfo& disk, platform::ProgressBlock& progress, uint64_t firstSector,
                             uint64_t sectorCount) {
  CarvedNaming out;
  CarvedMap& carved = disk.extraFoundFolder.children;
  const uint64_t end = sectorCount > UINT64_MAX - firstSector ? UINT64_MAX : firstSector + sectorCount;
  for (auto it = carved.lower_bound(firstSector); it != carved.end() && it->first < end; ++it) {
    it->second.foundName.clear();
    it->second.foundPath.clear();
    ++out.carved;
  }
  if (out.carved == 0) return out;

  std::map<uint64_t, Claim> claims;
  // A volume listed twice (its table entry and its boot sector found by the
  // sweep) is read once.
  std::set<std::pair<uint64_t, disk::FsFamily>> read;
  for (disk::PartitionInfo& partition : disk.partitions) {
    if (progress.cancelled()) {
      out.cancelled = true;
      break;
    }
    const disk::FsFamily family = disk::FamilyOf(partition.typeByte);
    if (!disk::IsFat(family) && family != disk::FsFamily::kNtfs && family != disk::FsFamily::kExfat) continue;
    if (!HoldsCarved(carved, partition, firstSector, end)) continue;
    if (!read.emplace(partition.startSector, family).second) continue;
    std::vector<fs::NodeRef> tops;
    if (const auto* state = partition.reader.get<fs::ScanState>()) {
      tops = state->summary().tops;
    } else {
      OpenedPartition opened = OpenPartition(disk, partition, ScanMode::kWalk, progress);
      if (opened.status == OpenStatus::kCancelled) {
        out.cancelled = true;
        break;
      }
      if (opened.status != OpenStatus::kOk && opened.status != OpenStatus::kPartial) {
        out.unreadVolumes.push_back(partition.name);
        continue;
      }
      tops = std::move(opened.tops);
    }
    const disk::OpenedVolume volume = disk::OpenVolumeSource(disk, partition);
    if (!volume.source) {
      out.unreadVolumes.push_back(partition.name);
      continue;
    }
    ++out.volumes;
    VolumeClaims walk(volume.source.get(), partition, carved, firstSector, end, claims);
    for (size_t i = 0; i < tops.size(); ++i) walk.top(tops[i], i == 0);
  }
  // What a stopped pass found is still right, but not all there is: nothing
  // is named then, so that no listing passes for whole.
  if (out.cancelled) return out;
  for (const auto& [sector, claim] : claims) {
    if (claim.disputed) {
      ++out.disputed;
      continue;
    }
    disk::CarvedNode& file = carved.at(sector);
    file.foundName = claim.name;
    file.foundPath = claim.folder;
    ++out.named;
  }
  return out;
}

std::vector<std::string> FoundSavePieces(const disk::CarvedNode& file) {
  if (file.foundName.empty()) return {};
  std::vector<std::string> pieces = file.foundPath.empty() ? std::vector<std::string>{disk::kExtraFoundFolderName}
                                                           : platform::SplitNonEmpty(file.foundPath, '/');
  pieces.push_back(file.foundName);
  for (const std::string& piece : pieces)
    if (raw::IsInvalidName(piece)) return {};
  return pieces;
}

raw::SaveJob NamedCarvedFilesJob(SweptSource& swept) {
  disk::DiskInfo& d = *swept.disk;
  raw::SaveJob job{&d, &swept.range, {}};
  const uint64_t first = swept.range.startSector;
  const uint64_t count = swept.range.sectorCount;
  const fs::NodeRef folder = fs::NodeRef::CarvedFolder(&d.extraFoundFolder, first, count);
  folder.forEachChild([&](const fs::NodeRef& file) {
    std::vector<std::string> pieces = FoundSavePieces(*file.carved());
    if (pieces.empty()) {
      job.items.push_back({file, {disk::kExtraFoundFolderName}, {}});
      return;
    }
    std::string name = std::move(pieces.back());
    pieces.pop_back();
    job.items.push_back({file, std::move(pieces), std::move(name)});
  });
  return job;
}

}  // namespace orvaldi::ops
