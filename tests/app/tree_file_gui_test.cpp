// "保存分区信息" and "读取分区信息" in the shell: the commands' enabling, a
// tree saved from a partition tab and loaded back into it, and the refusal
// of a file of another partition.
#include <QAction>
#include <QTreeView>

#include <gtest/gtest.h>

#include "app/device_tree_model.h"
#include "app/device_window.h"
#include "app/folder_tree_model.h"
#include "app/main_frame.h"
#include "app/operation_starter.h"
#include "app/partition_window.h"
#include "app/workstation.h"
#include "demo_workstation.h"
#include "gui_support.h"
#include "ops/source.h"
#include "ops/tree_file_ops.h"
#include "support/test_images.h"

namespace orvaldi::test {
namespace {

QStringList Names(app::FolderTreeModel& model, const QModelIndex& parent) {
  while (model.canFetchMore(parent)) model.fetchMore(parent);
  QStringList names;
  for (int r = 0; r < model.rowCount(parent); ++r) names << model.index(r, 0, parent).data().toString();
  return names;
}

TEST(TreeFileCommands, SaveLoadAndRefuseAnotherPartition) {
  DemoWorkstation s;
  EXPECT_FALSE(s.frame.action(app::kCmdSavePartitionInfo)->isEnabled());
  EXPECT_FALSE(s.frame.action(app::kCmdLoadPartitionInfo)->isEnabled());
  app::PartitionWindow* w = s.open(1);
  ASSERT_NE(w, nullptr);
  EXPECT_TRUE(s.frame.action(app::kCmdSavePartitionInfo)->isEnabled());
  EXPECT_TRUE(s.frame.action(app::kCmdLoadPartitionInfo)->isEnabled());

  app::FolderTreeModel& model = *w->folders();
  const QModelIndex root = model.index(0, 0, model.topIndex(0));
  const QStringList folders = Names(model, root);
  const QStringList files = w->shownFiles();
  const app::AttachCounters counted = w->counters();
  const QString path = QString::fromStdString((s.dir.path() / "ntfs.orvtree").string());
  ASSERT_TRUE(w->saveTreeTo(path));

  ASSERT_TRUE(w->loadTreeFrom(path));
  EXPECT_TRUE(s.prompter.shown.empty());
  const QModelIndex again = model.index(0, 0, model.topIndex(0));
  EXPECT_EQ(Names(model, model.topIndex(0)), (QStringList{"根目录", "零散目录"}));
  EXPECT_EQ(Names(model, again), folders);
  EXPECT_EQ(w->shownFiles(), files);
  EXPECT_EQ(w->counters().files, counted.files);
  EXPECT_EQ(w->counters().totalSize, counted.totalSize);
  w->tree()->expand(model.childNamed(again, "项目"));
  w->tree()->setCurrentIndex(model.childNamed(again, "项目"));
  SaveScreenshot(*w, "partition-window-loaded-tree");

  // A tree of the disk's FAT32 partition: refused, and the tab keeps what it shows.
  auto disk = ops::LoadDisk((s.dir.path() / "demo.img").string()).disk;
  ASSERT_TRUE(disk);
  platform::ProgressBlock progress;
  ops::OpenPartition(*disk, disk->partitions[0], ops::ScanMode::kWalk, progress);
  const std::string fatTree = (s.dir.path() / "fat.orvtree").string();
  ASSERT_TRUE(ops::SavePartitionTree(*disk, disk->partitions[0], ops::ScanMode::kWalk, fatTree).ok);
  EXPECT_FALSE(w->loadTreeFrom(QString::fromStdString(fatTree)));
  ASSERT_EQ(s.prompter.shown.size(), 1u);
  EXPECT_TRUE(s.prompter.shown[0].text.startsWith("不是该分区的信息！")) << s.prompter.shown[0].text.toStdString();
  EXPECT_EQ(Names(model, model.index(0, 0, model.topIndex(0))), folders);
  EXPECT_FALSE(w->loadTreeFrom(QString::fromStdString((s.dir.path() / "demo.img").string())));
  ASSERT_EQ(s.prompter.shown.size(), 2u);
  EXPECT_TRUE(s.prompter.shown[1].text.startsWith("分区信息文件已损坏")) << s.prompter.shown[1].text.toStdString();
  // Never written onto the source.
  EXPECT_FALSE(w->saveTreeTo(QString::fromStdString((s.dir.path() / "demo.img").string())));
  EXPECT_EQ(s.prompter.shown.size(), 3u);
}

}  // namespace
}  // namespace orvaldi::test
