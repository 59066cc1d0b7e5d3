// A partition window: the folder tree a scan of one partition found, and
// the files of the folder chosen in it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include <QPointer>
#include <QString>
#include <QWidget>

#include "app/operation.h"
#include "disk/disk_info.h"
#include "disk/fs_family.h"
#include "ops/map_areas.h"
#include "ops/open_partition.h"

class QTreeView;
class QAbstractItemModel;

namespace orvaldi::fs {
class ExtentFinder;
}

namespace orvaldi::app {

class FileListModel;
class FolderTreeModel;

// The window's file filter: which files the tree, the carved-file list and
// the statistics show, and what the "Recover" dialog proposes.
struct FilterState {
  QString pattern;  // lower-cased; empty: no filter
  bool includeExisting = true;
  bool includeDeleted = true;
};

// What the attach walk counted over the nodes it attached: every node,
// deleted or not, below the attached folders.
struct AttachCounters {
  uint64_t totalSize = 0;  // of the file-like nodes
  uint32_t folders = 0;
  uint32_t files = 0;
};

class PartitionWindow final : public QWidget {
  Q_OBJECT

 public:
  // Remembers the device tree's texts of the disk and the partition; every
  // command finds the records again by these texts. The opener connects the
  // window, then starts "展开分区文件" with reopenDisk().
  PartitionWindow(disk::DiskInfoList& disks, const QString& diskName, const QString& partitionName,
                  OperationStarter starter, QWidget* parent = nullptr);
  ~PartitionWindow() override;

  const QString& diskName() const { return diskName_; }
  const QString& partitionName() const { return partitionName_; }
  QString title() const { return diskName_ + partitionName_; }
  // An operation of this window is running or publishing.
  bool busy() const { return count_->busy(); }
  // The same, shared: it outlives the window, whose operation may still run
  // after the window was closed.
  std::shared_ptr<const ops::OperationCount> operationCount() const { return count_; }
  // Raised while a scan of this window reads the disk's records (the
  // carved files among them) on its worker.
  std::shared_ptr<const ops::BusyFlag> readingFlag() const { return fileScan_; }
  // Both, for the save another window runs on this window's records: it
  // counts as the window's own work and as reading the records.
  std::shared_ptr<ops::OperationCount> countForWork() const { return count_; }
  std::shared_ptr<ops::BusyFlag> readingFlagForWork() const { return fileScan_; }
  // Asked before every command: while it answers true (a search of the
  // disk is running and will change its records), the window starts nothing.
  void setDiskSearched(std::function<bool()> searched) { diskSearched_ = std::move(searched); }
  const AttachCounters& counters() const { return counters_; }
  const FilterState& filter() const { return filter_; }

  // The disk and partition records, found again by the remembered texts;
  // false when they no longer answer to them.
  bool findRecords(disk::DiskInfo*& disk, disk::PartitionInfo*& partition) const;
  // The node of the left tree's current item (none for a top item or no
  // selection), and the node of the file list's current row.
  fs::NodeRef selectedFolder() const;
  fs::NodeRef selectedFile() const;
  // The folder the file list shows (none when it shows nothing).
  fs::NodeRef listedFolder() const;
  // The nodes attached below the left tree's top items (root, orphans and
  // the other result folders, the carved-files folder): where a walk of
  // every tick starts.
  std::vector<fs::NodeRef> attachedNodes() const;
  // Clears the ticks of `nodes` and of everything below them; the items
  // above them in the left tree follow, and the list shows the change.
  void clearTicks(const std::vector<fs::NodeRef>& nodes);
  // 1: the FAT walk that follows the FAT; 0 once a formatted-volume scan ran.
  int scanOption() const { return scanOption_; }
  // A scan's tree (or a loaded one) is shown: there is a tree to save.
  bool hasTree() const { return opened_ != nullptr; }

  QTreeView* tree() const { return tree_; }
  FolderTreeModel* folders() const { return folders_; }
  QTreeView* fileList() const { return fileList_; }
  FileListModel* files() const { return files_; }
  // The files of the folder shown on the right, by name.
  QStringList shownFiles() const;

  // The disk's carved files changed (a search merged its findings, or
  // duplicates were dropped, which frees their nodes): points the extra-files
  // item at the folder again and shows it afresh when it is the current one.
  // Disk records themselves never move (the disk list keeps them in place).
  void relink();

 public slots:
  // "读取映射文件...": asks for a rescue map of this disk or partition and
  // marks the listed files that lie in its unread areas.
  void chooseMapFile();
  // The same for the map at `path`; false (and `error` says why) when it
  // cannot be read or placed.
  bool loadMapFile(const QString& path, QString* error = nullptr);

