// The partition-table tools of the device tree: backup, restore and rebuild
// of the selected disk, each asking once more before it writes.
#include "app/partition_table_dialogs.h"

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeView>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/device_tree_model.h"
#include "app/device_window.h"
#include "app/prompter.h"
#include "app/translations.h"
#include "disk/disk_list.h"
#include "disk/sector_io.h"
#include "ops/format.h"
#include "ops/job_checks.h"

namespace orvaldi::app {
namespace {

DiskToolAsker* g_asker = nullptr;

// A restore of many records lists this many blocks and says how many more.
constexpr size_t kListedBlocks = 24;

QString Text(const std::string& s) { return QString::fromStdString(s); }

void Tell(QWidget* parent, const disk::PtableResult& result, const QString& success) {
  if (result.status == disk::PtableStatus::kOk)
    CurrentPrompter().message(parent, "sucess", success);
  else
    CurrentPrompter().message(parent, "error", Text(result.message));
}

bool Confirmed(QWidget* parent, const QString& title, const QString& text) {
  return CurrentPrompter().ask(parent, title, text + "\n\n确定写入吗？", QMessageBox::Yes | QMessageBox::No) ==
         QMessageBox::Yes;
}

}  // namespace

int DiskToolAsker::exec(QDialog& dialog) { return dialog.exec(); }

QString DiskToolAsker::imgFileName(QWidget* parent, bool save) {
  QFileDialog dialog(parent, QString(), QString(), "Img files(*.img);;All files(*.*)");
  dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
  if (!save) dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setDefaultSuffix("img");
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
  return dialog.selectedFiles().front();
}

DiskToolAsker& CurrentDiskToolAsker() {
  static DiskToolAsker dialogs;
  return g_asker ? *g_asker : dialogs;
}

void SetDiskToolAsker(DiskToolAsker* asker) { g_asker = asker; }

CPartTableOperator::CPartTableOperator(QWidget* parent) : QDialog(parent) {
  setWindowTitle("分区表操作");
  backup_ = new QRadioButton("分区表备份", this);
  restore_ = new QRadioButton("分区表恢复", this);
  rebuild_ = new QRadioButton("分区表重建", this);
  auto* buttons = OkCancelButtons(this);
  auto* layout = new QVBoxLayout(this);
  for (QRadioButton* b : {backup_, restore_, rebuild_}) layout->addWidget(b);
  layout->addWidget(buttons);
}

PartTableChoice CPartTableOperator::choice() const {
  if (backup_->isChecked()) return PartTableChoice::kBackup;
  if (restore_->isChecked()) return PartTableChoice::kRestore;
  if (rebuild_->isChecked()) return PartTableChoice::kRebuild;
  return PartTableChoice::kNone;
}

CRebuildParTable::CRebuildParTable(const std::vector<disk::RebuildRow>& rows, QWidget* parent) : QDialog(parent) {
  setWindowTitle("重建分区表");
  list_ = new QTreeWidget(this);
  list_->setRootIsDecorated(false);
  list_->setHeaderLabels({"系统", "卷标", "起始位置(sec)", "大小", "主/逻辑"});
  for (const disk::RebuildRow& r : rows) {
    auto* item = new QTreeWidgetItem(
        list_, {Text(r.system), Text(r.label), QString::number(r.startSector),
                Text(ops::SizeText(r.sectorCount * disk::SectorSize)), Text(ops::TableKindText(r.tableKind))});
    item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
    item->setCheckState(0, Qt::Unchecked);
  }
  for (int c = 0; c < list_->columnCount(); ++c) list_->resizeColumnToContents(c);
  list_->header()->setMinimumSectionSize(70);

  auto* warning = new QLabel("警告：分区表重建前需备份", this);
  warning->setStyleSheet("color: red;");
  save_ = new QPushButton("保存", this);
  cancel_ = new QPushButton("取消", this);
  backupButton_ = new QPushButton("分区表备份", this);
  connect(save_, &QPushButton::clicked, this, [this] {
    if (onSave) onSave(checkedRows());
  });
  connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
  connect(backupButton_, &QPushButton::clicked, this, [this] {
    if (onBackup) onBackup();
  });
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(backupButton_);
  buttons->addStretch(1);
  buttons->addWidget(save_);
  buttons->addWidget(cancel_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(list_, 1);
  layout->addWidget(warning);
  layout->addLayout(buttons);
  resize(560, 300);
}

std::vector<size_t> CRebuildParTable::checkedRows() const {
  std::vector<size_t> rows;
  for (int i = 0; i < list_->topLevelItemCount(); ++i)
    if (list_->topLevelItem(i)->checkState(0) == Qt::Checked) rows.push_back(static_cast<size_t>(i));
  return rows;
}

void CRebuildParTable::setChecked(size_t row, bool checked) {
  if (QTreeWidgetItem* item = list_->topLevelItem(static_cast<int>(row)))
    item->setCheckState(0, checked ? Qt::Checked : Qt::Unchecked);
}

void BackupPartitionTable(QWidget* parent, const disk::DiskInfo& disk) {
  const QString path = CurrentDiskToolAsker().imgFileName(parent, true);
  if (path.isEmpty()) return;
  // The backup is a file of its own, never a place on the disk it describes.
  if (const auto refusal = ops::WriteOntoSourceRefusal(disk.devicePath, path.toStdString())) {
    CurrentPrompter().message(parent, "error", Text(*refusal));
    return;
  }
  Tell(parent, disk::BackupPartitionTable(disk, path.toStdString()), "备份成功");
}

void RestorePartitionTable(QWidget* parent, const disk::DiskInfo& disk) {
  const QString path = CurrentDiskToolAsker().imgFileName(parent, false);
  if (path.isEmpty()) return;
  const std::string file = path.toStdString();
  // The plan checks the backup against this disk record; the blocks go only
  // to this disk's own device path, whatever the file names.
  const disk::RestorePlan plan = disk::PlanRestore(disk, file);
  if (plan.result.status != disk::PtableStatus::kOk) {
    CurrentPrompter().message(parent, "error", Text(plan.result.message));
    return;
  }
  const auto& offsets = plan.backup.offsets;
  QString text = QString("将把 %1 中的 %2 个扇区写入 %3：").arg(path).arg(offsets.size()).arg(Text(disk.devicePath));
  for (size_t i = 0; i < offsets.size() && i < kListedBlocks; ++i)
    text += QString("\n  字节偏移 %1（扇区 %2）").arg(offsets[i]).arg(offsets[i] / disk::SectorSize);
  if (offsets.size() > kListedBlocks) text += QString("\n  ……另有 %1 个").arg(offsets.size() - kListedBlocks);
  // The disk may have changed since the backup, or the same path may now
  // hold another disk: the operator sees how before anything is written.
  if (!plan.differences.empty()) {
    text += "\n\n警告：磁盘与备份时不同：";
    for (const std::string& line : plan.differences) text += "\n  " + Text(line);
  }
  if (!Confirmed(parent, "分区表恢复", text)) return;
  Tell(parent, disk::RestorePartitionTable(disk, file), "恢复成功");
}

void RebuildPartitionTable(QWidget* parent, const disk::DiskInfo& disk) {
  if (disk::HoldsRunningSystem(disk)) {
    CurrentPrompter().message(parent, "error", "不能更改当前系统所在的硬盘分区信息！");
    return;
  }
  const std::vector<disk::RebuildRow> rows = disk::RebuildCandidates(disk);
  CRebuildParTable dialog(rows, parent);
  dialog.onBackup = [&dialog, &disk] { BackupPartitionTable(&dialog, disk); };
  dialog.onSave = [&dialog, &disk](const std::vector<size_t>& chosen) {
    if (chosen.empty()) return;
    if (chosen.size() > 4) {
      CurrentPrompter().message(&dialog, "error", "选择错误，请从新选择");
      return;
    }
    const disk::RebuildPlan plan = disk::PlanRebuild(disk, chosen);
    if (plan.result.status != disk::PtableStatus::kOk) {
      CurrentPrompter().message(&dialog, "error", Text(plan.result.message));
      return;
    }
    QString text = QString("将改写 %1 的扇区 0（引导标志和CHS字段保留）：").arg(Text(disk.devicePath));
    for (size_t slot = 0; slot < 4; ++slot) {
      if (slot < plan.entries.size()) {
        const disk::RebuildEntry& e = plan.entries[slot];
        text += QString("\n  分区项 %1：类型 0x%2，起始扇区 %3，扇区数 %4")
                    .arg(slot)
                    .arg(e.typeByte, 2, 16, QChar('0'))
                    .arg(e.startSector)
                    .arg(e.sectorCount);
      } else {
        text += QString("\n  分区项 %1：清零").arg(slot);
      }
    }
    if (!Confirmed(&dialog, "重建分区表", text)) return;
    const disk::PtableResult written = disk::RebuildPartitionTable(disk, chosen);
    Tell(&dialog, written, "分区表已重建，请重新打开磁盘查看");
    if (written.status == disk::PtableStatus::kOk) dialog.accept();
  };
  CurrentDiskToolAsker().exec(dialog);
}

void PartitionTableOperation(DeviceWindow& device) {
  CPartTableOperator chooser(&device);
  if (CurrentDiskToolAsker().exec(chooser) != QDialog::Accepted) return;
  const PartTableChoice choice = chooser.choice();
  if (choice == PartTableChoice::kNone) {
    CurrentPrompter().message(&device, "error", "请选择分区操作类型！");
    return;
  }
  const QModelIndex current = device.tree()->currentIndex();
  if (!current.isValid()) {
    CurrentPrompter().message(&device, "error", "没有选择磁盘");
    return;
  }
  const disk::DiskInfo* d = device.model()->isDiskItem(current) ? device.model()->diskOf(current) : nullptr;
  if (!d) {
    CurrentPrompter().message(&device, "error",
                              choice == PartTableChoice::kBackup ? "没有正确选择磁盘" : "请正确选择磁盘");
    return;
  }
  // A search of the disk reads the sectors a restore or rebuild rewrites.
  if (choice != PartTableChoice::kBackup && (device.busy() || device.searching(device.model()->itemText(current)))) {
    CurrentPrompter().message(&device, "waiting", "等待当前操作完成！");
    return;
  }
  switch (choice) {
    case PartTableChoice::kBackup:
      BackupPartitionTable(&device, *d);
      break;
    case PartTableChoice::kRestore:
      RestorePartitionTable(&device, *d);
      break;
    case PartTableChoice::kRebuild:
      RebuildPartitionTable(&device, *d);
      break;
    case PartTableChoice::kNone:
      break;
  }
}

}  // namespace orvaldi::app
