// Getting a node's bytes back: FAT chains, contiguous stretches and NTFS
// data (resident, plain, sparse and LZNT1-compressed), streamed to a sink.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "disk/partition_info.h"
#include "fs/ntfs_record.h"
#include "fs/scan_tree.h"
#include "platform/sector_source.h"

namespace orvaldi::fs {

struct FatScanState;
struct NtfsScanState;

// Receives a file's bytes in order.
class DataSink {
 public:
  virtual ~DataSink() = default;
  // Called once, before the first byte, with the length the copy will give
  // (a file target creates itself and sets its length). False: the sink
  // cannot take it and nothing is copied.
  virtual bool begin(uint64_t length) {
    (void)length;
    return true;
  }
  virtual bool write(const uint8_t* data, size_t length) = 0;
  // `length` zero bytes (a hole in a sparse file). A sink whose length was
  // set beforehand may skip over them instead.
  virtual bool writeZeros(uint64_t length);
};

// Collects everything written (leading bytes, tests).
class MemorySink final : public DataSink {
 public:
  bool write(const uint8_t* data, size_t length) override {
    bytes.insert(bytes.end(), data, data + length);
    return true;
  }
  std::vector<uint8_t> bytes;
};

// Called after each piece that reached the sink, with its length. Returning
// false stops the copy (the operator cancelled).
using PieceFn = std::function<bool(uint64_t pieceBytes)>;

// What one of the copies below came to. Callers outside the readers copy a
// node with CopyNode (fs/node_copy.h), whose result says it in the status
// vocabulary every operation uses.
enum class CopyStatus {
  kComplete,     // every byte of the file reached the sink
  kCancelled,    // the piece callback asked to stop
  kWriteFailed,  // the sink refused a write
  kNoData,       // nothing could be located (no record, cluster out of range)
};

struct CopyResult {
  CopyStatus status = CopyStatus::kComplete;
  uint64_t written = 0;     // bytes that reached the sink
  bool readErrors = false;  // some sectors could not be read; zeros stand in their place
  bool damaged = false;     // a chain ended early or compressed data was corrupt
};

// Whole sectors are read in pieces of this size.
inline constexpr uint64_t kCopyPieceBytes = 1ull << 20;

// Copies `size` bytes starting at absolute sector `firstSector` (read through
// the partition's reader) to `sink`, in pieces of `pieceBytes`.
CopyResult CopySectors(platform::SectorSource* source, const disk::PartitionInfo& partition, uint64_t firstSector,
                       uint64_t size, DataSink& sink, const PieceFn& piece, uint64_t pieceBytes = kCopyPieceBytes);

// FAT geometry of a partition record (disk::FatGeometry::OfRecord), for callers that hold only the record.
uint64_t FatClusterSector(const disk::PartitionInfo& partition, uint32_t cluster);
uint64_t FatClusterBytes(const disk::PartitionInfo& partition);
bool FatIs32(const disk::PartitionInfo& partition);
// Entries of the in-memory FAT copy (0 when the FAT was not read).
uint32_t FatEntryCount(const disk::PartitionInfo& partition, const FatScanState& state);

// Copies an existing file through its cluster chain in the in-memory FAT.
// The chain stops at an end mark, a free or reserved entry, a cluster past the
// FAT, a cluster already visited, an entry in a FAT sector no copy gave, or
// once `size` bytes are out; runs of consecutive clusters are read together.
// Stopping before `size` bytes flags the copy as damaged. A file whose first
// cluster lies outside the FAT gives kNoData and nothing is written. A file
// whose first entry is free (its chain was released) is copied as a deleted
// file (CopyFatDeleted); damaged when that entry's FAT sector was not read.
CopyResult CopyFatChain(platform::SectorSource* source, const disk::PartitionInfo& partition, const FatScanState& state,
                        uint32_t firstCluster, uint64_t size, DataSink& sink, const PieceFn& piece);

// Copies a file as contiguous clusters from `firstCluster` on.
CopyResult CopyFatContiguous(platform::SectorSource* source, const disk::PartitionInfo& partition,
                             uint32_t firstCluster, uint64_t size, DataSink& sink, const PieceFn& piece);

// Copies a deleted file as the free clusters from `firstCluster` on: the
// clusters the FAT gives to existing files are passed over (a file written
// into a hole too small for it went on after the file that bounded it).
// Damaged when the first cluster belongs to an existing file, when a cluster's
// entry lies in a FAT sector no copy gave, or when the FAT ends first. A first
// cluster the FAT does not cover is read as plain contiguous clusters.
CopyResult CopyFatDeleted(platform::SectorSource* source, const disk::PartitionInfo& partition,
                          const FatScanState& state, uint32_t firstCluster, uint64_t size, DataSink& sink,
                          const PieceFn& piece);

// Reads record `number` of an NTFS partition: at its recorded position when
// a sector search recorded positions, else through the MFT run list.
bool ReadNtfsRecord(platform::SectorSource* source, const disk::PartitionInfo& partition, const NtfsScanState& state,
                    uint64_t number, DecodedRecord& out);

// Length of the file's unnamed data stream.
uint64_t NtfsDataSize(const DecodedRecord& record);

// Copies the unnamed data stream of a decoded record. Sparse stretches come
// out as zeros in place, compressed units are decompressed one by one, bytes
// past the initialized size are zeros: the output is the file as NTFS
// presents it, byte for byte.
CopyResult CopyNtfsData(platform::SectorSource* source, const disk::PartitionInfo& partition,
                        const DecodedRecord& record, DataSink& sink, const PieceFn& piece);

}  // namespace orvaldi::fs
