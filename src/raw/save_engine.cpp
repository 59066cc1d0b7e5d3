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
#include "fs/node_copy.h"

namespace orvaldi::raw {
namespace {

// Writes a target file that creates itself when the copy begins, so that a
// file whose record cannot be read leaves nothing behind; its length is set
// then and holes are skipped.
class FileSink final : public fs::DataSink {
 public:
  FileSink(std::string path, std::function<void()> started) : path_(std::move(path)), started_(std::move(started)) {}
  ~FileSink() override {
    if (fd_ >= 0) ::close(fd_);
  }
  bool begin(uint64_t length) override {
    fd_ = CreateTargetFile(path_, &used);
    if (fd_ < 0) {
      error = errno;
      return false;
    }
    if (started_) started_();
    length_ = length;
    if (length > 0 && ::ftruncate(fd_, static_cast<off_t>(length)) != 0) {
      error = errno;
      return false;
    }
    return true;
  }
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
  // Closes the file; false with `error` set when the close failed.
  bool close() {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) == 0) return true;
    error = errno;
    return false;
  }
  int fd() const { return fd_; }
  bool created() const { return fd_ >= 0; }
  uint64_t length() const { return length_; }
  std::string used;  // the name the target got
  int error = 0;

 private:
  std::string path_;
  std::function<void()> started_;
  int fd_ = -1;
  uint64_t length_ = 0;
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
  if (node.isStream() && !o.recoverStreams) return false;
  if (node.family() != fs::NodeFamily::kCarved) {
    if (node.kind() == fs::node_kind::kDeletedFile && !o.recoverDeleted) return false;
    if (node.kind() == fs::node_kind::kFile && !o.recoverExisting) return false;
  }
  return FilterMatches(o.filter, node.name());
}

bool FatWasRead(const disk::PartitionInfo& partition, const fs::FatScanState* state) {
  return state && !state->fatCopy.empty() && fs::FatEntryCount(partition, *state) > 0;
}

class SaveWalk {
 public:
  SaveWalk(SharedState& shared, platform::SectorSource* source, const SaveJob& job, KnownList known)
      : shared_(shared),
        options_(shared.settings.options),
        source_(source),
        part_(*job.partition),
        known_(known),
        fatState_(fs::FindFatState(part_)) {
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
    walk(it.node, target, it.name);
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
  bool piece(uint64_t n, uint64_t written, uint64_t size, bool walkTotals) {
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
        progress->setText(walkTotals ? SavedTotalText(walkTotal_) : SavedBytesText(written));
        progress->setPosition(size ? written * 100 / size : 100);
      }
    }
    return !shared_.cancelled();
  }

  // --- writing one file ----------------------------------------------

  // Copies `node` into a free target for `path`, created when the copy
  // begins, as `request` says.
  void writeFile(const std::string& path, const fs::NodeRef& node, fs::CopyRequest request) {
    FileSink sink(path, [this] { fileStarted(); });
    uint64_t written = 0;
    request.piece = [&](uint64_t n) {
      // A file without data is complete as soon as it exists.
      if (sink.length() == 0) return true;
      written += n;
      return piece(n, written, sink.length(), node.savesShowWalkTotal());
    };
    const fs::NodeCopy copy = fs::CopyNode(source_, part_, node, sink, request);
    if (copy.failure == fs::CopyFailure::kNoRecord) {
      ++shared_.failed;
      shared_.log("mft错误: " + path);
      return;
    }
    if (!sink.created()) {
      ++shared_.skipped;
      shared_.log("无法创建: " + path + ": " + std::strerror(sink.error));
      return;
    }
    const std::string& used = sink.used;
    const bool whole = copy.status == platform::Status::kOk || copy.status == platform::Status::kPartial;
    bool writeFailed = copy.failure == fs::CopyFailure::kSink;
    // A file that was not completed keeps only what was written.
    if (!whole && ::ftruncate(sink.fd(), static_cast<off_t>(copy.written)) != 0) sink.error = errno;
    if (!sink.close() && whole) writeFailed = true;
    // A file that did not get a single byte is no file: an empty one left in
    // the target would look like a recovered empty file.
    if ((!whole || writeFailed) && copy.written == 0) ::unlink(used.c_str());
    shared_.bytes += copy.written;
    if (writeFailed) {
      // What was written stays, as a file that is not intact; a file
      // without a byte was removed and counts as failed.
      if (copy.written > 0) {
        ++shared_.files;
        ++shared_.damaged;
      } else {
        ++shared_.failed;
      }
      shared_.log("写入失败: " + used + ": " + std::strerror(sink.error ? sink.error : EIO));
    } else if (whole) {
      ++shared_.files;
      if (copy.status == platform::Status::kPartial) {
        ++shared_.damaged;
        shared_.log(std::string(copy.readErrors ? "有坏扇区: " : "数据不完整: ") + used);
      }
    } else if (copy.status == platform::Status::kCancelled) {
      shared_.log("已取消: " + used);
    } else {
      ++shared_.failed;
      shared_.log("找不到数据: " + used);
    }
  }

  // --- the walk ----------------------------------------------------------

  void walk(const fs::NodeRef& node, const std::string& target, const std::string& savedAs = {}) {
    if (stopped()) return;
    if (node.savesShowWalkTotal()) {
      walkTotal_ += node.size();
      if (shared_.settings.progress && !shared_.pool) {
        std::lock_guard<std::mutex> guard(shared_.lock);
        shared_.settings.progress->setText(SavedTotalText(walkTotal_));
      }
    }
    auto name = checkName(savedAs.empty() ? node.saveName() : savedAs);
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

  void copy(const fs::NodeRef& node, const std::string& path) {
    fs::CopyRequest request;
    request.fatClusters = useFat_ ? fs::FatClusters::kChain : fs::FatClusters::kContiguous;
    const std::optional<uint32_t> first = node.firstCluster();
    const bool known = first && IsKnownExtension(ExtensionOf(node.name()), known_);
    if (known && !node.isDeleted() && useFat_) used_.add(*first);
    if (known && node.isDeleted() && node.size() > 0) {
      // A deleted file goes out once for each cluster whose header confirms its type.
      const auto starts = StartClusterSearch(source_, part_, ExtensionOf(node.name()), *first, node.size(), used_);
      for (const uint32_t cluster : starts) {
        if (stopped()) return;
        request.firstCluster = cluster;
        writeFile(path, node, request);
      }
      // No header confirmed: the entry's own cluster is still the best guess.
      if (!starts.empty()) return;
    }
    writeFile(path, node, request);
  }

  SharedState& shared_;
  const SaveOptions& options_;
  platform::SectorSource* source_;
  const disk::PartitionInfo& part_;
  KnownList known_;
  const fs::FatScanState* fatState_;
  bool useFat_ = false;
  NameCheckState names_;
  UsedClusterSet used_;
  uint64_t walkTotal_ = 0;
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

fs::NodeCopy CopyFileData(platform::SectorSource* source, const disk::PartitionInfo& partition, const fs::NodeRef& node,
                          fs::DataSink& sink, const fs::PieceFn& piece) {
  fs::CopyRequest request;
  request.piece = piece;
  const std::optional<uint32_t> first = node.firstCluster();
  const std::string extension = ExtensionOf(node.name());
  if (first && node.isDeleted() && node.size() > 0 && IsKnownExtension(extension, KnownList::kFull)) {
    UsedClusterSet used;
    const auto starts = StartClusterSearch(source, partition, extension, *first, node.size(), used);
    if (!starts.empty()) request.firstCluster = starts.front();
  }
  return fs::CopyNode(source, partition, node, sink, request);
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
