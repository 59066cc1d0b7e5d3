// The save walk over scanned trees and carved files, and the two ways of running it.
#include "raw/save_engine.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "disk/sector_io.h"
#include "disk/volume_source.h"
#include "fs/extract.h"
#include "fs/fat_state.h"
#include "fs/ntfs_state.h"

namespace orvaldi::raw {
namespace {

// A carved file's bytes as far as the source holds them. Its size may come
// from a damaged or edited scan-result file and run far past the disk's
// end, where there is nothing of it to read. `source` is null for dynamic
// volumes, which are not cut here.
uint64_t CarvedSizeOnSource(platform::SectorSource* source, const fs::NodeRef& node) {
  if (source == nullptr) return node.size();
  const uint64_t end = source->size() / disk::SectorSize;
  const uint64_t start = node.carvedSector();
  return start >= end ? 0 : std::min(node.size(), (end - start) * disk::SectorSize);
}

// What is cut off at the source's end leaves the file not intact, as does a
// file the carver found broken off.
fs::CopyResult CopyCarved(platform::SectorSource* source, const disk::PartitionInfo& partition, const fs::NodeRef& node,
                          fs::DataSink& sink, const fs::PieceFn& piece) {
  const uint64_t size = CarvedSizeOnSource(source, node);
  fs::CopyResult result = fs::CopySectors(source, partition, node.carvedSector(), size, sink, piece);
  if (size < node.size() || !node.carved()->intact) result.damaged = true;
  return result;
}

using fs::CopyResult;
using fs::CopyStatus;

// Writes a target file whose length was set beforehand: holes are skipped.
class FileSink final : public fs::DataSink {
 public:
  explicit FileSink(int fd) : fd_(fd) {}
  bool write(const uint8_t* data, size_t length) override {
    while (length > 0) {
      const ssize_t n = ::write(fd_, data, length);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        error = n < 0 ? errno : ENOSPC;
        return false;
      }
      data += n;
      length -= static_cast<size_t>(n);
    }
    return true;
  }
  bool writeZeros(uint64_t length) override {
    if (::lseek(fd_, static_cast<off_t>(length), SEEK_CUR) < 0) {
      error = errno;
      return false;
    }
    return true;
  }
  int error = 0;

 private:
  int fd_;
};

// State shared by every worker of one save.
struct SharedState {
  const SaveSettings& settings;
  std::mutex lock;  // progress calls, the name asker and the log
  std::atomic<uint64_t> savedBytes{0};
  std::atomic<uint64_t> stepBytes{0};
  std::atomic<uint64_t> files{0}, bytes{0}, skipped{0}, damaged{0}, failed{0};
  uint64_t unit = 0;  // pool: bytes per progress step
  bool pool = false;

