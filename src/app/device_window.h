// The device window: the tree of disks and partitions on the left, the
// properties of the item clicked on the right, and the commands that act on
// a whole disk or one partition of it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>

#include "app/operation.h"
#include "disk/disk_info.h"
#include "disk/lost_partition_search.h"

class QTreeView;

namespace orvaldi::app {

class DeviceTreeModel;
class PartitionWindow;
class PropertyList;
class SearchListWindow;

class DeviceWindow final : public QWidget {
  Q_OBJECT

 public:
  DeviceWindow(disk::DiskInfoList& disks, OperationStarter starter, QWidget* parent = nullptr);
  ~DeviceWindow() override;

  QTreeView* tree() const { return tree_; }
  DeviceTreeModel* model() const { return model_; }
  PropertyList* properties() const { return properties_; }
  // The disk list the tree shows (the imaging dialog lists it too).
  disk::DiskInfoList& disks() const { return disks_; }
  // The starter the tree and its partition windows run their operations with.
  const OperationStarter& starter() const { return starter_; }
  SearchListWindow* searchWindow() const { return searchWindow_; }
  // The partition windows opened from this tree and still open.
  std::vector<PartitionWindow*> partitionWindows() const;
  // An operation of this tree is running or publishing.
  bool busy() const { return count_->busy(); }
  // A search of the disk listed as `diskText` runs (a full-disk scan, a
  // partition's raw scan or the lost-partition search): it works on a copy
  // of the disk's records and merges what it found when it ends.
  bool searching(const QString& diskText) const { return searching_.contains(diskText); }

 public slots:
  // Appends the image at `path` to the disk list and lists the disks again.
  bool openImage(const QString& path);
  void openImageDialog();
  // Full-disk scan of the selected disk.
  void fullDiskScan();
  // Where the full-disk scan keeps its checkpoints, one file per disk
  // (beside the settings unless set).
  void setCheckpointFolder(const QString& folder) { checkpointFolder_ = folder; }
  QString checkpointPathFor(const disk::DiskInfo& disk) const;
  // Lost-partition search of the selected disk: the options first.
  void searchLostPartitions();
  void searchLostPartitionsWith(disk::SearchMode mode, uint8_t heads);
  // Raw scan of the selected partition for files.
  void partitionScan();
  void saveScanResult();
  void saveScanResultTo(const QString& path);
  void loadScanResult();
  void loadScanResultFrom(const QString& path);
  // A region of the selected disk, from `startSector` to `endSector`.
  void createRegion(quint64 startSector, quint64 endSector);
  // Asks for the region's start and end ("创建区域"), then creates it on
  // the disk of the selected item.
  void createRegionDialog();
  // Removes the selected image from the disk list.
  void closeImage();
  // Opens a partition window for the selected partition item (double click).
  void openSelectedPartition();
  // Lists the disks again from the disk list.
  void refresh();

 signals:
  // A partition window was made; the main frame shows it as a document.
  void documentCreated(QWidget* window, const QString& title);
  // Commands of the tree's menus that other windows carry out.
  void imagingRequested();
  void partitionTableRequested();
  void partitionImagingRequested();
  void freeSpaceRequested();

 private:
  void showProperties(const QModelIndex& index);
  // The columns widen to their texts, at least to their starting widths;
  // later: after the tree expanded the rows that came.
  void fitColumns();
  void fitColumnsLater();
  void popupMenu(const QPoint& pos);
  // The selected disk item (the disk of a selected partition is not taken),
  // after the refusals of the disk commands; null when refused.
  disk::DiskInfo* selectedDiskForCommand();
  // Partition windows on `disk` are closed so that its records may change;
  // false (the operator was told) when one of them, or this tree, is busy.
  bool releaseDisk(const disk::DiskInfo& disk);
  bool run(OperationRequest request);
  // Starts a search of `disk` on a copy of its records. `work` searches the
  // copy; `publish` runs after the copy's findings were merged into the disk.
  // Refused while the disk is searched already or a partition window of it
  // runs a scan (which reads the records the merge changes).
  bool runSearch(disk::DiskInfo& disk, OperationRequest request,
                 std::function<void(disk::DiskInfo& copy, platform::ProgressBlock&)> work);
  // A partition window (open, or closed while its scan still runs) of the
  // disk listed as `diskText` runs an operation; `except` is not asked.
  bool partitionWindowBusy(const QString& diskText, const PartitionWindow* except = nullptr) const;
  // Drops the carved files the partition scans of the disk found as files
  // of their volumes, once no scan reads the carved folder any more, and
  // points the disk's windows at what is left.
  void dropCarvedDuplicates(const QString& diskText, const PartitionWindow* publishing = nullptr);
  // The disk record listed as `diskText`; null when it is gone.
  disk::DiskInfo* diskNamed(const QString& diskText);
  // Points the open partition windows of the disk at its carved files again.
  void relinkWindows(const QString& diskText);

  struct Opened {
    QPointer<PartitionWindow> window;
    QString disk;
    std::shared_ptr<const ops::OperationCount> count;
    std::shared_ptr<const ops::BusyFlag> reading;
    QString title;  // the window's, kept once it is closed
  };

  disk::DiskInfoList& disks_;
  OperationStarter starter_;
  std::shared_ptr<ops::OperationCount> count_ = std::make_shared<ops::OperationCount>();
  // UI thread only.
  QStringList searching_;
  std::map<QString, std::vector<uint64_t>> carvedToDrop_;
  DeviceTreeModel* model_ = nullptr;
  QTreeView* tree_ = nullptr;
  PropertyList* properties_ = nullptr;
  SearchListWindow* searchWindow_ = nullptr;
  QString checkpointFolder_;
  std::vector<Opened> windows_;
  bool fitPending_ = false;
};

}  // namespace orvaldi::app
