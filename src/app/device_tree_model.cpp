#include "app/device_tree_model.h"

#include <algorithm>

#include <QColor>

#include "app/tree_icons.h"
#include "disk/sector_io.h"
#include "ops/format.h"

namespace orvaldi::app {
namespace {

// The internal id of an item: 0 for a disk row, its disk's row + 1 for a
// partition row.
constexpr quintptr kDiskId = 0;

QString FromUtf8(const std::string& text) { return QString::fromStdString(text); }

QString SizeText(uint64_t bytes) { return FromUtf8(ops::SizeText(bytes)); }

uint64_t SectorBytes(uint64_t sectors) {
  return sectors > UINT64_MAX / disk::SectorSize ? UINT64_MAX : sectors * disk::SectorSize;
}

}  // namespace

DeviceTreeModel::DeviceTreeModel(disk::DiskInfoList& disks, QObject* parent)
    : QAbstractItemModel(parent), disks_(disks) {
  populate();
}

void DeviceTreeModel::populate() {
  beginResetModel();
  rows_.clear();
  for (disk::DiskInfo& d : disks_) {
    DiskRow row{&d, FromUtf8(disk::DisplayName(d)), {}};
    const std::vector<std::string> names = ops::PartitionDisplayNames(d);
    for (size_t i = 0; i < d.partitions.size(); ++i) row.partitions.push_back({&d.partitions[i], FromUtf8(names[i])});
    rows_.push_back(std::move(row));
  }
  endResetModel();
}

int DeviceTreeModel::diskRowOf(const QString& diskText) const {
  for (size_t i = 0; i < rows_.size(); ++i)
    if (rows_[i].text == diskText) return static_cast<int>(i);
  return -1;
}

bool DeviceTreeModel::relistDisk(const QString& diskText) {
  const int row = diskRowOf(diskText);
  if (row < 0) return false;
  DiskRow& diskRow = rows_[static_cast<size_t>(row)];
  const QModelIndex parentIndex = index(row, 0);
  if (!diskRow.partitions.empty()) {
    beginRemoveRows(parentIndex, 0, static_cast<int>(diskRow.partitions.size()) - 1);
    diskRow.partitions.clear();
    endRemoveRows();
  }
  // A partition with neither a mount point nor a name has nothing to show.
  std::vector<PartitionRow> fresh;
  const std::vector<std::string> names = ops::PartitionDisplayNames(*diskRow.disk);
  for (size_t i = 0; i < diskRow.disk->partitions.size(); ++i) {
    if (names[i].empty()) continue;
    fresh.push_back({&diskRow.disk->partitions[i], FromUtf8(names[i])});
  }
  if (!fresh.empty()) {
    beginInsertRows(parentIndex, 0, static_cast<int>(fresh.size()) - 1);
    diskRow.partitions = std::move(fresh);
    endInsertRows();
  }
  return true;
}

bool DeviceTreeModel::appendNewPartitions(const QString& diskText) {
  const int row = diskRowOf(diskText);
  if (row < 0) return false;
  DiskRow& diskRow = rows_[static_cast<size_t>(row)];
  std::vector<QString> shown;
  for (const PartitionRow& p : diskRow.partitions) shown.push_back(p.text);
  const auto isShown = [&](const std::string& text) {
    return std::find(shown.begin(), shown.end(), FromUtf8(text)) != shown.end();
  };
  std::vector<PartitionRow> fresh;
  for (disk::PartitionInfo& p : diskRow.disk->partitions) {
    if (isShown(p.driveLetter) || isShown(p.name)) continue;
    fresh.push_back({&p, FromUtf8(p.driveLetter.empty() ? p.name : p.driveLetter)});
  }
  if (!fresh.empty()) {
    const int first = static_cast<int>(diskRow.partitions.size());
    beginInsertRows(index(row, 0), first, first + static_cast<int>(fresh.size()) - 1);
    for (PartitionRow& p : fresh) diskRow.partitions.push_back(std::move(p));
    endInsertRows();
  }
  return true;
}

disk::DiskInfo* DeviceTreeModel::diskOf(const QModelIndex& index) const {
  if (!index.isValid() || index.model() != this) return nullptr;
  const size_t diskRow = index.internalId() == kDiskId ? static_cast<size_t>(index.row()) : index.internalId() - 1;
  return diskRow < rows_.size() ? rows_[diskRow].disk : nullptr;
}

disk::PartitionInfo* DeviceTreeModel::partitionOf(const QModelIndex& index) const {
  if (!index.isValid() || index.model() != this || index.internalId() == kDiskId) return nullptr;
  const size_t diskRow = index.internalId() - 1;
  if (diskRow >= rows_.size()) return nullptr;
  const auto& parts = rows_[diskRow].partitions;
  return static_cast<size_t>(index.row()) < parts.size() ? parts[static_cast<size_t>(index.row())].partition : nullptr;
}

bool DeviceTreeModel::isDiskItem(const QModelIndex& index) const {
  return index.isValid() && index.model() == this && index.internalId() == kDiskId;
}

QString DeviceTreeModel::itemText(const QModelIndex& index) const {
  if (!index.isValid() || index.model() != this) return {};
  if (index.internalId() == kDiskId) return rows_[static_cast<size_t>(index.row())].text;
  return rows_[index.internalId() - 1].partitions[static_cast<size_t>(index.row())].text;
}

QModelIndex DeviceTreeModel::diskIndex(const QString& diskText) const {
  const int row = diskRowOf(diskText);
  return row < 0 ? QModelIndex() : index(row, 0);
}

QModelIndex DeviceTreeModel::index(int row, int column, const QModelIndex& parent) const {
  if (row < 0 || column < 0 || column >= kColumnCount) return {};
  if (!parent.isValid()) {
    return static_cast<size_t>(row) < rows_.size() ? createIndex(row, column, kDiskId) : QModelIndex();
  }
  if (parent.internalId() != kDiskId) return {};
  const size_t diskRow = static_cast<size_t>(parent.row());
  if (diskRow >= rows_.size() || static_cast<size_t>(row) >= rows_[diskRow].partitions.size()) return {};
  return createIndex(row, column, static_cast<quintptr>(diskRow + 1));
}

QModelIndex DeviceTreeModel::parent(const QModelIndex& child) const {
  if (!child.isValid() || child.internalId() == kDiskId) return {};
  return createIndex(static_cast<int>(child.internalId() - 1), 0, kDiskId);
}

int DeviceTreeModel::rowCount(const QModelIndex& parent) const {
  if (!parent.isValid()) return static_cast<int>(rows_.size());
  if (parent.column() != 0 || parent.internalId() != kDiskId) return 0;
  return static_cast<int>(rows_[static_cast<size_t>(parent.row())].partitions.size());
}

int DeviceTreeModel::columnCount(const QModelIndex&) const { return kColumnCount; }

QVariant DeviceTreeModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  const disk::DiskInfo* d = diskOf(index);
  if (!d) return {};
  const disk::PartitionInfo* p = partitionOf(index);
  if (role == Qt::DecorationRole && index.column() == kNameColumn) return TreeIcons::device();
  if (role == Qt::ForegroundRole && p) {
    switch (p->origin) {
      case disk::PartitionOrigin::kTable:
        return QColor(0, 0, 0);
      case disk::PartitionOrigin::kRebuilt:
        return QColor(255, 0, 0);
      case disk::PartitionOrigin::kFound:
        return QColor(0, 128, 0);
    }
    return {};
  }
  if (role != Qt::DisplayRole) return {};
  switch (index.column()) {
    case kNameColumn:
      return itemText(index);
    case kLabelColumn:
      return p ? FromUtf8(p->volumeLabel) : QString();
    case kFsTypeColumn:
      return p ? FromUtf8(ops::FsTypeName(*p)) : QString();
    case kStartColumn:
      return p ? SizeText(SectorBytes(p->startSector)) : QString("0");
    case kSizeColumn:
      return p ? SizeText(SectorBytes(p->sectorCount))
               : SizeText(static_cast<uint64_t>(std::max<int64_t>(d->sizeBytes, 0)));
    default:
      return {};
  }
}

QVariant DeviceTreeModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  static const char* const kHeaders[kColumnCount] = {"磁盘", "标签", "文件类型", "起始地址", "大小"};
  return section >= 0 && section < kColumnCount ? QString(kHeaders[section]) : QVariant();
}

int DeviceTreeModel::defaultWidth(int column) {
  static const int kWidths[kColumnCount] = {200, 50, 100, 100, 50};
  return column >= 0 && column < kColumnCount ? kWidths[column] : 0;
}

}  // namespace orvaldi::app
