// OpenVolumeSource: the whole disk for a plain partition, the assembled volume for the others.
#include "disk/volume_source.h"

#include <utility>

#include "disk/sector_io.h"
#include "disk/volume_readers.h"

namespace orvaldi::disk {

OpenedVolume OpenVolumeSource(const DiskInfo& disk, const PartitionInfo& partition) {
  OpenedVolume out;
  if (partition.volumeKind == VolumeKind::kPlain) {
    std::string error;
    out.source = OpenSource(disk, &error);
    if (!out.source)
      out.outcome =
          platform::Outcome::Failed(error.empty() ? "cannot open " + disk.devicePath + " for reading" : error);
    return out;
  }
  if (partition.volumeKind != VolumeKind::kStriped && partition.volumeKind != VolumeKind::kSpanned &&
      partition.volumeKind != VolumeKind::kRaid5 && partition.volumeKind != VolumeKind::kMirrored) {
    // From a damaged or newer record: no mapping to read it through.
    out.outcome = platform::Outcome::Failed("partition " + partition.name + " has an unknown volume kind " +
                                            std::to_string(NumberOf(partition.volumeKind)));
    return out;
  }
  // A RAID-5 or mirrored volume is read without a member whose disk will not
  // open, as without one that is missing: that is what the redundancy is for.
  // Striped and spanned volumes cannot do without any member.
  const bool redundant = partition.volumeKind == VolumeKind::kRaid5 || partition.volumeKind == VolumeKind::kMirrored;
  std::string leftOut;
  MemberSources sources;
  for (const VolumeMember& m : partition.members) {
    std::shared_ptr<platform::SectorSource> source;
    if (!m.devicePath.empty()) {
      // Extents of one disk share its handle.
      for (size_t k = 0; k < sources.size() && !source; ++k)
        if (sources[k] && partition.members[k].devicePath == m.devicePath) source = sources[k];
      if (!source) {
        auto opened = platform::FileSource::open(m.devicePath);
        if (!opened.source && !redundant) {
          out.outcome = platform::Outcome::Failed("member disk " + m.devicePath + ": " + opened.message);
          return out;
        }
        if (!opened.source) {
          leftOut += (leftOut.empty() ? "" : "; ") + ("member disk " + m.devicePath + ": " + opened.message);
        } else {
          source = std::move(opened.source);
        }
      }
    }
    sources.push_back(std::move(source));
  }
  if (!leftOut.empty()) out.outcome = platform::Outcome::Partial(leftOut + " (read from the other members)");
  switch (partition.volumeKind) {
    case VolumeKind::kStriped:
      out.source = std::make_unique<StripedVolume>(partition, std::move(sources));
      break;
    case VolumeKind::kSpanned:
      out.source = std::make_unique<SpannedVolume>(partition, std::move(sources));
      break;
    case VolumeKind::kRaid5:
      out.source = std::make_unique<Raid5Volume>(partition, std::move(sources));
      break;
    default:
      out.source = std::make_unique<MirroredVolume>(partition, std::move(sources));
      break;
  }
  return out;
}

std::string VolumeReadFailure(const platform::SectorSource& source) {
  const auto* volume = dynamic_cast<const AssembledVolume*>(&source);
  return volume ? volume->lastFailure() : std::string();
}

}  // namespace orvaldi::disk
