// The file filter of a partition window on the demo image: the dialog, the
// refusals, the rebuilt tree, and the carved files and statistics it narrows.
#include <cstdio>
#include <cstdlib>

#include <QAction>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTreeView>

#include <gtest/gtest.h>

#include "app/device_window.h"
#include "app/filter_dialog.h"
#include "app/folder_tree_model.h"
#include "app/main_frame.h"
#include "app/partition_window.h"
#include "app/workstation.h"
#include "gui_support.h"
#include "held_demo.h"

namespace orvaldi::test {
namespace {

// Answers the dialog for the operator while installed. `ok` false presses
// "取消"; `during` runs while the dialog is up.
struct FilterAnswer {
  QString pattern;
  bool deleted = true;
  bool existing = true;
  bool ok = true;
  std::function<void(app::FilterDialog&)> during;
  int asked = 0;
  FilterAnswer() {
    app::SetFilterDialogHook([this](app::FilterDialog& dialog) {
      ++asked;
      EXPECT_EQ(dialog.windowTitle(), "文件筛选");
      EXPECT_TRUE(dialog.patternEdit()->text().isEmpty());
      EXPECT_TRUE(dialog.deletedBox()->isChecked() && dialog.existingBox()->isChecked());
      dialog.patternEdit()->setText(pattern);
      dialog.deletedBox()->setChecked(deleted);
      dialog.existingBox()->setChecked(existing);
      if (during) during(dialog);
      (ok ? dialog.okButton() : dialog.cancelButton())->click();
    });
  }
  ~FilterAnswer() { app::SetFilterDialogHook(nullptr); }
  FilterAnswer(const FilterAnswer&) = delete;
  FilterAnswer& operator=(const FilterAnswer&) = delete;
};

// Every folder item below `parent`, as paths, depth first.
QStringList Folders(app::FolderTreeModel& model, const QModelIndex& parent, const QString& above = {}) {
  QStringList out;
  while (model.canFetchMore(parent)) model.fetchMore(parent);
  for (int r = 0; r < model.rowCount(parent); ++r) {
    const QModelIndex child = model.index(r, 0, parent);
    const QString path = above.isEmpty() ? child.data().toString() : above + "/" + child.data().toString();
    out << path << Folders(model, child, path);
  }
  return out;
}

struct FilteredDemo : ::testing::Test {
  Demo demo;
  app::PartitionWindow* w = nullptr;
  void SetUp() override {
    if (!demo.load()) GTEST_SKIP() << "demo image missing";
    // Two carved files inside the FAT32 partition, as a full-disk scan leaves them.
    disk::CarvedNode& carved = demo.disks.front().extraFoundFolder;
    carved.name = disk::kExtraFoundFolderName;
    carved.children[2048 + 100] = disk::CarvedNode{0, 4096, "00002148.jpg", {}};
    carved.children[2048 + 300] = disk::CarvedNode{0, 8192, "00002348.pdf", {}};
    w = demo.open(0);
    ASSERT_NE(w, nullptr);
  }
  QStringList tree() { return Folders(*w->folders(), {}); }
  // Filters through the top item's popup, as the workstation connects it.
  void filter(const QString& pattern, bool deleted, bool existing) {
    FilterAnswer answer;
    answer.pattern = pattern;
    answer.deleted = deleted;
    answer.existing = existing;
    w->filterFromTopItem();
    EXPECT_EQ(answer.asked, 1);
  }
};

TEST_F(FilteredDemo, TreeKeepsOnlyTheFoldersOnTheWayToAFileThatPasses) {
  const QString top = "Partition0", root = "Partition0/根目录", extra = "Partition0/Extra Found Files";
  const struct {
    const char* pattern;
    bool deleted, existing;
    QStringList folders;
  } cases[] = {
      {"*.JPG",
       true,
       true,
       {top, root, root + "/临时", root + "/临时/旧照片", root + "/照片", root + "/照片/2024", extra}},
      {"*.jpg", false, true, {top, root, root + "/照片", root + "/照片/2024", extra}},
      {"*.jpg",
       true,
       false,
       {top, root, root + "/临时", root + "/临时/旧照片", root + "/照片", root + "/照片/2024", extra}},
      // Deleted text files: OLD.TXT in the root, notes.txt, and two in 文档.
      {"txt", true, false, {top, root, root + "/临时", root + "/文档", extra}},
      {"报告", true, true, {top, root, root + "/文档", extra}},
      {"mp3", true, true, {top, root, root + "/音乐", extra}},
      {"rep.ort", true, true, {top, extra}},
      // No file passes: the top item and the carved files' folder remain.
      {"", false, false, {top, extra}},
  };
  for (const auto& c : cases) {
    filter(c.pattern, c.deleted, c.existing);
    EXPECT_EQ(tree(), c.folders) << c.pattern << " " << c.deleted << c.existing;
    // The top item is expanded, and nothing is listed until a folder is chosen.
    EXPECT_TRUE(w->tree()->isExpanded(w->folders()->topIndex(0)));
    EXPECT_TRUE(w->shownFiles().isEmpty());
  }
  EXPECT_EQ(w->filter().pattern, "");
  EXPECT_FALSE(w->filter().includeDeleted || w->filter().includeExisting);
  // The summary counts what the tree holds: the four pictures, in five folders.
  filter("*.jpg", true, true);
  EXPECT_EQ(w->counters().files, 4u);
  EXPECT_EQ(w->counters().folders, 5u);
  EXPECT_EQ(w->counters().totalSize, 40960u + 20480 + 65536 + 49152);
  // A reopened partition shows its whole tree again.
  w->reopenDisk();
  demo.operations.runAll();
  EXPECT_TRUE(tree().contains(root + "/音乐"));
}

TEST_F(FilteredDemo, CarvedListAndStatisticsFollowTheFilter) {
  {
    FilterAnswer answer;
    answer.pattern = "*.JPG";
    answer.existing = false;
    answer.during = [](app::FilterDialog& dialog) { SaveScreenshot(dialog, "filter-dialog"); };
    w->filterFromTopItem();
  }
  EXPECT_EQ(w->filter().pattern, "*.jpg");
  app::FolderTreeModel& model = *w->folders();
  const QModelIndex top = model.topIndex(0);
  w->tree()->setCurrentIndex(model.childNamed(top, "Extra Found Files"));
  EXPECT_EQ(w->shownFiles(), QStringList{"00002148.jpg"});
  // A folder's list is not narrowed: the tree led the operator to it.
  const QModelIndex photos = model.childNamed(model.childNamed(model.childNamed(top, "根目录"), "照片"), "2024");
  w->tree()->expand(photos.parent());
  w->tree()->setCurrentIndex(photos);
  EXPECT_EQ(w->shownFiles().size(), 3);
  w->resize(900, 420);
  SaveScreenshot(*w, "filtered-partition-window");

  // Statistics of the root count the deleted pictures only: åMG_0100.JPG,
  // DSC 0001.jpg, åMG_0002.JPG (the folders all count).
  QSignalSpy statistics(w, &app::PartitionWindow::statisticsReady);
  w->tree()->setCurrentIndex(model.childNamed(top, "根目录"));
  w->startStatistics();
  demo.operations.runAll();
  ASSERT_EQ(statistics.size(), 1);
  EXPECT_EQ(statistics[0][0].toString(), "文件统计： 108.0KB在7个文件夹中包含 3个文件");
}

TEST_F(FilteredDemo, RefusalsCancelAndALostPartitionChangeNothing) {
  const QStringList whole = tree();
  const auto unchanged = [&] {
    EXPECT_EQ(tree(), whole);
    EXPECT_TRUE(w->filter().pattern.isEmpty() && w->filter().includeDeleted && w->filter().includeExisting);
  };
  FilterAnswer answer;
  answer.pattern = "*.jpg";
  answer.ok = false;
  w->filterFiles();
  EXPECT_EQ(answer.asked, 1);
  unchanged();

  // Something of the window's started while the dialog was up.
  answer.ok = true;
  answer.during = [this](app::FilterDialog&) { w->countForWork()->raise(); };
  w->filterFiles();
  w->countForWork()->lower();
  unchanged();
  answer.during = nullptr;

  // The partition no longer answers to the window's texts.
  std::string& name = demo.disks.front().partitions.front().name;
  const std::string kept = name;
  name = "gone";
  w->filterFiles();
  name = kept;
  unchanged();

  // A scan is running: neither entry asks.
  w->reopenDisk();
  ASSERT_EQ(demo.operations.held.size(), 1u);
  const int asked = answer.asked;
  w->filterFiles();
  w->filterFromTopItem();
  demo.operations.runAll();
  EXPECT_EQ(answer.asked, asked);
  const std::vector<std::pair<QString, QString>> expected = {
      {"error", "等待当前操作完成！"}, {"error", "等待当前操作完成，请稍后！"}, {"waiting", "等待此操作完成！"}};
  ASSERT_EQ(demo.prompter.shown.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(demo.prompter.shown[i].title, expected[i].first);
    EXPECT_EQ(demo.prompter.shown[i].text, expected[i].second);
  }
  unchanged();
}

TEST(FilteredNtfs, TreeKeepsTheFoldersOnTheWayToAFileThatPasses) {
  Demo demo;
  if (!demo.load()) GTEST_SKIP() << "demo image missing";
  app::PartitionWindow* w = demo.open(1);
  ASSERT_NE(w, nullptr);
  const QString top = "Partition1", root = "Partition1/根目录";
  const struct {
    const char* pattern;
    bool deleted, existing;
    QStringList folders;
  } cases[] = {
      {"*.c", true, false, {top, root, root + "/项目", root + "/项目/代码"}},
      {"*.bin", true, true, {top, root, root + "/临时文件", root + "/临时文件/子目录", root + "/项目"}},
      {"*.jpg", false, true, {top}},
  };
  for (const auto& c : cases) {
    FilterAnswer answer;
    answer.pattern = c.pattern;
    answer.deleted = c.deleted;
    answer.existing = c.existing;
    w->filterFiles();
    EXPECT_EQ(Folders(*w->folders(), {}), c.folders) << c.pattern;
  }
}

// Ctrl+L and the top item's popup reach the active partition window.
TEST(FilterCommand, MenuAndTopItemPopupFilterTheActiveWindow) {
  Demo demo;
  if (!demo.load()) GTEST_SKIP() << "demo image missing";
  // The frame takes the partition windows, not the device window the demo owns.
  app::MainFrame frame(nullptr);
  ConnectWorkstation(frame, demo.window);
  frame.show();
  app::PartitionWindow* w = demo.open(0);
  ASSERT_NE(w, nullptr);
  ASSERT_EQ(frame.activeDocumentWindow(), w);
  QAction* command = frame.action(app::kCmdFileFilter);
  ASSERT_TRUE(command && command->isEnabled());
  EXPECT_EQ(command->text(), "文件筛选     CTrl+L");
  FilterAnswer answer;
  answer.pattern = "mp3";
  command->trigger();
  EXPECT_EQ(answer.asked, 1);
  EXPECT_EQ(w->filter().pattern, "mp3");
  answer.pattern = "报告";
  emit w->filterRequested();
  EXPECT_EQ(answer.asked, 2);
  EXPECT_EQ(w->filter().pattern, "报告");
}

// Figures for bench/gui_filter_bench.sh: how long "文件筛选" keeps the window
// busy on partition 0 of a large image (the walk of its whole tree and the
// rebuilt tree painted). Runs only when the image is named.
TEST(FilterBench, FiltersTheTreeOfALargeImage) {
  const char* image = std::getenv("ORVALDI_GUI_FILTER_BENCH_IMAGE");
  if (!image || !*image) GTEST_SKIP() << "set ORVALDI_GUI_FILTER_BENCH_IMAGE to an image to time";
  disk::DiskInfoList disks;
  ScriptedPrompter prompter;
  HeldStarter operations;
  app::DeviceWindow window(disks, operations.starter());
  std::vector<QWidget*> documents;
  QObject::connect(&window, &app::DeviceWindow::documentCreated, [&](QWidget* w, const QString&) {
    w->resize(900, 600);
    w->show();
    documents.push_back(w);
  });
  ASSERT_TRUE(window.openImage(image));
  window.tree()->setCurrentIndex(window.model()->index(0, 0, window.model()->index(0, 0)));
  window.openSelectedPartition();
  operations.runAll();
  ASSERT_EQ(documents.size(), 1u);
  auto* w = static_cast<app::PartitionWindow*>(documents.front());
  std::printf("tree of %u folders, %u files\n", w->counters().folders, w->counters().files);
  const struct {
    const char* pattern;
    bool deleted, existing;
  } cases[] = {{"*.txt", true, true}, {"报告", true, true}, {"zzz", true, true}, {"", true, true}, {"", false, false}};
  for (const auto& c : cases) {
    FilterAnswer answer;
    answer.pattern = c.pattern;
    answer.deleted = c.deleted;
    answer.existing = c.existing;
    QElapsedTimer timer;
    timer.start();
    w->filterFiles();
    w->grab();
    std::printf("filter \"%s\"%s%s: %lld ms, %u folders and %u files kept\n", c.pattern, c.deleted ? " deleted" : "",
                c.existing ? " existing" : "", static_cast<long long>(timer.elapsed()), w->counters().folders,
                w->counters().files);
  }
  delete w;
}

}  // namespace
}  // namespace orvaldi::test
