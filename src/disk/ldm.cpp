// Reading a dynamic disk's private headers and database into a group record and its volumes.
#include "disk/ldm.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

#include "disk/bytes.h"
#include "disk/disk_list.h"
#include "disk/gpt_layout.h"
#include "disk/partition_table.h"
#include "disk/sector_io.h"

namespace orvaldi::disk::ldm {
namespace {

// Private header layout (big-endian numbers).
namespace privhead {
constexpr uint64_t kVersionMajor = 0x0C;
constexpr uint64_t kVersionMinor = 0x0E;
constexpr uint64_t kDiskId = 0x30;
constexpr uint64_t kGroupId = 0xB0;
constexpr uint64_t kGroupName = 0xF0;
constexpr uint64_t kGuidTextLength = 0x40;
constexpr uint64_t kGroupNameLength = 0x20;
constexpr uint64_t kLogicalDiskStart = 0x11B;
constexpr uint64_t kLogicalDiskSize = 0x123;
constexpr uint64_t kConfigStart = 0x12B;
constexpr uint64_t kConfigSize = 0x133;
}  // namespace privhead

namespace vmdb {
constexpr uint64_t kSequence = 0x04;
constexpr uint64_t kBlockSize = 0x08;
constexpr uint64_t kFirstBlock = 0x0C;
constexpr uint64_t kVersionMajor = 0x12;
constexpr uint64_t kVersionMinor = 0x14;
constexpr uint64_t kCounts = 0x85;
}  // namespace vmdb

// Record block header.
namespace vblk {
constexpr uint64_t kFlags = 0x12;
constexpr uint64_t kType = 0x13;
constexpr uint64_t kDataSize = 0x14;
constexpr uint64_t kObjectId = 0x18;
constexpr uint32_t kMaxDataSize = 0x80;
}  // namespace vblk

// A header's text field: up to `length` bytes, stopping at the first zero.
std::string FixedText(const ByteView& v, uint64_t offset, uint64_t length) {
  const auto bytes = v.sub(offset, length);
  std::string out;
  for (const uint8_t b : bytes) {
    if (b == 0) break;
    out.push_back(static_cast<char>(b));
  }
  return out;
}

// Walks a record's variable-length fields; any step past the block marks the
// view as overrun, and the record is then not used.
class Fields {
 public:
  Fields(const ByteView& view, uint64_t at) : v_(view), at_(at) {}
  bool ok() const { return v_.ok(); }
  uint64_t at() const { return at_; }

  void skip(uint64_t n) {
    if (!v_.contains(at_, n)) {
      v_.sub(at_, n);  // marks the overrun
      at_ = v_.size();
      return;
    }
    at_ += n;
  }
  uint8_t byte() {
    const uint8_t b = v_.u8(at_);
    skip(1);
    return b;
  }
  // A length byte n and n big-endian bytes; lengths of 0 or above 8 give 0.
  uint64_t number() {
    const uint8_t n = byte();
    uint64_t value = 0;
    const auto bytes = v_.sub(at_, n);
    if (n >= 1 && n <= 8)
      for (const uint8_t b : bytes) value = (value << 8) | b;
    skip(n);
    return value;
  }
  // A length byte n and n characters, of which at most capacity - 1 are kept.
  std::string text(size_t capacity) {
    const uint8_t n = byte();
    const auto bytes = v_.sub(at_, n);
    skip(n);
    const size_t kept = std::min<size_t>(bytes.size(), capacity - 1);
    return std::string(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(kept));
  }
  uint64_t be64() {
    const uint64_t value = v_.be64(at_);
    skip(8);
    return value;
  }
  std::span<const uint8_t> bytes(uint64_t n) {
    const auto out = v_.sub(at_, n);
    skip(n);
    return out;
  }

