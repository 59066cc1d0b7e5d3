// How a window starts a long operation: the engine call runs on a worker
// thread with a progress window watching it, and what it found is published
// on the UI thread once it ends. Windows receive an OperationStarter and
// never create threads themselves, so that tests can run operations
// synchronously.
#pragma once

#include <functional>
#include <memory>

#include <QString>

#include "ops/operation_runner.h"
#include "platform/progress.h"

class QWidget;

namespace orvaldi::app {

// A window that shows an operation's progress: the standard progress window,
// or one of its own (the lost-partition search shows its rows as it goes).
class ProgressView {
 public:
  virtual ~ProgressView() = default;
  // The block the engine reports through. Its messages reach the view on
  // the UI thread: a view that is itself the block's sink gets, at most
  // every 50 ms, a stage's start and then its latest position (the engine
  // never waits for the view), and the final state before the operation
  // publishes.
  virtual platform::ProgressBlock& block() = 0;
  // The same block, for a view that may be destroyed while its operation
  // runs (with the window that owns it): the operation keeps the block
  // alive. Null: the view outlives its operation.
  virtual std::shared_ptr<platform::ProgressBlock> sharedBlock() const { return nullptr; }
  // Shown with `title` when the operation starts; the cancel flag is clear.
  virtual void showFor(const QString& title) = 0;
  // Closed by the operation's end (not by the operator).
  virtual void closeWhenDone() = 0;
};

// The kinds of operation, each with its own threads and progress window
// (ops::OperationFamily: kPartitionWindow, kDeepScan, kDiskSearch,
// kPartitionScan, kStatistics, kSave, kImage, kFreeSpace). A second start of
// a family whose thread slot is still taken is refused (a second full-disk
// scan while the first one's results are still being published, for example).
using OperationFamily = ops::OperationFamily;

struct OperationRequest {
  OperationFamily family = OperationFamily::kPartitionWindow;
  QString title;                 // the progress window's title, e.g. "展开分区文件"
  QWidget* owner = nullptr;      // the window that started it (refusals and the progress window centre on it)
  ProgressView* view = nullptr;  // null: the owner's standard progress window for this family
  // Runs on the worker thread; reports through the block.
  std::function<void(platform::ProgressBlock&)> work;
  // Runs on the UI thread after `work` returned (also when it was stopped):
  // attaches results, expands, selects, refreshes. The progress view is
  // closed after it, then the family's busy state is cleared.
  std::function<void()> publish;
  // The owning window's running-operation count, raised by each of the
  // operation's threads while it runs, and its busy flag, raised at the
  // start and lowered once the view closed. Shared, because the window may
  // be closed while its operation still runs. Either may be null.
  std::shared_ptr<ops::OperationCount> count;
  std::shared_ptr<ops::BusyFlag> busy;
};

// Starts `request`, or refuses it (the refusal was shown to the operator
// through the prompter) and returns false. Never waits for the operation.
using OperationStarter = std::function<bool(OperationRequest request)>;

}  // namespace orvaldi::app
