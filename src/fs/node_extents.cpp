// Node extents: data through the copy path with the data reads only noted,
// entries and records found where the readers found them.
#include "fs/node_extents.h"

#include <algorithm>
#include <unordered_set>

#include "disk/bytes.h"
#include "disk/exfat_layout.h"
#include "disk/fat_entry.h"
#include "disk/fat_layout.h"
#include "disk/fs_family.h"
#include "disk/recognisers.h"
#include "disk/sector_io.h"
#include "fs/exfat_directory.h"
#include "fs/exfat_reader.h"
#include "fs/fat_state.h"
#include "fs/node_copy.h"

namespace orvaldi::fs {
namespace {

using platform::ByteRange;
constexpr uint64_t kSector = disk::SectorSize;

// A FAT folder holds at most 65,536 entries of 32 bytes.
constexpr uint64_t kMaxFatFolderBytes = 65536ull * 32;

// Widens a range to whole sectors.
ByteRange Sectors(uint64_t begin, uint64_t end) {
  return {begin / kSector * kSector, (end + kSector - 1) / kSector * kSector};
}

std::vector<ByteRange> Merged(std::vector<ByteRange> ranges) { return platform::ByteAreas(std::move(ranges)).ranges(); }

// Passes the reads of a copy through until its sink begins (the NTFS record
// and what it leads to: the attribute list, extension records), noting them
// as metadata; from then on the reads are data, noted and not made: their
// bytes go to a sink that drops them, so only where they lie matters.
class ReadNoter final : public platform::SectorSource {
 public:
  explicit ReadNoter(platform::SectorSource& inner) : inner_(inner) {}
  platform::ReadOutcome readAt(uint64_t offset, std::span<uint8_t> out) override {
    if (out.empty()) return {};
    if (!data_) {
      const platform::ReadOutcome r = inner_.readAt(offset, out);
      metadata.push_back(Sectors(offset, offset + out.size()));
      return r;
    }
    data.push_back(Sectors(offset, offset + out.size()));
    return {out.size(), 0};
  }
  uint64_t size() const override { return inner_.size(); }
  void dataBegins() { data_ = true; }

  std::vector<ByteRange> metadata;
  std::vector<ByteRange> data;

 private:
  platform::SectorSource& inner_;
  bool data_ = false;
};

class DroppingSink final : public DataSink {
 public:
  explicit DroppingSink(ReadNoter& noter) : noter_(noter) {}
  bool begin(uint64_t) override {
    noter_.dataBegins();
    return true;
  }
  bool write(const uint8_t*, size_t) override { return true; }
  bool writeZeros(uint64_t) override { return true; }

 private:
  ReadNoter& noter_;
};

// Reads `where` (absolute byte ranges, whole sectors) into one buffer; what
// cannot be read is zeros, which no entry matches.
std::vector<uint8_t> ReadRanges(platform::SectorSource* source, const std::vector<ByteRange>& where) {
  std::vector<uint8_t> bytes;
  for (const ByteRange& r : where) {
    const size_t at = bytes.size();
    bytes.resize(at + r.size());
    disk::ReadVolumeSectors(source, nullptr, r.begin / kSector, r.size() / kSector, bytes.data() + at);
  }
  return bytes;
}

// Maps [offset, offset + length) of a folder's bytes onto the disk.
void PlaceInFolder(const std::vector<ByteRange>& where, uint64_t offset, uint64_t length, std::vector<ByteRange>& out) {
  uint64_t seen = 0;
  const uint64_t end = offset + length;
  for (const ByteRange& r : where) {
    const uint64_t rEnd = seen + r.size();
    if (rEnd > offset && seen < end) {
      const uint64_t from = std::max(offset, seen) - seen;
      const uint64_t to = std::min(end, rEnd) - seen;
      out.push_back(Sectors(r.begin + from, r.begin + to));
    }
    seen = rEnd;
    if (seen >= end) break;
  }
}

// UTF-16 units of a UTF-8 name: what its exFAT name entries hold.
uint64_t Utf16Units(const std::string& name) {
  uint64_t units = 0;
  for (const char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c & 0xC0) != 0x80) units += c >= 0xF0 ? 2 : 1;
  }
  return units;
}

}  // namespace

