// Getting files back through the desktop program: the real frame, device
// window and starter, the save commands of a partition window, and the
// "Recover" and "残缺的名字" dialogs.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPushButton>
#include <QStringList>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <gtest/gtest.h>

#include "app/device_tree_model.h"
#include "app/device_window.h"
#include "app/file_list_model.h"
#include "app/folder_tree_model.h"
#include "app/main_frame.h"
#include "app/operation_starter.h"
#include "app/partition_window.h"
#include "app/save_command.h"
#include "app/save_dialogs.h"
#include "app/workstation.h"
#include "gui_support.h"
#include "ops/file_ops.h"
#include "support/test_images.h"

namespace orvaldi::test {
namespace {

namespace stdfs = std::filesystem;

// Answers the save's questions for the operator.
class ScriptedSaveAsker final : public app::SaveAsker {
 public:
  ScriptedSaveAsker() { app::SetSaveAsker(this); }
  ~ScriptedSaveAsker() override { app::SetSaveAsker(nullptr); }
  ScriptedSaveAsker(const ScriptedSaveAsker&) = delete;
  ScriptedSaveAsker& operator=(const ScriptedSaveAsker&) = delete;

  std::optional<raw::SaveOptions> recoverOptions(QWidget*, const app::RecoverDefaults& d) override {
    defaults.push_back(d);
    if (!target) return std::nullopt;
    return raw::SaveOptions{*target, d.fatPartition, d.recoverDeleted, d.recoverExisting, {}};
  }
  raw::NameAnswer badName(QWidget*, const std::string& old, const std::string& proposed) override {
    asked.emplace_back(old, proposed);
    if (onBadName) onBadName();
    return answer;
  }

  std::optional<std::string> target;  // none: the dialog is cancelled
  std::vector<app::RecoverDefaults> defaults;
  std::vector<std::pair<std::string, std::string>> asked;
  raw::NameAnswer answer;
  std::function<void()> onBadName;
};

// The program as main() builds it, on a copy of the demo image.
struct Program {
  explicit Program(const std::vector<uint8_t>& image) : Program() { openImage(dir.write("demo.img", image)); }
  Program() {
    device = new app::DeviceWindow(disks, starter);
    frame.setDeviceWindow(device);
    app::ConnectWorkstation(frame, *device);
    frame.resize(1100, 720);
    frame.show();
    QApplication::setActiveWindow(&frame);
    active = QTest::qWaitForWindowActive(&frame);
  }
  void openImage(const stdfs::path& path) {
    imagePath = path;
    opened = device->openImage(QString::fromStdString(imagePath.string()));
  }

  // Opens partition `row` of the image in a tab and waits for its scan.
  app::PartitionWindow* open(int row) {
    const QModelIndex part = device->model()->index(row, 0, device->model()->index(0, 0));
    device->tree()->setCurrentIndex(part);
    const int tabs = static_cast<int>(device->partitionWindows().size());
    emit device->tree()->doubleClicked(part);
    if (!WaitFor([&] { return static_cast<int>(device->partitionWindows().size()) > tabs; })) return nullptr;
    app::PartitionWindow* window = device->partitionWindows().back();
    return WaitFor([&] { return !window->busy(); }) ? window : nullptr;
  }

  // Ctrl+S on the active tab; the end message (or a refusal) once it ended.
  std::optional<ScriptedPrompter::Shown> saveTicked(app::PartitionWindow* window) {
    for (QMdiSubWindow* sub : frame.clientArea()->subWindowList())
      if (sub->widget() == window) frame.clientArea()->setActiveSubWindow(sub);
    const size_t before = prompter.shown.size();
    // The progress windows of the scans took the focus for a while.
    QApplication::setActiveWindow(&frame);
    if (!QTest::qWaitForWindowActive(&frame)) return std::nullopt;
    QTest::keyClick(&frame, Qt::Key_S, Qt::ControlModifier);
    if (!WaitInLoop([&] { return prompter.shown.size() > before && !window->busy(); })) return std::nullopt;
    // The end message was posted before the busy state dropped; a refusal
    // shown meanwhile must not be taken for it.
    QCoreApplication::sendPostedEvents();
    return prompter.shown.back();
  }

