// The user guide in a window of the program's own, so that F1 works on a
// desktop without a browser or a handler for local pages.
#pragma once

#include <QString>
#include <QWidget>

class QTextBrowser;

namespace orvaldi::app {

class HelpWindow final : public QWidget {
  Q_OBJECT

 public:
  explicit HelpWindow(QWidget* parent = nullptr);

  // Loads the guide (the file beside the program, else the copy built into
  // it) and shows the window over the middle of its parent's window. False
  // when neither could be read.
  bool showGuide();

  QTextBrowser* browser() const { return browser_; }
  // Where the guide shown was read from.
  QString source() const;

 private:
  QTextBrowser* browser_;
};

}  // namespace orvaldi::app
