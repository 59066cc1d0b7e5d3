// Partition tables: MBR with extended chains, GPT, Apple partition map, whole-disk volumes, regions.
#include "disk/partition_table.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <vector>

#include "disk/bytes.h"
#include "disk/fat_layout.h"
#include "disk/gpt_layout.h"
#include "disk/ldm.h"
#include "disk/lvm_label.h"
#include "disk/mbr_entries.h"
#include "disk/ntfs_layout.h"
#include "disk/recognisers.h"
#include "disk/sector_io.h"
#include "disk/volume_label.h"
#include "platform/text.h"

namespace orvaldi::disk {
namespace {

using platform::SectorSource;

constexpr uint32_t kGptMaxEntries = 128;
constexpr uint32_t kGptMinEntrySize = 128;  // the fields of gpt::Entry end at byte 128
constexpr uint32_t kGptMaxEntrySize = 4096;
constexpr uint32_t kApmMaxEntries = 1024;
// Far more logical partitions than any real chain holds; a longer walk is a loop.
constexpr size_t kMaxEbrs = 1024;
constexpr uint64_t kExfatVolumeLengthAt = 0x48;  // 64-bit volume length in sectors

std::vector<uint8_t> Read(SectorSource& source, uint64_t sector, uint32_t count) {
  std::vector<uint8_t> buf(uint64_t{count} * SectorSize);
  ReadSectors(source, sector, count, buf.data());
  return buf;
}

// Reads `length` bytes at byte `offset`, zero-filled where the source ends.
std::vector<uint8_t> ReadBytesAt(SectorSource& source, uint64_t offset, size_t length) {
  std::vector<uint8_t> buf(length);
  source.readAt(offset, buf);
  return buf;
}

std::string PartitionName(uint32_t counter) { return "Partition" + std::to_string(counter); }

// 512-byte sectors per sector of the disk's tables: MBR, EBR and GPT count in
// the disk's logical sectors, records in 512-byte ones.
uint64_t TableScale(const DiskInfo& disk) {
  const uint32_t k = SectorsPerLogical(disk.bytesPerSector);
  return k != 0 ? k : 1;
}

// The bytes per sector a recognised boot sector gives (exFAT: as a power of
// two); 0 when it is no FAT, NTFS or exFAT boot sector or gives none of the
// logical sector sizes.
uint32_t BootBytesPerSector(std::span<const uint8_t> boot) {
  const ByteView b(boot);
  if (IsExfatBootSector(boot)) {
    const uint8_t shift = b.u8(0x6C);
    return shift >= 9 && shift <= 12 ? 1u << shift : 0;
  }
  if (IsFat16BootSector(boot) || IsFat32BootSector(boot) || IsNtfsBootSectorAnyHidden(boot)) return b.le16(0x0B);
  return 0;
}

// A whole-disk volume's 512-byte sectors from its boot sector's own count.
uint64_t ScaledByBoot(std::span<const uint8_t> boot, uint64_t count) {
  const uint32_t bytes = BootBytesPerSector(boot);
  const uint64_t k = bytes >= SectorSize ? bytes / SectorSize : 1;
  return count <= UINT64_MAX / k ? count * k : 0;
}

bool IsExtendedType(uint8_t type) { return type == 0x05 || type == 0x0F; }

// The exFAT and EXT refinements of a table entry, then its label.
void RefineAndLabel(SectorSource& source, PartitionInfo& p) {
  if (p.typeByte == type_code::kNtfs) {
    const auto boot = Read(source, p.startSector, 1);
    if (IsExfatBootSector(boot)) p.typeByte = type_code::kExfat;
  }
  if (p.typeByte == type_code::kLinux) {
    const auto super = Read(source, p.startSector + 2, 2);
    if (!IsExtSuperblock(super)) return;  // not EXT: no label to read either
    p.fsLabel = ExtGeneration(super);
  }
  p.volumeLabel = ReadVolumeLabel(source, p.startSector, p.typeByte);
}

// Sector 0 is itself a volume boot sector: jump code that is not one of the
// common boot loaders' (EB 48 90, EB 63 90), or a near jump with 512 bytes per sector.
bool LooksLikeVolumeBootSector(const ByteView& s) {
  if (s.u8(0) == 0xEB && s.u8(2) == 0x90 && s.u8(1) != 0x48 && s.u8(1) != 0x63) return true;
  return s.u8(0) == 0xE9 && s.u8(0x0B) == 0 && s.u8(0x0C) == 2;
}

// The MBR-style code partition records carry for a recognised boot sector; 0 for none.
uint8_t TypeByteOf(BootSectorKind kind) {
  switch (kind) {
    case BootSectorKind::kNtfs:
      return type_code::kNtfs;
    case BootSectorKind::kFat32:
      return type_code::kFat32;
    case BootSectorKind::kFat16:
      return type_code::kFat16;
    case BootSectorKind::kExfat:
      return type_code::kExfat;
    case BootSectorKind::kNone:
      break;
  }
  return 0;
}

void AddWholeDiskVolume(SectorSource& source, DiskInfo& disk, const ByteView& s) {
  PartitionInfo p;
  p.name = PartitionName(0);
  // A volume made on a whole disk or a file (a partitionless stick, mkntfs on
  // an image) has nothing before it, so it records 0 hidden sectors.
  const BootSectorKind kind = ClassifyBootSector(s.sub(0, SectorSize), 0);
  p.typeByte = TypeByteOf(kind);
  const fat::BootSector fat(s);
  switch (kind) {
    case BootSectorKind::kNtfs:
      p.sectorCount = NtfsVolumeSectors(s.sub(0, SectorSize));
      break;
    case BootSectorKind::kFat32:
      p.sectorCount = ScaledByBoot(s.sub(0, SectorSize), fat.totalSectors32());
      break;
    case BootSectorKind::kFat16:
      p.sectorCount =
          ScaledByBoot(s.sub(0, SectorSize), fat.totalSectors32() != 0 ? fat.totalSectors32() : fat.totalSectors16());
      break;
    case BootSectorKind::kExfat:
      p.sectorCount = ScaledByBoot(s.sub(0, SectorSize), s.le64(kExfatVolumeLengthAt));
      break;
    case BootSectorKind::kNone:
      break;
  }
  p.volumeLabel = ReadVolumeLabel(source, 0, p.typeByte);
  disk.partitions.push_back(std::move(p));
}

void AddWholeDiskExt(DiskInfo& disk, std::span<const uint8_t> super) {
  PartitionInfo p;
  p.name = PartitionName(0);
  p.typeByte = type_code::kLinux;
  p.fsLabel = ExtGeneration(super);
  p.sectorCount = ExtVolumeSectors(super, SectorSize);
  const ByteView s(super);
  const auto name = s.sub(0x78, 16);
  p.volumeLabel = platform::SanitizeUtf8(
      {reinterpret_cast<const char*>(name.data()), strnlen(reinterpret_cast<const char*>(name.data()), 16)});
  disk.partitions.push_back(std::move(p));
}

// HFS-family fields of a record from the volume header 1,024 bytes into it.
void ApplyHfsHeader(PartitionInfo& p, std::span<const uint8_t> header, HfsKind kind, const std::string& devicePath) {
  p.typeByte = type_code::kHfs;
  p.sourcePath = devicePath;
  p.hfsKind = kind;
  p.volumeLabel = HfsVolumeLabel(header, kind);
}

void AddBareHfs(DiskInfo& disk, std::span<const uint8_t> header, const std::string& devicePath) {
  const ByteView h(header);
  PartitionInfo p;
  if (h.matches(0, "BD")) {
    const HfsKind kind = h.matches(0x7C, "H+") ? HfsKind::kHfsPlusInHfs : HfsKind::kHfs;
    ApplyHfsHeader(p, header, kind, devicePath);
    p.fsTypeText = HfsKindText(kind);
  } else if (h.matches(0, "H+")) {
    ApplyHfsHeader(p, header, HfsKind::kHfsPlus, devicePath);
    p.fsTypeText = HfsKindText(HfsKind::kHfsPlus);
  } else {
    return;
  }
  p.name = PartitionName(0);
  p.sectorCount = static_cast<uint64_t>(disk.sizeBytes) / SectorSize;
  disk.partitions.push_back(std::move(p));
}

std::string FixedText(std::span<const uint8_t> field) {
  return std::string(reinterpret_cast<const char*>(field.data()),
                     strnlen(reinterpret_cast<const char*>(field.data()), field.size()));
}

void ReadAppleMap(SectorSource& source, DiskInfo& disk, const ByteView& ddm, const std::string& devicePath,
                  uint32_t& counter) {
  const uint32_t blockSize = ddm.be16(2);
  // Block sizes are powers of two from 512 on; anything else is not a map we can trust.
  if (blockSize < 512 || blockSize > 32768 || (blockSize & (blockSize - 1)) != 0) return;
  disk.bytesPerSector = blockSize;
  // The descriptor counts blocks; the disk's size is kept in bytes everywhere.
  disk.sizeBytes = static_cast<int64_t>(uint64_t{ddm.be32(4)} * blockSize);

  const auto first = ReadBytesAt(source, blockSize, blockSize);
  const ByteView entry0(first);
  if (!entry0.matches(0, "PM")) return;
  disk.mapEntryCount = entry0.be32(4);
  uint32_t entries = std::min(disk.mapEntryCount, kApmMaxEntries);
  const uint64_t mapStart = uint64_t{entry0.be32(8)} * blockSize;
  // Entries past the source's end read as zeros and name nothing: the map is
  // read only as far as the source holds it.
  if (const uint64_t held = source.size(); held != 0)
    entries = static_cast<uint32_t>(
        std::min<uint64_t>(entries, mapStart >= held ? 0 : (held - mapStart + blockSize - 1) / blockSize));
  const auto map = ReadBytesAt(source, mapStart, size_t{entries} * blockSize);
  const ByteView m(map);
  const uint64_t sectorsPerBlock = blockSize / SectorSize;

  for (uint32_t i = 0; i < entries; ++i) {
    const uint64_t at = uint64_t{i} * blockSize;
    PartitionInfo p;
    p.name = platform::DecodeCharset(FixedText(m.sub(at + 0x10, 32)), "MACINTOSH");
    if (p.name.empty()) continue;
    p.fsTypeText = FixedText(m.sub(at + 0x30, 32));
    if (p.fsTypeText != "Apple_HFS" && p.fsTypeText != "Apple_HFSX" && p.fsTypeText != "Apple_HFS+") continue;
    // Positions are in map blocks; records address 512-byte sectors.
    p.startSector = m.be32(at + 8) * sectorsPerBlock;
    p.sectorCount = m.be32(at + 0x0C) * sectorsPerBlock;
    const auto header = ReadBytesAt(source, p.startSector * SectorSize + 1024, SectorSize);
    const HfsKind kind = HfsSignatureKind(header);
    p.hfsKind = kind;
    p.volumeLabel = HfsVolumeLabel(header, kind);
    if (kind == HfsKind::kHfsPlus || kind == HfsKind::kHfsPlusInHfs) p.fsTypeText = "Apple_HFS+";
    if (kind != HfsKind::kNone) p.name = PartitionName(counter);
    p.typeByte = type_code::kHfs;
    p.sourcePath = devicePath;
    disk.partitions.push_back(std::move(p));
    ++counter;
  }
}

// The CRC-32 (reflected, polynomial 0xEDB88320) that a GPT header and its
// entry array carry.
uint32_t Crc32(std::span<const uint8_t> bytes) {
  static const auto kTable = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  uint32_t crc = 0xFFFFFFFFu;
  for (const uint8_t b : bytes) crc = kTable[(crc ^ b) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

// A GPT name: UTF-16 up to the first 0x0000 unit, or the first 0xFFFF unit
// (never a character; some tools fill an unnamed entry with 0xFF bytes).
std::string GptName(std::span<const uint8_t> field) {
  size_t units = 0;
  while (2 * units + 1 < field.size()) {
    const uint16_t u = static_cast<uint16_t>(field[2 * units] | (field[2 * units + 1] << 8));
    if (u == 0x0000 || u == 0xFFFF) break;
    ++units;
  }
  return platform::Utf16LeToUtf8(field.first(2 * units));
}

struct GptEntry {
  std::array<uint8_t, 16> type{};
  uint64_t firstLba = 0;
  uint64_t lastLba = 0;
  std::string name;
};

struct GptTable {
  bool stop = false;  // the header asks for more entries than a GPT holds: read the disk no further
  std::vector<GptEntry> entries;
};

// Reads the header at `headerSector` and its entries up to the first unused
// one. Checksums that do not match are noted on the disk; the table is read all the same.
GptTable ReadGptEntries(SectorSource& source, DiskInfo& disk, uint64_t headerSector) {
  GptTable table;
  const uint64_t lbaBytes = TableScale(disk) * SectorSize;
  const uint64_t k = TableScale(disk);
  const auto headerBytes = Read(source, headerSector, 1);
  const gpt::Header header{ByteView(headerBytes)};
  const uint64_t entryLba = header.entriesLba();
  const uint32_t count = header.entryCount();
  const uint32_t entrySize = header.entryBytes();
  if (count > kGptMaxEntries) {
    table.stop = true;
    return table;
  }
  if (entrySize < kGptMinEntrySize || entrySize > kGptMaxEntrySize) return table;  // a damaged header
  const uint64_t arrayBytes = uint64_t{count} * entrySize;
  const uint64_t diskBytes = source.size() != 0 ? source.size() : static_cast<uint64_t>(disk.sizeBytes);
  if (entryLba > UINT64_MAX / lbaBytes ||
      (diskBytes != 0 && (entryLba * lbaBytes > diskBytes || arrayBytes > diskBytes - entryLba * lbaBytes)))
    return table;  // the entry array would lie beyond the disk

  // The header's checksum covers its own recorded size with the checksum field zeroed.
  const uint32_t headerSize = header.headerBytes();
  bool headerCrcOk = false;
  if (headerSize >= gpt::kMinHeaderBytes && headerSize <= headerBytes.size()) {
    std::vector<uint8_t> copy(headerBytes.begin(), headerBytes.begin() + headerSize);
    std::fill_n(copy.begin() + gpt::kHeaderCrcAt, gpt::kHeaderCrcBytes, 0);
    headerCrcOk = Crc32(copy) == header.headerCrc();
  }
  const auto array = ReadBytesAt(source, entryLba * lbaBytes, static_cast<size_t>(arrayBytes));
  disk.tableChecks.gptHeaderCrcMismatch = !headerCrcOk;
  disk.tableChecks.gptEntriesCrcMismatch = Crc32(array) != header.entriesCrc();

  for (uint32_t i = 0; i < count; ++i) {
    // entrySize is at least kGptMinEntrySize, so every field lies inside the array.
    const gpt::Entry entry(ByteView(array), uint64_t{i} * entrySize);
    GptEntry e;
    const uint64_t first = entry.firstLba();
    if (first == 0) break;
    const uint64_t last = entry.lastLba();
    // Into 512-byte sectors; the last one is the last of the last logical sector.
    if (first > UINT64_MAX / k || last >= UINT64_MAX / k) continue;
    e.firstLba = first * k;
    e.lastLba = (last + 1) * k - 1;
    std::copy_n(entry.typeGuid().begin(), e.type.size(), e.type.begin());
    e.name = GptName(entry.name());
    table.entries.push_back(std::move(e));
  }
  return table;
}

uint64_t GptSectorCount(const GptEntry& e) { return e.lastLba >= e.firstLba ? e.lastLba - e.firstLba + 1 : 0; }

// Appends the partitions of a GPT read by ReadGptEntries.
void AddGptPartitions(SectorSource& source, DiskInfo& disk, const GptTable& table, const std::string& devicePath,
                      uint32_t& counter) {
  static const auto kBasicData = GuidFromText("EBD0A0A2-B9E5-4433-87C0-68B6B72699C7");
  static const auto kHfsPlus = GuidFromText("48465300-0000-11AA-AA11-00306543ECAC");
  static const auto kEfiSystem = GuidFromText("C12A7328-F81F-11D2-BA4B-00A0C93EC93B");
  static const auto kLinuxData = GuidFromText("0FC63DAF-8483-4772-8E79-3D69D8477DE4");

  for (const GptEntry& e : table.entries) {
    const uint64_t firstLba = e.firstLba;
    PartitionInfo p;
    p.startSector = firstLba;
    p.sectorCount = GptSectorCount(e);
    p.name = e.name;
    const auto& type = e.type;
    if (type == kBasicData || type == kHfsPlus || type == kEfiSystem || type == kLinuxData) {
      const auto head = Read(source, firstLba, 4);
      const auto boot = std::span(head).first(SectorSize);
      const auto super = std::span(head).subspan(2 * SectorSize, 2 * SectorSize);
      const BootSectorKind boots = ClassifyBootSector(boot, firstLba, p.sectorCount);
      const char* suffix = boots == BootSectorKind::kFat32 || boots == BootSectorKind::kFat16 ? "(fat)"
                           : boots == BootSectorKind::kNtfs                                   ? "(NTFS)"
                           : boots == BootSectorKind::kExfat                                  ? "(exFat)"
                                                                                              : nullptr;
      if (suffix) {
        p.typeByte = TypeByteOf(boots);
        p.name += suffix + std::to_string(counter);
        p.volumeLabel = ReadVolumeLabel(source, firstLba, p.typeByte);
      } else if (IsExtSuperblock(super)) {
        p.name += PartitionName(counter);
        p.typeByte = type_code::kLinux;
        p.fsLabel = ExtGeneration(super);
        p.sectorCount = ExtVolumeSectors(super, SectorSize);
        p.volumeLabel = ReadVolumeLabel(source, firstLba, type_code::kLinux);
      } else if (const HfsKind kind = HfsSignatureKind(super); kind != HfsKind::kNone) {
        p.typeByte = type_code::kHfs;
        if (kind != HfsKind::kHfsx) {
          ApplyHfsHeader(p, super, kind, devicePath);
          p.fsTypeText = HfsKindText(kind);
        }
      }
    }
    disk.partitions.push_back(std::move(p));
    ++counter;
  }
}

// Walks one extended boot record and, depth-first, the records it links to.
void WalkEbr(SectorSource& source, DiskInfo& disk, uint32_t ebrSector, uint32_t extendedStart,
             std::set<uint32_t>& visited, uint32_t& counter) {
  if (visited.size() >= kMaxEbrs || !visited.insert(ebrSector).second) return;  // a loop or an absurd chain
  const uint64_t k = TableScale(disk);
  const auto sector = Read(source, ebrSector * k, 1);
  const ByteView s(sector);
  if (!HasMbrSignature(s)) return;
  for (int i = 0; i < kMbrEntries; ++i) {
    const MbrEntry e = MbrEntryAt(s, i);
    const uint8_t type = e.typeByte;
    const uint32_t first = e.startSector;
    const uint32_t count = e.sectorCount;
    if (type == 0 || count == 0) continue;
    if (IsExtendedType(type)) {
      WalkEbr(source, disk, first + extendedStart, extendedStart, visited, counter);  // 32-bit, as the table is
      continue;
    }
    PartitionInfo p;
    p.name = PartitionName(counter);
    p.startSector = uint64_t{static_cast<uint32_t>(ebrSector + first)} * k;
    p.sectorCount = uint64_t{count} * k;
    p.typeByte = type;
    p.tableKind = TableKind::kLogical;
    RefineAndLabel(source, p);
    disk.partitions.push_back(std::move(p));
    ++counter;
  }
}

}  // namespace

std::array<uint8_t, 16> GuidFromText(const char* text) {
  std::array<uint8_t, 16> bytes{};
  uint8_t raw[16] = {};
  size_t n = 0;
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (const char* p = text; *p && n < 16; ++p) {
    if (*p == '-') continue;
    const int hi = hex(p[0]);
    const int lo = p[1] ? hex(p[1]) : -1;
    if (hi < 0 || lo < 0) return {};
    raw[n++] = static_cast<uint8_t>(hi * 16 + lo);
    ++p;
  }
  if (n != 16) return {};
  // The first three groups are stored little-endian, the last two as written.
  const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  for (int i = 0; i < 16; ++i) bytes[i] = raw[order[i]];
  return bytes;
}

namespace {

// A disk without an MBR signature: an LVM physical volume, an EXT volume,
// an Apple partition map, or a bare HFS volume.
void EnumerateWithoutMbr(SectorSource& source, DiskInfo& disk, const ByteView& s, const std::string& devicePath) {
  const auto sector1 = s.sub(SectorSize, SectorSize);
  if (ReadLvmLabel(source, disk, sector1, devicePath) == 0) return;
  // The superblock lies 1,024 bytes into the volume whatever the sector size.
  const uint64_t superAt = 1024;
  const auto super = ReadBytesAt(source, superAt, 1024);
  uint32_t counter = 0;
  if (IsExtSuperblock(super)) {
    AddWholeDiskExt(disk, super);
  } else if (s.matches(0, "ER")) {
    ReadAppleMap(source, disk, s, devicePath, counter);
  } else {
    AddBareHfs(disk, std::span(super).first(SectorSize), devicePath);
  }
}

// The MBR slot of the GPT's protective entry (-1 when there is none) and the
// GPT it leads to. A protective entry covers the whole disk, or 0xFFFFFFFF
// sectors on disks past 2 TiB; on smaller disks the header's signature tells.
// The main header gone (no signature where the protective entry points), the
// backup in the disk's last logical sector stands in for it.
int FindGpt(SectorSource& source, DiskInfo& disk, const ByteView& s, GptTable& gpt) {
  const uint64_t k = TableScale(disk);
  const uint64_t diskBytes = source.size() != 0 ? source.size() : static_cast<uint64_t>(disk.sizeBytes);
  const uint64_t lastLogical = diskBytes / (k * SectorSize);
  for (int i = 0; i < kMbrEntries; ++i) {
    const MbrEntry e = MbrEntryAt(s, i);
    if (e.typeByte != 0xEE || e.sectorCount == 0) continue;
    const uint64_t first = uint64_t{e.startSector} * k;
    const bool mainSigned = gpt::Header(ByteView(Read(source, first, 1))).hasSignature();
    if (!mainSigned && lastLogical > 1) {
      const uint64_t backup = (lastLogical - 1) * k;
      const auto backupBytes = Read(source, backup, 1);
      const gpt::Header header{ByteView(backupBytes)};
      if (header.hasSignature() && header.myLba() == lastLogical - 1) {
        gpt = ReadGptEntries(source, disk, backup);
        disk.tableChecks.gptBackupHeaderUsed = true;
        return i;
      }
    }
    if (e.sectorCount >= 0xFFFFFFF8u || mainSigned) {
      gpt = ReadGptEntries(source, disk, first);
      return i;
    }
  }
  return -1;
}

}  // namespace

namespace {

// Whether what an MBR entry points at, counted in sectors of `bytes`, looks
// like what the entry says: a boot record for an extended entry, else a boot
// sector of that sector size or an EXT superblock. At 512 bytes any
// recognised boot sector counts (a volume's own sectors may be larger than
// the disk's).
bool EntryFitsSectorSize(SectorSource& source, const MbrEntry& e, uint32_t bytes) {
  const uint64_t at = uint64_t{e.startSector} * bytes;
  const auto head = ReadBytesAt(source, at, 2048);
  const auto boot = std::span(head).first(SectorSize);
  if (IsExtendedType(e.typeByte)) return HasMbrSignature(ByteView(boot));
  const uint32_t bootBytes = BootBytesPerSector(boot);
  if (bootBytes != 0 && (bytes == SectorSize || bootBytes == bytes)) return true;
  return IsExtSuperblock(std::span(head).subspan(1024, 1024)) != 0;
}

}  // namespace

uint32_t DetectSectorSize(SectorSource& source) {
  constexpr uint32_t kLarger[] = {4096, 2048, 1024};
  const auto head = ReadBytesAt(source, 0, 4096 + SectorSize);
  const ByteView s(head);
  if (gpt::Header(ByteView(s.sub(SectorSize, SectorSize))).hasSignature()) return SectorSize;
  for (const uint32_t bytes : kLarger)
    if (gpt::Header(ByteView(s.sub(bytes, SectorSize))).hasSignature()) return bytes;
  if (!HasMbrSignature(s)) return SectorSize;
  // The main header lost, a protective entry still leads to the backup
  // header in the disk's last logical sector, which names its own position.
  const uint64_t size = source.size();
  for (int i = 0; i < kMbrEntries; ++i) {
    if (MbrEntryAt(s, i).typeByte != 0xEE) continue;
    for (const uint32_t bytes : {SectorSize, kLarger[0], kLarger[1], kLarger[2]}) {
      if (size < 2ull * bytes) continue;
      const auto last = ReadBytesAt(source, size / bytes * bytes - bytes, SectorSize);
      const gpt::Header backup{ByteView(last)};
      if (backup.hasSignature() && backup.myLba() == size / bytes - 1) return bytes;
    }
  }
  if (LooksLikeVolumeBootSector(s)) {
    const uint32_t bytes = BootBytesPerSector(s.sub(0, SectorSize));
    return bytes != 0 ? bytes : SectorSize;
  }
  std::vector<MbrEntry> entries;
  for (int i = 0; i < kMbrEntries; ++i) {
    const MbrEntry e = MbrEntryAt(s, i);
    if (e.typeByte != 0 && e.sectorCount != 0 && e.typeByte != 0xEE) entries.push_back(e);
  }
  auto fits = [&](uint32_t bytes) {
    return std::any_of(entries.begin(), entries.end(),
                       [&](const MbrEntry& e) { return EntryFitsSectorSize(source, e, bytes); });
  };
  if (entries.empty() || fits(SectorSize)) return SectorSize;
  for (const uint32_t bytes : kLarger)
    if (fits(bytes)) return bytes;
  return SectorSize;
}

namespace {

// An MBR entry begins below sector 2^32 and spans fewer than 2^32 sectors
// (of the table's unit): on a larger disk the table cannot describe what
// lies beyond both, and the operator should know that part is unlisted.
void NoteMbrReach(const SectorSource& source, DiskInfo& disk, size_t firstEntry) {
  const uint64_t diskSectors = source.size() / SectorSize;
  uint64_t reach = (uint64_t{1} << 32) * TableScale(disk);
  for (size_t i = firstEntry; i < disk.partitions.size(); ++i) {
    const PartitionInfo& p = disk.partitions[i];
    if (p.sectorCount <= UINT64_MAX - p.startSector) reach = std::max(reach, p.startSector + p.sectorCount);
  }
  if (diskSectors > reach) disk.tableChecks.mbrReachEnd = reach;
}

void ReadTables(SectorSource& source, DiskInfo& disk, const std::string& devicePath) {
  const auto head = Read(source, 0, 4);
  const ByteView s(head);
  if (!HasMbrSignature(s)) {
    EnumerateWithoutMbr(source, disk, s, devicePath);
    return;
  }
  if (LooksLikeVolumeBootSector(s)) {
    AddWholeDiskVolume(source, disk, s);
    return;
  }
  GptTable gpt;
  const int gptSlot = FindGpt(source, disk, s, gpt);
  const size_t before = disk.partitions.size();
  uint32_t counter = 0;
  // A hybrid MBR repeats some GPT partitions for systems that read only the
  // MBR: such an entry is the GPT's partition, listed once, from the GPT.
  const uint64_t k = TableScale(disk);
  auto inGpt = [&](uint32_t first, uint32_t count) {
    return std::any_of(gpt.entries.begin(), gpt.entries.end(),
                       [&](const GptEntry& e) { return e.firstLba == first * k && GptSectorCount(e) == count * k; });
  };

  // First pass: primaries, a GPT, dynamic disks. Extended entries wait.
  const int usableEntries = gptSlot >= 0 ? gptSlot : kMbrEntries;  // no MBR entry after the GPT's is used
  for (int i = 0; i < usableEntries; ++i) {
    const MbrEntry e = MbrEntryAt(s, i);
    const uint8_t type = e.typeByte;
    const uint32_t first = e.startSector;
    const uint32_t count = e.sectorCount;
    if (type == 0 || count == 0 || IsExtendedType(type)) continue;
    if (type == 0x42) {
      ldm::ReadDynamicDisk(source, disk, devicePath, ldm::CurrentGroupList());
      continue;
    }
    if (inGpt(first, count)) continue;
    PartitionInfo p;
    p.name = PartitionName(counter);
    p.startSector = uint64_t{first} * k;
    p.sectorCount = uint64_t{count} * k;
    p.typeByte = type;
    RefineAndLabel(source, p);
    disk.partitions.push_back(std::move(p));
    ++counter;
  }
  if (gptSlot >= 0) {
    if (gpt.stop) return;
    AddGptPartitions(source, disk, gpt, devicePath, counter);
    // On a GPT a dynamic disk's database lives in its LDM metadata partition.
    static const auto kLdmMetadata = GuidFromText("5808C8AA-7E8F-42E0-85D2-E1E90434CFB3");
    if (std::any_of(gpt.entries.begin(), gpt.entries.end(), [](const GptEntry& e) { return e.type == kLdmMetadata; }))
      ldm::ReadDynamicDisk(source, disk, devicePath, ldm::CurrentGroupList());
  }

  // Second pass: extended partitions, each chain walked depth-first.
  for (int i = 0; i < usableEntries; ++i) {
    const MbrEntry e = MbrEntryAt(s, i);
    if (!IsExtendedType(e.typeByte) || e.sectorCount == 0) continue;
    std::set<uint32_t> visited;
    WalkEbr(source, disk, e.startSector, e.startSector, visited, counter);
  }
  if (gptSlot < 0) NoteMbrReach(source, disk, before);
}

}  // namespace

void EnumeratePartitions(SectorSource& source, DiskInfo& disk, const std::string& devicePath) {
  const size_t before = disk.partitions.size();
  ReadTables(source, disk, devicePath);
  // Each partition knows the sectors its disk's tables counted in (its own
  // positions are in 512-byte sectors all the same).
  if (IsLogicalSectorSize(disk.bytesPerSector))
    for (size_t i = before; i < disk.partitions.size(); ++i) disk.partitions[i].bytesPerSector = disk.bytesPerSector;
}

void CreateRegion(uint64_t startSector, uint64_t endSector, DiskInfo& disk, SectorSource& source) {
  int number = 0;
  if (!disk.partitions.empty()) {
    const std::string& last = disk.partitions.back().name;
    if (last.compare(0, 6, "Region") == 0) {
      // "Region N on ..." : the number up to the next space.
      const size_t from = last.size() > 7 ? 7 : last.size();
      number = std::atoi(last.substr(from, last.find(' ', from) - from).c_str()) + 1;
    }
  }
  PartitionInfo p;
  p.name = "Region " + std::to_string(number) + " on " + DisplayName(disk);
  p.startSector = startSector;
  p.sectorCount = endSector > startSector ? endSector - startSector : 0;
  // A region's first sector is classified as that of a table entry of its
  // size, but a region is only ever NTFS, FAT32, FAT16 or of no known type.
  const BootSectorKind kind = ClassifyBootSector(Read(source, startSector, 1), startSector, p.sectorCount);
  p.typeByte = kind == BootSectorKind::kExfat ? 0 : TypeByteOf(kind);
  disk.partitions.push_back(std::move(p));
}

bool CreateRegion(uint64_t startSector, uint64_t endSector, DiskInfo& disk) {
  auto source = OpenSource(disk);
  if (!source) return false;
  CreateRegion(startSector, endSector, disk, *source);
  return true;
}

}  // namespace orvaldi::disk
