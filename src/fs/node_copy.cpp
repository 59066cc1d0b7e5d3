// The one copy call: each family's way to a node's data, behind one result.
#include "fs/node_copy.h"

#include <algorithm>
#include <optional>

#include "disk/sector_io.h"
#include "fs/exfat_reader.h"
#include "fs/fat_state.h"
#include "fs/ntfs_state.h"

namespace orvaldi::fs {
namespace {

using platform::SectorSource;
using platform::Status;

// Passes reads through and notes where each short one stopped, so that the
// result can name the sectors that zeros stand in for, including those of
// the reads behind a record (an attribute list, a run list).
// Passes at most `limit` bytes on; the copy is stopped once they are out.
class LimitSink final : public DataSink {
 public:
  LimitSink(DataSink& inner, uint64_t limit) : inner_(inner), limit_(limit) {}
  bool begin(uint64_t length) override {
    begun_ = true;
    return inner_.begin(length);
  }
  bool write(const uint8_t* data, size_t length) override {
    const auto n = static_cast<size_t>(std::min<uint64_t>(length, limit_ - passed_));
    if (n > 0 && !inner_.write(data, n)) return false;
    passed_ += n;
    return true;
  }
  bool writeZeros(uint64_t length) override {
    const uint64_t n = std::min(length, limit_ - passed_);
    if (n > 0 && !inner_.writeZeros(n)) return false;
    passed_ += n;
    return true;
  }
  bool full() const { return passed_ >= limit_; }
  bool begun() const { return begun_; }
  uint64_t passed() const { return passed_; }

 private:
  DataSink& inner_;
  uint64_t limit_;
  uint64_t passed_ = 0;
  bool begun_ = false;
};

class UnreadNotes final : public SectorSource {
 public:
  // `sink` tells how far the copy had come when a read first came back short.
  UnreadNotes(SectorSource& inner, std::vector<uint64_t>& sectors, const LimitSink& sink)
      : inner_(inner), sectors_(sectors), sink_(sink) {}
  platform::ReadOutcome readAt(uint64_t offset, std::span<uint8_t> out) override {
    const platform::ReadOutcome r = inner_.readAt(offset, out);
    if (r.bytes < out.size()) {
      if (shortReads_++ == 0) passedBeforeShortRead_ = sink_.passed();
      if (sectors_.size() < NodeCopy::kMaxNotedSectors) sectors_.push_back((offset + r.bytes) / disk::SectorSize);
    }
    return r;
  }
  uint64_t size() const override { return inner_.size(); }
  uint64_t shortReads() const { return shortReads_; }
  // Bytes the sink had taken before the first short read; every byte before
  // them came from the disk.
  uint64_t passedBeforeShortRead() const { return passedBeforeShortRead_; }

