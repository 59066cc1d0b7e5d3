// "保存当前选中文件" and "保存打勾文件" of a partition window: asks for the
// target, runs the save engine on a worker and tells the operator what was
// saved and what was not.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QObject>
#include <QString>

#include "app/operation.h"
#include "fs/node_view.h"
#include "raw/save_engine.h"

namespace orvaldi::app {

class PartitionWindow;

// The top-most nodes with tick 1 below and including `tops`, in tree order:
// a ticked folder stands for everything below it.
std::vector<fs::NodeRef> TopTicked(const std::vector<fs::NodeRef>& tops);

// The message that ends a save: how many files were saved whole, and every
// file (from the engine's log) that was not.
QString SaveEndText(const raw::SaveSummary& summary, const std::vector<std::string>& log, bool stoppedAtName);

class SaveCommand final : public QObject {
  Q_OBJECT

 public:
  // `diskSearched` answers whether a search of the disk listed under that
  // text runs: it changes the disk's records when it ends.
  SaveCommand(OperationStarter starter, std::function<bool(const QString&)> diskSearched, QObject* parent = nullptr);
  ~SaveCommand() override;

  // A save was started and its worker has not ended yet.
  bool running() const;
  // Bytes free on a target; unset asks the platform.
  void setFreeSpace(std::function<std::optional<uint64_t>(const std::string&)> freeSpace) {
    freeSpace_ = std::move(freeSpace);
  }

 public slots:
  // The left tree's current item (fromList false; a top item stands for the
  // whole partition) or the file list's current row.
  void saveSelected(PartitionWindow* window, bool fromList);
  // The ticked items of the left tree, or the ticked rows of the list.
  void saveTicked(PartitionWindow* window, bool fromList);

 signals:
  // "本次保存 %I64d Byte": status-bar pane 2.
  void statisticsText(const QString& text);
  // The end message was shown (or the save was refused on its worker).
  void finished();

 private:
  struct Run;
  bool refused(PartitionWindow& window);
  void start(PartitionWindow& window, std::vector<fs::NodeRef> items, bool pool, bool clearTicks);

  OperationStarter starter_;
  std::function<bool(const QString&)> diskSearched_;
  std::function<std::optional<uint64_t>(const std::string&)> freeSpace_;
  std::shared_ptr<Run> current_;
};

}  // namespace orvaldi::app