 private:
  const ByteView& v_;
  uint64_t at_;
};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

constexpr uint64_t kConfigLimitSectors = 1u << 16;  // 32 MiB; Windows writes 1 MiB

std::vector<uint8_t> ReadRun(platform::SectorSource& source, uint64_t sector, uint64_t count, bool& complete) {
  std::vector<uint8_t> out(count * SectorSize);
  complete = ReadSectors(source, sector, static_cast<uint32_t>(count), out.data()).complete;
  return out;
}

thread_local DiskInfoList* gGroupTarget = nullptr;

// Where the first private header is: sector 6 on an MBR disk; on a GPT disk
// the last sector of the LDM metadata partition. 0 when neither holds one.
uint64_t PrivHeadSector(platform::SectorSource& source) {
  bool complete = false;
  if (ByteView(ReadRun(source, kPrivHeadSector, 1, complete)).matches(0, "PRIVHEAD")) return kPrivHeadSector;
  const auto headerBytes = ReadRun(source, 1, 1, complete);
  const gpt::Header header{ByteView(headerBytes)};
  if (!header.hasSignature()) return 0;
  const uint64_t entriesAt = header.entriesLba();
  const uint32_t count = header.entryCount();
  const uint32_t size = header.entryBytes();
  if (count == 0 || count > 128 || size < 128 || size > 512 || size % 8 != 0) return 0;
  const uint64_t sectors = (uint64_t{count} * size + SectorSize - 1) / SectorSize;
  const auto entryBytes = ReadRun(source, entriesAt, sectors, complete);
  const ByteView entries(entryBytes);
  static const auto kLdmMetadata = GuidFromText("5808C8AA-7E8F-42E0-85D2-E1E90434CFB3");
  for (uint64_t i = 0; i < count; ++i) {
    const gpt::Entry entry(entries, i * size);
    const auto type = entry.typeGuid();
    if (type.size() == 16 && std::equal(type.begin(), type.end(), kLdmMetadata.begin())) return entry.lastLba();
  }
  return 0;
}

}  // namespace

std::optional<Guid> ParseGuidText(std::string_view text) {
  if (text.size() < 36) return std::nullopt;
  Guid guid{};
  size_t out = 0;
  for (size_t i = 0; i < 36;) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return std::nullopt;
      ++i;
      continue;
    }
    const int hi = HexDigit(text[i]);
    const int lo = HexDigit(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    guid[out++] = static_cast<uint8_t>(hi * 16 + lo);
    i += 2;
  }
  return guid;
}

std::string GuidDecimal(const Guid& guid) {
  std::string out;
  for (const uint8_t b : guid) out += std::to_string(b);
  return out;
}

PrivHeadResult ParsePrivHead(std::span<const uint8_t> sector) {
  PrivHeadResult r;
  const ByteView v(sector);
  if (!v.matches(0, "PRIVHEAD")) {
    r.message = "no PRIVHEAD signature";
    return r;
  }
  PrivHead& h = r.head;
  h.versionMajor = v.be16(privhead::kVersionMajor);
  h.versionMinor = v.be16(privhead::kVersionMinor);
  if (h.versionMajor != 2 || (h.versionMinor != 11 && h.versionMinor != 12)) {
    r.status = PrivHeadStatus::kBadVersion;
    char text[96];
    std::snprintf(text, sizeof text, "Expected PRIVHEAD version 2.11 or 2.12, got %d.%d.Aborting.", h.versionMajor,
                  h.versionMinor);
    r.message = text;
    return r;
  }
  h.logicalDiskStart = v.be64(privhead::kLogicalDiskStart);
  h.logicalDiskSize = v.be64(privhead::kLogicalDiskSize);
  h.configStart = v.be64(privhead::kConfigStart);
  h.configSize = v.be64(privhead::kConfigSize);
  h.groupName = FixedText(v, privhead::kGroupName, privhead::kGroupNameLength);
  // The data area and the configuration must not overlap: on an MBR disk the
  // configuration follows the data, on a GPT disk it comes first.
  const bool dataFirst = h.logicalDiskStart <= h.configStart && h.logicalDiskSize <= h.configStart - h.logicalDiskStart;
  const bool configFirst = h.configStart <= h.logicalDiskStart && h.configSize <= h.logicalDiskStart - h.configStart;
  if (!v.ok() || h.logicalDiskSize == 0 || h.logicalDiskSize > UINT64_MAX - h.logicalDiskStart ||
      h.configSize > UINT64_MAX - h.configStart || (!dataFirst && !configFirst)) {
    r.status = PrivHeadStatus::kBadLayout;
    r.message = "PRIVHEAD places the logical disk over its configuration";
    return r;
  }
  const auto disk = ParseGuidText(FixedText(v, privhead::kDiskId, privhead::kGuidTextLength));
  const auto group = ParseGuidText(FixedText(v, privhead::kGroupId, privhead::kGuidTextLength));
  if (!disk || !group) {
    r.status = PrivHeadStatus::kBadGuid;
    r.message = "PRIVHEAD disk or group id is not a GUID";
    return r;
  }
  h.diskGuid = *disk;
  h.groupGuid = *group;
  r.status = PrivHeadStatus::kOk;
  return r;
}

