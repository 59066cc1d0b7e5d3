#include "app/partition_window.h"

#include <optional>
#include <vector>

#include <QFileDialog>
#include <QHeaderView>
#include <QMenu>
#include <QResizeEvent>
#include <QSplitter>
#include <QTreeView>
#include <QVBoxLayout>

#include "app/file_list_model.h"
#include "app/filter_dialog.h"
#include "app/folder_tree_model.h"
#include "app/picture_preview.h"
#include "app/prompter.h"
#include "disk/volume_source.h"
#include "fs/node_extents.h"
#include "fs/tree_file.h"
#include "ops/file_filter.h"
#include "ops/statistics.h"
#include "ops/ticks.h"
#include "ops/tree_file_ops.h"

namespace orvaldi::app {
namespace {

// The statistics have a worker but no progress window: they are quick, and
// their text is what the operator waits for.
class SilentProgress final : public QObject, public ProgressView {
 public:
  using QObject::QObject;
  platform::ProgressBlock& block() override { return block_; }
  void showFor(const QString&) override {}
  void closeWhenDone() override {}

 private:
  platform::ProgressBlock block_;
};

// The file list's view. Its columns keep their shares of the client width
// as the window is resized. A tree view fetches a further batch each time
// it lays out its rows; the list makes more rows only when the operator
// scrolls past the last one, unless the rows made do not fill the view yet
// (then there would be nothing to scroll).
class FileListView final : public QTreeView {
 public:
  FileListView(FileListModel* model, QWidget* parent) : QTreeView(parent), files_(model) { setModel(model); }

  void doItemsLayout() override {
    const int rows = files_->rowCount();
    const int rowHeight = rows > 0 ? sizeHintForRow(0) : 0;
    const bool filled = rowHeight > 0 && static_cast<int64_t>(rows) * rowHeight >= viewport()->height();
    files_->holdFetches(filled);
    QTreeView::doItemsLayout();
    files_->holdFetches(false);
  }

 protected:
  void resizeEvent(QResizeEvent* event) override {
    QTreeView::resizeEvent(event);
    const int width = viewport()->width();
    for (int c = 0; c < FileListModel::kColumnCount; ++c)
      header()->resizeSection(c, FileListModel::resizedWidth(c, width));
  }

