// The worker / monitor / reaper threads of long operations.
#include "ops/operation_runner.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <string>
#include <utility>

namespace orvaldi::ops {
namespace {

size_t Index(ThreadRole role) { return static_cast<size_t>(role); }

// The threads of one family, and which slot keeps a second start out.
struct FamilyRoles {
  ThreadRole worker;
  ThreadRole monitor;
  std::optional<ThreadRole> reaper;
  // The slot a start tests; cleared by the thread that waits for its thread
  // (the reaper for a monitor's slot, the monitor for a worker's slot).
  std::optional<ThreadRole> gate;
};

FamilyRoles RolesOf(OperationFamily family) {
  switch (family) {
    case OperationFamily::kPartitionWindow:
      return {ThreadRole::kPartitionWindowWorker, ThreadRole::kPartitionWindowMonitor, std::nullopt, std::nullopt};
    case OperationFamily::kDeepScan:
      return {ThreadRole::kDeepScanWorker, ThreadRole::kDeepScanMonitor, std::nullopt, std::nullopt};
    case OperationFamily::kDiskSearch:
      return {ThreadRole::kDiskSearchWorker, ThreadRole::kDiskSearchMonitor, ThreadRole::kDiskSearchReaper,
              ThreadRole::kDiskSearchMonitor};
    case OperationFamily::kPartitionScan:
      return {ThreadRole::kPartitionScanWorker, ThreadRole::kPartitionScanMonitor, ThreadRole::kPartitionScanReaper,
              ThreadRole::kPartitionScanMonitor};
    case OperationFamily::kStatistics:
      return {ThreadRole::kStatisticsWorker, ThreadRole::kStatisticsReaper, std::nullopt,
              ThreadRole::kStatisticsWorker};
    case OperationFamily::kSave:
      return {ThreadRole::kSaveWorker, ThreadRole::kSaveMonitor, std::nullopt, std::nullopt};
    case OperationFamily::kImage:
      return {ThreadRole::kImageWorker, ThreadRole::kImageMonitor, std::nullopt, ThreadRole::kImageWorker};
    case OperationFamily::kFreeSpace:
      return {ThreadRole::kFreeSpaceWorker, ThreadRole::kFreeSpaceReaper, std::nullopt, ThreadRole::kFreeSpaceWorker};
  }
  return {ThreadRole::kPartitionWindowWorker, ThreadRole::kPartitionWindowMonitor, std::nullopt, std::nullopt};
}

// The text of the exception being handled.
std::string CurrentExceptionText() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown exception";
  }
}

// An engine that throws must not take the process down from a thread of
// its own: the exception becomes a failed outcome with its text, which the
// monitor delivers.
platform::Outcome RunGuarded(const std::function<void()>& fn, const char* what) {
  if (!fn) return platform::Outcome::Ok();
  try {
    fn();
  } catch (...) {
    return platform::Outcome::Failed(std::string(what) + ": " + CurrentExceptionText());
  }
  return platform::Outcome::Ok();
}

void Deliver(const OperationJob& job, const platform::Outcome& outcome) {
  if (outcome.ok()) return;
  if (job.failed) {
    try {
      job.failed(outcome);
      return;
    } catch (...) {
    }
  }
  std::fprintf(stderr, "orvaldi: %s\n", outcome.message.c_str());
}

}  // namespace

bool ThreadSlots::taken(ThreadRole role) const {
  std::lock_guard<std::mutex> guard(lock_);
  return taken_[Index(role)];
}

void ThreadSlots::take(ThreadRole role, std::thread::id thread) {
  std::lock_guard<std::mutex> guard(lock_);
  slots_[Index(role)] = thread;
  taken_[Index(role)] = true;
}

void ThreadSlots::clear(ThreadRole role) {
  std::lock_guard<std::mutex> guard(lock_);
  slots_[Index(role)] = {};
  taken_[Index(role)] = false;
}

ThreadSlots& ProcessThreadSlots() {
  static ThreadSlots table;
  return table;
}

std::optional<Refusal> SlotRefusal(OperationFamily family, const ThreadSlots& table) {
  const FamilyRoles roles = RolesOf(family);
  if (!roles.gate || !table.taken(*roles.gate)) return std::nullopt;
  switch (family) {
    case OperationFamily::kStatistics:
      return Refusal{"waiting", "正在计算，请稍后..."};
    case OperationFamily::kFreeSpace:
      return Refusal{"waiting", "等待当前提取工作完成!"};
    default:
      return Refusal{"waiting", "等待当前操作完成！"};
  }
}

