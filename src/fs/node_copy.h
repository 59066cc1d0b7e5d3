// Copying a node's data, whatever reader made the node: the one way a file's
// bytes leave a scan tree (save, cat, hex view, preview).
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "disk/partition_info.h"
#include "fs/extract.h"
#include "fs/node_view.h"
#include "platform/sector_source.h"
#include "platform/status.h"

namespace orvaldi::fs {

// How a FAT file's clusters are found; the other families have one way each.
enum class FatClusters : uint8_t {
  // An existing file follows its chain in the FAT, a deleted one takes the
  // free clusters from its first on; without a FAT read, contiguous clusters.
  kChain,
  // Contiguous clusters from the first, the FAT not consulted.
  kContiguous,
  // Only what is known to be the file's: an existing file's chain, a deleted
  // file's first cluster (views show no guesses).
  kKnownOnly,
};

struct CopyRequest {
  // At most this many leading bytes of the data.
  uint64_t limit = std::numeric_limits<uint64_t>::max();
  // After each piece that reached the sink; false stops the copy (cancelled).
  PieceFn piece;
  FatClusters fatClusters = FatClusters::kChain;
  // FAT: the cluster the data starts at when it is not the entry's own (a
  // deleted file whose start the start-cluster search confirmed); 0: the entry's.
  uint32_t firstCluster = 0;
};

// Why a copy that failed gave nothing (or stopped).
enum class CopyFailure : uint8_t {
  kNone,
  kNoData,    // the data could not be located (no state, cluster or run outside the volume)
  kNoRecord,  // the file's MFT record could not be read; the sink was never begun
  kSink,      // the sink refused to begin or to take a write
};

// What came of copying a node: kOk when every byte reached the sink as the
// volume holds it; kPartial when all of it was written but some could not be
// read (zeros stand in for it) or is not known to be the file's; kFailed when
// the data could not be located or the sink refused; kCancelled when the
// piece callback stopped it. The message says what could not be read.
struct NodeCopy {
  platform::Status status = platform::Status::kOk;
  std::string message;
  CopyFailure failure = CopyFailure::kNone;
  uint64_t length = 0;   // bytes the copy was to give: the data's length, at most the limit
  uint64_t written = 0;  // bytes that reached the sink
  // The leading bytes that certainly came from the disk: all that reached the
  // sink, or those before the piece whose read first came back short.
  uint64_t readFromDisk = 0;
  bool readErrors = false;  // kPartial: sectors could not be read
  bool damaged = false;     // kPartial: a chain ended early, runs or compressed data were damaged, cut off
  // The first unreadable sector (absolute on the disk) of each read that came
  // back short, in the order met; at most kMaxNotedSectors of them.
  std::vector<uint64_t> unreadSectors;
  static constexpr size_t kMaxNotedSectors = 64;
};

// Copies `node`'s data (whole, or its leading `request.limit` bytes) to
// `sink`, reading through `source` (null for a dynamic volume, which reads
// through its own mapping). `sink.begin` is called once with the length
// before any data is read; not at all when the file's record cannot be read.
NodeCopy CopyNode(platform::SectorSource* source, const disk::PartitionInfo& partition, const NodeRef& node,
                  DataSink& sink, const CopyRequest& request = {});

}  // namespace orvaldi::fs