  explicit SharedState(const SaveSettings& s) : settings(s) {}
  bool cancelled() const { return settings.progress && settings.progress->cancelled(); }
  void log(const std::string& line) {
    if (!settings.log) return;
    std::lock_guard<std::mutex> guard(lock);
    settings.log(line);
  }
};

// A file the options take: carved files by the filter alone, the others by
// the deleted/existing choices too.
bool Wanted(const fs::NodeRef& node, const SaveOptions& o) {
  if (node.family() != fs::NodeFamily::kCarved) {
    if (node.kind() == fs::node_kind::kDeletedFile && !o.recoverDeleted) return false;
    if (node.kind() == fs::node_kind::kFile && !o.recoverExisting) return false;
  }
  return FilterMatches(o.filter, node.name());
}

bool FatWasRead(const disk::PartitionInfo& partition, const fs::FatScanState* state) {
  return state && !state->fatCopy.empty() && fs::FatEntryCount(partition, *state) > 0;
}

CopyResult CopyFatFile(platform::SectorSource* source, const disk::PartitionInfo& partition, const fs::FatNode& node,
                       fs::DataSink& sink, const fs::PieceFn& piece) {
  const fs::FatScanState* state = fs::FindFatState(partition);
  const bool fatRead = FatWasRead(partition, state);
  if (fs::KindOf(node.flags) == fs::node_kind::kFile && fatRead)
    return fs::CopyFatChain(source, partition, *state, node.firstCluster, node.size, sink, piece);
  uint32_t first = node.firstCluster;
  const std::string extension = ExtensionOf(node.name);
  const bool deleted = fs::IsDeletedKind(node.flags);
  if (deleted && node.size > 0 && IsKnownExtension(extension, KnownList::kFull)) {
    UsedClusterSet used;
    const auto starts = StartClusterSearch(source, partition, extension, node.firstCluster, node.size, used);
    if (!starts.empty()) first = starts.front();
  }
  if (deleted && fatRead) return fs::CopyFatDeleted(source, partition, *state, first, node.size, sink, piece);
  return fs::CopyFatContiguous(source, partition, first, node.size, sink, piece);
}

CopyResult CopyNtfsFile(platform::SectorSource* source, const disk::PartitionInfo& partition, const fs::NtfsNode& node,
                        fs::DataSink& sink, const fs::PieceFn& piece) {
  if (node.parentNumber == 1) return fs::CopySectors(source, partition, node.recordNumber, node.size, sink, piece);
  const fs::NtfsScanState* state = fs::FindNtfsState(partition);
  fs::DecodedRecord record;
  if (!state || !fs::ReadNtfsRecord(source, partition, *state, node.recordNumber, record))
    return {fs::CopyStatus::kNoData, 0, false, false};
  return fs::CopyNtfsData(source, partition, record, sink, piece);
}

class SaveWalk {
 public:
  SaveWalk(SharedState& shared, platform::SectorSource* source, const SaveJob& job, KnownList known)
      : shared_(shared),
        options_(shared.settings.options),
        source_(source),
        part_(*job.partition),
        known_(known),
        fatState_(fs::FindFatState(part_)),
        ntfsState_(fs::FindNtfsState(part_)) {
    useFat_ = options_.useFat && FatWasRead(part_, fatState_);
    if (useFat_) seedUsedClusters();
  }

  void item(const SaveItem& it) {
    std::string target = options_.target;
    for (const std::string& folder : it.folders) {
      auto name = checkName(folder);
      if (!name) return;
      target += "/" + *name;
    }
    walk(it.node, target);
  }

 private:
  bool stopped() const { return shared_.cancelled() || names_.stop; }

  std::optional<std::string> checkName(const std::string& name) {
    NameAsker ask;
    if (shared_.settings.ask) {
      ask = [this](const std::string& old, const std::string& proposed) {
        std::lock_guard<std::mutex> guard(shared_.lock);
        return shared_.settings.ask(old, proposed);
      };
    }
    auto checked = CheckName(name, names_, ask);
    if (!checked) {
      ++shared_.skipped;
      shared_.log("跳过: " + name);
    }
    return checked;
  }

  // Existing files of a known type keep deleted ones from being matched to
  // their first cluster, whatever the order of the walk.
  void seedUsedClusters() {
    fatState_->nameIndex.forEach([&](const fs::FatNode* node) {
      if (fs::KindOf(node->flags) == fs::node_kind::kFile && IsKnownExtension(ExtensionOf(node->name), known_))
        used_.add(node->firstCluster);
    });
  }

  // --- progress -------------------------------------------------------

  void fileStarted() {
    if (shared_.pool || !shared_.settings.progress) return;
    std::lock_guard<std::mutex> guard(shared_.lock);
    shared_.settings.progress->beginStage(100, 1);
  }

  // After each piece of a file of `size` bytes; false when cancelled.
  bool piece(uint64_t n, uint64_t written, uint64_t size, bool ntfsTotals) {
    const uint64_t saved = shared_.savedBytes += n;
    platform::ProgressBlock* progress = shared_.settings.progress;
    if (progress) {
      std::lock_guard<std::mutex> guard(shared_.lock);
      if (shared_.pool) {
        progress->setText(SavedBytesText(saved));
        // One step per unit passed; a piece of several units moves the bar
        // by several steps, so it reaches its end with the last byte.
        if (shared_.unit != 0) {
          for (uint64_t pending = shared_.stepBytes += n; pending >= shared_.unit; pending -= shared_.unit) {
            shared_.stepBytes -= shared_.unit;
            progress->step();
          }
        }
      } else {
        progress->setText(ntfsTotals ? SavedTotalText(ntfsTotal_) : SavedBytesText(written));
        progress->setPosition(size ? written * 100 / size : 100);
      }
    }
    return !shared_.cancelled();
  }