 private:
  FileListModel* files_;
};

// What a scan could not read, for the operator: a listing that lacks
// something must not pass for whole. Empty when everything was read.
QString ReadProblemsText(const ops::OpenedPartition& opened) {
  QStringList lines;
  constexpr size_t kShown = 10;
  const auto& problems = opened.readProblems;
  for (size_t i = 0; i < problems.size() && i < kShown; ++i)
    lines << QString("%1：扇区 %2").arg(QString::fromStdString(problems[i].where)).arg(problems[i].sector);
  if (problems.size() > kShown) lines << QString("……共 %1 处").arg(problems.size());
  if (!opened.unreadableFatSectors.empty())
    lines << QString("FAT 有 %1 个扇区在所有副本中都无法读取（第一个是 FAT 扇区 %2），经过它们的文件不完整")
                 .arg(opened.unreadableFatSectors.size())
                 .arg(opened.unreadableFatSectors.front());
  if (lines.isEmpty()) return {};
  return "部分扇区无法读取，以下位置列出的内容不完整：\n" + lines.join('\n');
}

const char kOpenTitle[] = "展开分区文件";
const char kLostTitle[] = "扫描丢失文件";
const char kAnalysing[] = "正在分析文件，请稍后！";

}  // namespace

PartitionWindow::PartitionWindow(disk::DiskInfoList& disks, const QString& diskName, const QString& partitionName,
                                 OperationStarter starter, QWidget* parent)
    : QWidget(parent), disks_(disks), diskName_(diskName), partitionName_(partitionName), starter_(std::move(starter)) {
  setWindowTitle(title());
  folders_ = new FolderTreeModel(this);
  files_ = new FileListModel(this);

  auto* splitter = new QSplitter(Qt::Horizontal, this);
  tree_ = new QTreeView(splitter);
  tree_->setModel(folders_);
  tree_->setUniformRowHeights(true);
  tree_->setContextMenuPolicy(Qt::CustomContextMenu);
  for (int c = 0; c < FolderTreeModel::kColumnCount; ++c) {
    tree_->header()->resizeSection(c, FolderTreeModel::defaultWidth(c));
    tree_->setColumnHidden(c, FolderTreeModel::defaultWidth(c) == 0);
  }
  fileList_ = new FileListView(files_, splitter);
  fileList_->setRootIsDecorated(false);
  fileList_->setUniformRowHeights(true);
  fileList_->setAllColumnsShowFocus(true);
  fileList_->setContextMenuPolicy(Qt::CustomContextMenu);
  fileList_->header()->setStretchLastSection(false);
  for (int c = 0; c < FileListModel::kColumnCount; ++c)
    fileList_->header()->resizeSection(c, FileListModel::defaultWidth(c));
  statisticsView_ = new SilentProgress(this);
  splitter->setStretchFactor(1, 1);
  splitter->setSizes({260, 540});
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(splitter);

  connect(tree_->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this](const QModelIndex& current) { showFolder(current); });
  connect(tree_, &QWidget::customContextMenuRequested, this, &PartitionWindow::popupMenu);
  connect(fileList_, &QWidget::customContextMenuRequested, this, &PartitionWindow::listPopupMenu);
  connect(fileList_, &QAbstractItemView::doubleClicked, this, &PartitionWindow::openRow);
  connect(this, &PartitionWindow::statisticsRequested, this, &PartitionWindow::startStatistics);
  // Ticks are kept whole in the nodes; each view repaints what the other changed.
  connect(files_, &FileListModel::ticked, this,
          [this](const fs::NodeRef&) { folders_->ticksChangedBelow(tree_->currentIndex()); });
  connect(folders_, &FolderTreeModel::ticked, this, [this](const QModelIndex&) { files_->ticksChanged(); });
  // A picture pressed and held still pops up its preview, read from the disk.
  new PicturePreview(fileList_, [this](const QModelIndex& row) {
    PictureFile file;
    disk::DiskInfo* disk = nullptr;
    disk::PartitionInfo* partition = nullptr;
    if (!row.isValid() || !findRecords(disk, partition)) return file;
    file.disk = disk;
    file.partition = partition;
    file.node = files_->nodeAt(row.row());
    return file;
  });
}

PartitionWindow::~PartitionWindow() = default;

bool PartitionWindow::findRecords(disk::DiskInfo*& disk, disk::PartitionInfo*& partition) const {
  const std::string diskText = diskName_.toStdString();
  const std::string partText = partitionName_.toStdString();
  for (disk::DiskInfo& d : disks_) {
    if (disk::DisplayName(d) != diskText) continue;
    for (disk::PartitionInfo& p : d.partitions) {
      if (p.name == partText || p.driveLetter == partText) {
        disk = &d;
        partition = &p;
        return true;
      }
    }
    return false;
  }
  return false;
}

void PartitionWindow::clearViews() {
  tree_->selectionModel()->clear();
  files_->clear();
  folders_->clear();
  // A new tree: the folders the finder kept are gone.
  if (mapFinder_) renewMapFinder();
}

void PartitionWindow::renewMapFinder() {
  disk::DiskInfo* disk = nullptr;
  disk::PartitionInfo* partition = nullptr;
  mapFinder_.reset();
  if (!mapSource_ || !findRecords(disk, partition)) return;
  mapFinder_ = std::make_unique<fs::ExtentFinder>(mapSource_.get(), *partition);
}

void PartitionWindow::chooseMapFile() {
  const QString path = QFileDialog::getOpenFileName(
      this, QStringLiteral("读取映射文件"), QString(),
      QStringLiteral("Map files(*.map *.log)|All files(*.*)").replace('|', QStringLiteral(";;")));
  if (path.isEmpty()) return;
  QString error;
  if (!loadMapFile(path, &error)) CurrentPrompter().message(this, "error", error);
}

