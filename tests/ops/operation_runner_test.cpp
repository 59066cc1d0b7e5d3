// The operation threads without a window: refusals while a family's slot is
// taken, the running-operation count, and the gate that marshals calls to
// the UI thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ops/operation_runner.h"

namespace orvaldi::ops {
namespace {

TEST(OperationRunner, SecondDiskSearchIsRefusedUntilTheReaperFreedTheMonitorSlot) {
  ThreadSlots table;
  auto count = std::make_shared<OperationCount>();
  std::promise<void> closedWindow;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  OperationRunner runner(table);
  OperationJob first;
  first.work = [] {};
  first.publish = [&] {
    closedWindow.set_value();  // the results are being published, the progress window is gone
    released.wait();
  };
  first.count = count;
  ASSERT_FALSE(runner.start(OperationFamily::kDiskSearch, std::move(first)));
  closedWindow.get_future().wait();

  EXPECT_EQ(runner.start(OperationFamily::kDiskSearch, {}), (Refusal{"waiting", "等待当前操作完成！"}));
  EXPECT_TRUE(count->busy());
  // Another family has its own slots and may run meanwhile.
  EXPECT_FALSE(runner.start(OperationFamily::kPartitionScan, {}));

  release.set_value();
  runner.joinAll();
  EXPECT_FALSE(table.taken(ThreadRole::kDiskSearchMonitor));
  EXPECT_EQ(count->value(), 0);
  EXPECT_FALSE(runner.start(OperationFamily::kDiskSearch, {}));
}

TEST(OperationRunner, CountStaysRaisedFromStartUntilTheLastThreadEnds) {
  ThreadSlots table;
  auto count = std::make_shared<OperationCount>();
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> lowestSeenByPublish{100};
  {
    OperationRunner runner(table);
    OperationJob job;
    job.work = [&] { released.wait(); };
    // The worker has ended here; its monitor still counts.
    job.publish = [&] { lowestSeenByPublish = count->value(); };
    job.count = count;
    ASSERT_FALSE(runner.start(OperationFamily::kStatistics, std::move(job)));
    EXPECT_EQ(count->value(), 2);
    EXPECT_EQ(runner.start(OperationFamily::kStatistics, {}), (Refusal{"waiting", "正在计算，请稍后..."}));
    release.set_value();
  }  // the runner waits for its threads
  EXPECT_EQ(lowestSeenByPublish.load(), 1);
  EXPECT_EQ(count->value(), 0);
  EXPECT_FALSE(table.taken(ThreadRole::kStatisticsWorker));
}

TEST(OperationRunner, RefusalTextsByFamily) {
  struct Case {
    OperationFamily family;
    ThreadRole taken;
    std::optional<Refusal> refusal;
  };
  const Refusal waiting{"waiting", "等待当前操作完成！"};
  const Case cases[] = {
      {OperationFamily::kDiskSearch, ThreadRole::kDiskSearchMonitor, waiting},
      {OperationFamily::kDiskSearch, ThreadRole::kDiskSearchWorker, std::nullopt},  // only the monitor's slot gates
      {OperationFamily::kPartitionScan, ThreadRole::kPartitionScanMonitor, waiting},
      {OperationFamily::kImage, ThreadRole::kImageWorker, waiting},
      {OperationFamily::kStatistics, ThreadRole::kStatisticsWorker, Refusal{"waiting", "正在计算，请稍后..."}},
      {OperationFamily::kFreeSpace, ThreadRole::kFreeSpaceWorker, Refusal{"waiting", "等待当前提取工作完成!"}},
      // Refused by their windows' flags and counts, never by a slot.
      {OperationFamily::kPartitionWindow, ThreadRole::kPartitionWindowMonitor, std::nullopt},
      {OperationFamily::kDeepScan, ThreadRole::kDeepScanWorker, std::nullopt},
  };
  for (const Case& c : cases) {
    ThreadSlots table;
    table.take(c.taken, std::this_thread::get_id());
    EXPECT_EQ(SlotRefusal(c.family, table), c.refusal) << static_cast<int>(c.family);
  }
}

TEST(CallGate, RunsCallsOnTheOwnerThreadInOrderAndReleasesCallersWhenClosed) {
  std::atomic<int> wakes{0};
  CallGate gate([&] { ++wakes; });
  std::vector<int> order;
  std::vector<std::thread::id> ranOn;
  std::thread caller([&] {
    for (int i = 0; i < 3; ++i) {
      gate.call([&, i] {
        order.push_back(i);
        ranOn.push_back(std::this_thread::get_id());
      });
    }
  });
  for (int round = 0; round < 100000 && order.size() < 3; ++round) {
    gate.runPending();
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  caller.join();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
  for (const auto& id : ranOn) EXPECT_EQ(id, std::this_thread::get_id());

  // A caller left waiting when the owner closes the gate returns without
  // its call having run, instead of waiting for ever.
  std::atomic<bool> lateRan{false};
  std::atomic<bool> lateResult{true};
  std::thread late([&] { lateResult = gate.call([&] { lateRan = true; }); });
  for (int round = 0; round < 100000 && wakes.load() < 4; ++round) {
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  gate.close();
  late.join();
  EXPECT_FALSE(lateResult.load());
  EXPECT_FALSE(lateRan.load());
}

}  // namespace
}  // namespace orvaldi::ops

namespace orvaldi::ops {
namespace {

// A worker or publish step that throws ends the operation with a failed
// outcome that carries the exception's text; publish still runs.
TEST(OperationRunner, AThrowingStepArrivesAsAFailureWithItsText) {
  struct Case {
    const char* name;
    std::function<void()> work;
    std::function<void()> publish;
    const char* text;
  };
  const Case cases[] = {
      {"worker throws std::exception",
       [] { throw std::runtime_error("sector 38 gone"); },
       {},
       "the operation failed: sector 38 gone"},
      {"worker throws something else", [] { throw 42; }, {}, "the operation failed: unknown exception"},
      {"publish throws", [] {}, [] { throw std::runtime_error("no view"); }, "publishing the results failed: no view"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ThreadSlots table;
    std::vector<platform::Outcome> failures;
    std::atomic<bool> published{false};
    {
      OperationRunner runner(table);
      OperationJob job;
      job.work = c.work;
      job.publish = [&, p = c.publish] {
        published = true;
        if (p) p();
      };
      job.failed = [&](const platform::Outcome& o) { failures.push_back(o); };
      ASSERT_FALSE(runner.start(OperationFamily::kSave, std::move(job)));
      runner.joinAll();
    }
    EXPECT_TRUE(published);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].status, platform::Status::kFailed);
    EXPECT_EQ(failures[0].message, c.text);
  }
}

TEST(CallGate, ACallThatThrowsThrowsOnItsCallersThread) {
  std::atomic<bool> woken{false};
  CallGate gate([&] { woken = true; });
  std::string caught;
  std::thread caller([&] {
    try {
      gate.call([] { throw std::runtime_error("view gone"); });
    } catch (const std::exception& e) {
      caught = e.what();
    }
  });
  while (!woken) std::this_thread::yield();
  gate.runPending();
  caller.join();
  EXPECT_EQ(caught, "view gone");
}

}  // namespace
}  // namespace orvaldi::ops
