// The shell's smaller promises: partition tabs go with their disk's records,
// the lost-partition search window (where it opens, where a stop leaves its
// bar), the logo font kept between runs, the help window, and device-tree
// columns as wide as their texts.
#include <filesystem>
#include <fstream>
#include <string>

#include <QAction>
#include <QFontMetrics>
#include <QHeaderView>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBrowser>
#include <QTreeView>

#include <gtest/gtest.h>

#include "app/device_tree_model.h"
#include "app/device_window.h"
#include "app/help_window.h"
#include "app/main_frame.h"
#include "app/partition_window.h"
#include "app/search_dialogs.h"
#include "app/settings.h"
#include "app/workstation.h"
#include "gui_support.h"
#include "held_demo.h"
#include "support/test_images.h"

namespace orvaldi::test {
namespace {

// The program as main() puts it together, over the demo image.
struct Station {
  TempDir dir;
  disk::DiskInfoList disks;
  ScriptedPrompter prompter;
  HeldStarter operations;
  app::MainFrame frame{nullptr};
  app::DeviceWindow* device = new app::DeviceWindow(disks, operations.starter());

  Station() {
    frame.setDeviceWindow(device);
    app::ConnectWorkstation(frame, *device);
  }
  bool load() {
    const auto bytes = LoadImage(DemoImageGz());
    return bytes && device->openImage(QString::fromStdString(dir.write("demo.img", *bytes).string()));
  }
  QModelIndex disk() const { return device->model()->index(0, 0); }
  void selectDisk() { device->tree()->setCurrentIndex(disk()); }
  void open(int row, bool run = true) {
    const QModelIndex item = device->model()->index(row, 0, disk());
    device->tree()->setCurrentIndex(item);
    device->openSelectedPartition();
    if (run) operations.runAll();
  }
  // Every tab, and whether each still holds a window.
  int tabs() const {
    int count = 0;
    for (QMdiSubWindow* sub : frame.clientArea()->subWindowList()) {
      EXPECT_NE(sub->widget(), nullptr) << "an empty tab";
      ++count;
    }
    return count;
  }
};

void Settle() {
  for (int i = 0; i < 5; ++i) {
    QApplication::processEvents();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
}

TEST(LooseEnds, ClosingAnImageOrLoadingItsResultClosesItsPartitionTabs) {
  Station s;
  if (!s.load()) GTEST_SKIP() << "demo image missing";
  s.frame.resize(1000, 640);
  s.frame.show();
  const QString saved = QString::fromStdString((s.dir.path() / "demo.kvr_scn").string());
  s.selectDisk();
  s.device->saveScanResultTo(saved);
  s.open(0);
  ASSERT_EQ(s.tabs(), 2);

  // A tab still reading its partition keeps the records in use.
  s.open(1, false);
  ASSERT_EQ(s.tabs(), 3);
  s.selectDisk();
  s.device->closeImage();
  ASSERT_EQ(s.prompter.shown.size(), 1u);
  EXPECT_EQ(s.prompter.shown[0].text, QString("等待当前操作完成！"));
  EXPECT_EQ(s.tabs(), 3);
  EXPECT_EQ(s.disks.size(), 1u);
  s.operations.runAll();

  // A file of another disk is refused before any tab is closed.
  const std::string other = (s.dir.path() / "other.kvr_scn").string();
  {
    std::ifstream in(saved.toStdString());
    std::string first;
    std::getline(in, first);
    std::ofstream(other) << "another disk\n" << in.rdbuf();
  }
  s.selectDisk();
  s.device->loadScanResultFrom(QString::fromStdString(other));
  EXPECT_EQ(s.prompter.shown.back().text, QString("不是该磁盘的信息！"));
  EXPECT_EQ(s.tabs(), 3);

  s.selectDisk();
  s.device->loadScanResultFrom(saved);
  Settle();
  EXPECT_EQ(s.tabs(), 1);
  EXPECT_TRUE(s.device->partitionWindows().empty());
  EXPECT_EQ(s.frame.activeTabIndex(), 0);
  EXPECT_FALSE(s.frame.partitionMenusShown());

  s.open(0);
  ASSERT_EQ(s.tabs(), 2);
  s.selectDisk();
  s.device->closeImage();
  Settle();
  EXPECT_TRUE(s.disks.empty());
  EXPECT_EQ(s.tabs(), 1);
  EXPECT_EQ(s.frame.activeTabIndex(), 0);
  EXPECT_EQ(s.prompter.shown.size(), 2u);
}

TEST(LooseEnds, AStoppedSearchShowsWhereItStopped) {
  app::SearchListWindow window;
  auto* stop = [&]() -> QPushButton* {
    for (QPushButton* button : window.findChildren<QPushButton*>())
      if (button->text() == "停止") return button;
    return nullptr;
  }();
  ASSERT_NE(stop, nullptr);
  const struct {
    bool stopped;
    int shown;
  } cases[] = {{true, 250}, {false, 1000}};
  for (const auto& c : cases) {
    window.showFor("扫描分区");
    window.beginStage(200, 1);
    window.setPosition(50);
    if (c.stopped) QTest::mouseClick(stop, Qt::LeftButton);
    window.closeWhenDone();
    EXPECT_EQ(window.bar()->value(), c.shown) << c.stopped;
    EXPECT_EQ(window.bar()->text().startsWith("已停止"), c.stopped) << window.bar()->text().toStdString();
  }
}

TEST(LooseEnds, SearchWindowOpensOverTheMiddleOfTheProgram) {
  Station s;
  if (!s.load()) GTEST_SKIP() << "demo image missing";
  s.frame.setGeometry(120, 90, 1100, 720);
  s.frame.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&s.frame));
  s.selectDisk();
  s.device->searchLostPartitionsWith(disk::SearchMode::kSector, 0);
  app::SearchListWindow* window = s.device->searchWindow();
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(window->isVisible());
  s.operations.runAll();
  Settle();
  const QPoint offset = window->frameGeometry().center() - s.frame.frameGeometry().center();
  EXPECT_LE(offset.manhattanLength(), 4) << offset.x() << "," << offset.y();

