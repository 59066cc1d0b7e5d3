#include "app/tree_icons.h"

#include <QApplication>
#include <QPainter>
#include <QPixmap>
#include <QStyle>

namespace orvaldi::app {

QIcon TreeIcons::device() {
  static const QIcon icon = QApplication::style()->standardIcon(QStyle::SP_DriveHDIcon);
  return icon;
}

QIcon TreeIcons::folder() {
  static const QIcon icon = QApplication::style()->standardIcon(QStyle::SP_DirIcon);
  return icon;
}

QIcon TreeIcons::deletedFolder() {
  // The folder image washed red, so that a deleted folder reads as one even
  // where its red text is not seen (a selected row).
  static const QIcon icon = [] {
    QPixmap pixmap = folder().pixmap(16, 16);
    QPainter painter(&pixmap);
    painter.setCompositionMode(QPainter::CompositionMode_SourceAtop);
    painter.fillRect(pixmap.rect(), QColor(255, 0, 0, 140));
    painter.end();
    return QIcon(pixmap);
  }();
  return icon;
}

}  // namespace orvaldi::app
