// The latest state of an operation's progress, recorded by its worker and
// sampled by whoever shows it.
#pragma once

#include <cstdint>
#include <mutex>

#include "ops/progress_bar_model.h"
#include "platform/progress.h"

namespace orvaldi::ops {

// A sink that never waits for its watcher: each message updates the bar's
// state under a short lock and returns, so an engine that steps once per
// cluster runs at the speed of its reads. A watcher on another thread takes
// a snapshot whenever it redraws (latest wins); the counters tell it whether
// a new stage began and whether the position moved since its last look, so
// that a stage's start is shown before any position of that stage.
class ProgressTracker final : public platform::ProgressSink {
 public:
  struct Snapshot {
    ProgressBarModel bar;  // the same arithmetic as every bar: clamping included
    uint64_t stages = 0;   // begin-stage messages so far
    uint64_t moves = 0;    // step and set-position messages so far
  };

  void beginStage(int64_t upper, int64_t step) override {
    std::lock_guard<std::mutex> guard(lock_);
    state_.bar.beginStage(upper, step);
    ++state_.stages;
  }
  void step() override {
    std::lock_guard<std::mutex> guard(lock_);
    state_.bar.step();
    ++state_.moves;
  }
  void setPosition(uint64_t position) override {
    std::lock_guard<std::mutex> guard(lock_);
    state_.bar.setPosition(position);
    ++state_.moves;
  }

  Snapshot latest() const {
    std::lock_guard<std::mutex> guard(lock_);
    return state_;
  }

 private:
  mutable std::mutex lock_;
  Snapshot state_;
};

}  // namespace orvaldi::ops
