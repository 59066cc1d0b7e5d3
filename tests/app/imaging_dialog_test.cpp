// The "镜像" dialog in the real frame and device window: its refusals, a
// copy through the real starter of a disk with unreadable sectors (compared
// with the command-line tool's), stop and resume through the map, and a
// partition's copy.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTreeView>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include "app/device_tree_model.h"
#include "app/device_window.h"
#include "app/imaging_dialog.h"
#include "app/main_frame.h"
#include "app/operation_starter.h"
#include "app/workstation.h"
#include "demo_workstation.h"
#include "gui_support.h"
#include "ops/operation_runner.h"
#include "support/faulty_mount.h"
#include "support/test_images.h"

namespace orvaldi::test {
namespace {

namespace stdfs = std::filesystem;

std::vector<uint8_t> ReadAll(const stdfs::path& path) { return LoadImage(path).value_or(std::vector<uint8_t>{}); }

// The whole shell with the real starter, as main() puts it together.
struct Program : DemoWorkstation {
  bool open(const stdfs::path& image) { return device->openImage(QString::fromStdString(image.string())); }
  // Selects disk `disk` (or its partition `part`) and runs "创建镜像文件".
  app::ImagingDialog* command(int disk, int part = -1) {
    QModelIndex index = device->model()->index(disk, 0);
    if (part >= 0) index = device->model()->index(part, 0, index);
    device->tree()->setCurrentIndex(index);
    frame.action(app::kCmdCreateImage)->trigger();
    return frame.findChild<app::ImagingDialog*>();
  }
  // The copy ended and its threads let go of the imaging slot, so that the
  // next start is not refused.
  static bool Ended(const app::ImagingDialog& dialog) {
    return WaitFor([&] {
      return !dialog.running() && !ops::SlotRefusal(ops::OperationFamily::kImage, ops::ProcessThreadSlots());
    });
  }
  // Starts the copy and waits for its end.
  bool run(app::ImagingDialog& dialog) {
    dialog.start();
    return Ended(dialog);
  }
  const ScriptedPrompter::Shown* last() const { return prompter.shown.empty() ? nullptr : &prompter.shown.back(); }
};

TEST(ImagingDialog, RefusesWhatCannotBeCopied) {
  const auto image = LoadImage(DemoImageGz());
  ASSERT_TRUE(image);
  Program p;
  const stdfs::path source = p.dir.write("demo.img", *image);
  const stdfs::path other = p.dir.write("other.img", std::vector<uint8_t>(1 << 20));
  ASSERT_TRUE(p.open(source) && p.open(other));

  p.device->tree()->setCurrentIndex({});
  p.frame.action(app::kCmdCreateImage)->trigger();
  ASSERT_NE(p.last(), nullptr);
  EXPECT_EQ(p.last()->title, "error");
  EXPECT_EQ(p.last()->text, "请选择源文件");
  EXPECT_EQ(p.frame.findChild<app::ImagingDialog*>(), nullptr);

  app::ImagingDialog* d = p.command(0);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->windowTitle(), "镜像");
  EXPECT_EQ(d->sourceEdit()->text(), "demo.img");
  EXPECT_EQ(d->countEdit()->text(), "131072");
  EXPECT_TRUE(d->toDiskButton()->isChecked());
  EXPECT_FALSE(d->pathEdit()->isEnabled());
  EXPECT_TRUE(d->badList()->isHidden());

  const std::string sourceText = source.string();
  const struct {
    const char* source;
    const char* count;
    const char* start;
    bool toDisk;
    const char* target;
    const char* targetStart;
    std::string path;
    const char* title;
    std::string text;  // what the message starts with
  } cases[] = {
      {"", "131072", "0", false, "", "0", "x.img", "error", "请选择源磁盘信息"},
      {"no such disk", "131072", "0", false, "", "0", "x.img", "error", "请选择源磁盘信息"},
      {"demo.img", "", "0", false, "", "0", "x.img", "error", "请填写源磁盘镜像大小"},
      {"demo.img", "131072", "", false, "", "0", "x.img", "error", "请填写源磁盘镜像起始扇区"},
      {"demo.img", "131072", "0", true, "", "0", "", "error", "请选择目标磁盘信息"},
      {"demo.img", "131072", "0", true, "other.img", "", "", "error", "请填写目标磁盘镜像起始扇区"},
      {"demo.img", "131072", "0", true, "demo.img", "0", "", "error", sourceText + ": refused"},
      // A partition of the source lies on it.
      {"demo.img", "131072", "0", true, "demo.img,", "0", "", "error", sourceText + ": refused"},
      {"demo.img", "131072", "0", false, "", "0", "", "error", "请选择目标文件路径"},
      {"demo.img", "131072", "0", false, "", "0", sourceText, "error", sourceText + ": refused"},
      // Writing a disk asks first; declined, nothing is written.
      {"demo.img", "131072", "0", true, "other.img", "0", "", "警告", "该操作可能破坏目标磁盘"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.source) + " -> " + c.target + c.path);
    QString target = c.target;
    if (target == "demo.img,") target = app::ImagingDialog::NameOf(p.disks.front(), &p.disks.front().partitions[0]);
    d->sourceEdit()->setText(c.source);
    d->countEdit()->setText(c.count);
    d->startEdit()->setText(c.start);
    (c.toDisk ? d->toDiskButton() : d->toFileButton())->setChecked(true);
    d->targetEdit()->setText(target);
    d->targetStartEdit()->setText(c.targetStart);
    d->pathEdit()->setText(QString::fromStdString(c.path));
    p.prompter.answers = {QMessageBox::Cancel};
    const size_t before = p.prompter.shown.size();
    d->start();
    ASSERT_EQ(p.prompter.shown.size(), before + 1);
    EXPECT_EQ(p.last()->title, c.title);
    if (!c.text.empty())
      EXPECT_TRUE(p.last()->text.startsWith(QString::fromStdString(c.text))) << p.last()->text.toStdString();
    EXPECT_FALSE(d->running());
  }
  EXPECT_EQ(ReadAll(other), std::vector<uint8_t>(1 << 20));

