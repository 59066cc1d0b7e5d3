// Imaging around bad sectors: block reads, single-sector fallback, time limits.
#include "raw/imaging.h"

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "disk/recognisers.h"
#include "raw/save_target.h"

namespace orvaldi::raw {
namespace {

using Clock = std::chrono::steady_clock;

// Reads on a thread of their own so that the caller waits at most a given
// time. A positioned read on a dying disk can block in the kernel for
// minutes and cannot be cancelled; when it outlives its limit the thread is
// left to finish it (it owns the buffer it reads into, and the source is
// shared), and the next read goes to a fresh thread so it does not queue
// behind the stuck one.
class TimedReader {
 public:
  explicit TimedReader(std::shared_ptr<platform::SectorSource> source)
      : source_(std::move(source)), stuck_(std::make_shared<std::atomic<unsigned>>(0)) {}
  ~TimedReader() {
    if (!thread_.joinable()) return;
    {
      std::lock_guard lock(shared_->m);
      shared_->quit = true;
    }
    shared_->cv.notify_all();
    thread_.join();
  }
  TimedReader(const TimedReader&) = delete;
  TimedReader& operator=(const TimedReader&) = delete;

  // The outcome, or nothing when the read outlived `limit`. The bytes are in
  // data() until the next read.
  std::optional<platform::ReadOutcome> read(uint64_t offset, size_t length, std::chrono::milliseconds limit) {
    if (!thread_.joinable()) start();
    std::unique_lock lock(shared_->m);
    if (shared_->buffer->size() < length) shared_->buffer->resize(length);
    shared_->offset = offset;
    shared_->length = length;
    shared_->done = false;
    shared_->hasWork = true;
    shared_->cv.notify_all();
    if (shared_->cv.wait_for(lock, limit, [&] { return shared_->done; })) return shared_->outcome;
    shared_->abandoned = true;
    stuck_->fetch_add(1);
    lock.unlock();
    thread_.detach();
    shared_.reset();
    return std::nullopt;
  }
  const uint8_t* data() const { return shared_->buffer->data(); }
  // Reads that outlived their limit and have not returned yet.
  unsigned stuck() const { return stuck_->load(); }

 private:
  struct Shared {
    std::mutex m;
    std::condition_variable cv;
    std::shared_ptr<std::vector<uint8_t>> buffer = std::make_shared<std::vector<uint8_t>>();
    uint64_t offset = 0;
    size_t length = 0;
    platform::ReadOutcome outcome;
    bool hasWork = false;
    bool done = false;
    bool quit = false;
    bool abandoned = false;
  };

  void start() {
    shared_ = std::make_shared<Shared>();
    thread_ = std::thread([source = source_, shared = shared_, stuck = stuck_] {
      std::unique_lock lock(shared->m);
      for (;;) {
        shared->cv.wait(lock, [&] { return shared->hasWork || shared->quit; });
        if (shared->quit) return;
        shared->hasWork = false;
        const std::shared_ptr<std::vector<uint8_t>> buffer = shared->buffer;
        const uint64_t offset = shared->offset;
        const size_t length = shared->length;
        lock.unlock();
        const platform::ReadOutcome outcome = source->readAt(offset, std::span<uint8_t>(buffer->data(), length));
        lock.lock();
        shared->outcome = outcome;
        shared->done = true;
        shared->cv.notify_all();
        if (shared->abandoned) {
          stuck->fetch_sub(1);
          return;
        }
      }
    });
  }

