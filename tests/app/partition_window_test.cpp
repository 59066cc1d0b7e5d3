// Partition windows: opened from the device tree on the demo image, their
// folder trees, the refusals while a scan runs, and the lazy folder model.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include <QColor>
#include <QTreeView>

#include "app/device_tree_model.h"
#include "app/device_window.h"
#include "app/folder_tree_model.h"
#include "app/partition_window.h"
#include "gui_support.h"
#include "held_demo.h"
#include "support/test_images.h"

namespace orvaldi::test {
namespace {

QStringList ChildNames(app::FolderTreeModel& model, const QModelIndex& parent) {
  while (model.canFetchMore(parent)) model.fetchMore(parent);
  QStringList names;
  for (int r = 0; r < model.rowCount(parent); ++r) names << model.index(r, 0, parent).data().toString();
  return names;
}

TEST(PartitionWindow, DoubleClickOpensTheFat32TreeOnceOnly) {
  Demo demo;
  if (!demo.load()) GTEST_SKIP() << "demo image missing";
  // A carved file inside the FAT32 partition, as a full-disk scan leaves it.
  disk::CarvedNode& carved = demo.disks.front().extraFoundFolder;
  carved.name = disk::kExtraFoundFolderName;
  carved.children[2048 + 100] = disk::CarvedNode{0, 4096, "00002148.jpg", {}};
  app::PartitionWindow* w = demo.open(0);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->title(), "demo.imgPartition0");
  app::FolderTreeModel& model = *w->folders();
  ASSERT_EQ(model.rowCount(), 1);
  const QModelIndex top = model.topIndex(0);
  EXPECT_EQ(top.data().toString(), "Partition0");
  EXPECT_EQ(ChildNames(model, top), (QStringList{"根目录", "零散目录", "Extra Found Files"}));
  const QModelIndex root = model.index(0, 0, top);
  const QStringList folders = ChildNames(model, root);
  for (const char* name : {"文档", "照片", "音乐", "临时"}) EXPECT_TRUE(folders.contains(name)) << name;
  const QModelIndex deleted = model.childNamed(root, "临时");
  EXPECT_EQ(deleted.data(Qt::ForegroundRole).value<QColor>(), QColor(255, 0, 0));
  EXPECT_EQ(model.childNamed(deleted, "旧照片").isValid(), true);
  // The first folder is chosen and its files listed; files are no tree items.
  EXPECT_EQ(w->tree()->currentIndex(), root);
  EXPECT_TRUE(w->shownFiles().contains("TINY.TXT"));
  EXPECT_FALSE(model.childNamed(root, "TINY.TXT").isValid());
  EXPECT_GT(w->counters().files, 10u);
  EXPECT_GE(w->counters().folders, 6u);

  w->resize(900, 420);
  w->tree()->expand(model.childNamed(root, "照片"));
  SaveScreenshot(*w, "fat32-partition-window");

  // "扫描删除文件" reads nothing and attaches the orphan folder again below the top item.
  w->scanDeleted();
  demo.operations.runAll();
  EXPECT_EQ(ChildNames(model, top), (QStringList{"根目录", "零散目录", "Extra Found Files", "零散目录"}));

