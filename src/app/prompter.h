// Modal questions and messages go through a prompter, so that a test can
// answer them and no test ever waits on a box nobody will click.
#pragma once

#include <QMessageBox>
#include <QString>

class QWidget;

namespace orvaldi::app {

class Prompter {
 public:
  virtual ~Prompter() = default;
  // A modal message with an OK button.
  virtual void message(QWidget* parent, const QString& title, const QString& text) = 0;
  // A modal question; returns the button chosen among `buttons`.
  virtual QMessageBox::StandardButton ask(QWidget* parent, const QString& title, const QString& text,
                                          QMessageBox::StandardButtons buttons) = 0;
};

// The prompter in use: real message boxes unless a test installed its own.
Prompter& CurrentPrompter();
// Installs `prompter` (not owned) for the rest of the process; null goes
// back to message boxes.
void SetPrompter(Prompter* prompter);

}  // namespace orvaldi::app
