// Starting long operations on worker threads and publishing their results
// on the UI thread.
#include "app/operation_starter.h"

#include <algorithm>
#include <list>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <QWidget>

#include "app/progress_dialog.h"
#include "app/prompter.h"
#include "ops/progress_tracker.h"

namespace orvaldi::app {
namespace {

// How often a view that is not the standard window is shown the latest
// progress (the standard window keeps its own pace).
constexpr int kRelayMs = 50;

// One running operation, seen from the UI thread. The worker's progress
// messages never wait for the UI thread: the standard window records them
// itself; for a view of the request's own (whose messages are meant for the
// UI thread) they are recorded here and replayed to it every 50 ms, as a
// stage's start followed by its latest position.
class Run final {
 public:
  Run(OperationRequest request, ProgressView& view)
      : request_(std::move(request)),
        owner_(request_.owner),
        hadOwner_(request_.owner != nullptr),
        view_(&view),
        viewObject_(dynamic_cast<QObject*>(&view)),
        viewIsObject_(viewObject_ != nullptr),
        dialog_(dynamic_cast<ProgressDialog*>(&view)) {
    sharedBlock_ = view.sharedBlock();
    block_ = sharedBlock_ ? sharedBlock_.get() : &view.block();
    if (!dialog_) {
      target_ = dynamic_cast<platform::ProgressSink*>(&view);
      block_->setSink(&relay_);
      relayTimer_ = std::make_unique<QTimer>();
      relayTimer_->setInterval(kRelayMs);
      QObject::connect(relayTimer_.get(), &QTimer::timeout, [this] { replay(); });
      relayTimer_->start();
    }
    // Closing the window that started the operation stops it at once: no
    // one is left to see what it finds, and it would read on for nothing.
    if (request_.owner) {
      ownerGone_ = QObject::connect(request_.owner, &QObject::destroyed, [this] {
        if (viewAlive() || sharedBlock_) block_->requestCancel();
      });
    }
  }
  ~Run() { QObject::disconnect(ownerGone_); }
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  void work() {
    if (request_.work) request_.work(*block_);
  }

  // UI thread, after the work returned: the last progress, publish, close,
  // then free.
  void finish() {
    QObject::disconnect(ownerGone_);
    // Here, on its own thread: the last reference to the run may go on the
    // monitor's thread.
    relayTimer_.reset();
    if (viewAlive()) {
      if (dialog_) {
        dialog_->showLatest();
      } else {
        replay();
        block_->setSink(target_);
      }
    }
    if (!hadOwner_ || owner_) {
      if (request_.publish) request_.publish();
    }
    if (viewAlive()) view_->closeWhenDone();
    if (request_.busy) request_.busy->lower();
    finished_ = true;
  }

  // UI thread: the program is ending.
  void stop() {
    if (viewAlive() || sharedBlock_) block_->requestCancel();
  }

  bool finished() const { return finished_; }

 private:
  // A view that is a window may be destroyed with its owner while the
  // operation runs; the check runs on the UI thread only.
  bool viewAlive() const { return !viewIsObject_ || viewObject_; }

  // UI thread: what changed since the last look, to the request's own view.
  void replay() {
    if (!viewAlive() || !target_) return;
    const ops::ProgressTracker::Snapshot latest = relay_.latest();
    if (latest.stages != replayedStages_) target_->beginStage(latest.bar.upper(), latest.bar.stepSize());
    if (latest.moves != replayedMoves_)
      target_->setPosition(static_cast<uint64_t>(std::max<int64_t>(latest.bar.position(), 0)));
    replayedStages_ = latest.stages;
    replayedMoves_ = latest.moves;
  }

