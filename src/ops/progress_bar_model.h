// The state of a progress bar driven by the three progress messages.
#pragma once

#include <cstdint>

namespace orvaldi::ops {

// Position arithmetic shared by every front end's bar, so that the console
// bar and the window bar agree on what a message does.
class ProgressBarModel {
 public:
  // New range 0..upper, position 0, `step` added per step().
  void beginStage(int64_t upper, int64_t step) {
    lower_ = 0;
    upper_ = upper;
    step_ = step;
    position_ = 0;
  }
  // Adds the step; a position that would pass the upper bound stops at it.
  void step() { position_ = position_ + step_ > upper_ ? upper_ : position_ + step_; }
  // Moves to `position`, never past the upper bound (compared unsigned).
  void setPosition(uint64_t position) {
    position_ = position < static_cast<uint64_t>(upper_) ? static_cast<int64_t>(position) : upper_;
  }

  int64_t lower() const { return lower_; }
  int64_t upper() const { return upper_; }
  int64_t position() const { return position_; }
  int64_t stepSize() const { return step_; }
  // Position as a fraction of the range, within [0, 1].
  double fraction() const {
    if (upper_ <= lower_) return 0.0;
    const double f = static_cast<double>(position_ - lower_) / static_cast<double>(upper_ - lower_);
    return f < 0 ? 0 : (f > 1 ? 1 : f);
  }

 private:
  int64_t lower_ = 0;
  int64_t upper_ = 100;
  int64_t position_ = 0;
  int64_t step_ = 1;
};

}  // namespace orvaldi::ops
