// The save's two questions: the "Recover" dialog (target and options) and
// "残缺的名字" (a name that cannot be created), and the hook through which
// a save asks them, so that tests can answer for the operator.
#pragma once

#include <optional>
#include <string>

#include <QDialog>
#include <QString>

#include "raw/save_engine.h"

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace orvaldi::app {

// What the "Recover" dialog starts from: the partition window's state.
struct RecoverDefaults {
  bool fatPartition = false;  // FAT32 or FAT16: "是否以FAT做参考" is offered
  bool recoverDeleted = true;
  bool recoverExisting = true;
};

// "Recover": "输出路径:" with its ">" folder picker, "是否以FAT做参考" (FAT
// partitions only), "恢复删除文件", "恢复正常文件", OK and Cancel.
class RecoverDialog final : public QDialog {
  Q_OBJECT

 public:
  explicit RecoverDialog(const RecoverDefaults& defaults, QWidget* parent = nullptr);

  // The dialog's choices; the filter is the caller's to fill in.
  raw::SaveOptions options() const;

  QLineEdit* targetEdit() const { return target_; }
  QPushButton* browseButton() const { return browse_; }
  QCheckBox* useFatBox() const { return useFat_; }
  QCheckBox* deletedBox() const { return deleted_; }
  QCheckBox* existingBox() const { return existing_; }

 private:
  void browse();

  QLineEdit* target_ = nullptr;
  QPushButton* browse_ = nullptr;
  QCheckBox* useFat_ = nullptr;
  QCheckBox* deleted_ = nullptr;
  QCheckBox* existing_ = nullptr;
};

// "残缺的名字": the old name under "原文件名", the proposed one (editable)
// under "新文件名", "所有无效符号改为：" with its text, and "重命名",
// "跳过", "跳过所有".
class BadNameDialog final : public QDialog {
  Q_OBJECT

 public:
  BadNameDialog(const QString& oldName, const QString& proposed, QWidget* parent = nullptr);

  // The button pressed (kSkip when the dialog was closed otherwise).
  raw::NameAnswer answer() const;

  QLineEdit* oldNameEdit() const { return oldName_; }
  QLineEdit* newNameEdit() const { return newName_; }
  QCheckBox* replaceAllBox() const { return replaceAll_; }
  QLineEdit* replacementEdit() const { return replacement_; }
  QPushButton* renameButton() const { return rename_; }
  QPushButton* skipButton() const { return skip_; }
  QPushButton* skipAllButton() const { return skipAll_; }

 private:
  QLineEdit* oldName_ = nullptr;
  QLineEdit* newName_ = nullptr;
  QCheckBox* replaceAll_ = nullptr;
  QLineEdit* replacement_ = nullptr;
  QPushButton* rename_ = nullptr;
  QPushButton* skip_ = nullptr;
  QPushButton* skipAll_ = nullptr;
  raw::NameAnswer::Action action_ = raw::NameAnswer::kSkip;
};

// How a save asks the operator. Both run on the UI thread.
class SaveAsker {
 public:
  virtual ~SaveAsker() = default;
  // The "Recover" dialog; nothing when the operator cancelled it.
  virtual std::optional<raw::SaveOptions> recoverOptions(QWidget* parent, const RecoverDefaults& defaults) = 0;
  // "残缺的名字" for `oldName`, proposing `proposed`.
  virtual raw::NameAnswer badName(QWidget* parent, const std::string& oldName, const std::string& proposed) = 0;
};

// The asker in use: the real dialogs unless a test installed its own.
SaveAsker& CurrentSaveAsker();
// Installs `asker` (not owned) for the rest of the process; null goes back
// to the dialogs.
void SetSaveAsker(SaveAsker* asker);

}  // namespace orvaldi::app
