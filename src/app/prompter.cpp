#include "app/prompter.h"

namespace orvaldi::app {
namespace {

class BoxPrompter final : public Prompter {
 public:
  void message(QWidget* parent, const QString& title, const QString& text) override {
    QMessageBox::information(parent, title, text);
  }
  QMessageBox::StandardButton ask(QWidget* parent, const QString& title, const QString& text,
                                  QMessageBox::StandardButtons buttons) override {
    return QMessageBox::question(parent, title, text, buttons);
  }
};

Prompter* installed = nullptr;

}  // namespace

Prompter& CurrentPrompter() {
  static BoxPrompter boxes;
  return installed ? *installed : boxes;
}

void SetPrompter(Prompter* prompter) { installed = prompter; }

}  // namespace orvaldi::app
