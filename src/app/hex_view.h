// The hex viewer: a view painting the bytes of a file (offsets, hexadecimal
// digits, characters, a marker after every sector) that the operator may
// select, edit and copy, and the modal dialog that shows one file in it. The
// bytes are a copy in memory; nothing typed here ever reaches a disk.
#pragma once

#include <cstdint>
#include <vector>

#include <QAbstractScrollArea>
#include <QDialog>
#include <QString>

#include "disk/disk_info.h"
#include "disk/partition_info.h"
#include "fs/node_view.h"
#include "raw/hex_model.h"

class QLabel;

namespace orvaldi::app {

// The clipboard format that carries the raw bytes beside the text.
inline constexpr char kBinaryDataFormat[] = "BinaryData";

class HexEdit final : public QAbstractScrollArea {
  Q_OBJECT

 public:
  explicit HexEdit(QWidget* parent = nullptr);

  // Shows `bytes`: no selection, caret and top at the start, hex area.
  void setData(std::vector<uint8_t> bytes);
  const std::vector<uint8_t>& data() const { return model_.data(); }
  // 1, 2, 4, 8 or 16; any other value is ignored.
  void setBytesPerRow(uint32_t n);
  const raw::HexModel& model() const { return model_; }
  // "%d sector" with the whole sectors held.
  QString caption() const { return QString::fromStdString(model_.caption()); }

  // Bytes [start, end), as a drag would leave them.
  void select(uint64_t start, uint64_t end);
  void setCaret(uint64_t offset, raw::HexArea area);

  // The standard edit commands. Copy and cut need a selection; paste takes
  // the "BinaryData" format only; undo does nothing, as edits are only ever
  // made to this copy.
  void copy();
  void cut();
  void paste();
  void clear();
  void selectAll();
  void undo() {}

  // Where byte `offset` is painted in the viewport (its row's top left in
  // `area`); a null point when it is not on screen.
  QPoint bytePosition(uint64_t offset, raw::HexArea area) const;
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 signals:
  // The bytes changed (an edit, a paste, a cut).
  void edited();

 protected:
  bool event(QEvent* e) override;
  void paintEvent(QPaintEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;
  void mousePressEvent(QMouseEvent* e) override;
  void mouseMoveEvent(QMouseEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;
  void resizeEvent(QResizeEvent* e) override;
  void scrollContentsBy(int dx, int dy) override;

 private:
  struct Hit {
    uint64_t offset = 0;
    raw::HexArea area = raw::HexArea::kHex;
  };
  // Geometry of the three columns, in pixels from the viewport's left.
  int charWidth() const;
  int rowHeight() const;
  int addressChars() const;
  int hexLeft() const;
  int charsLeft() const;
  int contentWidth() const;
  // Whole lines the viewport holds, marker lines included.
  int visibleLines() const;
  uint64_t byteRows() const;
  void updateScrollBar();
  void syncTop();
  void ensureCaretVisible();
  Hit hitTest(const QPoint& p) const;
  void moveCaretTo(int64_t offset, bool extend);
  void changed();

  raw::HexModel model_;
  uint64_t anchor_ = 0;  // where a drag or a Shift move began
  bool dragging_ = false;
};

// The modal dialog a file list opens on a file: its bytes at 16 a row,
// captioned with its whole sectors. When the file could be read only in
// part, a line above the bytes says so and only the part read is shown.
class HexViewDialog final : public QDialog {
  Q_OBJECT

 public:
  explicit HexViewDialog(QWidget* parent = nullptr);

  // Loads a file of a tree (a carved file from its sectors) through the
  // engine and shows it.
  void loadFile(const disk::DiskInfo& disk, const disk::PartitionInfo& partition, const fs::NodeRef& node);
  // Shows what a load gave: the readable part only, and the problem line
  // when it was not all read.
  void showLoad(raw::HexLoad load);

  HexEdit* hexEdit() const { return edit_; }
  // Empty when the whole file was read.
  QString problem() const;

 private:
  HexEdit* edit_ = nullptr;
  QLabel* problem_ = nullptr;
};

// What a double click on a file row opens: the file's bytes in the modal
// dialog, returning when the operator closes it.
void ShowHexViewer(QWidget* parent, const disk::DiskInfo& disk, const disk::PartitionInfo& partition,
                   const fs::NodeRef& node);

}  // namespace orvaldi::app
