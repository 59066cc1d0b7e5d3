#include "app/region_dialog.h"

#include <cmath>
#include <limits>

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "app/prompter.h"
#include "disk/sector_io.h"
#include "ops/format.h"

namespace orvaldi::app {
namespace {

constexpr uint64_t kSectorSize = disk::SectorSize;

QComboBox* UnitList(QWidget* parent) {
  auto* box = new QComboBox(parent);
  box->addItems({"Sec", "GB", "MB", "KB"});
  box->setCurrentIndex(static_cast<int>(RegionUnit::kSectors));
  return box;
}

}  // namespace

std::optional<uint64_t> SectorsFromText(const QString& text, RegionUnit unit) {
  const QString trimmed = text.trimmed();
  if (unit == RegionUnit::kSectors) {
    bool ok = false;
    const qulonglong sectors = trimmed.toULongLong(&ok);
    if (!ok) return std::nullopt;
    return sectors;
  }
  bool ok = false;
  const double value = trimmed.toDouble(&ok);
  if (!ok || !std::isfinite(value) || value < 0) return std::nullopt;
  // Double, not single, precision: a float keeps only 24 bits, which
  // already moves "1234.567 GB" by dozens of sectors.
  double perUnit = 2.0;  // KB
  if (unit == RegionUnit::kGigabytes) perUnit = 1024.0 * 1024.0 * 2.0;
  if (unit == RegionUnit::kMegabytes) perUnit = 1024.0 * 2.0;
  const double sectors = std::floor(value * perUnit);
  if (sectors >= 18446744073709551616.0) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(sectors);
}

RegionDialog::RegionDialog(uint64_t diskBytes, QWidget* parent)
    : QDialog(parent), diskSectors_(diskBytes / kSectorSize) {
  setWindowTitle("创建区域");
  auto* grid = new QGridLayout;
  grid->addWidget(new QLabel("硬盘大小：", this), 0, 0);
  grid->addWidget(
      new QLabel(QString("%1 (%2 sec)").arg(QString::fromStdString(ops::SizeText(diskBytes))).arg(diskSectors_), this),
      0, 1, 1, 2);
  startEdit_ = new QLineEdit("0", this);
  endEdit_ = new QLineEdit("0", this);
  startUnit_ = UnitList(this);
  endUnit_ = UnitList(this);
  grid->addWidget(new QLabel("开始：", this), 1, 0);
  grid->addWidget(startEdit_, 1, 1);
  grid->addWidget(startUnit_, 1, 2);
  // The end, as the region command and `orvaldi region` take it: the
  // sector after the last one (start 2048, end 83968: 81920 sectors).
  grid->addWidget(new QLabel("结束：", this), 2, 0);
  grid->addWidget(endEdit_, 2, 1);
  grid->addWidget(endUnit_, 2, 2);
  grid->setColumnStretch(1, 1);

  okButton_ = new QPushButton("确定", this);
  okButton_->setDefault(true);
  auto* cancel = new QPushButton("取消", this);
  connect(okButton_, &QPushButton::clicked, this, &RegionDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &RegionDialog::reject);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(okButton_);
  buttons->addWidget(cancel);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addLayout(buttons);
  setMinimumWidth(340);
}

std::optional<RegionRange> RegionDialog::ask(QWidget* parent, uint64_t diskBytes) {
  RegionDialog dialog(diskBytes, parent);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  return dialog.range();
}

std::optional<uint64_t> RegionDialog::takeSectors(QLineEdit* edit, QComboBox* unit) {
  const std::optional<uint64_t> sectors = SectorsFromText(edit->text(), static_cast<RegionUnit>(unit->currentIndex()));
  if (sectors) {
    edit->setText(QString::number(*sectors));
    unit->setCurrentIndex(static_cast<int>(RegionUnit::kSectors));
  }
  return sectors;
}

void RegionDialog::accept() {
  range_.reset();
  const std::optional<uint64_t> start = takeSectors(startEdit_, startUnit_);
  const std::optional<uint64_t> end = takeSectors(endEdit_, endUnit_);
  // An empty region (end at its start) has nothing to scan.
  if (!start || !end || *start >= *end) {
    CurrentPrompter().message(this, "error", "数值填写错误，请改写！");
    return;
  }
  if (*start > diskSectors_ || *end > diskSectors_) {
    CurrentPrompter().message(this, "error", "数值填写过大，请改写！");
    return;
  }
  range_ = RegionRange{*start, *end};
  QDialog::accept();
}

}  // namespace orvaldi::app
