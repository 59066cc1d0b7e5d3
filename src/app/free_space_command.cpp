// The free-space extraction of the device tree's selected partition.
#include "app/free_space_command.h"

#include <QDialogButtonBox>
#include <QMetaObject>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeView>
#include <QVBoxLayout>

#include "app/device_tree_model.h"
#include "app/device_window.h"
#include "app/partition_table_dialogs.h"
#include "app/prompter.h"
#include "app/translations.h"
#include "disk/disk_list.h"
#include "disk/fs_family.h"
#include "disk/sector_io.h"
#include "disk/volume_probe.h"

namespace orvaldi::app {
namespace {

// The clusters an end message names before it says how many more.
constexpr size_t kListedClusters = 10;

// What the command can extract: the type code names a FAT or NTFS family,
// or (a region, a record of unknown type) the boot sector shows one.
bool Extractable(const disk::DiskInfo& disk, const disk::PartitionInfo& part) {
  if (disk::FamilyOf(part.typeByte) != disk::FsFamily::kOther) return true;
  auto source = disk::OpenSource(disk);
  if (!source) return true;  // the extraction itself says why the disk cannot be read
  const std::string fs = disk::IdentifyVolume(*source, part.startSector).fs;
  return fs == "NTFS" || fs == "FAT32" || fs == "FAT16";
}

}  // namespace

CExtractEmptySpaceDlg::CExtractEmptySpaceDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle("提取空闲空间");
  compact_ = new QRadioButton("只提取空闲空间", this);
  layout_ = new QRadioButton("空闲空间按原始分区结构大小保存", this);
  compact_->setChecked(true);
  auto* buttons = OkCancelButtons(this);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(compact_);
  layout->addWidget(layout_);
  layout->addWidget(buttons);
}

int CExtractEmptySpaceDlg::extractionType() const {
  if (compact_->isChecked()) return 0;
  if (layout_->isChecked()) return 1;
  return -1;
}

FreeSpaceEnd FreeSpaceEndText(const ops::FreeSpaceOutcome& outcome, const QString& target) {
  const raw::FreeSpaceResult& r = outcome.result;
  const QString counts = QString("%1 个空闲簇，每簇 %2 字节").arg(r.freeClusters).arg(r.clusterBytes);
  switch (outcome.status) {
    case platform::Status::kOk:
      return {"sucess", "提取完成！\n" + counts + "，已写入 " + target};
    case platform::Status::kPartial: {
      QString text = QString("提取未完整：%1 中有 %2 个空闲簇无法读取，它们在 %3 中的位置为零字节。\n簇号：")
                         .arg(counts)
                         .arg(r.unreadableClusters.size())
                         .arg(target);
      for (size_t i = 0; i < r.unreadableClusters.size() && i < kListedClusters; ++i)
        text += (i ? "，" : "") + QString::number(r.unreadableClusters[i]);
      if (r.unreadableClusters.size() > kListedClusters) text += "……";
      return {"warning", text};
    }
    case platform::Status::kCancelled:
      return {"warning", QString("提取已停止：%1 只含已复制的 %2 个簇，不完整。").arg(target).arg(r.clustersWritten)};
    case platform::Status::kRefused:
      if (outcome.refused == ops::RefusalKind::kVolume)
        return {"error", "此分区不是可提取空闲空间的文件系统（FAT16、FAT32、NTFS）：\n" +
                             QString::fromStdString(outcome.message)};
      return {"error", QString::fromStdString(outcome.message)};
    case platform::Status::kFailed:
      break;
  }
  return {"error", "提取失败：" + QString::fromStdString(outcome.message)};
}

FreeSpaceCommand::FreeSpaceCommand(DeviceWindow& device, OperationStarter starter, QObject* parent)
    : QObject(parent), device_(&device), starter_(std::move(starter)) {}

void FreeSpaceCommand::extractSelected() {
  DeviceWindow* device = device_.data();
  if (!device) return;
  const QModelIndex current = device->tree()->currentIndex();
  if (!current.isValid()) {
    CurrentPrompter().message(device, "error", "请选择分区");
    return;
  }
  disk::DiskInfo* d = device->model()->diskOf(current);
  disk::PartitionInfo* part = device->model()->partitionOf(current);
  if (!d || !part || device->model()->isDiskItem(current)) {
    CurrentPrompter().message(device, "error", "请正确选择分区");
    return;
  }
  if (running()) {
    CurrentPrompter().message(device, "waiting", "等待当前提取工作完成!");
    return;
  }
  // A volume spread over several disks has no single place to read from.
  if (part->volumeKind != disk::VolumeKind::kPlain || !Extractable(*d, *part)) {
    CurrentPrompter().message(device, "error", "不支持此分区：只能提取一块存放的 FAT16、FAT32 或 NTFS 分区的空闲空间");
    return;
  }
  CExtractEmptySpaceDlg dialog(device);
  if (CurrentDiskToolAsker().exec(dialog) != QDialog::Accepted) return;
  const int type = dialog.extractionType();
  if (type < 0) {
    CurrentPrompter().message(device, "error", "请选择提取类型!");
    return;
  }
  const QString target = CurrentDiskToolAsker().imgFileName(device, true);
  if (target.isEmpty()) return;
  // The records may have changed while the dialogs were open (a search merged).
  d = device->model()->diskOf(device->tree()->currentIndex());
  part = device->model()->partitionOf(device->tree()->currentIndex());
  if (!d || !part) return;

  ops::FreeSpaceRequest job;
  job.source = d->devicePath;
  job.partitionName = part->name;
  job.startSector = part->startSector;
  job.sectorCount = part->sectorCount;
  job.target = target.toStdString();
  job.layout = type == 1 ? raw::FreeSpaceLayout::kLayout : raw::FreeSpaceLayout::kCompact;

  auto outcome = std::make_shared<ops::FreeSpaceOutcome>();
  OperationRequest request;
  request.family = OperationFamily::kFreeSpace;
  request.title = "提取分区空闲空间";
  request.owner = device;
  request.work = [job, outcome](platform::ProgressBlock& block) {
    block.setText("正在提取空闲空间");
    *outcome = ops::ExtractPartitionFreeSpace(job, block);
  };
  QPointer<FreeSpaceCommand> self(this);
  auto running = std::make_shared<bool>(true);
  request.publish = [self, device = QPointer<DeviceWindow>(device), outcome, target, running] {
    *running = false;
    if (!self) return;
    // Told once the progress window has closed.
    QMetaObject::invokeMethod(
        self.data(),
        [self, device, outcome, target] {
          const FreeSpaceEnd end = FreeSpaceEndText(*outcome, target);
          CurrentPrompter().message(device.data(), end.title, end.text);
          if (self) emit self->finished();
        },
        Qt::QueuedConnection);
  };
  running_ = running;
  if (!starter_(std::move(request))) running_.reset();
}

}  // namespace orvaldi::app
