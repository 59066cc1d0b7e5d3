// Volume labels of FAT, NTFS, EXT, exFAT and HFS-family volumes.
#include "disk/volume_label.h"

#include <vector>

#include "disk/bytes.h"
#include "disk/fat_geometry.h"
#include "disk/fat_layout.h"
#include "disk/fs_family.h"
#include "disk/ntfs_layout.h"
#include "disk/recognisers.h"
#include "disk/sector_io.h"
#include "platform/text.h"

namespace orvaldi::disk {
namespace {

using platform::SectorSource;

std::vector<uint8_t> ReadBytes(SectorSource& source, uint64_t sector, uint32_t sectors) {
  std::vector<uint8_t> buf(uint64_t{sectors} * SectorSize);
  ReadSectors(source, sector, sectors, buf.data());
  return buf;
}

std::string TrimPadding(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  return s;
}

// Walks 32-byte FAT directory entries up to the first all-zero one and
// returns the first volume-label entry (attribute 0x08, or 0x28 with the
// archive bit) as its 11 name bytes in the OEM code page.
std::string FatLabelFromDirectory(const std::vector<uint8_t>& dir) {
  const ByteView d(dir);
  for (uint64_t at = 0; d.contains(at, fat::kEntryBytes); at += fat::kEntryBytes) {
    if (d.allZero(at, 16)) break;
    const fat::DirEntry e(d.sub(at, fat::kEntryBytes));
    if ((e.attributes() & ~0x20) == fat::attr::kVolumeLabel) {
      const auto name = e.name();
      return TrimPadding(platform::OemToUtf8({reinterpret_cast<const char*>(name.data()), name.size()}));
    }
  }
  return {};
}

std::string Fat32Label(SectorSource& source, uint64_t start, const ByteView& boot) {
  const auto geometry = FatGeometry::FromBootSector({boot.data(), boot.size()}, true, {start, 0, 0});
  if (!geometry) return {};
  return FatLabelFromDirectory(ReadBytes(source, geometry->clusterSector(geometry->rootCluster), 1));
}

std::string Fat16Label(SectorSource& source, uint64_t start, const ByteView& boot) {
  const auto geometry = FatGeometry::FromBootSector({boot.data(), boot.size()}, false, {start, 0, 0});
  if (!geometry || geometry->rootSectors == 0) return {};
  std::vector<uint8_t> dir = ReadBytes(source, geometry->rootStart(), geometry->rootSectors);
  dir.resize(uint64_t{geometry->rootEntries} * fat::kEntryBytes);
  return FatLabelFromDirectory(dir);
}

std::string NtfsLabel(SectorSource& source, uint64_t start, const ByteView& bootBytes) {
  const ntfs::BootSector boot(bootBytes);
  const uint32_t spc = NtfsClusterSectors({bootBytes.data(), bootBytes.size()});
  const uint32_t recordBytes = NtfsRecordBytes(boot.clustersPerRecordCode(), spc);
  if (spc == 0 || recordBytes == 0 || recordBytes % SectorSize != 0) return {};
  const uint64_t mftCluster = boot.mftCluster();
  if (mftCluster > UINT64_MAX / spc) return {};
  // Record 3 is the volume file; with 1,024-byte records it sits 6 sectors in.
  const uint64_t recordSector = start + mftCluster * spc + 3ull * recordBytes / SectorSize;
  std::vector<uint8_t> record = ReadBytes(source, recordSector, recordBytes / SectorSize);
  if (!CheckUpdateSequence(record)) return {};
  const ByteView r(record);
  uint64_t at = ntfs::RecordHeader(r).firstAttributeOffset();
  while (r.contains(at, 8)) {
    const ntfs::AttributeHeader a(r, at);
    if (a.type() == ntfs::attr::kEnd) break;
    const uint32_t length = a.length();
    if (length < 8 || !r.contains(at, length)) break;  // a broken chain ends the walk
    if (a.type() == ntfs::attr::kVolumeName && !a.nonResident()) {
      const uint32_t valueLength = a.valueLength();
      if (valueLength != 0) {
        const uint64_t valueOffset = at + a.valueOffset();
        if (!r.contains(valueOffset, valueLength)) return {};
        return platform::Utf16LeToUtf8(r.sub(valueOffset, valueLength));
      }
    }
    at += length;
  }
  return {};
}

std::string ExtLabel(SectorSource& source, uint64_t start) {
  const std::vector<uint8_t> sb = ReadBytes(source, start + 2, 2);
  const ByteView s(sb);
  const auto name = s.sub(0x78, 16);
  size_t n = 0;
  while (n < name.size() && name[n] != 0) ++n;
  return platform::SanitizeUtf8({reinterpret_cast<const char*>(name.data()), n});
}

std::string ExfatLabel(SectorSource& source, uint64_t start, const ByteView& boot) {
  const uint8_t spcShift = boot.u8(0x6D);
  const uint32_t rootCluster = boot.le32(0x60);
  if (spcShift > 25 || rootCluster < 2) return {};
  const uint64_t rootSector = start + boot.le32(0x58) + (uint64_t{rootCluster} - 2) * (uint64_t{1} << spcShift);
  const std::vector<uint8_t> dir = ReadBytes(source, rootSector, 1);
  const ByteView d(dir);
  for (uint64_t at = 0; d.contains(at, 32); at += 32) {
    if (d.u8(at) != 0x83) continue;
    // At most 15 UTF-16 units fit after the two header bytes of the entry.
    const uint32_t count = std::min<uint32_t>(d.u8(at + 1), 15);
    return platform::Utf16LeToUtf8(d.sub(at + 2, 2ull * count));
  }
  return {};
}

}  // namespace

std::string ReadVolumeLabel(SectorSource& source, uint64_t startSector, uint8_t typeByte) {
  const std::vector<uint8_t> first = ReadBytes(source, startSector, 1);
  const ByteView boot(first);
  switch (FamilyOf(typeByte)) {
    case FsFamily::kFat32:
      return Fat32Label(source, startSector, boot);
    case FsFamily::kFat16:
      return Fat16Label(source, startSector, boot);
    case FsFamily::kNtfs:
      return NtfsLabel(source, startSector, boot);
    case FsFamily::kOther:
      break;
  }
  switch (typeByte) {
    case 0x83:
      return ExtLabel(source, startSector);
    case 0x05:
      return ExfatLabel(source, startSector, boot);
    default:
      return {};
  }
}

std::string HfsVolumeLabel(std::span<const uint8_t> header, HfsKind hfsKind) {
  switch (hfsKind) {
    case HfsKind::kHfs:
    case HfsKind::kHfsPlusInHfs: {
      const ByteView h(header);
      const uint8_t length = std::min<uint8_t>(h.u8(0x24), 27);
      const auto name = h.sub(0x25, length);
      return platform::DecodeCharset({reinterpret_cast<const char*>(name.data()), name.size()}, "MACINTOSH");
    }
    case HfsKind::kHfsPlus:
      return "only hfs+";
    case HfsKind::kHfsx:
      return "HFSX";
    default:
      return {};
  }
}

}  // namespace orvaldi::disk