  // "重新打开磁盘": discards what the window shows and opens the partition again.
  void reopenDisk();
  // "扫描格式化文件": the FAT reader's cluster search, or the NTFS record search by sector.
  void scanFormatted();
  // "扫描删除文件": shows the FAT orphan and third top folders of the last scan again.
  void scanDeleted();
  // Shows the files of the folder at `index` on the right.
  void showFolder(const QModelIndex& index);
  // "全部选择" / "取消全部选择": ticks or clears the left tree's top items
  // and everything below them.
  void selectAll();
  void selectNone();
  // "文件大小统计" of the left tree's current item (its first child for a
  // top item), counted on a worker; the text comes with statisticsReady.
  void startStatistics();
  // The list popup's "文件大小统计": the current row, counted at once.
  void listStatistics();
  // "文件筛选" from the menu or Ctrl+L, and from the top item's popup (which
  // also waits for a scan reading the records): asks for the filter and
  // rebuilds the left tree with the folders that hold a file it lets through.
  void filterFiles();
  void filterFromTopItem();
  // "保存分区信息" / "读取分区信息": the shown tree to a file chosen in a
  // save dialog, or a tree saved from this partition into the window in
  // place of what it shows (a file of another partition is refused).
  void saveTree();
  void loadTree();
  // The same without the dialogs; false when refused or failed (the
  // operator was told why).
  bool saveTreeTo(const QString& path);
  bool loadTreeFrom(const QString& path);

 signals:
  // Commands of the tree's menus (fromList false) and the file list's
  // (fromList true) that other windows carry out.
  void saveSelectedRequested(bool fromList);
  void saveTickedRequested(bool fromList);
  // The threaded statistics of the left tree's current item.
  void statisticsRequested();
  // A file row was double-clicked: its hex viewer opens.
  void fileActivated(const fs::NodeRef& file);
  // Status-bar pane 1 (the listed folder's summary) and pane 2 with the
  // "文件统计" box (the statistics text).
  void folderSummaryChanged(const QString& text);
  void statisticsReady(const QString& text);
  void filterRequested();
  // A scan of the partition was published. `carvedDuplicates` are the start
  // sectors of the disk's carved files the scan found as files of the volume;
  // they leave the carved folder once no other scan reads it.
  void scanPublished(const QList<quint64>& carvedDuplicates);

 private:
  enum class Scan : uint8_t { kOpen, kLostFat, kLostNtfs, kDeleted };

  // Refuses (and tells the operator) while a search of the disk runs.
  bool refusedForSearch();
  void start(Scan scan);
  // Attaches `node` below `parent` and adds what it holds to the counters.
  void attachCounted(const QModelIndex& parent, const fs::NodeRef& node);
  void addExtraFiles(const QModelIndex& top, disk::DiskInfo& disk, const disk::PartitionInfo& partition);
  void showFirstFolder(const QModelIndex& top);
  void clearViews();
  void popupMenu(const QPoint& pos);
  void listPopupMenu(const QPoint& pos);
  // A double click on a row: a folder is opened in the left tree, a file
  // is handed on to the hex viewer.
  void openRow(const QModelIndex& index);
  void setAllTicks(uint8_t tick);
  // Stores `state` and rebuilds the left tree by it; false (nothing
  // changed) when the partition no longer answers to the window's texts.
  bool applyFilter(const FilterState& state);

  disk::DiskInfoList& disks_;
  const QString diskName_;
  const QString partitionName_;
  OperationStarter starter_;
  disk::FsFamily kind_ = disk::FsFamily::kOther;
  int scanOption_ = 1;
  ops::ScanMode treeMode_ = ops::ScanMode::kWalk;  // of the scan whose tree is shown
  AttachCounters counters_;
  FilterState filter_;
  // Shared with the operation runner (see OperationRequest).
  std::shared_ptr<ops::OperationCount> count_ = std::make_shared<ops::OperationCount>();
  std::shared_ptr<ops::BusyFlag> fileScan_ = std::make_shared<ops::BusyFlag>();
  std::shared_ptr<ops::BusyFlag> deletedScan_ = std::make_shared<ops::BusyFlag>();
  std::function<bool()> diskSearched_;
  // The last scan's result: its tops point into the partition record.
  std::shared_ptr<ops::OpenedPartition> opened_;

  QTreeView* tree_ = nullptr;
  FolderTreeModel* folders_ = nullptr;
  QTreeView* fileList_ = nullptr;
  FileListModel* files_ = nullptr;
  // The statistics run without a progress window of their own.
  ProgressView* statisticsView_ = nullptr;
  // A loaded rescue map: its areas, the source its files' places are read
  // from, and what finds those places (made again for each new tree).
  ops::MapAreas map_;
  std::unique_ptr<platform::SectorSource> mapSource_;
  std::unique_ptr<fs::ExtentFinder> mapFinder_;
  void renewMapFinder();

 public:
  // Showing one node found elsewhere (the find-file results).
  // Selects the last folder of `folderPath` (a chain from a node attached
  // below a top item down to the file's parent) in the left tree, which
  // lists it, and `file` in the file list. False, leaving the selection
  // where the walk stopped, when the tree or the list does not show them.
  bool revealNode(const std::vector<fs::NodeRef>& folderPath, const fs::NodeRef& file);
};

}  // namespace orvaldi::app