  EXPECT_EQ(demo.open(0), w);
  ASSERT_EQ(demo.prompter.shown.size(), 1u);
  EXPECT_EQ(demo.prompter.shown[0].text, "此分区已打开！");
  EXPECT_EQ(demo.window.partitionWindows().size(), 1u);
}

TEST(PartitionWindow, NtfsTreeAndTheRefusalsWhileAScanRuns) {
  Demo demo;
  if (!demo.load()) GTEST_SKIP() << "demo image missing";
  // The first carved file past the NTFS partition's start lies beyond its end.
  demo.disks.front().extraFoundFolder.children[130000] = disk::CarvedNode{0, 512, "00130000.pdf", {}};
  app::PartitionWindow* w = demo.open(1);
  ASSERT_NE(w, nullptr);
  app::FolderTreeModel& model = *w->folders();
  // So no extra-files node.
  EXPECT_EQ(ChildNames(model, model.topIndex(0)), (QStringList{"根目录", "零散目录"}));
  const QModelIndex root = model.index(0, 0, model.topIndex(0));
  const QStringList folders = ChildNames(model, root);
  for (const char* name : {"项目", "图片", "临时文件"}) EXPECT_TRUE(folders.contains(name)) << name;
  EXPECT_EQ(model.childNamed(root, "临时文件").data(Qt::ForegroundRole).value<QColor>(), QColor(255, 0, 0));
  w->resize(900, 420);
  const QModelIndex project = model.childNamed(root, "项目");
  w->tree()->expand(project);
  w->tree()->setCurrentIndex(project);
  EXPECT_TRUE(w->shownFiles().contains("数据.csv"));
  SaveScreenshot(*w, "ntfs-partition-window");

  // While the reopened scan is held, the window's commands are refused.
  w->reopenDisk();
  ASSERT_EQ(demo.operations.held.size(), 1u);
  EXPECT_TRUE(w->busy());
  w->reopenDisk();
  w->scanFormatted();
  w->scanDeleted();
  const std::vector<std::pair<QString, QString>> expected = {
      {"error", "等待当前操作完成，请稍后！"}, {"waiting", "等待此操作完成！"}, {"error", "等待当前操作完成！"}};
  ASSERT_EQ(demo.prompter.shown.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(demo.prompter.shown[i].title, expected[i].first);
    EXPECT_EQ(demo.prompter.shown[i].text, expected[i].second);
  }
  demo.operations.runAll();
  EXPECT_FALSE(w->busy());
  EXPECT_TRUE(model.childNamed(model.index(0, 0, model.topIndex(0)), "项目").isValid());
  w->scanDeleted();
  EXPECT_EQ(demo.prompter.shown.back().text, "此分区非FAT文件系统");
  // Closed while a scan still runs: the partition opens again only once that
  // scan has ended, as it reads the nodes a new one would replace.
  w->reopenDisk();
  delete w;
  EXPECT_TRUE(demo.window.partitionWindows().empty());
  const size_t documents = demo.documents.size();
  demo.open(1);  // refused; the held scan then ends
  EXPECT_EQ(demo.documents.size(), documents);
  EXPECT_EQ(demo.prompter.shown.back().text, "等待当前操作完成！");
  demo.open(1);
  EXPECT_EQ(demo.documents.size(), documents + 1);
}

// The FAT32 partition's data area cut off after cluster 5: the folders
// stored further on are listed empty, and the operator is told so.
TEST(PartitionWindow, SaysWhatTheScanCouldNotRead) {
  const auto bytes = LoadImage(DemoImageGz());
  if (!bytes) GTEST_SKIP() << "demo image missing";
  const uint8_t* boot = bytes->data() + 2048 * 512;
  const size_t reserved = boot[0x0E] | boot[0x0F] << 8;
  const size_t fatSectors = boot[0x24] | boot[0x25] << 8 | boot[0x26] << 16;
  const size_t cluster6 = 2048 + reserved + boot[0x10] * fatSectors + 4 * boot[0x0D];
  Demo demo;
  ASSERT_TRUE(demo.load(cluster6));
  ASSERT_NE(demo.open(0), nullptr);
  ASSERT_EQ(demo.prompter.shown.size(), 1u);
  EXPECT_EQ(demo.prompter.shown[0].title, "warning");
  const QString& text = demo.prompter.shown[0].text;
  EXPECT_TRUE(text.startsWith("部分扇区无法读取")) << text.toStdString();
  EXPECT_TRUE(text.contains(QString("根目录/音乐：扇区 %1").arg(cluster6))) << text.toStdString();
}

// A search of the disk and the partition windows of it exclude each other:
// the search works on a copy of the disk's records, merged back when it
// ends. Carved files an NTFS scan found as files of the volume leave the
// carved folder once no other scan of the disk reads it.
TEST(PartitionWindow, DiskSearchesAndPartitionScansTakeTurns) {
  Demo demo;
  if (!demo.load()) GTEST_SKIP() << "demo image missing";
  disk::DiskInfo& disk = demo.disks.front();
  app::PartitionWindow* fat = demo.open(0);
  app::PartitionWindow* ntfs = demo.open(1);
  ASSERT_TRUE(fat && ntfs);
  QTreeView* tree = demo.window.tree();
  const QModelIndex diskItem = demo.window.model()->index(0, 0);
  const size_t listed = disk.partitions.size();

  ntfs->reopenDisk();  // held
  tree->setCurrentIndex(diskItem);
  demo.window.fullDiskScan();
  EXPECT_EQ(demo.operations.held.size(), 1u);
  demo.operations.runAll();
  demo.window.fullDiskScan();  // held: runs on a copy
  ASSERT_EQ(demo.operations.held.size(), 1u);
  EXPECT_EQ(disk.partitions.size(), listed);
  EXPECT_TRUE(disk.extraFoundFolder.children.empty());
  demo.window.searchLostPartitionsWith(disk::SearchMode::kCylinder, 0);
  fat->reopenDisk();
  fat->scanFormatted();
  tree->setCurrentIndex(demo.window.model()->index(0, 0, diskItem));
  demo.window.openSelectedPartition();
  demo.window.partitionScan();
  EXPECT_EQ(demo.operations.held.size(), 1u);
  ASSERT_EQ(demo.prompter.shown.size(), 6u);
  for (const auto& shown : demo.prompter.shown) {
    EXPECT_EQ(shown.title, "waiting");
    EXPECT_EQ(shown.text, "等待当前操作完成！");
  }
  demo.operations.runAll();
  EXPECT_GT(disk.partitions.size(), listed);
  EXPECT_FALSE(disk.extraFoundFolder.children.empty());

  // Reopened on a disk scanned whole, the NTFS window reads the MFT records
  // the scan noted and names the first sectors of the files it found; one of
  // them stands in the carved folder as a carved file would.
  QList<quint64> found;
  QObject::connect(ntfs, &app::PartitionWindow::scanPublished, [&](const QList<quint64>& f) { found = f; });
  ntfs->reopenDisk();
  demo.operations.runAll();
  ASSERT_FALSE(found.isEmpty());
  const auto& carved = disk.extraFoundFolder.children;
  disk.extraFoundFolder.children[found.front()] = disk::CarvedNode{0, 512, "duplicate.bmp", {}};
  // It publishes again while the FAT window's scan still reads the carved
  // folder: the duplicate waits for that scan to end.
  ntfs->reopenDisk();
  fat->reopenDisk();
  ASSERT_EQ(demo.operations.held.size(), 2u);
  app::OperationRequest first = std::move(demo.operations.held.front());
  demo.operations.held.pop_front();
  platform::ProgressBlock block;
  first.work(block);
  first.publish();
  EndRequest(first);
  EXPECT_EQ(carved.count(found.front()), 1u);
  demo.operations.runAll();
  EXPECT_EQ(carved.count(found.front()), 0u);
  EXPECT_EQ(demo.prompter.shown.size(), 6u);
}

// A folder of 10,000 sub-folders: rows come in batches as the view asks,
// and a folder holding only files offers no children.
TEST(FolderTreeModel, MakesRowsOnDemand) {
  fs::FatNode root;
  root.flags = fs::node_kind::kFolder;
  root.name = "根目录";
  for (int i = 0; i < 10000; ++i) {
    fs::FatNode& child = root.children.emplace_back();
    child.flags = i % 2 ? fs::node_kind::kDeletedFolder : fs::node_kind::kFolder;
    child.name = "dir" + std::to_string(i);
    child.firstCluster = static_cast<uint32_t>(i + 3);
    child.children.emplace_back().flags = fs::node_kind::kFile;
  }
  app::FolderTreeModel model;
  const QModelIndex top = model.addTop("Partition0");
  const QModelIndex item = model.attach(top, fs::NodeRef(&root));
  EXPECT_FALSE(model.attach(top, fs::NodeRef(&root.children.front().children.front())).isValid());
  EXPECT_EQ(model.rowCount(item), 0);
  EXPECT_TRUE(model.hasChildren(item));
  model.fetchMore(item);
  EXPECT_EQ(model.rowCount(item), static_cast<int>(app::FolderTreeModel::kFetchBatch));
  const QModelIndex last = model.childNamed(item, "dir9999");
  ASSERT_TRUE(last.isValid());
  EXPECT_EQ(model.rowCount(item), 10000);
  EXPECT_EQ(model.index(last.row(), app::FolderTreeModel::kIdColumn, item).data().toString(), "10002");
  EXPECT_EQ(last.data(Qt::ForegroundRole).value<QColor>(), QColor(255, 0, 0));
  EXPECT_FALSE(model.hasChildren(last));
  EXPECT_EQ(model.parent(last), item);
}

// Figures for bench/gui_open_bench.sh: how long after its scan ends a
// partition window of a large image shows its tree, and how long opening a
// folder of 10,000 sub-folders takes. Runs only when the image is named.
TEST(PartitionWindowBench, ShowsTheTreeOfALargeImage) {
  const char* image = std::getenv("ORVALDI_GUI_BENCH_IMAGE");
  if (!image || !*image) GTEST_SKIP() << "set ORVALDI_GUI_BENCH_IMAGE to an image to time";
  using Clock = std::chrono::steady_clock;
  const auto ms = [](Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); };
  disk::DiskInfoList disks;
  ScriptedPrompter prompter;
  double scanMs = 0, showMs = 0;
  app::OperationStarter timing = [&](app::OperationRequest request) {
    platform::ProgressBlock block;
    const auto t0 = Clock::now();
    BeginRequest(request);
    request.work(block);
    const auto t1 = Clock::now();
    request.publish();
    EndRequest(request);
    // Shown: laid out and painted.
    request.owner->window()->grab();
    scanMs = ms(t1 - t0);
    showMs = ms(Clock::now() - t1);
    return true;
  };
  app::DeviceWindow window(disks, timing);
  std::vector<QWidget*> documents;
  QObject::connect(&window, &app::DeviceWindow::documentCreated, [&](QWidget* w, const QString&) {
    w->resize(900, 600);
    w->show();
    documents.push_back(w);
  });
  ASSERT_TRUE(window.openImage(image));
  const QModelIndex part = window.model()->index(0, 0, window.model()->index(0, 0));
  window.tree()->setCurrentIndex(part);
  window.openSelectedPartition();
  ASSERT_EQ(documents.size(), 1u);
  auto* w = static_cast<app::PartitionWindow*>(documents.front());
  std::printf("scan %.0f ms; tree shown %.1f ms after the scan; %u folders, %u files in the tree\n", scanMs, showMs,
              w->counters().folders, w->counters().files);

