// The device window: the tree's rows, columns and colours, the property
// list, the disk commands' refusals, and the lost-partition search and the
// scan-result file on the demo image.
#include <fstream>

#include <gtest/gtest.h>

#include <QColor>
#include <QComboBox>
#include <QTreeView>
#include <QTreeWidget>

#include "app/device_tree_model.h"
#include "app/device_window.h"
#include "app/property_list.h"
#include "app/search_dialogs.h"
#include "gui_support.h"
#include "support/test_images.h"

namespace orvaldi::test {
namespace {

using app::DeviceTreeModel;

// Runs each operation at once on this thread, as if its threads had ended.
app::OperationStarter SyncStarter() {
  return [](app::OperationRequest request) {
    // As the real starter: shown first, since a showing may bring a fresh block.
    if (request.view) request.view->showFor(request.title);
    platform::ProgressBlock own;
    platform::ProgressBlock& block = request.view ? request.view->block() : own;
    BeginRequest(request);
    request.work(block);
    request.publish();
    if (request.view) request.view->closeWhenDone();
    EndRequest(request);
    return true;
  };
}

disk::PartitionInfo Part(const std::string& driveLetter, const std::string& name, uint8_t type, uint64_t start,
                         uint64_t sectors, disk::PartitionOrigin origin, const std::string& label = {}) {
  disk::PartitionInfo p;
  p.driveLetter = driveLetter;
  p.name = name;
  p.typeByte = type;
  p.startSector = start;
  p.sectorCount = sectors;
  p.origin = origin;
  p.volumeLabel = label;
  return p;
}

disk::DiskInfo Drive() {
  disk::DiskInfo d;
  d.devicePath = "/dev/sda";
  d.index = "0";
  d.vendorId = "ACME";
  d.productId = "Disk";
  d.sizeBytes = int64_t{1} << 30;
  using O = disk::PartitionOrigin;
  d.partitions = {Part("", "D:", 0x0B, 2048, 204800, O::kTable, "DATA"),  // a name that reads like a mount point
                  Part("D:", "Partition1", 0x07, 206848, 409600, O::kFound),
                  Part("", "Partition2", 0x0E, 616448, 100, O::kRebuilt),
                  Part("", "Partition3", 0x05, 700000, 2048, O::kTable)};
  return d;
}

disk::DiskInfo Image() {
  disk::DiskInfo d;
  d.devicePath = "/tmp/some/disk.img";
  d.vendorId = "disk.img";
  d.sizeBytes = 100 * 1024;
  d.partitions = {Part("", "Partition0", 0x0C, 63, 100, disk::PartitionOrigin::kTable)};
  return d;
}

// The demo image inflated into a temporary folder, and a window over a
// disk list of its own.
struct DemoFixture {
  TempDir dir;
  std::string path;
  disk::DiskInfoList disks;
  ScriptedPrompter prompter;
  app::DeviceWindow window{disks, SyncStarter()};
  bool load() {
    const auto bytes = LoadImage(DemoImageGz());
    if (!bytes) return false;
    path = dir.write("demo.img", *bytes).string();
    return window.openImage(QString::fromStdString(path));
  }
  QModelIndex disk() const { return window.model()->index(0, 0); }
  void select(const QModelIndex& index) { window.tree()->setCurrentIndex(index); }
};

TEST(DeviceTree, RowsColumnsAndColoursFollowTheRecords) {
  disk::DiskInfoList disks{Drive(), Image()};
  DeviceTreeModel model(disks);
  ASSERT_EQ(model.rowCount(), 2);
  const QModelIndex drive = model.index(0, 0);
  const auto text = [&](int row, int column, const QModelIndex& parent) {
    return model.data(model.index(row, column, parent)).toString();
  };
  EXPECT_EQ(text(0, 0, {}), "ACMEDisk0");
  EXPECT_EQ(text(0, DeviceTreeModel::kStartColumn, {}), "0");
  EXPECT_EQ(text(0, DeviceTreeModel::kSizeColumn, {}), "1.0 GB");
  EXPECT_EQ(text(1, DeviceTreeModel::kSizeColumn, {}), "100.0 KB");

  struct Row {
    QString name, label, type, start, size;
    QColor colour;
  };
  const Row rows[] = {
      {"D:", "DATA", "FAT32", "1.0 MB", "100.0 MB", QColor(0, 0, 0)},
      // Its mount point is already shown by the partition before: its name instead.
      {"Partition1", "", "NTFS", "101.0 MB", "0.2 GB", QColor(0, 128, 0)},
      {"Partition2", "", "FAT16", "0.3 GB", "50.0 KB", QColor(255, 0, 0)},
      {"Partition3", "", "exFAT", "0.3 GB", "1.0 MB", QColor(0, 0, 0)},
  };
  ASSERT_EQ(model.rowCount(drive), 4);
  for (int r = 0; r < 4; ++r) {
    SCOPED_TRACE(r);
    const Row& want = rows[r];
    EXPECT_EQ(text(r, DeviceTreeModel::kNameColumn, drive), want.name);
    EXPECT_EQ(text(r, DeviceTreeModel::kLabelColumn, drive), want.label);
    EXPECT_EQ(text(r, DeviceTreeModel::kFsTypeColumn, drive), want.type);
    EXPECT_EQ(text(r, DeviceTreeModel::kStartColumn, drive), want.start);
    EXPECT_EQ(text(r, DeviceTreeModel::kSizeColumn, drive), want.size);
    EXPECT_EQ(model.data(model.index(r, 0, drive), Qt::ForegroundRole).value<QColor>(), want.colour);
  }
  EXPECT_EQ(model.headerData(2, Qt::Horizontal).toString(), "文件类型");

  // A partition scan appends only what no item shows yet; a full scan lists again.
  disks.front().partitions.push_back(Part("", "Partition4", 0x07, 800000, 64, disk::PartitionOrigin::kFound));
  disks.front().partitions.push_back(Part("", "Partition1", 0x07, 900000, 64, disk::PartitionOrigin::kFound));
  ASSERT_TRUE(model.appendNewPartitions("ACMEDisk0"));
  EXPECT_EQ(model.rowCount(drive), 5);
  ASSERT_TRUE(model.relistDisk("ACMEDisk0"));
  EXPECT_EQ(model.rowCount(drive), 6);
  EXPECT_FALSE(model.relistDisk("nothing"));
}

TEST(DeviceTree, PropertyRowsOfADriveAnImageAndTheirPartitions) {
  const disk::DiskInfo drive = Drive();
  const disk::DiskInfo image = Image();
  using Rows = std::vector<app::PropertyRow>;
  const struct {
    const disk::DiskInfo& disk;
    const disk::PartitionInfo* partition;
    Rows rows;
  } cases[] = {
      {drive,
       nullptr,
       {{"驱动类型", "物理驱动-硬盘"},
        {"名称", "ACMEDisk0"},
        {"系统对象", "/dev/sda"},
        {"大小", "1.0 GB (2097152 sec)"},
        {"扇区大小", "512B"},
        {"分区大小", "1.0 GB (2097152 sec)"}}},
      {drive,
       &drive.partitions[1],
       {{"驱动类型", "卷-硬盘"},
        {"名称", "D:"},
        {"系统对象", "/dev/sda"},
        {"大小", "0.2 GB (409600 sec)"},
        {"扇区大小", "512B"},
        {"起始地址", "101.0 MB (206848 sec)"},
        {"分区大小", "0.2 GB (409600 sec)"}}},
      {image,
       nullptr,
       {{"驱动类型", "系统文件"},
        {"名称", "/tmp/some/disk.img"},
        {"系统对象", "/tmp/some/disk.img"},
        {"大小", "100.0 KB (200 sec)"}}},
      {image,
       &image.partitions[0],
       {{"驱动类型", "分区"},
        {"名称", "Partition0"},
        {"系统对象", "/tmp/some/disk.img"},
        {"大小", "50.0 KB (100 sec)"}}},
  };
  for (const auto& c : cases) EXPECT_EQ(app::PropertyRows(c.disk, c.partition), c.rows);
}

TEST(DeviceWindow, DiskCommandsRefuseWithoutTheRightItem) {
  disk::DiskInfoList disks{Drive()};
  ScriptedPrompter prompter;
  app::DeviceWindow window(disks, SyncStarter());
  window.fullDiskScan();
  window.tree()->setCurrentIndex(window.model()->index(0, 0, window.model()->index(0, 0)));
  window.searchLostPartitionsWith(disk::SearchMode::kSector, 0);
  window.saveScanResultTo("/nonexistent/x.kvr_scn");
  window.tree()->setCurrentIndex(window.model()->index(0, 0));
  window.partitionScan();
  const std::vector<QString> expected = {"没有选择磁盘", "请正确选择磁盘", "请正确选择磁盘", "请选择分区"};
  ASSERT_EQ(prompter.shown.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(prompter.shown[i].title, "error");
    EXPECT_EQ(prompter.shown[i].text, expected[i]);
  }
}

TEST(DeviceWindow, SearchOptionsPreselectTheDisksHeadCount) {
  const struct {
    uint32_t diskHeads;
    int entries;
    QString chosen;
  } cases[] = {{255, 6, "255"}, {16, 6, "16"}, {100, 7, "100"}, {0, 6, "255"}};
  for (const auto& c : cases) {
    app::SearchOptionsDialog dialog(c.diskHeads);
    EXPECT_EQ(dialog.headList()->count(), c.entries) << c.diskHeads;
    EXPECT_EQ(dialog.headList()->currentText(), c.chosen) << c.diskHeads;
    EXPECT_EQ(dialog.mode(), disk::SearchMode::kCylinder);
  }
}

TEST(DeviceWindow, ListsTheDemoImageAndShowsItsProperties) {
  DemoFixture f;
  if (!f.load()) GTEST_SKIP() << "demo image missing";
  const QModelIndex disk = f.disk();
  EXPECT_EQ(f.window.model()->itemText(disk), "demo.img");
  ASSERT_EQ(f.window.model()->rowCount(disk), 2);
  EXPECT_EQ(f.window.model()->index(0, DeviceTreeModel::kLabelColumn, disk).data().toString(), "DEMO_FAT32");
  EXPECT_EQ(f.window.model()->index(1, DeviceTreeModel::kFsTypeColumn, disk).data().toString(), "NTFS");
  EXPECT_TRUE(f.window.tree()->isExpanded(disk));
  // A click on a partition of an image: no drive geometry rows.
  const QModelIndex part = f.window.model()->index(1, 0, disk);
  f.select(part);
  emit f.window.tree()->clicked(part);
  const auto rows = f.window.properties()->rows();
  f.window.resize(960, 360);
  SaveScreenshot(f.window, "device-window");
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0].second, "分区");
  EXPECT_EQ(rows[3].second, "20.0 MB (40960 sec)");
}

