// The imaging dialog and the command that opens it.
#include "app/imaging_dialog.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <QCloseEvent>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeView>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/device_tree_model.h"
#include "app/device_window.h"
#include "app/prompter.h"
#include "ops/imaging_job.h"
#include "ops/job_checks.h"
#include "platform/sector_source.h"
#include "raw/imaging.h"

namespace orvaldi::app {
namespace {

constexpr int kNameRole = Qt::UserRole;
constexpr int kBadListWidth = 240;

QString PartitionText(const disk::PartitionInfo& p) {
  return QString::fromStdString(p.name.empty() ? p.volumeLabel : p.name);
}

uint64_t SectorsOf(const disk::DiskInfo& disk, const disk::PartitionInfo* partition) {
  if (partition) return partition->sectorCount;
  return disk.sizeBytes > 0 ? static_cast<uint64_t>(disk.sizeBytes) / platform::SectorSize : 0;
}

// A sector number typed into a field; nothing when the field is empty or
// not a whole number.
std::optional<uint64_t> SectorField(const QLineEdit* edit) {
  bool ok = false;
  const qulonglong value = edit->text().trimmed().toULongLong(&ok);
  if (!ok) return std::nullopt;
  return static_cast<uint64_t>(value);
}

}  // namespace

// One start of the copy, shared by its worker and its publishing.
struct ImagingDialog::Run {
  ops::ImagingRequest request;
  platform::Status prepared = platform::Status::kOk;
  std::string prepareMessage;
  std::vector<std::string> notes;
  bool copied = false;  // the copy was run
  ops::ImagingOutcome outcome;
};

QString ImagingDialog::NameOf(const disk::DiskInfo& disk, const disk::PartitionInfo* partition) {
  QString name = QString::fromStdString(disk::DisplayName(disk));
  if (partition) name += "," + PartitionText(*partition);
  return name;
}

ImagingDialog::ImagingDialog(disk::DiskInfoList& disks, OperationStarter starter, QWidget* parent)
    : QDialog(parent), disks_(disks), starter_(std::move(starter)) {
  setWindowTitle("镜像");
  block_ = std::make_shared<platform::ProgressBlock>(this);

  tree_ = new QTreeWidget(this);
  tree_->setHeaderHidden(true);
  tree_->setMinimumWidth(200);
  connect(tree_, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* item) { itemClicked(item); });

  source_ = new QLineEdit(this);
  start_ = new QLineEdit("0", this);
  count_ = new QLineEdit("0", this);
  count_->setReadOnly(true);
  auto* sourceBox = new QGroupBox("数据源", this);
  auto* sourceGrid = new QGridLayout(sourceBox);
  sourceGrid->addWidget(new QLabel("源文件：", sourceBox), 0, 0);
  sourceGrid->addWidget(source_, 0, 1);
  sourceGrid->addWidget(new QLabel("起始扇区：", sourceBox), 1, 0);
  sourceGrid->addWidget(start_, 1, 1);
  sourceGrid->addWidget(new QLabel("扇区数目：", sourceBox), 2, 0);
  sourceGrid->addWidget(count_, 2, 1);

  toDisk_ = new QRadioButton("到磁盘", this);
  toFile_ = new QRadioButton("到文件", this);
  toDisk_->setChecked(true);
  auto* kindBox = new QGroupBox("选择", this);
  auto* kindRow = new QHBoxLayout(kindBox);
  kindRow->addWidget(toDisk_);
  kindRow->addWidget(toFile_);
  kindRow->addStretch(1);

  target_ = new QLineEdit(this);
  targetStart_ = new QLineEdit("0", this);
  path_ = new QLineEdit(this);
  browsePath_ = new QPushButton("...", this);
  map_ = new QLineEdit(this);
  auto* browseMapButton = new QPushButton("...", this);
  for (QPushButton* b : {browsePath_, browseMapButton}) b->setFixedWidth(32);
  mapNote_ = new QLabel(this);
  mapNote_->setWordWrap(true);
  auto* targetBox = new QGroupBox("镜像位置", this);
  auto* targetGrid = new QGridLayout(targetBox);
  targetGrid->addWidget(new QLabel("目标磁盘：", targetBox), 0, 0);
  targetGrid->addWidget(target_, 0, 1, 1, 2);
  targetGrid->addWidget(new QLabel("起始扇区：", targetBox), 1, 0);
  targetGrid->addWidget(targetStart_, 1, 1, 1, 2);
  targetGrid->addWidget(new QLabel("文件路径：", targetBox), 2, 0);
  targetGrid->addWidget(path_, 2, 1);
  targetGrid->addWidget(browsePath_, 2, 2);
  targetGrid->addWidget(new QLabel("映射文件：", targetBox), 3, 0);
  targetGrid->addWidget(map_, 3, 1);
  targetGrid->addWidget(browseMapButton, 3, 2);
  targetGrid->addWidget(mapNote_, 4, 0, 1, 3);

