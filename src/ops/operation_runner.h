// The threads of long operations: the running-operation count, the thread
// slots that refuse a second operation of a family, and the runner that
// starts a worker, a monitor and (for the disk-wide families) a reaper.
//
// No toolkit here: a front end supplies the publish step and marshals it to
// its own UI thread (CallGate helps with that); the command-line tool can
// use the same runner with plain callbacks.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/status.h"

namespace orvaldi::ops {

// How many workers, monitors and reapers of one window's operations run at
// the moment. Commands that would touch the same records refuse while it is
// above 0. Several threads change it at once, hence atomic.
class OperationCount {
 public:
  void raise() { count_.fetch_add(1, std::memory_order_acq_rel); }
  void lower() { count_.fetch_sub(1, std::memory_order_acq_rel); }
  int32_t value() const { return count_.load(std::memory_order_acquire); }
  bool busy() const { return value() > 0; }

 private:
  std::atomic<int32_t> count_{0};
};

// Holds the count raised for as long as one thread of an operation runs;
// a null count is allowed (operations that no window counts).
class CountGuard {
 public:
  explicit CountGuard(OperationCount* count) : count_(count) {
    if (count_) count_->raise();
  }
  ~CountGuard() {
    if (count_) count_->lower();
  }
  CountGuard(const CountGuard&) = delete;
  CountGuard& operator=(const CountGuard&) = delete;

 private:
  OperationCount* count_;
};

// A window's "this operation runs" flag (the file-scan and deleted-scan
// flags of a partition window): raised by the start on the UI thread,
// lowered at the very end of the operation, tested by commands.
class BusyFlag {
 public:
  void raise() { raised_.store(true, std::memory_order_release); }
  void lower() { raised_.store(false, std::memory_order_release); }
  bool raised() const { return raised_.load(std::memory_order_acquire); }

 private:
  std::atomic<bool> raised_{false};
};

// One slot per thread role. A slot is taken when its thread starts; the
// slots that gate a family are cleared by the thread that waits for the
// slot's thread, the others are only overwritten by the next start.
enum class ThreadRole : uint8_t {
  kImageWorker,
  kPartitionWindowWorker,
  kPartitionWindowMonitor,
  kDeepScanWorker,
  kDeepScanMonitor,
  kStatisticsWorker,
  kStatisticsReaper,  // waits for the statistics worker and frees its slot
  kSaveWorker,
  kSaveMonitor,
  kDiskSearchWorker,
  kDiskSearchMonitor,
  kDiskSearchReaper,
  kPartitionScanWorker,
  kPartitionScanMonitor,
  kPartitionScanReaper,
  kFreeSpaceWorker,
  kFreeSpaceReaper,  // waits for the free-space worker and frees its slot
  kImageMonitor,
};
inline constexpr size_t kThreadRoleCount = static_cast<size_t>(ThreadRole::kImageMonitor) + 1;

class ThreadSlots {
 public:
  bool taken(ThreadRole role) const;
  void take(ThreadRole role, std::thread::id thread);
  void clear(ThreadRole role);

 private:
  mutable std::mutex lock_;
  std::array<std::thread::id, kThreadRoleCount> slots_{};
  std::array<bool, kThreadRoleCount> taken_{};
};

// The table the whole program shares.
ThreadSlots& ProcessThreadSlots();

// The kinds of operation, each with its own threads and progress window.
enum class OperationFamily : uint8_t {
  kPartitionWindow,  // opening a partition's files, and its lost/deleted-file scans
  kDeepScan,         // the NTFS record search of a partition window
  kDiskSearch,       // full-disk scan and lost-partition search
  kPartitionScan,    // raw scan of one partition
  kStatistics,
  kSave,
  kImage,
  kFreeSpace,
};

// A refused start, shown to the operator as a message box.
struct Refusal {
  std::string title;
  std::string text;
  bool operator==(const Refusal&) const = default;
};

// Why an operation of `family` may not start now, judged by the slots alone
// (the partition-window families are refused by their window's flags and
// count instead, with texts that depend on the command).
std::optional<Refusal> SlotRefusal(OperationFamily family, const ThreadSlots& table);

// Runs a call on one owner thread on behalf of other threads, in the order
// the calls arrive, each caller waiting until its call has run. The owner
// thread (the one that constructed the gate) is asked to run the pending
// calls through `wake`, which may be called from any thread. A call made on
// the owner thread itself runs at once, so synchronous use cannot deadlock.
// Once closed (the program is ending) calls return false without running,
// which releases every thread waiting on the owner.
class CallGate {
 public:
  explicit CallGate(std::function<void()> wake);
  ~CallGate() { close(); }
  CallGate(const CallGate&) = delete;
  CallGate& operator=(const CallGate&) = delete;

  bool call(const std::function<void()>& fn);
  // Owner thread: runs the calls waiting now.
  void runPending();
  // Owner thread.
  void close();
  bool onOwnerThread() const { return std::this_thread::get_id() == owner_; }

 private:
  struct Pending {
    const std::function<void()>* fn;
    bool done = false;
    bool ran = false;
    std::exception_ptr error;  // what the call threw, for its caller
  };
  std::function<void()> wake_;
  std::thread::id owner_;
  std::mutex lock_;
  std::condition_variable finished_;
  std::deque<std::shared_ptr<Pending>> queue_;
  bool closed_ = false;
};

// What one operation runs.
struct OperationJob {
  // The engine call, on the worker thread.
  std::function<void()> work;
  // On the monitor thread once the worker ended (also when it was stopped):
  // a front end marshals it to its UI thread and waits for it there.
  std::function<void()> publish;
  // The owning window's count, raised by each of the operation's threads
  // while it runs; may be null. Shared, since the window may go first.
  std::shared_ptr<OperationCount> count;
  // On the monitor thread, when `work` or `publish` ended by an exception:
  // a failed outcome whose message is the exception's text. Called after
  // `publish` (which still runs, so that what was found is kept). Without
  // it the text goes to the standard error stream: a failure is never
  // dropped.
  std::function<void(const platform::Outcome&)> failed;
};

// Starts operations and owns their threads. Threads are never stopped by
// force: an operation ends when its engine call returns. The destructor
// waits for every thread, so no thread outlives the runner; whoever owns the
// runner asks running operations to stop first (their cancel flags) and
// must keep alive what the jobs use until then.
class OperationRunner {
 public:
  explicit OperationRunner(ThreadSlots& table = ProcessThreadSlots()) : slots_(table) {}
  ~OperationRunner() { joinAll(); }
  OperationRunner(const OperationRunner&) = delete;
  OperationRunner& operator=(const OperationRunner&) = delete;

  // Refuses (and starts nothing) when the family's slot is taken; otherwise
  // starts the worker, the monitor and, where the family has one, the
  // reaper, and returns at once. Called from one thread (the UI thread).
  std::optional<Refusal> start(OperationFamily family, OperationJob job);
  // Waits for every thread started so far.
  void joinAll();
  ThreadSlots& threadSlots() { return slots_; }

 private:
  struct Running {
    std::thread thread;
    std::shared_future<void> done;
  };
  std::shared_future<void> launch(ThreadRole role, std::function<void()> body);
  void joinFinished();

  ThreadSlots& slots_;
  std::vector<Running> threads_;
};

}  // namespace orvaldi::ops
