#include "gui_support.h"

#include <filesystem>

#include <QApplication>
#include <QPixmap>
#include <QWidget>

namespace orvaldi::test {

std::string SaveScreenshot(QWidget& widget, const std::string& name) {
  widget.show();
  QApplication::processEvents();
  const std::filesystem::path dir = ORVALDI_SCREENSHOT_DIR;
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  const std::string path = (dir / (name + ".png")).string();
  return widget.grab().save(QString::fromStdString(path)) ? path : std::string();
}

ScriptedPrompter::ScriptedPrompter() { app::SetPrompter(this); }
ScriptedPrompter::~ScriptedPrompter() { app::SetPrompter(nullptr); }

void ScriptedPrompter::message(QWidget*, const QString& title, const QString& text) { shown.push_back({title, text}); }

QMessageBox::StandardButton ScriptedPrompter::ask(QWidget*, const QString& title, const QString& text,
                                                  QMessageBox::StandardButtons) {
  shown.push_back({title, text});
  if (answers.empty()) return QMessageBox::Ok;
  const QMessageBox::StandardButton answer = answers.front();
  answers.pop_front();
  return answer;
}

void BeginRequest(const app::OperationRequest& request) {
  if (request.count) request.count->raise();
  if (request.busy) request.busy->raise();
}

void EndRequest(const app::OperationRequest& request) {
  if (request.busy) request.busy->lower();
  if (request.count) request.count->lower();
}

}  // namespace orvaldi::test