  TempDir dir;
  disk::DiskInfoList disks;
  ScriptedPrompter prompter;
  ScriptedSaveAsker asker;
  const app::OperationStarter starter = app::MakeOperationStarter();
  app::MainFrame frame{nullptr};
  app::DeviceWindow* device = nullptr;
  stdfs::path imagePath;
  bool opened = false;
  bool active = false;
};

// Ticks every deleted node below the window's folders (a ticked folder
// stands for all below it).
void TickDeleted(const app::PartitionWindow& window) {
  std::vector<fs::NodeRef> stack = window.attachedNodes();
  while (!stack.empty()) {
    const fs::NodeRef n = stack.back();
    stack.pop_back();
    if (n.isDeleted()) {
      n.setTick(1);
      continue;
    }
    n.forEachChild([&](const fs::NodeRef& c) { stack.push_back(c); });
  }
}

// Ticks the NTFS partition's deleted files as the operator does: the
// deleted folder in the left tree, the deleted files on their rows.
void TickNtfsDeletedThroughTheViews(app::PartitionWindow& window) {
  app::FolderTreeModel& tree = *window.folders();
  const QModelIndex root = tree.index(0, 0, tree.topIndex(0));
  ASSERT_TRUE(tree.setData(tree.childNamed(root, "临时文件"), Qt::Checked, Qt::CheckStateRole));
  const auto tickRows = [&](const QModelIndex& folder, const std::vector<std::string>& names) {
    window.tree()->setCurrentIndex(folder);
    app::FileListModel& files = *window.files();
    while (files.canFetchMore({})) files.fetchMore({});
    for (int row = 0; row < files.rowCount(); ++row)
      if (std::find(names.begin(), names.end(), files.nodeAt(row).name()) != names.end())
        ASSERT_TRUE(files.setData(files.index(row, 0), Qt::Checked, Qt::CheckStateRole));
  };
  tickRows(tree.childNamed(root, "图片"), {"头像.jpg"});
  tickRows(tree.childNamed(tree.childNamed(root, "项目"), "代码"), {"module_07.c", "说明_03.txt"});
}

std::string Target(const Program& p, const std::string& name) { return (p.dir.path() / name).string(); }

// The deleted files of demo/README.md, saved straight into the target (the
// ticked items are the top-most deleted nodes; a deleted short name lost its
// first letter, shown as "å").
const std::map<std::string, std::string> kFatDeleted = {
    {"åLD.TXT", "e235dd3da083bd7cf3c7cb21cea9b9223f4d1ef6ac5e26c2c747c0dd802031d0"},
    {"会议纪要.txt", "5ec2aa99326330c8e329edb285a2fbc35a67c1b02dacf3d609d8a6e4a29f9740"},
    {"åMG_0002.JPG", "23d1bc91700659437725e3e5c1267caf7532e2dbd4491c6c64a9e33f954400b5"},
    {"临时/åotes.txt", "46dc7402c1f593cf2cc30d071c131355f597f932f497b2929cdbcb250e86f71f"},
    {"临时/旧照片/åMG_0100.JPG", "d0e91c640552f2a03b0fc3df878bb9591f7972a28f6f528b43ba2eb8e161f957"},
    {"临时/旧照片/DSC 0001.jpg", "754f99a459894c19e0dfeb59f1e0066961c36123e7c333ee083b854d38909384"},
};
const std::map<std::string, std::string> kNtfsDeleted = {
    {"临时文件/子目录/a.txt", "c882563513b12edc9713606ca2a3543a50be03b630acc51cb1e26703305e1ea4"},
    {"临时文件/子目录/b.bin", "2233ee3e30e51de08948458db94676c07cd021e73e433440acf4f415138c6b8c"},
    {"临时文件/笔记.txt", "2e8a0e6358ce37c729ee46d17552837cf3b093b9f6f20ea17d57e602a37818bc"},
    {"头像.jpg", "4ae8c54d5400961882bb716cf9f599a839792f8cd455c91a99a8fd40d809f677"},
    {"module_07.c", "c546ab4c8d82fe8cd4264c89975491b2dac3a36e66eae15193569f26177d9bcc"},
    {"说明_03.txt", "595bc322340a65ba268ed39a686075e60d0d5f5d085d10173bc379bba00a8285"},
};

TEST(Save, TickedDeletedFilesOfBothPartitionsComeBackAsTheDemoWrote) {
  const auto image = LoadImage(DemoImageGz());
  ASSERT_TRUE(image);
  Program p(*image);
  ASSERT_TRUE(p.opened && p.active);
  app::PartitionWindow* fat = p.open(0);
  app::PartitionWindow* ntfs = p.open(1);
  ASSERT_TRUE(fat && ntfs);

  // 草稿.txt's clusters were taken by another file after it was deleted:
  // the command line writes what is there now and reports it, and so must
  // the window.
  const std::string cli = Target(p, "cli");
  const CommandResult run = RunCommand(ShellQuote(CliPath().string()) + " recover " + ShellQuote(p.imagePath.string()) +
                                       " 0 --no-existing --to " + ShellQuote(cli) + " 根目录/文档/草稿.txt");
  ASSERT_NE(run.err.find("数据不完整"), std::string::npos) << run.err;
  std::map<std::string, std::string> fatExpected = kFatDeleted;
  fatExpected["草稿.txt"] = Sha256Tree(cli).at("根目录/文档/草稿.txt");

  struct Case {
    app::PartitionWindow* window;
    const char* folder;
    std::map<std::string, std::string> expected;
    const char* statistics;
    const char* counts;
  };
  for (const Case& c : std::vector<Case>{
           {fat, "fat", fatExpected, "本次保存 129728 Byte", "完整保存 6 个文件，共写入 129728 Byte；1 个文件不完整"},
           {ntfs, "ntfs", kNtfsDeleted, "本次保存 121763 Byte", "完整保存 6 个文件，共写入 121763 Byte。"}}) {
    SCOPED_TRACE(c.folder);
    if (c.window == ntfs) {
      TickNtfsDeletedThroughTheViews(*ntfs);
    } else {
      TickDeleted(*c.window);
    }
    p.asker.target = Target(p, c.folder);
    const auto end = p.saveTicked(c.window);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->title, QString("保存文件"));
    EXPECT_TRUE(end->text.contains(c.counts)) << end->text.toStdString();
    // One line tells what the manifest written beside the files holds.
    EXPECT_TRUE(end->text.contains(QString::fromStdString("\n清单 " + *p.asker.target + "/manifest.jsonl：完整 ")))
        << end->text.toStdString();
    EXPECT_TRUE(std::filesystem::is_regular_file(*p.asker.target + "/manifest.jsonl"));
    EXPECT_EQ(p.frame.statisticsText(), QString(c.statistics));
    EXPECT_EQ(Sha256Tree(*p.asker.target), c.expected);
    // The saved items are unticked.
    EXPECT_TRUE(app::TopTicked(c.window->attachedNodes()).empty());
  }
  EXPECT_EQ(p.asker.defaults.at(0).fatPartition, true);
  EXPECT_EQ(p.asker.defaults.at(1).fatPartition, false);
  // The damaged file is named, never counted as whole.
  const QString fatEnd = p.prompter.shown.at(p.prompter.shown.size() - 2).text;
  EXPECT_TRUE(fatEnd.contains(QString::fromStdString("数据不完整: " + Target(p, "fat") + "/草稿.txt")))
      << fatEnd.toStdString();

