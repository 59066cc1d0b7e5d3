// The file list of a partition window: rows made in batches over the nodes,
// their columns, the ticks kept whole between the list, the left tree and
// the nodes, double clicks, and both statistics.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QAction>
#include <QApplication>
#include <QColor>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPainter>
#include <QSignalSpy>
#include <QTimer>
#include <QToolTip>
#include <QTreeView>

#include "app/device_tree_model.h"
#include "app/device_window.h"
#include "app/file_list_model.h"
#include "app/folder_tree_model.h"
#include "app/hex_view.h"
#include "app/main_frame.h"
#include "app/operation_starter.h"
#include "app/partition_window.h"
#include "app/workstation.h"
#include "demo_workstation.h"
#include "gui_support.h"
#include "held_demo.h"
#include "ops/carved_names.h"
#include "ops/source.h"
#include "ops/statistics.h"
#include "raw/raw_scan.h"
#include "support/test_images.h"

namespace orvaldi::test {
namespace {

using app::FileListModel;

fs::FatNode FatFolder(const std::string& name, int files) {
  fs::FatNode folder;
  folder.flags = fs::node_kind::kFolder;
  folder.name = name;
  folder.firstCluster = 7;
  for (int i = 0; i < files; ++i) {
    fs::FatNode child;
    child.flags = i % 3 ? fs::node_kind::kFile : fs::node_kind::kDeletedFile;
    child.name = "file" + std::to_string(i) + ".txt";
    child.size = static_cast<uint32_t>(i);
    child.firstCluster = static_cast<uint32_t>(100 + i);
    fs::InsertChild(folder, std::move(child));
  }
  for (fs::FatNode& child : folder.children) child.parent = &folder;
  return folder;
}

// Rows after showing a folder, then after one and two fetches.
TEST(FileListModel, MakesRowsInBatches) {
  struct Case {
    const char* what;
    int children;
    bool ntfs;
    int first, second, third;
  } cases[] = {
      {"250 FAT entries", 250, false, 100, 200, 250},
      {"exactly 100 FAT entries", 100, false, 100, 100, 100},
      {"101 FAT entries", 101, false, 100, 101, 101},
      {"600 NTFS entries", 600, true, 500, 600, 600},
      {"empty folder", 0, false, 0, 0, 0},
  };
  for (const Case& c : cases) {
    fs::FatNode fat = FatFolder("dir", c.children);
    fs::NtfsNode ntfs;
    ntfs.flags = fs::node_kind::kFolder;
    for (int i = 0; i < c.children; ++i) ntfs.children.emplace_back().flags = fs::node_kind::kFile;
    FileListModel model;
    model.show(c.ntfs ? fs::NodeRef(&ntfs) : fs::NodeRef(&fat), 0);
    const QModelIndex root;
    EXPECT_EQ(model.rowCount(), c.first) << c.what;
    EXPECT_EQ(model.canFetchMore(root), c.second > c.first) << c.what;
    model.fetchMore(root);
    EXPECT_EQ(model.rowCount(), c.second) << c.what;
    model.fetchMore(root);
    EXPECT_EQ(model.rowCount(), c.third) << c.what;
    EXPECT_FALSE(model.canFetchMore(root)) << c.what;
  }
}

// In a window: the first batch, and the next one only once the list is
// scrolled to its end; a folder whose rows do not fill the list gets them all.
TEST(FileList, ScrollingMakesTheNextBatch) {
  struct Case {
    int children;
    int height;
    std::vector<int> rows;  // after selecting, then after each scroll to the end
  } cases[] = {
      {250, 500, {100, 200, 250}},
      {100, 500, {100, 100}},
      {101, 500, {100, 101}},
      {250, 3000, {200, 250}},
  };
  for (const Case& c : cases) {
    fs::FatNode folder = FatFolder("dir", c.children);
    disk::DiskInfoList disks;
    app::PartitionWindow w(disks, "a.img", "Partition0", [](app::OperationRequest) { return false; });
    w.resize(900, c.height);
    w.show();
    const QModelIndex top = w.folders()->addTop("Partition0");
    const QModelIndex item = w.folders()->attach(top, fs::NodeRef(&folder));
    w.tree()->setCurrentIndex(item);
    QApplication::processEvents();
    std::vector<int> rows{w.files()->rowCount()};
    for (size_t i = 1; i < c.rows.size(); ++i) {
      w.fileList()->scrollToBottom();
      QApplication::processEvents();
      rows.push_back(w.files()->rowCount());
    }
    EXPECT_EQ(rows, c.rows) << c.children << " children, " << c.height << " pixels";
  }
}

QStringList RowTexts(const QAbstractItemModel& model, int row) {
  QStringList texts;
  for (int c = 0; c < model.columnCount(); ++c) texts << model.index(row, c).data().toString();
  return texts;
}

TEST(FileListModel, ColumnsForEachKindOfFolder) {
  FileListModel model;
  QStringList headers;
  for (int c = 0; c < model.columnCount(); ++c) headers << model.headerData(c, Qt::Horizontal).toString();
  EXPECT_EQ(headers,
            (QStringList{"名称", "状态", "大小", "创建时间", "修改时间", "文件读取时间", "文件号", "文件父号"}));
  // Shares of a 900-pixel list: 2/9, 1/9, 1/18, 1/6 ×3, 1/18 ×2, rounded.
  const int widths[] = {200, 100, 50, 150, 150, 150, 50, 50};
  for (int c = 0; c < FileListModel::kColumnCount; ++c) EXPECT_EQ(FileListModel::resizedWidth(c, 900), widths[c]);
  EXPECT_EQ(FileListModel::resizedWidth(0, 100), 22);  // 22.2
  EXPECT_EQ(FileListModel::resizedWidth(2, 99), 6);    // 5.5 rounds up

  // FAT: a sub-folder with the files, DOS dates, the parent's first cluster;
  // an entry without a parent has no parent number.
  fs::FatNode fat = FatFolder("dir", 0);
  fs::FatNode sub;
  sub.flags = fs::node_kind::kDeletedFolder;
  sub.name = "gone";
  sub.firstCluster = 9;
  fs::FatNode file;
  file.flags = fs::node_kind::kFile;
  file.name = "a.txt";
  file.size = 5;
  file.firstCluster = 12;
  file.createDate = (44 << 9) | (3 << 5) | 1;   // 2024-03-01
  file.createTime = (13 << 11) | (5 << 5) | 7;  // 13:05:14
  file.modifyDate = (44 << 9) | (3 << 5) | 2;
  file.modifyTime = 0;
  fs::InsertChild(fat, file);
  fs::InsertChild(fat, sub);
  for (fs::FatNode& child : fat.children) child.parent = &fat;
  fs::InsertChild(fat, file)->parent = nullptr;
  model.show(fs::NodeRef(&fat), 0);
  ASSERT_EQ(model.rowCount(), 3);
  EXPECT_EQ(RowTexts(model, 0), (QStringList{"gone", "已删除文件夹", "0", "", "", "", "9", "7"}));
  EXPECT_EQ(RowTexts(model, 1), (QStringList{"a.txt", "正常文件", "5", "2024-03-01 13:05:14", "2024-03-02 00:00:00",
                                             "2024-03-02 00:00:00", "12", "7"}));
  EXPECT_EQ(model.index(2, FileListModel::kParentColumn).data().toString(), "");
  EXPECT_EQ(model.index(0, 0).data(Qt::ForegroundRole).value<QColor>(), QColor(255, 0, 0));
  EXPECT_FALSE(model.index(1, 0).data(Qt::ForegroundRole).isValid());
  EXPECT_FALSE(model.index(0, 0).data(Qt::DecorationRole).value<QIcon>().isNull());

  // NTFS: 64-bit sizes, record and parent numbers.
  fs::NtfsNode ntfs;
  ntfs.flags = fs::node_kind::kFolder;
  ntfs.recordNumber = 5;
  fs::NtfsNode big;
  big.flags = fs::node_kind::kDeletedFile;
  big.name = "big.bin";
  big.size = 5'000'000'000ull;
  big.recordNumber = 70;
  big.parentNumber = 64;
  ntfs.children.push_back(big);
  // A named stream of it: a row of its own beside the file, with the file's numbers.
  fs::NtfsNode stream = big;
  stream.name = "big.bin:meta";
  stream.streamName = "meta";
  stream.size = 12;
  ntfs.children.push_back(stream);
  model.show(fs::NodeRef(&ntfs), 0);
  ASSERT_EQ(model.rowCount(), 2);
  EXPECT_EQ(RowTexts(model, 0), (QStringList{"big.bin", "已删除文件", "5000000000", "", "", "", "70", "64"}));
  EXPECT_EQ(RowTexts(model, 1), (QStringList{"big.bin:meta", "已删除文件", "12", "", "", "", "70", "64"}));

  // Carved files: deleted, in red, numbered by start sector, the folder's name
  // as parent; the filter's pattern narrows them.
  disk::CarvedNode carved;
  carved.name = disk::kExtraFoundFolderName;
  carved.children[5'000'000'000ull] = disk::CarvedNode{0, 4096, "05000000000.jpg", {}};
  carved.children[5'000'000'100ull] = disk::CarvedNode{0, 100, "05000000100.doc", {}};
  model.show(fs::NodeRef::CarvedFolder(&carved), 0, "*.jpg");
  ASSERT_EQ(model.rowCount(), 1);
  EXPECT_EQ(RowTexts(model, 0),
            (QStringList{"05000000000.jpg", "已删除文件", "4096", "", "", "", "5000000000", "Extra Found Files"}));
  EXPECT_EQ(model.index(0, 0).data(Qt::ForegroundRole).value<QColor>(), QColor(255, 0, 0));
  model.show(fs::NodeRef::CarvedFolder(&carved), 0);
  EXPECT_EQ(model.rowCount(), 2);
}

// After a full-disk scan of the deleted-files disk, a carved row that a
// volume's record names shows that name and folder as its tooltip; the
// others have none. The screenshot shows the list with one tooltip up.
TEST(FileListModel, CarvedRowsShowTheNamesTheRecordsGive) {
  TempDir dir;
  const auto bytes = LoadImage(FixturesDir() / "names/names-disk.img.gz");
  if (!bytes) GTEST_SKIP() << "names fixture missing";
  ops::LoadedDisk loaded = ops::LoadDisk(dir.write("names.img", *bytes).string());
  ASSERT_TRUE(loaded.disk) << loaded.error;
  disk::DiskInfo& d = *loaded.disk;
  platform::ProgressBlock progress;
  ASSERT_EQ(raw::RawDiskScan(d, progress, 0, static_cast<uint64_t>(d.sizeBytes) / platform::SectorSize), 1);
  const ops::CarvedNaming naming = ops::NameCarvedFiles(d, progress);
  EXPECT_GT(naming.named, 150u);

  FileListModel model;
  model.show(fs::NodeRef::CarvedFolder(&d.extraFoundFolder), 0);
  ASSERT_GT(model.rowCount(), 0);
  int named = 0, shownRow = -1;
  for (int row = 0; row < model.rowCount(); ++row) {
    const disk::CarvedNode& file = *model.nodeAt(row).carved();
    const QVariant tip = model.index(row, 0).data(Qt::ToolTipRole);
    if (file.foundName.empty()) {
      EXPECT_FALSE(tip.isValid()) << file.name;
      continue;
    }
    ++named;
    EXPECT_TRUE(tip.toString().contains(QString::fromStdString(file.foundName))) << file.name;
    if (shownRow < 0 && file.foundPath.size() > 1) shownRow = row;
  }
  EXPECT_EQ(static_cast<size_t>(named), std::min<size_t>(naming.named, static_cast<size_t>(model.rowCount())));
  ASSERT_GE(shownRow, 0);

  QTreeView view;
  view.setModel(&model);
  view.resize(900, 360);
  view.setColumnWidth(0, 170);
  view.show();
  QApplication::processEvents();
  const QModelIndex shown = model.index(shownRow, 0);
  view.scrollTo(shown);
  const QRect cell = view.visualRect(shown);
  QToolTip::showText(view.viewport()->mapToGlobal(cell.center()), shown.data(Qt::ToolTipRole).toString(),
                     view.viewport());
  QApplication::processEvents();
  QWidget* tip = nullptr;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->inherits("QTipLabel") && w->isVisible()) tip = w;
  ASSERT_NE(tip, nullptr);
  // The tooltip is a window of its own: drawn onto the list where it stands.
  QPixmap shot = view.grab();
  QPainter painter(&shot);
  painter.drawPixmap(view.viewport()->mapTo(&view, cell.center()) + QPoint(12, 16), tip->grab());
  painter.end();
  std::filesystem::create_directories(ORVALDI_SCREENSHOT_DIR);
  EXPECT_TRUE(shot.save(QString::fromStdString(
      (std::filesystem::path(ORVALDI_SCREENSHOT_DIR) / "carved-found-name-tooltip.png").string())));
  QToolTip::hideText();
}

// Both models under Qt's checker, through fetches and tick changes.
TEST(FileListModel, PassesTheModelTester) {
  fs::FatNode root = FatFolder("根目录", 250);
  for (int i = 0; i < 30; ++i) {
    fs::FatNode sub = FatFolder("sub" + std::to_string(i), 3);
    fs::InsertChild(root, std::move(sub));
  }
  FileListModel files;
  QAbstractItemModelTester fileTester(&files, QAbstractItemModelTester::FailureReportingMode::Fatal);
  files.show(fs::NodeRef(&root), 0);
  while (files.canFetchMore({})) files.fetchMore({});
  EXPECT_EQ(files.rowCount(), 280);
  EXPECT_TRUE(files.setData(files.index(3, 0), Qt::Checked, Qt::CheckStateRole));
  files.ticksChanged();
  files.clear();

  app::FolderTreeModel tree;
  QAbstractItemModelTester treeTester(&tree, QAbstractItemModelTester::FailureReportingMode::Fatal);
  const QModelIndex top = tree.addTop("Partition0");
  const QModelIndex item = tree.attach(top, fs::NodeRef(&root));
  while (tree.canFetchMore(item)) tree.fetchMore(item);
  EXPECT_EQ(tree.rowCount(item), 30);
  EXPECT_TRUE(tree.flags(item) & Qt::ItemIsUserCheckable);
  EXPECT_TRUE(tree.setData(tree.index(2, 0, item), Qt::Checked, Qt::CheckStateRole));
  EXPECT_EQ(item.data(Qt::CheckStateRole).toInt(), Qt::PartiallyChecked);
  EXPECT_TRUE(tree.setData(top, Qt::Checked, Qt::CheckStateRole));
  EXPECT_EQ(item.data(Qt::CheckStateRole).toInt(), Qt::Checked);
}

int RowNamed(const QAbstractItemModel& model, const QString& name) {
  for (int r = 0; r < model.rowCount(); ++r)
    if (model.index(r, 0).data().toString() == name) return r;
  return -1;
}

int TickShown(const QAbstractItemModel& model, int row) { return model.index(row, 0).data(Qt::CheckStateRole).toInt(); }

// Ticking single rows and selecting the folder again: a folder wholly ticked
// or clear gives every row its tick, a partly ticked one shows each row's own.
TEST(FileList, TickModesAndTheTreeAboveThem) {
  Demo demo;
  if (!demo.load()) GTEST_SKIP() << "demo image missing";
  disk::CarvedNode& carved = demo.disks.front().extraFoundFolder;
  carved.name = disk::kExtraFoundFolderName;
  carved.children[2048 + 100] = disk::CarvedNode{0, 4096, "00002148.jpg", {}};
  carved.children[2048 + 200] = disk::CarvedNode{0, 4096, "00002248.jpg", {}};
  app::PartitionWindow* w = demo.open(0);
  ASSERT_NE(w, nullptr);
  app::FolderTreeModel& tree = *w->folders();
  FileListModel& files = *w->files();
  const QModelIndex top = tree.topIndex(0);
  const QModelIndex root = tree.index(0, 0, top);
  const QModelIndex docs = tree.childNamed(root, "文档");
  ASSERT_EQ(w->tree()->currentIndex(), root);

  // Select 文档, tick one of its files: the folder is partly ticked, and so is the root.
  w->tree()->setCurrentIndex(docs);
  const int report = RowNamed(files, "report.pdf");
  ASSERT_GE(report, 0);
  ASSERT_TRUE(files.setData(files.index(report, 0), Qt::Checked, Qt::CheckStateRole));
  EXPECT_EQ(docs.data(Qt::CheckStateRole).toInt(), Qt::PartiallyChecked);
  EXPECT_EQ(root.data(Qt::CheckStateRole).toInt(), Qt::PartiallyChecked);
  EXPECT_EQ(top.data(Qt::CheckStateRole).toInt(), Qt::Unchecked);  // a top item keeps its own

  // Mode 2: each row its own.
  w->tree()->setCurrentIndex(root);
  w->tree()->setCurrentIndex(docs);
  EXPECT_EQ(files.tickMode(), 2);
  for (int r = 0; r < files.rowCount(); ++r)
    EXPECT_EQ(TickShown(files, r), r == report ? Qt::Checked : Qt::Unchecked) << r;

  // Mode 1 and 0 from the tree: every row, and every node below, follows.
  ASSERT_TRUE(tree.setData(docs, Qt::Checked, Qt::CheckStateRole));
  w->tree()->setCurrentIndex(root);
  w->tree()->setCurrentIndex(docs);
  EXPECT_EQ(files.tickMode(), 1);
  for (int r = 0; r < files.rowCount(); ++r) EXPECT_EQ(TickShown(files, r), Qt::Checked) << r;
  ASSERT_TRUE(tree.setData(docs, Qt::Unchecked, Qt::CheckStateRole));
  EXPECT_EQ(root.data(Qt::CheckStateRole).toInt(), Qt::Unchecked);
  w->tree()->setCurrentIndex(docs);
  for (int r = 0; r < files.rowCount(); ++r) EXPECT_EQ(TickShown(files, r), Qt::Unchecked) << r;

  // The carved-files folder ticked: its files take the tick when listed,
  // even one changed behind the views.
  const QModelIndex extra = tree.childNamed(top, "Extra Found Files");
  ASSERT_TRUE(tree.setData(extra, Qt::Checked, Qt::CheckStateRole));
  carved.children.begin()->second.kindBits = 0;
  w->tree()->setCurrentIndex(extra);
  ASSERT_EQ(files.rowCount(), 2);
  EXPECT_EQ(carved.children.begin()->second.kindBits & 3, 1);
  ASSERT_TRUE(files.setData(files.index(1, 0), Qt::Unchecked, Qt::CheckStateRole));
  EXPECT_EQ(extra.data(Qt::CheckStateRole).toInt(), Qt::PartiallyChecked);

  // Its statistics on a worker: the window says it reads the carved files
  // meanwhile, so that no other scan's publishing drops any of them.
  QSignalSpy statistics(w, &app::PartitionWindow::statisticsReady);
  w->startStatistics();
  EXPECT_TRUE(w->readingFlag()->raised());
  demo.operations.runAll();
  EXPECT_FALSE(w->readingFlag()->raised());
  ASSERT_EQ(statistics.size(), 1);
  EXPECT_EQ(statistics[0][0].toString(), "文件统计： 8.0KB在1个文件夹中包含 2个文件");

  // "全部选择" and "取消全部选择" reach every node; clearing single nodes
  // lets the folders above follow.
  w->selectAll();
  EXPECT_EQ(top.data(Qt::CheckStateRole).toInt(), Qt::Checked);
  EXPECT_EQ(extra.data(Qt::CheckStateRole).toInt(), Qt::Checked);
  EXPECT_EQ(TickShown(files, 1), Qt::Checked);
  const fs::NodeRef pdf = [&] {
    w->tree()->setCurrentIndex(docs);
    return files.nodeAt(RowNamed(files, "report.pdf"));
  }();
  w->clearTicks({pdf});
  EXPECT_EQ(TickShown(files, RowNamed(files, "report.pdf")), Qt::Unchecked);
  EXPECT_EQ(docs.data(Qt::CheckStateRole).toInt(), Qt::PartiallyChecked);
  EXPECT_EQ(root.data(Qt::CheckStateRole).toInt(), Qt::PartiallyChecked);
  w->selectNone();
  EXPECT_EQ(root.data(Qt::CheckStateRole).toInt(), Qt::Unchecked);
  EXPECT_EQ(carved.children.begin()->second.kindBits & 3, 0);
}

TEST(FileList, DoubleClicksAndBothStatistics) {
  Demo demo;
  if (!demo.load()) GTEST_SKIP() << "demo image missing";
  app::PartitionWindow* w = demo.open(0);
  ASSERT_NE(w, nullptr);
  FileListModel& files = *w->files();
  QSignalSpy activated(w, &app::PartitionWindow::fileActivated);
  QSignalSpy statistics(w, &app::PartitionWindow::statisticsReady);
  QSignalSpy summary(w, &app::PartitionWindow::folderSummaryChanged);

  // Sub-folders are listed with the files; a double click opens one in the tree.
  const int docs = RowNamed(files, "文档");
  ASSERT_GE(docs, 0);
  EXPECT_GE(RowNamed(files, "TINY.TXT"), 0);
  emit w->fileList()->doubleClicked(files.index(docs, 0));
  EXPECT_EQ(w->tree()->currentIndex().data().toString(), "文档");
  EXPECT_EQ(files.folder().name(), "文档");
  ASSERT_EQ(summary.size(), 1);
  EXPECT_TRUE(summary[0][0].toString().startsWith("总大小 ")) << summary[0][0].toString().toStdString();
  EXPECT_TRUE(summary[0][0].toString().endsWith(QString(" 个文件夹中共有 %1 个文件").arg(w->counters().files)));

  const int pdf = RowNamed(files, "report.pdf");
  emit w->fileList()->doubleClicked(files.index(pdf, 0));
  ASSERT_EQ(activated.size(), 1);
  EXPECT_EQ(activated[0][0].value<fs::NodeRef>().name(), "report.pdf");

  // The list's statistics, at once: one file.
  w->fileList()->setCurrentIndex(files.index(pdf, 0));
  w->listStatistics();
  ASSERT_EQ(statistics.size(), 1);
  EXPECT_EQ(statistics[0][0].toString(), "文件统计： 16.7KB在0个文件夹中包含 1个文件");

  // The tree's, on a worker: 文档 and what it holds, counted as the list
  // counts it; a top item stands for its first folder.
  w->startStatistics();
  ASSERT_EQ(demo.operations.held.size(), 1u);
  EXPECT_EQ(demo.operations.held.front().family, app::OperationFamily::kStatistics);
  EXPECT_TRUE(w->busy());
  demo.operations.runAll();
  ASSERT_EQ(statistics.size(), 2);
  const QString docsText = statistics[1][0].toString();
  EXPECT_TRUE(docsText.startsWith("文件统计： ") && docsText.contains("在1个文件夹中包含 ")) << docsText.toStdString();
  w->tree()->setCurrentIndex(w->folders()->topIndex(0));
  w->startStatistics();
  demo.operations.runAll();
  ASSERT_EQ(statistics.size(), 3);
  const fs::NodeRef root = w->folders()->nodeOf(w->folders()->index(0, 0, w->folders()->topIndex(0)));
  EXPECT_EQ(statistics[2][0].toString().toStdString(), ops::StatisticsText(ops::CountFiles(root, {})));
}

// The frame's panes, F5 and the statistics box with the real threads.
TEST(FileList, ThroughTheFrame) {
  DemoWorkstation s;
  app::MainFrame& frame = s.frame;
  ScriptedPrompter& prompter = s.prompter;
  frame.resize(1500, 760);
  app::PartitionWindow* w = s.open(1);
  ASSERT_NE(w, nullptr);
  ASSERT_TRUE(WaitFor([&] { return !w->busy() && w->files()->rowCount() > 0; }));
  EXPECT_TRUE(frame.folderSummary().startsWith("总大小 ")) << frame.folderSummary().toStdString();

  // F5 ticks everything, F4 clears it.
  frame.action(app::kCmdSelectAll)->trigger();
  EXPECT_EQ(TickShown(*w->files(), 0), Qt::Checked);
  frame.action(app::kCmdSelectNone)->trigger();
  EXPECT_EQ(TickShown(*w->files(), 0), Qt::Unchecked);

  // A folder with deleted files, some rows ticked.
  app::FolderTreeModel& tree = *w->folders();
  const QModelIndex root = tree.index(0, 0, tree.topIndex(0));
  const QModelIndex project = tree.childNamed(root, "项目");
  const QModelIndex code = tree.childNamed(project, "代码");
  ASSERT_TRUE(code.isValid());
  w->tree()->expand(root);
  w->tree()->expand(project);
  w->tree()->setCurrentIndex(code);
  app::FileListModel& files = *w->files();
  for (int r = 0; r < files.rowCount(); r += 3) files.setData(files.index(r, 0), Qt::Checked, Qt::CheckStateRole);
  EXPECT_EQ(code.data(Qt::CheckStateRole).toInt(), Qt::PartiallyChecked);

  // Ctrl+Alt+A: on a worker, then pane 2 and the "文件统计" box.
  frame.action(app::kCmdStatistics)->trigger();
  ASSERT_TRUE(WaitFor([&] { return !prompter.shown.empty(); }));
  EXPECT_EQ(prompter.shown.back().title, "文件统计");
  EXPECT_EQ(frame.statisticsText(), prompter.shown.back().text);
  EXPECT_TRUE(frame.statisticsText().startsWith("文件统计： "));
  SaveScreenshot(frame, "partition_window_files");

  QMessageBox box(QMessageBox::NoIcon, "文件统计", frame.statisticsText(), QMessageBox::Ok);
  SaveScreenshot(box, "statistics_box");

  // A double-clicked file opens modally in the hex viewer, read whole.
  int row = 0;
  while (row < files.rowCount() && files.nodeAt(row).name() != "module_07.c") ++row;
  ASSERT_LT(row, files.rowCount());
  QString caption;
  bool sawProblem = true;
  QTimer::singleShot(0, [&] {
    if (auto* dialog = qobject_cast<app::HexViewDialog*>(QApplication::activeModalWidget())) {
      caption = dialog->windowTitle();
      sawProblem = !dialog->problem().isEmpty();
      dialog->reject();
    }
  });
  emit w->fileList()->doubleClicked(files.index(row, 0));
  EXPECT_EQ(caption, "1 sector");  // 409 bytes
  EXPECT_FALSE(sawProblem);
}

}  // namespace
}  // namespace orvaldi::test