bool PartitionWindow::loadMapFile(const QString& path, QString* error) {
  disk::DiskInfo* disk = nullptr;
  disk::PartitionInfo* partition = nullptr;
  auto fail = [&](const std::string& why) {
    if (error) *error = QString::fromStdString(why);
    return false;
  };
  if (!findRecords(disk, partition)) return fail("the partition is no longer listed");
  ops::MapAreas map = ops::LoadMapAreas(path.toStdString(), *disk, *partition, ops::MapBase::kAuto);
  if (map.status != platform::Status::kOk) return fail(map.message);
  disk::OpenedVolume volume = disk::OpenVolumeSource(*disk, *partition);
  if (!volume.source) return fail(volume.outcome.message);
  map_ = std::move(map);
  mapSource_ = std::move(volume.source);
  renewMapFinder();
  files_->setDamageCheck([this](const fs::NodeRef& node, const fs::NodeRef& folder) {
    if (!mapFinder_ || !node.isFileLike()) return false;
    return !fs::TouchedAreas(mapFinder_->of(node, folder), *map_.unread).empty();
  });
  return true;
}

void PartitionWindow::attachCounted(const QModelIndex& parent, const fs::NodeRef& node) {
  folders_->attach(parent, node);
  // Every node below counts, deleted or not; a file's children (none are
  // expected) count too. An explicit stack: a crafted tree can be deep.
  std::vector<fs::NodeRef> stack{node};
  while (!stack.empty()) {
    const fs::NodeRef n = stack.back();
    stack.pop_back();
    if (n.isFileLike()) {
      counters_.totalSize += n.size();
      ++counters_.files;
    } else if (n.isFolderLike()) {
      ++counters_.folders;
    }
    n.forEachChild([&](const fs::NodeRef& child) { stack.push_back(child); });
  }
}

void PartitionWindow::addExtraFiles(const QModelIndex& top, disk::DiskInfo& disk,
                                    const disk::PartitionInfo& partition) {
  // Shown when the first carved file at or after the partition's start lies
  // within it (its last sector included).
  const auto& carved = disk.extraFoundFolder.children;
  const auto first = carved.lower_bound(partition.startSector);
  if (first == carved.end() || first->first - partition.startSector > partition.sectorCount) return;
  folders_->addExtraFiles(
      top, fs::NodeRef::CarvedFolder(&disk.extraFoundFolder, partition.startSector, partition.sectorCount));
}

void PartitionWindow::relink() {
  disk::DiskInfo* disk = nullptr;
  disk::PartitionInfo* partition = nullptr;
  if (!findRecords(disk, partition)) return;
  folders_->relinkExtraFiles(
      fs::NodeRef::CarvedFolder(&disk->extraFoundFolder, partition->startSector, partition->sectorCount));
  if (folders_->nodeOf(tree_->currentIndex()).family() == fs::NodeFamily::kCarved) showFolder(tree_->currentIndex());
}

void PartitionWindow::showFirstFolder(const QModelIndex& top) {
  if (!top.isValid()) return;
  tree_->expand(top);
  const QModelIndex first = folders_->index(0, 0, top);
  if (!first.isValid()) return;
  tree_->expand(first);
  tree_->setCurrentIndex(first);
  showFolder(first);
}

void PartitionWindow::showFolder(const QModelIndex& index) {
  const fs::NodeRef folder = folders_->nodeOf(index);
  files_->show(folder, folders_->tickOf(index), filter_.pattern.toStdString());
  emit folderSummaryChanged(
      QString::fromStdString(ops::FolderSummaryText(counters_.totalSize, counters_.folders, counters_.files)));
}

void PartitionWindow::selectAll() { setAllTicks(1); }

void PartitionWindow::selectNone() { setAllTicks(0); }

void PartitionWindow::setAllTicks(uint8_t tick) {
  for (int top = 0; folders_->topIndex(top).isValid(); ++top) folders_->setTick(folders_->topIndex(top), tick);
  files_->ticksChanged();
}

namespace {
ops::StatisticsFilter StatisticsFilterOf(const FilterState& filter) {
  return {filter.pattern.toStdString(), filter.includeExisting, filter.includeDeleted};
}
}  // namespace

