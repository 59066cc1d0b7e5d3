#include "app/partition_window.h"

#include <vector>

#include <QAbstractTableModel>
#include <QHeaderView>
#include <QMenu>
#include <QSplitter>
#include <QTreeView>
#include <QVBoxLayout>

#include "app/folder_tree_model.h"
#include "app/prompter.h"
#include "ops/format.h"

namespace orvaldi::app {
namespace {

// The right pane: the files of one folder, referring to the scan tree's
// nodes. It is cleared before any scan replaces them.
class FileListModel final : public QAbstractTableModel {
 public:
  using QAbstractTableModel::QAbstractTableModel;

  void show(const fs::NodeRef& folder) {
    beginResetModel();
    folder_ = folder;
    files_.clear();
    if (folder)
      folder.forEachChild([&](const fs::NodeRef& child) {
        if (child.isFileLike()) files_.push_back(child);
      });
    endResetModel();
  }
  void clear() { show(fs::NodeRef()); }
  fs::NodeRef folder() const { return folder_; }
  fs::NodeRef nodeAt(int row) const {
    return row >= 0 && static_cast<size_t>(row) < files_.size() ? files_[static_cast<size_t>(row)] : fs::NodeRef();
  }

  int rowCount(const QModelIndex& parent) const override {
    return parent.isValid() ? 0 : static_cast<int>(files_.size());
  }
  int columnCount(const QModelIndex& parent) const override { return parent.isValid() ? 0 : 4; }
  QVariant data(const QModelIndex& index, int role) const override {
    if (!index.isValid() || static_cast<size_t>(index.row()) >= files_.size()) return {};
    const fs::NodeRef& file = files_[static_cast<size_t>(index.row())];
    if (role == Qt::ForegroundRole && file.isDeleted()) return QColor(255, 0, 0);
    if (role != Qt::DisplayRole) return {};
    switch (index.column()) {
      case 0:
        return QString::fromStdString(file.name());
      case 1:
        return QString::fromStdString(ops::SizeText(file.size()));
      case 2:
        return QString(fs::StateWord(file.flags()));
      case 3:
        return QString::fromStdString(file.modified());
      default:
        return {};
    }
  }
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    static const char* const kHeaders[] = {"名称", "大小", "状态", "修改时间"};
    return section >= 0 && section < 4 ? QString(kHeaders[section]) : QVariant();
  }

 private:
  fs::NodeRef folder_;
  std::vector<fs::NodeRef> files_;
};

FileListModel& Files(QAbstractItemModel* model) { return *static_cast<FileListModel*>(model); }

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
  fileList_ = new QTreeView(splitter);
  fileList_->setModel(files_);
  fileList_->setRootIsDecorated(false);
  fileList_->setUniformRowHeights(true);
  fileList_->header()->resizeSection(0, 260);
  splitter->setStretchFactor(1, 1);
  splitter->setSizes({260, 540});
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(splitter);

  connect(tree_->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this](const QModelIndex& current) { showFolder(current); });
  connect(tree_, &QWidget::customContextMenuRequested, this, &PartitionWindow::popupMenu);
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
  Files(files_).clear();
  folders_->clear();
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

void PartitionWindow::showFolder(const QModelIndex& index) { Files(files_).show(folders_->nodeOf(index)); }

fs::NodeRef PartitionWindow::selectedFolder() const { return folders_->nodeOf(tree_->currentIndex()); }

fs::NodeRef PartitionWindow::selectedFile() const {
  const QModelIndex current = fileList_->currentIndex();
  return current.isValid() ? Files(files_).nodeAt(current.row()) : fs::NodeRef();
}

fs::NodeRef PartitionWindow::listedFolder() const { return Files(files_).folder(); }

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
  std::vector<fs::NodeRef> stack(nodes.begin(), nodes.end());
  while (!stack.empty()) {
    const fs::NodeRef n = stack.back();
    stack.pop_back();
    n.setTick(0);
    n.forEachChild([&](const fs::NodeRef& child) { stack.push_back(child); });
  }
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
    request.publish = [self = QPointer<PartitionWindow>(this), result, topItem, withExtras, disk, partition] {
      if (!self) return;
      self->opened_ = result;
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

void PartitionWindow::popupMenu(const QPoint& pos) {
  const QModelIndex index = tree_->indexAt(pos);
  if (!index.isValid()) return;
  QMenu menu(this);
  if (folders_->isTop(index)) {
    connect(menu.addAction("文件筛选     Ctrl+L"), &QAction::triggered, this, &PartitionWindow::filterRequested);
    menu.addSeparator();
    connect(menu.addAction("扫描格式化文件"), &QAction::triggered, this, &PartitionWindow::scanFormatted);
    connect(menu.addAction("扫描删除文件"), &QAction::triggered, this, &PartitionWindow::scanDeleted);
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

}  // namespace orvaldi::app
