// NTFS walk scan: boot sector, $MFT runs, the table walk, and placement under parents.
#include "fs/ntfs_reader.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "disk/bytes.h"
#include "disk/ntfs_layout.h"
#include "disk/recognisers.h"
#include "disk/sector_io.h"
#include "fs/ntfs_placement.h"
#include "fs/ntfs_search.h"
#include "fs/ntfs_state.h"

namespace orvaldi::fs {

namespace ntfs = disk::ntfs;
namespace {

using disk::ByteView;
using disk::PartitionInfo;
using platform::SectorSource;

constexpr uint32_t kSector = 512;
// The MFT is read 2 MiB at a time: as fast as larger reads on a sequential
// stream, and a listing of a big volume keeps its memory for the tree.
constexpr uint64_t kBlockSectors = 4096;
constexpr int kMaxResolveDepth = 1000;

bool ReadAt(SectorSource* source, const PartitionInfo& part, uint64_t sector, uint64_t count, uint8_t* out) {
  return disk::ReadVolumeSectors(source, &part, sector, count, out);
}

// Sectors of the MFT as one stream: a record may straddle two runs when
// clusters are smaller than records, so records are addressed by their
// sector offset in the table, not run by run.
uint64_t MftSectors(const PartitionInfo& part, const NtfsScanState& state) {
  uint64_t total = 0;
  for (const NtfsRun& run : state.mftRuns)
    if (!run.sparse) total += run.length * part.sectorsPerCluster;
  return total;
}

// A sector of the MFT stream that could not be read: its offset in the
// stream and its absolute number on the disk.
struct BadMftSector {
  uint64_t offset = 0;
  uint64_t sector = 0;
};

// Reads `count` sectors of the MFT stream from sector `offset` of it; what
// lies past the runs stays zero. A failed read is split down to sectors, so
// that only the sectors that cannot be read stay zero; they are appended to
// `bad` in stream order. False when nothing of it is mapped.
bool ReadMftSectors(SectorSource* source, const PartitionInfo& part, const NtfsScanState& state, uint64_t offset,
                    uint64_t count, uint8_t* out, std::vector<BadMftSector>& bad) {
  std::memset(out, 0, count * kSector);
  const uint64_t spc = part.sectorsPerCluster;
  uint64_t runStart = 0;  // stream sector where the current run begins
  bool any = false;
  std::vector<uint64_t> unread;
  for (const NtfsRun& run : state.mftRuns) {
    if (run.sparse || count == 0) continue;
    const uint64_t runSectors = run.length * spc;
    if (offset < runStart + runSectors) {
      const uint64_t within = offset - runStart;
      const uint64_t n = std::min(count, runSectors - within);
      const uint64_t first = part.startSector + run.firstCluster * spc + within;
      unread.clear();
      disk::ReadVolumeSectorsSalvaging(source, &part, first, n, out, unread);
      for (const uint64_t sector : unread) bad.push_back({offset + (sector - first), sector});
      out += n * kSector;
      offset += n;
      count -= n;
      any = true;
    }
    runStart += runSectors;
  }
  return any;
}

bool FetchRecord(SectorSource* source, const PartitionInfo& part, const NtfsScanState& state, uint64_t number,
                 std::vector<uint8_t>& record) {
  const uint64_t recordSectors = state.recordBytes / kSector;
  if (part.sectorsPerCluster == 0 || recordSectors == 0 || number > UINT64_MAX / recordSectors) return false;
  if ((number + 1) * recordSectors > MftSectors(part, state)) return false;
  record.assign(state.recordBytes, 0);
  std::vector<BadMftSector> bad;
  if (!ReadMftSectors(source, part, state, number * recordSectors, recordSectors, record.data(), bad)) return false;
  return bad.empty() && disk::CheckUpdateSequence(record) == 1;
}

}  // namespace

bool ReadAttributeStream(SectorSource* source, const PartitionInfo& part, const std::vector<NtfsRun>& runs,
                         uint64_t size, std::vector<uint8_t>& out) {
  out.assign(size, 0);
  const uint64_t spc = part.sectorsPerCluster;
  if (spc == 0) return size == 0;
  const uint64_t clusterBytes = spc * kSector;
  const uint64_t volumeClusters = part.sectorCount != 0 ? part.sectorCount / spc : UINT64_MAX / spc;
  uint64_t done = 0;
  std::vector<uint8_t> buffer;
  for (const NtfsRun& run : runs) {
    if (done >= size) break;
    if (run.length == 0) continue;
    // A sparse run or one that leaves the volume holds none of the stream's bytes.
    if (run.sparse || run.firstCluster >= volumeClusters || run.length > volumeClusters - run.firstCluster)
      return false;
    const uint64_t bytes = std::min(size - done, run.length * clusterBytes);
    const uint64_t sectors = (bytes + kSector - 1) / kSector;
    buffer.assign(sectors * kSector, 0);
    const bool read = ReadAt(source, part, part.startSector + run.firstCluster * spc, sectors, buffer.data());
    std::memcpy(out.data() + done, buffer.data(), bytes);
    if (!read) return false;
    done += bytes;
  }
  return done == size;
}

namespace {

class NtfsWalk {
 public:
  NtfsWalk(SectorSource* source, disk::DiskInfo& disk, PartitionInfo& part, platform::ProgressBlock& progress)
      : source_(source), disk_(disk), part_(part), progress_(progress), state_(NtfsStateOf(part)), placer_(state_) {}

