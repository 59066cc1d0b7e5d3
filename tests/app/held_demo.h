// The demo image for the GUI tests: in a device window whose operations wait
// until the test lets them run, as a real start would while its threads
// work; or with its FAT32 partition opened straight through the engine.
#pragma once

#include <algorithm>
#include <deque>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <QTreeView>

#include "app/device_tree_model.h"
#include "app/device_window.h"
#include "app/partition_window.h"
#include "gui_support.h"
#include "ops/file_ops.h"
#include "ops/open_partition.h"
#include "ops/source.h"
#include "support/test_images.h"

namespace orvaldi::test {

// Keeps each operation until runAll(), showing and closing its own progress
// view (when it has one) as the real starter does.
struct HeldStarter {
  std::deque<app::OperationRequest> held;
  app::OperationStarter starter() {
    return [this](app::OperationRequest request) {
      if (request.view) request.view->showFor(request.title);
      BeginRequest(request);
      held.push_back(std::move(request));
      return true;
    };
  }
  void runAll() {
    while (!held.empty()) {
      app::OperationRequest request = std::move(held.front());
      held.pop_front();
      platform::ProgressBlock own;
      request.work(request.view ? request.view->block() : own);
      request.publish();
      if (request.view) request.view->closeWhenDone();
      EndRequest(request);
    }
  }
};

struct Demo {
  TempDir dir;
  disk::DiskInfoList disks;
  ScriptedPrompter prompter;
  HeldStarter operations;
  app::DeviceWindow window{disks, operations.starter()};
  std::vector<QWidget*> documents;

  Demo() {
    QObject::connect(&window, &app::DeviceWindow::documentCreated,
                     [this](QWidget* w, const QString&) { documents.push_back(w); });
  }
  // The demo image, cut short after `keptSectors` when given (the sectors
  // past the cut fail to read).
  bool load(size_t keptSectors = 0) {
    auto bytes = LoadImage(DemoImageGz());
    if (bytes && keptSectors) bytes->resize(keptSectors * 512);
    return bytes && window.openImage(QString::fromStdString(dir.write("demo.img", *bytes).string()));
  }
  // Double-clicks partition `row` of the image and lets the scan run. The
  // window opened, else the last one opened before (null when it was closed).
  app::PartitionWindow* open(int row) {
    const size_t before = documents.size();
    QTreeView* tree = window.tree();
    const QModelIndex item = window.model()->index(row, 0, window.model()->index(0, 0));
    tree->setCurrentIndex(item);
    emit tree->doubleClicked(item);
    operations.runAll();
    if (documents.empty()) return nullptr;
    const std::vector<app::PartitionWindow*> open = window.partitionWindows();
    auto* last = documents.back();
    const bool alive = documents.size() > before || std::find(open.begin(), open.end(), last) != open.end();
    return alive ? static_cast<app::PartitionWindow*>(last) : nullptr;
  }
};

// The demo image in a temporary file, its FAT32 partition opened.
struct DemoFat {
  TempDir dir;
  std::filesystem::path image;
  std::optional<disk::DiskInfo> disk;
  ops::OpenedPartition opened;

  bool load() {
    const auto bytes = test::LoadImage(test::DemoImageGz());
    if (!bytes) return false;
    image = dir.write("demo.img", *bytes);
    disk = ops::LoadDisk(image.string()).disk;
    if (!disk || disk->partitions.empty()) return false;
    platform::ProgressBlock progress;
    opened = ops::OpenPartition(*disk, partition(), ops::ScanMode::kWalk, progress);
    return opened.status == ops::OpenStatus::kOk;
  }
  disk::PartitionInfo& partition() { return disk->partitions.front(); }
  fs::NodeRef file(const std::string& path) const { return ops::ResolveFile(opened.tops, "根目录/" + path); }
  std::vector<uint8_t> imageBytes() const {
    std::vector<uint8_t> bytes(std::filesystem::file_size(image));
    std::ifstream(image, std::ios::binary).read(reinterpret_cast<char*>(bytes.data()), std::ssize(bytes));
    return bytes;
  }
};

}  // namespace orvaldi::test