  OperationRequest request_;
  QPointer<QWidget> owner_;
  bool hadOwner_;
  ProgressView* view_;
  QPointer<QObject> viewObject_;
  bool viewIsObject_;
  ProgressDialog* dialog_;  // the standard window, or null
  // A view's shared block (the standard window's, for one) is kept alive by
  // the operation itself, so a worker never reports into a freed block.
  std::shared_ptr<platform::ProgressBlock> sharedBlock_;
  platform::ProgressBlock* block_ = nullptr;
  // For a view of the request's own: where its messages were meant to go.
  platform::ProgressSink* target_ = nullptr;
  ops::ProgressTracker relay_;
  std::unique_ptr<QTimer> relayTimer_;
  uint64_t replayedStages_ = 0;
  uint64_t replayedMoves_ = 0;
  QMetaObject::Connection ownerGone_;
  bool finished_ = false;
};

// The gate of the live starter, for workers that ask the operator.
std::mutex uiGateLock;
ops::CallGate* uiGate = nullptr;

class StarterState {
 public:
  explicit StarterState(ops::ThreadSlots& table)
      : gate_([this] {
          QMetaObject::invokeMethod(
              &wakeTarget_, [this] { gate_.runPending(); }, Qt::QueuedConnection);
        }),
        runner_(table) {
    std::lock_guard<std::mutex> guard(uiGateLock);
    uiGate = &gate_;
  }

  ~StarterState() {
    {
      std::lock_guard<std::mutex> guard(uiGateLock);
      if (uiGate == &gate_) uiGate = nullptr;
    }
    // Release every thread waiting on the UI thread, ask the engines to
    // stop, and wait for all of it before anything they use goes away.
    gate_.close();
    for (const auto& run : runs_) run->stop();
    runner_.joinAll();
    for (Standard& standard : dialogs_) {
      if (!standard.owner) delete standard.dialog.data();
    }
  }
  StarterState(const StarterState&) = delete;
  StarterState& operator=(const StarterState&) = delete;

  bool start(OperationRequest request) {
    if (auto refusal = ops::SlotRefusal(request.family, runner_.threadSlots())) {
      CurrentPrompter().message(request.owner, QString::fromStdString(refusal->title),
                                QString::fromStdString(refusal->text));
      return false;
    }
    forgetFinished();
    ProgressView* view = request.view ? request.view : &standardDialog(request.owner, request.family);
    view->showFor(request.title);
    std::shared_ptr<ops::OperationCount> count = request.count;
    if (request.busy) request.busy->raise();
    const ops::OperationFamily family = request.family;
    auto run = std::make_shared<Run>(std::move(request), *view);
    runs_.push_back(run);
    ops::OperationJob job;
    job.work = [run] { run->work(); };
    job.publish = [this, run] { gate_.call([&] { run->finish(); }); };
    job.count = std::move(count);
    return !runner_.start(family, std::move(job));
  }

 private:
  struct Standard {
    QPointer<QWidget> owner;
    ops::OperationFamily family;
    QPointer<ProgressDialog> dialog;
  };

  ProgressDialog& standardDialog(QWidget* owner, ops::OperationFamily family) {
    for (Standard& standard : dialogs_) {
      if (standard.owner == owner && standard.family == family && standard.dialog) return *standard.dialog;
    }
    // A child of its owner, so it is centred on it and goes with it.
    auto* dialog = new ProgressDialog(owner);
    dialogs_.push_back({owner, family, dialog});
    return *dialog;
  }

  void forgetFinished() {
    runs_.remove_if([](const std::shared_ptr<Run>& run) { return run->finished(); });
    std::erase_if(dialogs_, [](const Standard& standard) { return !standard.dialog; });
  }

  QObject wakeTarget_;
  ops::CallGate gate_;
  ops::OperationRunner runner_;
  std::list<std::shared_ptr<Run>> runs_;
  std::vector<Standard> dialogs_;
};

}  // namespace

bool CallOnUiThread(const std::function<void()>& fn) {
  if (QThread::currentThread() == QCoreApplication::instance()->thread()) {
    fn();
    return true;
  }
  // The gate's own close() releases a waiting worker, so holding the lock
  // only while looking the gate up is enough: the destructor clears the
  // pointer before it closes the gate.
  ops::CallGate* gate = nullptr;
  {
    std::lock_guard<std::mutex> guard(uiGateLock);
    gate = uiGate;
  }
  return gate && gate->call(fn);
}

OperationStarter MakeOperationStarter(ops::ThreadSlots& table) {
  auto state = std::make_shared<StarterState>(table);
  return [state](OperationRequest request) { return state->start(std::move(request)); };
}

}  // namespace orvaldi::app
