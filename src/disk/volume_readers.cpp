// The readers of assembled volumes: each maps a volume position onto member disks.
#include "disk/volume_readers.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "disk/sector_io.h"

namespace orvaldi::disk {
namespace {

uint64_t SectorsToBytes(uint64_t sectors) {
  return sectors > UINT64_MAX / SectorSize ? UINT64_MAX / SectorSize * SectorSize : sectors * SectorSize;
}

using SpotFn = std::optional<MemberSpot> (*)(uint64_t, uint64_t, size_t);

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

AssembledVolume::AssembledVolume(const PartitionInfo& volume, MemberSources sources)
    : members_(volume.members),
      volumeSectors_(volume.sectorCount),
      stripeBytes_(uint64_t{volume.stripeSectors} * SectorSize),
      sources_(std::move(sources)),
      volumeBytes_(SectorsToBytes(volume.sectorCount)) {
  sources_.resize(members_.size());
}

platform::ReadOutcome AssembledVolume::readAt(uint64_t offset, std::span<uint8_t> out) {
  // The volume's length bounds every read; what lies past it is the end of
  // the source, not a failure.
  const uint64_t inside = offset >= volumeBytes_ ? 0 : std::min<uint64_t>(out.size(), volumeBytes_ - offset);
  uint64_t got = 0;
  const bool ok = inside == 0 || readInside(offset, out.first(static_cast<size_t>(inside)), got);
  got = ok ? inside : std::min(got, inside);
  // Callers reuse their buffers: whatever did not arrive is zero.
  std::memset(out.data() + got, 0, out.size() - got);
  return {got, ok ? 0 : EIO};
}

std::string AssembledVolume::lastFailure() const {
  std::lock_guard lock(failureMutex_);
  return failure_;
}

void AssembledVolume::fail(std::string text) {
  std::lock_guard lock(failureMutex_);
  failure_ = std::move(text);
}

bool AssembledVolume::readMember(size_t index, uint64_t offset, std::span<uint8_t> out) {
  const VolumeMember& m = members_[index];
  if (!present(index)) {
    fail("a member disk of the volume is missing");
    return false;
  }
  const uint64_t memberBytes = SectorsToBytes(m.sectorCount);
  if (offset > memberBytes || out.size() > memberBytes - offset) {
    fail("read beyond the member extent on " + m.devicePath);
    return false;
  }
  // An extent from a damaged record may end past any byte a disk can
  // address; its position would wrap round to the disk's first sectors.
  const uint64_t start = SectorsToBytes(m.startSector);
  if (start > UINT64_MAX - memberBytes) {
    fail("the member extent on " + m.devicePath + " lies beyond any disk (sector " + std::to_string(m.startSector) +
         ")");
    return false;
  }
  const auto outcome = sources_[index]->readAt(start + offset, out);
  if (outcome.bytes != out.size()) {
    fail("member disk " + m.devicePath + ": short read");
    return false;
  }
  return true;
}

bool AssembledVolume::readSpanned(size_t first, size_t last, uint64_t position, std::span<uint8_t> out, uint64_t& got) {
  uint64_t base = 0;  // volume position of the current member's first byte
  for (size_t k = first; k < last; ++k) {
    const uint64_t size = SectorsToBytes(members_[k].sectorCount);
    const uint64_t at = position + got;
    if (at < base + size) {
      const uint64_t chunk = std::min<uint64_t>(size - (at - base), out.size() - got);
      if (!readMember(k, at - base, out.subspan(static_cast<size_t>(got), static_cast<size_t>(chunk)))) return false;
      got += chunk;
      if (got == out.size()) return true;
    }
    base += size;
  }
  fail("read beyond the spanned members");
  return false;
}

namespace {

template <typename ReadStripe, typename NoMember>
bool ReadByStripes(uint64_t position, std::span<uint8_t> out, uint64_t& got, uint64_t stripeBytes, size_t memberCount,
                   SpotFn spotOf, ReadStripe readStripe, NoMember noMember) {
  while (got < out.size()) {
    const auto spot = spotOf(position + got, stripeBytes, memberCount);
    if (!spot || spot->member >= memberCount) {
      noMember();
      return false;
    }
    const uint64_t chunk = std::min<uint64_t>(spot->run, out.size() - got);
    if (!readStripe(*spot, out.subspan(static_cast<size_t>(got), static_cast<size_t>(chunk)))) return false;
    got += chunk;
  }
  return true;
}

}  // namespace

bool StripedVolume::readInside(uint64_t position, std::span<uint8_t> out, uint64_t& got) {
  return ReadByStripes(
      position, out, got, stripeBytes_, members_.size(), StripedSpot,
      [&](const MemberSpot& spot, std::span<uint8_t> piece) { return readMember(spot.member, spot.offset, piece); },
      [this] { fail("the volume's stripe layout names no member"); });
}

bool SpannedVolume::readInside(uint64_t position, std::span<uint8_t> out, uint64_t& got) {
  return readSpanned(0, members_.size(), position, out, got);
}

bool Raid5Volume::readInside(uint64_t position, std::span<uint8_t> out, uint64_t& got) {
  std::vector<uint8_t> other;
  return ReadByStripes(
      position, out, got, stripeBytes_, members_.size(), Raid5Spot,
      [&](const MemberSpot& spot, std::span<uint8_t> piece) {
        if (present(spot.member)) return readMember(spot.member, spot.offset, piece);
        // The data stripe's disk is missing: the row's other stripes, parity
        // included, XOR to it.
        std::fill(piece.begin(), piece.end(), uint8_t{0});
        other.resize(piece.size());
        for (size_t k = 0; k < members_.size(); ++k) {
          if (k == spot.member) continue;
          if (!readMember(k, spot.offset, other)) return false;
          for (size_t i = 0; i < piece.size(); ++i) piece[i] ^= other[i];
        }
        return true;
      },
      [this] { fail("the volume's stripe layout names no member"); });
}

bool MirroredVolume::readInside(uint64_t position, std::span<uint8_t> out, uint64_t& got) {
  bool anyCopy = false;
  for (size_t first = 0; first < members_.size();) {
    // A copy is the run of members that together hold the whole volume.
    size_t last = first;
    uint64_t sectors = 0;
    while (last < members_.size() && sectors < volumeSectors_) sectors += members_[last++].sectorCount;
    if (last == first) break;
    const size_t from = first;
    first = last;
    bool whole = true;
    for (size_t k = from; k < last; ++k) whole &= present(k);
    if (!whole) continue;
    anyCopy = true;
    uint64_t copyGot = 0;
    if (readSpanned(from, last, position, out, copyGot)) {
      got = copyGot;
      return true;
    }
  }
  // What a failed copy delivered is not passed on: another copy may differ.
  got = 0;
  if (!anyCopy) fail("no copy of the mirror has all its member disks");
  return false;
}

}  // namespace orvaldi::disk
