// The picture preview of a file list: pressing on a picture row and holding
// the pointer still pops up a small frameless window showing the picture, as
// read from the disk, so that a found picture can be judged before it is
// saved. Moving the pointer away closes it.
#pragma once

#include <functional>

#include <QByteArray>
#include <QImage>
#include <QModelIndex>
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>

#include "disk/disk_info.h"
#include "disk/partition_info.h"
#include "fs/node_view.h"

class QAbstractItemView;

namespace orvaldi::app {

// Whether the list shows a preview for a file of this name: its extension
// (after the last dot, any case) is jpg, jpeg, bmp or gif.
bool IsPictureName(const QString& name);

// The file behind a row: the records it is read through and its node. An
// empty node when the row no longer leads to one.
struct PictureFile {
  const disk::DiskInfo* disk = nullptr;
  const disk::PartitionInfo* partition = nullptr;
  fs::NodeRef node;
};
using PictureLocator = std::function<PictureFile(const QModelIndex& row)>;

// What may be shown of a picture file: the bytes the copy gave, or none.
// A copy that met unreadable sectors gives none (zeros stand in for them,
// and would be drawn as the picture's); a copy whose data is not fully known
// to be the file's gives what was read.
struct PictureData {
  QByteArray bytes;
  QString problem;  // why nothing or not all of it is shown; empty when all was read
};
PictureData ReadPicture(const PictureFile& file);

// The pop-up: 370 x 300, frameless, a tool window with the not-allowed
// cursor, the picture stretched over it. Empty when the data does not decode.
class PreviewWindow final : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kWidth = 370;
  static constexpr int kHeight = 300;
  PreviewWindow(const QByteArray& picture, QWidget* parent);
  const QImage& image() const { return image_; }

 protected:
  void paintEvent(QPaintEvent* e) override;

 private:
  QImage image_;
};

// Watches a file list's viewport for the press that arms the preview and
// the moves that close it. At most one preview is open.
class PicturePreview final : public QObject {
  Q_OBJECT

 public:
  static constexpr int kDelayMs = 300;
  // Moving this far (or farther) in x or y before the delay ends cancels it.
  static constexpr int kStillPixels = 2;

  PicturePreview(QAbstractItemView* view, PictureLocator locator);
  ~PicturePreview() override;

  // Where the pointer is, in screen coordinates (QCursor::pos() unless a
  // test sets its own).
  void setCursorPosition(std::function<QPoint()> position) { cursor_ = std::move(position); }
  bool armed() const { return timer_.isActive(); }
  // The open preview, or null.
  PreviewWindow* window() const { return window_; }
  void close();

 protected:
  bool eventFilter(QObject* watched, QEvent* e) override;

 private:
  void fire();
  bool insideRectangle(const QPoint& global) const;

  QPointer<QAbstractItemView> view_;
  QWidget* viewport_;  // compared only: events still come while the view is torn down
  PictureLocator locator_;
  std::function<QPoint()> cursor_;
  QTimer timer_;
  QPoint pressGlobal_;  // screen position at the press
  QPoint pressPoint_;   // viewport position at the press
  int top_ = 0;         // the preview's top edge, at or above the press
  QPointer<PreviewWindow> window_;
};

}  // namespace orvaldi::app