  bool run();

 private:
  bool readBoot();
  void readMftRuns();
  void probePastSingleRun();
  void walkTable();
  RecordFetcher fetcher() {
    return [this](uint64_t number, std::vector<uint8_t>& record) {
      return FetchRecord(source_, part_, state_, number, record);
    };
  }
  StreamReader streamReader() {
    return [this](const std::vector<NtfsRun>& runs, uint64_t size, std::vector<uint8_t>& out) {
      return ReadAttributeStream(source_, part_, runs, size, out);
    };
  }

  void place(const DecodedRecord& r);

  // The copy of record `slot` in $MFTMirr, checked and restored; null when
  // the mirror does not hold it or its copy is unreadable or damaged.
  const std::vector<uint8_t>* mirrorRecord(uint64_t slot);
  void readMirror(uint64_t records);
  // Notes record `slot` as unreadable from `sector` on, or, with `standIn`,
  // as taken from that copy; a record already noted is not noted again, and
  // a note for the record after the last noted one of the same kind widens it.
  void noteRecord(uint64_t slot, uint64_t sector, const char* standIn);
  // Places the folder record `number` read out of table order; null when it
  // cannot be placed (unreadable, not a folder, its own parent, a loop).
  NtfsNode* resolveParent(uint32_t number, int depth);
  // The node a record naming parent `p` goes under, resolving p when needed.
  NtfsNode* parentFor(uint32_t p, uint64_t child, int depth, bool& dropAsDuplicate);

