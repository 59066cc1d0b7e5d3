#include "app/workstation.h"

#include <QAction>

#include "app/device_window.h"
#include "app/main_frame.h"
#include "app/partition_window.h"
#include "app/prompter.h"

namespace orvaldi::app {

void ConnectWorkstation(MainFrame& frame, DeviceWindow& device) {
  QObject::connect(&device, &DeviceWindow::documentCreated, &frame,
                   [&frame](QWidget* window, const QString& title) { frame.addDocumentWindow(window, title); });
  // Status panes 1 and 2 and the "文件统计" box follow the partition windows.
  QObject::connect(&device, &DeviceWindow::documentCreated, &frame, [&frame](QWidget* window, const QString&) {
    auto* partition = qobject_cast<PartitionWindow*>(window);
    if (!partition) return;
    QObject::connect(partition, &PartitionWindow::folderSummaryChanged, &frame, &MainFrame::setFolderSummary);
    QObject::connect(partition, &PartitionWindow::statisticsReady, &frame, [&frame](const QString& text) {
      frame.setStatisticsText(text);
      CurrentPrompter().message(&frame, "文件统计", text);
    });
  });
  const auto on = [&frame](int command, auto&& slot) {
    if (QAction* action = frame.action(command)) QObject::connect(action, &QAction::triggered, &frame, slot);
  };
  on(kCmdOpenImage, [&device] { device.openImageDialog(); });
  on(kCmdSaveScanInfo, [&device] { device.saveScanResult(); });
  on(kCmdLoadScanInfo, [&device] { device.loadScanResult(); });
  on(kCmdCreateRegion, [&device] { device.createRegionDialog(); });
  on(kCmdFullDiskScan, [&device] { device.fullDiskScan(); });
  on(kCmdLostPartitions, [&device] { device.searchLostPartitions(); });
  on(kCmdReopenDisk, [&frame] {
    if (auto* window = qobject_cast<PartitionWindow*>(frame.activeDocumentWindow())) window->reopenDisk();
  });
  const auto onPartition = [&frame, &on](int command, void (PartitionWindow::*slot)()) {
    on(command, [&frame, slot] {
      if (auto* window = qobject_cast<PartitionWindow*>(frame.activeDocumentWindow())) (window->*slot)();
    });
  };
  onPartition(kCmdStatistics, &PartitionWindow::startStatistics);
  onPartition(kCmdSelectAll, &PartitionWindow::selectAll);
  onPartition(kCmdSelectNone, &PartitionWindow::selectNone);
  for (const int waiting : {kCmdCreateImage, kCmdExtractFreeSpace, kCmdPartitionTable, kCmdSavePartitionInfo,
                            kCmdRecoverFiles, kCmdRecoverTicked, kCmdFileFilter, kCmdFindFile})
    if (QAction* action = frame.action(waiting)) action->setEnabled(false);
}

}  // namespace orvaldi::app