std::optional<Vmdb> ParseVmdb(std::span<const uint8_t> sector) {
  const ByteView v(sector);
  if (!v.matches(0, "VMDB")) return std::nullopt;
  Vmdb h;
  h.sequence = v.be32(vmdb::kSequence);
  h.blockSize = v.be32(vmdb::kBlockSize);
  h.firstBlockOffset = v.be32(vmdb::kFirstBlock);
  h.versionMajor = v.be16(vmdb::kVersionMajor);
  h.versionMinor = v.be16(vmdb::kVersionMinor);
  for (size_t i = 0; i < h.counts.size(); ++i) h.counts[i] = v.be32(vmdb::kCounts + 4 * i);
  if (!v.ok() || h.versionMajor != 4 || h.versionMinor != 10) return std::nullopt;
  if (h.blockSize < 64 || h.blockSize > 4096) return std::nullopt;
  return h;
}

RecordKind ParseRecord(std::span<const uint8_t> block, Database& db) {
  const ByteView v(block);
  if (!v.matches(0, "VBLK") && !v.matches(0, "KLOG")) return RecordKind::kNotUsed;
  // Only records that fit in one block are read.
  if (v.u8(vblk::kObjectId) >= 0x80 || v.be32(vblk::kDataSize) > vblk::kMaxDataSize || !v.ok())
    return RecordKind::kNotUsed;
  const uint8_t flags = v.u8(vblk::kFlags);
  const uint8_t type = v.u8(vblk::kType);
  Fields f(v, vblk::kObjectId);
  switch (type) {
    case 0x32: {
      Component c;
      c.id = f.number();
      c.name = f.text(16);
      f.text(256);  // state
      c.layout = f.byte();
      f.skip(4);
      c.childCount = static_cast<uint8_t>(f.number());
      f.skip(16);
      c.parentId = f.number();
      if (flags & 0x10) {
        f.skip(1);
        c.stripeSectors = static_cast<uint16_t>(f.number());
      }
      if (!f.ok()) return RecordKind::kNotUsed;
      db.components.push_back(std::move(c));
      return RecordKind::kComponent;
    }
    case 0x33: {
      Partition p;
      p.id = f.number();
      p.name = f.text(256);
      f.skip(12);
      p.start = f.be64();
      p.volumeOffset = f.be64();
      p.size = f.number();
      p.parentId = f.number();
      p.diskId = f.number();
      if (flags & 0x08) p.column = f.number();
      if (!f.ok()) return RecordKind::kNotUsed;
      db.partitions.push_back(std::move(p));
      return RecordKind::kPartition;
    }
    case 0x34: {
      Disk d;
      d.id = f.number();
      d.name = f.text(8);
      const std::string guid = f.text(64);
      if (!f.ok()) return RecordKind::kNotUsed;
      const auto parsed = ParseGuidText(guid);
      if (!parsed || guid.size() != 36) return RecordKind::kNotUsed;
      d.guid = *parsed;
      // The last device name is optional: a record cut by its block keeps
      // what came before it.
      d.deviceName = f.text(128);
      if (!f.ok()) d.deviceName.clear();
      db.disks.push_back(std::move(d));
      return RecordKind::kDisk;
    }
    case 0x35: {
      DiskGroup g;
      g.id = f.number();
      g.name = f.text(256);
      g.guidText = f.text(64);
      if (!f.ok()) return RecordKind::kNotUsed;
      db.groups.push_back(std::move(g));
      return RecordKind::kDiskGroup;
    }
    case 0x51: {
      Volume vol;
      vol.id = f.number();
      vol.name = f.text(16);
      f.text(256);  // volume type ("gen", "raid5")
      const uint64_t second = f.at();
      f.text(256);
      const auto kept = v.sub(second, vol.typeBytes.size());
      std::copy(kept.begin(), kept.end(), vol.typeBytes.begin());
      f.skip(21);
      f.number();  // children
      f.skip(16);
      vol.size = f.number();
      f.skip(4);
      vol.partitionType = f.byte();
      const auto guid = f.bytes(16);
      std::copy(guid.begin(), guid.end(), vol.volumeGuid.begin());
      if (flags & 0x08) f.text(256);
      if (flags & 0x20) f.text(256);
      if (flags & 0x80) f.number();
      if (flags & 0x02) vol.driveHint = f.text(4);
      if (!f.ok()) return RecordKind::kNotUsed;
      db.volumes.push_back(std::move(vol));
      return RecordKind::kVolume;
    }
    case 0x44:
    case 0x45:
      return RecordKind::kIgnored;
    default:
      return RecordKind::kNotUsed;
  }
}