TEST(DeviceWindow, LostPartitionSearchListsItsFindsAndTheTreeShowsThemGreen) {
  DemoFixture f;
  if (!f.load()) GTEST_SKIP() << "demo image missing";
  f.select(f.disk());
  f.window.searchLostPartitionsWith(disk::SearchMode::kSector, 0);
  ASSERT_NE(f.window.searchWindow(), nullptr);
  EXPECT_EQ(f.window.searchWindow()->windowTitle(), "搜索分区");
  QTreeWidget* list = f.window.searchWindow()->list();
  // The FAT32 volume is met at its boot sector and its backup; NTFS once.
  ASSERT_GE(list->topLevelItemCount(), 2);
  bool sawFat = false, sawNtfs = false;
  for (int i = 0; i < list->topLevelItemCount(); ++i) {
    const QTreeWidgetItem* row = list->topLevelItem(i);
    if (row->text(0) == "FAT32" && row->text(3) == "40.0 MB (81900sec)") sawFat = true;
    if (row->text(0) == "NTFS" && row->text(1) == "DEMO_NTFS" && row->text(4) == "主") sawNtfs = true;
  }
  EXPECT_TRUE(sawFat);
  EXPECT_TRUE(sawNtfs);
  f.window.searchWindow()->resize(640, 260);
  SaveScreenshot(*f.window.searchWindow(), "search-list-window");

  const QModelIndex disk = f.disk();
  ASSERT_EQ(f.window.model()->rowCount(disk), 4);
  EXPECT_EQ(f.window.model()->index(3, 0, disk).data(Qt::ForegroundRole).value<QColor>(), QColor(0, 128, 0));
  // A second search finds the same volumes but appends nothing.
  f.select(f.disk());
  f.window.searchLostPartitionsWith(disk::SearchMode::kSector, 0);
  EXPECT_EQ(f.window.model()->rowCount(f.disk()), 4);
}

