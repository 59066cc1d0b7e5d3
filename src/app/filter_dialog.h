// The "文件筛选" dialog of a partition window: part of a file name, and
// whether deleted and existing files pass; and the hook through which the
// window shows it, so that tests can fill it in for the operator.
#pragma once

#include <functional>
#include <optional>

#include <QDialog>
#include <QString>

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace orvaldi::app {

// What the operator chose, as typed (the window lower-cases the pattern).
struct FilterChoice {
  QString pattern;
  bool includeDeleted = true;
  bool includeExisting = true;
};

// "全部或部分文件名:" with its field (empty), "删除文件" and "正常文件"
// (both ticked), "确定" and "取消". It always starts from these, whatever the
// window's last filter was.
class FilterDialog final : public QDialog {
  Q_OBJECT

 public:
  explicit FilterDialog(QWidget* parent = nullptr);

  FilterChoice choice() const;

  QLineEdit* patternEdit() const { return pattern_; }
  QCheckBox* deletedBox() const { return deleted_; }
  QCheckBox* existingBox() const { return existing_; }
  QPushButton* okButton() const { return ok_; }
  QPushButton* cancelButton() const { return cancel_; }

 private:
  QLineEdit* pattern_ = nullptr;
  QCheckBox* deleted_ = nullptr;
  QCheckBox* existing_ = nullptr;
  QPushButton* ok_ = nullptr;
  QPushButton* cancel_ = nullptr;
};

// Shows the dialog modally over `parent`; nothing when it was cancelled.
std::optional<FilterChoice> AskFilter(QWidget* parent);
// While set, AskFilter hands the dialog to `operate` instead of running it:
// the hook fills the fields and presses a button (or neither, which counts
// as cancelling). Null runs the dialog again.
void SetFilterDialogHook(std::function<void(FilterDialog&)> operate);

}  // namespace orvaldi::app