 private:
  SectorSource& inner_;
  std::vector<uint64_t>& sectors_;
  const LimitSink& sink_;
  uint64_t shortReads_ = 0;
  uint64_t passedBeforeShortRead_ = 0;
};

// Begins the sink with `length` and runs `copy` unless that is refused.
template <typename Copy>
CopyResult Begin(LimitSink& sink, uint64_t length, Copy&& copy) {
  if (!sink.begin(length)) return {CopyStatus::kWriteFailed, 0, false, false};
  // Nothing of a file without data can be missing.
  if (length == 0) return {};
  return copy();
}

bool FatWasRead(const disk::PartitionInfo& partition, const FatScanState* state) {
  return state && !state->fatCopy.empty() && FatEntryCount(partition, *state) > 0;
}

CopyResult CopyFat(SectorSource* source, const disk::PartitionInfo& partition, const FatNode& node, LimitSink& sink,
                   const PieceFn& piece, const CopyRequest& request, uint64_t& length) {
  const FatScanState* state = FindFatState(partition);
  const bool fatRead = FatWasRead(partition, state);
  const uint32_t first = request.firstCluster != 0 ? request.firstCluster : node.firstCluster;
  const bool existing = KindOf(node.flags) == node_kind::kFile;
  length = std::min<uint64_t>(node.size, request.limit);
  return Begin(sink, length, [&] {
    switch (request.fatClusters) {
      case FatClusters::kChain:
        if (existing && fatRead) return CopyFatChain(source, partition, *state, first, length, sink, piece);
        if (!existing && fatRead) return CopyFatDeleted(source, partition, *state, first, length, sink, piece);
        break;
      case FatClusters::kContiguous:
        break;
      case FatClusters::kKnownOnly:
        // Less than a cluster, or no chain to follow: the first cluster alone.
        if (existing && fatRead && length >= FatClusterBytes(partition))
          return CopyFatChain(source, partition, *state, first, length, sink, piece);
        return CopyFatContiguous(source, partition, first, std::min(length, FatClusterBytes(partition)), sink, piece);
    }
    return CopyFatContiguous(source, partition, first, length, sink, piece);
  });
}

// Pieces of a file found by its content are read 2 MiB at a time, as the
// sector search that found it reads.
constexpr uint64_t kContentPieceBytes = 2ull << 20;

CopyResult CopyNtfs(SectorSource* source, const disk::PartitionInfo& partition, const NodeRef& node, LimitSink& sink,
                    const PieceFn& piece, const CopyRequest& request, uint64_t& length) {
  const NtfsNode& file = *node.ntfs();
  if (node.foundByContent()) {
    length = std::min(file.size, request.limit);
    return Begin(sink, length, [&] {
      return CopySectors(source, partition, file.recordNumber, length, sink, piece, kContentPieceBytes);
    });
  }
  const NtfsScanState* state = FindNtfsState(partition);
  DecodedRecord record;
  if (!state || !ReadNtfsRecord(source, partition, *state, file.recordNumber, record))
    return {CopyStatus::kNoData, 0, false, false};
  if (node.isStream()) {
    const auto& streams = record.streams;
    const auto it =
        std::find_if(streams.begin(), streams.end(), [&](const NtfsStream& s) { return s.name == file.streamName; });
    // The record no longer holds the stream (read again after a change).
    if (it == streams.end()) {
      if (!sink.begin(0)) return {CopyStatus::kWriteFailed, 0, false, false};
      return {CopyStatus::kNoData, 0, false, false};
    }
    const DecodedRecord data = StreamAsData(record, *it);
    length = std::min(NtfsDataSize(data), request.limit);
    return Begin(sink, length, [&] { return CopyNtfsData(source, partition, data, sink, piece); });
  }
  length = std::min(NtfsDataSize(record), request.limit);
  return Begin(sink, length, [&] { return CopyNtfsData(source, partition, record, sink, piece); });
}

// An exFAT file through its runs; bytes past its valid data length are zeros.
CopyResult CopyExfat(SectorSource* source, const disk::PartitionInfo& partition, const ExfatNode& node, LimitSink& sink,
                     const PieceFn& piece, const CopyRequest& request, uint64_t& length) {
  const ExfatScanState* state = FindExfatState(partition);
  if (!state) return {CopyStatus::kNoData, 0, false, false};
  length = std::min(node.size, request.limit);
  return Begin(sink, length, [&] { return CopyExfatData(source, partition, *state, node, length, sink, piece); });
}

// A carved file's bytes as far as the source holds them. Its size may come
// from a damaged or edited scan-result file and run far past the disk's
// end, where there is nothing of it to read. `source` is null for dynamic
// volumes, which are not cut here.
uint64_t CarvedSizeOnSource(SectorSource* source, const NodeRef& node) {
  if (source == nullptr) return node.size();
  const uint64_t end = source->size() / disk::SectorSize;
  const uint64_t start = node.carvedSector();
  return start >= end ? 0 : std::min(node.size(), (end - start) * disk::SectorSize);
}

// What is cut off at the source's end leaves the file not intact, as does a
// file the carver found broken off (when the copy was to reach its end).
CopyResult CopyCarved(SectorSource* source, const disk::PartitionInfo& partition, const NodeRef& node, LimitSink& sink,
                      const PieceFn& piece, const CopyRequest& request, uint64_t& length) {
  const uint64_t wanted = std::min(node.size(), request.limit);
  length = std::min(CarvedSizeOnSource(source, node), wanted);
  CopyResult result =
      Begin(sink, length, [&] { return CopySectors(source, partition, node.carvedSector(), length, sink, piece); });
  if (result.status == CopyStatus::kComplete && (length < wanted || (wanted == node.size() && !node.carved()->intact)))
    result.damaged = true;
  return result;
}

std::string SectorList(const std::vector<uint64_t>& sectors, uint64_t reads) {
  std::string text = sectors.size() == 1 ? "sector " : "sectors ";
  for (size_t i = 0; i < sectors.size(); ++i) text += (i ? ", " : "") + std::to_string(sectors[i]);
  if (reads > sectors.size()) text += " and " + std::to_string(reads - sectors.size()) + " more";
  return text + " could not be read";
}

}  // namespace

NodeCopy CopyNode(SectorSource* source, const disk::PartitionInfo& partition, const NodeRef& node, DataSink& sink,
                  const CopyRequest& request) {
  NodeCopy out;
  if (!node.isFileLike()) {
    out.status = Status::kFailed;
    out.failure = CopyFailure::kNoData;
    out.message = "\"" + node.name() + "\" is not a file";
    return out;
  }
  // On the stack: a save calls this once per file.
  LimitSink limited(sink, request.limit);
  std::optional<UnreadNotes> notes;
  if (source) notes.emplace(*source, out.unreadSectors, limited);
  SectorSource* reader = notes ? &*notes : nullptr;
  bool stoppedByCaller = false;
  const PieceFn piece = [&](uint64_t n) {
    if (request.piece && !request.piece(n)) {
      stoppedByCaller = true;
      return false;
    }
    return !limited.full();
  };
  CopyResult r{CopyStatus::kNoData, 0, false, false};
  switch (node.family()) {
    case NodeFamily::kFat:
      r = CopyFat(reader, partition, *node.fat(), limited, piece, request, out.length);
      break;
    case NodeFamily::kNtfs:
      r = CopyNtfs(reader, partition, node, limited, piece, request, out.length);
      break;
    case NodeFamily::kCarved:
      r = CopyCarved(reader, partition, node, limited, piece, request, out.length);
      break;
    case NodeFamily::kExfat:
      r = CopyExfat(reader, partition, *node.exfat(), limited, piece, request, out.length);
      break;
    case NodeFamily::kNone:
      break;
  }
  out.written = limited.passed();
  out.readFromDisk = notes && notes->shortReads() > 0 ? notes->passedBeforeShortRead() : out.written;
  // The leading bytes asked for are all out: the copy stopped itself.
  if (r.status == CopyStatus::kCancelled && !stoppedByCaller && limited.full()) r.status = CopyStatus::kComplete;
  out.readErrors = r.readErrors || (notes && notes->shortReads() > 0);
  out.damaged = r.damaged;
  switch (r.status) {
    case CopyStatus::kComplete:
      if (out.readErrors) {
        out.status = Status::kPartial;
        out.message = out.unreadSectors.empty() ? "some sectors could not be read"
                                                : SectorList(out.unreadSectors, notes->shortReads());
      } else if (out.damaged) {
        out.status = Status::kPartial;
        out.message = "its chain or data is not fully known";
      }
      break;
    case CopyStatus::kCancelled:
      out.status = Status::kCancelled;
      break;
    case CopyStatus::kWriteFailed:
      out.status = Status::kFailed;
      out.failure = CopyFailure::kSink;
      out.message = "the target refused a write";
      break;
    case CopyStatus::kNoData:
      out.status = Status::kFailed;
      out.failure = limited.begun() ? CopyFailure::kNoData : CopyFailure::kNoRecord;
      out.message = limited.begun() ? "the data of \"" + node.name() + "\" could not be located"
                                    : "the MFT record of \"" + node.name() + "\" could not be read";
      break;
  }
  return out;
}

}  // namespace orvaldi::fs