void PartitionWindow::listStatistics() {
  const fs::NodeRef node = selectedFile();
  if (!node) return;
  emit statisticsReady(QString::fromStdString(ops::StatisticsText(ops::CountFiles(node, StatisticsFilterOf(filter_)))));
}

void PartitionWindow::startStatistics() {
  QModelIndex item = tree_->currentIndex();
  if (folders_->isTop(item)) item = folders_->index(0, 0, item);
  const fs::NodeRef node = folders_->nodeOf(item);
  if (!node || refusedForSearch()) return;
  OperationRequest request;
  request.owner = this;
  request.family = OperationFamily::kStatistics;
  request.title = "文件大小统计";
  request.view = statisticsView_;
  // The nodes stay where they are while the count is raised: every scan of
  // this window and every search of the disk refuses until the walk is
  // over. The disk's carved files may also change when another window's
  // scan is published, unless a window says it reads them.
  request.count = count_;
  if (node.family() == fs::NodeFamily::kCarved) request.busy = fileScan_;
  auto result = std::make_shared<ops::FileStatistics>();
  request.work = [node, filter = StatisticsFilterOf(filter_), result](platform::ProgressBlock&) {
    *result = ops::CountFiles(node, filter);
  };
  request.publish = [self = QPointer<PartitionWindow>(this), result] {
    if (self) emit self->statisticsReady(QString::fromStdString(ops::StatisticsText(*result)));
  };
  starter_(std::move(request));
}

fs::NodeRef PartitionWindow::selectedFolder() const { return folders_->nodeOf(tree_->currentIndex()); }

fs::NodeRef PartitionWindow::selectedFile() const {
  const QModelIndex current = fileList_->currentIndex();
  return current.isValid() ? files_->nodeAt(current.row()) : fs::NodeRef();
}

fs::NodeRef PartitionWindow::listedFolder() const { return files_->folder(); }

std::vector<fs::NodeRef> PartitionWindow::attachedNodes() const {
  std::vector<fs::NodeRef> nodes;
  for (int top = 0; folders_->topIndex(top).isValid(); ++top) {
    const QModelIndex topItem = folders_->topIndex(top);
    for (int row = 0; row < folders_->rowCount(topItem); ++row)
      if (fs::NodeRef node = folders_->nodeOf(folders_->index(row, 0, topItem))) nodes.push_back(node);
  }
  return nodes;
}

void PartitionWindow::clearTicks(const std::vector<fs::NodeRef>& nodes) {
  for (const fs::NodeRef& node : nodes) ops::SetTickBelow(node, 0);
  // The cleared nodes may lie anywhere below the attached folders, also
  // below folders the tree has made no items for: fold every attached tree.
  for (const fs::NodeRef& node : attachedNodes()) ops::RecomputeTicks(node);
  for (int top = 0; folders_->topIndex(top).isValid(); ++top) {
    const QModelIndex topItem = folders_->topIndex(top);
    bool anyTicked = false;
    for (int row = 0; row < folders_->rowCount(topItem); ++row)
      anyTicked = anyTicked || folders_->tickOf(folders_->index(row, 0, topItem)) != 0;
    // A top item keeps its own tick, but not one that nothing below it has any more.
    if (!anyTicked && folders_->tickOf(topItem) != 0) folders_->setTick(topItem, 0);
  }
  folders_->refreshTicks();
  files_->ticksChanged();
}

QStringList PartitionWindow::shownFiles() const {
  QStringList names;
  for (int row = 0; row < files_->rowCount(); ++row) names << files_->index(row, 0).data().toString();
  return names;
}

bool PartitionWindow::refusedForSearch() {
  if (!diskSearched_ || !diskSearched_()) return false;
  CurrentPrompter().message(this, "waiting", "等待当前操作完成！");
  return true;
}

void PartitionWindow::reopenDisk() {
  if (refusedForSearch()) return;
  if (busy()) {
    CurrentPrompter().message(this, "error", "等待当前操作完成，请稍后！");
    return;
  }
  start(Scan::kOpen);
}

