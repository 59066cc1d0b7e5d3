// The save walk over scanned trees and carved files, and the two ways of running it.
#include "raw/save_engine.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "disk/sector_io.h"
#include "disk/sha256.h"
#include "disk/volume_source.h"
#include "fs/extract.h"
#include "fs/fat_state.h"
#include "fs/node_copy.h"
#include "raw/content_check.h"

namespace orvaldi::raw {
namespace {

// Hashes a large file's pieces on a thread of its own while the copy reads
// the next ones: the digest then costs the copy a memcpy per piece instead
// of the hashing itself.
class DigestThread {
 public:
  DigestThread() : thread_([this] { run(); }) {}
  ~DigestThread() {
    if (thread_.joinable()) finish();
  }
  DigestThread(const DigestThread&) = delete;
  DigestThread& operator=(const DigestThread&) = delete;

  void update(std::span<const uint8_t> bytes) {
    Item item;
    {
      std::unique_lock<std::mutex> guard(lock_);
      moved_.wait(guard, [this] { return queued_ < kMaxQueued; });
      if (!spare_.empty()) {
        item.bytes = std::move(spare_.back());
        spare_.pop_back();
      }
    }
    item.bytes.assign(bytes.begin(), bytes.end());
    push(std::move(item));
  }
  void zeros(uint64_t length) {
    Item item;
    item.zeros = length;
    push(std::move(item));
  }
  std::string finish() {
    {
      std::lock_guard<std::mutex> guard(lock_);
      done_ = true;
    }
    moved_.notify_all();
    thread_.join();
    return digest_.hexDigest();
  }

 private:
  static constexpr uint64_t kMaxQueued = 8ull << 20;
  struct Item {
    std::vector<uint8_t> bytes;
    uint64_t zeros = 0;
  };
  void push(Item item) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      queued_ += item.bytes.size();
      queue_.push_back(std::move(item));
    }
    moved_.notify_all();
  }
  void run() {
    while (true) {
      Item item;
      {
        std::unique_lock<std::mutex> guard(lock_);
        moved_.wait(guard, [this] { return !queue_.empty() || done_; });
        if (queue_.empty()) return;
        item = std::move(queue_.front());
        queue_.pop_front();
      }
      digest_.update(item.bytes);
      if (item.zeros) digest_.updateZeros(item.zeros);
      {
        std::lock_guard<std::mutex> guard(lock_);
        queued_ -= item.bytes.size();
        if (spare_.size() < 8) spare_.push_back(std::move(item.bytes));
      }
      moved_.notify_all();
    }
  }

  disk::Sha256 digest_;
  std::mutex lock_;
  std::condition_variable moved_;
  std::deque<Item> queue_;
  std::vector<std::vector<uint8_t>> spare_;
  uint64_t queued_ = 0;
  bool done_ = false;
  std::thread thread_;  // last: starts once the rest is set up
};

// Writes a target file that creates itself when the copy begins, so that a
// file whose record cannot be read leaves nothing behind; its length is set
// then and holes are skipped.
class FileSink final : public fs::DataSink {
 public:
  // With `digest`, every byte that reaches the file is hashed on its way
  // (a large file's on a thread of its own).
  FileSink(std::string path, std::function<void()> started, bool digest)
      : path_(std::move(path)), started_(std::move(started)), digest_(digest) {}
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
    if (digest_ && length >= kBackgroundDigestBytes) background_ = std::make_unique<DigestThread>();
    if (length > 0 && ::ftruncate(fd_, static_cast<off_t>(length)) != 0) {
      error = errno;
      return false;
    }
    return true;
  }
  bool write(const uint8_t* data, size_t length) override {
    const std::span<const uint8_t> piece(data, length);
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
    if (digest_) {
      if (background_)
        background_->update(piece);
      else
        inline_.update(piece);
      if (position_ < sizeof head)
        std::memcpy(head + position_, piece.data(), std::min(piece.size(), sizeof head - position_));
    }
    position_ += piece.size();
    return true;
  }
  bool writeZeros(uint64_t length) override {
    if (::lseek(fd_, static_cast<off_t>(length), SEEK_CUR) < 0) {
      error = errno;
      return false;
    }
    if (background_)
      background_->zeros(length);
    else if (digest_)
      inline_.updateZeros(length);
    position_ += length;
    return true;
  }
  // Bytes that reached the file, holes included.
  uint64_t position() const { return position_; }
  uint8_t head[16] = {};  // the file's first bytes, with a digest
  // The digest of what was written followed by `zeros` more zero bytes.
  std::string finishDigest(uint64_t zeros) {
    if (background_) {
      if (zeros) background_->zeros(zeros);
      return background_->finish();
    }
    inline_.updateZeros(zeros);
    return inline_.hexDigest();
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
  static constexpr uint64_t kBackgroundDigestBytes = 8ull << 20;
  bool digest_;
  disk::Sha256 inline_;
  std::unique_ptr<DigestThread> background_;
  int fd_ = -1;
  uint64_t length_ = 0;
  uint64_t position_ = 0;
};

