// A progress bar on standard error for long commands.
#pragma once

#include <chrono>
#include <cstdio>

#include "ops/progress_bar_model.h"
#include "platform/progress.h"

namespace orvaldi::cli {

// Draws the bar and the block's status text on one terminal line. Silent
// when standard error is not a terminal, so scripts and logs stay clean.
class ConsoleProgress final : public platform::ProgressSink {
 public:
  explicit ConsoleProgress(const platform::ProgressBlock& block, std::FILE* out = stderr);
  ~ConsoleProgress() override;

  void beginStage(int64_t upper, int64_t step) override;
  void step() override;
  void setPosition(uint64_t position) override;
  // Erases the bar line (called by the destructor too).
  void finish();
  bool enabled() const { return enabled_; }

 private:
  void draw(bool force);
  const platform::ProgressBlock& block_;
  std::FILE* out_;
  bool enabled_;
  bool drawn_ = false;
  ops::ProgressBarModel model_;
  std::chrono::steady_clock::time_point lastDraw_{};
};

// While it lives, Ctrl-C asks the operation that polls `progress` to stop at
// its next piece instead of ending the process, so that what it found so far
// can still be reported and saved.
class InterruptCancels {
 public:
  explicit InterruptCancels(platform::ProgressBlock& progress);
  ~InterruptCancels();
  InterruptCancels(const InterruptCancels&) = delete;
  InterruptCancels& operator=(const InterruptCancels&) = delete;

 private:
  void (*previous_)(int) = nullptr;
};

}  // namespace orvaldi::cli
