// Helpers for the GUI tests: screenshots and a prompter that answers for
// the operator.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMessageBox>
#include <QString>
#include <QTimer>

#include "app/operation.h"
#include "app/prompter.h"

class QWidget;

namespace orvaldi::test {

// Renders `widget` (shown and laid out first) into <build>/screenshots/NAME.png
// and returns the file's path; empty when it could not be written.
std::string SaveScreenshot(QWidget& widget, const std::string& name);

// Processes events (deferred deletes too) until `done` holds or a generous
// bound passes; the outcome is what a test checks, never the time it took.
template <typename Done>
bool WaitFor(Done done) {
  QElapsedTimer timer;
  timer.start();
  while (!done() && timer.elapsed() < 60000) {
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
  return done();
}

// The same, waiting in an event loop as the program does (not spinning it),
// so that a timed worker is not slowed by the wait.
template <typename Done>
bool WaitInLoop(Done done) {
  QEventLoop loop;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
    if (done()) loop.quit();
  });
  poll.start(10);
  QTimer::singleShot(60000, &loop, &QEventLoop::quit);
  if (!done()) loop.exec();
  return done();
}

// What the operation runner does with a request's shared count and busy
// flag: both raised when it starts, lowered once it was published. For test
// starters that run requests themselves.
void BeginRequest(const app::OperationRequest& request);
void EndRequest(const app::OperationRequest& request);

// Records every message and question; answers questions from a queue
// (QMessageBox::Ok once the queue is empty). Installed for its lifetime.
class ScriptedPrompter final : public app::Prompter {
 public:
  struct Shown {
    QString title;
    QString text;
  };
  ScriptedPrompter();
  ~ScriptedPrompter() override;
  ScriptedPrompter(const ScriptedPrompter&) = delete;
  ScriptedPrompter& operator=(const ScriptedPrompter&) = delete;

  void message(QWidget* parent, const QString& title, const QString& text) override;
  QMessageBox::StandardButton ask(QWidget* parent, const QString& title, const QString& text,
                                  QMessageBox::StandardButtons buttons) override;

  std::deque<QMessageBox::StandardButton> answers;
  std::vector<Shown> shown;
};

}  // namespace orvaldi::test
