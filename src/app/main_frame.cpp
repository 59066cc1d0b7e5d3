#include "app/main_frame.h"

#include <algorithm>

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QKeySequence>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPixmap>
#include <QSettings>
#include <QShortcut>
#include <QShowEvent>
#include <QStatusBar>
#include <QTabBar>
#include <QToolBar>
#include <QToolButton>

#include "app/about_dialog.h"
#include "app/client_settings_dialog.h"
#include "app/help_window.h"
#include "app/icons/icons.h"
#include "app/prompter.h"

namespace orvaldi::app {

// The client area: tabbed document windows over a background picture or
// colour with the logo text, which shows when no window covers it.
class ClientArea : public QMdiArea {
 public:
  explicit ClientArea(QWidget* parent) : QMdiArea(parent) {}

  void setLook(const BackgroundSettings& look) {
    look_ = look;
    picture_ = look.usePicture && !look.fileName.isEmpty() ? QPixmap(look.fileName) : QPixmap();
    viewport()->update();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(viewport());
    const QRect area = viewport()->rect();
    painter.fillRect(area, look_.backColor);
    if (!picture_.isNull()) {
      switch (look_.fit) {
        case PictureFit::kTile:
          painter.drawTiledPixmap(area, picture_);
          break;
        case PictureFit::kCentre: {
          QRect target = picture_.rect();
          target.moveCenter(area.center());
          painter.drawPixmap(target, picture_);
          break;
        }
        case PictureFit::kStretch:
          painter.drawPixmap(area, picture_);
          break;
      }
    }
    painter.setFont(look_.logoFont);
    painter.setPen(look_.logoColor);
    painter.drawText(area.adjusted(0, 0, -24, -16), Qt::AlignRight | Qt::AlignBottom, "Orvaldi");
  }

