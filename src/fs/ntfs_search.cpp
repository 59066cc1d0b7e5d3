// NTFS record search by sector, with content tests for compound documents and JPEG pictures.
#include "fs/ntfs_search.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "disk/bytes.h"
#include "disk/ntfs_layout.h"
#include "disk/recognisers.h"
#include "disk/sector_io.h"
#include "fs/compound_file.h"
#include "fs/formats/registry.h"
#include "fs/ntfs_placement.h"
#include "fs/ntfs_reader.h"
#include "fs/ntfs_record.h"
#include "fs/ntfs_state.h"
#include "platform/text.h"

namespace orvaldi::fs {

namespace ntfs = disk::ntfs;
namespace {

using disk::ByteView;
using disk::PartitionInfo;
using platform::SectorSource;

constexpr uint32_t kSector = 512;
constexpr uint64_t kBlockSectors = 61440;
constexpr uint64_t kLowestNumber = 27;
constexpr uint64_t kJpegWindow = 0xA00000;  // 10 MiB
// Extension records kept for joining to their base records: far more than
// any real volume has, and at most a few hundred MiB.
constexpr size_t kMaxExtensionRecords = 1u << 18;
// Copies of $MFT's record 0 whose runs are followed: the mirror's and a few
// left by earlier formats.
constexpr size_t kMaxMftCopies = 8;

// True when the data extents map every cluster below the data size: runs
// lost with an extension record leave a gap or stop short.
bool ExtentsCoverData(const DecodedRecord& r, uint64_t clusterBytes) {
  if (!r.nonResidentData) return true;
  if (!r.hasDataSizes || clusterBytes == 0) return false;
  std::vector<std::pair<uint64_t, uint64_t>> spans;  // first VCN, clusters
  for (const NtfsDataExtent& e : r.dataExtents) {
    uint64_t clusters = 0;
    for (const NtfsRun& run : e.runs)
      clusters = run.length > UINT64_MAX - clusters ? UINT64_MAX : clusters + run.length;
    spans.emplace_back(e.firstVcn, clusters);
  }
  std::sort(spans.begin(), spans.end());
  const uint64_t needed = r.dataSize / clusterBytes + (r.dataSize % clusterBytes != 0);
  uint64_t next = 0;
  for (const auto& [vcn, clusters] : spans) {
    if (next >= needed) break;
    if (vcn > next) return false;
    next = std::max(next, clusters > UINT64_MAX - vcn ? UINT64_MAX : vcn + clusters);
  }
  return next >= needed;
}

class SectorSearch {
 public:
  SectorSearch(SectorSource* source, disk::DiskInfo& disk, PartitionInfo& part, platform::ProgressBlock& progress)
      : source_(source), disk_(disk), part_(part), progress_(progress), state_(NtfsStateOf(part)), placer_(state_) {}

  bool setUp(bool emptyRoot);
  void wholePartition(const DeepSearchCheckpoints* checkpoints = nullptr);
  void listedRuns();
  void finish() {
    if (!cancelled_) readSplitRecords();
    joinExtensions();
    if (!cancelled_) placer_.reparent();
  }

