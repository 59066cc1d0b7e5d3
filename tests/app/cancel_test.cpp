// Closing a window stops the operation it started: the worker ends soon
// after, and its results go nowhere.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include <QApplication>
#include <QPointer>
#include <QTreeView>

#include "app/device_tree_model.h"
#include "app/device_window.h"
#include "app/main_frame.h"
#include "app/operation_starter.h"
#include "app/partition_window.h"
#include "app/progress_dialog.h"
#include "app/text_progress_bar.h"
#include "app/workstation.h"
#include "gui_support.h"
#include "support/test_images.h"

namespace orvaldi::test {
namespace {

using Clock = std::chrono::steady_clock;

// Lets the UI thread run until `done` holds or `limit` passed, as its event
// loop would: windows closed with deleteLater() go too.
template <typename Done>
bool PumpFor(Clock::duration limit, Done done) {
  const auto end = Clock::now() + limit;
  while (!done() && Clock::now() < end) {
    QApplication::processEvents(QEventLoop::AllEvents, 5);
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return done();
}

// A 4 GiB FAT32 volume, sparse, with 32 KiB clusters and nothing in it:
// opening it is quick, but the formatted-volume search reads every cluster,
// which takes many seconds.
std::filesystem::path WriteLargeEmptyFat32(const TempDir& dir) {
  constexpr uint32_t kSectors = 8u << 20;
  std::vector<uint8_t> boot = Fat32BootSector();
  boot[0x0D] = 64;              // sectors per cluster
  Put32(boot, 0x20, kSectors);  // total sectors
  Put32(boot, 0x24, 1024);      // FAT size: 131,072 entries
  const std::filesystem::path path = dir.write("large.img", boot);
  std::filesystem::resize_file(path, uint64_t{kSectors} * 512);
  return path;
}

TEST(CloseCancels, ClosingAPartitionTabStopsItsScanAndDropsTheResult) {
  TempDir dir;
  const std::filesystem::path image = WriteLargeEmptyFat32(dir);
  ScriptedPrompter prompter;
  disk::DiskInfoList disks;
  const app::OperationStarter starter = app::MakeOperationStarter();
  app::MainFrame frame(nullptr);
  auto* device = new app::DeviceWindow(disks, starter);
  frame.setDeviceWindow(device);
  app::ConnectWorkstation(frame, *device);
  frame.resize(900, 600);
  frame.show();

  ASSERT_TRUE(device->openImage(QString::fromStdString(image.string())));
  device->tree()->setCurrentIndex(device->model()->index(0, 0, device->model()->index(0, 0)));
  device->openSelectedPartition();
  QPointer<app::PartitionWindow> window = qobject_cast<app::PartitionWindow*>(frame.activeDocumentWindow());
  ASSERT_TRUE(window);
  ASSERT_TRUE(PumpFor(std::chrono::seconds(30), [&] { return !window->busy(); }));

  // "扫描格式化文件": well under way, far from its end, when the tab closes.
  window->scanFormatted();
  const std::shared_ptr<const ops::OperationCount> count = window->operationCount();
  ASSERT_TRUE(count->busy());
  auto* progress = window->findChild<app::ProgressDialog*>();
  ASSERT_NE(progress, nullptr);
  ASSERT_TRUE(PumpFor(std::chrono::seconds(30), [&] { return progress->bar().position() > 0; }));
  const int64_t upper = progress->bar().upper();
  EXPECT_LT(progress->bar().position(), upper / 2);

  ASSERT_TRUE(frame.closeActiveDocumentWindow());
  const auto closed = Clock::now();
  // The search stops at its next cluster; without the stop it would read
  // the whole 4 GiB.
  EXPECT_TRUE(PumpFor(std::chrono::seconds(3), [&] { return count->value() == 0; }));
  const double took = std::chrono::duration<double>(Clock::now() - closed).count();
  EXPECT_LT(took, 2.0);
  EXPECT_FALSE(window);  // the tab's window is gone, not merely hidden
  EXPECT_TRUE(prompter.shown.empty());
  // The device window takes new work on the disk again.
  device->tree()->setCurrentIndex(device->model()->index(0, 0, device->model()->index(0, 0)));
  device->openSelectedPartition();
  EXPECT_TRUE(prompter.shown.empty());
  EXPECT_TRUE(qobject_cast<app::PartitionWindow*>(frame.activeDocumentWindow()));
}

}  // namespace
}  // namespace orvaldi::test
