// The "MDI Client Settings" page: the look of the empty client area (logo
// font and colour, background colour or picture and how it fills).
#pragma once

#include <QDialog>

#include "app/settings.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;

namespace orvaldi::app {

class ClientSettingsDialog : public QDialog {
  Q_OBJECT
 public:
  explicit ClientSettingsDialog(const BackgroundSettings& initial, QWidget* parent = nullptr);

  // What the page shows now.
  BackgroundSettings settings() const;

 private:
  void showColour(QPushButton* button, const QColor& colour);

  BackgroundSettings settings_;
  QPushButton* fontButton_;
  QPushButton* logoColourButton_;
  QPushButton* backColourButton_;
  QCheckBox* usePicture_;
  QLineEdit* fileName_;
  QComboBox* fit_;
};

}  // namespace orvaldi::app