std::optional<Database> ParseDatabase(std::span<const uint8_t> fromVmdb) {
  const auto header = ParseVmdb(fromVmdb.first(std::min<size_t>(fromVmdb.size(), SectorSize)));
  if (!header) return std::nullopt;
  Database db;
  const uint64_t size = fromVmdb.size();
  uint64_t at = header->firstBlockOffset;
  // Blocks before the first one (the header's own) count in the sequence.
  uint64_t block = header->firstBlockOffset / header->blockSize;
  for (; at < size && size - at >= header->blockSize && block <= header->sequence; at += header->blockSize, ++block)
    ParseRecord(fromVmdb.subspan(static_cast<size_t>(at), header->blockSize), db);
  return db;
}

std::vector<PartitionInfo> BuildVolumes(const Database& db) {
  std::map<uint64_t, const Disk*> disks;
  for (const Disk& d : db.disks) disks.emplace(d.id, &d);
  std::vector<PartitionInfo> out;
  for (const Volume& vol : db.volumes) {
    std::vector<const Component*> copies;
    for (const Component& c : db.components)
      if (c.parentId == vol.id) copies.push_back(&c);
    if (copies.empty()) continue;
    PartitionInfo p;
    p.name = vol.name;
    p.driveLetter = vol.driveHint;
    p.sectorCount = vol.size;
    p.typeByte = vol.partitionType;
    p.startSector = 0;
    const Component& first = *copies.front();
    if (first.layout < 1 || first.layout > 3) continue;
    p.volumeKind = copies.size() > 1 ? VolumeKind::kMirrored : static_cast<VolumeKind>(first.layout);
    p.stripeSectors = first.stripeSectors;
    for (const Component* c : copies) {
      std::vector<const Partition*> parts;
      for (const Partition& part : db.partitions)
        if (part.parentId == c->id) parts.push_back(&part);
      // Database order is usually volume order, but a spanned volume's
      // extents are placed by their offset and a stripe set's by column.
      std::stable_sort(parts.begin(), parts.end(), [](const Partition* a, const Partition* b) {
        return a->volumeOffset != b->volumeOffset ? a->volumeOffset < b->volumeOffset : a->column < b->column;
      });
      for (const Partition* part : parts) {
        VolumeMember m;
        if (const auto it = disks.find(part->diskId); it != disks.end()) m.diskGuid = it->second->guid;
        m.startSector = part->start;
        m.sectorCount = part->size;
        p.members.push_back(std::move(m));
      }
    }
    out.push_back(std::move(p));
  }
  return out;
}