  bar_ = new QProgressBar(this);
  bar_->setRange(0, 1);
  bar_->setValue(0);
  bar_->setTextVisible(false);
  sectors_ = new QLabel("0", this);
  rate_ = new QLabel(this);
  auto* doneRow = new QHBoxLayout;
  doneRow->addWidget(sectors_);
  doneRow->addWidget(new QLabel("扇区完成镜像", this));
  doneRow->addStretch(1);
  doneRow->addWidget(rate_);

  startButton_ = new QPushButton("开始", this);
  stopButton_ = new QPushButton("停止", this);
  stopButton_->setEnabled(false);
  startButton_->setDefault(true);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(startButton_);
  buttons->addWidget(stopButton_);

  auto* form = new QVBoxLayout;
  form->addWidget(sourceBox);
  form->addWidget(kindBox);
  form->addWidget(targetBox);
  form->addWidget(bar_);
  form->addLayout(doneRow);
  form->addLayout(buttons);
  form->addStretch(1);

  badList_ = new QTreeWidget(this);
  badList_->setColumnCount(2);
  badList_->setHeaderLabels({"坏扇区数目", "坏扇区扇区号"});
  badList_->header()->resizeSection(0, 50);
  badList_->header()->resizeSection(1, 100);
  badList_->setRootIsDecorated(false);
  badList_->setUniformRowHeights(true);
  badList_->setSelectionBehavior(QAbstractItemView::SelectRows);
  badList_->setFixedWidth(kBadListWidth);
  // Shown, and the window widened, by the first unreadable sector.
  badList_->hide();

  auto* layout = new QHBoxLayout(this);
  layout->addWidget(tree_);
  layout->addLayout(form, 1);
  layout->addWidget(badList_);

  for (QLineEdit* edit : {source_, target_}) edit->installEventFilter(this);
  lastEdit_ = source_;
  connect(toDisk_, &QRadioButton::toggled, this, [this] { targetKindChanged(); });
  connect(browsePath_, &QPushButton::clicked, this, [this] { browsePath(); });
  connect(browseMapButton, &QPushButton::clicked, this, [this] { browseMap(); });
  connect(map_, &QLineEdit::textChanged, this, [this] { updateMapNote(); });
  connect(source_, &QLineEdit::textChanged, this, [this](const QString& text) {
    if (const auto named = resolve(text.trimmed()))
      count_->setText(QString::number(SectorsOf(*named->disk, named->partition)));
  });
  connect(startButton_, &QPushButton::clicked, this, &ImagingDialog::start);
  connect(stopButton_, &QPushButton::clicked, this, &ImagingDialog::stop);
  targetKindChanged();
  updateMapNote();
  populate();
  resize(640, sizeHint().height());
}

ImagingDialog::~ImagingDialog() {
  // A copy outlives its window only as long as it takes to stop.
  if (running()) block_->requestCancel();
}

void ImagingDialog::showForSource(const QString& source) {
  populate();
  lastEdit_ = source_;
  chooseName(source);
  updateMapNote();
  show();
  raise();
  activateWindow();
}

void ImagingDialog::populate() {
  tree_->clear();
  for (const disk::DiskInfo& d : disks_) {
    auto* item = new QTreeWidgetItem(tree_, {NameOf(d)});
    item->setData(0, kNameRole, NameOf(d));
    for (const disk::PartitionInfo& p : d.partitions) {
      if (PartitionText(p).isEmpty()) continue;  // nothing to name it by
      auto* child = new QTreeWidgetItem(item, {PartitionText(p)});
      child->setData(0, kNameRole, NameOf(d, &p));
    }
  }
  tree_->expandAll();
}