  // A second save into the same folder: new names, nothing overwritten.
  TickDeleted(*fat);
  p.asker.target = Target(p, "fat");
  ASSERT_TRUE(p.saveTicked(fat));
  const auto twice = Sha256Tree(Target(p, "fat"));
  EXPECT_EQ(twice.at("åLD.TXT0.TXT"), kFatDeleted.at("åLD.TXT"));
  EXPECT_EQ(twice.at("临时/åotes.txt0.txt"), kFatDeleted.at("临时/åotes.txt"));
  // The second save's manifest takes a free name beside the first.
  EXPECT_EQ(twice.count("manifest.jsonl0.jsonl"), 1u);
  EXPECT_EQ(twice.size(), 2 * fatExpected.size() + 1);
}

// The files below `node`, in the order the save walks them, as target paths.
void WalkOrder(const fs::NodeRef& node, const std::string& path, std::vector<std::string>& out) {
  const std::string here = path + "/" + node.name();
  if (node.isFileLike()) out.push_back(here);
  node.forEachChild([&](const fs::NodeRef& child) { WalkOrder(child, here, out); });
}

TEST(Save, AnInvalidNameIsRenamedSkippedOrStopsTheSave) {
  auto image = LoadImage(DemoImageGz());
  ASSERT_TRUE(image);
  // TINY.TXT's short entry in the FAT32 root folder becomes TI?Y.TXT.
  const std::string entry = "TINY    TXT";
  const auto at = std::search(image->begin(), image->end(), entry.begin(), entry.end());
  ASSERT_NE(at, image->end());
  at[2] = '?';
  Program p(*image);
  app::PartitionWindow* fat = p.open(0);
  ASSERT_TRUE(fat);
  const fs::NodeRef root = fat->attachedNodes().at(0);
  ASSERT_EQ(root.name(), "根目录");
  std::vector<std::string> order;
  WalkOrder(root, "", order);
  const auto bad = std::find(order.begin(), order.end(), "/根目录/TI?Y.TXT");
  ASSERT_NE(bad, order.end());
  ASSERT_NE(bad + 1, order.end());  // files follow it

  struct Case {
    const char* folder;
    raw::NameAnswer answer;
    const char* saved;  // under the target, instead of TI?Y.TXT; empty: none
    bool stops;
  };
  for (const Case& c :
       std::vector<Case>{{"rename", {raw::NameAnswer::kRename, "TI_Y.TXT", false, "$"}, "TI_Y.TXT", false},
                         {"skip", {raw::NameAnswer::kSkip, {}, false, {}}, "", false},
                         {"stop", {raw::NameAnswer::kSkipAll, {}, false, {}}, "", true}}) {
    SCOPED_TRACE(c.folder);
    root.setTick(1);
    p.asker.target = Target(p, c.folder);
    p.asker.answer = c.answer;
    p.asker.asked.clear();
    // A second save while this one waits for the operator is refused.
    std::vector<ScriptedPrompter::Shown> refusals;
    p.asker.onBadName = [&] {
      const size_t before = p.prompter.shown.size();
      p.frame.action(app::kCmdRecoverTicked)->trigger();
      refusals.assign(p.prompter.shown.begin() + static_cast<long>(before), p.prompter.shown.end());
    };
    const auto end = p.saveTicked(fat);
    ASSERT_TRUE(end);
    ASSERT_EQ(p.asker.asked.size(), 1u);
    EXPECT_EQ(p.asker.asked[0], std::make_pair(std::string("TI?Y.TXT"), std::string("TI$Y.TXT")));
    ASSERT_EQ(refusals.size(), 1u);
    EXPECT_EQ(refusals[0].text, QString("等待当前保存操作完成"));
    EXPECT_EQ(end->text.contains("已按“跳过所有”停止保存"), c.stops) << end->text.toStdString();
    const auto tree = Sha256Tree(*p.asker.target);
    for (auto it = order.begin(); it != order.end(); ++it) {
      if (it == bad) continue;
      // EMPTY.DAT has no data: it is saved, and empty.
      EXPECT_EQ(tree.count(it->substr(1)), c.stops && it > bad ? 0u : 1u) << *it;
    }
    EXPECT_EQ(tree.count(std::string("根目录/") + c.saved), *c.saved ? 1u : 0u);
    // A stopped save keeps its ticks, to be run again.
    EXPECT_EQ(root.tick(), c.stops ? 1 : 0);
  }
}

TEST(Save, ACarvedPictureComesBackFromExtraFoundFiles) {
  const auto image = LoadImage(DemoImageGz());
  ASSERT_TRUE(image);
  Program p(*image);
  app::PartitionWindow* fat = p.open(0);
  ASSERT_TRUE(fat);
  p.device->tree()->setCurrentIndex(p.device->model()->index(0, 0));
  p.frame.action(app::kCmdFullDiskScan)->trigger();
  ASSERT_TRUE(WaitFor([&] { return !p.device->busy(); }));
  fat->reopenDisk();
  ASSERT_TRUE(WaitFor([&] { return !fat->busy(); }));
  const QModelIndex extra = fat->folders()->childNamed(fat->folders()->topIndex(0), "Extra Found Files");
  ASSERT_TRUE(extra.isValid());
  fs::NodeRef jpeg;
  fat->folders()->nodeOf(extra).forEachChild([&](const fs::NodeRef& child) {
    const std::string& n = child.name();
    if (!jpeg && n.size() > 4 && n.substr(n.size() - 4) == ".jpg") jpeg = child;
  });
  ASSERT_TRUE(jpeg);
  jpeg.setTick(1);
  p.asker.target = Target(p, "carved");
  const auto end = p.saveTicked(fat);
  ASSERT_TRUE(end);
  EXPECT_TRUE(end->text.contains("完整保存 1 个文件")) << end->text.toStdString();
  // The carved file's bytes from its start sector, as the command line's copy writes them.
  const uint64_t length = jpeg.size();
  const auto start = image->begin() + static_cast<long>(jpeg.carvedSector() * 512);
  const std::vector<uint8_t> expected(start, start + static_cast<long>(length));
  std::ifstream in(Target(p, "carved") + "/" + jpeg.name(), std::ios::binary);
  const std::vector<uint8_t> written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(written, expected);
  ASSERT_GE(written.size(), 2u);
  EXPECT_EQ(std::vector<uint8_t>(written.begin(), written.begin() + 2), (std::vector<uint8_t>{0xFF, 0xD8}));
}

TEST(Save, RefusalsAndTheFreeSpaceRules) {
  const auto image = LoadImage(DemoImageGz());
  ASSERT_TRUE(image);
  Program p(*image);
  app::PartitionWindow* fat = p.open(0);
  ASSERT_TRUE(fat);
  uint64_t free = 0;
  app::SaveCommand save(p.starter, {});
  save.setFreeSpace([&](const std::string&) { return std::optional<uint64_t>(free); });
  QString status;
  QObject::connect(&save, &app::SaveCommand::statisticsText, [&](const QString& t) { status = t; });
  // Root: README.TXT (600 bytes) and TINY.TXT (5).
  const fs::NodeRef root = fat->attachedNodes().at(0);
  fs::NodeRef readme, tiny;
  root.forEachChild([&](const fs::NodeRef& c) {
    if (c.name() == "README.TXT") readme = c;
    if (c.name() == "TINY.TXT") tiny = c;
  });
  ASSERT_TRUE(readme && tiny);
  fat->tree()->setCurrentIndex(fat->folders()->childNamed(fat->folders()->topIndex(0), "根目录"));
  const int readmeRow = static_cast<int>(fat->shownFiles().indexOf("README.TXT"));
  ASSERT_GE(readmeRow, 0);
  app::PartitionWindow empty(p.disks, fat->diskName(), fat->partitionName(), p.starter);

  const auto message = [&](const std::function<void()>& command) -> QString {
    const size_t before = p.prompter.shown.size();
    command();
    WaitFor([&] { return !save.running() && !fat->busy(); });
    QApplication::processEvents();
    return p.prompter.shown.size() > before ? p.prompter.shown.back().text : QString();
  };
  struct Case {
    const char* what;
    std::function<void()> setUp;
    std::function<void()> command;
    QString text;  // the message shown, or its start
  };
  const std::string target = Target(p, "out");
  const auto tickBoth = [&] {
    p.asker.target = target;
    readme.setTick(1);
    tiny.setTick(1);
  };
  const std::vector<Case> cases = {
      {"empty tree", [] {}, [&] { save.saveTicked(&empty, false); }, "没有信息"},
      {"no selection", [] {}, [&] { save.saveSelected(&empty, false); }, "请选择文件"},
      {"no row", [&] { fat->fileList()->setCurrentIndex({}); }, [&] { save.saveSelected(fat, true); }, "请选择文件"},
      {"nothing ticked", [] {}, [&] { save.saveTicked(fat, true); }, "请选择文件"},
      {"dialog cancelled",
       [&] {
         tickBoth();
         p.asker.target.reset();
       },
       [&] { save.saveTicked(fat, false); }, ""},
      {"empty target", [&] { p.asker.target = ""; }, [&] { save.saveTicked(fat, false); }, "选择保存路径"},
      // The single save needs more room than the file; the ticked one as much.
      {"single, size = free",
       [&] {
         p.asker.target = target;
         free = 600;
       },
       [&] {
         fat->fileList()->setCurrentIndex(fat->fileList()->model()->index(readmeRow, 0));
         save.saveSelected(fat, true);
       },
       QString::fromStdString(raw::NotEnoughSpaceText(600))},
      {"single, size < free",
       [&] {
         free = 601;
         readme.setTick(1);
       },
       [&] { save.saveSelected(fat, true); }, "完整保存 1 个文件"},
      {"ticked, total > free",
       [&] {
         // The list's save of one row cleared that row's tick.
         EXPECT_EQ(readme.tick(), 0);
         tickBoth();
         free = 604;
       },
       [&] { save.saveTicked(fat, false); }, "目标盘剩余空间不足，请重新选择盘!"},
      // From the list this time: the ticked rows of the listed folder.
      {"ticked, total = free", [&] { free = 605; }, [&] { save.saveTicked(fat, true); }, "完整保存 2 个文件"},
      {"window busy", [] {},
       [&] {
         fat->reopenDisk();
         save.saveTicked(fat, false);
       },
       "等待当前操作完成"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.setUp();
    const QString shown = message(c.command);
    if (c.text.isEmpty())
      EXPECT_TRUE(shown.isEmpty()) << shown.toStdString();
    else
      EXPECT_TRUE(shown.startsWith(c.text)) << shown.toStdString();
  }
  EXPECT_EQ(status, QString("本次保存 605 Byte"));
}

// The real dialogs, filled in as the operator would.
TEST(Save, TheRecoverAndBadNameDialogs) {
  app::SetSaveAsker(nullptr);
  for (const bool fat : {true, false}) {
    app::RecoverDialog dialog({fat, true, false});
    dialog.show();
    EXPECT_EQ(dialog.useFatBox()->isVisible(), fat);
    EXPECT_EQ(dialog.useFatBox()->isChecked(), fat);
    EXPECT_TRUE(dialog.deletedBox()->isChecked());
    EXPECT_FALSE(dialog.existingBox()->isChecked());
  }
  std::optional<raw::SaveOptions> options;
  QTimer::singleShot(0, [] {
    auto* dialog = qobject_cast<app::RecoverDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    dialog->targetEdit()->setText("/tmp/恢复的文件");
    dialog->existingBox()->setChecked(true);
    EXPECT_FALSE(SaveScreenshot(*dialog, "recover_dialog").empty());
    dialog->accept();
  });
  options = app::CurrentSaveAsker().recoverOptions(nullptr, {true, true, false});
  ASSERT_TRUE(options);
  EXPECT_EQ(options->target, "/tmp/恢复的文件");
  EXPECT_TRUE(options->useFat && options->recoverDeleted && options->recoverExisting);

  QTimer::singleShot(0, [] {
    auto* dialog = qobject_cast<app::BadNameDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->windowTitle(), QString("残缺的名字"));
    EXPECT_EQ(dialog->oldNameEdit()->text(), QString("x?y.txt"));
    EXPECT_EQ(dialog->replacementEdit()->text(), QString("$"));
    dialog->replaceAllBox()->setChecked(true);
    dialog->replacementEdit()->setText("_");
    dialog->newNameEdit()->setText("x_y.txt");
    EXPECT_FALSE(SaveScreenshot(*dialog, "bad_name_dialog").empty());
    QTest::mouseClick(dialog->renameButton(), Qt::LeftButton);
  });
  const raw::NameAnswer answer = app::CurrentSaveAsker().badName(nullptr, "x?y.txt", "x$y.txt");
  EXPECT_EQ(answer.action, raw::NameAnswer::kRename);
  EXPECT_EQ(answer.newName, "x_y.txt");
  EXPECT_TRUE(answer.replaceAll);
  EXPECT_EQ(answer.replacement, "_");

  for (const auto& [button, action] : {std::pair{1, raw::NameAnswer::kSkip}, std::pair{2, raw::NameAnswer::kSkipAll}}) {
    app::BadNameDialog dialog("a|b", "a$b");
    dialog.show();
    QTest::mouseClick(button == 1 ? dialog.skipButton() : dialog.skipAllButton(), Qt::LeftButton);
    EXPECT_EQ(dialog.answer().action, action);
  }
}

// Times the ticked save of ORVALDI_GUI_BENCH_PATHS (":"-separated, as the
// listing prints them) of partition 0 of ORVALDI_GUI_BENCH_IMAGE into
// ORVALDI_GUI_BENCH_TARGET, from Ctrl+S to the end message.
TEST(SaveBench, SavesTheTickedFoldersOfALargeImage) {
  const char* image = std::getenv("ORVALDI_GUI_BENCH_IMAGE");
  const char* paths = std::getenv("ORVALDI_GUI_BENCH_PATHS");
  const char* target = std::getenv("ORVALDI_GUI_BENCH_TARGET");
  if (!image || !*image || !paths || !target) GTEST_SKIP() << "set ORVALDI_GUI_BENCH_IMAGE, _PATHS and _TARGET";
  Program p;
  p.openImage(image);
  ASSERT_TRUE(p.opened && p.active);
  const auto t0 = std::chrono::steady_clock::now();
  app::PartitionWindow* window = p.open(0);
  ASSERT_TRUE(window);
  const auto t1 = std::chrono::steady_clock::now();
  for (const QString& path : QString(paths).split(':', Qt::SkipEmptyParts)) {
    const auto found = ops::ResolvePath(window->attachedNodes(), path.toStdString());
    ASSERT_FALSE(found.empty()) << path.toStdString();
    for (const ops::ResolvedNode& node : found) node.node.setTick(1);
  }
  p.asker.target = target;
  const auto t2 = std::chrono::steady_clock::now();
  const auto end = p.saveTicked(window);
  const auto t3 = std::chrono::steady_clock::now();
  ASSERT_TRUE(end);
  const auto s = [](auto d) { return std::chrono::duration<double>(d).count(); };
  std::printf("open %.3f s\nsave %.3f s\n%s\n", s(t1 - t0), s(t3 - t2), end->text.toStdString().c_str());
}

}  // namespace
}  // namespace orvaldi::test