void AttachMember(DiskInfo& group, const Guid& disk, const std::string& devicePath, uint64_t logicalDiskStart) {
  for (PartitionInfo& p : group.partitions) {
    for (VolumeMember& m : p.members) {
      if (m.diskGuid != disk || !m.devicePath.empty()) continue;
      m.devicePath = devicePath;
      m.startSector += logicalDiskStart;
    }
  }
}

std::string ReadDynamicDisk(platform::SectorSource& source, DiskInfo& disk, const std::string& devicePath,
                            DiskInfoList& groups) {
  bool complete = false;
  const uint64_t headSector = PrivHeadSector(source);
  if (headSector == 0) return "no PRIVHEAD";
  const PrivHeadResult primary = ParsePrivHead(ReadRun(source, headSector, 1, complete));
  if (primary.status != PrivHeadStatus::kOk) return primary.message;
  const PrivHead& h = primary.head;
  if (h.configSize < 192 || h.configSize > kConfigLimitSectors) return "configuration size out of range";
  const uint64_t end = h.configStart + h.configSize;
  const PrivHeadResult last = ParsePrivHead(ReadRun(source, end - 1, 1, complete));
  if (last.status != PrivHeadStatus::kOk) return "last PRIVHEAD copy: " + last.message;
  const PrivHeadResult second = ParsePrivHead(ReadRun(source, end - 192, 1, complete));
  if (second.status != PrivHeadStatus::kOk) return "second PRIVHEAD copy: " + second.message;
  const PrivHead& s = second.head;
  if (s.versionMajor != h.versionMajor || s.versionMinor != h.versionMinor ||
      s.logicalDiskStart != h.logicalDiskStart || s.logicalDiskSize != h.logicalDiskSize ||
      s.configStart != h.configStart || s.configSize != h.configSize || s.diskGuid != h.diskGuid)
    return "PRIVHEAD copies disagree";

  // The database runs from its header to the configuration's end.
  const uint64_t vmdbSector = h.configStart + kVmdbSectorOffset;
  const auto config = ReadRun(source, vmdbSector, end - vmdbSector, complete);
  if (!complete) return "the configuration could not be read";
  if (!ParseVmdb(std::span(config).first(SectorSize))) return "no VMDB 4.10 database header";

  const std::string groupId = GuidDecimal(h.groupGuid);
  auto existing = std::find_if(groups.begin(), groups.end(), [&](const DiskInfo& g) {
    return g.diskKind == DiskKind::kDynamicGroup && g.groupId == groupId;
  });
  if (existing == groups.end()) {
    const auto db = ParseDatabase(config);
    if (!db) return "the database could not be read";
    DiskInfo group;
    group.diskKind = DiskKind::kDynamicGroup;
    group.devicePath = h.groupName;
    group.index = h.groupName;
    group.groupId = groupId;
    for (PartitionInfo& p : BuildVolumes(*db)) group.partitions.push_back(std::move(p));
    groups.push_back(std::move(group));
    existing = std::prev(groups.end());
  }
  AttachMember(*existing, h.diskGuid, devicePath, h.logicalDiskStart);
  disk.memberId = GuidDecimal(h.diskGuid);
  disk.groupId = groupId;
  return {};
}

GroupListScope::GroupListScope(DiskInfoList& list) : previous_(gGroupTarget) { gGroupTarget = &list; }
GroupListScope::~GroupListScope() { gGroupTarget = previous_; }
DiskInfoList& CurrentGroupList() { return gGroupTarget ? *gGroupTarget : DiskList(); }

}  // namespace orvaldi::disk::ldm