std::optional<ImagingDialog::Named> ImagingDialog::resolve(const QString& name) const {
  if (name.isEmpty()) return std::nullopt;
  // A display name may hold a comma itself (an image's file name): the
  // disk is found by its whole text, the partition by what follows.
  for (const disk::DiskInfo& d : disks_) {
    const QString diskText = NameOf(d);
    if (name == diskText) return Named{&d, nullptr};
    if (!name.startsWith(diskText + ",")) continue;
    const QString rest = name.mid(diskText.size() + 1);
    for (const disk::PartitionInfo& p : d.partitions)
      if (PartitionText(p) == rest) return Named{&d, &p};
  }
  return std::nullopt;
}

void ImagingDialog::itemClicked(QTreeWidgetItem* item) {
  if (item) chooseName(item->data(0, kNameRole).toString());
}

void ImagingDialog::chooseName(const QString& name) {
  QLineEdit* edit = lastEdit_ ? lastEdit_ : source_;
  edit->setText(name);
  if (edit != source_) return;
  const auto named = resolve(name);
  count_->setText(named ? QString::number(SectorsOf(*named->disk, named->partition)) : QString("0"));
}

bool ImagingDialog::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::FocusIn && (watched == source_ || watched == target_))
    lastEdit_ = static_cast<QLineEdit*>(watched);
  return QDialog::eventFilter(watched, event);
}

void ImagingDialog::targetKindChanged() {
  const bool toDisk = toDisk_->isChecked();
  target_->setEnabled(toDisk);
  targetStart_->setEnabled(toDisk);
  path_->setEnabled(!toDisk);
  browsePath_->setEnabled(!toDisk);
}

void ImagingDialog::browsePath() {
  QFileDialog dialog(this, QString(), path_->text(), "Img files(*.img);;All files(*.*)");
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setDefaultSuffix("img");
  if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
    path_->setText(dialog.selectedFiles().front());
}

void ImagingDialog::browseMap() {
  QFileDialog dialog(this, QString(), map_->text(), "Map files(*.map);;All files(*.*)");
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setDefaultSuffix("map");
  // An existing map is what a resumed copy reads: choosing it is not overwriting it.
  dialog.setOption(QFileDialog::DontConfirmOverwrite);
  if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
    map_->setText(dialog.selectedFiles().front());
}

void ImagingDialog::updateMapNote() {
  const QString path = map_->text().trimmed();
  std::error_code ec;
  if (path.isEmpty()) {
    mapNote_->setText("不用映射文件：停止后只能从头镜像");
  } else if (std::filesystem::exists(path.toStdString(), ec)) {
    mapNote_->setText("映射文件已存在：开始后只读取其中未完成的部分，继续上次的镜像");
  } else {
    mapNote_->setText("开始后新建映射文件，停止后可从中断处继续");
  }
}

void ImagingDialog::error(const QString& text) { CurrentPrompter().message(this, "error", text); }