// Sectors as a list of half-open ranges [first, end), kept merged when they
// arrive in order.
class SectorRanges {
 public:
  void add(uint64_t first, uint64_t end) {
    if (first >= end) return;
    if (!ranges_.empty() && first >= ranges_.back().first && first <= ranges_.back().second) {
      ranges_.back().second = std::max(ranges_.back().second, end);
      return;
    }
    ranges_.emplace_back(first, end);
  }
  // Sorted and merged.
  std::vector<std::pair<uint64_t, uint64_t>> merged() const {
    auto r = ranges_;
    std::sort(r.begin(), r.end());
    std::vector<std::pair<uint64_t, uint64_t>> out;
    for (const auto& x : r) {
      if (!out.empty() && x.first <= out.back().second)
        out.back().second = std::max(out.back().second, x.second);
      else
        out.push_back(x);
    }
    return out;
  }

 private:
  std::vector<std::pair<uint64_t, uint64_t>> ranges_;
};

std::vector<SectorRange> AsRanges(const std::vector<std::pair<uint64_t, uint64_t>>& r) {
  std::vector<SectorRange> out;
  out.reserve(r.size());
  for (const auto& x : r) out.push_back({x.first, x.second - x.first});
  return out;
}

// Passes reads through and notes, once the file's data is being copied
// (`copying` set), the sectors each read asked for and those it delivered:
// the file's extents, and the sectors that could not be read.
class ExtentRecorder final : public platform::SectorSource {
 public:
  ExtentRecorder(platform::SectorSource& inner, const bool& copying) : inner_(inner), copying_(copying) {}
  platform::ReadOutcome readAt(uint64_t offset, std::span<uint8_t> out) override {
    const platform::ReadOutcome r = inner_.readAt(offset, out);
    if (copying_ && !out.empty()) {
      constexpr uint64_t kSector = disk::SectorSize;
      asked_.add(offset / kSector, (offset + out.size() + kSector - 1) / kSector);
      // A sector counts as read only when all of it arrived.
      got_.add(offset / kSector, (offset + std::min<uint64_t>(r.bytes, out.size())) / kSector);
    }
    return r;
  }
  uint64_t size() const override { return inner_.size(); }

  std::vector<SectorRange> extents() const { return AsRanges(asked_.merged()); }
  // The sectors asked for that never arrived, in any of the reads.
  std::vector<SectorRange> unread() const {
    const auto asked = asked_.merged();
    const auto got = got_.merged();
    std::vector<std::pair<uint64_t, uint64_t>> missing;
    size_t g = 0;
    for (const auto& a : asked) {
      uint64_t at = a.first;
      while (g < got.size() && got[g].second <= at) ++g;
      for (size_t k = g; k < got.size() && got[k].first < a.second; ++k) {
        if (got[k].first > at) missing.emplace_back(at, got[k].first);
        at = std::max(at, got[k].second);
      }
      if (at < a.second) missing.emplace_back(at, a.second);
    }
    return AsRanges(missing);
  }

 private:
  platform::SectorSource& inner_;
  const bool& copying_;
  SectorRanges asked_, got_;
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
  ManifestWriter* manifest = nullptr;  // null: none is written

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
    std::string source;
    for (const std::string& folder : it.folders) {
      auto name = checkName(folder);
      if (!name) return;
      target += "/" + *name;
      source += "/" + folder;
    }
    walk(it.node, target, source, it.name);
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

  // The verdict on a saved file from how its copy went. A deleted file's
  // clusters (or a FAT file taken as contiguous clusters) are free for
  // anything to reuse: read in full, they are the file's only when its
  // content check says so.
  void judge(ManifestEntry& e, const fs::NodeRef& node, const fs::NodeCopy& copy, bool whole, bool writeFailed) const {
    // Data held in a deleted NTFS record itself (resident) is the record's own.
    const bool resident = node.family() == fs::NodeFamily::kNtfs && e.extents.empty() && source_;
    const bool guessed = node.family() != fs::NodeFamily::kCarved && !resident &&
                         (node.isDeleted() || (node.family() == fs::NodeFamily::kFat && !useFat_));
    if (!whole || writeFailed) {
      e.verdict = ManifestVerdict::kPartial;
      e.reason = copy.status == platform::Status::kCancelled ? "cancelled: only the first bytes were written"
                 : writeFailed                               ? "the target refused a write: the file is cut short"
                                                             : "its data could not all be located";
    } else if (!e.unread.empty() || copy.readErrors) {
      e.verdict = ManifestVerdict::kPartial;
      e.reason = "sectors could not be read; zeros stand in for them";
    } else if (copy.status == platform::Status::kPartial) {
      e.verdict = ManifestVerdict::kPartial;
      e.reason = node.family() == fs::NodeFamily::kCarved ? "the file breaks off before its end" : copy.message;
    } else if (guessed && e.check.verdict != ContentVerdict::kOk) {
      e.verdict = ManifestVerdict::kUnverified;
      e.reason = node.isDeleted() ? "deleted: its clusters may have been reused"
                                  : "read as contiguous clusters without the FAT";
    }
  }