void PartitionWindow::scanFormatted() {
  counters_ = {};
  if (fileScan_->raised()) {
    CurrentPrompter().message(this, "waiting", "等待此操作完成！");
    return;
  }
  if (busy()) {
    CurrentPrompter().message(this, "error", "等待当前操作完成！");
    return;
  }
  if (refusedForSearch()) return;
  disk::DiskInfo* disk = nullptr;
  disk::PartitionInfo* partition = nullptr;
  if (!findRecords(disk, partition)) return;
  const disk::FsFamily family = disk::FamilyOf(partition->typeByte);
  if (family == disk::FsFamily::kNtfs) {
    start(Scan::kLostNtfs);
  } else if (disk::IsFat(family)) {
    scanOption_ = 0;
    start(Scan::kLostFat);
  }
}

void PartitionWindow::scanDeleted() {
  if (deletedScan_->raised()) {
    CurrentPrompter().message(this, "waiting", "等待此操作完成");
    return;
  }
  if (busy()) {
    CurrentPrompter().message(this, "error", "等待当前操作完成！");
    return;
  }
  if (refusedForSearch()) return;
  if (!disk::IsFat(kind_)) {
    CurrentPrompter().message(this, "error", "此分区非FAT文件系统");
    return;
  }
  start(Scan::kDeleted);
}

void PartitionWindow::start(Scan scan) {
  disk::DiskInfo* disk = nullptr;
  disk::PartitionInfo* partition = nullptr;
  // A disk or partition that no longer answers to the remembered texts:
  // nothing starts.
  if (!findRecords(disk, partition)) return;
  const disk::FsFamily family = disk::FamilyOf(partition->typeByte);
  if (family != disk::FsFamily::kOther) kind_ = family;

  OperationRequest request;
  request.owner = this;
  request.family = scan == Scan::kLostNtfs ? OperationFamily::kDeepScan : OperationFamily::kPartitionWindow;
  request.title = scan == Scan::kOpen ? kOpenTitle : kLostTitle;
  request.count = count_;

  QModelIndex top;
  std::shared_ptr<ops::OpenedPartition> previous = opened_;
  if (scan == Scan::kDeleted) {
    // No new reading: the last scan's orphan and third top folders are
    // attached again below the first top item.
    request.work = [](platform::ProgressBlock& block) { block.clearText(); };
    request.publish = [self = QPointer<PartitionWindow>(this), previous] {
      if (!self) return;
      if (previous) {
        QModelIndex first = self->folders_->topIndex(0);
        if (!first.isValid()) first = self->folders_->addTop(self->partitionName_);
        for (size_t i = 1; i < previous->tops.size(); ++i) self->attachCounted(first, previous->tops[i]);
      }
    };
    request.busy = deletedScan_;
  } else {
    // The scan replaces the nodes the views refer to: let go of them first.
    clearViews();
    opened_.reset();
    top = folders_->addTop(partitionName_);
    const ops::ScanMode mode = scan == Scan::kLostNtfs ? ops::ScanMode::kDeep
                               : disk::IsFat(family) && (scan == Scan::kLostFat || scanOption_ == 0)
                                   ? ops::ScanMode::kSearch
                                   : ops::ScanMode::kWalk;
    auto result = std::make_shared<ops::OpenedPartition>();
    request.work = [disk, partition, mode, result](platform::ProgressBlock& block) {
      *result = ops::OpenPartition(*disk, *partition, mode, block);
      block.clearText();
      block.setText(kAnalysing);
    };
    const QPersistentModelIndex topItem(top);
    const bool withExtras = scan != Scan::kLostNtfs;
    request.publish = [self = QPointer<PartitionWindow>(this), result, topItem, withExtras, disk, partition, mode] {
      if (!self) return;
      self->opened_ = result;
      self->treeMode_ = mode;
      // No volume the reader could read: an empty tree must not pass for one.
      if (result->status == ops::OpenStatus::kNoVolume || result->status == ops::OpenStatus::kNotAFileSystem)
        CurrentPrompter().message(self, "error", "此操作执行失败！");
      // Root and orphans; the NTFS record search adds the extension folder.
      const size_t tops = withExtras ? std::min<size_t>(result->tops.size(), 2) : result->tops.size();
      for (size_t i = 0; i < tops; ++i) self->attachCounted(topItem, result->tops[i]);
      emit self->scanPublished(QList<quint64>(result->carvedDuplicates.begin(), result->carvedDuplicates.end()));
      if (withExtras) {
        self->addExtraFiles(topItem, *disk, *partition);
        self->showFirstFolder(topItem);
      }
      const QString problems = ReadProblemsText(*result);
      if (!problems.isEmpty()) CurrentPrompter().message(self, "warning", problems);
    };
    request.busy = fileScan_;
  }

  if (starter_(std::move(request))) return;
  // Refused: nothing ran, so the previous result still stands.
  if (scan != Scan::kDeleted && previous) {
    clearViews();
    opened_ = previous;
    const QModelIndex again = folders_->addTop(partitionName_);
    const size_t tops = std::min<size_t>(previous->tops.size(), 2);
    for (size_t i = 0; i < tops; ++i) folders_->attach(again, previous->tops[i]);
    addExtraFiles(again, *disk, *partition);
    showFirstFolder(again);
  }
}

