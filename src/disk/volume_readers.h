// Reading striped, spanned, RAID-5 and mirrored volumes from their member disks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "disk/partition_info.h"

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

// The readers behind ReadVolumeBytes. Each opens the member disks by their
// device paths; a member that cannot be opened fails the read, and its reason
// is kept for VolumeReadError().
bool StripedRead(uint8_t* buffer, uint32_t length, uint32_t& bytesRead, uint64_t position,
                 const PartitionInfo& partition);
bool SpannedRead(uint8_t* buffer, uint32_t length, uint32_t& bytesRead, uint64_t position,
                 const PartitionInfo& partition);
// A stripe whose member disk is missing (no device path) is rebuilt from the
// other members by exclusive-or.
bool Raid5Read(uint8_t* buffer, uint32_t length, uint32_t& bytesRead, uint64_t position,
               const PartitionInfo& partition);
// Members hold each copy in turn, each copy as long as the volume; the first
// copy whose disks are all present and readable serves the read.
bool MirroredRead(uint8_t* buffer, uint32_t length, uint32_t& bytesRead, uint64_t position,
                  const PartitionInfo& partition);

// Why the last failed read of any volume failed ("member disk X: reason"),
// empty when none has.
std::string VolumeReadError();

// Registers the four readers with SetVolumeReader.
void InstallVolumeReaders();

}  // namespace orvaldi::disk
