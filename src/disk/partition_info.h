// The partition record: everything that can be scanned is one of these.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "disk/hfs_kind.h"
#include "disk/volume_records.h"

namespace orvaldi::disk {

// MBR-style type codes that drive every later decision.
namespace type_code {
inline constexpr uint8_t kFat16Small = 0x04;
inline constexpr uint8_t kExtended = 0x05;  // also exFAT once the exFAT test passed
inline constexpr uint8_t kExfat = 0x05;
inline constexpr uint8_t kFat16 = 0x06;
inline constexpr uint8_t kNtfs = 0x07;
inline constexpr uint8_t kFat32 = 0x0B;
inline constexpr uint8_t kFat32Lba = 0x0C;
inline constexpr uint8_t kNtfsAlt = 0x0D;
inline constexpr uint8_t kFat16Lba = 0x0E;
inline constexpr uint8_t kHfs = 0x19;
inline constexpr uint8_t kLinux = 0x83;
}  // namespace type_code

// Where a partition record came from: a partition table, a volume rebuilt
// from the structures a raw scan met, or a boot sector a raw scan found.
enum class PartitionOrigin : uint8_t { kTable = 0, kRebuilt = 1, kFound = 2 };

// Which table listed a partition: the MBR's or GPT's own entries, or an
// extended partition's chain.
enum class TableKind : uint8_t { kPrimary = 1, kLogical = 2 };

// How a volume's sectors lie on its disks: in place, or through a dynamic
// volume's mapping. A mirror keeps whole copies one after another in its
// members.
enum class VolumeKind : uint8_t { kPlain = 0, kStriped = 1, kSpanned = 2, kRaid5 = 3, kMirrored = 4 };

// The numbers the listings and the scan-result file write for these.
constexpr unsigned NumberOf(PartitionOrigin origin) { return static_cast<unsigned>(origin); }
constexpr unsigned NumberOf(TableKind kind) { return static_cast<unsigned>(kind); }
constexpr unsigned NumberOf(VolumeKind kind) { return static_cast<unsigned>(kind); }

// What a file-system reader keeps on the partition record: its scan tree,
// the indexes into it and the reader's own copies (the FAT, the MFT runs).
// The readers define it; the record only owns it and copies it with itself.
class ReaderState {
 public:
  virtual ~ReaderState() = default;
  virtual std::unique_ptr<ReaderState> clone() const = 0;
};

// An owning pointer that deep-copies, so that records stay plain values.
class ReaderSlot {
 public:
  ReaderSlot() = default;
  ReaderSlot(const ReaderSlot& other) : state_(other.state_ ? other.state_->clone() : nullptr) {}
  ReaderSlot& operator=(const ReaderSlot& other) {
    if (this != &other) state_ = other.state_ ? other.state_->clone() : nullptr;
    return *this;
  }
  ReaderSlot(ReaderSlot&&) noexcept = default;
  ReaderSlot& operator=(ReaderSlot&&) noexcept = default;
  ~ReaderSlot() = default;

  template <typename T>
  T* get() const {
    return dynamic_cast<T*>(state_.get());
  }
  // The state of type T, made fresh when there is none or it is of another type.
  template <typename T>
  T& getOrCreate() {
    if (T* existing = get<T>()) return *existing;
    state_ = std::make_unique<T>();
    return static_cast<T&>(*state_);
  }
  void reset() { state_.reset(); }
  // Puts a state made elsewhere (a saved tree read back) in place of this one.
  void reset(std::unique_ptr<ReaderState> state) { state_ = std::move(state); }

 private:
  std::unique_ptr<ReaderState> state_;
};

struct PartitionInfo {
  std::string sourcePath;  // disk device path, for HFS-family volumes only
  std::string fsTypeText;  // HFS family: "HFS", "HFS+", "HFS+ in HFS" or the Apple type
  HfsKind hfsKind = HfsKind::kNone;
  std::string volumeLabel;
  std::string driveLetter;  // here: the mount point when the volume is mounted
  std::string name;
  std::string fsLabel;  // "EXT", "EXT2", "EXT3", "EXT4" for Linux volumes
  uint64_t sectorCount = 0;
  uint64_t startSector = 0;  // absolute on the disk
  TableKind tableKind = TableKind::kPrimary;
  uint32_t sectorsPerCluster = 0;
  uint64_t clusterZeroSector = 0;  // 0 = not known yet
  uint8_t typeByte = 0;
  uint32_t bytesPerSector = 512;
  PartitionOrigin origin = PartitionOrigin::kTable;
  uint32_t fatSizeSectors = 0;  // FAT volumes: sectors per FAT, from the boot sector or a search
  ReaderSlot reader;            // the scan tree and what its reader keeps
  VolumeKind volumeKind = VolumeKind::kPlain;
  uint16_t stripeSectors = 128;
  std::vector<VolumeMember> members;
};

}  // namespace orvaldi::disk
