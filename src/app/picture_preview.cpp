#include "app/picture_preview.h"

#include <cstdlib>

#include <QAbstractItemView>
#include <QCursor>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>

#include "fs/extract.h"
#include "ops/file_ops.h"

namespace orvaldi::app {
namespace {

// A preview holds its picture in memory and decodes it on the UI thread; a
// "picture" larger than this is shown from its first part.
constexpr uint64_t kMaxPictureBytes = 64ull << 20;

}  // namespace

bool IsPictureName(const QString& name) {
  const qsizetype dot = name.lastIndexOf('.');
  if (dot < 0) return false;
  const QString extension = name.mid(dot + 1).toLower();
  return extension == "jpg" || extension == "jpeg" || extension == "bmp" || extension == "gif";
}

PictureData ReadPicture(const PictureFile& file) {
  PictureData out;
  if (!file.disk || !file.partition || !file.node) return out;
  fs::MemorySink sink;
  const ops::FileCopy copy = ops::CopyFile(*file.disk, *file.partition, file.node, sink,
                                           [&](uint64_t) { return sink.bytes.size() < kMaxPictureBytes; });
  if (!copy.sourceError.empty()) {
    out.problem = QString::fromStdString(copy.sourceError);
    return out;
  }
  const fs::NodeCopy& r = copy.result;
  if (r.readErrors || r.status == platform::Status::kFailed) {
    out.problem = QString::fromStdString(r.message);
    return out;
  }
  if (r.status == platform::Status::kCancelled)
    out.problem = QString("only the first %1 bytes are shown").arg(sink.bytes.size());
  else if (r.status != platform::Status::kOk)
    out.problem = QString::fromStdString(r.message);
  out.bytes = QByteArray(reinterpret_cast<const char*>(sink.bytes.data()), static_cast<qsizetype>(sink.bytes.size()));
  return out;
}

PreviewWindow::PreviewWindow(const QByteArray& picture, QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint) {
  setAttribute(Qt::WA_ShowWithoutActivating);
  setCursor(Qt::ForbiddenCursor);
  setFixedSize(kWidth, kHeight);
  if (!picture.isEmpty()) image_ = QImage::fromData(picture);
}

void PreviewWindow::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), palette().color(QPalette::Window));
  // The whole picture over the whole window, its aspect not kept.
  if (!image_.isNull()) p.drawImage(QRect(0, 0, kWidth, kHeight), image_);
}

PicturePreview::PicturePreview(QAbstractItemView* view, PictureLocator locator)
    : QObject(view), view_(view), viewport_(view->viewport()), locator_(std::move(locator)), cursor_([] {
        return QCursor::pos();
      }) {
  timer_.setSingleShot(true);
  timer_.setInterval(kDelayMs);
  connect(&timer_, &QTimer::timeout, this, &PicturePreview::fire);
  // Moves without a button pressed are what close the preview.
  view_->viewport()->setMouseTracking(true);
  view_->viewport()->installEventFilter(this);
}

PicturePreview::~PicturePreview() { close(); }

void PicturePreview::close() {
  if (window_) {
    window_->hide();
    window_->deleteLater();
  }
  window_ = nullptr;
}

bool PicturePreview::insideRectangle(const QPoint& global) const {
  const int x = pressGlobal_.x();
  return global.x() >= x - 2 && global.x() <= x + PreviewWindow::kWidth && global.y() >= top_ &&
         global.y() <= top_ + PreviewWindow::kHeight;
}

bool PicturePreview::eventFilter(QObject* watched, QEvent* e) {
  // Only the mouse's events look at the view: the others include those its
  // viewport receives while the view is being destroyed.
  if (watched != viewport_) return false;
  if (e->type() == QEvent::MouseButtonPress && view_) {
    auto* mouse = static_cast<QMouseEvent*>(e);
    if (mouse->button() != Qt::LeftButton) return false;
    const QModelIndex row = view_->indexAt(mouse->position().toPoint());
    // The latest press is the one that counts: one elsewhere disarms.
    timer_.stop();
    if (row.isValid() && IsPictureName(row.siblingAtColumn(0).data().toString())) {
      pressGlobal_ = mouse->globalPosition().toPoint();
      pressPoint_ = mouse->position().toPoint();
      timer_.start();
    }
  } else if (e->type() == QEvent::MouseMove && window_) {
    if (!insideRectangle(static_cast<QMouseEvent*>(e)->globalPosition().toPoint())) close();
  }
  return false;
}

void PicturePreview::fire() {
  timer_.stop();
  if (!view_) return;
  const QPoint now = cursor_();
  if (std::abs(now.x() - pressGlobal_.x()) >= kStillPixels || std::abs(now.y() - pressGlobal_.y()) >= kStillPixels)
    return;
  const QModelIndex row = view_->indexAt(pressPoint_);
  if (!row.isValid() || !IsPictureName(row.siblingAtColumn(0).data().toString())) return;
  const PictureFile file = locator_ ? locator_(row) : PictureFile{};
  if (!file.node) return;
  close();
  window_ = new PreviewWindow(ReadPicture(file).bytes, view_->window());
  // Beside the pointer, or above it when it would pass the screen's bottom.
  QScreen* screen = QGuiApplication::screenAt(pressGlobal_);
  if (!screen) screen = view_->screen();
  const QRect available = screen->availableGeometry();
  top_ = pressGlobal_.y();
  if (top_ + PreviewWindow::kHeight > available.y() + available.height()) top_ -= PreviewWindow::kHeight;
  window_->move(pressGlobal_.x() + 2, top_);
  window_->show();
}

}  // namespace orvaldi::app