  fs::FatNode root;
  root.flags = fs::node_kind::kFolder;
  root.name = "big";
  for (int i = 0; i < 10000; ++i) {
    fs::FatNode& child = root.children.emplace_back();
    child.flags = fs::node_kind::kFolder;
    child.name = "dir" + std::to_string(i);
  }
  const QModelIndex big = w->folders()->attach(w->folders()->topIndex(0), fs::NodeRef(&root));
  const auto t0 = Clock::now();
  w->tree()->expand(big);
  w->grab();
  const auto t1 = Clock::now();
  w->tree()->scrollToBottom();
  w->grab();
  std::printf("folder of 10000 sub-folders: expanded in %.1f ms, scrolled to its end in %.1f ms\n", ms(t1 - t0),
              ms(Clock::now() - t1));
  delete w;
}

// Figures for bench/gui_list_bench.sh: selecting a folder of 500,000 files
// (a tree made in memory, as a scan of a large NTFS folder leaves it): the
// time until its first rows exist and are painted, and the process's
// resident memory before and after. Runs only when asked for.
long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

TEST(PartitionWindowBench, ListsAFolderOfHalfAMillionFiles) {
  const char* entries = std::getenv("ORVALDI_GUI_LIST_BENCH");
  if (!entries || !*entries) GTEST_SKIP() << "set ORVALDI_GUI_LIST_BENCH to a number of files to time";
  const long count = std::strtol(entries, nullptr, 10);
  using Clock = std::chrono::steady_clock;
  const auto ms = [](Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); };
  fs::NtfsNode folder;
  folder.flags = fs::node_kind::kFolder;
  folder.name = "big";
  folder.recordNumber = 64;
  for (long i = 0; i < count; ++i) {
    fs::NtfsNode& child = folder.children.emplace_back();
    child.flags = i % 4 ? fs::node_kind::kFile : fs::node_kind::kDeletedFile;
    child.name = "file" + std::to_string(i) + (i % 3 ? ".txt" : ".jpg");
    child.size = static_cast<uint64_t>(i);
    child.recordNumber = static_cast<uint64_t>(i + 100);
    child.parentNumber = 64;
    child.modifyTime = 133000000000000000ull;
  }
  disk::DiskInfoList disks;
  app::PartitionWindow w(disks, "bench.img", "Partition0", [](app::OperationRequest) { return false; });
  w.resize(1400, 700);
  w.show();
  const QModelIndex top = w.folders()->addTop("Partition0");
  const QModelIndex item = w.folders()->attach(top, fs::NodeRef(&folder));
  w.tree()->expand(top);
  w.grab();
  const long before = ResidentKiB();
  const auto t0 = Clock::now();
  w.tree()->setCurrentIndex(item);
  const int rows = w.fileList()->model()->rowCount();
  const auto t1 = Clock::now();
  w.grab();
  const auto t2 = Clock::now();
  const long after = ResidentKiB();
  w.fileList()->scrollToBottom();
  w.grab();
  const int scrolledRows = w.fileList()->model()->rowCount();
  const long scrolled = ResidentKiB();
  std::printf(
      "folder of %ld files: %d rows after %.2f ms, painted after %.2f ms; RSS %ld KiB before, %ld KiB after "
      "selecting (+%ld), %ld KiB with %d rows after scrolling to the end once\n",
      count, rows, ms(t1 - t0), ms(t2 - t0), before, after, after - before, scrolled, scrolledRows);
  EXPECT_GT(rows, 0);
}

}  // namespace
}  // namespace orvaldi::test
