// The about box: what the program is, its version, and that it never
// writes to the disk it reads.
#pragma once

#include <QDialog>

namespace orvaldi::app {

class AboutDialog : public QDialog {
  Q_OBJECT
 public:
  explicit AboutDialog(QWidget* parent = nullptr);
};

}  // namespace orvaldi::app