 private:
  // A failed read is split down to sectors, so that a bad sector costs only
  // itself; the sectors that cannot be read are noted as read problems.
  void read(uint64_t sector, uint64_t count, uint8_t* out) {
    unread_.clear();
    if (!disk::ReadVolumeSectorsSalvaging(source_, &part_, sector, count, out, unread_)) noteUnread();
  }
  void noteUnread();
  uint64_t partitionEnd() const { return part_.startSector + part_.sectorCount; }
  // Where a sweep of the partition ends: at the end of the source when the
  // partition records more, which is said once rather than tried (and noted)
  // sector by sector.
  uint64_t sweepEnd();
  // Tries the record slot at absolute sector `sector`; false when it holds no valid record.
  bool trySlot(uint8_t* bytes, uint64_t sector);
  // The number of the record at absolute `sector` by its place in the runs of a
  // $MFT record 0 met so far; false when no known run holds a record start there.
  bool numberByPosition(uint64_t sector, uint64_t& number) const;
  void tryCompoundDocument(const uint8_t* bytes, uint64_t sector, std::span<const uint8_t> block, uint64_t blockStart);
  bool tryJpeg(uint64_t sector, std::span<const uint8_t> block, uint64_t blockStart);
  // Examines again what a stopped search found before `state.next`.
  void replay(const DeepSearchState& state);
  void noteFind(uint64_t sector, char kind) {
    if (logging_) log_.finds.emplace_back(sector, kind);
  }
  // `count` bytes at absolute `sector`, from the block when it holds them, else from the disk.
  std::vector<uint8_t> bytesAt(uint64_t sector, size_t count, std::span<const uint8_t> block, uint64_t blockStart);
  void addFound(NtfsNode node, uint64_t startSector);
  // Decodes and places a base record; false when it is dropped.
  void place(DecodedRecord& r);
  // Base records whose attribute list names other records are decoded once
  // every record has been seen, with the extension records found anywhere.
  void joinExtensions();
  // Keeps the data runs of a $MFT record 0 met at `sector`.
  void noteMftRuns(std::span<uint8_t> record, uint64_t sector);
  // With clusters smaller than records, a record may begin at the end of one
  // $MFT piece and end at the start of the next: no sector holds it whole.
  // Such records are put together through the runs of $MFT's record 0.
  void readSplitRecords();