  // --- writing one file ----------------------------------------------

  using Copy = std::function<CopyResult(fs::DataSink&, const fs::PieceFn&)>;

  // Creates a free target for `path`, sets its length and runs `copy`.
  void writeFile(const std::string& path, uint64_t size, bool ntfsTotals, const Copy& copy) {
    std::string used;
    const int fd = CreateTargetFile(path, &used);
    if (fd < 0) {
      ++shared_.skipped;
      shared_.log("无法创建: " + path + ": " + std::strerror(errno));
      return;
    }
    fileStarted();
    FileSink sink(fd);
    CopyResult result;
    if (size > 0 && ::ftruncate(fd, static_cast<off_t>(size)) != 0) {
      result.status = CopyStatus::kWriteFailed;
      sink.error = errno;
    } else if (size > 0) {
      uint64_t written = 0;
      const fs::PieceFn onPiece = [&](uint64_t n) {
        written += n;
        return piece(n, written, size, ntfsTotals);
      };
      result = copy(sink, onPiece);
    }
    // A file that was not completed keeps only what was written.
    if (result.status != CopyStatus::kComplete && ::ftruncate(fd, static_cast<off_t>(result.written)) != 0)
      sink.error = errno;
    if (::close(fd) != 0 && result.status == CopyStatus::kComplete) {
      result.status = CopyStatus::kWriteFailed;
      sink.error = errno;
    }
    // A file that did not get a single byte is no file: an empty one left in
    // the target would look like a recovered empty file.
    if (result.status != CopyStatus::kComplete && result.written == 0) ::unlink(used.c_str());
    shared_.bytes += result.written;
    switch (result.status) {
      case CopyStatus::kComplete:
        ++shared_.files;
        if (result.readErrors || result.damaged) {
          ++shared_.damaged;
          shared_.log(std::string(result.readErrors ? "有坏扇区: " : "数据不完整: ") + used);
        }
        break;
      case CopyStatus::kCancelled:
        shared_.log("已取消: " + used);
        break;
      case CopyStatus::kWriteFailed:
        // What was written stays, as a file that is not intact; a file
        // without a byte was removed and counts as failed.
        if (result.written > 0) {
          ++shared_.files;
          ++shared_.damaged;
        } else {
          ++shared_.failed;
        }
        shared_.log("写入失败: " + used + ": " + std::strerror(sink.error ? sink.error : EIO));
        break;
      case CopyStatus::kNoData:
        ++shared_.failed;
        shared_.log("找不到数据: " + used);
        break;
    }
  }

  // --- the walk ----------------------------------------------------------

  void walk(const fs::NodeRef& node, const std::string& target) {
    if (stopped()) return;
    if (node.family() == fs::NodeFamily::kNtfs) {
      // NTFS saves show the total of what the walk has passed.
      ntfsTotal_ += node.size();
      if (shared_.settings.progress && !shared_.pool) {
        std::lock_guard<std::mutex> guard(shared_.lock);
        shared_.settings.progress->setText(SavedTotalText(ntfsTotal_));
      }
    }
    auto name = checkName(node.name());
    if (!name) return;
    const std::string path = target + "/" + *name;
    if (node.isFolderLike()) {
      // Folders are made with the first file saved into them.
      node.forEachChild([&](const fs::NodeRef& child) {
        if (!stopped()) walk(child, path);
      });
      return;
    }
    if (node.isFileLike() && Wanted(node, options_)) copy(node, path);
  }

  // The copies are where the families differ.
  void copy(const fs::NodeRef& node, const std::string& path) {
    switch (node.family()) {
      case fs::NodeFamily::kFat:
        if (node.isDeleted() || !useFat_) {
          fatContiguous(*node.fat(), path, node.isDeleted());
          return;
        }
        if (IsKnownExtension(ExtensionOf(node.name()), known_)) used_.add(node.fat()->firstCluster);
        writeFile(path, node.size(), false, [&](fs::DataSink& sink, const fs::PieceFn& onPiece) {
          return fs::CopyFatChain(source_, part_, *fatState_, node.fat()->firstCluster, node.size(), sink, onPiece);
        });
        return;
      case fs::NodeFamily::kNtfs:
        ntfsFile(*node.ntfs(), path);
        return;
      case fs::NodeFamily::kCarved:
        // Written with its exact size; the sectors past it belong to other data.
        writeFile(path, CarvedSizeOnSource(source_, node), false, [&](fs::DataSink& sink, const fs::PieceFn& onPiece) {
          return CopyCarved(source_, part_, node, sink, onPiece);
        });
        return;
      case fs::NodeFamily::kNone:
        return;
    }
  }

