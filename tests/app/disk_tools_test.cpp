// The device tree's disk tools: free-space extraction against the command
// line's output, and the partition-table backup, restore and rebuild, each
// run from the main window's commands through the real operation starter.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <regex>

#include <gtest/gtest.h>

#include <QAction>
#include <QElapsedTimer>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeView>
#include <QTreeWidget>

#include "app/device_tree_model.h"
#include "app/device_window.h"
#include "app/free_space_command.h"
#include "app/main_frame.h"
#include "app/operation_starter.h"
#include "app/partition_table_dialogs.h"
#include "app/workstation.h"
#include "demo_workstation.h"
#include "disk/disk_list.h"
#include "disk/lost_partition_search.h"
#include "gui_support.h"
#include "ops/operation_runner.h"
#include "support/test_images.h"

namespace orvaldi::test {
namespace {

namespace stdfs = std::filesystem;

// Answers the tools' dialogs with `onDialog` (Cancel when unset) and their
// file questions from a queue (cancelled once it is empty).
class ScriptedToolAsker final : public app::DiskToolAsker {
 public:
  ScriptedToolAsker() { app::SetDiskToolAsker(this); }
  ~ScriptedToolAsker() override { app::SetDiskToolAsker(nullptr); }
  int exec(QDialog& dialog) override {
    ++dialogs;
    return onDialog ? onDialog(dialog) : QDialog::Rejected;
  }
  QString imgFileName(QWidget*, bool) override {
    if (files.empty()) return {};
    const QString next = files.front();
    files.pop_front();
    return next;
  }
  std::function<int(QDialog&)> onDialog;
  std::deque<QString> files;
  int dialogs = 0;
};

std::vector<uint8_t> ReadAll(const stdfs::path& path) { return LoadImage(path).value_or(std::vector<uint8_t>{}); }

void WriteAt(const stdfs::path& path, uint64_t offset, const std::vector<uint8_t>& bytes) {
  std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
  f.seekp(static_cast<std::streamoff>(offset));
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// The program as main() builds it, over the disks the test puts in.
struct Program : DemoWorkstation {
  explicit Program(disk::DiskInfoList list) {
    disks = std::move(list);
    device->refresh();
  }
  QModelIndex disk(int row = 0) const { return device->model()->index(row, 0); }
  QModelIndex partition(int row) const { return device->model()->index(row, 0, disk()); }
  void select(const QModelIndex& index) const { device->tree()->setCurrentIndex(index); }
  // Runs `command` and waits until `messages` messages were shown in all.
  bool run(int command, size_t messages) {
    frame.action(command)->trigger();
    return WaitFor([&] { return prompter.shown.size() >= messages; });
  }
  QString last() const { return prompter.shown.empty() ? QString() : prompter.shown.back().text; }

  ScriptedToolAsker asker;
};

disk::DiskInfo LoadDisk(const stdfs::path& path) {
  std::string error;
  auto d = disk::LoadSource(path.string(), &error);
  EXPECT_TRUE(d) << error;
  return d ? std::move(*d) : disk::DiskInfo{};
}

// Picks the free-space mode and accepts; the dialog is photographed once.
std::function<int(QDialog&)> FreeSpaceMode(int mode) {
  return [mode](QDialog& dialog) {
    auto* d = qobject_cast<app::CExtractEmptySpaceDlg*>(&dialog);
    if (!d) return int{QDialog::Rejected};
    EXPECT_EQ(d->extractionType(), 0);  // compact is ticked when it opens
    (mode == 1 ? d->layoutButton() : d->compactButton())->setChecked(true);
    if (mode == 1) {
      EXPECT_FALSE(SaveScreenshot(*d, "free_space_dialog").empty());
    }
    d->close();
    return int{QDialog::Accepted};
  };
}

TEST(DiskTools, FreeSpaceEqualsTheCommandLineOnFat32AndNtfs) {
  TempDir dir;
  const auto image = LoadImage(DemoImageGz());
  ASSERT_TRUE(image);
  const stdfs::path demo = dir.write("demo.img", *image);
  Program p({LoadDisk(demo)});

  // The refusals, and a dialog cancelled.
  ASSERT_TRUE(p.run(app::kCmdExtractFreeSpace, 1));
  EXPECT_EQ(p.last(), "请选择分区");
  p.select(p.disk());
  ASSERT_TRUE(p.run(app::kCmdExtractFreeSpace, 2));
  EXPECT_EQ(p.last(), "请正确选择分区");
  EXPECT_EQ(p.prompter.shown.back().title, "error");
  p.select(p.partition(0));
  p.frame.action(app::kCmdExtractFreeSpace)->trigger();
  EXPECT_EQ(p.asker.dialogs, 1);
  EXPECT_EQ(p.prompter.shown.size(), 2u);

  struct Case {
    int partition, mode;
    const char* cliFlags;
  };
  const Case cases[] = {{0, 0, ""}, {0, 1, " --layout"}, {1, 0, ""}, {1, 1, " --layout"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.partition) + c.cliFlags);
    const stdfs::path gui = dir.path() / "gui.img", cli = dir.path() / "cli.img";
    p.select(p.partition(c.partition));
    p.asker.onDialog = FreeSpaceMode(c.mode);
    p.asker.files = {QString::fromStdString(gui.string())};
    // The last run's threads let go of the slot after its end message.
    ASSERT_TRUE(WaitFor([] { return !ops::SlotRefusal(ops::OperationFamily::kFreeSpace, ops::ProcessThreadSlots()); }));
    const size_t before = p.prompter.shown.size();
    p.frame.action(app::kCmdExtractFreeSpace)->trigger();
    // A second start while the first runs is refused.
    p.frame.action(app::kCmdExtractFreeSpace)->trigger();
    ASSERT_TRUE(WaitFor([&] { return p.prompter.shown.size() >= before + 2; }));
    EXPECT_EQ(p.prompter.shown[before].text, "等待当前提取工作完成!");
    EXPECT_EQ(p.prompter.shown[before].title, "waiting");
    EXPECT_EQ(p.prompter.shown.back().title, "sucess");
    EXPECT_TRUE(p.last().startsWith("提取完成！")) << p.last().toStdString();  // FAT as well as NTFS

    const auto run = RunCommand(ShellQuote(CliPath().string()) + " freespace " + ShellQuote(demo.string()) + " " +
                                std::to_string(c.partition) + " --to " + ShellQuote(cli.string()) + c.cliFlags);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto guiBytes = ReadAll(gui);
    EXPECT_GT(guiBytes.size(), 0u);
    EXPECT_TRUE(guiBytes == ReadAll(cli));
    stdfs::remove(gui);
    stdfs::remove(cli);
  }

  // The target may not be the source: the image stays as it was.
  p.asker.onDialog = FreeSpaceMode(0);
  p.asker.files = {QString::fromStdString(demo.string())};
  ASSERT_TRUE(WaitFor([] { return !ops::SlotRefusal(ops::OperationFamily::kFreeSpace, ops::ProcessThreadSlots()); }));
  const size_t before = p.prompter.shown.size();
  p.frame.action(app::kCmdExtractFreeSpace)->trigger();
  ASSERT_TRUE(WaitFor([&] { return p.prompter.shown.size() > before; }));
  EXPECT_EQ(p.prompter.shown.back().title, "error");
  EXPECT_TRUE(p.last().contains("refused")) << p.last().toStdString();
  EXPECT_TRUE(ReadAll(demo) == *image);

  // A region that holds no volume is refused before any dialog.
  p.select(p.disk());
  p.device->createRegion(1, 2047);
  p.select(p.partition(static_cast<int>(p.disks.front().partitions.size()) - 1));
  const int dialogs = p.asker.dialogs;
  ASSERT_TRUE(p.run(app::kCmdExtractFreeSpace, p.prompter.shown.size() + 1));
  EXPECT_TRUE(p.last().startsWith("不支持此分区")) << p.last().toStdString();
  EXPECT_EQ(p.asker.dialogs, dialogs);
}

TEST(DiskTools, FreeSpaceEndTellsWhatWasNotCopied) {
  struct Case {
    platform::Status status;
    ops::RefusalKind refused;
    const char* title;
    const char* starts;
  };
  const Case cases[] = {
      {platform::Status::kOk, ops::RefusalKind::kNone, "sucess", "提取完成！"},
      {platform::Status::kPartial, ops::RefusalKind::kNone, "warning", "提取未完整"},
      {platform::Status::kCancelled, ops::RefusalKind::kNone, "warning", "提取已停止"},
      {platform::Status::kRefused, ops::RefusalKind::kVolume, "error", "此分区不是"},
      {platform::Status::kFailed, ops::RefusalKind::kNone, "error", "提取失败"},
  };
  for (const Case& c : cases) {
    ops::FreeSpaceOutcome outcome;
    outcome.status = c.status;
    outcome.refused = c.refused;
    outcome.result.unreadableClusters = {7, 9};
    const app::FreeSpaceEnd end = app::FreeSpaceEndText(outcome, "out.img");
    EXPECT_EQ(end.title, c.title) << c.starts;
    EXPECT_TRUE(end.text.startsWith(c.starts)) << end.text.toStdString();
    if (c.status == platform::Status::kPartial) {
      EXPECT_TRUE(end.text.contains("7，9"));
    }
  }
}

// Ticks `choice` in "分区表操作" and accepts (a photograph of it on the way).
std::function<int(QDialog&)> Choose(app::PartTableChoice choice, std::function<int(QDialog&)> next = {}) {
  return [choice, next](QDialog& dialog) {
    if (auto* d = qobject_cast<app::CPartTableOperator*>(&dialog)) {
      if (choice == app::PartTableChoice::kBackup) d->backupButton()->setChecked(true);
      if (choice == app::PartTableChoice::kRestore) d->restoreButton()->setChecked(true);
      if (choice == app::PartTableChoice::kRebuild) {
        d->rebuildButton()->setChecked(true);
        EXPECT_FALSE(SaveScreenshot(*d, "partition_table_operator").empty());
        d->close();
      }
      return int{QDialog::Accepted};
    }
    return next ? next(dialog) : int{QDialog::Rejected};
  };
}

TEST(DiskTools, PartitionTableRefusals) {
  TempDir dir;
  const auto image = LoadImage(DemoImageGz());
  ASSERT_TRUE(image);
  Program p({LoadDisk(dir.write("demo.img", *image))});
  using C = app::PartTableChoice;
  struct Case {
    C choice;
    int select;  // -2 none, -1 the disk, else a partition
    const char* text;
  };
  const Case cases[] = {
      {C::kNone, -1, "请选择分区操作类型！"}, {C::kBackup, -2, "没有选择磁盘"},   {C::kBackup, 0, "没有正确选择磁盘"},
      {C::kRestore, 1, "请正确选择磁盘"},     {C::kRebuild, 0, "请正确选择磁盘"},
  };
  for (const Case& c : cases) {
    p.select(c.select == -2 ? QModelIndex() : c.select == -1 ? p.disk() : p.partition(c.select));
    p.asker.onDialog = Choose(c.choice);
    const size_t before = p.prompter.shown.size();
    // The device tree's own menu command reaches the same tool.
    emit p.device->partitionTableRequested();
    ASSERT_EQ(p.prompter.shown.size(), before + 1) << c.text;
    EXPECT_EQ(p.last(), c.text);
    EXPECT_EQ(p.prompter.shown.back().title, "error");
  }
  EXPECT_TRUE(ReadAll(dir.path() / "demo.img") == *image);
}

TEST(DiskTools, BackupMadeInTheDialogRestoresByteExactAfterAskingAgain) {
  TempDir dir;
  const auto image = LoadImage(FixturesDir() / "ptables/mbr-ext.img.gz");
  ASSERT_TRUE(image);
  const stdfs::path disk = dir.write("disk.img", *image);
  const stdfs::path other = dir.write("other.img", *image);
  stdfs::create_directory(dir.path() / "copy");
  const stdfs::path twin = dir.write("copy/disk.img", *image);  // the same name, another path
  const QString backup = QString::fromStdString((dir.path() / "table.img").string());
  Program p({LoadDisk(disk), LoadDisk(other), LoadDisk(twin)});
  using C = app::PartTableChoice;

  p.select(p.disk(0));
  p.asker.onDialog = Choose(C::kBackup);
  p.asker.files = {backup};
  ASSERT_TRUE(p.run(app::kCmdPartitionTable, 1));
  EXPECT_EQ(p.last(), "备份成功");
  EXPECT_EQ(p.prompter.shown.back().title, "sucess");

  WriteAt(disk, 0, std::vector<uint8_t>(512, 0));  // the MBR wiped
  auto wiped = ReadAll(disk);

  // Another disk's backup is refused; the question's "no" writes nothing.
  p.select(p.disk(1));
  p.asker.onDialog = Choose(C::kRestore);
  p.asker.files = {backup};
  ASSERT_TRUE(p.run(app::kCmdPartitionTable, 2));
  EXPECT_TRUE(p.last().startsWith("备份信息与磁盘不对应")) << p.last().toStdString();
  // A disk of the same name elsewhere is not the one the backup was taken from.
  p.select(p.disk(2));
  p.asker.files = {backup};
  ASSERT_TRUE(p.run(app::kCmdPartitionTable, 3));
  EXPECT_TRUE(p.last().startsWith("备份信息与磁盘不对应")) << p.last().toStdString();
  p.select(p.disk(0));
  p.asker.files = {backup};
  p.prompter.answers = {QMessageBox::No};
  ASSERT_TRUE(p.run(app::kCmdPartitionTable, 4));
  EXPECT_TRUE(p.last().contains("字节偏移 0（扇区 0）")) << p.last().toStdString();
  EXPECT_TRUE(p.last().contains("警告：磁盘与备份时不同"));  // its sector 0 changed since
  EXPECT_TRUE(ReadAll(disk) == wiped);
  EXPECT_TRUE(ReadAll(other) == *image);
  EXPECT_TRUE(ReadAll(twin) == *image);

  p.asker.files = {backup};
  p.prompter.answers = {QMessageBox::Yes};
  ASSERT_TRUE(p.run(app::kCmdPartitionTable, 6));
  EXPECT_EQ(p.last(), "恢复成功");
  EXPECT_TRUE(ReadAll(disk) == *image);
}

TEST(DiskTools, RebuildFromTheSearchWritesTheTableSfdiskExpects) {
  if (RunCommand("sfdisk --version").exitCode != 0) GTEST_SKIP() << "sfdisk is not installed";
  TempDir dir;
  const auto image = LoadImage(FixturesDir() / "lost/lost.img.gz");
  ASSERT_TRUE(image);
  const stdfs::path path = dir.write("lost.img", *image);
  disk::DiskInfo d = LoadDisk(path);
  platform::ProgressBlock block;
  ASSERT_EQ(disk::SearchLostPartitions(d, disk::SearchMode::kSector, 0, block), 1);
  // One more than a table holds: a found FAT32 record of no volume.
  disk::PartitionInfo extra;
  extra.typeByte = 0x0C;
  extra.origin = disk::PartitionOrigin::kFound;
  extra.startSector = 122880;
  extra.sectorCount = 4096;
  d.partitions.push_back(extra);
  Program p({std::move(d)});
  p.select(p.disk());

  const QString backup = QString::fromStdString((dir.path() / "before.img").string());
  std::vector<size_t> tick;
  int listed = 0;
  p.asker.onDialog = Choose(app::PartTableChoice::kRebuild, [&](QDialog& dialog) {
    auto* list = qobject_cast<app::CRebuildParTable*>(&dialog);
    if (!list) return int{QDialog::Rejected};
    listed = list->list()->topLevelItemCount();
    for (size_t row : tick) list->setChecked(row, true);
    if (tick.size() == 4) {
      EXPECT_FALSE(SaveScreenshot(*list, "rebuild_partition_table").empty());
      list->backupButton()->click();  // "分区表备份" first, as the warning asks
    }
    list->saveButton()->click();
    list->close();
    return list->result();
  });

  struct Step {
    std::vector<size_t> rows;
    QMessageBox::StandardButton answer;
    const char* last;
  };
  const Step steps[] = {
      {{0, 1, 2, 3, 4}, QMessageBox::Ok, "选择错误，请从新选择"},
      {{0, 1, 2, 3}, QMessageBox::No, "确定写入吗？"},
  };
  for (const Step& s : steps) {
    tick = s.rows;
    p.prompter.answers = {s.answer};
    p.asker.files = {backup};
    const size_t before = p.prompter.shown.size();
    p.frame.action(app::kCmdPartitionTable)->trigger();
    ASSERT_GT(p.prompter.shown.size(), before);
    EXPECT_TRUE(p.last().endsWith(s.last)) << p.last().toStdString();
    EXPECT_TRUE(ReadAll(path) == *image);
  }
  EXPECT_EQ(listed, 5);
  EXPECT_EQ(p.prompter.shown[p.prompter.shown.size() - 2].text, "备份成功");
  EXPECT_TRUE(p.last().contains("分区项 0：类型 0x06，起始扇区 2048，扇区数 14016")) << p.last().toStdString();

  tick = {0, 1, 2, 3};
  p.prompter.answers = {QMessageBox::Yes};
  p.asker.files = {QString::fromStdString((dir.path() / "again.img").string())};
  p.frame.action(app::kCmdPartitionTable)->trigger();
  EXPECT_EQ(p.prompter.shown.back().title, "sucess");
  const auto dump = RunCommand("sfdisk --dump " + ShellQuote(path.string()));
  ASSERT_EQ(dump.exitCode, 0) << dump.err;
  std::string found;
  const std::regex row(R"(start=\s*(\d+), size=\s*(\d+), type=(\w+))");
  for (std::sregex_iterator it(dump.out.begin(), dump.out.end(), row), end; it != end; ++it)
    found += (*it)[1].str() + "+" + (*it)[2].str() + ":" + (*it)[3].str() + " ";
  // The table sfdisk wrote before the wipe, the logical volume made primary.
  EXPECT_EQ(found, "2048+14016:6 16065+16065:7 32130+69632:b 112518+8192:6 ") << dump.out;
  const auto after = ReadAll(path);
  EXPECT_TRUE(std::equal(after.begin() + 512, after.end(), image->begin() + 512));
}

// Figures for bench/gui_tools_bench.sh: "提取分区空闲空间" of partition 0 of a
// large image, from the command to its end message, through the real starter.
TEST(FreeSpaceBench, ExtractsTheFreeSpaceOfALargeImage) {
  const char* image = std::getenv("ORVALDI_GUI_BENCH_IMAGE");
  const char* target = std::getenv("ORVALDI_GUI_BENCH_TARGET");
  if (!image || !*image || !target || !*target) GTEST_SKIP() << "set ORVALDI_GUI_BENCH_IMAGE and _TARGET";
  Program p({LoadDisk(image)});
  p.select(p.partition(0));
  p.asker.onDialog = FreeSpaceMode(0);
  p.asker.files = {QString::fromStdString((stdfs::path(target) / "gui.free").string())};
  QElapsedTimer timer;
  timer.start();
  p.frame.action(app::kCmdExtractFreeSpace)->trigger();
  ASSERT_TRUE(WaitInLoop([&] { return !p.prompter.shown.empty(); }));
  const double seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
  EXPECT_TRUE(p.last().startsWith("提取完成！")) << p.last().toStdString();
  std::printf("freespace %.3f s\n", seconds);
}

}  // namespace
}  // namespace orvaldi::test
