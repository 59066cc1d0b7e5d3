// The splash window shown while the disks are enumerated at start-up.
#pragma once

#include <QWidget>

#include <QPixmap>

namespace orvaldi::app {

// A borderless pop-up exactly the size of its picture, centred on the
// screen; the picture is drawn unscaled.
class SplashWindow : public QWidget {
  Q_OBJECT
 public:
  SplashWindow();
  // Shows the window and paints it before the caller blocks on its work.
  void showNow();

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QPixmap picture_;
};

}  // namespace orvaldi::app
