#include "app/hex_view.h"

#include <algorithm>

#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QVBoxLayout>

namespace orvaldi::app {
namespace {

constexpr uint64_t kSector = raw::HexModel::kSector;
const QColor kAddressColour(0x8B, 0x84, 0xE8);
// The font's cell height; a font whose metrics ask for more gets more.
constexpr int kRowHeight = 17;

QFont HexFont() {
  QFont font("Courier New");
  font.setStyleHint(QFont::TypeWriter);
  font.setFixedPitch(true);
  if (!QFontInfo(font).fixedPitch()) font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  font.setPixelSize(14);
  return font;
}

int HexDigits(uint64_t n) {
  int digits = 1;
  while (n >>= 4) ++digits;
  return digits;
}

}  // namespace

HexEdit::HexEdit(QWidget* parent) : QAbstractScrollArea(parent) {
  setFont(HexFont());
  setFocusPolicy(Qt::StrongFocus);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  viewport()->setCursor(Qt::IBeamCursor);
  verticalScrollBar()->setSingleStep(1);
  model_.setBytesPerRow(16);
  updateScrollBar();
}

void HexEdit::setData(std::vector<uint8_t> bytes) {
  model_.setData(std::move(bytes));
  anchor_ = 0;
  dragging_ = false;
  verticalScrollBar()->setValue(0);
  updateScrollBar();
  updateGeometry();
  viewport()->update();
}

void HexEdit::setBytesPerRow(uint32_t n) {
  const uint32_t before = model_.bytesPerRow();
  model_.setBytesPerRow(n);
  if (model_.bytesPerRow() == before) return;
  // Keep the same bytes in view.
  const uint64_t top = verticalScrollBar()->value() * uint64_t{before};
  updateScrollBar();
  verticalScrollBar()->setValue(static_cast<int>(top / model_.bytesPerRow()));
  updateGeometry();
  viewport()->update();
}

void HexEdit::select(uint64_t start, uint64_t end) {
  model_.select(start, end);
  viewport()->update();
}

void HexEdit::setCaret(uint64_t offset, raw::HexArea area) {
  model_.setCaret(offset, area);
  anchor_ = model_.caret();
  ensureCaretVisible();
  viewport()->update();
}

void HexEdit::copy() {
  const raw::HexClip clip = model_.copy();
  if (clip.binary.empty()) return;
  auto* mime = new QMimeData;
  mime->setData(kBinaryDataFormat, QByteArray(reinterpret_cast<const char*>(clip.binary.data()),
                                              static_cast<qsizetype>(clip.binary.size())));
  mime->setText(QString::fromLatin1(clip.text.data(), static_cast<qsizetype>(clip.text.size())));
  QApplication::clipboard()->setMimeData(mime);
}

void HexEdit::cut() {
  if (!model_.hasSelection()) return;
  copy();
  model_.deleteSelection();
  changed();
}

void HexEdit::paste() {
  const QMimeData* mime = QApplication::clipboard()->mimeData();
  if (data().empty() || !mime || !mime->hasFormat(kBinaryDataFormat)) return;
  const QByteArray bytes = mime->data(kBinaryDataFormat);
  model_.paste(std::vector<uint8_t>(bytes.begin(), bytes.end()));
  changed();
}

void HexEdit::clear() {
  if (!model_.hasSelection()) return;
  model_.deleteSelection();
  changed();
}

void HexEdit::selectAll() {
  model_.selectAll();
  viewport()->update();
}

int HexEdit::charWidth() const { return std::max(1, fontMetrics().horizontalAdvance(QLatin1Char('0'))); }

int HexEdit::rowHeight() const { return std::max(kRowHeight, fontMetrics().height()); }

int HexEdit::addressChars() const {
  // "%04lX" grows past four digits on large buffers; the column grows with it.
  return data().empty() ? 4 : std::max(4, HexDigits(data().size() - 1));
}

int HexEdit::hexLeft() const { return charWidth() / 2 + (addressChars() + 2) * charWidth(); }

int HexEdit::charsLeft() const { return hexLeft() + (static_cast<int>(model_.bytesPerRow()) * 3 + 1) * charWidth(); }

int HexEdit::contentWidth() const {
  return charsLeft() + static_cast<int>(model_.bytesPerRow()) * charWidth() + charWidth() / 2;
}

int HexEdit::visibleLines() const { return std::max(1, viewport()->height() / rowHeight()); }

uint64_t HexEdit::byteRows() const { return (data().size() + model_.bytesPerRow() - 1) / model_.bytesPerRow(); }

QSize HexEdit::sizeHint() const {
  const int frame = 2 * frameWidth();
  return {contentWidth() + frame + verticalScrollBar()->sizeHint().width(), rowHeight() * 34 + frame};
}

QSize HexEdit::minimumSizeHint() const {
  const int frame = 2 * frameWidth();
  return {contentWidth() + frame + verticalScrollBar()->sizeHint().width(), rowHeight() * 4 + frame};
}

void HexEdit::updateScrollBar() {
  // The scroll bar counts rows of bytes. Its end leaves the last rows (and
  // the markers between them) filling the window.
  const uint64_t rows = byteRows();
  const uint32_t width = model_.bytesPerRow();
  const int lines = visibleLines();
  uint64_t fit = 0;
  int used = 0;
  while (fit < rows) {
    const uint64_t r = rows - 1 - fit;
    const uint64_t last = std::min<uint64_t>((r + 1) * width, data().size()) - 1;
    const int cost = (last + 1) % kSector == 0 ? 2 : 1;
    if (used + cost > lines && fit > 0) break;
    used += cost;
    ++fit;
  }
  const uint64_t maxTop = rows - fit;
  QScrollBar* bar = verticalScrollBar();
  bar->setRange(0, static_cast<int>(std::min<uint64_t>(maxTop, INT32_MAX)));
  const int rowsPerSector = static_cast<int>(kSector / width);
  bar->setPageStep(std::max(1, lines - lines / (rowsPerSector + 1) - 1));
}

void HexEdit::syncTop() { model_.setTop(uint64_t(verticalScrollBar()->value()) * model_.bytesPerRow()); }

void HexEdit::ensureCaretVisible() {
  if (data().empty()) return;
  const uint64_t width = model_.bytesPerRow();
  const uint64_t row = std::min<uint64_t>(model_.caret() / width, byteRows() - 1);
  uint64_t top = static_cast<uint64_t>(verticalScrollBar()->value());
  const auto lines = static_cast<uint64_t>(visibleLines());
  // Lines from the top row down to the caret's, the markers between included.
  const auto linesTo = [&](uint64_t from) { return row - from + 1 + (row * width / kSector - from * width / kSector); };
  if (row < top) {
    top = row;
  } else {
    if (row + 1 > lines) top = std::max(top, row + 1 - lines);
    while (top < row && linesTo(top) > lines) ++top;
  }
  verticalScrollBar()->setValue(static_cast<int>(std::min<uint64_t>(top, INT32_MAX)));
}

QPoint HexEdit::bytePosition(uint64_t offset, raw::HexArea area) const {
  const std::vector<raw::HexRow> rows = model_.rows(static_cast<size_t>(visibleLines()));
  for (size_t i = 0; i < rows.size(); ++i) {
    const raw::HexRow& row = rows[i];
    if (row.marker || offset < row.offset || offset - row.offset > row.count) continue;
    // The place after the row's last byte belongs to the row only at the end of the data.
    if (offset - row.offset == row.count && offset != data().size()) continue;
    const int column = static_cast<int>(offset - row.offset);
    const int x =
        area == raw::HexArea::kHex ? hexLeft() + column * 3 * charWidth() : charsLeft() + column * charWidth();
    return {x, static_cast<int>(i) * rowHeight()};
  }
  return {};
}

HexEdit::Hit HexEdit::hitTest(const QPoint& p) const {
  Hit hit;
  hit.area = p.x() >= charsLeft() - charWidth() ? raw::HexArea::kChars : raw::HexArea::kHex;
  const std::vector<raw::HexRow> rows = model_.rows(static_cast<size_t>(visibleLines()) + 1);
  if (rows.empty()) return hit;
  const auto line = static_cast<size_t>(std::clamp(p.y() / rowHeight(), 0, static_cast<int>(rows.size()) - 1));
  const raw::HexRow& row = rows[line];
  if (row.marker) {
    // A marker row stands between two sectors: the first byte of the next.
    hit.offset = std::min<uint64_t>(row.offset + 1, data().size() - 1);
    return hit;
  }
  const int cw = charWidth();
  const int column =
      hit.area == raw::HexArea::kHex ? (p.x() - hexLeft() + cw / 2) / (3 * cw) : (p.x() - charsLeft()) / cw;
  hit.offset = row.offset + static_cast<uint64_t>(std::clamp(column, 0, static_cast<int>(row.count) - 1));
  return hit;
}

void HexEdit::moveCaretTo(int64_t offset, bool extend) {
  const auto target = static_cast<uint64_t>(std::clamp<int64_t>(offset, 0, static_cast<int64_t>(data().size())));
  if (extend) {
    if (!model_.hasSelection()) anchor_ = model_.caret();
    model_.select(anchor_, target);
  } else {
    model_.clearSelection();
    anchor_ = target;
  }
  model_.setCaret(target, model_.area());
  ensureCaretVisible();
  viewport()->update();
}

void HexEdit::changed() {
  updateScrollBar();
  ensureCaretVisible();
  updateGeometry();
  viewport()->update();
  emit edited();
}

bool HexEdit::event(QEvent* e) {
  // Tab switches between the hex and character areas instead of moving the focus.
  if (e->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(e);
    if ((key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) &&
        !(key->modifiers() & (Qt::ControlModifier | Qt::AltModifier))) {
      keyPressEvent(key);
      return true;
    }
  }
  return QAbstractScrollArea::event(e);
}

void HexEdit::keyPressEvent(QKeyEvent* e) {
  if (data().empty()) {
    e->ignore();
    return;
  }
  if (e->matches(QKeySequence::Copy)) return copy();
  if (e->matches(QKeySequence::Cut)) return cut();
  if (e->matches(QKeySequence::Paste)) return paste();
  if (e->matches(QKeySequence::SelectAll)) return selectAll();
  if (e->matches(QKeySequence::Undo)) return undo();
  const auto width = static_cast<int64_t>(model_.bytesPerRow());
  const auto caret = static_cast<int64_t>(model_.caret());
  const bool shift = e->modifiers() & Qt::ShiftModifier;
  const bool control = e->modifiers() & Qt::ControlModifier;
  const int64_t page = width * std::max(1, verticalScrollBar()->pageStep());
  switch (e->key()) {
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
      model_.switchArea();
      viewport()->update();
      return;
    case Qt::Key_Backspace:
      model_.backspace();
      return changed();
    case Qt::Key_Delete:
      return clear();
    case Qt::Key_Left:
      return moveCaretTo(caret - 1, shift);
    case Qt::Key_Right:
      return moveCaretTo(caret + 1, shift);
    case Qt::Key_Up:
      return moveCaretTo(caret - width, shift);
    case Qt::Key_Down:
      return moveCaretTo(caret + width, shift);
    case Qt::Key_PageUp:
      return moveCaretTo(caret - page, shift);
    case Qt::Key_PageDown:
      return moveCaretTo(caret + page, shift);
    case Qt::Key_Home:
      return moveCaretTo(control ? 0 : caret / width * width, shift);
    case Qt::Key_End:
      return moveCaretTo(control ? static_cast<int64_t>(data().size()) : caret / width * width + width - 1, shift);
    default:
      break;
  }
  const QString text = e->text();
  if (text.size() == 1 && !control && text[0].unicode() < 0x80 &&
      model_.typeHexDigit(static_cast<char>(text[0].unicode()))) {
    return changed();
  }
  QAbstractScrollArea::keyPressEvent(e);
}

void HexEdit::mousePressEvent(QMouseEvent* e) {
  if (data().empty() || e->button() != Qt::LeftButton) return;
  const Hit hit = hitTest(e->position().toPoint());
  dragging_ = true;
  anchor_ = hit.offset;
  model_.clearSelection();
  model_.setCaret(hit.offset, hit.area);
  viewport()->update();
}

void HexEdit::mouseMoveEvent(QMouseEvent* e) {
  if (data().empty() || !dragging_ || !(e->buttons() & Qt::LeftButton)) return;
  const QPoint p = e->position().toPoint();
  // Dragging past the top or bottom edge scrolls a row at a time.
  QScrollBar* bar = verticalScrollBar();
  if (p.y() < 0) bar->setValue(bar->value() - 1);
  if (p.y() >= viewport()->height()) bar->setValue(bar->value() + 1);
  const Hit hit = hitTest(p);
  if (hit.offset == anchor_) {
    model_.clearSelection();
  } else {
    // Both the byte pressed and the byte under the pointer are in.
    model_.select(std::min(anchor_, hit.offset), std::max(anchor_, hit.offset) + 1);
  }
  model_.setCaret(hit.offset, model_.area());
  viewport()->update();
}

void HexEdit::mouseReleaseEvent(QMouseEvent* e) {
  if (e->button() == Qt::LeftButton) dragging_ = false;
}

void HexEdit::resizeEvent(QResizeEvent* e) {
  QAbstractScrollArea::resizeEvent(e);
  updateScrollBar();
}

void HexEdit::scrollContentsBy(int, int) {
  syncTop();
  viewport()->update();
}

void HexEdit::paintEvent(QPaintEvent*) {
  QPainter p(viewport());
  const QPalette& pal = palette();
  p.fillRect(viewport()->rect(), pal.color(QPalette::Base));
  if (data().empty()) return;
  syncTop();
  p.setFont(font());
  const QFontMetrics fm = fontMetrics();
  const int cw = charWidth();
  const int rh = rowHeight();
  const int baseline = (rh - fm.height()) / 2 + fm.ascent();
  const int left = cw / 2;
  const int hexX0 = hexLeft();
  const int charX0 = charsLeft();
  const QColor text = pal.color(QPalette::Text);
  const QColor highlight = pal.color(QPalette::Highlight);
  const QColor highlighted = pal.color(QPalette::HighlightedText);
  const std::vector<raw::HexRow> rows = model_.rows(static_cast<size_t>(visibleLines()) + 1);
  int y = 0;
  for (const raw::HexRow& row : rows) {
    if (row.marker) {
      const QString label = QString::fromStdString(row.text);
      p.setPen(text);
      p.drawText(left, y + baseline, label);
      const int lineY = y + rh / 2;
      p.drawLine(left + fm.horizontalAdvance(label) + cw, lineY, std::max(contentWidth(), viewport()->width()), lineY);
      y += rh;
      continue;
    }
    p.setPen(kAddressColour);
    p.drawText(left, y + baseline, QString::fromStdString(row.address));
    for (uint32_t i = 0; i < row.count; ++i) {
      const uint64_t offset = row.offset + i;
      const int hexX = hexX0 + static_cast<int>(i) * 3 * cw;
      const int charX = charX0 + static_cast<int>(i) * cw;
      const bool selected = model_.isSelected(offset);
      if (selected) {
        // The space after a byte is part of the band when the next byte is selected too.
        const int band = i + 1 < row.count && model_.isSelected(offset + 1) ? 3 * cw : 2 * cw;
        p.fillRect(hexX, y, band, rh, highlight);
        p.fillRect(charX, y, cw, rh, highlight);
      }
      p.setPen(selected ? highlighted : text);
      p.drawText(hexX, y + baseline, QString::fromLatin1(row.hex.data() + i * 3, 2));
      p.drawText(charX, y + baseline, QString(QLatin1Char(row.chars[i])));
    }
    y += rh;
  }
  // The caret: a bar where the next digit or byte goes in the active area,
  // a box around the same byte in the other.
  const raw::HexArea area = model_.area();
  const raw::HexArea other = area == raw::HexArea::kHex ? raw::HexArea::kChars : raw::HexArea::kHex;
  const QPoint at = bytePosition(model_.caret(), area);
  if (!at.isNull()) {
    const int nibble = area == raw::HexArea::kHex && model_.lowNibble() ? cw : 0;
    p.fillRect(at.x() + nibble, at.y() + 1, 2, rh - 2, text);
    const QPoint box = bytePosition(model_.caret(), other);
    p.setPen(QPen(text, 1, Qt::DotLine));
    p.drawRect(box.x(), box.y(), (other == raw::HexArea::kHex ? 2 : 1) * cw - 1, rh - 1);
  }
}

HexViewDialog::HexViewDialog(QWidget* parent) : QDialog(parent) {
  setModal(true);
  auto* layout = new QVBoxLayout(this);
  problem_ = new QLabel(this);
  problem_->setWordWrap(true);
  problem_->setStyleSheet("color: rgb(255, 0, 0);");
  problem_->hide();
  edit_ = new HexEdit(this);
  layout->addWidget(problem_);
  layout->addWidget(edit_, 1);
  setWindowTitle(edit_->caption());
}

void HexViewDialog::loadFile(const disk::DiskInfo& disk, const disk::PartitionInfo& partition,
                             const fs::NodeRef& node) {
  QApplication::setOverrideCursor(Qt::WaitCursor);
  raw::HexLoad load = raw::LoadFile(disk, partition, node);
  QApplication::restoreOverrideCursor();
  showLoad(std::move(load));
}

void HexViewDialog::showLoad(raw::HexLoad load) {
  if (!load.whole) {
    // The zeros standing in for what could not be read are no data of the file.
    load.bytes.resize(std::min<uint64_t>(load.readable, load.bytes.size()));
    problem_->setText(QString("文件不完整（%1）").arg(QString::fromStdString(load.problem)) +
                      (load.bytes.empty() ? QString("，没有读出的内容可显示。")
                                          : QString("，只显示读出的前 %1 字节。").arg(load.bytes.size())));
    problem_->show();
  } else {
    problem_->clear();
    problem_->hide();
  }
  edit_->setData(std::move(load.bytes));
  edit_->setBytesPerRow(16);
  setWindowTitle(edit_->caption());
}

QString HexViewDialog::problem() const { return problem_->text(); }

void ShowHexViewer(QWidget* parent, const disk::DiskInfo& disk, const disk::PartitionInfo& partition,
                   const fs::NodeRef& node) {
  HexViewDialog dialog(parent);
  dialog.loadFile(disk, partition, node);
  dialog.exec();
}

}  // namespace orvaldi::app
