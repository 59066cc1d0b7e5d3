// Finding where a deleted FAT file of a known type really begins.
//
// A deleted FAT32 entry keeps only the low 16 bits of its first cluster, so
// the file may start at any cluster h x 65536 + low. Each candidate's first
// bytes are checked against the header of the file's type.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "disk/partition_info.h"
#include "platform/sector_source.h"

namespace orvaldi::raw {

// First clusters that one save walk has already given to files.
class UsedClusterSet {
 public:
  void add(uint32_t cluster) { clusters_.insert(cluster); }
  bool contains(uint32_t cluster) const { return clusters_.count(cluster) != 0; }
  size_t size() const { return clusters_.size(); }

 private:
  std::unordered_set<uint32_t> clusters_;
};

// The single save knows fourteen extensions, the pool five.
enum class KnownList { kFull, kShort };

// The text after the last "." of `name`, lower-cased ("" when none).
std::string ExtensionOf(std::string_view name);
bool IsKnownExtension(std::string_view extension, KnownList list);

// Whether `head` (the first bytes of a cluster) begins a file of type
// `extension` of `fileSize` bytes.
bool ConfirmHeader(std::string_view extension, std::span<const uint8_t> head, uint64_t fileSize);

// The first clusters at which the file (type `extension`, low cluster word
// from `firstCluster`) is confirmed, in candidate order; each is added to
// `used`. Candidates already in `used` are skipped. Empty when none matched.
std::vector<uint32_t> StartClusterSearch(platform::SectorSource* source, const disk::PartitionInfo& partition,
                                         std::string_view extension, uint32_t firstCluster, uint64_t fileSize,
                                         UsedClusterSet& used);

}  // namespace orvaldi::raw