  // A click on the tree fills the field that had the focus last.
  d->targetEdit()->setText("");
  d->show();
  QApplication::setActiveWindow(d);
  d->targetEdit()->setFocus();
  QApplication::processEvents();
  QTreeWidgetItem* part = d->tree()->topLevelItem(0)->child(1);
  ASSERT_NE(part, nullptr);
  QTest::mouseClick(d->tree()->viewport(), Qt::LeftButton, {}, d->tree()->visualItemRect(part).center());
  EXPECT_EQ(d->targetEdit()->text(), app::ImagingDialog::NameOf(p.disks.front(), &p.disks.front().partitions[1]));
  EXPECT_EQ(d->sourceEdit()->text(), "demo.img");
}

// The image and the bad sectors of a copy of a disk with unreadable sectors
// are the command-line tool's; a stop keeps the map, the next start resumes
// from it, and a last start on the healed disk reads only what was bad.
TEST(ImagingDialog, CopiesAFaultyDiskAsTheCommandLineDoesAndResumesFromItsMap) {
  if (!FaultyMount::Available()) GTEST_SKIP() << "no /dev/fuse on this machine";
  const auto image = LoadImage(DemoImageGz());
  ASSERT_TRUE(image);
  Program p;
  const stdfs::path plain = p.dir.write("demo.img", *image);
  const std::string bad = "100,2050-2052,90000,131071";
  FaultyMount mount(plain, bad);
  ASSERT_TRUE(mount.ok()) << mount.error();
  const stdfs::path cliImage = p.dir.path() / "cli.img";
  const auto cli = RunCommand(CliPath().string() + " image " + ShellQuote(mount.path().string()) + " --to " +
                              ShellQuote(cliImage.string()));
  ASSERT_NE(cli.exitCode, 0) << cli.err;  // incomplete work never exits 0
  std::vector<std::pair<std::string, std::string>> cliRows;
  std::istringstream lines(cli.out);
  for (std::string line; std::getline(lines, line);)
    if (const size_t tab = line.find('\t'); tab != std::string::npos)
      cliRows.emplace_back(line.substr(0, tab), line.substr(tab + 1));
  ASSERT_EQ(cliRows.size(), 6u) << cli.out;

  ASSERT_TRUE(p.open(mount.path()));
  app::ImagingDialog* d = p.command(0);
  ASSERT_NE(d, nullptr);
  const stdfs::path target = p.dir.path() / "gui.img";
  const stdfs::path map = p.dir.path() / "gui.map";
  d->toFileButton()->setChecked(true);
  d->pathEdit()->setText(QString::fromStdString(target.string()));
  d->mapEdit()->setText(QString::fromStdString(map.string()));
  EXPECT_TRUE(d->mapNote()->text().startsWith("开始后新建映射文件"));

  // Stopped at once: no "镜像完毕", the map kept; the command and the
  // button refuse while it runs.
  const size_t before = p.prompter.shown.size();
  d->start();
  ASSERT_TRUE(d->running());
  QTest::mouseClick(d->stopButton(), Qt::LeftButton);
  p.frame.action(app::kCmdCreateImage)->trigger();
  ASSERT_EQ(p.prompter.shown.size(), before + 1);
  EXPECT_EQ(p.last()->title, "waiting");
  EXPECT_EQ(p.last()->text, "等待当前操作完成！");
  ASSERT_TRUE(Program::Ended(*d));
  EXPECT_EQ(p.prompter.shown.size(), before + 1);
  EXPECT_TRUE(stdfs::exists(map));
  EXPECT_TRUE(d->isHidden());
  EXPECT_TRUE(d->mapNote()->text().startsWith("映射文件已存在"));
  // Closing the window stops it as well.
  d->start();
  ASSERT_TRUE(d->running());
  d->close();
  ASSERT_TRUE(Program::Ended(*d));
  EXPECT_EQ(p.prompter.shown.size(), before + 1);

  // Resumed to the end: a partial copy is said as such.
  ASSERT_TRUE(p.run(*d));
  ASSERT_NE(p.last(), nullptr);
  EXPECT_EQ(p.last()->title, "警告");
  EXPECT_TRUE(p.last()->text.startsWith("镜像完毕\n6 个扇区无法读取")) << p.last()->text.toStdString();
  ASSERT_FALSE(d->badList()->isHidden());
  ASSERT_EQ(d->badList()->topLevelItemCount(), 6);
  for (int row = 0; row < 6; ++row) {
    const QTreeWidgetItem* item = d->badList()->topLevelItem(row);
    EXPECT_EQ(item->text(0).toStdString(), cliRows[static_cast<size_t>(row)].first);
    EXPECT_EQ(item->text(1).toStdString(), cliRows[static_cast<size_t>(row)].second);
  }
  EXPECT_TRUE(ReadAll(target) == ReadAll(cliImage));
  SaveScreenshot(*d, "imaging-dialog");

  // The disk healed: only the bad sectors are read again.
  p.disks.front().devicePath = plain.string();
  ASSERT_TRUE(p.run(*d));
  EXPECT_EQ(p.last()->title, "sucess");
  EXPECT_EQ(p.last()->text, "镜像完毕");
  EXPECT_EQ(d->sectorsText()->text(), "6");
  EXPECT_TRUE(ReadAll(target) == ReadAll(plain));
}

