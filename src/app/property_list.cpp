#include "app/property_list.h"

#include <QHeaderView>

#include "disk/sector_io.h"
#include "ops/format.h"

namespace orvaldi::app {
namespace {

// "<size text> (<sectors> sec)". Sector counts are written whole: a 32-bit
// field would turn a 2 TiB disk's count negative.
QString SizeWithSectors(uint64_t sectors) {
  const uint64_t bytes = sectors > UINT64_MAX / disk::SectorSize ? UINT64_MAX : sectors * disk::SectorSize;
  return QString::fromStdString(ops::SizeText(bytes)) + " (" + QString::number(sectors) + " sec)";
}

}  // namespace

std::vector<PropertyRow> PropertyRows(const disk::DiskInfo& disk, const disk::PartitionInfo* partition) {
  const bool drive = !disk.index.empty();
  const QString devicePath = QString::fromStdString(disk.devicePath);
  std::vector<PropertyRow> rows;
  if (!partition) {
    const QString size =
        SizeWithSectors(static_cast<uint64_t>(std::max<int64_t>(disk.sizeBytes, 0)) / disk::SectorSize);
    rows.push_back({"驱动类型", drive ? "物理驱动-硬盘" : "系统文件"});
    rows.push_back({"名称", drive ? QString::fromStdString(disk::DisplayName(disk)) : devicePath});
    rows.push_back({"系统对象", devicePath});
    rows.push_back({"大小", size});
    if (drive) {
      rows.push_back({"扇区大小", QString::number(disk::SectorSize) + "B"});
      rows.push_back({"分区大小", size});
    }
    return rows;
  }
  const QString size = SizeWithSectors(partition->sectorCount);
  rows.push_back({"驱动类型", drive ? "卷-硬盘" : "分区"});
  rows.push_back(
      {"名称", QString::fromStdString(partition->driveLetter.empty() ? partition->name : partition->driveLetter)});
  rows.push_back({"系统对象", devicePath});
  rows.push_back({"大小", size});
  if (drive) {
    rows.push_back({"扇区大小", QString::number(disk::SectorSize) + "B"});
    rows.push_back({"起始地址", SizeWithSectors(partition->startSector)});
    rows.push_back({"分区大小", size});
  }
  return rows;
}

PropertyList::PropertyList(QWidget* parent) : QTreeWidget(parent) {
  setColumnCount(2);
  setHeaderLabels({"Name", "Value"});
  setRootIsDecorated(false);
  setUniformRowHeights(true);
  header()->resizeSection(0, 200);
  header()->resizeSection(1, 200);
}

void PropertyList::showRows(const std::vector<PropertyRow>& rows) {
  clear();
  for (const PropertyRow& row : rows) addTopLevelItem(new QTreeWidgetItem(QStringList{row.first, row.second}));
}

std::vector<PropertyRow> PropertyList::rows() const {
  std::vector<PropertyRow> out;
  for (int i = 0; i < topLevelItemCount(); ++i) out.push_back({topLevelItem(i)->text(0), topLevelItem(i)->text(1)});
  return out;
}

}  // namespace orvaldi::app