void ImagingDialog::start() {
  if (running()) {
    CurrentPrompter().message(this, "waiting", "等待当前操作完成！");
    return;
  }
  const QString sourceName = source_->text().trimmed();
  if (sourceName.isEmpty()) return error("请选择源磁盘信息");
  if (count_->text().trimmed().isEmpty()) return error("请填写源磁盘镜像大小");
  const auto startSector = SectorField(start_);
  if (!startSector) return error("请填写源磁盘镜像起始扇区");
  const auto source = resolve(sourceName);
  if (!source) return error("请选择源磁盘信息");
  // A volume spread over several disks has no one range to copy.
  const auto plain = [](const Named& n) { return !n.partition || n.partition->volumeKind == disk::VolumeKind::kPlain; };
  if (!plain(*source)) return error("只能镜像在一个磁盘上连续存放的分区");

  auto run = std::make_shared<Run>();
  ops::ImagingRequest& r = run->request;
  r.source = source->disk->devicePath;
  r.sectorSize = ops::ImagingSectorSize(*source->disk);
  if (source->partition)
    r.partition = ops::ImagedPartition{PartitionText(*source->partition).toStdString(), source->partition->startSector,
                                       source->partition->sectorCount};
  r.startSector = *startSector;
  r.toDisk = toDisk_->isChecked();
  if (r.toDisk) {
    const QString targetName = target_->text().trimmed();
    if (targetName.isEmpty()) return error("请选择目标磁盘信息");
    const auto targetStart = SectorField(targetStart_);
    if (!targetStart) return error("请填写目标磁盘镜像起始扇区");
    const auto target = resolve(targetName);
    if (!target) return error("请选择目标磁盘信息");
    if (!plain(*target)) return error("只能写入在一个磁盘上连续存放的分区");
    r.target = target->disk->devicePath;
    r.targetStartSector = *targetStart;
    if (auto refusal = ops::WriteOntoSourceRefusal(r.source, r.target)) return error(QString::fromStdString(*refusal));
    if (target->partition) {
      // Onto a partition: the copy must end inside it, not run on over
      // whatever follows it on the disk.
      const uint64_t room = target->partition->sectorCount;
      const uint64_t sourceSectors = SectorsOf(*source->disk, source->partition);
      const uint64_t needed = sourceSectors > *startSector ? sourceSectors - *startSector : 0;
      if (*targetStart > room || needed > room - *targetStart)
        return error(QString("目标分区容不下镜像：需要 %1 扇区，从起始扇区起只有 %2 扇区")
                         .arg(needed)
                         .arg(*targetStart > room ? 0 : room - *targetStart));
      r.targetStartSector += target->partition->startSector;
    }
  } else {
    const QString path = path_->text().trimmed();
    if (path.isEmpty()) return error("请选择目标文件路径");
    r.target = path.toStdString();
  }
  // Refused before the operator is asked to risk the target (PrepareImaging
  // checks again, with the map's files).
  if (auto refusal = ops::WriteOntoSourceRefusal(r.source, r.target)) return error(QString::fromStdString(*refusal));
  if (r.toDisk && CurrentPrompter().ask(this, "警告", "该操作可能破坏目标磁盘",
                                        QMessageBox::Ok | QMessageBox::Cancel) != QMessageBox::Ok)
    return;
  r.mapfile = map_->text().trimmed().toStdString();
  r.commandLine = ops::ImagingCommandLine(r, r.partition ? r.partition->name : std::string());
  r.listBadSectors = true;

  OperationRequest op;
  op.family = OperationFamily::kImage;
  op.title = "镜像";
  op.owner = this;
  op.view = this;
  op.busy = busy_;
  op.work = [run](platform::ProgressBlock& progress) {
    ops::PreparedImaging prepared = ops::PrepareImaging(run->request);
    run->prepared = prepared.status;
    run->prepareMessage = prepared.message;
    run->notes = prepared.notes;
    if (prepared.status != platform::Status::kOk) return;
    run->outcome = ops::RunImaging(prepared, progress);
    run->copied = true;
  };
  op.publish = [this, run] { publish(*run); };
  starter_(std::move(op));
}

void ImagingDialog::stop() {
  if (running()) block_->requestCancel();
}

void ImagingDialog::reject() {
  stop();
  QDialog::reject();
}

void ImagingDialog::closeEvent(QCloseEvent* event) {
  // Closing stops the copy; the map keeps what was done.
  stop();
  event->accept();
}

void ImagingDialog::showFor(const QString&) {
  // A fresh block: a copy stopped before must not stop this one.
  block_ = std::make_shared<platform::ProgressBlock>(this);
  upper_ = 0;
  position_ = 0;
  badList_->clear();
  bar_->setRange(0, 1);
  bar_->setValue(0);
  sectors_->setText("0");
  rate_->clear();
  startButton_->setEnabled(false);
  stopButton_->setEnabled(true);
  show();
  raise();
}

void ImagingDialog::closeWhenDone() {
  addBadSectors();
  startButton_->setEnabled(true);
  stopButton_->setEnabled(false);
  updateMapNote();
}

void ImagingDialog::beginStage(int64_t upper, int64_t step) {
  upper_ = upper < 0 ? 0 : upper;
  step_ = step;
  position_ = 0;
  // One step per MiB; a copy of nothing shows an empty bar rather than a busy one.
  bar_->setRange(0, static_cast<int>(std::min<int64_t>(std::max<int64_t>(upper_, 1), INT32_MAX)));
  bar_->setValue(0);
  showLatest();
}

