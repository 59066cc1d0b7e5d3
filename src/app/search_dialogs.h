// The lost-partition search's two windows: the options asked before it
// starts, and the list that shows each volume as the search finds it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <QDialog>
#include <QWidget>

#include "app/operation.h"
#include "disk/lost_partition_search.h"
#include "platform/progress.h"

class QComboBox;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTreeWidget;

namespace orvaldi::app {

// "扫描丢失磁盘分区": the granularity of the search and the head count.
class SearchOptionsDialog final : public QDialog {
  Q_OBJECT

 public:
  // `diskHeads`: the disk's own heads per cylinder, preselected (and added
  // to the list when it is not one of the usual counts).
  explicit SearchOptionsDialog(uint32_t diskHeads, QWidget* parent = nullptr);

  disk::SearchMode mode() const;
  uint8_t heads() const;
  QComboBox* headList() const { return heads_; }

 private:
  QRadioButton* cylinder_ = nullptr;
  QRadioButton* head_ = nullptr;
  QRadioButton* sector_ = nullptr;
  QComboBox* heads_ = nullptr;
};

// "搜索分区": the search's progress window. Each progress message it is
// shown takes the rows the search pushed since the last one and lists them.
class SearchListWindow final : public QWidget, public ProgressView, public platform::ProgressSink {
  Q_OBJECT

 public:
  explicit SearchListWindow(QWidget* parent = nullptr);

  // ProgressView
  platform::ProgressBlock& block() override { return *block_; }
  std::shared_ptr<platform::ProgressBlock> sharedBlock() const override { return block_; }
  void showFor(const QString& title) override;
  void closeWhenDone() override;

  // ProgressSink: called on the UI thread.
  void beginStage(int64_t upper, int64_t step) override;
  void step() override;
  void setPosition(uint64_t position) override;

  QTreeWidget* list() const { return list_; }
  QProgressBar* bar() const { return bar_; }
  // Lists the rows still pending in the block (the search ended after its
  // last message).
  void takeRows();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void addRow(const std::string& row);
  void showPosition();

  // Shared with a running search, which may outlive the window.
  std::shared_ptr<platform::ProgressBlock> block_;
  int64_t upper_ = 0;
  int64_t position_ = 0;
  int64_t step_ = 1;
  bool running_ = false;
  QProgressBar* bar_ = nullptr;
  QPushButton* stop_ = nullptr;
  QPushButton* close_ = nullptr;
  QTreeWidget* list_ = nullptr;
};

}  // namespace orvaldi::app
