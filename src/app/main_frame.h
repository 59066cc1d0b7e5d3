// The main window: menus of the device and partition windows, the toolbar,
// the three-pane status bar, and the tabbed client area that holds the
// device window (tab 0) and one window per opened partition.
#pragma once

#include <map>
#include <vector>

#include <QMainWindow>
#include <QString>

#include "app/settings.h"

class QAction;
class QLabel;
class QMdiArea;
class QMdiSubWindow;
class QMenu;
class QSettings;
class QTabBar;

namespace orvaldi::app {

class ClientArea;
class HelpWindow;

// Command ids of the menus, the toolbar and the keyboard table. The frame
// handles its own (exit, about, help, closing a partition window); the
// others are connected to the device and partition windows.
enum Command : int {
  kCmdOpenImage = 32792,
  kCmdSaveScanInfo = 32917,
  kCmdLoadScanInfo = 32918,
  kCmdExit = 32908,
  kCmdCreateRegion = 32867,
  kCmdCreateImage = 32803,
  kCmdFullDiskScan = 32805,
  kCmdExtractFreeSpace = 32806,
  kCmdLostPartitions = 32876,
  kCmdPartitionTable = 32858,
  kCmdAbout = 57664,
  kCmdHelp = 32808,
  kCmdReopenDisk = 32822,
  kCmdSavePartitionInfo = 32921,
  kCmdLoadPartitionInfo = 32922,
  kCmdClosePartition = 32912,
  kCmdRecoverFiles = 32854,
  kCmdRecoverTicked = 32855,
  kCmdStatistics = 32879,
  kCmdSelectAll = 32828,
  kCmdSelectNone = 32830,
  kCmdFileFilter = 32874,
  kCmdAboutInPartition = 32831,
  kCmdHelpInPartition = 32833,
  kCmdFindFile = 32850,  // keyboard only (Ctrl+F)
};

class MainFrame : public QMainWindow {
  Q_OBJECT
 public:
  // `store` (not owned; may be null, then nothing is read or written) keeps
  // the window placement and background between runs.
  explicit MainFrame(QSettings* store = nullptr, QWidget* parent = nullptr);
  ~MainFrame() override;

  // Tab 0. Must come before any document window; a second call swaps the
  // widget inside the same tab (the old one is deleted).
  void setDeviceWindow(QWidget* window, const QString& title = QStringLiteral("设备"));
  // A partition window as the next tab, made active.
  QMdiSubWindow* addDocumentWindow(QWidget* window, const QString& title);

  QWidget* deviceWindow() const;
  // The widget of the active tab (the device window included), or null.
  QWidget* activeDocumentWindow() const;
  // The tab index of the active window: 0 the device window, -1 none.
  int activeTabIndex() const;
  // The document window titled `title`, or null.
  QWidget* findDocumentWindow(const QString& title) const;
  // Closes the active partition window; the device window stays. Returns
  // whether a window was closed.
  bool closeActiveDocumentWindow();

  // The action of a command id, or null when there is none.
  QAction* action(int commandId) const;
  bool partitionMenusShown() const;

  QMdiArea* clientArea() const;
  QTabBar* windowTabs() const;
  // The help window once F1 made it; null before.
  HelpWindow* helpWindow() const { return help_; }

  // Panes 1 and 2 of the status bar: the folder summary and the statistics.
  void setFolderSummary(const QString& text);
  void setStatisticsText(const QString& text);
  QString folderSummary() const;
  QString statisticsText() const;

  WindowPlacement placement() const;
  void applyPlacement(const WindowPlacement& placement);
  const BackgroundSettings& background() const { return background_; }
  void setBackground(const BackgroundSettings& background);

  // Shows the frame maximised over the desktop's work area (the restored
  // size stays the one the settings gave).
  void showAtStart();

  // The help file beside the program (the program carries a copy of it too).
  static QString HelpFilePath();

 public slots:
  void showAbout();
  // The guide in the program's own help window.
  void showHelp();
  void showClientSettings();

 signals:
  // The active tab changed; `isPartitionWindow` is false for the device window.
  void documentWindowActivated(QWidget* window, bool isPartitionWindow);

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  QAction* addCommand(QMenu* menu, int id, const QString& text);
  void buildMenus();
  void buildToolBar();
  void buildStatusBar();
  void bindKeys();
  void onSubWindowActivated(QMdiSubWindow* window);
  void showMenusFor(bool partitionWindow);
  void showTabMenu(const QPoint& position);
  void saveState();

  QSettings* store_;
  ClientArea* area_;
  QMdiSubWindow* deviceSub_ = nullptr;
  std::map<int, QAction*> actions_;
  std::vector<QMenu*> deviceMenus_;
  std::vector<QMenu*> partitionMenus_;
  bool partitionMenusShown_ = false;
  bool childMaximized_ = true;
  QLabel* folderPane_;
  QLabel* statisticsPane_;
  BackgroundSettings background_;
  HelpWindow* help_ = nullptr;  // made on the first F1, kept for the next
};

}  // namespace orvaldi::app