ExtentFinder::ExtentFinder(platform::SectorSource* source, const disk::PartitionInfo& partition)
    : source_(source), partition_(partition) {
  const disk::FsFamily family = disk::FamilyOf(partition.typeByte);
  if ((family == disk::FsFamily::kFat16 || family == disk::FsFamily::kFat32) && source) {
    std::vector<uint8_t> boot(kSector);
    disk::ReadVolumeSectors(source, &partition, partition.startSector, 1, boot.data());
    const bool fat32 = family == disk::FsFamily::kFat32;
    if (fat32 ? disk::IsFat32BootSector(boot) : disk::IsFat16BootSector(boot))
      fatGeometry_ = disk::FatGeometry::FromBootSector(
          boot, fat32, {partition.startSector, partition.sectorCount, source->size() / kSector});
  }
}

std::vector<ByteRange> ExtentFinder::fatFolderRanges(const FatNode& folder) const {
  std::vector<ByteRange> where;
  const disk::FatGeometry record = disk::FatGeometry::OfRecord(partition_);
  const disk::FatGeometry& geo = fatGeometry_ ? *fatGeometry_ : record;
  const uint64_t clusterBytes = uint64_t{record.sectorsPerCluster} * kSector;
  if (clusterBytes == 0) return where;
  // The fixed root of FAT16, between the FATs and the data area.
  if (folder.firstCluster == 0) {
    if (!geo.fat32 && fatGeometry_ && geo.rootSectors > 0)
      where.push_back({(geo.dataStart - geo.rootSectors) * kSector, geo.dataStart * kSector});
    return where;
  }
  const FatScanState* state = FindFatState(partition_);
  const bool existing = KindOf(folder.flags) == node_kind::kFolder;
  const disk::FatEntries fat(state ? std::span<const uint8_t>(state->fatCopy) : std::span<const uint8_t>(),
                             record.fat32);
  // An existing folder follows its chain, as the walk read it; a deleted
  // one (or one without a FAT) is its first cluster, all the walk read.
  std::unordered_set<uint32_t> seen;
  uint32_t c = folder.firstCluster;
  while (c >= 2 && seen.insert(c).second && seen.size() * clusterBytes <= kMaxFatFolderBytes) {
    const uint64_t at = record.clusterSector(c) * kSector;
    if (!where.empty() && where.back().end == at) {
      where.back().end += clusterBytes;
    } else {
      where.push_back({at, at + clusterBytes});
    }
    if (!existing || !state || !fat.isCluster(c) || !state->entryRead(fat, c)) break;
    c = fat[c];
    if (!fat.isCluster(c)) break;
  }
  return where;
}

const ExtentFinder::FolderBytes& ExtentFinder::folder(const NodeRef& parent) {
  const void* key = parent.fat() ? static_cast<const void*>(parent.fat()) : static_cast<const void*>(parent.exfat());
  auto found = folders_.find(key);
  if (found != folders_.end()) return found->second;
  FolderBytes& f = folders_[key];
  if (const FatNode* dir = parent.fat()) {
    f.where = fatFolderRanges(*dir);
    const std::vector<uint8_t> bytes = ReadRanges(source_, f.where);
    const disk::ByteView view(bytes);
    uint64_t longStart = UINT64_MAX;  // the first long-name piece before the entry
    for (uint64_t off = 0; view.contains(off, disk::fat::kEntryBytes); off += disk::fat::kEntryBytes) {
      const disk::fat::DirEntry e(disk::ByteView(view.sub(off, disk::fat::kEntryBytes)));
      if (view.allZero(off, 16)) {
        longStart = UINT64_MAX;
        continue;
      }
      if (e.attributes() == disk::fat::attr::kLongName) {
        if (longStart == UINT64_MAX) longStart = off;
        continue;
      }
      const uint64_t from = longStart == UINT64_MAX ? off : longStart;
      longStart = UINT64_MAX;
      f.entries.push_back(
          {from, off + disk::fat::kEntryBytes - from, e.firstCluster(), e.size(), (e.attributes() & 0x10) != 0});
    }
  } else if (const ExfatNode* exDir = parent.exfat()) {
    const ExfatScanState* state = FindExfatState(partition_);
    if (!state) return f;
    bool known = true;
    const bool root = exDir == &state->root;
    const uint64_t length =
        root ? disk::exfat::kMaxDirectoryBytes : std::min<uint64_t>(exDir->size, disk::exfat::kMaxDirectoryBytes);
    for (const ExfatRun& run : ExfatRunsOf(*state, *exDir, length, known))
      f.where.push_back({run.sector * kSector, run.sector * kSector + (run.bytes + kSector - 1) / kSector * kSector});
    const std::vector<uint8_t> bytes = ReadRanges(source_, f.where);
    for (const ExfatEntrySet& set : ParseExfatDirectory(bytes).sets) {
      // The file entry, its stream extension, and one name entry per 15 units.
      const uint64_t names = (Utf16Units(set.name) + 14) / 15;
      f.entries.push_back({set.offset, (2 + names) * 32, set.firstCluster, set.dataLength, set.isFolder(), set.name});
    }
  }
  // Empty files share cluster 0: a folder of many would make every look-up
  // walk all of them; named ones are looked up by name instead.
  for (size_t i = 0; i < f.entries.size(); ++i) {
    const EntryPlace& e = f.entries[i];
    if (e.firstCluster == 0 && !e.name.empty()) {
      f.byName.emplace(e.name, i);
    } else {
      f.byCluster.emplace(e.firstCluster, i);
    }
  }
  return f;
}