void ImagingDialog::step() {
  position_ = std::min(position_ + step_, upper_);
  bar_->setValue(static_cast<int>(std::min<int64_t>(position_, INT32_MAX)));
  showLatest();
}

void ImagingDialog::setPosition(uint64_t position) {
  position_ = position > static_cast<uint64_t>(upper_) ? upper_ : static_cast<int64_t>(position);
  bar_->setValue(static_cast<int>(std::min<int64_t>(position_, INT32_MAX)));
  showLatest();
}

void ImagingDialog::showLatest() {
  // The copy's text leads with the sectors done, then the rate, the bad
  // sectors and the time left.
  const std::string text = block_->text();
  char* end = nullptr;
  const unsigned long long done = std::strtoull(text.c_str(), &end, 10);
  if (end != text.c_str()) {
    sectors_->setText(QString::number(done));
    QString rest = QString::fromStdString(std::string(end)).trimmed();
    rest.remove(QStringLiteral("扇区完成镜像"));
    rate_->setText(rest.trimmed());
  }
  addBadSectors();
}

void ImagingDialog::addBadSectors() {
  const std::vector<std::string> rows = block_->takeRows();
  if (rows.empty()) return;
  if (badList_->isHidden()) {
    badList_->show();
    resize(width() + kBadListWidth + layout()->spacing(), height());
  }
  QList<QTreeWidgetItem*> items;
  items.reserve(static_cast<qsizetype>(rows.size()));
  size_t row = static_cast<size_t>(badList_->topLevelItemCount());
  for (const std::string& sector : rows)
    items.push_back(new QTreeWidgetItem(
        QStringList{QString::fromStdString(raw::BadSectorRowText(++row)), QString::fromStdString(sector)}));
  badList_->addTopLevelItems(items);
  // The widths the list starts with are the least it shows; a longer row
  // text or heading widens its column rather than being cut.
  for (const int column : {0, 1}) {
    const int least = column == 0 ? 50 : 100;
    badList_->resizeColumnToContents(column);
    if (badList_->columnWidth(column) < least) badList_->setColumnWidth(column, least);
  }
}

void ImagingDialog::publish(const Run& run) {
  showLatest();
  if (run.prepared != platform::Status::kOk) return error(QString::fromStdString(run.prepareMessage));
  if (!run.copied) return;
  const ops::ImagingOutcome& o = run.outcome;
  sectors_->setText(QString::number(o.result.sectorsCopied));
  QString notes;
  for (const std::string& note : run.notes) notes += "\n" + QString::fromStdString(note);
  switch (o.status) {
    case platform::Status::kOk:
      CurrentPrompter().message(this, "sucess", "镜像完毕" + notes);
      hide();
      return;
    case platform::Status::kPartial:
      // Not a whole copy: the list stays in view with what is missing.
      CurrentPrompter().message(
          this, "警告",
          QString("镜像完毕\n%1 个扇区无法读取，镜像中以 0x20 填充（见坏扇区列表）").arg(o.result.badSectors.size()) +
              notes);
      return;
    case platform::Status::kCancelled:
      // Stopped: the map, if any, holds what was done for the next start.
      hide();
      return;
    case platform::Status::kFailed:
      if (o.result.status == raw::ImagingStatus::kTargetFailed) return error("磁盘有坏道，请重新选择目标文件");
      return error(QString::fromStdString(o.message));
    case platform::Status::kRefused:
      return error(QString::fromStdString(o.message));
  }
}

ImagingCommand::ImagingCommand(DeviceWindow& device, QWidget* dialogParent)
    : QObject(dialogParent), device_(&device), parent_(dialogParent) {}

void ImagingCommand::open() {
  if (!device_) return;
  const QModelIndex current = device_->tree()->currentIndex();
  disk::DiskInfo* disk = current.isValid() ? device_->model()->diskOf(current) : nullptr;
  if (!disk) {
    CurrentPrompter().message(parent_, "error", "请选择源文件");
    return;
  }
  if (dialog_ && dialog_->running()) {
    CurrentPrompter().message(parent_, "waiting", "等待当前操作完成！");
    return;
  }
  if (!dialog_) dialog_ = new ImagingDialog(device_->disks(), device_->starter(), parent_);
  dialog_->showForSource(ImagingDialog::NameOf(*disk, device_->model()->partitionOf(current)));
}

}  // namespace orvaldi::app