  void fatContiguous(const fs::FatNode& node, const std::string& path, bool deleted) {
    // A deleted file's clusters are the free ones from its first on, when the
    // FAT was read and is to be consulted; otherwise plain contiguous clusters.
    auto copyFrom = [&](uint32_t cluster) {
      return [this, &node, cluster, deleted](fs::DataSink& sink, const fs::PieceFn& onPiece) {
        if (deleted && useFat_)
          return fs::CopyFatDeleted(source_, part_, *fatState_, cluster, node.size, sink, onPiece);
        return fs::CopyFatContiguous(source_, part_, cluster, node.size, sink, onPiece);
      };
    };
    const std::string extension = ExtensionOf(node.name);
    if (deleted && node.size > 0 && IsKnownExtension(extension, known_)) {
      const auto starts = StartClusterSearch(source_, part_, extension, node.firstCluster, node.size, used_);
      for (const uint32_t cluster : starts) {
        if (stopped()) return;
        writeFile(path, node.size, false, copyFrom(cluster));
      }
      // No header confirmed: the entry's own cluster is still the best guess.
      if (!starts.empty()) return;
    }
    writeFile(path, node.size, false, copyFrom(node.firstCluster));
  }

  void ntfsFile(const fs::NtfsNode& node, const std::string& path) {
    if (node.parentNumber == 1) {
      // Found by content: the record-number field is the start sector.
      writeFile(path, node.size, true, [&](fs::DataSink& sink, const fs::PieceFn& onPiece) {
        return fs::CopySectors(source_, part_, node.recordNumber, node.size, sink, onPiece, 2ull << 20);
      });
      return;
    }
    fs::DecodedRecord record;
    if (!ntfsState_ || !fs::ReadNtfsRecord(source_, part_, *ntfsState_, node.recordNumber, record)) {
      ++shared_.failed;
      shared_.log("mft错误: " + path);
      return;
    }
    writeFile(path, fs::NtfsDataSize(record), true, [&](fs::DataSink& sink, const fs::PieceFn& onPiece) {
      return fs::CopyNtfsData(source_, part_, record, sink, onPiece);
    });
  }

  SharedState& shared_;
  const SaveOptions& options_;
  platform::SectorSource* source_;
  const disk::PartitionInfo& part_;
  KnownList known_;
  const fs::FatScanState* fatState_;
  const fs::NtfsScanState* ntfsState_;
  bool useFat_ = false;
  NameCheckState names_;
  UsedClusterSet used_;
  uint64_t ntfsTotal_ = 0;
};

// Runs one job on the calling thread with its own disk handle.
bool RunJob(SharedState& shared, const SaveJob& job, KnownList known) {
  const disk::OpenedVolume source = disk::OpenVolumeSource(*job.disk, *job.partition);
  if (!source.source) return false;
  SaveWalk walk(shared, source.source.get(), job, known);
  for (const SaveItem& item : job.items) {
    if (shared.cancelled()) break;
    walk.item(item);
  }
  return true;
}

uint64_t TreeSize(const fs::NodeRef& node, const SaveOptions& o) {
  if (node.isFolderLike()) {
    uint64_t sum = 0;
    node.forEachChild([&](const fs::NodeRef& child) { sum += TreeSize(child, o); });
    return sum;
  }
  return Wanted(node, o) ? node.size() : 0;
}

std::optional<uint64_t> FreeOnTarget(const SaveSettings& settings) {
  return settings.freeSpace ? settings.freeSpace(settings.options.target) : FreeBytes(settings.options.target);
}

SaveSummary Summarize(SharedState& shared) {
  SaveSummary s;
  s.files = shared.files;
  s.bytes = shared.bytes;
  s.skipped = shared.skipped;
  s.damaged = shared.damaged;
  s.failed = shared.failed;
  s.cancelled = shared.cancelled();
  return s;
}

}  // namespace