void ExtentFinder::entryMetadata(const NodeRef& node, const NodeRef& parent, NodeExtents& out) {
  if (!parent || (!parent.fat() && !parent.exfat())) return;
  const FolderBytes& f = folder(parent);
  const uint32_t cluster = node.family() == NodeFamily::kFat ? node.fat()->firstCluster : node.exfat()->firstCluster;
  const bool isFolder = node.isFolderLike();
  // A deleted FAT32 folder's high cluster word was cleared in its entry; the
  // reader found it again.
  const bool lowWordOnly = node.family() == NodeFamily::kFat && isFolder && node.isDeleted();
  std::vector<const EntryPlace*> matches;
  auto consider = [&](const EntryPlace& e) {
    if (e.folder != isFolder) return;
    if (!isFolder && e.size != node.size()) return;
    if (!e.name.empty() && e.name != node.name()) return;
    if (lowWordOnly ? (e.firstCluster & 0xFFFF) != (cluster & 0xFFFF) : e.firstCluster != cluster) return;
    matches.push_back(&e);
  };
  if (lowWordOnly) {
    for (const EntryPlace& e : f.entries) consider(e);
  } else {
    const auto range = f.byCluster.equal_range(cluster);
    for (auto it = range.first; it != range.second; ++it) consider(f.entries[it->second]);
    if (cluster == 0) {
      const auto named = f.byName.equal_range(node.name());
      for (auto it = named.first; it != named.second; ++it) consider(f.entries[it->second]);
    }
  }
  // Empty files share cluster 0 and size 0: each of their entries may be
  // this one's, and all of them are named.
  if (matches.empty()) {
    out.metadataApproximate = true;
    out.metadata.insert(out.metadata.end(), f.where.begin(), f.where.end());
    return;
  }
  if (matches.size() > 1) out.metadataApproximate = true;
  for (const EntryPlace* e : matches) PlaceInFolder(f.where, e->offset, e->length, out.metadata);
}

NodeExtents ExtentFinder::of(const NodeRef& node, const NodeRef& parent) {
  NodeExtents out;
  if (!source_ || !node) return out;
  if (node.isFileLike()) {
    ReadNoter noter(*source_);
    DroppingSink sink(noter);
    if (node.family() == NodeFamily::kExfat) {
      // Past the valid length a copy writes zeros without reading.
      const ExfatScanState* state = FindExfatState(partition_);
      const ExfatNode& file = *node.exfat();
      bool known = true;
      if (state)
        for (const ExfatRun& run : ExfatRunsOf(*state, file, std::min(file.validLength, file.size), known))
          out.data.push_back(Sectors(run.sector * kSector, run.sector * kSector + run.bytes));
    } else {
      CopyNode(&noter, partition_, node, sink);
      out.data = std::move(noter.data);
      out.metadata = std::move(noter.metadata);
      // Resident NTFS data lives in the record itself.
      if (node.family() == NodeFamily::kNtfs && out.data.empty() && node.size() > 0 && !out.metadata.empty())
        out.data.push_back(out.metadata.front());
    }
  }
  if (node.family() == NodeFamily::kFat || node.family() == NodeFamily::kExfat) entryMetadata(node, parent, out);
  out.data = Merged(std::move(out.data));
  out.metadata = Merged(std::move(out.metadata));
  return out;
}

std::vector<ByteRange> TouchedAreas(const NodeExtents& extents, const platform::ByteAreas& areas) {
  std::vector<ByteRange> touched;
  for (const ByteRange& r : extents.data) areas.intersect(r.begin, r.end, touched);
  for (const ByteRange& r : extents.metadata) areas.intersect(r.begin, r.end, touched);
  return Merged(std::move(touched));
}

}  // namespace orvaldi::fs
