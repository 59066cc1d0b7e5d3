#include "app/device_window.h"

#include <algorithm>
#include <memory>
#include <optional>

#include <QFileDialog>
#include <QHeaderView>
#include <QMenu>
#include <QSplitter>
#include <QTreeView>
#include <QVBoxLayout>

#include "app/device_tree_model.h"
#include "app/partition_window.h"
#include "app/prompter.h"
#include "app/property_list.h"
#include "app/region_dialog.h"
#include "app/search_dialogs.h"
#include "disk/disk_list.h"
#include "disk/partition_table.h"
#include "disk/scan_result_file.h"
#include "ops/format.h"
#include "raw/raw_scan.h"

namespace orvaldi::app {
namespace {

const char kFailed[] = "此操作执行失败！";

bool IsImage(const disk::DiskInfo& disk) { return disk.index.empty(); }

}  // namespace

DeviceWindow::DeviceWindow(disk::DiskInfoList& disks, OperationStarter starter, QWidget* parent)
    : QWidget(parent), disks_(disks), starter_(std::move(starter)) {
  model_ = new DeviceTreeModel(disks_, this);
  auto* splitter = new QSplitter(Qt::Horizontal, this);
  tree_ = new QTreeView(splitter);
  tree_->setModel(model_);
  tree_->setUniformRowHeights(true);
  tree_->setExpandsOnDoubleClick(true);
  tree_->setContextMenuPolicy(Qt::CustomContextMenu);
  for (int c = 0; c < DeviceTreeModel::kColumnCount; ++c)
    tree_->header()->resizeSection(c, DeviceTreeModel::defaultWidth(c));
  properties_ = new PropertyList(splitter);
  splitter->setStretchFactor(0, 1);
  splitter->setSizes({520, 420});
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(splitter);

  connect(tree_, &QTreeView::clicked, this, &DeviceWindow::showProperties);
  connect(tree_, &QTreeView::doubleClicked, this, [this] { openSelectedPartition(); });
  connect(tree_, &QWidget::customContextMenuRequested, this, &DeviceWindow::popupMenu);
  connect(model_, &QAbstractItemModel::modelReset, tree_, &QTreeView::expandAll);
  tree_->expandAll();
}

DeviceWindow::~DeviceWindow() {
  // Windows nobody took in as documents are ours to end.
  for (const QPointer<PartitionWindow>& w : windows_)
    if (w && !w->parent()) delete w.data();
}

std::vector<PartitionWindow*> DeviceWindow::partitionWindows() const {
  std::vector<PartitionWindow*> open;
  for (const QPointer<PartitionWindow>& w : windows_)
    if (w) open.push_back(w.data());
  return open;
}

void DeviceWindow::refresh() {
  properties_->clear();
  model_->populate();
}

bool DeviceWindow::run(OperationRequest request) {
  ++running_;
  request.owner = this;
  request.publish = [self = QPointer<DeviceWindow>(this), publish = std::move(request.publish)] {
    if (!self) return;
    publish();
    --self->running_;
  };
  if (starter_(std::move(request))) return true;
  --running_;
  return false;
}

void DeviceWindow::showProperties(const QModelIndex& index) {
  const disk::DiskInfo* d = model_->diskOf(index);
  if (!d) {
    properties_->clear();
    return;
  }
  properties_->showRows(PropertyRows(*d, model_->partitionOf(index)));
}

bool DeviceWindow::openImage(const QString& path) {
  std::string error;
  std::optional<disk::DiskInfo> opened = disk::LoadSource(path.toStdString(), &error);
  if (!opened) {
    CurrentPrompter().message(this, "error", QString::fromStdString(error));
    return false;
  }
  disks_.push_back(std::move(*opened));
  refresh();
  return true;
}

void DeviceWindow::openImageDialog() {
  const QString path =
      QFileDialog::getOpenFileName(this, QString(), QString(), "Img files(*.img);;All files(*.*)", nullptr);
  if (!path.isEmpty()) openImage(path);
}

disk::DiskInfo* DeviceWindow::selectedDiskForCommand() {
  const QModelIndex current = tree_->currentIndex();
  if (!current.isValid()) {
    CurrentPrompter().message(this, "error", "没有选择磁盘");
    return nullptr;
  }
  if (!model_->isDiskItem(current)) {
    CurrentPrompter().message(this, "error", "请正确选择磁盘");
    return nullptr;
  }
  return model_->diskOf(current);
}

void DeviceWindow::fullDiskScan() {
  disk::DiskInfo* d = selectedDiskForCommand();
  if (!d) return;
  const QString diskText = model_->itemText(tree_->currentIndex());
  OperationRequest request;
  request.family = OperationFamily::kDiskSearch;
  request.title = "全盘扫描";
  auto ran = std::make_shared<bool>(false);
  request.work = [d, ran](platform::ProgressBlock& block) {
    const uint64_t sectors = static_cast<uint64_t>(std::max<int64_t>(d->sizeBytes, 0)) / 512;
    *ran = raw::RawDiskScan(*d, block, 0, sectors) == 1;
  };
  request.publish = [this, diskText, ran] {
    if (!model_->relistDisk(diskText) || !*ran) CurrentPrompter().message(this, "error", kFailed);
    tree_->expand(model_->diskIndex(diskText));
  };
  run(std::move(request));
}

void DeviceWindow::searchLostPartitions() {
  disk::DiskInfo* d = selectedDiskForCommand();
  if (!d) return;
  SearchOptionsDialog options(d->tracksPerCylinder, this);
  if (options.exec() != QDialog::Accepted) return;
  searchLostPartitionsWith(options.mode(), options.heads());
}

void DeviceWindow::searchLostPartitionsWith(disk::SearchMode mode, uint8_t heads) {
  disk::DiskInfo* d = selectedDiskForCommand();
  if (!d) return;
  const QString diskText = model_->itemText(tree_->currentIndex());
  if (!searchWindow_) searchWindow_ = new SearchListWindow(this);
  SearchListWindow* window = searchWindow_;
  OperationRequest request;
  request.family = OperationFamily::kDiskSearch;
  request.title = "扫描分区";
  request.view = window;
  auto ran = std::make_shared<bool>(false);
  request.work = [d, mode, heads, ran](platform::ProgressBlock& block) {
    *ran = disk::SearchLostPartitions(*d, mode, heads, block) == 1;
  };
  request.publish = [this, diskText, window, ran] {
    // Rows pushed after the search's last progress message.
    window->takeRows();
    if (!model_->relistDisk(diskText) || !*ran) CurrentPrompter().message(this, "error", kFailed);
    tree_->expand(model_->diskIndex(diskText));
  };
  run(std::move(request));
}

void DeviceWindow::partitionScan() {
  const QModelIndex current = tree_->currentIndex();
  disk::DiskInfo* d = model_->diskOf(current);
  disk::PartitionInfo* p = model_->partitionOf(current);
  if (!d || !p) {
    CurrentPrompter().message(this, "error", "请选择分区");
    return;
  }
  const QString diskText = model_->itemText(current.parent());
  OperationRequest request;
  request.family = OperationFamily::kPartitionScan;
  request.title = "分区扫描";
  auto ran = std::make_shared<bool>(false);
  request.work = [d, p, ran](platform::ProgressBlock& block) {
    *ran = raw::RawDiskScan(*d, block, p->startSector, p->sectorCount, p) == 1;
  };
  request.publish = [this, diskText, ran] {
    if (!model_->appendNewPartitions(diskText) || !*ran) CurrentPrompter().message(this, "error", kFailed);
  };
  run(std::move(request));
}

void DeviceWindow::saveScanResult() {
  if (!selectedDiskForCommand()) return;
  const QString name = model_->itemText(tree_->currentIndex()) + disk::kScanResultExtension;
  QFileDialog dialog(this, QString(), name, "kvr_scn Files(*.kvr_scn);;Text Files(*.txt);;All Files(*.*)");
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setDefaultSuffix("kvr_scn");
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  saveScanResultTo(dialog.selectedFiles().front());
}

void DeviceWindow::saveScanResultTo(const QString& path) {
  disk::DiskInfo* d = selectedDiskForCommand();
  if (!d) return;
  // A search still running appends to the records being written.
  if (running_ > 0) {
    CurrentPrompter().message(this, "waiting", "等待当前操作完成！");
    return;
  }
  const disk::ScanResultSave saved = disk::SaveScanResult(*d, path.toStdString());
  if (!saved.ok) CurrentPrompter().message(this, "error", "创建错误！");
}

void DeviceWindow::loadScanResult() {
  if (!selectedDiskForCommand()) return;
  QFileDialog dialog(this, QString(), QString(), "kvr_scn Files(*.kvr_scn);;Text Files(*.txt);;All Files(*.*)");
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setDefaultSuffix("kvr_scn");
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  loadScanResultFrom(dialog.selectedFiles().front());
}

void DeviceWindow::loadScanResultFrom(const QString& path) {
  disk::DiskInfo* d = selectedDiskForCommand();
  if (!d) return;
  // Loading replaces the partition records that open windows show.
  if (!releaseDisk(*d)) return;
  const disk::ScanResultLoad loaded = disk::LoadScanResultFile(*d, path.toStdString());
  if (loaded.status == disk::ScanResultStatus::kOtherDisk) {
    CurrentPrompter().message(this, "error", "不是该磁盘的信息！");
    return;
  }
  if (loaded.status == disk::ScanResultStatus::kCannotRead) {
    CurrentPrompter().message(this, "error", QString::fromStdString(loaded.message));
    return;
  }
  refresh();
}

void DeviceWindow::createRegion(quint64 startSector, quint64 endSector) {
  const QModelIndex current = tree_->currentIndex();
  disk::DiskInfo* d = model_->diskOf(current);
  if (!d) {
    CurrentPrompter().message(this, "error", "没有选择磁盘");
    return;
  }
  if (running_ > 0) {
    CurrentPrompter().message(this, "waiting", "等待当前操作完成！");
    return;
  }
  const QString diskText = model_->itemText(model_->isDiskItem(current) ? current : current.parent());
  if (!disk::CreateRegion(startSector, endSector, *d)) {
    CurrentPrompter().message(this, "error", kFailed);
    return;
  }
  model_->appendNewPartitions(diskText);
}

void DeviceWindow::createRegionDialog() {
  const disk::DiskInfo* d = model_->diskOf(tree_->currentIndex());
  if (!d) {
    CurrentPrompter().message(this, "error", "没有选择磁盘");
    return;
  }
  if (const auto range = RegionDialog::ask(this, static_cast<uint64_t>(d->sizeBytes)))
    createRegion(range->startSector, range->endSector);
}

bool DeviceWindow::releaseDisk(const disk::DiskInfo& disk) {
  const QString diskText = QString::fromStdString(disk::DisplayName(disk));
  bool busy = running_ > 0;
  for (PartitionWindow* w : partitionWindows()) busy = busy || (w->diskName() == diskText && w->busy());
  if (busy) {
    CurrentPrompter().message(this, "waiting", "等待当前操作完成！");
    return false;
  }
  for (PartitionWindow* w : partitionWindows())
    if (w->diskName() == diskText) delete w;
  return true;
}

void DeviceWindow::closeImage() {
  const QModelIndex current = tree_->currentIndex();
  if (!model_->isDiskItem(current)) return;
  const disk::DiskInfo* selected = model_->diskOf(current);
  if (!selected || !IsImage(*selected)) return;
  // Records after the closed one move in the list: nothing may run on any
  // disk, and open windows of other disks point at them again afterwards.
  for (PartitionWindow* w : partitionWindows()) {
    if (w->busy()) {
      CurrentPrompter().message(this, "waiting", "等待当前操作完成！");
      return;
    }
  }
  if (!releaseDisk(*selected)) return;
  const std::string text = model_->itemText(current).toStdString();
  const auto it = std::find_if(disks_.begin(), disks_.end(),
                               [&](const disk::DiskInfo& d) { return IsImage(d) && disk::DisplayName(d) == text; });
  if (it != disks_.end()) disks_.erase(it);
  refresh();
  for (PartitionWindow* w : partitionWindows()) w->relink();
}

void DeviceWindow::openSelectedPartition() {
  const QModelIndex current = tree_->currentIndex();
  if (!current.isValid() || !current.parent().isValid()) return;
  const QString diskText = model_->itemText(current.parent());
  const QString partText = model_->itemText(current.siblingAtColumn(DeviceTreeModel::kNameColumn));
  const QString title = diskText + partText;
  for (PartitionWindow* w : partitionWindows()) {
    if (w->title() == title) {
      CurrentPrompter().message(this, "error", "此分区已打开！");
      return;
    }
  }
  const QString type =
      model_->data(current.siblingAtColumn(DeviceTreeModel::kFsTypeColumn), Qt::DisplayRole).toString();
  if (type != "NTFS" && type != "FAT16" && type != "FAT32") return;
  auto* window = new PartitionWindow(disks_, diskText, partText, starter_);
  windows_.emplace_back(window);
  emit documentCreated(window, title);
}

void DeviceWindow::popupMenu(const QPoint& pos) {
  const QModelIndex index = tree_->indexAt(pos);
  if (!index.isValid()) return;
  tree_->setCurrentIndex(index);
  QMenu menu(this);
  if (model_->isDiskItem(index)) {
    connect(menu.addAction("扫描丢失分区    Ctrl+Alt+P"), &QAction::triggered, this,
            &DeviceWindow::searchLostPartitions);
    connect(menu.addAction("全盘扫描        Ctrl+Alt+S"), &QAction::triggered, this, &DeviceWindow::fullDiskScan);
    connect(menu.addAction("创建镜像文件    Ctrl+Alt+J"), &QAction::triggered, this, &DeviceWindow::imagingRequested);
    connect(menu.addAction("创建区域        Ctrl+Alt+C"), &QAction::triggered, this, &DeviceWindow::createRegionDialog);
    connect(menu.addAction("分区表操作      Ctrl+Alt+O"), &QAction::triggered, this,
            &DeviceWindow::partitionTableRequested);
    QAction* close = menu.addAction("关闭镜像文件");
    const disk::DiskInfo* d = model_->diskOf(index);
    close->setEnabled(d && IsImage(*d));
    connect(close, &QAction::triggered, this, &DeviceWindow::closeImage);
  } else {
    connect(menu.addAction("创建分区镜像文件     Ctrl+Alt+J"), &QAction::triggered, this,
            &DeviceWindow::partitionImagingRequested);
    connect(menu.addAction("提取分区空闲空间     Ctrl+Alt+G"), &QAction::triggered, this,
            &DeviceWindow::freeSpaceRequested);
    connect(menu.addAction("扫描"), &QAction::triggered, this, &DeviceWindow::partitionScan);
  }
  menu.exec(tree_->viewport()->mapToGlobal(pos));
}

}  // namespace orvaldi::app