  SectorSource* source_;
  disk::DiskInfo& disk_;
  PartitionInfo& part_;
  platform::ProgressBlock& progress_;
  NtfsScanState& state_;
  NtfsPlacer placer_;
  uint32_t recordBytes_ = 1024;
  bool cancelled_ = false;
  bool dropCarved_ = false;
  std::multimap<uint64_t, std::vector<uint8_t>> extensions_;         // number -> copies
  std::vector<std::pair<uint64_t, std::vector<uint8_t>>> withList_;  // number, record
  uint64_t mftSector_ = 0;                         // where the boot sector puts $MFT (0: no boot sector)
  std::vector<std::vector<NtfsRun>> mftRunLists_;  // distinct ones met, at most kMaxMftCopies
  std::vector<uint64_t> unread_;
  std::set<uint64_t> noted_;  // unreadable sectors already noted (reads overlap)
  bool logging_ = false;      // keeping `log_` for checkpoints
  DeepSearchState log_;
};

void SectorSearch::noteUnread() {
  const uint64_t sourceEnd = source_ && source_->size() != 0 ? source_->size() / kSector : UINT64_MAX;
  auto& problems = state_.readProblems;
  for (const uint64_t sector : unread_) {
    if (!noted_.insert(sector).second) continue;
    if (logging_) {
      if (!log_.unread.empty() && log_.unread.back().first + log_.unread.back().second == sector)
        ++log_.unread.back().second;
      else
        log_.unread.emplace_back(sector, 1);
    }
    const bool pastEnd = sector >= sourceEnd;
    // Neighbouring sectors make one problem.
    if (!problems.empty() && problems.back().pastEnd == pastEnd &&
        problems.back().where.ends_with("-" + std::to_string(sector - 1))) {
      problems.back().where = "sectors " + std::to_string(problems.back().sector) + "-" + std::to_string(sector);
      continue;
    }
    problems.push_back({"sectors " + std::to_string(sector) + "-" + std::to_string(sector), sector, "", pastEnd});
  }
}

bool SectorSearch::setUp(bool emptyRoot) {
  part_.bytesPerSector = kSector;
  if (emptyRoot) state_.clearForRescan();
  state_.numberIndex.emplace(5, &state_.root);
  state_.numberIndex.emplace(1, &state_.extension);
  state_.numberIndex.emplace(2, &state_.orphans);
  if (source_ == nullptr) return false;
  // A readable boot sector tells the record size; a damaged volume keeps 1,024.
  std::vector<uint8_t> boot(kSector);
  read(part_.startSector, 1, boot.data());
  if (disk::IsNtfsBootSectorAnyHidden(boot)) {
    const ntfs::BootSector b{ByteView(boot)};
    const uint32_t spc = disk::NtfsClusterSectors(boot);
    const uint32_t bytes = disk::NtfsRecordBytes(b.clustersPerRecordCode(), spc);
    if (bytes == 1024 || bytes == 4096) recordBytes_ = bytes;
    if (part_.sectorsPerCluster == 0) part_.sectorsPerCluster = spc;
    if (spc != 0 && b.mftCluster() < part_.sectorCount / spc) mftSector_ = part_.startSector + b.mftCluster() * spc;
  }
  state_.recordBytes = recordBytes_;
  return true;
}

bool SectorSearch::trySlot(uint8_t* bytes, uint64_t sector) {
  std::span<uint8_t> record(bytes, recordBytes_);
  if (!disk::CheckUpdateSequence(record)) return false;
  // Records are looked for at every sector: a table that starts at an odd
  // cluster of a 512-byte-cluster volume, or a later piece of it, puts every
  // record at an odd sector.
  const ntfs::RecordHeader header{ByteView(record)};
  // A record of the older layout keeps no number of its own (its update sequence
  // lies where the number would be): record 0 is the one where the boot sector
  // puts $MFT, any other is numbered by its place in the runs record 0 gave.
  uint64_t number = 0;
  if (header.hasNumberField())
    number = header.recordNumber();
  else if (sector != mftSector_ && !numberByPosition(sector, number))
    return true;  // a record, but nothing tells which
  if (number == 0) noteMftRuns(record, sector);
  if (number < kLowestNumber) return true;
  if (!state_.recordPositions.emplace(number, sector).second) state_.duplicatePositions.emplace(number, sector);
  if (ntfs::RecordOf(header.baseReference()) != 0) {
    // An extension record is part of its base record, never a file of its own.
    if (extensions_.size() < kMaxExtensionRecords)
      extensions_.emplace(number, std::vector(record.begin(), record.end()));
    return true;
  }
  DecodedRecord r;
  if (!DecodeRecord(record, number, DecodeMode::kFound, r, {})) return true;
  if (r.hasAttributeList) {
    withList_.emplace_back(number, std::vector(record.begin(), record.end()));
    return true;
  }
  place(r);
  return true;
}

void SectorSearch::place(DecodedRecord& r) {
  if (r.kind == 0 || r.attributesEndedEarly || r.parentNumber() == 0) return;
  if (!ExtentsCoverData(r, uint64_t{part_.sectorsPerCluster} * kSector)) r.dataIncomplete = true;
  for (NtfsStream& s : r.streams)
    if (!ExtentsCoverData(StreamAsData(r, s), uint64_t{part_.sectorsPerCluster} * kSector)) s.incomplete = true;
  if (dropCarved_ && r.nonResidentData && !r.runs.empty() && !r.runs.front().sparse && part_.sectorsPerCluster) {
    state_.carvedDuplicates.push_back(part_.startSector + r.runs.front().firstCluster * part_.sectorsPerCluster);
  }
  placer_.placeFound(r);
}

void SectorSearch::joinExtensions() {
  for (auto& [number, record] : withList_) {
    const uint64_t base = number;
    // The copy that names this record as its base: a reused record number
    // may have been found with another base too.
    const RecordFetcher fetch = [&](uint64_t n, std::vector<uint8_t>& out) {
      auto [lo, hi] = extensions_.equal_range(n);
      for (auto it = lo; it != hi; ++it) {
        if (ntfs::RecordOf(ntfs::RecordHeader(ByteView(it->second)).baseReference()) != base) continue;
        out = it->second;
        return true;
      }
      return false;
    };
    const StreamReader readStream = [&](const std::vector<NtfsRun>& runs, uint64_t size, std::vector<uint8_t>& out) {
      return ReadAttributeStream(source_, part_, runs, size, out);
    };
    DecodedRecord r;
    if (DecodeRecord(record, number, DecodeMode::kFull, r, fetch, readStream)) place(r);
  }
  withList_.clear();
  extensions_.clear();
}

void SectorSearch::noteMftRuns(std::span<uint8_t> record, uint64_t sector) {
  if (mftRunLists_.size() >= kMaxMftCopies) return;
  DecodedRecord r;
  if (!DecodeRecord(record, 0, DecodeMode::kFound, r, {}) || r.name != "$MFT" || !r.nonResidentData) return;
  // The extents of the base record, in VCN order, as long as they follow on.
  std::sort(r.dataExtents.begin(), r.dataExtents.end(),
            [](const NtfsDataExtent& a, const NtfsDataExtent& b) { return a.firstVcn < b.firstVcn; });
  std::vector<NtfsRun> runs;
  uint64_t vcn = 0;
  for (const NtfsDataExtent& e : r.dataExtents) {
    if (e.firstVcn != vcn) break;
    for (const NtfsRun& run : e.runs) {
      if (run.length > UINT64_MAX - vcn) return;
      vcn += run.length;
      runs.push_back(run);
    }
  }
  if (runs.empty() || std::find_if(mftRunLists_.begin(), mftRunLists_.end(), [&](const std::vector<NtfsRun>& l) {
                        return std::equal(
                            l.begin(), l.end(), runs.begin(), runs.end(), [](const NtfsRun& a, const NtfsRun& b) {
                              return a.firstCluster == b.firstCluster && a.length == b.length && a.sparse == b.sparse;
                            });
                      }) != mftRunLists_.end())
    return;
  // Extraction reads records the search could not read whole through these.
  if (state_.mftRuns.empty() && sector == mftSector_) state_.mftRuns = runs;
  mftRunLists_.push_back(std::move(runs));
}

bool SectorSearch::numberByPosition(uint64_t sector, uint64_t& number) const {
  const uint64_t spc = part_.sectorsPerCluster;
  const uint64_t recordSectors = recordBytes_ / kSector;
  if (spc == 0 || sector < part_.startSector) return false;
  const uint64_t inPartition = sector - part_.startSector;
  for (const std::vector<NtfsRun>& runs : mftRunLists_) {
    uint64_t tableSector = 0;  // where the current run begins in the table
    for (const NtfsRun& run : runs) {
      if (run.length > UINT64_MAX / spc || run.length * spc > UINT64_MAX - tableSector) break;
      const uint64_t sectors = run.length * spc;
      if (!run.sparse && run.firstCluster <= inPartition / spc && inPartition - run.firstCluster * spc < sectors) {
        const uint64_t at = tableSector + (inPartition - run.firstCluster * spc);
        if (at % recordSectors != 0) break;
        number = at / recordSectors;
        return true;
      }
      tableSector += sectors;
    }
  }
  return false;
}

void SectorSearch::readSplitRecords() {
  const uint64_t spc = part_.sectorsPerCluster;
  const uint64_t recordSectors = recordBytes_ / kSector;
  if (spc == 0 || spc >= recordSectors) return;  // records never cross a cluster edge
  std::vector<uint8_t> record(recordBytes_);
  for (const std::vector<NtfsRun>& runs : mftRunLists_) {
    // Absolute sector of each sector of the table, piece by piece.
    const auto sectorOf = [&](uint64_t offset, uint64_t& out) {
      for (const NtfsRun& run : runs) {
        if (run.length > (UINT64_MAX / spc)) return false;
        const uint64_t n = run.length * spc;
        if (offset < n) {
          if (run.sparse || run.firstCluster > (part_.sectorCount - offset) / spc) return false;
          out = part_.startSector + run.firstCluster * spc + offset;
          return out < partitionEnd();
        }
        offset -= n;
      }
      return false;
    };
    uint64_t pieceEnd = 0;  // table sector where the next piece starts
    for (size_t i = 0; i + 1 < runs.size(); ++i) {
      if (runs[i].length > (UINT64_MAX - pieceEnd) / spc) break;
      pieceEnd += runs[i].length * spc;
      if (pieceEnd % recordSectors == 0) continue;
      const uint64_t number = pieceEnd / recordSectors;
      uint64_t first = 0;
      bool mapped = true;
      for (uint64_t k = 0; k < recordSectors && mapped; ++k) {
        uint64_t at = 0;
        mapped = sectorOf(number * recordSectors + k, at);
        if (!mapped) break;
        if (k == 0) first = at;
        read(at, 1, record.data() + k * kSector);
      }
      if (!mapped) continue;
      // Already found whole (the pieces lie side by side), or the number does not fit its place.
      const auto seen = state_.recordPositions.find(number);
      if (seen != state_.recordPositions.end() && seen->second == first) continue;
      const auto [lo, hi] = state_.duplicatePositions.equal_range(number);
      if (std::any_of(lo, hi, [&](const auto& d) { return d.second == first; })) continue;
      std::vector<uint8_t> check = record;
      if (!disk::CheckUpdateSequence(check)) continue;
      if (const ntfs::RecordHeader h{ByteView(check)}; h.hasNumberField() && h.recordNumber() != number) continue;
      trySlot(record.data(), first);
    }
  }
}

std::vector<uint8_t> SectorSearch::bytesAt(uint64_t sector, size_t count, std::span<const uint8_t> block,
                                           uint64_t blockStart) {
  std::vector<uint8_t> out(count, 0);
  if (sector >= partitionEnd()) return out;
  const uint64_t offset = (sector - blockStart) * kSector;
  if (sector >= blockStart && offset + count <= block.size()) {
    std::memcpy(out.data(), block.data() + offset, count);
    return out;
  }
  // Beyond the block: read from the disk, never past the partition's end.
  const uint64_t sectors = std::min<uint64_t>((count + kSector - 1) / kSector, partitionEnd() - sector);
  std::vector<uint8_t> buf(sectors * kSector);
  read(sector, sectors, buf.data());
  std::memcpy(out.data(), buf.data(), std::min<size_t>(count, buf.size()));
  return out;
}

void SectorSearch::addFound(NtfsNode node, uint64_t startSector) {
  node.flags = node_kind::kDeletedFile;
  node.recordNumber = startSector;
  node.parentNumber = 1;
  state_.extension.children.push_back(std::move(node));
  NtfsNode* placed = &state_.extension.children.back();
  state_.contentIndex.emplace(startSector, placed);
  state_.nameIndex.add(placed);
}

void SectorSearch::tryCompoundDocument(const uint8_t* bytes, uint64_t sector, std::span<const uint8_t> block,
                                       uint64_t blockStart) {
  const ByteView header(bytes, kSector);
  const std::vector<uint8_t> headerBytes(bytes, bytes + kSector);
  // The summary is read through the document's own tables; reads beyond the
  // current block go to the disk and stop at the partition's end.
  const DocumentSummary summary = ReadDocumentSummary(headerBytes, [&](uint64_t index, uint32_t sectors) {
    if (index > partitionEnd() - sector) return std::vector<uint8_t>{};
    return bytesAt(sector + index, size_t{sectors} * kSector, block, blockStart);
  });
  const std::string& title = summary.title;
  const std::string& author = summary.author;
  const std::string& application = summary.application;
  std::string extension;
  if (application == "Microsoft Office Word") extension = ".doc";
  if (application == "Microsoft Excel") extension = ".xls";
  if (application == "Microsoft PowerPoint") extension = ".ppt";
  NtfsNode node;
  node.name = (title.empty() ? author : title) + std::to_string(sector) + extension;
  // The allocation table's sector count x 128 sectors, bounded by the partition.
  const uint64_t claimed = uint64_t{kSector} * header.le32(0x2C) * 128;
  node.size = std::min(claimed, (partitionEnd() - sector) * kSector);
  addFound(std::move(node), sector);
}

bool SectorSearch::tryJpeg(uint64_t sector, std::span<const uint8_t> block, uint64_t blockStart) {
  const auto window = bytesAt(sector, kJpegWindow, block, blockStart);
  const ByteView w(window);
  for (uint64_t k = 0; k + 4 < 0xA00002 && k + 1 < window.size(); ++k) {
    if (window[k] != 0xFF || window[k + 1] != 0xD9) continue;
    const uint64_t m = (k + 4) % 512;
    bool ends = m == 0;
    if (!ends) {
      const uint64_t r = 512 - m;
      if (r > 8) {
        ends = w.allZero(k + 2, 8);
      } else {
        for (uint64_t i = 0; i < r && !ends; ++i) ends = w.u8(k + 2 + i) == 0 && w.contains(k + 2 + i, 1);
      }
    }
    if (!ends) continue;
    const uint64_t size = k + 4;
    if (size >= kJpegWindow) return false;
    NtfsNode node;
    node.name = std::to_string(sector) + ".jpg";
    node.size = size;
    addFound(std::move(node), sector);
    return true;
  }
  return false;
}

void SectorSearch::replay(const DeepSearchState& state) {
  // The unreadable sectors first, in their order: the reads below meet only these.
  for (const auto& [first, count] : state.unread) {
    for (uint64_t done = 0; done < count;) {
      const uint64_t n = std::min<uint64_t>(count - done, 4096);
      unread_.clear();
      for (uint64_t k = 0; k < n; ++k) unread_.push_back(first + done + k);
      noteUnread();
      done += n;
    }
  }
  const uint64_t recordSectors = recordBytes_ / kSector;
  std::vector<uint8_t> bytes(recordBytes_);
  for (const auto& [sector, kind] : state.finds) {
    if (sector < part_.startSector || sector >= state.next || sector >= partitionEnd()) continue;
    if (kind == DeepSearchState::kRecord) {
      if (partitionEnd() - sector < recordSectors) continue;
      read(sector, recordSectors, bytes.data());
      trySlot(bytes.data(), sector);
    } else if (kind == DeepSearchState::kDocument) {
      read(sector, 1, bytes.data());
      tryCompoundDocument(bytes.data(), sector, {}, sector);
    } else if (kind == DeepSearchState::kJpeg) {
      tryJpeg(sector, {}, sector);
    }
  }
}

uint64_t SectorSearch::sweepEnd() {
  const uint64_t end = partitionEnd();
  if (part_.volumeKind != disk::VolumeKind::kPlain || source_ == nullptr || source_->size() == 0) return end;
  const uint64_t sourceEnd = std::max(source_->size() / kSector, part_.startSector);
  if (end <= sourceEnd) return end;
  state_.readProblems.push_back(
      {"sectors " + std::to_string(sourceEnd) + "-" + std::to_string(end - 1), sourceEnd, "", true});
  return sourceEnd;
}

void SectorSearch::wholePartition(const DeepSearchCheckpoints* checkpoints) {
  const uint64_t start = part_.startSector;
  const uint64_t end = sweepEnd();
  progress_.beginStage(static_cast<int64_t>(part_.sectorCount), 0);
  const uint64_t recordSectors = recordBytes_ / kSector;
  uint64_t from = start;
  const DeepSearchState* resume = checkpoints ? checkpoints->resume : nullptr;
  if (resume) {
    replay(*resume);
    from = resume->complete ? end : std::clamp(resume->next, start, end);
  }
  logging_ = checkpoints != nullptr && checkpoints->save;
  if (logging_ && resume) {
    log_.finds = resume->finds;
    log_.unread = resume->unread;
  }
  const auto save = [&](uint64_t next, bool complete) {
    if (!logging_) return;
    log_.next = next;
    log_.complete = complete;
    checkpoints->save(log_);
  };
  auto lastSave = std::chrono::steady_clock::now();
  const uint64_t stopAt = checkpoints ? checkpoints->stopAt : UINT64_MAX;
  std::vector<uint8_t> block;
  // Blocks keep their places from the partition's start, also when the
  // search goes on from a sector inside one: the reads are those of a search
  // never stopped.
  for (uint64_t b = from; b < end && !cancelled_;) {
    const uint64_t blockEnd = std::min(start + ((b - start) / kBlockSectors + 1) * kBlockSectors, end);
    if (progress_.cancelled()) {
      cancelled_ = true;
      save(b, false);
      break;
    }
    if (logging_ && std::chrono::steady_clock::now() - lastSave >= checkpoints->interval) {
      save(b, false);
      lastSave = std::chrono::steady_clock::now();
    }
    // The block plus what a record starting in its last sectors needs.
    const uint64_t sectors = blockEnd - b;
    const uint64_t withOverlap = std::min(sectors + recordSectors - 1, end - b);
    block.resize(withOverlap * kSector);  // every byte is read over (or zeroed) below
    read(b, withOverlap, block.data());
    for (uint64_t i = 0; i < sectors; ++i) {
      const uint64_t sector = b + i;
      if (sector >= stopAt) progress_.requestCancel();
      if (progress_.cancelled()) {
        cancelled_ = true;
        save(sector, false);
        break;
      }
      uint8_t* bytes = block.data() + i * kSector;
      const bool maybeRecord = std::memcmp(bytes, "FILE", 4) == 0 || std::memcmp(bytes, "FHDL", 4) == 0;
      if (maybeRecord && (i + recordSectors) * kSector <= block.size()) {
        // The check restores the protected words in place; keep a copy for the content tests.
        std::vector<uint8_t> copy(bytes, bytes + recordBytes_);
        if (trySlot(copy.data(), sector)) {
          noteFind(sector, DeepSearchState::kRecord);
          continue;
        }
      }
      const ByteView head(bytes, kSector);
      if (formats::kOle2.signature(head)) {
        tryCompoundDocument(bytes, sector, block, b);
        noteFind(sector, DeepSearchState::kDocument);
      } else if (formats::kJpeg.signature(head)) {
        if (tryJpeg(sector, block, b)) noteFind(sector, DeepSearchState::kJpeg);
      }
    }
    const uint64_t done = blockEnd - start;
    progress_.setText(std::to_string(done) + " 扇区被扫描");
    progress_.setPosition(done);
    b = blockEnd;
  }
  if (!cancelled_) save(end, true);
}

void SectorSearch::listedRuns() {
  dropCarved_ = true;
  state_.carvedDuplicates.clear();
  const uint64_t start = part_.startSector;
  const uint64_t end = partitionEnd();
  uint64_t total = 0;
  for (const auto& [first, count] : disk_.mftRecordRuns)
    if (first >= start && first < end) total += count;
  progress_.beginStage(static_cast<int64_t>(total), 2);
  const uint64_t recordSectors = recordBytes_ / kSector;
  std::vector<uint8_t> block;
  uint64_t position = 0;
  // The runs lie in disk order but may touch or overlap: each stretch they
  // cover together is read once, block by block, and every run's slots (each
  // second sector from its start) are tried in it, a slot shared by two runs
  // once. Thousands of one-record runs then cost one pass over their stretch.
  struct Cursor {
    uint64_t next, end;
  };
  std::vector<Cursor> active;
  std::vector<uint64_t> slots;
  auto run = disk_.mftRecordRuns.begin();
  while (run != disk_.mftRecordRuns.end() && !cancelled_) {
    if (run->first < start || run->first >= end) {
      ++run;
      continue;
    }
    // The stretch: this run and every later one that begins before it ends.
    uint64_t stretchEnd = std::min(run->first + run->second, end);
    auto last = std::next(run);
    while (last != disk_.mftRecordRuns.end() && last->first <= stretchEnd && last->first < end) {
      stretchEnd = std::max(stretchEnd, std::min(last->first + last->second, end));
      ++last;
    }
    active.clear();
    for (uint64_t b = run->first; b < stretchEnd && !cancelled_; b += kBlockSectors) {
      if (progress_.cancelled()) {
        cancelled_ = true;
        break;
      }
      const uint64_t blockEnd = std::min(b + kBlockSectors, stretchEnd);
      for (; run != last && run->first < blockEnd; ++run)
        active.push_back({run->first, std::min(run->first + run->second, end)});
      slots.clear();
      for (Cursor& c : active)
        for (; c.next < c.end && c.next < blockEnd; c.next += 2) slots.push_back(c.next);
      std::erase_if(active, [](const Cursor& c) { return c.next >= c.end; });
      std::sort(slots.begin(), slots.end());
      slots.erase(std::unique(slots.begin(), slots.end()), slots.end());
      // Only what the slots need (and the tail of the last record).
      const uint64_t sectors = std::min(blockEnd - b + recordSectors - 1, end - b);
      block.assign(sectors * kSector, 0);
      read(b, sectors, block.data());
      for (const uint64_t slot : slots) {
        if ((slot - b + recordSectors) > sectors) continue;
        trySlot(block.data() + (slot - b) * kSector, slot);
        position += 2;
        progress_.setPosition(position);
      }
    }
    run = last;
  }
}

}  // namespace

bool SearchNtfsVolume(SectorSource* source, disk::DiskInfo& disk, PartitionInfo& partition,
                      platform::ProgressBlock& progress, const DeepSearchCheckpoints* checkpoints) {
  SectorSearch search(source, disk, partition, progress);
  if (!search.setUp(true)) return false;
  search.wholePartition(checkpoints);
  search.finish();
  return true;
}

bool SearchListedRuns(SectorSource* source, disk::DiskInfo& disk, PartitionInfo& partition,
                      platform::ProgressBlock& progress) {
  SectorSearch search(source, disk, partition, progress);
  if (!search.setUp(false)) return false;
  search.listedRuns();
  search.finish();
  return true;
}

}  // namespace orvaldi::fs
