// The "Recover" and "残缺的名字" dialogs, and the asker that shows them.
#include "app/save_dialogs.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/prompter.h"

namespace orvaldi::app {

RecoverDialog::RecoverDialog(const RecoverDefaults& defaults, QWidget* parent) : QDialog(parent) {
  setWindowTitle("Recover");
  target_ = new QLineEdit(this);
  target_->setMinimumWidth(280);
  browse_ = new QPushButton(">", this);
  browse_->setFixedWidth(32);
  browse_->setAutoDefault(false);
  useFat_ = new QCheckBox("是否以FAT做参考", this);
  deleted_ = new QCheckBox("恢复删除文件", this);
  existing_ = new QCheckBox("恢复正常文件", this);
  // Following the chain is only possible where there is a FAT to follow.
  useFat_->setChecked(defaults.fatPartition);
  useFat_->setVisible(defaults.fatPartition);
  deleted_->setChecked(defaults.recoverDeleted);
  existing_->setChecked(defaults.recoverExisting);

  auto* path = new QHBoxLayout;
  path->addWidget(new QLabel("输出路径:", this));
  path->addWidget(target_, 1);
  path->addWidget(browse_);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(path);
  layout->addWidget(useFat_);
  layout->addWidget(deleted_);
  layout->addWidget(existing_);
  layout->addWidget(buttons);

  connect(browse_, &QPushButton::clicked, this, &RecoverDialog::browse);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

raw::SaveOptions RecoverDialog::options() const {
  raw::SaveOptions o;
  o.target = target_->text().trimmed().toStdString();
  o.useFat = !useFat_->isHidden() && useFat_->isChecked();
  o.recoverDeleted = deleted_->isChecked();
  o.recoverExisting = existing_->isChecked();
  return o;
}

void RecoverDialog::browse() {
  const QString folder = QFileDialog::getExistingDirectory(this, "输出路径", target_->text());
  if (folder.isEmpty()) {
    CurrentPrompter().message(this, "error", "请选择存储路径");
    return;
  }
  if (!QFileInfo(folder).isDir()) {
    CurrentPrompter().message(this, "error", "选择目录操作出错");
    return;
  }
  target_->setText(folder);
}

BadNameDialog::BadNameDialog(const QString& oldName, const QString& proposed, QWidget* parent) : QDialog(parent) {
  setWindowTitle("残缺的名字");
  oldName_ = new QLineEdit(oldName, this);
  oldName_->setReadOnly(true);
  newName_ = new QLineEdit(proposed, this);
  replaceAll_ = new QCheckBox("所有无效符号改为：", this);
  replacement_ = new QLineEdit("$", this);
  replacement_->setMaximumWidth(80);
  rename_ = new QPushButton("重命名", this);
  skip_ = new QPushButton("跳过", this);
  skipAll_ = new QPushButton("跳过所有", this);
  rename_->setDefault(true);
  for (QLineEdit* edit : {oldName_, newName_}) edit->setMinimumWidth(300);

  auto* fields = new QGridLayout;
  fields->addWidget(new QLabel("原文件名", this), 0, 0);
  fields->addWidget(oldName_, 0, 1, 1, 2);
  fields->addWidget(new QLabel("新文件名", this), 1, 0);
  fields->addWidget(newName_, 1, 1, 1, 2);
  auto* replace = new QHBoxLayout;
  replace->addWidget(replaceAll_);
  replace->addWidget(replacement_);
  replace->addStretch(1);
  fields->addLayout(replace, 2, 0, 1, 3);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(rename_);
  buttons->addWidget(skip_);
  buttons->addWidget(skipAll_);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(fields);
  layout->addLayout(buttons);

  const auto closeWith = [this](raw::NameAnswer::Action action) {
    action_ = action;
    accept();
  };
  connect(rename_, &QPushButton::clicked, this, [closeWith] { closeWith(raw::NameAnswer::kRename); });
  connect(skip_, &QPushButton::clicked, this, [closeWith] { closeWith(raw::NameAnswer::kSkip); });
  connect(skipAll_, &QPushButton::clicked, this, [closeWith] { closeWith(raw::NameAnswer::kSkipAll); });
}

raw::NameAnswer BadNameDialog::answer() const {
  raw::NameAnswer a;
  a.action = action_;
  if (action_ == raw::NameAnswer::kRename) {
    a.newName = newName_->text().toStdString();
    a.replaceAll = replaceAll_->isChecked();
    a.replacement = replacement_->text().toStdString();
  }
  return a;
}

namespace {

class DialogAsker final : public SaveAsker {
 public:
  std::optional<raw::SaveOptions> recoverOptions(QWidget* parent, const RecoverDefaults& defaults) override {
    RecoverDialog dialog(defaults, parent);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    return dialog.options();
  }
  raw::NameAnswer badName(QWidget* parent, const std::string& oldName, const std::string& proposed) override {
    BadNameDialog dialog(QString::fromStdString(oldName), QString::fromStdString(proposed), parent);
    dialog.exec();
    return dialog.answer();
  }
};

SaveAsker* installed = nullptr;

}  // namespace

SaveAsker& CurrentSaveAsker() {
  static DialogAsker dialogs;
  return installed ? *installed : dialogs;
}

void SetSaveAsker(SaveAsker* asker) { installed = asker; }

}  // namespace orvaldi::app
