// The "文件筛选" dialog and the way a partition window asks it.
#include "app/filter_dialog.h"

#include <utility>

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace orvaldi::app {

FilterDialog::FilterDialog(QWidget* parent) : QDialog(parent) {
  setWindowTitle("文件筛选");
  pattern_ = new QLineEdit(this);
  pattern_->setMinimumWidth(220);
  deleted_ = new QCheckBox("删除文件", this);
  existing_ = new QCheckBox("正常文件", this);
  deleted_->setChecked(true);
  existing_->setChecked(true);
  ok_ = new QPushButton("确定", this);
  ok_->setDefault(true);
  cancel_ = new QPushButton("取消", this);
  connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);

  auto* fields = new QGridLayout;
  fields->addWidget(new QLabel("全部或部分文件名:", this), 0, 0, 1, 2);
  fields->addWidget(pattern_, 1, 0, 1, 2);
  fields->addWidget(deleted_, 2, 0);
  fields->addWidget(existing_, 2, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(ok_);
  buttons->addWidget(cancel_);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(fields);
  layout->addLayout(buttons);
}

FilterChoice FilterDialog::choice() const { return {pattern_->text(), deleted_->isChecked(), existing_->isChecked()}; }

namespace {
std::function<void(FilterDialog&)>& Hook() {
  static std::function<void(FilterDialog&)> hook;
  return hook;
}
}  // namespace

std::optional<FilterChoice> AskFilter(QWidget* parent) {
  FilterDialog dialog(parent);
  if (Hook()) {
    Hook()(dialog);
  } else {
    dialog.exec();
  }
  if (dialog.result() != QDialog::Accepted) return std::nullopt;
  return dialog.choice();
}

void SetFilterDialogHook(std::function<void(FilterDialog&)> operate) { Hook() = std::move(operate); }

}  // namespace orvaldi::app