namespace {
const char kTreeFilter[] = "分区信息文件(*.orvtree);;All Files(*.*)";
}  // namespace

void PartitionWindow::saveTree() {
  if (!hasTree()) return;
  QFileDialog dialog(this, QString(), title() + fs::kTreeFileExtension, kTreeFilter);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setDefaultSuffix(QString(fs::kTreeFileExtension).mid(1));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  saveTreeTo(dialog.selectedFiles().front());
}

void PartitionWindow::loadTree() {
  QFileDialog dialog(this, QString(), QString(), kTreeFilter);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  loadTreeFrom(dialog.selectedFiles().front());
}

bool PartitionWindow::saveTreeTo(const QString& path) {
  disk::DiskInfo* disk = nullptr;
  disk::PartitionInfo* partition = nullptr;
  if (!findRecords(disk, partition)) return false;
  // A scan still running changes the tree being written.
  if (busy() || !opened_) {
    CurrentPrompter().message(this, "waiting", "等待当前操作完成！");
    return false;
  }
  const ops::TreeSave saved = ops::SavePartitionTree(*disk, *partition, treeMode_, path.toStdString());
  if (!saved.ok) {
    CurrentPrompter().message(this, "error", "创建错误！\n" + QString::fromStdString(saved.error));
    return false;
  }
  return true;
}

bool PartitionWindow::loadTreeFrom(const QString& path) {
  disk::DiskInfo* disk = nullptr;
  disk::PartitionInfo* partition = nullptr;
  if (!findRecords(disk, partition) || refusedForSearch()) return false;
  if (busy()) {
    CurrentPrompter().message(this, "error", "等待当前操作完成，请稍后！");
    return false;
  }
  // Tried on a copy of the record first: a file that does not belong here
  // must leave the tree the window shows alone.
  disk::ReaderSlot shown = std::move(partition->reader);
  disk::PartitionInfo trial = *partition;  // without the tree, which is not copied
  partition->reader = std::move(shown);
  ops::TreeLoad loaded = ops::LoadPartitionTree(*disk, trial, path.toStdString());
  if (loaded.status != ops::TreeLoadStatus::kOk) {
    const QString why = QString::fromStdString(loaded.message);
    CurrentPrompter().message(this, "error",
                              loaded.status == ops::TreeLoadStatus::kOtherPartition ? "不是该分区的信息！\n" + why
                              : loaded.status == ops::TreeLoadStatus::kCannotRead ? "无法读取文件：" + why
                                                                                  : "分区信息文件已损坏：" + why);
    return false;
  }
  // The views let go of the nodes they show before the record's tree is replaced.
  clearViews();
  opened_.reset();
  counters_ = {};
  partition->reader = std::move(trial.reader);
  partition->sectorsPerCluster = trial.sectorsPerCluster;
  partition->clusterZeroSector = trial.clusterZeroSector;
  partition->fatSizeSectors = trial.fatSizeSectors;
  auto result = std::make_shared<ops::OpenedPartition>(ops::ResultOnRecord(*partition));
  opened_ = result;
  treeMode_ = loaded.mode;
  kind_ = result->family;
  if (disk::IsFat(kind_)) scanOption_ = loaded.mode == ops::ScanMode::kSearch ? 0 : 1;
  // Shown as the scan that made it showed it.
  const bool withExtras = loaded.mode != ops::ScanMode::kDeep;
  const QModelIndex top = folders_->addTop(partitionName_);
  const size_t tops = withExtras ? std::min<size_t>(result->tops.size(), 2) : result->tops.size();
  for (size_t i = 0; i < tops; ++i) attachCounted(top, result->tops[i]);
  emit scanPublished(QList<quint64>(result->carvedDuplicates.begin(), result->carvedDuplicates.end()));
  if (withExtras) {
    addExtraFiles(top, *disk, *partition);
    showFirstFolder(top);
  }
  const QString problems = ReadProblemsText(*result);
  if (!problems.isEmpty()) CurrentPrompter().message(this, "warning", problems);
  return true;
}