CallGate::CallGate(std::function<void()> wake) : wake_(std::move(wake)), owner_(std::this_thread::get_id()) {}

bool CallGate::call(const std::function<void()>& fn) {
  if (onOwnerThread()) {
    fn();
    return true;
  }
  auto pending = std::make_shared<Pending>();
  pending->fn = &fn;
  std::unique_lock<std::mutex> guard(lock_);
  if (closed_) return false;
  queue_.push_back(pending);
  // Woken under the lock so that close() cannot slip in between and leave
  // the owner's side destroyed while the wake-up is still on its way.
  if (wake_) wake_();
  finished_.wait(guard, [&] { return pending->done; });
  // A call that threw throws again here, on its caller's thread.
  if (pending->error) std::rethrow_exception(pending->error);
  return pending->ran;
}

void CallGate::runPending() {
  for (;;) {
    std::shared_ptr<Pending> next;
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (queue_.empty() || closed_) return;
      next = queue_.front();
      queue_.pop_front();
    }
    // The caller waits, so its function stays alive while it runs here. A
    // throwing call still releases its caller.
    try {
      (*next->fn)();
    } catch (...) {
      next->error = std::current_exception();
    }
    {
      std::lock_guard<std::mutex> guard(lock_);
      next->ran = true;
      next->done = true;
    }
    finished_.notify_all();
  }
}

void CallGate::close() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    closed_ = true;
    for (const auto& pending : queue_) pending->done = true;
    queue_.clear();
  }
  finished_.notify_all();
}

std::shared_future<void> OperationRunner::launch(ThreadRole role, std::function<void()> body) {
  auto finished = std::make_shared<std::promise<void>>();
  std::shared_future<void> done = finished->get_future().share();
  std::thread thread([body = std::move(body), finished] {
    const platform::Outcome outcome = RunGuarded(body, "operation thread");
    if (!outcome.ok()) std::fprintf(stderr, "orvaldi: %s\n", outcome.message.c_str());
    finished->set_value();
  });
  slots_.take(role, thread.get_id());
  threads_.push_back({std::move(thread), done});
  return done;
}

std::optional<Refusal> OperationRunner::start(OperationFamily family, OperationJob job) {
  if (auto refusal = SlotRefusal(family, slots_)) return refusal;
  joinFinished();
  const FamilyRoles roles = RolesOf(family);
  std::shared_ptr<OperationCount> count = job.count;
  // Each thread's share of the count is raised here, before any of them
  // starts, and lowered by the thread as it ends: so the count never drops
  // to 0 between the worker's end and the monitor's publishing.
  const int threads = roles.reaper ? 3 : 2;
  if (count) {
    for (int i = 0; i < threads; ++i) count->raise();
  }
  auto shared = std::make_shared<OperationJob>(std::move(job));
  // Written by the worker before its end, read by the monitor after it.
  auto workOutcome = std::make_shared<platform::Outcome>();
  std::shared_future<void> workerDone = launch(roles.worker, [shared, count, workOutcome] {
    *workOutcome = RunGuarded(shared->work, "the operation failed");
    if (count) count->lower();
  });
  ThreadSlots* table = &slots_;
  const std::optional<ThreadRole> freedByMonitor =
      roles.gate && *roles.gate == roles.worker ? roles.gate : std::nullopt;
  std::shared_future<void> monitorDone =
      launch(roles.monitor, [shared, count, workerDone, workOutcome, table, freedByMonitor] {
        workerDone.wait();
        const platform::Outcome published = RunGuarded(shared->publish, "publishing the results failed");
        Deliver(*shared, *workOutcome);
        Deliver(*shared, published);
        if (freedByMonitor) table->clear(*freedByMonitor);
        if (count) count->lower();
      });
  if (roles.reaper) {
    const ThreadRole monitorRole = roles.monitor;
    launch(*roles.reaper, [count, monitorDone, table, monitorRole] {
      monitorDone.wait();
      table->clear(monitorRole);
      if (count) count->lower();
    });
  }
  return std::nullopt;
}

void OperationRunner::joinFinished() {
  std::vector<Running> still;
  for (Running& running : threads_) {
    if (running.done.wait_for(std::chrono::seconds(0)) == std::future_status::ready) {
      running.thread.join();
    } else {
      still.push_back(std::move(running));
    }
  }
  threads_ = std::move(still);
}

void OperationRunner::joinAll() {
  for (Running& running : threads_) running.thread.join();
  threads_.clear();
}

}  // namespace orvaldi::ops