  std::shared_ptr<platform::SectorSource> source_;
  std::shared_ptr<Shared> shared_;
  std::thread thread_;
  std::shared_ptr<std::atomic<unsigned>> stuck_;
};

std::string Clock2(double seconds) {
  if (!(seconds >= 0) || seconds > 359999) return "--:--";
  const auto s = static_cast<uint64_t>(seconds);
  char text[32];
  if (s >= 3600) {
    std::snprintf(text, sizeof text, "%" PRIu64 ":%02" PRIu64 ":%02" PRIu64, s / 3600, s / 60 % 60, s % 60);
  } else {
    std::snprintf(text, sizeof text, "%02" PRIu64 ":%02" PRIu64, s / 60, s % 60);
  }
  return text;
}

}  // namespace

std::string BadSectorRowText(size_t row) { return "第" + std::to_string(row) + "个坏扇区"; }

ImagingResult CopyImage(std::shared_ptr<platform::SectorSource> source, platform::WriteTarget& target, ImagingJob job,
                        platform::ProgressBlock& progress) {
  ImagingResult r;
  const uint32_t unit = job.sectorSize;
  r.sectorSize = unit;
  if (!disk::IsLogicalSectorSize(unit) || job.sourceOffset % unit != 0) {
    r.status = ImagingStatus::kBadJob;
    return r;
  }
  // Past the source's end a read returns nothing: copying on would fill the
  // target with made-up bad sectors for as long as the range says.
  const uint64_t onSource = BytesOnSource(job.sourceOffset, job.length, source->size());
  r.bytesBeyondSource = job.length - onSource;
  job.length = onSource;
  if (job.resume) {
    if (job.resume->length() != job.length) {
      r.status = ImagingStatus::kBadJob;
      return r;
    }
    r.map = std::move(*job.resume);
  } else {
    r.map = RescueMap(job.length);
  }
  std::vector<MapBlock> work = r.map.unfinished();
  if (!job.only.empty()) {
    // What is unfinished of the ranges asked for, in map order.
    std::vector<MapBlock> wanted;
    for (const MapBlock& area : work)
      for (const MapBlock& o : job.only) {
        const uint64_t from = std::max(area.pos, o.pos);
        const uint64_t to = std::min(area.end(), o.end());
        if (from < to) wanted.push_back({from, to - from, area.status});
      }
    std::sort(wanted.begin(), wanted.end(), [](const MapBlock& a, const MapBlock& b) { return a.pos < b.pos; });
    work = std::move(wanted);
  }
  uint64_t workBytes = 0;
  for (const MapBlock& b : work) workBytes += b.size;
  progress.beginStage(static_cast<int64_t>((workBytes + kImageBlock - 1) / kImageBlock), 1);

  // Of `bytes` read whole from `at`, those up to the last logical-sector
  // boundary: a sector counts as read only when all of it arrived.
  auto wholeSectors = [unit](uint64_t at, uint64_t bytes) -> size_t {
    const uint64_t end = (at + bytes) / unit * unit;
    return end > at ? static_cast<size_t>(end - at) : 0;
  };
  TimedReader reader(source);
  std::vector<uint8_t> assembled(kImageBlock);
  std::vector<uint64_t> badInChunk;  // offsets within the chunk
  const Clock::time_point started = Clock::now();
  Clock::time_point lastCheckpoint = started;
  uint64_t doneBytes = 0;

  auto report = [&] {
    progress.setPosition(doneBytes / kImageBlock);
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    const double rate = seconds > 0 ? static_cast<double>(doneBytes) / seconds : 0;
    char text[160];
    std::snprintf(text, sizeof text, "%" PRIu64 " 扇区完成镜像  %.1f MB/s  坏扇区 %zu  剩余 %s", r.sectorsCopied,
                  rate / 1e6, r.badSectors.size(),
                  Clock2(rate > 0 ? static_cast<double>(workBytes - doneBytes) / rate : -1).c_str());
    progress.setText(text);
    if (job.checkpoint && Clock::now() - lastCheckpoint >= job.checkpointEvery) {
      job.checkpoint(r.map);
      lastCheckpoint = Clock::now();
    }
  };

  for (const MapBlock& area : work) {
    uint64_t pos = area.pos;
    while (pos < area.end()) {
      if (progress.cancelled()) {
        r.status = ImagingStatus::kStopped;
        return r;
      }
      const uint64_t chunk = std::min<uint64_t>(kImageBlock, area.end() - pos);
      const uint64_t from = job.sourceOffset + pos;
      size_t kept = 0;  // leading bytes of the chunk the block read delivered
      bool hung = false;
      // A piece of a partial run is whole sectors too: tried in one read first.
      const bool wholeFirst =
          chunk == kImageBlock || (!job.only.empty() && chunk > unit && from % unit == 0 && chunk % unit == 0);
      if (wholeFirst) {
        const size_t len = static_cast<size_t>(chunk);
        const auto outcome = reader.read(from, len, job.limits.block);
        if (outcome && outcome->bytes == len) {
          if (!target.writeAt(job.targetOffset + pos, {reader.data(), len})) {
            r.status = ImagingStatus::kTargetFailed;
            r.targetError = target.error();
            return r;
          }
          r.map.mark(pos, len, MapStatus::kFinished);
          r.sectorsCopied += len / unit;
          pos += len;
          doneBytes += len;
          report();
          continue;
        }
        if (outcome) {
          // What arrived before the failure is good; only the rest is
          // retried sector by sector.
          kept = wholeSectors(from, outcome->bytes);
          std::memcpy(assembled.data(), reader.data(), kept);
        } else {
          ++r.timedOutReads;
          hung = reader.stuck() >= job.limits.maxStuckReads;
        }
      }
      badInChunk.clear();
      size_t at = kept;
      bool stopped = false;
      bool tryRest = true;
      while (at < chunk && !hung) {
        // One logical sector, or what of it the area holds: an area from a
        // map written with a smaller unit may begin or end inside one, and
        // the piece then ends at the sector's boundary so the reads behind
        // it are aligned again.
        const uint64_t intoSector = (from + at) % unit;
        const size_t len = static_cast<size_t>(std::min<uint64_t>(unit - intoSector, chunk - at));
        const auto outcome = reader.read(from + at, len, job.limits.sector);
        const bool good = outcome && outcome->bytes == len;
        if (good) {
          std::memcpy(assembled.data() + at, reader.data(), len);
          ++r.sectorsCopied;
        } else {
          if (!outcome) {
            ++r.timedOutReads;
            hung = reader.stuck() >= job.limits.maxStuckReads;
          }
          std::memset(assembled.data() + at, 0x20, len);
          badInChunk.push_back(at);
          r.badSectors.push_back((from + at) / unit);
          if (job.listBadSectors) progress.pushRow(std::to_string(r.badSectors.back()));
        }
        at += len;
        if (progress.cancelled()) {
          stopped = true;
          break;
        }
        // Behind an unreadable sector the rest of the block is tried in one
        // read again, so the good sectors there cost one read rather than
        // one each; every sector still arrives whole or fails on its own.
        // After a read that hung, the rest goes sector by sector.
        if (good || !outcome || !tryRest || hung || chunk - at <= unit) continue;
        const auto rest = reader.read(from + at, chunk - at, job.limits.block);
        if (!rest) {
          ++r.timedOutReads;
          hung = reader.stuck() >= job.limits.maxStuckReads;
          tryRest = false;
          continue;
        }
        const size_t got = wholeSectors(from + at, rest->bytes);
        std::memcpy(assembled.data() + at, reader.data(), got);
        r.sectorsCopied += got / unit;
        at += got;
      }
      r.sectorsCopied += kept / unit;
      if (at > 0 && !target.writeAt(job.targetOffset + pos, {assembled.data(), at})) {
        r.status = ImagingStatus::kTargetFailed;
        r.targetError = target.error();
        return r;
      }
      r.map.mark(pos, at, MapStatus::kFinished);
      for (const uint64_t bad : badInChunk)
        r.map.mark(pos + bad, std::min<uint64_t>(unit - (from + bad) % unit, at - bad), MapStatus::kBadSector);
      pos += at;
      doneBytes += at;
      report();
      if (stopped) {
        r.status = ImagingStatus::kStopped;
        return r;
      }
      if (hung) {
        r.status = ImagingStatus::kSourceHung;
        return r;
      }
    }
  }
  return r;
}

}  // namespace orvaldi::raw
