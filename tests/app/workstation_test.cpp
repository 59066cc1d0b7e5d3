// The desktop program put together as main() does: the frame, the device
// window in its first tab and the real starter with its threads.
#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
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
#include "support/test_images.h"

namespace orvaldi::test {
namespace {

TEST(Workstation, DoubleClickOpensAPartitionTabThroughTheRealThreads) {
  DemoWorkstation s;
  app::MainFrame& frame = s.frame;
  app::DeviceWindow* device = s.device;
  ScriptedPrompter& prompter = s.prompter;
  disk::DiskInfoList& disks = s.disks;
  const auto bytes = LoadImage(DemoImageGz());
  ASSERT_TRUE(bytes);
  ASSERT_TRUE(device->openImage(QString::fromStdString(s.dir.write("demo.img", *bytes).string())));

  // Commands whose windows do not exist yet are greyed, not silent.
  for (const int id : {app::kCmdSavePartitionInfo}) EXPECT_FALSE(frame.action(id)->isEnabled()) << id;

  const QModelIndex fat = device->model()->index(0, 0, device->model()->index(0, 0));
  device->tree()->setCurrentIndex(fat);
  // A disk command on a partition item is refused as on the tree's own menu.
  frame.action(app::kCmdFullDiskScan)->trigger();
  ASSERT_EQ(prompter.shown.size(), 1u);
  EXPECT_EQ(prompter.shown[0].text, QString("请正确选择磁盘"));

  emit device->tree()->doubleClicked(fat);
  ASSERT_TRUE(WaitFor([&] { return frame.activeTabIndex() == 1; }));
  auto* window = qobject_cast<app::PartitionWindow*>(frame.activeDocumentWindow());
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(WaitFor([&] { return !window->busy(); }));

  // A full-disk scan beside the open tab: the tab starts nothing until the
  // scan's findings are merged, then reopens with the carved files.
  const size_t listed = disks.front().partitions.size();
  device->tree()->setCurrentIndex(device->model()->index(0, 0));
  frame.action(app::kCmdFullDiskScan)->trigger();
  EXPECT_TRUE(device->busy());
  window->reopenDisk();
  ASSERT_EQ(prompter.shown.size(), 2u);
  EXPECT_EQ(prompter.shown[1].text, QString("等待当前操作完成！"));
  ASSERT_TRUE(WaitFor([&] { return !device->busy(); }));
  EXPECT_GT(disks.front().partitions.size(), listed);
  window->reopenDisk();
  ASSERT_TRUE(WaitFor([&] { return !window->busy(); }));
  EXPECT_EQ(prompter.shown.size(), 2u);
  EXPECT_TRUE(window->folders()->childNamed(window->folders()->topIndex(0), "Extra Found Files").isValid());
  EXPECT_FALSE(SaveScreenshot(frame, "workstation").empty());
}

}  // namespace
}  // namespace orvaldi::test
