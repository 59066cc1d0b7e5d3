#include "app/workstation.h"

#include <QAction>

#include "app/device_window.h"
#include "app/main_frame.h"
#include "app/partition_window.h"

namespace orvaldi::app {

void ConnectWorkstation(MainFrame& frame, DeviceWindow& device) {
  QObject::connect(&device, &DeviceWindow::documentCreated, &frame,
                   [&frame](QWidget* window, const QString& title) { frame.addDocumentWindow(window, title); });
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
  for (const int waiting :
       {kCmdCreateImage, kCmdExtractFreeSpace, kCmdPartitionTable, kCmdSavePartitionInfo, kCmdRecoverFiles,
        kCmdRecoverTicked, kCmdStatistics, kCmdSelectAll, kCmdSelectNone, kCmdFileFilter, kCmdFindFile})
    if (QAction* action = frame.action(waiting)) action->setEnabled(false);
}

}  // namespace orvaldi::app