void PartitionWindow::popupMenu(const QPoint& pos) {
  const QModelIndex index = tree_->indexAt(pos);
  if (!index.isValid()) return;
  QMenu menu(this);
  if (folders_->isTop(index)) {
    connect(menu.addAction("文件筛选     Ctrl+L"), &QAction::triggered, this, &PartitionWindow::filterRequested);
    menu.addSeparator();
    connect(menu.addAction("扫描格式化文件"), &QAction::triggered, this, &PartitionWindow::scanFormatted);
    connect(menu.addAction("扫描删除文件"), &QAction::triggered, this, &PartitionWindow::scanDeleted);
    menu.addSeparator();
    connect(menu.addAction("读取映射文件..."), &QAction::triggered, this, &PartitionWindow::chooseMapFile);
  } else {
    connect(menu.addAction("保存当前选中文件     Ctrl+Alt+R"), &QAction::triggered, this,
            [this] { emit saveSelectedRequested(false); });
    connect(menu.addAction("保存打勾文件         Ctrl+S"), &QAction::triggered, this,
            [this] { emit saveTickedRequested(false); });
    connect(menu.addAction("文件大小统计         Ctrl+Alt+A"), &QAction::triggered, this,
            &PartitionWindow::statisticsRequested);
  }
  menu.exec(tree_->viewport()->mapToGlobal(pos));
}

void PartitionWindow::listPopupMenu(const QPoint& pos) {
  const QModelIndex index = fileList_->indexAt(pos);
  if (!index.isValid()) return;
  fileList_->setCurrentIndex(index);
  QMenu menu(this);
  connect(menu.addAction("保存当前选中文件     Ctrl+Alt+R"), &QAction::triggered, this,
          [this] { emit saveSelectedRequested(true); });
  connect(menu.addAction("保存打勾文件         Ctrl+S"), &QAction::triggered, this,
          [this] { emit saveTickedRequested(true); });
  connect(menu.addAction("文件大小统计         Ctrl+Alt+A"), &QAction::triggered, this,
          &PartitionWindow::listStatistics);
  menu.exec(fileList_->viewport()->mapToGlobal(pos));
}

void PartitionWindow::openRow(const QModelIndex& index) {
  const fs::NodeRef node = files_->nodeAt(index.row());
  if (!node) return;
  if (!node.isFolderLike()) {
    emit fileActivated(node);
    return;
  }
  const QModelIndex current = tree_->currentIndex();
  const QModelIndex child = folders_->childFor(current, node);
  if (!child.isValid()) return;
  tree_->expand(current);
  tree_->setCurrentIndex(child);  // lists it
  tree_->scrollTo(child);
}

// Showing one node found elsewhere.

