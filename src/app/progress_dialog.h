// The small modeless window that shows a running operation's progress and
// lets the operator stop it.
#pragma once

#include <cstdint>
#include <memory>

#include <QDialog>
#include <QString>

#include "app/operation.h"
#include "platform/progress.h"

class QLabel;
class QPushButton;

namespace orvaldi::app {

class TextProgressBar;

// The engine's three messages may come from any thread: called on the
// window's own thread they apply at once, otherwise they are carried over
// to it and the caller waits, so the bar is current when the call returns.
// (The operation starter already delivers them on the UI thread; the hop
// here serves anyone who hands the block to a thread of their own.)
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
  // The current block, for callers that must keep it alive while their
  // worker runs even if the window goes away (they make themselves its sink
  // meanwhile: the window's messages are for its lifetime only).
  std::shared_ptr<platform::ProgressBlock> sharedBlock() const { return block_; }

  // ProgressSink.
  void beginStage(int64_t upper, int64_t step) override;
  void step() override;
  void setPosition(uint64_t position) override;

  TextProgressBar& bar() { return *bar_; }
  QPushButton& stopButton() { return *stop_; }
  QString statusText() const;
  QString dotsText() const;

 protected:
  // The caption's close box and Escape: the operator closed the window.
  void reject() override;

 private:
  template <typename Apply>
  void onOwnThread(Apply apply);
  void stopPressed();
  void advanceDots();

  std::shared_ptr<platform::ProgressBlock> block_;
  TextProgressBar* bar_;
  QLabel* status_;
  QLabel* dots_;
  QPushButton* stop_;
  bool closingWhenDone_ = false;
};

}  // namespace orvaldi::app