TEST(DeviceWindow, ScanResultSavesLoadsAndRefusesAnotherDisksFile) {
  DemoFixture f;
  if (!f.load()) GTEST_SKIP() << "demo image missing";
  f.select(f.disk());
  f.window.createRegion(100000, 100100);
  ASSERT_EQ(f.window.model()->rowCount(f.disk()), 3);
  const std::string saved = (f.dir.path() / "demo.kvr_scn").string();
  f.select(f.disk());
  f.window.saveScanResultTo(QString::fromStdString(saved));

  // Loading replaces the list: the region made since is gone again.
  f.disks.front().partitions.pop_back();
  f.window.refresh();
  f.select(f.disk());
  f.window.loadScanResultFrom(QString::fromStdString(saved));
  EXPECT_EQ(f.window.model()->rowCount(f.disk()), 3);

  const std::string other = (f.dir.path() / "other.kvr_scn").string();
  std::ofstream(other, std::ios::binary) << "other.img\r\n0\r\n0\r\n0\r\n";
  f.select(f.disk());
  f.window.loadScanResultFrom(QString::fromStdString(other));
  ASSERT_FALSE(f.prompter.shown.empty());
  EXPECT_EQ(f.prompter.shown.back().text, "不是该磁盘的信息！");
  EXPECT_EQ(f.disks.front().partitions.size(), 3u);

  f.select(f.disk());
  f.window.closeImage();
  EXPECT_TRUE(f.disks.empty());
  EXPECT_EQ(f.window.model()->rowCount(), 0);
}

}  // namespace
}  // namespace orvaldi::test
