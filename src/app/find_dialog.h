// The "查找文件" dialog of a partition window: what to look for (a name, an
// extension list or a pattern list) and which kinds, the search run as an
// operation over the window's tree, and the matches in an eight-column list
// from which a double click shows the match in the window.
#pragma once

#include <memory>

#include <QDialog>
#include <QPointer>

#include "app/operation.h"
#include "fs/find_files.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTreeView;

namespace orvaldi::app {

class FindResultModel;
class PartitionWindow;

class FindDialog final : public QDialog {
  Q_OBJECT

 public:
  // In the order of the drop-down list.
  enum Mode : int { kByName = 0, kByExtension = 1, kByPattern = 2 };

  FindDialog(PartitionWindow& window, OperationStarter starter, QWidget* parent = nullptr);
  ~FindDialog() override;

  // Shows the dialog for the partition window, window-modal; it deletes
  // itself when closed.
  static FindDialog* showFor(PartitionWindow& window, OperationStarter starter);

  // The query the fields describe.
  fs::FindQuery query() const;
  // The example line's text after "例子:".
  QString exampleText() const;
  int resultCount() const;
  QString resultText(int row, int column) const;
  // Shows match `row` in the partition window: its folder in the left tree,
  // itself in the file list. False when the window no longer shows it.
  bool revealResult(int row);

  QComboBox* modeBox() const { return mode_; }
  QLineEdit* textEdit() const { return text_; }
  QCheckBox* exactBox() const { return exact_; }
  QCheckBox* deletedBox() const { return deleted_; }
  QCheckBox* existingBox() const { return existing_; }
  QCheckBox* filesBox() const { return files_; }
  QCheckBox* foldersBox() const { return folders_; }
  QLabel* exampleLabel() const { return example_; }
  QLabel* statusLabel() const { return status_; }
  QTreeView* resultView() const { return results_; }
  QPushButton* findButton() const { return find_; }

 public slots:
  // "查找": refuses while the window is busy, else starts the search.
  // False when it did not start.
  bool startSearch();

 signals:
  // The search's matches were shown (also after a stop).
  void searchFinished();

 private:
  void modeChanged(int mode);

  QPointer<PartitionWindow> window_;
  OperationStarter starter_;
  FindResultModel* model_ = nullptr;
  QComboBox* mode_ = nullptr;
  QLineEdit* text_ = nullptr;
  QCheckBox* exact_ = nullptr;
  QCheckBox* deleted_ = nullptr;
  QCheckBox* existing_ = nullptr;
  QCheckBox* files_ = nullptr;
  QCheckBox* folders_ = nullptr;
  QLabel* example_ = nullptr;
  QLabel* status_ = nullptr;
  QTreeView* results_ = nullptr;
  QPushButton* find_ = nullptr;
};

}  // namespace orvaldi::app
