// The shell: settings kept between runs, the region dialog's units and
// checks, the main frame's menus, tabs, keys and exit question, Qt's own
// texts in Chinese and the about box.
#include <cstdint>
#include <optional>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QLabel>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QMdiSubWindow>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTranslator>

#include <gtest/gtest.h>

#include "app/about_dialog.h"
#include "app/main_frame.h"
#include "app/region_dialog.h"
#include "app/settings.h"
#include "app/translations.h"
#include "gui_support.h"

namespace orvaldi::test {
namespace {

using app::RegionUnit;

TEST(ShellSettings, RoundTripKeepsPlacementChildStateAndBackground) {
  QTemporaryDir dir;
  const QString path = dir.filePath("orvaldi.ini");
  app::WindowPlacement placement;
  placement.flags = app::WindowPlacement::kRestoreToMaximized;
  placement.showState = app::WindowPlacement::kShowMaximized;
  placement.left = 10;
  placement.top = 20;
  placement.right = 810;
  placement.bottom = 620;
  app::BackgroundSettings background;
  background.logoFont = QFont("WenQuanYi Micro Hei", 30);
  background.logoColor = QColor(1, 2, 3);
  background.backColor = QColor(200, 100, 50);
  background.fit = app::PictureFit::kStretch;
  background.usePicture = true;
  background.fileName = "/tmp/背景.png";
  {
    QSettings store(path, QSettings::IniFormat);
    app::SaveWindowPlacement(store, placement);
    app::SaveChildWinState(store, false);
    app::SaveBackground(store, background);
  }
  QSettings store(path, QSettings::IniFormat);
  EXPECT_EQ(store.value("Settings/TVWindowPos").toString(), QString("2,3,-1,-1,-1,-1,10,20,810,620"));
  const app::ShellSettings loaded = app::LoadShellSettings(store);
  EXPECT_EQ(loaded.placement, placement);
  EXPECT_FALSE(loaded.childMaximized);
  EXPECT_EQ(loaded.background, background);
}

TEST(ShellSettings, PlacementIsUsedOnlyWhenExactlyTenNumbersParse) {
  const struct {
    const char* text;
    bool used;
  } cases[] = {
      {"0,1,-1,-1,-1,-1,0,0,640,480", true},    {"0,1,-1,-1,-1,-1,0,0,640", false},
      {"0,1,-1,-1,-1,-1,0,0,640,480,7", false}, {"0,1,-1,-1,-1,-1,0,0,640,x", false},
      {"-2,1,-1,-1,-1,-1,0,0,640,480", false},  {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(app::ParsePlacement(c.text).has_value(), c.used) << c.text;
}

TEST(RegionDialog, UnitsConvertToWholeSectors) {
  const struct {
    const char* text;
    RegionUnit unit;
    std::optional<uint64_t> sectors;
  } cases[] = {
      {"2048", RegionUnit::kSectors, 2048},
      {" 7 ", RegionUnit::kSectors, 7},
      {"1.5", RegionUnit::kSectors, std::nullopt},
      {"abc", RegionUnit::kSectors, std::nullopt},
      {"", RegionUnit::kSectors, std::nullopt},
      {"1.5", RegionUnit::kGigabytes, 3145728},
      {"0.1", RegionUnit::kGigabytes, 209715},           // 209715.2 truncated
      {"1234.567", RegionUnit::kGigabytes, 2589074653},  // single precision gives 2589074687
      {"1", RegionUnit::kMegabytes, 2048},
      {"3.3", RegionUnit::kKilobytes, 6},
      {"-1", RegionUnit::kKilobytes, std::nullopt},
      {"1e30", RegionUnit::kGigabytes, UINT64_MAX},
  };
  for (const auto& c : cases)
    EXPECT_EQ(app::SectorsFromText(c.text, c.unit), c.sectors) << c.text << " unit " << static_cast<int>(c.unit);
}

TEST(RegionDialog, TakesAStartAndAnEndSectorAndWritesSectorCountsBack) {
  constexpr uint64_t kDiskBytes = 1ull << 30;  // 2097152 sectors
  const struct {
    const char* start;
    RegionUnit startUnit;
    const char* end;
    RegionUnit endUnit;
    const char* message;  // null: accepted
    uint64_t endSector;
  } cases[] = {
      // The second field is the sector after the last one, not a size:
      // 2048 to 83968 is a 40 MiB region.
      {"2048", RegionUnit::kSectors, "83968", RegionUnit::kSectors, nullptr, 83968},
      {"1", RegionUnit::kMegabytes, "1536", RegionUnit::kKilobytes, nullptr, 3072},
      {"0", RegionUnit::kSectors, "1", RegionUnit::kGigabytes, nullptr, 2097152},  // the whole disk
      {"1", RegionUnit::kMegabytes, "0", RegionUnit::kSectors, "数值填写错误，请改写！", 0},
      {"2048", RegionUnit::kSectors, "1", RegionUnit::kMegabytes, "数值填写错误，请改写！", 0},  // empty
      {"4096", RegionUnit::kSectors, "2048", RegionUnit::kSectors, "数值填写错误，请改写！", 0},
      {"x", RegionUnit::kSectors, "10", RegionUnit::kSectors, "数值填写错误，请改写！", 0},
      {"0", RegionUnit::kSectors, "2097153", RegionUnit::kSectors, "数值填写过大，请改写！", 0},
      {"2048", RegionUnit::kSectors, "1.5", RegionUnit::kGigabytes, "数值填写过大，请改写！", 0},
  };
  for (const auto& c : cases) {
    ScriptedPrompter prompter;
    app::RegionDialog dialog(kDiskBytes);
    EXPECT_EQ(dialog.startUnit()->currentText(), QString("Sec"));
    dialog.show();
    dialog.startEdit()->clear();
    QTest::keyClicks(dialog.startEdit(), c.start);
    dialog.startUnit()->setCurrentIndex(static_cast<int>(c.startUnit));
    dialog.endEdit()->clear();
    QTest::keyClicks(dialog.endEdit(), c.end);
    dialog.endUnit()->setCurrentIndex(static_cast<int>(c.endUnit));
    QTest::mouseClick(dialog.okButton(), Qt::LeftButton);
    if (c.message) {
      ASSERT_EQ(prompter.shown.size(), 1u) << c.start << " " << c.end;
      EXPECT_EQ(prompter.shown[0].text, QString(c.message));
      EXPECT_TRUE(dialog.isVisible());
      EXPECT_FALSE(dialog.range());
    } else {
      EXPECT_TRUE(prompter.shown.empty()) << c.start << " " << c.end;
      ASSERT_TRUE(dialog.range());
      EXPECT_EQ(dialog.range()->startSector, *app::SectorsFromText(c.start, c.startUnit));
      EXPECT_EQ(dialog.range()->endSector, c.endSector);
      EXPECT_EQ(dialog.result(), QDialog::Accepted);
    }
    // A second "确定" must not scale the converted counts again.
    if (app::SectorsFromText(c.end, c.endUnit)) {
      EXPECT_EQ(dialog.endEdit()->text().toULongLong(), *app::SectorsFromText(c.end, c.endUnit));
      EXPECT_EQ(dialog.endUnit()->currentText(), QString("Sec"));
    }
  }
  // The field is labelled by what it holds.
  app::RegionDialog shown(uint64_t{4} << 30);
  QStringList labels;
  for (const QLabel* label : shown.findChildren<QLabel*>()) labels << label->text();
  EXPECT_TRUE(labels.contains("结束：")) << labels.join(" ").toStdString();
  EXPECT_FALSE(labels.contains("大小："));
  shown.startEdit()->setText("2048");
  shown.endEdit()->setText("83968");
  EXPECT_FALSE(SaveScreenshot(shown, "region-dialog").empty());
}

TEST(MainFrame, MenusTabsKeysAndExitQuestion) {
  QTemporaryDir dir;
  QSettings store(dir.filePath("orvaldi.ini"), QSettings::IniFormat);
  ScriptedPrompter prompter;
  app::MainFrame frame(&store);
  frame.setDeviceWindow(new QWidget);
  frame.resize(1000, 640);
  frame.show();
  QApplication::setActiveWindow(&frame);
  ASSERT_TRUE(QTest::qWaitForWindowActive(&frame));

  EXPECT_EQ(frame.action(app::kCmdOpenImage)->text(), QString("打开镜像文件     Ctrl+O"));
  EXPECT_FALSE(frame.action(app::kCmdLoadPartitionInfo)->isEnabled());
  EXPECT_FALSE(frame.partitionMenusShown());
  EXPECT_EQ(frame.activeTabIndex(), 0);
  EXPECT_FALSE(frame.closeActiveDocumentWindow());
  EXPECT_FALSE(SaveScreenshot(frame, "main-window").empty());

  auto* partition = new QWidget;
  frame.addDocumentWindow(partition, "demo.imgPartition0");
  EXPECT_TRUE(frame.partitionMenusShown());
  EXPECT_EQ(frame.activeTabIndex(), 1);
  EXPECT_EQ(frame.findDocumentWindow("demo.imgPartition0"), partition);

  // Ctrl+S is listed twice in the key table; it must reach the ticked-files save.
  int ticked = 0;
  QObject::connect(frame.action(app::kCmdRecoverTicked), &QAction::triggered, [&] { ++ticked; });
  QTest::keyClick(&frame, Qt::Key_S, Qt::ControlModifier);
  EXPECT_EQ(ticked, 1);

  QTest::keyClick(&frame, Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier);
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_EQ(frame.findDocumentWindow("demo.imgPartition0"), nullptr);
  EXPECT_EQ(frame.activeTabIndex(), 0);
  EXPECT_FALSE(frame.partitionMenusShown());
  EXPECT_NE(frame.deviceWindow(), nullptr);

  prompter.answers = {QMessageBox::Cancel};
  QTest::keyClick(&frame, Qt::Key_F4, Qt::ControlModifier);
  ASSERT_EQ(prompter.shown.size(), 1u);
  EXPECT_EQ(prompter.shown[0].text, QString("您真的要退出程序吗?"));
  EXPECT_TRUE(frame.isVisible());
  EXPECT_FALSE(store.contains("Settings/TVWindowPos"));

  prompter.answers = {QMessageBox::Ok};
  EXPECT_TRUE(frame.close());
  EXPECT_TRUE(app::ParsePlacement(store.value("Settings/TVWindowPos").toString()).has_value());
}

TEST(ShellTexts, QtsOwnButtonsSpeakChineseWhenItsTranslationIsInstalled) {
  const QString file = QLibraryInfo::path(QLibraryInfo::TranslationsPath) + "/qtbase_zh_CN.qm";
  if (!QFileInfo::exists(file)) GTEST_SKIP() << file.toStdString() << " is not installed";
  QTranslator* translator = app::InstallQtChineseTexts();
  ASSERT_NE(translator, nullptr);
  // The buttons Qt labels itself, as in its message boxes and file dialogs
  // (asked of this translator: the tests' main installs one of its own).
  const QString ok = translator->translate("QPlatformTheme", "OK");
  const QString cancel = translator->translate("QPlatformTheme", "Cancel");
  QCoreApplication::removeTranslator(translator);
  delete translator;
  EXPECT_EQ(ok, QString("确定"));
  EXPECT_EQ(cancel, QString("取消"));
}

TEST(ShellTexts, AboutBoxSaysWhatTheProgramDoes) {
  app::AboutDialog about;
  auto* text = about.findChild<QLabel*>("aboutText");
  ASSERT_NE(text, nullptr);
  EXPECT_TRUE(text->text().startsWith("<b>Orvaldi ")) << text->text().toStdString();
  EXPECT_FALSE(SaveScreenshot(about, "about_box").empty());
}

}  // namespace
}  // namespace orvaldi::test