  // Copies `node` into a free target for `path`, created when the copy
  // begins, as `request` says.
  void writeFile(const std::string& path, const fs::NodeRef& node, fs::CopyRequest request,
                 const std::string& sourcePath) {
    const bool listing = shared_.manifest != nullptr;
    FileSink sink(
        path, [this] { fileStarted(); }, listing);
    // The file's own sectors are those read once its target exists: the
    // record reads before that are not its data.
    bool copying = false;
    std::optional<ExtentRecorder> recorder;
    if (listing && source_) recorder.emplace(*source_, copying);
    uint64_t written = 0;
    request.piece = [&](uint64_t n) {
      // A file without data is complete as soon as it exists.
      if (sink.length() == 0) return true;
      written += n;
      return piece(n, written, sink.length(), node.savesShowWalkTotal());
    };
    struct Begun final : fs::DataSink {
      Begun(FileSink& inner, bool& flag) : inner_(inner), flag_(flag) {}
      bool begin(uint64_t length) override {
        flag_ = true;
        return inner_.begin(length);
      }
      bool write(const uint8_t* data, size_t length) override { return inner_.write(data, length); }
      bool writeZeros(uint64_t length) override { return inner_.writeZeros(length); }
      FileSink& inner_;
      bool& flag_;
    } begun(sink, copying);
    const fs::NodeCopy copy = fs::CopyNode(recorder ? &*recorder : source_, part_, node, begun, request);
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
    const bool removed = (!whole || writeFailed) && copy.written == 0;
    if (removed) ::unlink(used.c_str());
    shared_.bytes += copy.written;
    if (listing && !removed) {
      // The file as it is left: cut to what was written, or at the length
      // set when it began, with zeros where nothing was written.
      const uint64_t length = whole ? std::max(sink.length(), sink.position()) : sink.position();
      ManifestEntry entry;
      entry.target = used.substr(std::min(used.size(), options_.target.size()));
      // A target given with a trailing "/" leaves one more before the name.
      entry.target.erase(0, entry.target.find_first_not_of('/'));
      entry.source = sourcePath;
      if (node.family() == fs::NodeFamily::kCarved) entry.sector = node.carvedSector();
      entry.size = length;
      entry.sha256 = sink.finishDigest(length - std::min(length, sink.position()));
      if (recorder) {
        entry.extents = recorder->extents();
        entry.unread = recorder->unread();
      }
      const std::span<const uint8_t> head(sink.head, std::min<uint64_t>(length, sizeof sink.head));
      if (ContentCheckApplies(head, used)) entry.check = CheckSavedFile(used, used);
      judge(entry, node, copy, whole, writeFailed);
      shared_.manifest->add(entry);
    }
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

  void walk(const fs::NodeRef& node, const std::string& target, const std::string& source,
            const std::string& savedAs = {}) {
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
    // The source path is the node's name as listed ("file:stream" for a stream), not the
    // name it is saved under.
    const std::string from = source + "/" + node.name();
    if (node.isFolderLike()) {
      // Folders are made with the first file saved into them.
      node.forEachChild([&](const fs::NodeRef& child) {
        if (!stopped()) walk(child, path, from);
      });
      return;
    }
    if (node.isFileLike() && Wanted(node, options_)) copy(node, path, from);
  }

  void copy(const fs::NodeRef& node, const std::string& path, const std::string& from) {
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
        writeFile(path, node, request, from);
      }
      // No header confirmed: the entry's own cluster is still the best guess.
      if (!starts.empty()) return;
    }
    writeFile(path, node, request, from);
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

// Opens the manifest of a save that asks for one; a target that cannot take
// it is told in the log, and the save goes on without.
void OpenManifest(SharedState& shared, ManifestWriter& writer) {
  if (!shared.settings.manifest) return;
  if (writer.open(shared.settings.options.target)) {
    shared.manifest = &writer;
    return;
  }
  shared.log("无法创建清单: " + shared.settings.options.target + "/" + kManifestName + ": " +
             std::strerror(writer.error()));
}

void CloseManifest(SharedState& shared, ManifestWriter& writer, SaveSummary& s) {
  if (!shared.settings.manifest) return;
  if (!shared.manifest) {
    s.manifestError = std::strerror(writer.error());
    return;
  }
  s.manifestPath = writer.path();
  s.manifest = writer.counts();
  if (!writer.finish()) {
    s.manifestError = std::strerror(writer.error());
    shared.log("清单写入失败: " + writer.path() + ": " + s.manifestError);
  }
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
  ManifestWriter manifest;
  OpenManifest(shared, manifest);
  const KnownList known = KnownList::kFull;
  const bool opened = RunJob(shared, job, known);
  summary = Summarize(shared);
  if (!opened) summary.sourceFailures = 1;
  CloseManifest(shared, manifest, summary);
  return summary;
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
  ManifestWriter manifest;
  OpenManifest(shared, manifest);
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
  CloseManifest(shared, manifest, summary);
  return summary;
}

}  // namespace orvaldi::raw
