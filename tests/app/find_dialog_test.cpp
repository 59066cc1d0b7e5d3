// The "查找文件" dialog: its defaults and example line, and Ctrl+F on the demo
// FAT32 tab searching through the real threads, the matches in its list and
// a double click showing one in the tab.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>
#include <QTreeView>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "app/find_dialog.h"
#include "app/folder_tree_model.h"
#include "demo_workstation.h"

namespace orvaldi::test {
namespace {

TEST(FindDialog, DefaultsAndTheExampleLineFollowTheList) {
  disk::DiskInfoList disks;
  app::PartitionWindow window(disks, "disk", "part", [](app::OperationRequest) { return false; });
  app::FindDialog dialog(window, [](app::OperationRequest) { return false; });
  EXPECT_EQ(dialog.windowTitle(), QString("查找文件"));
  ASSERT_EQ(dialog.modeBox()->count(), 3);
  EXPECT_EQ(dialog.modeBox()->currentText(), QString("文件名"));
  EXPECT_FALSE(dialog.exactBox()->isChecked());
  for (QCheckBox* ticked : {dialog.deletedBox(), dialog.existingBox(), dialog.filesBox(), dialog.foldersBox()})
    EXPECT_TRUE(ticked->isChecked()) << ticked->text().toStdString();
  const struct {
    const char* mode;
    const char* example;
    bool exact;
  } modes[] = {
      {"文件名", "", true}, {"文件扩展名", "  txt; doc; xls", false}, {"文件名匹配", "  *r*me.t?t;*jp*", false}};
  for (int i = 0; i < 3; ++i) {
    dialog.modeBox()->setCurrentIndex(i);
    EXPECT_EQ(dialog.modeBox()->currentText(), QString(modes[i].mode));
    EXPECT_EQ(dialog.exampleLabel()->text(), QString(modes[i].example));
    EXPECT_EQ(dialog.exactBox()->isEnabled(), modes[i].exact);
  }
  const QStringList headers = {"名称", "状态", "大小", "创建时间", "修改时间", "文件读取时间", "簇", "父簇"};
  for (int c = 0; c < headers.size(); ++c) {
    EXPECT_EQ(dialog.resultView()->model()->headerData(c, Qt::Horizontal).toString(), headers[c]);
    EXPECT_GE(dialog.resultView()->header()->sectionSize(c), 50) << c;  // every column can be read
  }
}

TEST(FindDialog, CtrlFSearchesTheTabByExtensionAndPatternAndRevealsAMatch) {
  DemoWorkstation shell;
  app::PartitionWindow* window = shell.open(0);
  ASSERT_NE(window, nullptr);
  app::MainFrame& frame = shell.frame;
  ScriptedPrompter& prompter = shell.prompter;
  ASSERT_TRUE(frame.action(app::kCmdFindFile)->isEnabled());
  frame.action(app::kCmdFindFile)->trigger();
  auto* dialog = window->findChild<app::FindDialog*>();
  ASSERT_NE(dialog, nullptr);
  EXPECT_TRUE(dialog->isVisible());
  bool finished = false;
  QObject::connect(dialog, &app::FindDialog::searchFinished, [&] { finished = true; });
  const auto search = [&](int mode, const char* text) {
    dialog->modeBox()->setCurrentIndex(mode);
    dialog->textEdit()->setText(text);
    finished = false;
    if (!dialog->startSearch()) return false;
    return WaitFor([&] { return finished && !window->busy(); });
  };
  const auto rows = [&] {
    std::vector<std::vector<QString>> out;
    for (int r = 0; r < dialog->resultCount(); ++r)
      out.push_back({dialog->resultText(r, 0), dialog->resultText(r, 1), dialog->resultText(r, 2),
                     dialog->resultText(r, 6), dialog->resultText(r, 7)});
    return out;
  };

  // An empty list finds nothing: said, and nothing starts.
  EXPECT_FALSE(search(app::FindDialog::kByPattern, " ; "));
  ASSERT_EQ(prompter.shown.size(), 1u);
  EXPECT_EQ(prompter.shown[0].text, QString("请输入要查找的内容"));

  dialog->existingBox()->setChecked(false);
  ASSERT_TRUE(search(app::FindDialog::kByExtension, "txt; doc"));
  EXPECT_EQ(rows(), (std::vector<std::vector<QString>>{{"åotes.txt", "已删除文件", "3000", "1447", "7"},
                                                       {"会议纪要.txt", "已删除文件", "1800", "123", "3"},
                                                       {"草稿.txt", "已删除文件", "12288", "161", "3"},
                                                       {"åLD.TXT", "已删除文件", "2048", "12", "2"}}));
  EXPECT_EQ(dialog->statusLabel()->text(), QString("4 项被找到"));

  dialog->existingBox()->setChecked(true);
  ASSERT_TRUE(search(app::FindDialog::kByPattern, "*r*me.t?t;*jp*"));
  EXPECT_EQ(rows(), (std::vector<std::vector<QString>>{{"åMG_0100.JPG", "已删除文件", "40960", "1453", "8"},
                                                       {"DSC 0001.jpg", "已删除文件", "20480", "1533", "8"},
                                                       {"IMG_0001.JPG", "正常文件", "65536", "185", "5"},
                                                       {"åMG_0002.JPG", "已删除文件", "49152", "751", "5"},
                                                       {"README.TXT", "正常文件", "600", "9", "2"}}));
  EXPECT_FALSE(dialog->resultText(2, 4).isEmpty());  // the dates come along
  dialog->resize(1000, 420);
  EXPECT_FALSE(SaveScreenshot(*dialog, "find-file-dialog").empty());

  // A double click: the deleted folder "旧照片" in the left tree, the file in its list.
  QTreeView* results = dialog->resultView();
  emit results->doubleClicked(results->model()->index(1, 0));
  const QModelIndex folder = window->tree()->currentIndex();
  EXPECT_EQ(folder.data().toString(), QString("旧照片"));
  EXPECT_EQ(folder.parent().data().toString(), QString("临时"));
  EXPECT_EQ(window->selectedFile().name(), "DSC 0001.jpg");
  EXPECT_TRUE(dialog->revealResult(4));
  EXPECT_EQ(window->tree()->currentIndex().data().toString(), QString("根目录"));
  EXPECT_EQ(window->selectedFile().name(), "README.TXT");

  // While the tab's own scan runs the search is refused.
  window->reopenDisk();
  EXPECT_FALSE(dialog->startSearch());
  EXPECT_EQ(prompter.shown.back().text, QString("等待当前操作完成，请稍后！"));
  ASSERT_TRUE(WaitFor([&] { return !window->busy(); }));
  EXPECT_EQ(dialog->resultCount(), 0);  // the new scan's nodes replaced the matched ones
  dialog->close();
}

// The search by extension and by pattern on ORVALDI_GUI_FIND_BENCH_IMG's
// partition 0 through the real starter, from the command to the shown list,
// and the longest the UI thread went without turning its event loop
// meanwhile (bench/find_bench.sh sets it and times the CLI beside).
TEST(FindDialogBench, SearchesThroughTheRealStarter) {
  const char* image = std::getenv("ORVALDI_GUI_FIND_BENCH_IMG");
  if (!image || !*image) GTEST_SKIP() << "set ORVALDI_GUI_FIND_BENCH_IMG to time the search";
  using Clock = std::chrono::steady_clock;
  DemoWorkstation shell;
  app::PartitionWindow* window = shell.open(0, image);
  ASSERT_NE(window, nullptr);
  app::FindDialog* dialog = app::FindDialog::showFor(*window, shell.starter);
  bool finished = false;
  QObject::connect(dialog, &app::FindDialog::searchFinished, [&] { finished = true; });
  // The gaps between ticks of a 5 ms timer: how long the event loop stalled.
  qint64 longestGap = 0;
  QElapsedTimer sinceTick;
  QTimer ticker;
  ticker.setInterval(5);
  QObject::connect(&ticker, &QTimer::timeout, [&] { longestGap = std::max(longestGap, sinceTick.restart()); });
  const struct {
    const char* label;
    int mode;
    const char* text;
  } runs[] = {{"ext", app::FindDialog::kByExtension, "txt; doc"},
              {"pattern", app::FindDialog::kByPattern, "*r*rt*.t?t;*jp*"}};
  for (const auto& run : runs) {
    dialog->modeBox()->setCurrentIndex(run.mode);
    dialog->textEdit()->setText(run.text);
    finished = false;
    longestGap = 0;
    sinceTick.start();
    ticker.start();
    const auto t0 = Clock::now();
    ASSERT_TRUE(dialog->startSearch());
    while (!finished) QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    ticker.stop();
    std::printf("gui %s %.3f s (%d rows, %u nodes; longest UI stall %lld ms)\n", run.label, seconds,
                dialog->resultCount(), window->counters().files + window->counters().folders,
                static_cast<long long>(longestGap));
    ASSERT_TRUE(WaitFor([&] { return !window->busy(); }));
  }
  dialog->close();
}

}  // namespace
}  // namespace orvaldi::test
