// The desktop program put together as main() does (frame, device window, the
// real starter and its threads) with an image opened and one of its
// partitions opened in a tab, for tests that go through the whole shell.
#pragma once

#include <filesystem>
#include <string>

#include <QTreeView>

#include "app/device_tree_model.h"
#include "app/device_window.h"
#include "app/main_frame.h"
#include "app/operation_starter.h"
#include "app/partition_window.h"
#include "app/workstation.h"
#include "gui_support.h"
#include "support/test_images.h"

namespace orvaldi::test {

struct DemoWorkstation {
  TempDir dir;
  disk::DiskInfoList disks;
  ScriptedPrompter prompter;
  app::OperationStarter starter = app::MakeOperationStarter();
  app::MainFrame frame{nullptr};
  app::DeviceWindow* device = new app::DeviceWindow(disks, starter);

  DemoWorkstation() {
    frame.setDeviceWindow(device);
    app::ConnectWorkstation(frame, *device);
    frame.resize(1100, 720);
    frame.show();
  }
  // Opens `image` (the demo disk when empty) and partition `row` of it in a
  // tab, and waits for its scan; the tab, or null.
  app::PartitionWindow* open(int row, std::filesystem::path image = {}) {
    if (image.empty()) {
      const auto bytes = LoadImage(DemoImageGz());
      if (!bytes) return nullptr;
      image = dir.write("demo.img", *bytes);
    }
    if (!device->openImage(QString::fromStdString(image.string()))) return nullptr;
    const QModelIndex item = device->model()->index(row, 0, device->model()->index(0, 0));
    device->tree()->setCurrentIndex(item);
    emit device->tree()->doubleClicked(item);
    if (!WaitFor([&] { return frame.activeTabIndex() == 1; })) return nullptr;
    auto* window = qobject_cast<app::PartitionWindow*>(frame.activeDocumentWindow());
    return window && WaitFor([&] { return !window->busy(); }) ? window : nullptr;
  }
};

}  // namespace orvaldi::test
