// Terminal progress bar.
#include "cli/console_progress.h"

#include <atomic>
#include <csignal>
#include <string>

#include "platform/terminal.h"

namespace orvaldi::cli {
namespace {

std::atomic<platform::ProgressBlock*> gInterruptible{nullptr};

extern "C" void OnInterrupt(int) {
  if (platform::ProgressBlock* p = gInterruptible.load()) p->requestCancel();
}

}  // namespace

InterruptCancels::InterruptCancels(platform::ProgressBlock& progress) {
  gInterruptible = &progress;
  previous_ = std::signal(SIGINT, OnInterrupt);
}

InterruptCancels::~InterruptCancels() {
  std::signal(SIGINT, previous_);
  gInterruptible = nullptr;
}

ConsoleProgress::ConsoleProgress(const platform::ProgressBlock& block, std::FILE* out)
    : block_(block), out_(out), enabled_(platform::IsTerminal(out)) {}

ConsoleProgress::~ConsoleProgress() { finish(); }

void ConsoleProgress::beginStage(int64_t upper, int64_t step) {
  model_.beginStage(upper, step);
  draw(true);
}

void ConsoleProgress::step() {
  model_.step();
  draw(false);
}

void ConsoleProgress::setPosition(uint64_t position) {
  model_.setPosition(position);
  draw(false);
}

void ConsoleProgress::finish() {
  if (!enabled_ || !drawn_) return;
  std::fprintf(out_, "\r\033[K");
  std::fflush(out_);
  drawn_ = false;
}

void ConsoleProgress::draw(bool force) {
  if (!enabled_) return;
  const auto now = std::chrono::steady_clock::now();
  if (!force && now - lastDraw_ < std::chrono::milliseconds(100)) return;
  lastDraw_ = now;
  constexpr int kWidth = 30;
  const double f = model_.fraction();
  const int filled = static_cast<int>(f * kWidth);
  std::string bar(static_cast<size_t>(filled), '#');
  bar.append(static_cast<size_t>(kWidth - filled), ' ');
  std::string text = block_.text();
  if (text.size() > 60) {
    size_t cut = 60;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;  // keep UTF-8 whole
    text.resize(cut);
  }
  std::fprintf(out_, "\r\033[K[%s] %3d%% %s", bar.c_str(), static_cast<int>(f * 100), text.c_str());
  std::fflush(out_);
  drawn_ = true;
}

}  // namespace orvaldi::cli
