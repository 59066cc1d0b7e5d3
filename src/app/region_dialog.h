// The "创建区域" dialog: the operator picks the first sector of a region and
// the sector after its last one (each in sectors or decimal GB, MB or KB),
// and the region is then scanned like a partition.
#pragma once

#include <cstdint>
#include <optional>

#include <QDialog>
#include <QString>

class QComboBox;
class QLineEdit;
class QPushButton;

namespace orvaldi::app {

// In the order of the unit lists.
enum class RegionUnit : int { kSectors = 0, kGigabytes = 1, kMegabytes = 2, kKilobytes = 3 };

// The sector count `text` stands for in `unit`: a whole number of sectors,
// or a decimal number of 1024-based units truncated to whole sectors
// (saturating at the largest count). Nothing when the text is not a number
// or is negative.
std::optional<uint64_t> SectorsFromText(const QString& text, RegionUnit unit);

struct RegionRange {
  uint64_t startSector = 0;
  uint64_t endSector = 0;  // one past the last sector
};

class RegionDialog : public QDialog {
  Q_OBJECT
 public:
  explicit RegionDialog(uint64_t diskBytes, QWidget* parent = nullptr);

  // Runs the dialog; the range the operator chose, or nothing when cancelled.
  static std::optional<RegionRange> ask(QWidget* parent, uint64_t diskBytes);

  // The accepted range (set when "确定" passed its checks).
  std::optional<RegionRange> range() const { return range_; }

  QLineEdit* startEdit() const { return startEdit_; }
  QLineEdit* endEdit() const { return endEdit_; }
  QComboBox* startUnit() const { return startUnit_; }
  QComboBox* endUnit() const { return endUnit_; }
  QPushButton* okButton() const { return okButton_; }

 public slots:
  void accept() override;

 private:
  // Converts one field to sectors and writes the count back (unit "Sec"),
  // so that a second "确定" does not scale it again.
  std::optional<uint64_t> takeSectors(QLineEdit* edit, QComboBox* unit);

  uint64_t diskSectors_;
  QLineEdit* startEdit_;
  QLineEdit* endEdit_;
  QComboBox* startUnit_;
  QComboBox* endUnit_;
  QPushButton* okButton_;
  std::optional<RegionRange> range_;
};

}  // namespace orvaldi::app
