// The progress window.
#include "app/progress_dialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include "app/text_progress_bar.h"

namespace orvaldi::app {
namespace {

const char* const kInitialStatus = "正在执行操作,请稍后...";
const char* const kStoppingStatus = "正在分析文件，请稍后!";
// Often enough to look live, rare enough to cost the work nothing.
constexpr int kRedrawMs = 50;

// One counter for every progress window, so that the dots keep moving
// across operations; only the UI thread touches it.
int dotsCounter = 1;

}  // namespace

ProgressDialog::ProgressDialog(QWidget* parent)
    : QDialog(parent),
      channel_(std::make_shared<Channel>()),
      block_(&channel_->block),
      stageStatus_(QString::fromUtf8(kInitialStatus)),
      redraw_(new QTimer(this)),
      bar_(new TextProgressBar(this)),
      status_(new QLabel(QString::fromUtf8(kInitialStatus), this)),
      dots_(new QLabel(this)),
      stop_(new QPushButton(QStringLiteral("停止"), this)) {
  setWindowTitle(QStringLiteral("进度条"));
  setModal(false);
  dots_->setMinimumWidth(dots_->fontMetrics().horizontalAdvance(QStringLiteral("......")) + 4);
  auto* lines = new QHBoxLayout;
  lines->addWidget(status_, 1);
  lines->addWidget(dots_);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(stop_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(bar_);
  layout->addLayout(lines);
  layout->addLayout(buttons);
  setMinimumWidth(340);
  connect(stop_, &QPushButton::clicked, this, &ProgressDialog::stopPressed);
  redraw_->setInterval(kRedrawMs);
  connect(redraw_, &QTimer::timeout, this, &ProgressDialog::showLatest);
}

ProgressDialog::~ProgressDialog() = default;

std::shared_ptr<ProgressDialog::Channel> ProgressDialog::channel() const {
  std::lock_guard<std::mutex> guard(channelLock_);
  return channel_;
}

std::shared_ptr<platform::ProgressBlock> ProgressDialog::sharedBlock() const {
  std::shared_ptr<Channel> current = channel();
  return {current, &current->block};
}

void ProgressDialog::showFor(const QString& title) {
  auto fresh = std::make_shared<Channel>();
  {
    std::lock_guard<std::mutex> guard(channelLock_);
    channel_ = fresh;
  }
  block_ = &fresh->block;
  shownStages_ = 0;
  shownMoves_ = 0;
  stageStatus_ = QString::fromUtf8(kInitialStatus);
  stopped_ = false;
  setWindowTitle(title);
  status_->setText(stageStatus_);
  dots_->clear();
  bar_->beginStage(100, 1);
  adjustSize();
  if (QWidget* owner = parentWidget()) {
    move(owner->mapToGlobal(owner->rect().center()) - rect().center());
  }
  show();
  raise();
  redraw_->start();
}

void ProgressDialog::closeWhenDone() {
  showLatest();
  closingWhenDone_ = true;
  close();
  closingWhenDone_ = false;
}

void ProgressDialog::hideEvent(QHideEvent* event) {
  redraw_->stop();
  QDialog::hideEvent(event);
}

void ProgressDialog::beginStage(int64_t upper, int64_t step) {
  channel()->tracker.beginStage(upper, step);
  recorded();
}

void ProgressDialog::step() {
  channel()->tracker.step();
  recorded();
}

void ProgressDialog::setPosition(uint64_t position) {
  channel()->tracker.setPosition(position);
  recorded();
}

void ProgressDialog::recorded() {
  if (QThread::currentThread() == thread()) showLatest();
}

void ProgressDialog::showLatest() {
  const ops::ProgressTracker::Snapshot latest = channel_->tracker.latest();
  // A new stage's status goes up in the same redraw as its first position,
  // so the operator never sees a stage's positions under the one before.
  const bool newStage = latest.stages != shownStages_;
  const bool moved = latest.moves != shownMoves_;
  if (newStage) stageStatus_ = QStringLiteral("正在") + windowTitle();
  if (newStage || moved) bar_->showState(latest.bar);
  // However many messages came since the last redraw, the dots move once.
  if (moved) advanceDots();
  shownStages_ = latest.stages;
  shownMoves_ = latest.moves;
  showStatus();
}

void ProgressDialog::showStatus() {
  if (stopped_) {
    status_->setText(QString::fromUtf8(kStoppingStatus));
    return;
  }
  const std::string text = block_->text();
  status_->setText(text.empty() ? stageStatus_ : QString::fromStdString(text));
}

QString ProgressDialog::statusText() const { return status_->text(); }
QString ProgressDialog::dotsText() const { return dots_->text(); }

void ProgressDialog::stopPressed() {
  // The window stays: what was found so far is still being attached, and
  // the operation closes the window when it has ended.
  block_->requestCancel();
  stopped_ = true;
  showStatus();
}

void ProgressDialog::advanceDots() {
  // ".", "..", ... "......", one message without a change, then again.
  if (dotsCounter < 7) {
    dots_->setText(QString(dotsCounter, QLatin1Char('.')));
    ++dotsCounter;
  } else {
    dotsCounter = 1;
  }
}

void ProgressDialog::reject() {
  // The close box and Escape both end here (the dialog's close route calls
  // reject); closed by the operator rather than by the operation's end, the
  // operation is stopped too.
  if (!closingWhenDone_) block_->requestCancel();
  QDialog::reject();
}

}  // namespace orvaldi::app
