// The progress block an engine call shares with whoever shows its progress.
//
// It lives in the platform layer because every engine layer (disk, fs, raw)
// reports through it; the threads that run operations live in ops/.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace orvaldi::platform {

// Receiver of the three progress messages. An engine calls these on its own
// (worker) thread, often (once per cluster, say), so a receiver returns at
// once: a console bar draws now and then, a GUI receiver records the latest
// state for its UI thread to show, without waiting for it.
class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  // A new stage: position 0, range 0..upper, `step` added by each step().
  virtual void beginStage(int64_t upper, int64_t step) = 0;
  virtual void step() = 0;
  virtual void setPosition(uint64_t position) = 0;
};

// Threads: the operation's workers write the text and send the messages;
// the operator's side reads the text (and takes the rows) and asks to
// cancel. The text and the rows are guarded, the cancel flag is atomic (and
// lock-free, so a signal handler may set it). The sink is set before the
// operation starts.
class ProgressBlock {
 public:
  ProgressBlock() = default;
  explicit ProgressBlock(ProgressSink* sink) : sink_(sink) {}
  ProgressBlock(const ProgressBlock&) = delete;
  ProgressBlock& operator=(const ProgressBlock&) = delete;

  // Where the progress messages go; null: no one is watching.
  void setSink(ProgressSink* sink) { sink_ = sink; }

  // The one-line status text (UTF-8).
  void setText(std::string text) {
    std::lock_guard<std::mutex> guard(textLock_);
    text_ = std::move(text);
  }
  void clearText() { setText({}); }
  std::string text() const {
    std::lock_guard<std::mutex> guard(textLock_);
    return text_;
  }

  // Result rows, for operations that report finds as they go. Unlike the
  // text, which a quickly following update replaces, every row pushed is
  // kept until the watcher takes it, in the order pushed.
  void pushRow(std::string row) {
    std::lock_guard<std::mutex> guard(textLock_);
    rows_.push_back(std::move(row));
  }
  std::vector<std::string> takeRows() {
    std::lock_guard<std::mutex> guard(textLock_);
    return std::exchange(rows_, {});
  }

  // Set once the operator asked the operation to stop; engines only read it.
  bool cancelled() const { return cancel_.load(std::memory_order_relaxed); }
  void requestCancel() { cancel_.store(true, std::memory_order_relaxed); }

  void beginStage(int64_t upper, int64_t step) {
    if (sink_) sink_->beginStage(upper, step);
  }
  void step() {
    if (sink_) sink_->step();
  }
  void setPosition(uint64_t position) {
    if (sink_) sink_->setPosition(position);
  }

 private:
  mutable std::mutex textLock_;
  std::string text_;
  std::vector<std::string> rows_;
  std::atomic<bool> cancel_{false};
  static_assert(std::atomic<bool>::is_always_lock_free);
  ProgressSink* sink_ = nullptr;
};

}  // namespace orvaldi::platform
