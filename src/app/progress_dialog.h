// The small modeless window that shows a running operation's progress and
// lets the operator stop it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include <QDialog>
#include <QString>

#include "app/operation.h"
#include "ops/progress_tracker.h"
#include "platform/progress.h"

class QLabel;
class QPushButton;
class QTimer;

namespace orvaldi::app {

class TextProgressBar;

// The engine's three messages may come from any thread and never wait for
// the window: they are recorded (latest wins) and the window shows the
// latest state at most every 50 ms while it is shown, and at once when the
// message came on its own thread. The status line shows the block's text
// while the engine has written one, else "正在" and the title once a stage
// began.
class ProgressDialog : public QDialog, public ProgressView, public platform::ProgressSink {
  Q_OBJECT

 public:
  explicit ProgressDialog(QWidget* parent = nullptr);
  ~ProgressDialog() override;

  // ProgressView. Each showing gets a fresh block, so its cancel flag is
  // clear; an earlier operation that still holds the old one keeps it.
  platform::ProgressBlock& block() override { return *block_; }
  void showFor(const QString& title) override;
  void closeWhenDone() override;
  // The current block, kept alive by whoever runs a worker with it even if
  // the window goes away: its messages go to a record that lives as long
  // as the block, not to the window itself.
  std::shared_ptr<platform::ProgressBlock> sharedBlock() const override;

  // ProgressSink: any thread.
  void beginStage(int64_t upper, int64_t step) override;
  void step() override;
  void setPosition(uint64_t position) override;

  // UI thread: shows the latest recorded state now (the operation's end
  // does this before it publishes and closes).
  void showLatest();

  TextProgressBar& bar() { return *bar_; }
  QPushButton& stopButton() { return *stop_; }
  QString statusText() const;
  QString dotsText() const;

 protected:
  // The caption's close box and Escape: the operator closed the window.
  void reject() override;
  void hideEvent(QHideEvent* event) override;

 private:
  // One showing's block and the record its messages go to.
  struct Channel {
    ops::ProgressTracker tracker;
    platform::ProgressBlock block{&tracker};
  };
  std::shared_ptr<Channel> channel() const;
  // After a message from any thread: shown at once on the window's thread.
  void recorded();
  void stopPressed();
  void advanceDots();
  void showStatus();

  mutable std::mutex channelLock_;  // the channel is replaced on the UI thread, read from any
  std::shared_ptr<Channel> channel_;
  platform::ProgressBlock* block_;  // the UI thread's view of channel_->block
  uint64_t shownStages_ = 0;
  uint64_t shownMoves_ = 0;
  QString stageStatus_;
  bool stopped_ = false;
  QTimer* redraw_;
  TextProgressBar* bar_;
  QLabel* status_;
  QLabel* dots_;
  QPushButton* stop_;
  bool closingWhenDone_ = false;
};

}  // namespace orvaldi::app