  // Where it opened, drawn over the program as a desktop would show it.
  QPixmap desktop = s.frame.grab();
  QPainter(&desktop).drawPixmap(window->geometry().topLeft() - s.frame.geometry().topLeft(), window->grab());
  const std::filesystem::path dir = ORVALDI_SCREENSHOT_DIR;
  std::filesystem::create_directories(dir);
  EXPECT_TRUE(desktop.save(QString::fromStdString((dir / "search-window-position.png").string())));
}

// Collects Qt's warnings while it lives.
struct Warnings {
  static inline QStringList seen;
  QtMessageHandler previous;
  Warnings()
      : previous(
            qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& text) { seen << text; })) {
    seen.clear();
  }
  ~Warnings() { qInstallMessageHandler(previous); }
};

TEST(LooseEnds, LogoFontIsWrittenWithItsFamilyAndABadOneReadsAsTheDefaultQuietly) {
  QTemporaryDir dir;
  QSettings store(dir.filePath("orvaldi.ini"), QSettings::IniFormat);
  const app::BackgroundSettings defaults;
  Warnings warnings;
  app::SaveBackground(store, defaults);
  const QString written = store.value("Settings/TVLogoFont").toString();
  EXPECT_FALSE(written.section(',', 0, 0).isEmpty()) << written.toStdString();
  EXPECT_EQ(app::LoadShellSettings(store).background.logoFont.family(), defaults.logoFont.family());

  const struct {
    const char* stored;
    const char* family;  // null: the default
  } cases[] = {
      {"", nullptr},
      {",28,-1,5,700,0,0,0,0,0,0,0,0,0,0,1", nullptr},  // what a font without a family used to leave
      {"Sans,12,-1,5", nullptr},
      {"Serif,12,-1,5,700,0,0,0,0,0,0,0,0,0,0,1", "Serif"},
      {"Serif", "Serif"},
  };
  for (const auto& c : cases) {
    store.setValue("Settings/TVLogoFont", c.stored);
    const QFont font = app::LoadShellSettings(store).background.logoFont;
    EXPECT_EQ(font.family(), c.family ? QString(c.family) : defaults.logoFont.family()) << c.stored;
  }
  EXPECT_TRUE(Warnings::seen.filter("QFont").isEmpty()) << Warnings::seen.join("\n").toStdString();
}

