// Fuzzes the found-volume records of a scan result: the partitions and their
// members it loads, assembled into volumes and read as a reader would.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "disk/disk_info.h"
#include "disk/scan_result_file.h"
#include "disk/volume_label.h"
#include "disk/volume_probe.h"
#include "disk/volume_readers.h"
#include "platform/sector_source.h"
#include "platform/text.h"

using namespace orvaldi;

namespace {

// A read of `bytes` at `offset` delivers what lies inside the volume, zeros
// after what it delivered, and fails only short of the volume's end.
void CheckRead(platform::SectorSource& volume, uint64_t offset, size_t bytes) {
  std::vector<uint8_t> out(bytes, 0xCC);
  const platform::ReadOutcome got = volume.readAt(offset, out);
  const uint64_t inside = offset >= volume.size() ? 0 : std::min<uint64_t>(bytes, volume.size() - offset);
  if (got.bytes > inside || (got.error == 0 && got.bytes != inside)) std::abort();
  if (std::any_of(out.begin() + static_cast<ptrdiff_t>(got.bytes), out.end(), [](uint8_t b) { return b != 0; }))
    std::abort();
}

std::unique_ptr<platform::SectorSource> Assemble(const disk::PartitionInfo& p, const disk::MemberSources& members) {
  switch (p.volumeKind) {
    case disk::VolumeKind::kStriped:
      return std::make_unique<disk::StripedVolume>(p, members);
    case disk::VolumeKind::kSpanned:
      return std::make_unique<disk::SpannedVolume>(p, members);
    case disk::VolumeKind::kRaid5:
      return std::make_unique<disk::Raid5Volume>(p, members);
    case disk::VolumeKind::kMirrored:
      return std::make_unique<disk::MirroredVolume>(p, members);
    case disk::VolumeKind::kPlain:
      break;
  }
  return nullptr;
}

}  // namespace

// The input is a scan result whose first line is taken as the disk's name,
// then, after the line that ends a result, the bytes of every member disk a
// record names by a path (a record without one is a missing disk).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  size_t tail = text.find(disk::kScanResultEndMark);
  tail = tail == std::string_view::npos ? size : std::min(size, tail + disk::kScanResultEndMark.size() + 2);
  auto memberDisk = std::shared_ptr<platform::SectorSource>(platform::MemorySource::borrow({data + tail, size - tail}));

  std::string_view first = text.substr(0, text.find('\n'));
  if (!first.empty() && first.back() == '\r') first.remove_suffix(1);
  disk::DiskInfo disk;
  disk.vendorId = platform::OemToUtf8(first.substr(0, disk::kMaxScanResultLine));
  disk.sizeBytes = int64_t{1} << 40;
  if (disk::LoadScanResult(disk, text).status != disk::ScanResultStatus::kOk) return 0;

  for (const disk::PartitionInfo& p : disk.partitions) {
    if (p.volumeKind == disk::VolumeKind::kPlain) continue;
    disk::MemberSources members;
    for (const disk::VolumeMember& m : p.members) members.push_back(m.devicePath.empty() ? nullptr : memberDisk);
    const auto volume = Assemble(p, members);
    if (!volume) std::abort();  // the loader keeps no kind it does not know
    const uint64_t end = volume->size();
    for (const uint64_t at : {uint64_t{0}, uint64_t{512}, end / 2, end > 512 ? end - 512 : 0, end})
      CheckRead(*volume, at, 4096);
    CheckRead(*volume, 0, 65536);
    disk::IdentifyVolume(*volume, 0, p.sectorCount);
    disk::ReadVolumeLabel(*volume, 0, p.typeByte);
  }
  return 0;
}
