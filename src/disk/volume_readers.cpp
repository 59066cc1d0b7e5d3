// The readers of assembled volumes: each maps a volume position onto member disks.
#include "disk/volume_readers.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <span>
#include <utility>
#include <vector>

#include "disk/sector_io.h"
#include "platform/sector_source.h"

namespace orvaldi::disk {
namespace {

// The last failure of any reader: scans run on workers, and the command that
// started one reports what stopped it.
std::mutex gErrorMutex;
std::string gErrorText;

void Fail(std::string text) {
  std::lock_guard lock(gErrorMutex);
  gErrorText = std::move(text);
}

// Member disks stay open for a few reads: a file-system walk asks for a
// cluster at a time, and reopening every member for each would cost more
// than the reads. Per thread, so that no handle is shared between workers.
class MemberFiles {
 public:
  platform::SectorSource* open(const std::string& path) {
    for (auto& [name, source] : open_)
      if (name == path) return source.get();
    auto opened = platform::FileSource::open(path);
    if (!opened.source) {
      Fail("member disk " + path + ": " + opened.message);
      return nullptr;
    }
    if (open_.size() >= kKept) open_.erase(open_.begin());
    open_.emplace_back(path, std::move(opened.source));
    return open_.back().second.get();
  }

 private:
  static constexpr size_t kKept = 8;
  std::vector<std::pair<std::string, std::unique_ptr<platform::SectorSource>>> open_;
};

MemberFiles& Files() {
  thread_local MemberFiles files;
  return files;
}

uint64_t MemberBytes(const VolumeMember& m) { return m.sectorCount * SectorSize; }

// `out.size()` bytes at `offset` into the member's extent; all or failure.
bool ReadMember(const VolumeMember& m, uint64_t offset, std::span<uint8_t> out) {
  if (m.devicePath.empty()) {
    Fail("a member disk of the volume is missing");
    return false;
  }
  if (offset > MemberBytes(m) || out.size() > MemberBytes(m) - offset) {
    Fail("read beyond the member extent on " + m.devicePath);
    return false;
  }
  platform::SectorSource* source = Files().open(m.devicePath);
  if (source == nullptr) return false;
  const auto outcome = source->readAt(m.startSector * SectorSize + offset, out);
  if (outcome.bytes != out.size()) {
    Fail("member disk " + m.devicePath + ": short read");
    return false;
  }
  return true;
}

// The volume's length in bytes bounds every read; a read that starts inside
// and runs past it delivers what lies inside and fails.
uint32_t WithinVolume(const PartitionInfo& p, uint64_t position, uint32_t length) {
  const uint64_t size = p.sectorCount * SectorSize;
  if (position >= size) return 0;
  return static_cast<uint32_t>(std::min<uint64_t>(length, size - position));
}

uint64_t StripeBytes(const PartitionInfo& p) { return uint64_t{p.stripeSectors} * SectorSize; }

using SpotFn = std::optional<MemberSpot> (*)(uint64_t, uint64_t, size_t);

template <typename ReadStripe>
bool ReadByStripes(uint8_t* buffer, uint32_t length, uint32_t& bytesRead, uint64_t position,
                   const PartitionInfo& partition, SpotFn spotOf, ReadStripe readStripe) {
  const uint32_t inside = WithinVolume(partition, position, length);
  while (bytesRead < inside) {
    const auto spot = spotOf(position + bytesRead, StripeBytes(partition), partition.members.size());
    if (!spot || spot->member >= partition.members.size()) {
      Fail("the volume's stripe layout names no member");
      return false;
    }
    const auto chunk = static_cast<uint32_t>(std::min<uint64_t>(spot->run, inside - bytesRead));
    if (!readStripe(*spot, std::span(buffer + bytesRead, chunk))) return false;
    bytesRead += chunk;
  }
  return inside == length;
}

bool SpannedOver(std::span<const VolumeMember> members, uint8_t* buffer, uint32_t length, uint32_t& bytesRead,
                 uint64_t position) {
  uint64_t base = 0;  // volume position of the current member's first byte
  for (const VolumeMember& m : members) {
    const uint64_t size = MemberBytes(m);
    const uint64_t at = position + bytesRead;
    if (at < base + size) {
      const auto chunk = static_cast<uint32_t>(std::min<uint64_t>(size - (at - base), length - bytesRead));
      if (!ReadMember(m, at - base, std::span(buffer + bytesRead, chunk))) return false;
      bytesRead += chunk;
      if (bytesRead == length) return true;
    }
    base += size;
  }
  Fail("read beyond the spanned members");
  return false;
}

}  // namespace

std::optional<MemberSpot> StripedSpot(uint64_t position, uint64_t stripeBytes, size_t memberCount) {
  if (stripeBytes == 0 || memberCount == 0) return std::nullopt;
  const uint64_t q = position / stripeBytes;
  const uint64_t r = position % stripeBytes;
  return MemberSpot{static_cast<size_t>(q % memberCount), (q / memberCount) * stripeBytes + r, stripeBytes - r};
}

std::optional<MemberSpot> Raid5Spot(uint64_t position, uint64_t stripeBytes, size_t memberCount) {
  if (stripeBytes == 0 || memberCount < 2) return std::nullopt;
  const uint64_t n = memberCount;
  const uint64_t q = position / stripeBytes;
  const uint64_t r = position % stripeBytes;
  const uint64_t row = q / (n - 1);
  const uint64_t d = q % (n - 1);
  const uint64_t parity = (n - 1) - (row % n);
  return MemberSpot{static_cast<size_t>((parity + 1 + d) % n), row * stripeBytes + r, stripeBytes - r};
}

bool StripedRead(uint8_t* buffer, uint32_t length, uint32_t& bytesRead, uint64_t position,
                 const PartitionInfo& partition) {
  bytesRead = 0;
  return ReadByStripes(buffer, length, bytesRead, position, partition, StripedSpot,
                       [&](const MemberSpot& spot, std::span<uint8_t> out) {
                         return ReadMember(partition.members[spot.member], spot.offset, out);
                       });
}

bool SpannedRead(uint8_t* buffer, uint32_t length, uint32_t& bytesRead, uint64_t position,
                 const PartitionInfo& partition) {
  bytesRead = 0;
  const uint32_t inside = WithinVolume(partition, position, length);
  if (inside > 0 && !SpannedOver(partition.members, buffer, inside, bytesRead, position)) return false;
  return inside == length;
}

bool Raid5Read(uint8_t* buffer, uint32_t length, uint32_t& bytesRead, uint64_t position,
               const PartitionInfo& partition) {
  bytesRead = 0;
  std::vector<uint8_t> other;
  return ReadByStripes(buffer, length, bytesRead, position, partition, Raid5Spot,
                       [&](const MemberSpot& spot, std::span<uint8_t> out) {
                         const auto& members = partition.members;
                         if (!members[spot.member].devicePath.empty())
                           return ReadMember(members[spot.member], spot.offset, out);
                         // The data stripe's disk is missing: the row's other stripes, parity
                         // included, XOR to it.
                         std::fill(out.begin(), out.end(), uint8_t{0});
                         other.resize(out.size());
                         for (size_t k = 0; k < members.size(); ++k) {
                           if (k == spot.member) continue;
                           if (!ReadMember(members[k], spot.offset, other)) return false;
                           for (size_t i = 0; i < out.size(); ++i) out[i] ^= other[i];
                         }
                         return true;
                       });
}

bool MirroredRead(uint8_t* buffer, uint32_t length, uint32_t& bytesRead, uint64_t position,
                  const PartitionInfo& partition) {
  bytesRead = 0;
  const uint32_t inside = WithinVolume(partition, position, length);
  const uint64_t volumeSectors = partition.sectorCount;
  std::span<const VolumeMember> all(partition.members);
  bool anyCopy = false;
  for (size_t first = 0; first < all.size();) {
    // A copy is the run of members that together hold the whole volume.
    size_t last = first;
    uint64_t sectors = 0;
    while (last < all.size() && sectors < volumeSectors) sectors += all[last++].sectorCount;
    if (last == first) break;
    const auto copy = all.subspan(first, last - first);
    first = last;
    if (std::any_of(copy.begin(), copy.end(), [](const VolumeMember& m) { return m.devicePath.empty(); })) continue;
    anyCopy = true;
    uint32_t got = 0;
    if (inside == 0 || SpannedOver(copy, buffer, inside, got, position)) {
      bytesRead = got;
      return inside == length;
    }
  }
  if (!anyCopy) Fail("no copy of the mirror has all its member disks");
  return false;
}

std::string VolumeReadError() {
  std::lock_guard lock(gErrorMutex);
  return gErrorText;
}

void InstallVolumeReaders() {
  SetVolumeReader(VolumeKind::kStriped, StripedRead);
  SetVolumeReader(VolumeKind::kSpanned, SpannedRead);
  SetVolumeReader(VolumeKind::kRaid5, Raid5Read);
  SetVolumeReader(VolumeKind::kMirrored, MirroredRead);
}

}  // namespace orvaldi::disk
