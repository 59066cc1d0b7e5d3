#include "app/workstation.h"

#include <QAction>
#include <QPointer>

#include "app/device_window.h"
#include "app/find_dialog.h"
#include "app/free_space_command.h"
#include "app/hex_view.h"
#include "app/imaging_dialog.h"
#include "app/main_frame.h"
#include "app/partition_table_dialogs.h"
#include "app/partition_window.h"
#include "app/prompter.h"
#include "app/save_command.h"

namespace orvaldi::app {

void ConnectWorkstation(MainFrame& frame, DeviceWindow& device) {
  QObject::connect(&device, &DeviceWindow::documentCreated, &frame,
                   [&frame](QWidget* window, const QString& title) { frame.addDocumentWindow(window, title); });
  auto* save = new SaveCommand(
      device.starter(),
      [device = QPointer<DeviceWindow>(&device)](const QString& disk) { return device && device->searching(disk); },
      &frame);
  QObject::connect(save, &SaveCommand::statisticsText, &frame, &MainFrame::setStatisticsText);
  // What each partition window asks of the others: status panes 1 and 2 and
  // the "文件统计" box, its saves, and the hex viewer of a double-clicked file.
  QObject::connect(&device, &DeviceWindow::documentCreated, &frame, [&frame, save](QWidget* window, const QString&) {
    auto* partition = qobject_cast<PartitionWindow*>(window);
    if (!partition) return;
    QObject::connect(partition, &PartitionWindow::folderSummaryChanged, &frame, &MainFrame::setFolderSummary);
    QObject::connect(partition, &PartitionWindow::statisticsReady, &frame, [&frame](const QString& text) {
      frame.setStatisticsText(text);
      CurrentPrompter().message(&frame, "文件统计", text);
    });
    QObject::connect(partition, &PartitionWindow::saveSelectedRequested, save,
                     [save, partition](bool fromList) { save->saveSelected(partition, fromList); });
    QObject::connect(partition, &PartitionWindow::saveTickedRequested, save,
                     [save, partition](bool fromList) { save->saveTicked(partition, fromList); });
    QObject::connect(partition, &PartitionWindow::filterRequested, partition, &PartitionWindow::filterFromTopItem);
    QObject::connect(partition, &PartitionWindow::fileActivated, partition, [partition](const fs::NodeRef& file) {
      disk::DiskInfo* disk = nullptr;
      disk::PartitionInfo* records = nullptr;
      if (partition->findRecords(disk, records)) ShowHexViewer(partition, *disk, *records, file);
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
  onPartition(kCmdFileFilter, &PartitionWindow::filterFiles);
  on(kCmdRecoverFiles,
     [&frame, save] { save->saveSelected(qobject_cast<PartitionWindow*>(frame.activeDocumentWindow()), false); });
  on(kCmdRecoverTicked,
     [&frame, save] { save->saveTicked(qobject_cast<PartitionWindow*>(frame.activeDocumentWindow()), false); });
  auto* freeSpace = new FreeSpaceCommand(device, device.starter(), &frame);
  on(kCmdExtractFreeSpace, [freeSpace] { freeSpace->extractSelected(); });
  QObject::connect(&device, &DeviceWindow::freeSpaceRequested, freeSpace, &FreeSpaceCommand::extractSelected);
  on(kCmdPartitionTable, [&device] { PartitionTableOperation(device); });
  QObject::connect(&device, &DeviceWindow::partitionTableRequested, &device,
                   [&device] { PartitionTableOperation(device); });
  auto* imaging = new ImagingCommand(device, &frame);
  on(kCmdCreateImage, [imaging] { imaging->open(); });
  QObject::connect(&device, &DeviceWindow::imagingRequested, imaging, &ImagingCommand::open);
  QObject::connect(&device, &DeviceWindow::partitionImagingRequested, imaging, &ImagingCommand::open);
  on(kCmdFindFile, [&frame, &device] {
    if (auto* window = qobject_cast<PartitionWindow*>(frame.activeDocumentWindow()))
      FindDialog::showFor(*window, device.starter());
  });
  onPartition(kCmdSavePartitionInfo, &PartitionWindow::saveTree);
  onPartition(kCmdLoadPartitionInfo, &PartitionWindow::loadTree);
  // Saving wants a tree shown in the active window, loading a partition window.
  const auto enableTreeCommands = [&frame] {
    auto* window = qobject_cast<PartitionWindow*>(frame.activeDocumentWindow());
    if (QAction* saving = frame.action(kCmdSavePartitionInfo)) saving->setEnabled(window && window->hasTree());
    if (QAction* loading = frame.action(kCmdLoadPartitionInfo)) loading->setEnabled(window != nullptr);
  };
  enableTreeCommands();
  QObject::connect(&frame, &MainFrame::documentWindowActivated, &frame, enableTreeCommands);
  QObject::connect(&device, &DeviceWindow::documentCreated, &frame, [&frame, enableTreeCommands](QWidget* window) {
    if (auto* partition = qobject_cast<PartitionWindow*>(window))
      QObject::connect(partition, &PartitionWindow::scanPublished, &frame, enableTreeCommands);
  });
}

}  // namespace orvaldi::app