bool PartitionWindow::revealNode(const std::vector<fs::NodeRef>& folderPath, const fs::NodeRef& file) {
  if (folderPath.empty() || !file) return false;
  QModelIndex item;
  for (int top = 0; !item.isValid() && folders_->topIndex(top).isValid(); ++top)
    item = folders_->childFor(folders_->topIndex(top), folderPath.front());
  for (size_t i = 1; item.isValid() && i < folderPath.size(); ++i) {
    tree_->expand(item);
    item = folders_->childFor(item, folderPath[i]);
  }
  if (!item.isValid()) return false;
  if (tree_->currentIndex() == item) {
    showFolder(item);  // listed afresh: the row may lie past the rows made
  } else {
    tree_->setCurrentIndex(item);  // lists it
  }
  tree_->scrollTo(item);
  // Rows are made in batches: make them until the file's.
  for (int row = 0;; ++row) {
    while (row >= files_->rowCount()) {
      const int made = files_->rowCount();
      if (files_->canFetchMore({})) files_->fetchMore({});
      if (files_->rowCount() == made) return false;
    }
    if (files_->nodeAt(row) == file) {
      const QModelIndex index = files_->index(row, 0);
      fileList_->setCurrentIndex(index);
      fileList_->scrollTo(index);
      return true;
    }
  }
}

}  // namespace orvaldi::app

// The file filter: the tree holds only the folders on the way to a file the
// filter lets through; the list still shows all of a chosen folder, except
// that the carved files are narrowed by the pattern (FileListModel), and the
// statistics count only what the filter lets through.
namespace orvaldi::app {

void PartitionWindow::filterFromTopItem() {
  if (fileScan_->raised()) {
    CurrentPrompter().message(this, "waiting", "等待此操作完成！");
    return;
  }
  filterFiles();
}

void PartitionWindow::filterFiles() {
  if (busy()) {
    CurrentPrompter().message(this, "error", "等待当前操作完成，请稍后！");
    return;
  }
  const std::optional<FilterChoice> choice = AskFilter(this);
  if (!choice) return;
  // Something may have started while the dialog was up.
  if (busy()) {
    CurrentPrompter().message(this, "error", "等待当前操作完成！");
    return;
  }
  applyFilter({QString::fromStdString(ops::StoredFilterPattern(choice->pattern.toStdString())), choice->includeExisting,
               choice->includeDeleted});
}

bool PartitionWindow::applyFilter(const FilterState& state) {
  disk::DiskInfo* disk = nullptr;
  disk::PartitionInfo* partition = nullptr;
  if (!findRecords(disk, partition)) return false;
  filter_ = state;
  // The root and orphan folders of the last scan, and the folder of NTFS
  // files the record search recognised by their content when it found any.
  std::vector<fs::NodeRef> tops;
  const disk::FsFamily family = disk::FamilyOf(partition->typeByte);
  if (opened_ && (disk::IsFat(family) || family == disk::FsFamily::kNtfs || family == disk::FsFamily::kExfat)) {
    const size_t walked =
        family == disk::FsFamily::kFat16 || family == disk::FsFamily::kFat32 ? 2 : opened_->tops.size();
    for (size_t i = 0; i < opened_->tops.size() && i < walked; ++i) tops.push_back(opened_->tops[i]);
  }
  auto shown = std::make_shared<const ops::FilteredFolders>(
      ops::FilterFolders(tops, {filter_.pattern.toStdString(), filter_.includeExisting, filter_.includeDeleted}));

  clearViews();
  const QModelIndex top = folders_->addTop(partitionName_);
  folders_->setFolderFilter([shown](const fs::NodeRef& folder) { return shown->shows(folder); });
  for (const fs::NodeRef& folder : tops)
    if (shown->shows(folder)) folders_->attach(top, folder);
  addExtraFiles(top, *disk, *partition);
  // The summary speaks of what the tree now holds.
  counters_ = {shown->totalSize, static_cast<uint32_t>(shown->folderCount()), shown->files};
  for (int row = 0; folders_->topIndex(row).isValid(); ++row) tree_->expand(folders_->topIndex(row));
  return true;
}

}  // namespace orvaldi::app
