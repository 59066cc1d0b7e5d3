// "分区表操作" (backup, restore or rebuild of the selected disk's partition
// table) and "重建分区表" (the list a new MBR is built from), and the hook
// through which the disk tools run their dialogs, so that tests can drive them.
#pragma once

#include <functional>
#include <vector>

#include <QDialog>
#include <QString>

#include "disk/disk_info.h"
#include "disk/partition_table_tools.h"

class QPushButton;
class QRadioButton;
class QTreeWidget;

namespace orvaldi::app {

class DeviceWindow;

// How the disk tools (partition table, free space) ask the operator for a
// dialog's answer or a file name. Both run on the UI thread.
class DiskToolAsker {
 public:
  virtual ~DiskToolAsker() = default;
  // Runs `dialog` modally; its result code.
  virtual int exec(QDialog& dialog);
  // A file to write (`save`) or to read, filter "Img files(*.img)" /
  // "All files(*.*)", default extension "img"; empty when cancelled.
  virtual QString imgFileName(QWidget* parent, bool save);
};

// The asker in use: the real dialogs unless a test installed its own.
DiskToolAsker& CurrentDiskToolAsker();
// Installs `asker` (not owned) for the rest of the process; null goes back
// to the dialogs.
void SetDiskToolAsker(DiskToolAsker* asker);

enum class PartTableChoice { kNone, kBackup, kRestore, kRebuild };

// "分区表操作": "分区表备份", "分区表恢复", "分区表重建"; none ticked at first.
class CPartTableOperator final : public QDialog {
  Q_OBJECT

 public:
  explicit CPartTableOperator(QWidget* parent = nullptr);

  PartTableChoice choice() const;
  QRadioButton* backupButton() const { return backup_; }
  QRadioButton* restoreButton() const { return restore_; }
  QRadioButton* rebuildButton() const { return rebuild_; }

 private:
  QRadioButton* backup_ = nullptr;
  QRadioButton* restore_ = nullptr;
  QRadioButton* rebuild_ = nullptr;
};

// "重建分区表": one check-box row per candidate ("系统", "卷标",
// "起始位置(sec)", "大小", "主/逻辑"), the warning that a backup comes first,
// and "保存", "取消", "分区表备份". What the buttons do is the caller's.
class CRebuildParTable final : public QDialog {
  Q_OBJECT

 public:
  CRebuildParTable(const std::vector<disk::RebuildRow>& rows, QWidget* parent = nullptr);

  // Positions of the ticked rows, in list order.
  std::vector<size_t> checkedRows() const;
  void setChecked(size_t row, bool checked);

  // "保存" with the ticked rows; the dialog closes only when this accepts it.
  std::function<void(const std::vector<size_t>&)> onSave;
  // "分区表备份".
  std::function<void()> onBackup;

  QTreeWidget* list() const { return list_; }
  QPushButton* saveButton() const { return save_; }
  QPushButton* cancelButton() const { return cancel_; }
  QPushButton* backupButton() const { return backupButton_; }

 private:
  QTreeWidget* list_ = nullptr;
  QPushButton* save_ = nullptr;
  QPushButton* cancel_ = nullptr;
  QPushButton* backupButton_ = nullptr;
};

// The main window's "分区表操作" and the device tree's menu command: asks
// which of the three, then acts on the disk selected in `device`'s tree.
void PartitionTableOperation(DeviceWindow& device);

// Each of the three on `disk` (the selected disk record), over `parent`.
void BackupPartitionTable(QWidget* parent, const disk::DiskInfo& disk);
// Shows what would be written and asks once more before writing.
void RestorePartitionTable(QWidget* parent, const disk::DiskInfo& disk);
void RebuildPartitionTable(QWidget* parent, const disk::DiskInfo& disk);

}  // namespace orvaldi::app
