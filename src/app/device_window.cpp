#include "app/device_window.h"

#include <algorithm>
#include <memory>
#include <optional>

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QMdiSubWindow>
#include <QMenu>
#include <QSettings>
#include <QSplitter>
#include <QTreeView>
#include <QVBoxLayout>

#include "app/device_tree_model.h"
#include "app/partition_window.h"
#include "app/prompter.h"
#include "app/property_list.h"
#include "app/region_dialog.h"
#include "app/search_dialogs.h"
#include "app/settings.h"
#include "disk/disk_list.h"
#include "disk/partition_table.h"
#include "disk/scan_result_file.h"
#include "disk/sector_io.h"
#include "disk/sha256.h"
#include "ops/carved_names.h"
#include "ops/disk_search.h"
#include "ops/format.h"
#include "ops/open_partition.h"
#include "ops/sweep_checkpoint.h"
#include "raw/raw_scan.h"

namespace orvaldi::app {
namespace {

const char kFailed[] = "此操作执行失败！";

bool IsImage(const disk::DiskInfo& disk) { return disk.index.empty(); }

QString DiskText(const disk::DiskInfo& disk) { return QString::fromStdString(disk::DisplayName(disk)); }

// What a sweep could not read, for the operator; empty when it read all.
QString UnreadableText(const raw::RawScanReport& report) {
  if (report.unreadable.empty()) return {};
  constexpr size_t kShown = 10;
  QStringList where;
  for (size_t i = 0; i < report.unreadable.size() && i < kShown; ++i)
    where << QString("%1+%2").arg(report.unreadable[i].start).arg(report.unreadable[i].sectors);
  if (report.unreadable.size() > kShown) where << "……";
  return QString("有 %1 个扇区无法读取（%2 处），其中的内容没有扫描到。\n起始扇区+扇区数：%3")
      .arg(report.unreadableSectors())
      .arg(report.unreadable.size())
      .arg(where.join("，"));
}

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
  // Once the tree has expanded what changed, the columns fit the texts.
  connect(model_, &QAbstractItemModel::modelReset, this, &DeviceWindow::fitColumnsLater);
  connect(model_, &QAbstractItemModel::rowsInserted, this, &DeviceWindow::fitColumnsLater);
  connect(model_, &QAbstractItemModel::rowsRemoved, this, &DeviceWindow::fitColumnsLater);
  tree_->expandAll();
  fitColumns();
}

void DeviceWindow::fitColumnsLater() {
  if (fitPending_) return;
  fitPending_ = true;
  QMetaObject::invokeMethod(
      this,
      [this] {
        fitPending_ = false;
        fitColumns();
      },
      Qt::QueuedConnection);
}

void DeviceWindow::fitColumns() {
  // Each column as wide as its longest text (a label such as "DEMO_FAT32"
  // read in full), and never narrower than it starts.
  for (int c = 0; c < DeviceTreeModel::kColumnCount; ++c) {
    tree_->resizeColumnToContents(c);
    if (tree_->columnWidth(c) < DeviceTreeModel::defaultWidth(c))
      tree_->setColumnWidth(c, DeviceTreeModel::defaultWidth(c));
  }
}

DeviceWindow::~DeviceWindow() {
  // Windows nobody took in as documents are ours to end.
  for (const Opened& opened : windows_)
    if (opened.window && !opened.window->parent()) delete opened.window.data();
}

std::vector<PartitionWindow*> DeviceWindow::partitionWindows() const {
  std::vector<PartitionWindow*> open;
  for (const Opened& opened : windows_)
    if (opened.window) open.push_back(opened.window.data());
  return open;
}

bool DeviceWindow::partitionWindowBusy(const QString& diskText, const PartitionWindow* except) const {
  return std::any_of(windows_.begin(), windows_.end(), [&](const Opened& opened) {
    return opened.disk == diskText && opened.count->busy() && (!except || opened.window != except);
  });
}

disk::DiskInfo* DeviceWindow::diskNamed(const QString& diskText) {
  const std::string name = diskText.toStdString();
  const auto it =
      std::find_if(disks_.begin(), disks_.end(), [&](const disk::DiskInfo& d) { return disk::DisplayName(d) == name; });
  return it == disks_.end() ? nullptr : &*it;
}

void DeviceWindow::relinkWindows(const QString& diskText) {
  for (PartitionWindow* w : partitionWindows())
    if (w->diskName() == diskText) w->relink();
}

void DeviceWindow::dropCarvedDuplicates(const QString& diskText, const PartitionWindow* publishing) {
  const auto pending = carvedToDrop_.find(diskText);
  if (pending == carvedToDrop_.end()) return;
  // Another scan of the disk may be reading the carved folder on its worker
  // (the publishing one has ended its reading).
  const bool read = std::any_of(windows_.begin(), windows_.end(), [&](const Opened& opened) {
    return opened.disk == diskText && opened.reading->raised() && (!publishing || opened.window != publishing);
  });
  if (read || searching(diskText)) return;
  ops::OpenedPartition found;
  found.carvedDuplicates = std::move(pending->second);
  carvedToDrop_.erase(pending);
  disk::DiskInfo* d = diskNamed(diskText);
  if (d && ops::DropCarvedDuplicates(*d, found) > 0) relinkWindows(diskText);
}

void DeviceWindow::refresh() {
  properties_->clear();
  model_->populate();
}

bool DeviceWindow::run(OperationRequest request) {
  request.owner = this;
  request.count = count_;
  return starter_(std::move(request));
}

bool DeviceWindow::runSearch(disk::DiskInfo& disk, OperationRequest request,
                             std::function<void(disk::DiskInfo& copy, platform::ProgressBlock&)> work) {
  const QString diskText = DiskText(disk);
  if (searching(diskText) || partitionWindowBusy(diskText)) {
    CurrentPrompter().message(this, "waiting", "等待当前操作完成！");
    return false;
  }
  // Nothing reads the carved folder now: the copy starts without duplicates.
  dropCarvedDuplicates(diskText);
  auto copy = std::make_shared<disk::DiskInfo>(ops::CopyForSearch(disk));
  const size_t before = disk.partitions.size();
  request.work = [copy, work = std::move(work)](platform::ProgressBlock& block) { work(*copy, block); };
  request.publish = [this, diskText, copy, before, publish = std::move(request.publish)] {
    if (disk::DiskInfo* d = diskNamed(diskText)) ops::MergeSearchFindings(*d, std::move(*copy), before);
    searching_.removeAll(diskText);
    publish();
    relinkWindows(diskText);
  };
  searching_ << diskText;
  if (run(std::move(request))) return true;
  searching_.removeAll(diskText);
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

QString DeviceWindow::checkpointPathFor(const disk::DiskInfo& disk) const {
  const QString folder = !checkpointFolder_.isEmpty()
                             ? checkpointFolder_
                             : QFileInfo(OpenUserSettings()->fileName()).path() + "/checkpoints";
  // Keyed by what tells the disk from another: two disks that only share
  // a display name do not share a checkpoint.
  const std::string key = disk::DisplayName(disk) + "\n" + disk.serialNumber + "\n" + disk.devicePath + "\n" +
                          std::to_string(disk.sizeBytes);
  const std::string digest = disk::Sha256Hex({reinterpret_cast<const uint8_t*>(key.data()), key.size()});
  return folder + "/" + QString::fromStdString(digest.substr(0, 24)) + ".kvr_ckpt";
}

void DeviceWindow::fullDiskScan() {
  disk::DiskInfo* d = selectedDiskForCommand();
  if (!d) return;
  const QString diskText = model_->itemText(tree_->currentIndex());
  if (searching(diskText) || partitionWindowBusy(diskText)) {
    CurrentPrompter().message(this, "waiting", "等待当前操作完成！");
    return;
  }
  const uint64_t sectors = static_cast<uint64_t>(std::max<int64_t>(d->sizeBytes, 0)) / disk::SectorSize;
  const std::string options = ops::SweepOptionsText("", 0);
  const QString checkpoint = checkpointPathFor(*d);
  ops::SweepCheckpointOptions settings;
  if (QDir().mkpath(QFileInfo(checkpoint).path())) settings.writeTo = checkpoint.toStdString();
  if (QFile::exists(checkpoint)) {
    const ops::ResumableCheckpoint found = ops::FindResumable(checkpoint.toStdString(), *d, 0, sectors, options);
    if (found.usable && !found.complete) {
      const double done = sectors == 0 ? 0.0 : 100.0 * static_cast<double>(found.next) / static_cast<double>(sectors);
      const QMessageBox::StandardButton answer =
          CurrentPrompter().ask(this, "全盘扫描",
                                QString("继续上次的扫描？\n\n上次的全盘扫描停在第 %1 扇区（已完成 %2%）。\n"
                                        "选择“是”从那里继续，选择“否”从头重新扫描。")
                                    .arg(found.next)
                                    .arg(done, 0, 'f', 1),
                                QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
      if (answer == QMessageBox::Cancel) return;
      if (answer == QMessageBox::Yes) {
        settings.resumeFrom = checkpoint.toStdString();
        // What the stopped scan found and was published goes: the scan
        // taken up finds it again, from where the records stood then.
        d->partitions.resize(found.basePartitions);
        model_->relistDisk(diskText);
      }
    }
  }
  OperationRequest request;
  request.family = OperationFamily::kDiskSearch;
  request.title = "全盘扫描";
  auto ran = std::make_shared<bool>(false);
  auto finished = std::make_shared<bool>(false);
  auto failure = std::make_shared<std::string>();
  auto report = std::make_shared<raw::RawScanReport>();
  request.publish = [this, diskText, ran, finished, failure, report, checkpoint] {
    if (!model_->relistDisk(diskText) || !*ran) CurrentPrompter().message(this, "error", kFailed);
    tree_->expand(model_->diskIndex(diskText));
    if (const QString unread = UnreadableText(*report); !unread.isEmpty())
      CurrentPrompter().message(this, "warning", unread);
    if (!failure->empty()) CurrentPrompter().message(this, "warning", QString::fromStdString(*failure));
    // A scan that ran to its end needs no taking up.
    if (*finished) QFile::remove(checkpoint);
  };
  runSearch(*d, std::move(request),
            [ran, finished, failure, report, sectors, options, settings](disk::DiskInfo& copy,
                                                                         platform::ProgressBlock& block) {
              ops::SweepCheckpointer checkpointer;
              const bool prepared = settings.resumeFrom.empty()
                                        ? checkpointer.prepare(copy, 0, sectors, options, settings)
                                        : checkpointer.prepareOverMerged(copy, 0, sectors, options, settings);
              if (!prepared) {
                *failure = checkpointer.error();
                return;
              }
              *ran = raw::RawDiskScan(copy, block, 0, sectors, nullptr, report.get(), checkpointer.checkpoints()) == 1;
              *finished = *ran && !block.cancelled();
              // The carved files' names from the records of the volumes found.
              if (*ran) ops::NameCarvedFiles(copy, block, 0, sectors);
              if (const std::string why = checkpointer.writeError(); !why.empty()) *failure = why;
            });
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
  auto report = std::make_shared<disk::LostPartitionReport>();
  auto ran = std::make_shared<bool>(false);
  request.publish = [this, diskText, window, ran, report] {
    // Rows pushed after the search's last progress message.
    window->takeRows();
    if (!model_->relistDisk(diskText) || !*ran) CurrentPrompter().message(this, "error", kFailed);
    tree_->expand(model_->diskIndex(diskText));
    if (report->unreadableSectors > 0)
      CurrentPrompter().message(this, "warning",
                                QString("有 %1 个扇区无法读取，那里的分区没有找到。").arg(report->unreadableSectors));
  };
  runSearch(*d, std::move(request), [mode, heads, ran, report](disk::DiskInfo& copy, platform::ProgressBlock& block) {
    *ran = disk::SearchLostPartitions(copy, mode, heads, block, report.get()) == 1;
  });
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
  // The partition's place in the list: the copy's record at that place is the scan's context.
  const auto place =
      std::find_if(d->partitions.begin(), d->partitions.end(), [p](const disk::PartitionInfo& q) { return &q == p; });
  const auto index = static_cast<size_t>(place - d->partitions.begin());
  OperationRequest request;
  request.family = OperationFamily::kPartitionScan;
  request.title = "分区扫描";
  auto ran = std::make_shared<bool>(false);
  auto report = std::make_shared<raw::RawScanReport>();
  request.publish = [this, diskText, ran, report] {
    if (!model_->appendNewPartitions(diskText) || !*ran) CurrentPrompter().message(this, "error", kFailed);
    if (const QString unread = UnreadableText(*report); !unread.isEmpty())
      CurrentPrompter().message(this, "warning", unread);
  };
  runSearch(*d, std::move(request), [index, ran, report](disk::DiskInfo& copy, platform::ProgressBlock& block) {
    const disk::PartitionInfo& context = copy.partitions.at(index);
    *ran = raw::RawDiskScan(copy, block, context.startSector, context.sectorCount, &context, report.get()) == 1;
  });
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
  if (busy()) {
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
  // Tried on a copy first: a file of another disk, or one that does not
  // read, must not close the windows of this one.
  disk::DiskInfo trial = *d;
  disk::ScanResultLoad loaded = disk::LoadScanResultFile(trial, path.toStdString());
  // Loading replaces the partition records that open windows show.
  if (loaded.status == disk::ScanResultStatus::kOk) {
    if (!releaseDisk(*d)) return;
    loaded = disk::LoadScanResultFile(*d, path.toStdString());
  }
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
  if (busy()) {
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
  const QString diskText = DiskText(disk);
  if (busy() || partitionWindowBusy(diskText)) {
    CurrentPrompter().message(this, "waiting", "等待当前操作完成！");
    return false;
  }
  // The window goes with its tab: the frame that holds it as a document
  // would otherwise keep an empty tab where it was.
  for (PartitionWindow* w : partitionWindows()) {
    if (w->diskName() != diskText) continue;
    if (auto* tab = qobject_cast<QMdiSubWindow*>(w->parentWidget())) {
      delete tab;
    } else {
      delete w;
    }
  }
  // The records go: what was to be dropped from them goes with them.
  carvedToDrop_.erase(diskText);
  return true;
}

void DeviceWindow::closeImage() {
  const QModelIndex current = tree_->currentIndex();
  if (!model_->isDiskItem(current)) return;
  const disk::DiskInfo* selected = model_->diskOf(current);
  if (!selected || !IsImage(*selected)) return;
  // Erasing a record leaves the others where they are (the list keeps its
  // records in place), so work on other disks goes on and their windows keep
  // their pointers; only this disk must be idle.
  if (!releaseDisk(*selected)) return;
  const std::string text = model_->itemText(current).toStdString();
  const auto it = std::find_if(disks_.begin(), disks_.end(),
                               [&](const disk::DiskInfo& d) { return IsImage(d) && disk::DisplayName(d) == text; });
  if (it != disks_.end()) disks_.erase(it);
  refresh();
}

void DeviceWindow::openSelectedPartition() {
  const QModelIndex current = tree_->currentIndex();
  if (!current.isValid() || !current.parent().isValid()) return;
  const QString diskText = model_->itemText(current.parent());
  const QString partText = model_->itemText(current.siblingAtColumn(DeviceTreeModel::kNameColumn));
  const QString title = diskText + partText;
  if (searching(diskText)) {
    CurrentPrompter().message(this, "waiting", "等待当前操作完成！");
    return;
  }
  for (PartitionWindow* w : partitionWindows()) {
    if (w->title() == title) {
      CurrentPrompter().message(this, "error", "此分区已打开！");
      return;
    }
  }
  // A closed window of this partition whose scan or save has not yet
  // noticed the stop still reads the nodes a new scan would replace.
  if (std::any_of(windows_.begin(), windows_.end(), [&](const Opened& opened) {
        return !opened.window && opened.title == title && opened.count->busy();
      })) {
    CurrentPrompter().message(this, "waiting", "等待当前操作完成！");
    return;
  }
  const QString type =
      model_->data(current.siblingAtColumn(DeviceTreeModel::kFsTypeColumn), Qt::DisplayRole).toString();
  if (type != "NTFS" && type != "FAT16" && type != "FAT32") return;
  // Windows closed while idle are forgotten; those whose scan still runs
  // keep their disk in use until it ends.
  std::erase_if(windows_, [](const Opened& opened) { return !opened.window && !opened.count->busy(); });
  auto* window = new PartitionWindow(disks_, diskText, partText, starter_);
  windows_.push_back({window, diskText, window->operationCount(), window->readingFlag(), title});
  window->setDiskSearched(
      [self = QPointer<DeviceWindow>(this), diskText] { return self && self->searching(diskText); });
  connect(window, &PartitionWindow::scanPublished, this, [this, window, diskText](const QList<quint64>& found) {
    std::vector<uint64_t>& pending = carvedToDrop_[diskText];
    pending.insert(pending.end(), found.begin(), found.end());
    dropCarvedDuplicates(diskText, window);
  });
  emit documentCreated(window, title);
  window->reopenDisk();
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