uint64_t JobSize(const SaveJob& job, const SaveOptions& options) {
  uint64_t total = 0;
  for (const SaveItem& item : job.items) total += TreeSize(item.node, options);
  return total;
}

fs::CopyResult CopyFileData(platform::SectorSource* source, const disk::PartitionInfo& partition,
                            const fs::NodeRef& node, fs::DataSink& sink, const fs::PieceFn& piece) {
  if (!node.isFileLike()) return {fs::CopyStatus::kNoData, 0, false, false};
  switch (node.family()) {
    case fs::NodeFamily::kFat:
      return CopyFatFile(source, partition, *node.fat(), sink, piece);
    case fs::NodeFamily::kNtfs:
      return CopyNtfsFile(source, partition, *node.ntfs(), sink, piece);
    case fs::NodeFamily::kCarved:
      return CopyCarved(source, partition, node, sink, piece);
    case fs::NodeFamily::kNone:
      break;
  }
  return {fs::CopyStatus::kNoData, 0, false, false};
}

bool PrepareTargetFolder(const std::string& target) {
  return MakeFolders(target) && ::access(target.c_str(), W_OK | X_OK) == 0;
}

std::string CheckTargetFolder(const disk::DiskInfo& disk, const std::string& target) {
  if (target.empty()) return "选择保存路径";
  if (TargetOnSourceDevice(disk, target)) return "目标文件夹在正被恢复的磁盘上，保存会覆盖要恢复的数据，请选择其他磁盘";
  return {};
}

SaveSummary SaveSelected(const SaveJob& job, const SaveSettings& settings) {
  SaveSummary summary;
  if (!job.disk || !job.partition) return summary;
  summary.refusal = CheckTargetFolder(*job.disk, settings.options.target);
  if (!summary.refusal.empty()) return summary;
  const uint64_t size = JobSize(job, settings.options);
  const auto free = FreeOnTarget(settings);
  if (free && size >= *free) {
    summary.refusal = NotEnoughSpaceText(size);
    return summary;
  }
  SharedState shared(settings);
  const KnownList known = KnownList::kFull;
  if (!RunJob(shared, job, known)) {
    summary = Summarize(shared);
    summary.sourceFailures = 1;
    return summary;
  }
  return Summarize(shared);
}

SaveSummary SaveChecked(const std::vector<SaveJob>& jobs, const SaveSettings& settings, unsigned workers) {
  SaveSummary summary;
  if (jobs.empty()) return summary;
  uint64_t total = 0;
  for (const SaveJob& job : jobs) {
    if (!job.disk || !job.partition) return summary;
    summary.refusal = CheckTargetFolder(*job.disk, settings.options.target);
    if (!summary.refusal.empty()) return summary;
    total += JobSize(job, settings.options);
  }
  const auto free = FreeOnTarget(settings);
  if (free && total > *free) {
    summary.refusal = "目标盘剩余空间不足，请重新选择盘!";
    return summary;
  }
  SharedState shared(settings);
  shared.pool = true;
  shared.unit = total / 100;
  if (settings.progress) settings.progress->beginStage(100, 1);

  workers = std::clamp<unsigned>(workers, 1, kMaxSaveWorkers);
  workers = std::min<unsigned>(workers, static_cast<unsigned>(jobs.size()));
  std::atomic<size_t> nextJob{0};
  std::atomic<uint64_t> sourceFailures{0};
  // Each worker takes the next job not yet started, in list order, until
  // none is left or the operator cancels.
  auto worker = [&] {
    while (!shared.cancelled()) {
      const size_t i = nextJob++;
      if (i >= jobs.size()) break;
      if (!RunJob(shared, jobs[i], KnownList::kShort)) ++sourceFailures;
    }
  };
  std::vector<std::thread> threads;
  for (unsigned i = 1; i < workers; ++i) threads.emplace_back(worker);
  worker();
  for (auto& t : threads) t.join();
  summary = Summarize(shared);
  summary.sourceFailures = sourceFailures;
  return summary;
}

}  // namespace orvaldi::raw
