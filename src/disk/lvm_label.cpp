// LVM2 physical volumes: the label in sector 1, the metadata area, and the logical volumes they describe.
#include "disk/lvm_label.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <map>

#include "disk/bytes.h"
#include "disk/partition_info.h"
#include "disk/recognisers.h"
#include "disk/sector_io.h"
#include "disk/volume_probe.h"

namespace orvaldi::disk {
namespace {

using platform::SectorSource;

// The label sector: "LABELONE", the label type, then the physical-volume
// header with its id, the device size and two lists of (offset, size) byte
// ranges, data areas then metadata areas, each list ended by a zero pair.
namespace label_layout {
inline constexpr size_t kType = 0x18;
inline constexpr size_t kPvId = 0x20;
inline constexpr size_t kPvIdLength = 32;
inline constexpr size_t kDeviceSize = 0x40;
inline constexpr size_t kAreaLists = 0x48;
inline constexpr size_t kAreaEntry = 16;
}  // namespace label_layout

// The metadata area starts with a header sector: its magic, the area's own
// position and size, then where the current metadata text lies in the area.
namespace area_layout {
inline constexpr size_t kMagic = 0x04;
inline constexpr std::string_view kMagicText{" LVM2 x[5A%r0N*>", 16};
inline constexpr size_t kVersion = 0x14;
inline constexpr size_t kStart = 0x18;
inline constexpr size_t kSize = 0x20;
inline constexpr size_t kTextOffset = 0x28;
inline constexpr size_t kTextSize = 0x30;
// The text is a ring inside the area: it never overlaps the header sector and
// wraps round to just after it.
inline constexpr uint64_t kHeaderBytes = 512;
}  // namespace area_layout

std::string WithoutHyphens(std::string_view text) {
  std::string out;
  for (const char c : text)
    if (c != '-') out.push_back(c);
  return out;
}

template <typename T>
bool InRange(int64_t v) {
  return v >= 0 && static_cast<uint64_t>(v) <= std::numeric_limits<T>::max();
}

// Segment blocks are named "segment1", "segment2", ...
bool IsSegmentBlock(const std::string& name) {
  if (name.size() <= 7 || name.compare(0, 7, "segment") != 0) return false;
  return std::all_of(name.begin() + 7, name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// One segment block, or nothing when its extents are missing or out of range.
// `type` receives the segment type, which the record does not keep.
std::optional<LvmSegment> ReadSegment(const LvmSection& block, const std::map<std::string, std::string>& pvIds,
                                      std::string& type) {
  const auto start = block.number("start_extent");
  const auto count = block.number("extent_count");
  if (!start || !count || !InRange<uint32_t>(*start) || !InRange<uint32_t>(*count)) return std::nullopt;
  LvmSegment seg;
  seg.startExtent = static_cast<uint32_t>(*start);
  seg.extentCount = static_cast<uint32_t>(*count);
  if (const auto stripes = block.number("stripe_count"); stripes && InRange<uint32_t>(*stripes))
    seg.stripeCount = static_cast<uint32_t>(*stripes);
  const std::string* typeText = block.text("type");
  type = typeText ? *typeText : std::string();
  // ["pv0", 2048, ...]: the first stripe's volume and its first extent.
  if (const LvmValue* list = block.find("stripes");
      list && list->kind == LvmValue::Kind::kList && list->items.size() >= 2 &&
      list->items[0].kind == LvmValue::Kind::kString && list->items[1].kind == LvmValue::Kind::kNumber) {
    if (const auto it = pvIds.find(list->items[0].text); it != pvIds.end()) seg.pvId = it->second;
    if (list->items[1].number >= 0) seg.pvStartExtent = static_cast<uint64_t>(list->items[1].number);
  }
  return seg;
}

// The volume group: the top-level block that lists physical volumes.
const LvmSection* FindGroup(const LvmSection& root) {
  for (const LvmSection& s : root.sections)
    if (s.section("physical_volumes")) return &s;
  return nullptr;
}

}  // namespace

std::optional<LvmPhysicalVolume> InterpretLvmMetadata(const LvmSection& root, std::string_view memberId) {
  const LvmSection* group = FindGroup(root);
  if (!group) return std::nullopt;
  LvmPhysicalVolume pv;
  const std::string* groupId = group->text("id");
  const auto extentSize = group->number("extent_size");
  if (!groupId || !extentSize || *extentSize <= 0 || !InRange<uint32_t>(*extentSize)) return std::nullopt;
  pv.groupId = *groupId;
  pv.extentSize = static_cast<uint32_t>(*extentSize);

  std::map<std::string, std::string> pvIds;  // block name -> id, for the segments' stripes
  bool found = false;
  for (const LvmSection& block : group->section("physical_volumes")->sections) {
    const std::string* id = block.text("id");
    if (!id) continue;
    pvIds.emplace(block.name, *id);
    if (found || WithoutHyphens(*id) != memberId) continue;
    const auto devSize = block.number("dev_size");
    const auto peStart = block.number("pe_start");
    const auto peCount = block.number("pe_count");
    if (!devSize || !peStart || !peCount || *devSize < 0 || *peStart < 0 || !InRange<uint32_t>(*peCount))
      return std::nullopt;
    pv.pvId = *id;
    pv.devSize = static_cast<uint64_t>(*devSize);
    pv.peStart = static_cast<uint64_t>(*peStart);
    pv.peCount = static_cast<uint32_t>(*peCount);
    found = true;
  }
  if (!found) return std::nullopt;

  const LvmSection* volumes = group->section("logical_volumes");
  if (!volumes) return pv;
  for (const LvmSection& block : volumes->sections) {
    LogicalVolume lv;
    lv.name = block.name;
    bool sound = true;
    bool linear = true;
    for (const LvmSection& segBlock : block.sections) {
      if (!IsSegmentBlock(segBlock.name)) continue;
      std::string type;
      auto seg = ReadSegment(segBlock, pvIds, type);
      if (!seg) {
        sound = false;
        break;
      }
      linear = linear && (type == "striped" || type == "linear") && seg->stripeCount == 1 && !seg->pvId.empty();
      // Saturating: a text may list enough huge segments to pass 2^64 sectors.
      const uint64_t sectors = uint64_t{seg->extentCount} * pv.extentSize;
      lv.sizeSectors = sectors > UINT64_MAX - lv.sizeSectors ? UINT64_MAX : lv.sizeSectors + sectors;
      lv.segments.push_back(std::move(*seg));
    }
    if (!sound) continue;
    const auto segmentCount = block.number("segment_count");
    lv.segmentCount = segmentCount && InRange<uint32_t>(*segmentCount) ? static_cast<uint32_t>(*segmentCount)
                                                                       : static_cast<uint32_t>(lv.segments.size());
    pv.volumes.push_back(std::move(lv));
    pv.linear.push_back(linear && !pv.volumes.back().segments.empty());
  }
  return pv;
}

namespace {

// The metadata text of the first metadata area the label lists, or nothing
// when the label, the area header or the read fails.
std::optional<std::string> ReadMetadataText(SectorSource& source, const ByteView& label) {
  // Skip the data areas, then take the first metadata area.
  uint64_t at = label_layout::kAreaLists;
  while (label.contains(at, label_layout::kAreaEntry) && (label.le64(at) != 0 || label.le64(at + 8) != 0))
    at += label_layout::kAreaEntry;
  at += label_layout::kAreaEntry;
  if (!label.contains(at, label_layout::kAreaEntry)) return std::nullopt;
  const uint64_t areaStart = label.le64(at);
  const uint64_t areaSize = label.le64(at + 8);
  // Whether the area lies on the disk shows in the reads below: a cut-off
  // image may still hold the header and the text.
  if (areaStart == 0 || areaSize <= area_layout::kHeaderBytes || areaStart > UINT64_MAX - areaSize) return std::nullopt;

  std::vector<uint8_t> headerBytes(area_layout::kHeaderBytes);
  if (source.readAt(areaStart, headerBytes).bytes != headerBytes.size()) return std::nullopt;
  const ByteView header(headerBytes);
  if (!header.matches(area_layout::kMagic, area_layout::kMagicText) || header.le32(area_layout::kVersion) != 1 ||
      header.le64(area_layout::kStart) != areaStart || header.le64(area_layout::kSize) != areaSize)
    return std::nullopt;
  const uint64_t textOffset = header.le64(area_layout::kTextOffset);
  const uint64_t textSize = header.le64(area_layout::kTextSize);
  const uint64_t ring = areaSize - area_layout::kHeaderBytes;
  if (textOffset < area_layout::kHeaderBytes || textOffset >= areaSize || textSize == 0 || textSize > ring ||
      textSize > kLvmMaxTextBytes || (source.size() != 0 && textSize > source.size()))
    return std::nullopt;

  std::string text(static_cast<size_t>(textSize), '\0');
  auto* out = reinterpret_cast<uint8_t*>(text.data());
  const uint64_t first = std::min(textSize, areaSize - textOffset);
  if (source.readAt(areaStart + textOffset, {out, static_cast<size_t>(first)}).bytes != first) return std::nullopt;
  const uint64_t rest = textSize - first;
  if (rest != 0 &&
      source.readAt(areaStart + area_layout::kHeaderBytes, {out + first, static_cast<size_t>(rest)}).bytes != rest)
    return std::nullopt;
  // The recorded size may count a terminating zero.
  text.resize(strnlen(text.c_str(), text.size()));
  return text;
}

// Type, label and HFS details of the volume at `sector`. Nothing lies before
// a logical volume, so an NTFS boot sector there records 0 hidden sectors.
void Classify(SectorSource& source, PartitionInfo& p, uint64_t sector, const std::string& devicePath) {
  std::vector<uint8_t> boot(SectorSize);
  ReadSectors(source, sector, 1, boot.data());
  VolumeGuess guess = IdentifyVolume(source, sector);
  if (guess.fs.empty() && IsNtfsBootSectorAnyHidden(boot)) {
    // IdentifyVolume asks for the hidden-sector count only away from sector 0.
    guess.fs = "NTFS";
    guess.typeByte = type_code::kNtfs;
  }
  p.typeByte = guess.typeByte;
  p.volumeLabel = guess.label;
  if (guess.typeByte == type_code::kLinux) p.fsLabel = guess.fs;
  if (guess.typeByte == type_code::kHfs) {
    p.hfsKind = guess.hfsKind;
    p.fsTypeText = guess.fs;
    p.sourcePath = devicePath;
  }
}

// A partition record for a linear logical volume that lies wholly on this
// physical volume, inside the disk; nothing for any other.
std::optional<PartitionInfo> LinearVolumeRecord(SectorSource& source, const LvmPhysicalVolume& pv,
                                                const LogicalVolume& lv, uint64_t diskSectors,
                                                const std::string& devicePath) {
  std::vector<LvmSegment> segments = lv.segments;
  std::sort(segments.begin(), segments.end(),
            [](const LvmSegment& a, const LvmSegment& b) { return a.startExtent < b.startExtent; });
  uint64_t nextExtent = 0;
  std::vector<VolumeMember> members;
  for (const LvmSegment& seg : segments) {
    if (seg.pvId != pv.pvId || seg.startExtent != nextExtent || seg.extentCount == 0) return std::nullopt;
    if (seg.pvStartExtent > pv.peCount || seg.extentCount > pv.peCount - seg.pvStartExtent) return std::nullopt;
    VolumeMember m;
    m.devicePath = devicePath;
    m.startSector = pv.peStart + seg.pvStartExtent * pv.extentSize;
    m.sectorCount = uint64_t{seg.extentCount} * pv.extentSize;
    // pe_start and the extents come from the text; the disk must hold them.
    if (m.startSector < pv.peStart ||
        (diskSectors != 0 && (m.startSector > diskSectors || m.sectorCount > diskSectors - m.startSector)))
      return std::nullopt;
    nextExtent += seg.extentCount;
    members.push_back(std::move(m));
  }
  if (members.empty()) return std::nullopt;

  PartitionInfo p;
  p.name = lv.name;
  p.sectorCount = lv.sizeSectors;
  Classify(source, p, members.front().startSector, devicePath);
  if (members.size() == 1) {
    p.startSector = members.front().startSector;
  } else {
    // Several pieces of this disk, end to end: read through the spanned mapping.
    p.volumeKind = VolumeKind::kSpanned;
    p.members = std::move(members);
  }
  return p;
}

}  // namespace

int ReadLvmLabel(SectorSource& source, DiskInfo& disk, std::span<const uint8_t> sector1,
                 const std::string& devicePath) {
  const ByteView label(sector1);
  if (!label.matches(0, "LABELONE")) return 1;
  if (!label.matches(label_layout::kType, "LVM2 001")) return 0;
  const auto idBytes = label.sub(label_layout::kPvId, label_layout::kPvIdLength);
  if (idBytes.size() != label_layout::kPvIdLength) return 0;
  const std::string memberId(reinterpret_cast<const char*>(idBytes.data()), idBytes.size());
  const bool printable = std::all_of(memberId.begin(), memberId.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  });
  if (!printable) return 0;

  const auto text = ReadMetadataText(source, label);
  if (!text) return 0;
  const auto root = ParseLvmMetadata(*text);
  if (!root) return 0;
  const auto pv = InterpretLvmMetadata(*root, memberId);
  if (!pv) return 0;

  disk.memberId = memberId;
  disk.groupId = pv->groupId;
  disk.lvmExtentSize = pv->extentSize;
  disk.lvmDevSize = pv->devSize;
  disk.lvmPeStart = pv->peStart;
  disk.lvmPeCount = pv->peCount;
  disk.logicalVolumes = pv->volumes;

  const uint64_t sourceBytes = source.size() != 0 ? source.size() : static_cast<uint64_t>(disk.sizeBytes);
  const uint64_t diskSectors = sourceBytes / SectorSize;
  for (size_t i = 0; i < pv->volumes.size(); ++i) {
    if (!pv->linear[i]) continue;
    if (auto p = LinearVolumeRecord(source, *pv, pv->volumes[i], diskSectors, devicePath))
      disk.partitions.push_back(std::move(*p));
  }
  return 0;
}

}  // namespace orvaldi::disk
