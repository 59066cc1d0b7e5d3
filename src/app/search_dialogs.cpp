#include "app/search_dialogs.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/translations.h"
#include "disk/sector_io.h"
#include "ops/format.h"

namespace orvaldi::app {
namespace {

constexpr int kBarSteps = 1000;  // the bar's own range; stage bounds are scaled to it

}  // namespace

SearchOptionsDialog::SearchOptionsDialog(uint32_t diskHeads, QWidget* parent) : QDialog(parent) {
  setWindowTitle("扫描丢失磁盘分区");
  cylinder_ = new QRadioButton("柱面", this);
  head_ = new QRadioButton("磁头", this);
  sector_ = new QRadioButton("扇区", this);
  cylinder_->setChecked(true);
  heads_ = new QComboBox(this);
  for (const char* count : {"255", "240", "128", "64", "32", "16"}) heads_->addItem(count);
  const QString own = QString::number(diskHeads);
  // A head count above 255 cannot be searched with; the list keeps its first entry then.
  if (diskHeads > 0 && diskHeads <= 255) {
    if (heads_->findText(own) < 0) heads_->addItem(own);
    heads_->setCurrentIndex(heads_->findText(own));
  }

  auto* modes = new QHBoxLayout;
  modes->addWidget(cylinder_);
  modes->addWidget(head_);
  modes->addWidget(sector_);
  auto* headRow = new QHBoxLayout;
  headRow->addWidget(new QLabel("磁头数:", this));
  headRow->addWidget(heads_, 1);
  auto* buttons = OkCancelButtons(this);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(modes);
  layout->addLayout(headRow);
  layout->addWidget(buttons);
}

disk::SearchMode SearchOptionsDialog::mode() const {
  if (sector_->isChecked()) return disk::SearchMode::kSector;
  if (head_->isChecked()) return disk::SearchMode::kHead;
  return disk::SearchMode::kCylinder;
}

uint8_t SearchOptionsDialog::heads() const {
  const uint32_t value = heads_->currentText().toUInt();
  return static_cast<uint8_t>(value > 255 ? 255 : value);
}

SearchListWindow::SearchListWindow(QWidget* parent)
    : QWidget(parent, Qt::Window), block_(std::make_shared<platform::ProgressBlock>(this)) {
  setWindowTitle("搜索分区");
  bar_ = new QProgressBar(this);
  bar_->setRange(0, kBarSteps);
  bar_->setValue(0);
  stop_ = new QPushButton("停止", this);
  close_ = new QPushButton("关闭", this);
  list_ = new QTreeWidget(this);
  list_->setColumnCount(5);
  list_->setHeaderLabels({"文件系统", "卷标", "柱面-磁头-扇区", "分区大小", "分区类型"});
  list_->setRootIsDecorated(false);
  list_->setUniformRowHeights(true);
  list_->header()->resizeSection(2, 130);
  list_->header()->resizeSection(3, 170);

  auto* top = new QHBoxLayout;
  top->addWidget(bar_, 1);
  top->addWidget(stop_);
  top->addWidget(close_);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addWidget(list_, 1);
  resize(620, 320);

  connect(stop_, &QPushButton::clicked, this, [this] { block_->requestCancel(); });
  connect(close_, &QPushButton::clicked, this, &QWidget::close);
}

void SearchListWindow::showFor(const QString&) {
  // The operation's title ("扫描分区") names the operation; this window keeps its own.
  // A fresh block: a search stopped before must not stop this one.
  block_ = std::make_shared<platform::ProgressBlock>(this);
  list_->clear();
  bar_->setValue(0);
  bar_->setFormat("%p%");
  running_ = true;
  stop_->setEnabled(true);
  // A window of its own is placed at the screen's corner, over the main
  // menu; it opens over the middle of the program instead. One the operator
  // left open stays where it is.
  if (!isVisible() && parentWidget()) {
    const QWidget* main = parentWidget()->window();
    move(main->frameGeometry().center() - QPoint(width() / 2, height() / 2));
  }
  show();
  raise();
}

void SearchListWindow::closeWhenDone() {
  // The rows are the search's answer: the window stays for the operator to
  // read them and closes with its own button.
  takeRows();
  running_ = false;
  stop_->setEnabled(false);
  // A stopped search did not look beyond where the bar stands.
  if (block_->cancelled()) {
    bar_->setFormat("已停止 %p%");
  } else {
    bar_->setValue(kBarSteps);
  }
}

void SearchListWindow::closeEvent(QCloseEvent* event) {
  // Closing while the search runs stops it; what it found stays.
  if (running_) block_->requestCancel();
  event->accept();
}

void SearchListWindow::beginStage(int64_t upper, int64_t step) {
  upper_ = upper < 0 ? 0 : upper;
  position_ = 0;
  step_ = step;
  showPosition();
}

void SearchListWindow::step() {
  takeRows();
  position_ = position_ + step_ > upper_ ? upper_ : position_ + step_;
  showPosition();
}

void SearchListWindow::setPosition(uint64_t position) {
  takeRows();
  position_ = position > static_cast<uint64_t>(upper_) ? upper_ : static_cast<int64_t>(position);
  showPosition();
}

void SearchListWindow::showPosition() {
  bar_->setValue(upper_ > 0 ? static_cast<int>(static_cast<double>(position_) / static_cast<double>(upper_) * kBarSteps)
                            : 0);
}

void SearchListWindow::takeRows() {
  for (const std::string& row : block_->takeRows()) addRow(row);
}

void SearchListWindow::addRow(const std::string& row) {
  disk::ResultRowFields fields;
  if (!disk::SplitResultRow(row, fields)) return;
  // The size column: the size in bytes as the device tree writes sizes, then
  // the sector count.
  bool ok = false;
  const qulonglong sectors = QString::fromStdString(fields.sectors).toULongLong(&ok);
  QString size = QString::fromStdString(fields.sectors);
  if (ok) {
    const uint64_t bytes = sectors > UINT64_MAX / disk::SectorSize ? UINT64_MAX : sectors * disk::SectorSize;
    size = QString::fromStdString(ops::SizeText(bytes)) + " (" + QString::number(sectors) + "sec)";
  }
  list_->addTopLevelItem(new QTreeWidgetItem(
      QStringList{QString::fromStdString(fields.fileSystem), QString::fromStdString(fields.label),
                  QString::fromStdString(fields.position), size, QString::fromStdString(fields.tableKind)}));
}

}  // namespace orvaldi::app