QString Stem(const QString& text) {
  const qsizetype gap = text.indexOf("  ");
  return (gap < 0 ? text : text.left(gap)).trimmed();
}

TEST(LooseEnds, HelpShowsTheGuideInTheProgramsOwnWindowAndNamesEveryCommand) {
  ScriptedPrompter prompter;
  app::MainFrame frame(nullptr);
  frame.setDeviceWindow(new QWidget);
  frame.resize(1000, 700);
  frame.show();
  frame.action(app::kCmdHelp)->trigger();
  EXPECT_TRUE(prompter.shown.empty()) << prompter.shown.front().text.toStdString();
  app::HelpWindow* help = frame.helpWindow();
  ASSERT_NE(help, nullptr);
  EXPECT_TRUE(help->isVisible());
  EXPECT_EQ(help->windowTitle(), QString("Orvaldi 使用指南"));
  const QString guide = help->browser()->toPlainText();

  // Every entry of both menus and of the popups is explained by its own text.
  QStringList named;
  for (QAction* popup : frame.menuBar()->actions())
    if (popup->menu())
      for (QAction* entry : popup->menu()->actions())
        if (!entry->text().isEmpty()) named << Stem(entry->text());
  named << "查找文件"
        << "关闭镜像文件"
        << "创建分区镜像文件"
        << "保存当前选中文件"
        << "保存打勾文件"
        << "扫描格式化文件"
        << "扫描删除文件"
        << "镜像"
        << "分区表备份"
        << "分区表恢复"
        << "分区表重建"
        << "开始："
        << "结束：";
  for (const QString& text : named) EXPECT_TRUE(guide.contains(text)) << text.toStdString();

  // A second F1 raises the same window.
  frame.action(app::kCmdHelpInPartition)->trigger();
  EXPECT_EQ(frame.helpWindow(), help);
  EXPECT_EQ(frame.findChildren<app::HelpWindow*>().size(), 1);
  EXPECT_FALSE(SaveScreenshot(*help, "help-window").empty());
}

disk::PartitionInfo Labelled(const std::string& name, uint64_t start, const std::string& label) {
  disk::PartitionInfo p;
  p.name = name;
  p.typeByte = 0x0B;
  p.startSector = start;
  p.sectorCount = 204800;
  p.volumeLabel = label;
  return p;
}

TEST(LooseEnds, DeviceTreeColumnsWidenToTheirTextsButNotBelowTheirFirstWidths) {
  disk::DiskInfoList disks;
  disk::DiskInfo d;
  d.devicePath = "/tmp/labels.img";
  d.vendorId = "labels.img";
  d.sizeBytes = int64_t{1} << 30;
  d.partitions = {Labelled("Partition0", 2048, "DEMO_FAT32")};
  disks.push_back(d);
  ScriptedPrompter prompter;
  app::DeviceWindow window(disks, [](app::OperationRequest) { return false; });
  window.resize(1000, 320);
  window.show();
  Settle();
  QTreeView* tree = window.tree();
  const auto fits = [&](const char* when) {
    for (int c = 0; c < app::DeviceTreeModel::kColumnCount; ++c) {
      EXPECT_GE(tree->columnWidth(c), app::DeviceTreeModel::defaultWidth(c)) << when << " column " << c;
      EXPECT_GE(tree->columnWidth(c), static_cast<QAbstractItemView*>(tree)->sizeHintForColumn(c))
          << when << " column " << c;
    }
  };
  fits("at start");
  EXPECT_GT(tree->columnWidth(app::DeviceTreeModel::kLabelColumn), 50);

  disks.front().partitions.push_back(Labelled("Partition1", 206848, "RECOVERED_PHOTOS_2019_SUMMER"));
  window.refresh();
  Settle();
  fits("after a longer label came");
  const int label = tree->columnWidth(app::DeviceTreeModel::kLabelColumn);
  EXPECT_GE(label, tree->fontMetrics().horizontalAdvance("RECOVERED_PHOTOS_2019_SUMMER"));
  EXPECT_FALSE(SaveScreenshot(window, "device-window-long-label").empty());
}

}  // namespace
}  // namespace orvaldi::test
