#include "app/splash.h"

#include <QApplication>
#include <QIcon>
#include <QPainter>
#include <QScreen>

#include "app/icons/icons.h"

namespace orvaldi::app {

SplashWindow::SplashWindow() : QWidget(nullptr, Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {
  InitIcons();
  picture_ = QIcon(":/icons/splash.svg").pixmap(QSize(420, 240));
  setWindowTitle("Orvaldi");
  setCursor(Qt::UpArrowCursor);
  setFixedSize(picture_.deviceIndependentSize().toSize());
  if (QScreen* screen = QApplication::primaryScreen()) {
    QRect frame = rect();
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
  }
}

void SplashWindow::showNow() {
  show();
  repaint();
  QApplication::processEvents();
}

void SplashWindow::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.drawPixmap(0, 0, picture_);
}

}  // namespace orvaldi::app
