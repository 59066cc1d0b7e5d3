// The about box: the program's name and version, and what it does.
#pragma once

#include <QDialog>

namespace orvaldi::app {

class AboutDialog : public QDialog {
  Q_OBJECT
 public:
  explicit AboutDialog(QWidget* parent = nullptr);
};

}  // namespace orvaldi::app
