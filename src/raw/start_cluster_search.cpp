// Header confirmation of deleted FAT files of known types.
#include "raw/start_cluster_search.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "disk/bytes.h"
#include "disk/fat_entry.h"
#include "disk/fs_family.h"
#include "disk/sector_io.h"

namespace orvaldi::raw {
namespace {

constexpr std::array<std::string_view, 14> kFullList = {"jpg", "jpeg", "doc", "ppt",  "xls",  "pdf",  "mpeg",
                                                        "avi", "mp4",  "zip", "docx", "pptx", "xlsx", "rar"};
constexpr std::array<std::string_view, 5> kShortList = {"jpg", "jpeg", "doc", "ppt", "xls"};

bool At(const disk::ByteView& b, uint64_t offset, std::string_view bytes) {
  if (!b.contains(offset, bytes.size())) return false;
  return std::memcmp(b.data() + offset, bytes.data(), bytes.size()) == 0;
}

constexpr std::string_view kZipLocal("PK\x03\x04", 4);
constexpr std::string_view kOle2("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8);
constexpr std::string_view kRar("Rar!\x1A\x07\x00", 7);
constexpr std::string_view kPack("\x00\x00\x01\xBA", 4);
constexpr std::string_view kSystem("\x00\x00\x01\xBB", 4);
constexpr std::string_view kContentTypes = "[Content_Types].xml";

bool ZipFirstNameIsContentTypes(const disk::ByteView& b) {
  if (!b.contains(26, 2)) return false;
  const uint16_t nameLength = b.le16(26);
  return nameLength >= kContentTypes.size() && At(b, 30, kContentTypes);
}

}  // namespace

std::string ExtensionOf(std::string_view name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return {};
  std::string out(name.substr(dot + 1));
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

bool IsKnownExtension(std::string_view extension, KnownList list) {
  if (list == KnownList::kFull) return std::find(kFullList.begin(), kFullList.end(), extension) != kFullList.end();
  return std::find(kShortList.begin(), kShortList.end(), extension) != kShortList.end();
}

bool ConfirmHeader(std::string_view ext, std::span<const uint8_t> head, uint64_t fileSize) {
  const disk::ByteView b(head);
  if (ext == "jpg" || ext == "jpeg") return At(b, 0, "\xFF\xD8\xFF") && (At(b, 6, "JFIF") || At(b, 6, "Exif"));
  if (ext == "doc" || ext == "ppt" || ext == "xls") {
    if (!At(b, 0, kOle2) || !b.contains(0x2C, 4)) return false;
    const uint64_t fatSectors = b.le32(0x2C);
    return fatSectors != 0 && (fatSectors - 1) * 65536 < fileSize && fileSize <= fatSectors * 65536;
  }
  if (ext == "pdf") return At(b, 0, "%PDF-1");
  if (ext == "mpeg") {
    if (!At(b, 0, kPack) || !b.contains(4, 1)) return false;
    if (b.u8(4) == 0x21) return At(b, 12, kSystem);
    if (b.u8(4) == 0x44) return At(b, 14, kSystem);
    return false;
  }
  if (ext == "avi") {
    if (!At(b, 0, "RIFF") || !At(b, 8, "AVI ") || !At(b, 12, "LIST")) return false;
    const int64_t carved = int64_t{b.le32(4)} + 12;
    const int64_t diff = carved - static_cast<int64_t>(fileSize);
    return (diff < 0 ? -diff : diff) < 512;
  }
  if (ext == "mp4") return At(b, 4, "ftyp");
  if (ext == "zip") return At(b, 0, kZipLocal) && !ZipFirstNameIsContentTypes(b);
  if (ext == "docx" || ext == "pptx" || ext == "xlsx") return At(b, 0, kZipLocal) && ZipFirstNameIsContentTypes(b);
  if (ext == "rar") return At(b, 0, kRar);
  return false;
}

std::vector<uint32_t> StartClusterSearch(platform::SectorSource* source, const disk::PartitionInfo& partition,
                                         std::string_view extension, uint32_t firstCluster, uint64_t fileSize,
                                         UsedClusterSet& used) {
  std::vector<uint32_t> found;
  const uint32_t spc = partition.sectorsPerCluster;
  if (spc == 0 || partition.clusterZeroSector == 0) return found;
  // A deleted entry keeps the low 16 bits of its cluster: the candidates are
  // those low bits in each 64 Ki-cluster group the FAT numbers. Other
  // partition types have no FAT to size the search: the low group only.
  const disk::FsFamily family = disk::FamilyOf(partition.typeByte);
  const uint64_t fatBytes = uint64_t{partition.fatSizeSectors} * disk::SectorSize;
  const uint64_t highest =
      disk::IsFat(family) ? (fatBytes / disk::FatEntries::WidthOf(family == disk::FsFamily::kFat32)) >> 16 : 0;
  // Clusters past the volume hold nothing of it.
  const uint64_t volumeEnd = partition.startSector + partition.sectorCount;
  std::vector<uint8_t> cluster(uint64_t{spc} * disk::SectorSize);
  const uint32_t low = firstCluster & 0xFFFF;
  for (uint64_t h = 0; h <= highest; ++h) {
    const uint64_t c = h * 65536 + low;
    if (c < 2 || c > UINT32_MAX) continue;
    if (used.contains(static_cast<uint32_t>(c))) continue;
    const uint64_t sector = partition.clusterZeroSector + c * spc;
    if (partition.sectorCount != 0 && sector + spc > volumeEnd) break;
    disk::ReadVolumeSectors(source, &partition, sector, spc, cluster.data());
    if (!ConfirmHeader(extension, cluster, fileSize)) continue;
    used.add(static_cast<uint32_t>(c));
    found.push_back(static_cast<uint32_t>(c));
  }
  return found;
}

}  // namespace orvaldi::raw