  SectorSource* source_;
  disk::DiskInfo& disk_;
  PartitionInfo& part_;
  platform::ProgressBlock& progress_;
  NtfsScanState& state_;
  NtfsPlacer placer_;
  std::set<uint64_t> readByResolution_;
  std::set<uint32_t> resolving_;
  bool cancelled_ = false;
  uint64_t mirrorFirstSector_ = 0;  // absolute; 0 when the boot sector gives none
  bool mirrorRead_ = false;
  std::vector<std::vector<uint8_t>> mirror_;  // by slot; empty where the copy is unusable
  std::set<uint64_t> noted_;                  // record slots already noted as read problems
  uint64_t lastNoted_ = UINT64_MAX;           // the slot the last noted problem ends at
  uint64_t lastNotedFirst_ = 0;               // and the one it starts at
};

bool NtfsWalk::readBoot() {
  std::vector<uint8_t> boot(kSector);
  ReadAt(source_, part_, part_.startSector, 1, boot.data());
  // The backup lies in the partition's last sector; a volume found by its
  // boot sector is as long as that sector's count says, which leaves the
  // backup out, one sector further on.
  // On a disk of larger sectors the backup fills the last of them.
  const uint64_t perLogical = std::max<uint32_t>(1, disk::SectorsPerLogical(part_.bytesPerSector));
  const uint64_t lastLogical = part_.sectorCount >= perLogical ? part_.sectorCount - perLogical + 1 : 0;
  for (const uint64_t after : {part_.sectorCount, part_.sectorCount + 1, lastLogical}) {
    if (after == 0) continue;
    if (disk::IsNtfsBootSectorAnyHidden(boot) || part_.sectorCount == 0) break;
    ReadAt(source_, part_, part_.startSector + after - 1, 1, boot.data());
  }
  if (disk::IsNtfsBootSectorAnyHidden(boot)) {
    const ntfs::BootSector b{ByteView(boot)};
    // Clusters in 512-byte sectors, whatever the volume's own sector size.
    const uint32_t spc = disk::NtfsClusterSectors(boot);
    const uint32_t recordBytes = disk::NtfsRecordBytes(b.clustersPerRecordCode(), spc);
    const uint64_t mftCluster = b.mftCluster();
    if (spc != 0 && recordBytes >= kSector && recordBytes % kSector == 0 && mftCluster < (uint64_t{1} << 48)) {
      part_.bytesPerSector = b.bytesPerSector();
      part_.sectorsPerCluster = spc;
      state_.recordBytes = recordBytes;
      state_.indexRecordField = b.clustersPerIndexRecordField();
      state_.mftFirstSector = part_.startSector + mftCluster * spc;
      const uint64_t mirrorCluster = b.mftMirrorCluster();
      const uint64_t clusters = part_.sectorCount != 0 ? part_.sectorCount / spc : uint64_t{1} << 48;
      if (mirrorCluster != 0 && mirrorCluster < clusters && mirrorCluster < (uint64_t{1} << 48))
        mirrorFirstSector_ = part_.startSector + mirrorCluster * spc;
      return true;
    }
  }
  // Neither boot sector: go on with what earlier searches left on the record.
  return part_.sectorsPerCluster != 0;
}

void NtfsWalk::readMftRuns() {
  state_.mftRuns.clear();
  if (state_.mftFirstSector == 0) return;
  std::vector<uint8_t> record(state_.recordBytes);
  std::vector<uint64_t> bad;
  disk::ReadVolumeSectorsSalvaging(source_, &part_, state_.mftFirstSector, state_.recordBytes / kSector, record.data(),
                                   bad);
  bool valid = bad.empty() && disk::CheckUpdateSequence(record);
  if (!valid) {
    // $MFT's own record is the key to the whole table: its mirror copy stands in.
    if (const std::vector<uint8_t>* copy = mirrorRecord(0)) {
      record = *copy;
      valid = true;
      noteRecord(0, bad.empty() ? state_.mftFirstSector : bad.front(), "$MFTMirr");
    } else if (!bad.empty()) {
      noteRecord(0, bad.front(), nullptr);
    }
  }
  auto keepRuns = [&](const DecodedRecord& mft) {
    state_.mftRuns.clear();
    for (const NtfsRun& run : mft.runs)
      if (!(run.firstCluster == 0 && run.length == 0)) state_.mftRuns.push_back(run);
  };
  if (valid) {
    // A fragmented $MFT keeps its later runs in extension records, which are
    // found through the runs its own record gives: decode it twice.
    DecodedRecord own;
    if (DecodeRecord(record, 0, DecodeMode::kFull, own, {})) keepRuns(own);
    DecodedRecord whole;
    if (!state_.mftRuns.empty() && DecodeRecord(record, 0, DecodeMode::kFull, whole, fetcher(), streamReader()) &&
        whole.runs.size() > own.runs.size())
      keepRuns(whole);
  }
  if (state_.mftRuns.empty()) {
    // $MFT's own record is gone, but the table starts where the boot sector
    // says: an empty run there lets the probe below find how far it goes.
    const uint64_t spc = part_.sectorsPerCluster;
    if (state_.mftFirstSector >= part_.startSector && spc)
      state_.mftRuns.push_back(NtfsRun{0, (state_.mftFirstSector - part_.startSector) / spc, 0, false});
  }
  // Runs that leave the volume are cut at its end.
  if (part_.sectorCount != 0) {
    const uint64_t clusters = part_.sectorCount / part_.sectorsPerCluster;
    std::vector<NtfsRun> kept;
    for (NtfsRun run : state_.mftRuns) {
      if (run.sparse) continue;
      if (run.firstCluster >= clusters) break;
      if (run.length > clusters - run.firstCluster) {
        run.length = clusters - run.firstCluster;
        kept.push_back(run);
        break;
      }
      kept.push_back(run);
    }
    state_.mftRuns = std::move(kept);
  }
}

void NtfsWalk::probePastSingleRun() {
  if (state_.mftRuns.size() != 1) return;
  progress_.step();
  NtfsRun& only = state_.mftRuns.front();
  const uint64_t spc = part_.sectorsPerCluster;
  const uint64_t limit = part_.sectorCount ? part_.sectorCount / spc : UINT64_MAX;
  // Clusters smaller than a record are taken a record at a time.
  const uint64_t clusterBytes = spc * kSector;
  const uint64_t step = std::max<uint64_t>(1, state_.recordBytes / clusterBytes);
  const uint64_t readSectors = std::max<uint64_t>(spc, state_.recordBytes / kSector);
  std::vector<uint8_t> buf(readSectors * kSector);
  uint64_t count = 0;
  for (uint64_t c = only.firstCluster + only.length; c + step <= limit; c += step) {
    ReadAt(source_, part_, part_.startSector + c * spc, readSectors, buf.data());
    std::span<uint8_t> first(buf.data(), state_.recordBytes);
    if (!disk::CheckUpdateSequence(first)) break;
    count += step;
    if (progress_.cancelled()) break;
  }
  if (count == 0) return;
  if (only.length == 0) {
    only.length = count;  // the table found by probing alone
  } else {
    state_.mftRuns.push_back(NtfsRun{1, only.firstCluster + only.length, count, false});
  }
}

NtfsNode* NtfsWalk::parentFor(uint32_t p, uint64_t child, int depth, bool& dropAsDuplicate) {
  dropAsDuplicate = false;
  if (NtfsNode* parent = state_.numberIndex.find(p)) {
    if (!IsFolderLike(parent->flags)) return nullptr;  // the number now belongs to a file
    if (!parent->children.empty() && parent->children.back().recordNumber == child) dropAsDuplicate = true;
    return parent;
  }
  if (auto it = state_.secondaryIndex.find(p); it != state_.secondaryIndex.end()) return it->second;
  return resolveParent(p, depth + 1);
}

NtfsNode* NtfsWalk::resolveParent(uint32_t number, int depth) {
  if (depth > kMaxResolveDepth || resolving_.count(number)) return nullptr;  // a loop in the parent chain
  DecodedRecord r;
  std::vector<uint8_t> record;
  if (!FetchRecord(source_, part_, state_, number, record)) return nullptr;
  if (!DecodeRecord(record, number, DecodeMode::kFull, r, fetcher(), streamReader()) || r.kind == 0) return nullptr;
  if (!IsFolderLike(r.kind) || r.parentNumber() == number) return nullptr;
  resolving_.insert(number);
  bool duplicate = false;
  NtfsNode* parent = parentFor(r.parentNumber(), r.number, depth, duplicate);
  NtfsNode* placed = parent ? placer_.attach(*parent, NtfsPlacer::NodeOf(r))
                            : placer_.intoPlaceholder(r.parentNumber(), NtfsPlacer::NodeOf(r));
  resolving_.erase(number);
  readByResolution_.insert(number);
  return placed;
}

void NtfsWalk::place(const DecodedRecord& r) {
  bool duplicate = false;
  NtfsNode* parent = parentFor(r.parentNumber(), r.number, 0, duplicate);
  if (duplicate) return;
  if (parent) {
    placer_.attach(*parent, NtfsPlacer::NodeOf(r));
  } else {
    placer_.intoPlaceholder(r.parentNumber(), NtfsPlacer::NodeOf(r));
  }
}

const std::vector<uint8_t>* NtfsWalk::mirrorRecord(uint64_t slot) {
  if (!mirrorRead_) {
    mirrorRead_ = true;
    if (mirrorFirstSector_ == 0) return nullptr;
    readMirror(4);
    // The mirror holds the first four records, or as many as $MFTMirr's own
    // data says (more where a cluster holds more than four records).
    std::vector<uint8_t> own;
    const std::vector<uint8_t>* mirrorOwn = FetchRecord(source_, part_, state_, 1, own) ? &own : nullptr;
    if (!mirrorOwn && mirror_.size() > 1 && !mirror_[1].empty()) mirrorOwn = &mirror_[1];
    DecodedRecord r;
    if (mirrorOwn && DecodeRecord(*mirrorOwn, 1, DecodeMode::kListing, r, {}) && r.nonResidentData) {
      constexpr uint64_t kMostMirrored = 256;
      const uint64_t records = std::min(r.size / state_.recordBytes, kMostMirrored);
      if (records > mirror_.size()) readMirror(records);
    }
  }
  return slot < mirror_.size() && !mirror_[slot].empty() ? &mirror_[slot] : nullptr;
}

void NtfsWalk::readMirror(uint64_t records) {
  const uint64_t recordSectors = state_.recordBytes / kSector;
  if (part_.sectorCount != 0) {
    const uint64_t end = part_.startSector + part_.sectorCount;
    records = std::min(records, (end - std::min(end, mirrorFirstSector_)) / recordSectors);
  }
  mirror_.assign(records, {});
  std::vector<uint8_t> bytes(records * state_.recordBytes);
  std::vector<uint64_t> bad;
  disk::ReadVolumeSectorsSalvaging(source_, &part_, mirrorFirstSector_, records * recordSectors, bytes.data(), bad);
  for (uint64_t slot = 0; slot < records; ++slot) {
    const uint64_t first = mirrorFirstSector_ + slot * recordSectors;
    const bool whole = std::none_of(bad.begin(), bad.end(),
                                    [&](uint64_t sector) { return sector >= first && sector < first + recordSectors; });
    std::span<uint8_t> record(bytes.data() + slot * state_.recordBytes, state_.recordBytes);
    if (!whole || !disk::CheckUpdateSequence(record)) continue;
    // A stale record left in the mirror's cluster is no copy of this slot.
    const ntfs::RecordHeader header{ByteView(record)};
    if (header.hasNumberField() && header.recordNumber() != slot) continue;
    mirror_[slot].assign(record.begin(), record.end());
  }
}

void NtfsWalk::noteRecord(uint64_t slot, uint64_t sector, const char* standIn) {
  if (!noted_.insert(slot).second) return;
  const uint64_t sourceSectors = source_ && source_->size() != 0 ? source_->size() / kSector : UINT64_MAX;
  const bool pastEnd = sector >= sourceSectors;
  const std::string copy = standIn ? standIn : "";
  auto& problems = state_.readProblems;
  if (lastNoted_ != UINT64_MAX && slot == lastNoted_ + 1 && problems.back().standIn == copy &&
      problems.back().pastEnd == pastEnd) {
    problems.back().where = "$MFT records " + std::to_string(lastNotedFirst_) + "-" + std::to_string(slot);
  } else {
    problems.push_back({"$MFT record " + std::to_string(slot), sector, copy, pastEnd});
    lastNotedFirst_ = slot;
  }
  lastNoted_ = slot;
}

void NtfsWalk::walkTable() {
  const uint64_t recordSectors = state_.recordBytes / kSector;
  const uint64_t total = MftSectors(part_, state_) / recordSectors;
  progress_.beginStage(static_cast<int64_t>(total), 1);

  const uint64_t perBlock = std::max<uint64_t>(1, kBlockSectors / recordSectors);
  std::vector<uint8_t> block;
  std::vector<BadMftSector> bad;
  uint64_t examined = 0;
  const RecordFetcher fetch = fetcher();
  const StreamReader readStream = streamReader();
  for (uint64_t first = 0; first < total && !cancelled_; first += perBlock) {
    const uint64_t records = std::min(perBlock, total - first);
    block.resize(records * state_.recordBytes);
    bad.clear();
    ReadMftSectors(source_, part_, state_, first * recordSectors, records * recordSectors, block.data(), bad);
    auto nextBad = bad.begin();
    for (uint64_t i = 0; i < records; ++i) {
      const uint64_t slot = first + i;
      // The record's first unreadable sector, if any: only that record is lost.
      uint64_t badSector = 0;
      bool unread = false;
      for (; nextBad != bad.end() && nextBad->offset < (slot + 1) * recordSectors; ++nextBad) {
        if (!unread) badSector = nextBad->sector;
        unread = true;
      }
      progress_.step();
      if (progress_.cancelled()) {
        cancelled_ = true;
        break;
      }
      if (readByResolution_.count(slot)) continue;
      std::span<uint8_t> record(block.data() + i * state_.recordBytes, state_.recordBytes);
      if (unread || !disk::CheckUpdateSequence(record)) {
        const std::vector<uint8_t>* copy = mirrorRecord(slot);
        if (copy) {
          std::copy(copy->begin(), copy->end(), record.begin());
          noteRecord(slot, unread ? badSector : state_.mftFirstSector + slot * recordSectors, "$MFTMirr");
        } else if (unread) {
          noteRecord(slot, badSector, nullptr);
        }
        if (!copy) continue;
      }
      progress_.setText(std::to_string(++examined) + " 项被找到");
      const ntfs::RecordHeader header{ByteView(record)};
      const uint64_t number = header.hasNumberField() ? header.recordNumber() : slot;
      DecodedRecord r;
      if (!DecodeRecord(record, number, DecodeMode::kListing, r, fetch, readStream) || r.kind == 0) continue;
      if (ntfs::RecordOf(r.baseReference) != 0) continue;  // an extension of another record
      if (r.parentNumber() == 0) continue;
      if (number < 12 && r.parentNumber() == 5) continue;  // the system files in the root
      place(r);
    }
  }
}

bool NtfsWalk::run() {
  if (source_ == nullptr) return false;
  if (!readBoot()) return false;

  const auto& runs = disk_.mftRecordRuns;
  auto first = runs.upper_bound(part_.startSector);
  if (first != runs.end() && part_.sectorCount != 0 && first->first < part_.startSector + part_.sectorCount)
    return SearchListedRuns(source_, disk_, part_, progress_);

  readMftRuns();
  if (state_.mftRuns.empty()) return false;
  probePastSingleRun();

  state_.numberIndex.emplace(5, &state_.root);
  state_.numberIndex.emplace(2, &state_.orphans);
  walkTable();
  return true;
}

}  // namespace

bool ReadRecordByNumber(SectorSource* source, const PartitionInfo& partition, const NtfsScanState& state,
                        uint64_t number, DecodedRecord& out) {
  std::vector<uint8_t> record;
  if (!FetchRecord(source, partition, state, number, record)) return false;
  RecordFetcher fetch = [&](uint64_t n, std::vector<uint8_t>& r) {
    return FetchRecord(source, partition, state, n, r);
  };
  StreamReader readStream = [&](const std::vector<NtfsRun>& runs, uint64_t size, std::vector<uint8_t>& bytes) {
    return ReadAttributeStream(source, partition, runs, size, bytes);
  };
  return DecodeRecord(record, number, DecodeMode::kFull, out, fetch, readStream);
}

bool ScanNtfsVolume(SectorSource* source, disk::DiskInfo& disk, PartitionInfo& partition,
                    platform::ProgressBlock& progress) {
  NtfsWalk walk(source, disk, partition, progress);
  return walk.run();
}

}  // namespace orvaldi::fs
