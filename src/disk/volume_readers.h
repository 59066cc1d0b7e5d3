// Reading striped, spanned, RAID-5 and mirrored volumes from their member disks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "disk/partition_info.h"
#include "platform/sector_source.h"

namespace orvaldi::disk {

// Where one volume byte lies: member index and byte offset from that
// member's start, and how many bytes follow it in the same stripe.
struct MemberSpot {
  size_t member = 0;
  uint64_t offset = 0;
  uint64_t run = 0;
};

// Striped: stripe q = p / B goes to member q mod n, row q / n.
std::optional<MemberSpot> StripedSpot(uint64_t position, uint64_t stripeBytes, size_t memberCount);

// RAID-5 with rotating parity: each row holds n - 1 data stripes and the
// parity stripe, which moves one member down per row starting at the last.
std::optional<MemberSpot> Raid5Spot(uint64_t position, uint64_t stripeBytes, size_t memberCount);

// The member disks' sources in the volume's member order, opened once when
// the volume is; null for a member whose disk is missing (no device path).
// Several extents of one disk (an LVM2 volume) share its source.
using MemberSources = std::vector<std::shared_ptr<platform::SectorSource>>;

// A volume assembled from member extents. Positions are bytes from the
// volume's start; the volume is sectorCount sectors long, and a read that
// runs past its end delivers what lies inside. A read that fails (a missing
// member, a member read that came back short) delivers the bytes before the
// failure; why it failed is kept for lastFailure().
class AssembledVolume : public platform::SectorSource {
 public:
  AssembledVolume(const PartitionInfo& volume, MemberSources sources);

  platform::ReadOutcome readAt(uint64_t offset, std::span<uint8_t> out) final;
  uint64_t size() const final { return volumeBytes_; }

  // Why the last failed read of this volume failed ("member disk X: short
  // read"), empty when none has.
  std::string lastFailure() const;

 protected:
  // Fills `out` (which lies inside the volume) from `position`, counting in
  // `got` the bytes delivered from its start. False on failure, after fail().
  virtual bool readInside(uint64_t position, std::span<uint8_t> out, uint64_t& got) = 0;

  // `out.size()` bytes at `offset` into member `index`'s extent; all or failure.
  bool readMember(size_t index, uint64_t offset, std::span<uint8_t> out);
  // Members [first, last) end to end, from `position` of that run.
  bool readSpanned(size_t first, size_t last, uint64_t position, std::span<uint8_t> out, uint64_t& got);
  bool present(size_t index) const { return sources_[index] != nullptr; }
  void fail(std::string text);

  std::vector<VolumeMember> members_;
  uint64_t volumeSectors_ = 0;
  uint64_t stripeBytes_ = 0;

 private:
  MemberSources sources_;
  uint64_t volumeBytes_ = 0;
  mutable std::mutex failureMutex_;
  std::string failure_;
};

class StripedVolume final : public AssembledVolume {
 public:
  using AssembledVolume::AssembledVolume;

 private:
  bool readInside(uint64_t position, std::span<uint8_t> out, uint64_t& got) override;
};

class SpannedVolume final : public AssembledVolume {
 public:
  using AssembledVolume::AssembledVolume;

 private:
  bool readInside(uint64_t position, std::span<uint8_t> out, uint64_t& got) override;
};

// A stripe whose member disk is missing is rebuilt from the other members
// by exclusive-or.
class Raid5Volume final : public AssembledVolume {
 public:
  using AssembledVolume::AssembledVolume;

 private:
  bool readInside(uint64_t position, std::span<uint8_t> out, uint64_t& got) override;
};

// Members hold each copy in turn, each copy as long as the volume; the first
// copy whose disks are all present and readable serves the read.
class MirroredVolume final : public AssembledVolume {
 public:
  using AssembledVolume::AssembledVolume;

 private:
  bool readInside(uint64_t position, std::span<uint8_t> out, uint64_t& got) override;
};

}  // namespace orvaldi::disk
