// The progress block an engine call shares with whoever shows its progress.
//
// It lives in the platform layer because every engine layer (disk, fs, raw)
// reports through it; the threads that run operations live in ops/.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <string>

namespace orvaldi::platform {

// Receiver of the three progress messages. An engine calls these on its own
// (worker) thread and waits for them to return, so a receiver may read the
// block's text during the call; a GUI receiver marshals the update to its UI
// thread and blocks until it is applied, keeping the order of calls.
class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  // A new stage: position 0, range 0..upper, `step` added by each step().
  virtual void beginStage(int64_t upper, int64_t step) = 0;
  virtual void step() = 0;
  virtual void setPosition(uint64_t position) = 0;
};

class ProgressBlock {
 public:
  static constexpr uint32_t kTextCapacity = 1024;

  ProgressBlock() = default;
  explicit ProgressBlock(ProgressSink* sink) : window(sink) {}
  ProgressBlock(const ProgressBlock&) = delete;
  ProgressBlock& operator=(const ProgressBlock&) = delete;

  // The one-line status text (UTF-8, always NUL-terminated within capacity).
  char text[kTextCapacity] = {};
  const uint32_t capacity = kTextCapacity;
  // 0 while the operation may run, 1 once the operator asked it to stop.
  // One writer (the operator's side); engines only read it.
  std::atomic<uint32_t> cancel{0};
  // Where the progress messages go; may be null (no one is watching).
  ProgressSink* window = nullptr;

  bool cancelled() const { return cancel.load(std::memory_order_relaxed) != 0; }
  void requestCancel() { cancel.store(1, std::memory_order_relaxed); }

  // printf-style write into `text`, truncated to the capacity.
  void setText(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void clearText();
  std::string textString() const;

  void beginStage(int64_t upper, int64_t step) {
    if (window) window->beginStage(upper, step);
  }
  void step() {
    if (window) window->step();
  }
  void setPosition(uint64_t position) {
    if (window) window->setPosition(position);
  }
};

}  // namespace orvaldi::platform