TEST(ImagingDialog, APartitionsCopyIsItsRange) {
  const auto image = LoadImage(DemoImageGz());
  ASSERT_TRUE(image);
  Program p;
  const stdfs::path source = p.dir.write("demo.img", *image);
  ASSERT_TRUE(p.open(source));
  p.device->tree()->setCurrentIndex(p.device->model()->index(1, 0, p.device->model()->index(0, 0)));
  emit p.device->partitionImagingRequested();
  app::ImagingDialog* d = p.frame.findChild<app::ImagingDialog*>();
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->sourceEdit()->text(), app::ImagingDialog::NameOf(p.disks.front(), &p.disks.front().partitions[1]));
  EXPECT_EQ(d->countEdit()->text(), "40960");
  const stdfs::path target = p.dir.path() / "ntfs.img";
  d->toFileButton()->setChecked(true);
  d->pathEdit()->setText(QString::fromStdString(target.string()));
  d->startEdit()->setText("8");
  ASSERT_TRUE(p.run(*d));
  EXPECT_EQ(p.last()->text, "镜像完毕");
  EXPECT_TRUE(d->isHidden());
  const std::vector<uint8_t> all = ReadAll(source);
  const auto from = all.begin() + (83968 + 8) * 512ll;
  EXPECT_TRUE(ReadAll(target) == std::vector<uint8_t>(from, from + (40960 - 8) * 512ll));

  // A target that takes no write stops the copy with the message.
  if (stdfs::exists("/dev/full")) {
    d->pathEdit()->setText("/dev/full");
    ASSERT_TRUE(p.run(*d));
    EXPECT_EQ(p.last()->title, "error");
    EXPECT_EQ(p.last()->text, "磁盘有坏道，请重新选择目标文件");
  }
}

// Figures for bench/gui_tools_bench.sh: the dialog's copy of a large image
// into a file, from "开始" to its end, through the real starter.
TEST(ImagingBench, CopiesALargeImageToAFile) {
  const char* image = std::getenv("ORVALDI_GUI_BENCH_IMAGE");
  const char* target = std::getenv("ORVALDI_GUI_BENCH_TARGET");
  if (!image || !*image || !target || !*target) GTEST_SKIP() << "set ORVALDI_GUI_BENCH_IMAGE and _TARGET";
  Program p;
  ASSERT_TRUE(p.open(image));
  app::ImagingDialog* d = p.command(0);
  ASSERT_NE(d, nullptr);
  d->toFileButton()->setChecked(true);
  d->pathEdit()->setText(QString::fromStdString((stdfs::path(target) / "gui.img").string()));
  QElapsedTimer timer;
  timer.start();
  d->start();
  ASSERT_TRUE(WaitInLoop([&] { return !d->running(); }));
  const double seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
  ASSERT_NE(p.last(), nullptr);
  EXPECT_EQ(p.last()->text, "镜像完毕");
  std::printf("image %.3f s\n", seconds);
}

}  // namespace
}  // namespace orvaldi::test