 private:
  BackgroundSettings look_;
  QPixmap picture_;
};

namespace {

// Menu texts carry their shortcut after spaces, exactly as the operator
// knows them; the stem before the spaces serves as tooltip and prompt.
QString Stem(const QString& text) {
  const qsizetype gap = text.indexOf("  ");
  return (gap < 0 ? text : text.left(gap)).trimmed();
}

struct KeyBinding {
  QKeyCombination keys;
  int command;
};

// One table, searched in order: the first row of a key wins, so a key
// bound twice goes to the earlier command.
const KeyBinding kKeyTable[] = {
    {Qt::CTRL | Qt::Key_A, kCmdAbout},
    {Qt::CTRL | Qt::ALT | Qt::Key_J, kCmdCreateImage},
    {Qt::CTRL | Qt::Key_O, kCmdOpenImage},
    {Qt::CTRL | Qt::Key_F, kCmdFindFile},
    {QKeyCombination(Qt::Key_F1), kCmdHelp},
    {QKeyCombination(Qt::Key_F4), kCmdSelectNone},
    {Qt::CTRL | Qt::ALT | Qt::Key_D, kCmdReopenDisk},
    {QKeyCombination(Qt::Key_F5), kCmdSelectAll},
    {Qt::CTRL | Qt::ALT | Qt::Key_A, kCmdStatistics},
    {Qt::CTRL | Qt::ALT | Qt::Key_G, kCmdExtractFreeSpace},
    {Qt::CTRL | Qt::ALT | Qt::Key_R, kCmdRecoverFiles},
    {Qt::CTRL | Qt::Key_S, kCmdRecoverTicked},
    {Qt::CTRL | Qt::ALT | Qt::Key_C, kCmdCreateRegion},
    {Qt::CTRL | Qt::ALT | Qt::Key_S, kCmdFullDiskScan},
    {Qt::CTRL | Qt::ALT | Qt::Key_P, kCmdLostPartitions},
    {Qt::CTRL | Qt::ALT | Qt::Key_O, kCmdPartitionTable},
    {Qt::CTRL | Qt::Key_L, kCmdFileFilter},
    {Qt::CTRL | Qt::Key_F4, kCmdExit},
    {Qt::CTRL | Qt::SHIFT | Qt::Key_C, kCmdClosePartition},
};

struct ToolButton {
  int command;
  const char* icon;
};

const ToolButton kToolBar[] = {
    {kCmdOpenImage, "open_image"},         {kCmdCreateImage, "create_image"},
    {kCmdLostPartitions, "scan_lost"},     {kCmdPartitionTable, "partition_table"},
    {kCmdExtractFreeSpace, "free_space"},  {kCmdCreateRegion, "create_region"},
    {kCmdReopenDisk, "reopen_disk"},       {kCmdRecoverFiles, "recover"},
    {kCmdRecoverTicked, "recover_ticked"}, {kCmdSelectAll, "select_all"},
    {kCmdSelectNone, "select_none"},       {kCmdFileFilter, "filter"},
};

}  // namespace

MainFrame::MainFrame(QSettings* store, QWidget* parent) : QMainWindow(parent), store_(store) {
  InitIcons();
  setWindowTitle("Orvaldi");
  setWindowIcon(QIcon(":/icons/orvaldi.svg"));
  area_ = new ClientArea(this);
  area_->setViewMode(QMdiArea::TabbedView);
  area_->setDocumentMode(true);
  area_->setTabsClosable(false);
  area_->setTabsMovable(false);
  area_->setMinimumSize(500, 300);
  setCentralWidget(area_);
  connect(area_, &QMdiArea::subWindowActivated, this, &MainFrame::onSubWindowActivated);
  if (QTabBar* tabs = windowTabs()) {
    tabs->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(tabs, &QTabBar::customContextMenuRequested, this, &MainFrame::showTabMenu);
  }

  if (store_) {
    const ShellSettings settings = LoadShellSettings(*store_);
    if (settings.placement) applyPlacement(*settings.placement);
    childMaximized_ = settings.childMaximized;
    background_ = settings.background;
  }
  area_->setLook(background_);

  buildMenus();
  buildToolBar();
  buildStatusBar();
  bindKeys();
  showMenusFor(false);
}

MainFrame::~MainFrame() {
  // The document windows go after this body; their farewell must not
  // write settings the operator never confirmed.
  store_ = nullptr;
  for (QMdiSubWindow* sub : area_->subWindowList()) sub->disconnect(this);
  area_->disconnect(this);
}

QAction* MainFrame::addCommand(QMenu* menu, int id, const QString& text) {
  auto* act = new QAction(text, this);
  act->setData(id);
  act->setStatusTip(Stem(text));
  act->setToolTip(Stem(text));
  menu->addAction(act);
  actions_[id] = act;
  return act;
}

void MainFrame::buildMenus() {
  QMenuBar* bar = menuBar();
  auto popup = [&](const QString& title, std::vector<QMenu*>& set) {
    QMenu* menu = bar->addMenu(title);
    set.push_back(menu);
    return menu;
  };

  QMenu* file = popup("文件(&F)", deviceMenus_);
  addCommand(file, kCmdOpenImage, "打开镜像文件     Ctrl+O");
  addCommand(file, kCmdSaveScanInfo, "保存搜索硬盘信息");
  addCommand(file, kCmdLoadScanInfo, "打开搜索硬盘信息");
  addCommand(file, kCmdExit, "关闭             Ctrl+F4");
  QMenu* tools = popup("工具(&T)", deviceMenus_);
  addCommand(tools, kCmdCreateRegion, "创建区域          Ctrl+Alt+C");
  addCommand(tools, kCmdCreateImage, "创建镜像文件      Ctrl+Alt+J");
  addCommand(tools, kCmdFullDiskScan, "全盘扫描          Ctrl+Alt+S");
  addCommand(tools, kCmdExtractFreeSpace, "提取分区空闲空间  Ctrl+Alt+G");
  addCommand(tools, kCmdLostPartitions, "扫描丢失分区      Ctrl+Alt+P");
  addCommand(tools, kCmdPartitionTable, "分区表操作        Ctrl+Alt+O");
  QMenu* help = popup("帮助(&H)", deviceMenus_);
  addCommand(help, kCmdAbout, "关于     Ctrl+A");
  addCommand(help, kCmdHelp, "帮助     F1");

  QMenu* disk = popup("磁盘(&D)", partitionMenus_);
  addCommand(disk, kCmdReopenDisk, "重新打开磁盘   Ctrl+Alt+D ");
  addCommand(disk, kCmdSavePartitionInfo, "保存分区信息")->setEnabled(false);
  addCommand(disk, kCmdLoadPartitionInfo, "读取分区信息")->setEnabled(false);
  addCommand(disk, kCmdClosePartition, "关闭分区       Ctrl+Shift+C");
  QMenu* files = popup("文件(&F)", partitionMenus_);
  addCommand(files, kCmdRecoverFiles, "恢复文件       Ctrl+Alt+R");
  addCommand(files, kCmdRecoverTicked, "恢复选中文件   Ctrl+S");
  addCommand(files, kCmdStatistics, "文件大小统计   Ctrl+Alt+A");
  QMenu* partTools = popup("工具(&T)", partitionMenus_);
  addCommand(partTools, kCmdSelectAll, "全部选择         F5");
  addCommand(partTools, kCmdSelectNone, "取消全部选择     F4");
  addCommand(partTools, kCmdFileFilter, "文件筛选     CTrl+L");
  QMenu* partHelp = popup("帮助(&H)", partitionMenus_);
  addCommand(partHelp, kCmdAboutInPartition, "关于     Ctrl+A");
  addCommand(partHelp, kCmdHelpInPartition, "帮助     F1");

  // Reached only from the keyboard; its dialog belongs to the file filter.
  auto* findFile = new QAction("查找文件", this);
  findFile->setData(kCmdFindFile);
  actions_[kCmdFindFile] = findFile;

  connect(action(kCmdExit), &QAction::triggered, this, &QWidget::close);
  connect(action(kCmdAbout), &QAction::triggered, this, &MainFrame::showAbout);
  connect(action(kCmdAboutInPartition), &QAction::triggered, this, &MainFrame::showAbout);
  connect(action(kCmdHelp), &QAction::triggered, this, &MainFrame::showHelp);
  connect(action(kCmdHelpInPartition), &QAction::triggered, this, &MainFrame::showHelp);
  connect(action(kCmdClosePartition), &QAction::triggered, this, [this] { closeActiveDocumentWindow(); });

  // The logo area of the caption.
  auto* logo = new QToolButton(bar);
  logo->setIcon(QIcon(":/icons/orvaldi.svg"));
  logo->setAutoRaise(true);
  logo->setToolTip("Orvaldi");
  connect(logo, &QToolButton::clicked, this,
          [this] { CurrentPrompter().message(this, "Orvaldi", "欢迎访问Orvaldi主页"); });
  bar->setCornerWidget(logo, Qt::TopRightCorner);
}

void MainFrame::buildToolBar() {
  QToolBar* bar = addToolBar("Orvaldi");
  bar->setObjectName("toolbar");
  bar->setMovable(false);
  bar->setIconSize(QSize(32, 32));
  bar->setToolButtonStyle(Qt::ToolButtonIconOnly);
  for (const ToolButton& button : kToolBar) {
    QAction* act = action(button.command);
    act->setIcon(QIcon(QString(":/icons/%1.svg").arg(button.icon)));
    bar->addAction(act);
  }
}

void MainFrame::buildStatusBar() {
  // Pane 0 is the bar's own message line (menu prompts); panes 1 and 2
  // stay put beside it.
  folderPane_ = new QLabel(this);
  statisticsPane_ = new QLabel(this);
  for (QLabel* pane : {folderPane_, statisticsPane_}) pane->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
  folderPane_->setMinimumWidth(220);
  statisticsPane_->setMinimumWidth(260);
  statusBar()->addPermanentWidget(folderPane_);
  statusBar()->addPermanentWidget(statisticsPane_);
  statusBar()->setSizeGripEnabled(false);
  // What pane 0 shows whenever no prompt covers it.
  statusBar()->addWidget(new QLabel("就绪", this), 1);
}

void MainFrame::bindKeys() {
  std::vector<QKeySequence> seen;
  for (const KeyBinding& binding : kKeyTable) {
    const QKeySequence keys(binding.keys);
    if (std::find(seen.begin(), seen.end(), keys) != seen.end()) continue;
    seen.push_back(keys);
    auto* shortcut = new QShortcut(keys, this);
    shortcut->setContext(Qt::WindowShortcut);
    const int id = binding.command;
    connect(shortcut, &QShortcut::activated, this, [this, id] {
      QAction* act = action(id);
      if (act && act->isEnabled()) act->trigger();
    });
  }
}

void MainFrame::setDeviceWindow(QWidget* window, const QString& title) {
  if (deviceSub_) {
    QWidget* old = deviceSub_->widget();
    deviceSub_->setWidget(window);
    deviceSub_->setWindowTitle(title);
    if (old && old != window) old->deleteLater();
    return;
  }
  deviceSub_ = area_->addSubWindow(window);
  deviceSub_->setWindowTitle(title);
  // Without the system menu the window has no close entry or Ctrl+F4 of
  // its own: the device window stays, and Ctrl+F4 is the frame's exit.
  deviceSub_->setSystemMenu(nullptr);
  deviceSub_->showMaximized();
  area_->setActiveSubWindow(deviceSub_);
  showMenusFor(false);
}

QMdiSubWindow* MainFrame::addDocumentWindow(QWidget* window, const QString& title) {
  QMdiSubWindow* sub = area_->addSubWindow(window);
  sub->setAttribute(Qt::WA_DeleteOnClose);
  sub->setWindowTitle(title);
  sub->setSystemMenu(nullptr);
  // The state of the last partition window closed is what the next run's
  // windows start with.
  connect(sub, &QObject::destroyed, this, [this] {
    if (store_) SaveChildWinState(*store_, childMaximized_);
  });
  if (childMaximized_) {
    sub->showMaximized();
  } else {
    sub->show();
  }
  area_->setActiveSubWindow(sub);
  return sub;
}

QWidget* MainFrame::deviceWindow() const { return deviceSub_ ? deviceSub_->widget() : nullptr; }

QWidget* MainFrame::activeDocumentWindow() const {
  QMdiSubWindow* sub = area_->currentSubWindow();
  return sub ? sub->widget() : nullptr;
}

int MainFrame::activeTabIndex() const {
  QMdiSubWindow* sub = area_->currentSubWindow();
  if (!sub) return -1;
  return static_cast<int>(area_->subWindowList(QMdiArea::CreationOrder).indexOf(sub));
}

QWidget* MainFrame::findDocumentWindow(const QString& title) const {
  for (QMdiSubWindow* sub : area_->subWindowList(QMdiArea::CreationOrder))
    if (sub != deviceSub_ && sub->windowTitle() == title) return sub->widget();
  return nullptr;
}

bool MainFrame::closeActiveDocumentWindow() {
  QMdiSubWindow* sub = area_->currentSubWindow();
  if (!sub || sub == deviceSub_) return false;
  childMaximized_ = sub->isMaximized();
  // The tab to the left takes over, as the operator reads the tab bar.
  const QList<QMdiSubWindow*> tabs = area_->subWindowList(QMdiArea::CreationOrder);
  const qsizetype index = tabs.indexOf(sub);
  if (!sub->close()) return false;
  if (index > 0) area_->setActiveSubWindow(tabs[index - 1]);
  return true;
}

QAction* MainFrame::action(int commandId) const {
  const auto found = actions_.find(commandId);
  return found == actions_.end() ? nullptr : found->second;
}

bool MainFrame::partitionMenusShown() const { return partitionMenusShown_; }

QMdiArea* MainFrame::clientArea() const { return area_; }

QTabBar* MainFrame::windowTabs() const { return area_->findChild<QTabBar*>(); }

void MainFrame::setFolderSummary(const QString& text) { folderPane_->setText(text); }
void MainFrame::setStatisticsText(const QString& text) { statisticsPane_->setText(text); }
QString MainFrame::folderSummary() const { return folderPane_->text(); }
QString MainFrame::statisticsText() const { return statisticsPane_->text(); }

void MainFrame::onSubWindowActivated(QMdiSubWindow* window) {
  // Losing activation to another program reports no window; the menus
  // then stay as they are.
  if (!window) return;
  if (window != deviceSub_) childMaximized_ = window->isMaximized();
  showMenusFor(window != deviceSub_);
  emit documentWindowActivated(window->widget(), window != deviceSub_);
}

void MainFrame::showMenusFor(bool partitionWindow) {
  partitionMenusShown_ = partitionWindow;
  for (QMenu* menu : deviceMenus_) menu->menuAction()->setVisible(!partitionWindow);
  for (QMenu* menu : partitionMenus_) menu->menuAction()->setVisible(partitionWindow);
}

void MainFrame::showTabMenu(const QPoint& position) {
  QMenu menu(this);
  QAction* closeEntry = menu.addAction("关闭");
  menu.addSeparator();
  QAction* lookEntry = menu.addAction("MDI Client Settings");
  QAction* chosen = menu.exec(windowTabs()->mapToGlobal(position));
  if (chosen == closeEntry) closeActiveDocumentWindow();
  if (chosen == lookEntry) showClientSettings();
}

WindowPlacement MainFrame::placement() const {
  WindowPlacement p;
  const QRect normal = normalGeometry().isValid() ? normalGeometry() : geometry();
  p.left = normal.left();
  p.top = normal.top();
  p.right = normal.left() + normal.width();
  p.bottom = normal.top() + normal.height();
  if (isMaximized()) {
    p.flags |= WindowPlacement::kRestoreToMaximized;
    p.showState = WindowPlacement::kShowMaximized;
  } else if (isMinimized()) {
    p.showState = WindowPlacement::kShowMinimized;
  }
  return p;
}

void MainFrame::applyPlacement(const WindowPlacement& p) {
  if (p.right > p.left && p.bottom > p.top) setGeometry(QRect(p.left, p.top, p.right - p.left, p.bottom - p.top));
}

void MainFrame::setBackground(const BackgroundSettings& background) {
  background_ = background;
  area_->setLook(background_);
}

void MainFrame::showAtStart() {
  // Maximised windows fill the work area, not the screen, on every desktop
  // we run on; moving the window as well would lose its restored size.
  showMaximized();
}

QString MainFrame::HelpFilePath() { return QCoreApplication::applicationDirPath() + "/help/index.html"; }

void MainFrame::showAbout() {
  AboutDialog dialog(this);
  dialog.exec();
}

void MainFrame::showHelp() {
  if (!help_) help_ = new HelpWindow(this);
  if (!help_->showGuide()) CurrentPrompter().message(this, "error", "无法打开帮助文件：" + HelpFilePath());
}

void MainFrame::showClientSettings() {
  ClientSettingsDialog dialog(background_, this);
  if (dialog.exec() != QDialog::Accepted) return;
  setBackground(dialog.settings());
  if (store_) SaveBackground(*store_, background_);
}

void MainFrame::saveState() {
  if (!store_) return;
  SaveWindowPlacement(*store_, placement());
  if (QMdiSubWindow* sub = area_->currentSubWindow(); sub && sub != deviceSub_) childMaximized_ = sub->isMaximized();
  SaveChildWinState(*store_, childMaximized_);
  SaveBackground(*store_, background_);
  store_->sync();
}

void MainFrame::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  // A window placed in the client area while it was hidden never becomes
  // active, not even when asked again later; placed anew once the frame is
  // up it does (and as the only window it keeps tab 0).
  QMetaObject::invokeMethod(
      this,
      [this] {
        if (!deviceSub_ || area_->currentSubWindow()) return;
        if (area_->subWindowList().size() == 1) {
          area_->removeSubWindow(deviceSub_);
          area_->addSubWindow(deviceSub_);
          deviceSub_->showMaximized();
        }
        area_->setActiveSubWindow(deviceSub_);
      },
      Qt::QueuedConnection);
}

void MainFrame::closeEvent(QCloseEvent* event) {
  if (CurrentPrompter().ask(this, "Orvaldi", "您真的要退出程序吗?", QMessageBox::Ok | QMessageBox::Cancel) !=
      QMessageBox::Ok) {
    event->ignore();
    return;
  }
  saveState();
  event->accept();
}

}  // namespace orvaldi::app
