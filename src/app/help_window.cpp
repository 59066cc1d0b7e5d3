// The user guide in a window of the program's own.
#include "app/help_window.h"

#include <QFileInfo>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

#include "app/main_frame.h"

// Outside any namespace, as the resource initialiser's name must be: the
// guide lives in a static library, whose resources register only when asked.
static void InitHelpResources() { Q_INIT_RESOURCE(help); }

namespace orvaldi::app {
namespace {

// Built into the program from the same file that is installed beside it.
const char kBuiltInGuide[] = "qrc:/help/index.html";

}  // namespace

HelpWindow::HelpWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
  static const bool registered = (InitHelpResources(), true);
  (void)registered;
  setWindowTitle("帮助");
  browser_ = new QTextBrowser(this);
  // Pages of the guide open here; only addresses outside it go to a browser.
  browser_->setOpenExternalLinks(true);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(browser_);
  resize(780, 620);
}

bool HelpWindow::showGuide() {
  const QString beside = MainFrame::HelpFilePath();
  // A guide installed beside the program wins: it may be newer than the copy
  // this build carries.
  browser_->setSource(QFileInfo::exists(beside) ? QUrl::fromLocalFile(beside) : QUrl(kBuiltInGuide));
  if (browser_->document()->isEmpty()) return false;
  setWindowTitle(browser_->documentTitle().isEmpty() ? QString("帮助") : browser_->documentTitle());
  if (!isVisible() && parentWidget()) {
    const QWidget* main = parentWidget()->window();
    move(main->frameGeometry().center() - QPoint(width() / 2, height() / 2));
  }
  show();
  raise();
  activateWindow();
  return true;
}

QString HelpWindow::source() const { return browser_->source().toString(); }

}  // namespace orvaldi::app
