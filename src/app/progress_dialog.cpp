// The progress window.
#include "app/progress_dialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QMetaObject>
#include <QPushButton>
#include <QThread>
#include <QVBoxLayout>

#include "app/text_progress_bar.h"

namespace orvaldi::app {
namespace {

const char* const kInitialStatus = "正在执行操作,请稍后...";
const char* const kStoppingStatus = "正在分析文件，请稍后!";

// One counter for every progress window, so that the dots keep moving
// across operations; only the UI thread touches it.
int dotsCounter = 1;

}  // namespace

ProgressDialog::ProgressDialog(QWidget* parent)
    : QDialog(parent),
      block_(std::make_shared<platform::ProgressBlock>(this)),
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
}

ProgressDialog::~ProgressDialog() = default;

void ProgressDialog::showFor(const QString& title) {
  block_ = std::make_shared<platform::ProgressBlock>(this);
  setWindowTitle(title);
  status_->setText(QString::fromUtf8(kInitialStatus));
  dots_->clear();
  bar_->beginStage(100, 1);
  adjustSize();
  if (QWidget* owner = parentWidget()) {
    move(owner->mapToGlobal(owner->rect().center()) - rect().center());
  }
  show();
  raise();
}

void ProgressDialog::closeWhenDone() {
  closingWhenDone_ = true;
  close();
  closingWhenDone_ = false;
}

template <typename Apply>
void ProgressDialog::onOwnThread(Apply apply) {
  if (QThread::currentThread() == thread()) {
    apply();
  } else {
    QMetaObject::invokeMethod(this, apply, Qt::BlockingQueuedConnection);
  }
}

void ProgressDialog::beginStage(int64_t upper, int64_t step) {
  onOwnThread([this, upper, step] {
    bar_->beginStage(upper, step);
    status_->setText(QStringLiteral("正在") + windowTitle());
  });
}

void ProgressDialog::step() {
  onOwnThread([this] {
    bar_->stepIt();
    advanceDots();
  });
}

void ProgressDialog::setPosition(uint64_t position) {
  onOwnThread([this, position] {
    bar_->setPosition(position);
    advanceDots();
  });
}

QString ProgressDialog::statusText() const { return status_->text(); }
QString ProgressDialog::dotsText() const { return dots_->text(); }

void ProgressDialog::stopPressed() {
  // The window stays: what was found so far is still being attached, and
  // the operation closes the window when it has ended.
  block_->requestCancel();
  status_->setText(QString::fromUtf8(kStoppingStatus));
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
