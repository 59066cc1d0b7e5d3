// The device tree: every disk of the disk list with its partitions, in five
// columns, coloured by where each partition record came from.
#pragma once

#include <vector>

#include <QAbstractItemModel>
#include <QString>

#include "disk/disk_info.h"

namespace orvaldi::app {

class DeviceTreeModel final : public QAbstractItemModel {
  Q_OBJECT

 public:
  enum Column { kNameColumn, kLabelColumn, kFsTypeColumn, kStartColumn, kSizeColumn, kColumnCount };

  explicit DeviceTreeModel(disk::DiskInfoList& disks, QObject* parent = nullptr);

  // Drops every item and lists the disks and their partitions again (at
  // start, after an image was opened or closed, after a result was loaded).
  void populate();
  // After a full-disk scan or a lost-partition search of the disk shown as
  // `diskText`: its partition items are listed again. False when no disk
  // item shows that text.
  bool relistDisk(const QString& diskText);
  // After a partition scan: partitions of the disk whose mount point and
  // name both differ from every item shown under it are appended; the items
  // already there stay. False when no disk item shows that text.
  bool appendNewPartitions(const QString& diskText);

  // The records behind an item; null when the item is not of that kind.
  disk::DiskInfo* diskOf(const QModelIndex& index) const;  // also a partition's disk
  disk::PartitionInfo* partitionOf(const QModelIndex& index) const;
  bool isDiskItem(const QModelIndex& index) const;
  QString itemText(const QModelIndex& index) const;
  QModelIndex diskIndex(const QString& diskText) const;

  QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

  // Column widths the window starts with.
  static int defaultWidth(int column);

 private:
  // Items point at the records: partitions never move in their deque, and a
  // disk removed from the list is followed by populate().
  struct PartitionRow {
    disk::PartitionInfo* partition = nullptr;
    QString text;
  };
  struct DiskRow {
    disk::DiskInfo* disk = nullptr;
    QString text;
    std::vector<PartitionRow> partitions;
  };

  int diskRowOf(const QString& diskText) const;

  disk::DiskInfoList& disks_;
  std::vector<DiskRow> rows_;
};

}  // namespace orvaldi::app
