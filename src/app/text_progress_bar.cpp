// The self-drawing progress bar.
#include "app/text_progress_bar.h"

#include <QPaintEvent>
#include <QPainter>
#include <QPalette>
#include <QPixmap>

namespace orvaldi::app {

TextProgressBar::TextProgressBar(QWidget* parent) : QWidget(parent) {
  const QPalette& system = palette();
  colours_ = {system.color(QPalette::Highlight), QColor(100, 150, 200), system.color(QPalette::Base),
              system.color(QPalette::Highlight)};
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void TextProgressBar::beginStage(int64_t upper, int64_t step) {
  model_.beginStage(upper, step);
  positionChanged();
}

void TextProgressBar::stepIt() {
  model_.step();
  positionChanged();
}

void TextProgressBar::setPosition(uint64_t position) {
  model_.setPosition(position);
  positionChanged();
}

void TextProgressBar::showState(const ops::ProgressBarModel& state) {
  model_ = state;
  positionChanged();
}

void TextProgressBar::setShowText(bool show) {
  showText_ = show;
  update();
}

void TextProgressBar::setFixedText(const QString& text) {
  fixedText_ = text;
  update();
}

void TextProgressBar::setWaitAtFull(bool wait) {
  waitAtFull_ = wait;
  update();
}

void TextProgressBar::setColours(const Colours& colours) {
  colours_ = colours;
  update();
}

QString TextProgressBar::text() const {
  if (!showText_) return {};
  if (!fixedText_.isEmpty()) return fixedText_;
  const int percent = static_cast<int>(model_.fraction() * 100.0);
  if (waitAtFull_ && percent == 100) return QStringLiteral("等待...");
  return QStringLiteral("%1%").arg(percent);
}

int TextProgressBar::filledWidth(int width) const { return static_cast<int>(model_.fraction() * width); }

void TextProgressBar::positionChanged() {
  const int width = filledWidth(this->width());
  if (width == lastWidth_) return;
  lastWidth_ = width;
  update();
}

void TextProgressBar::paintTo(QPainter& painter, const QRect& area) const {
  if (model_.lower() >= model_.upper()) return;
  const int filled = filledWidth(area.width());
  const QRect filledPart(area.left(), area.top(), filled, area.height());
  const QRect emptyPart(area.left() + filled, area.top(), area.width() - filled, area.height());
  painter.fillRect(filledPart, colours_.filled);
  painter.fillRect(emptyPart, colours_.empty);
  const QString shown = text();
  if (shown.isEmpty()) return;
  // The same text twice, each time clipped to one part, so that the letters
  // change colour exactly where the fill ends.
  painter.save();
  painter.setFont(font());
  painter.setClipRect(filledPart);
  painter.setPen(colours_.textOverFilled);
  painter.drawText(area, Qt::AlignCenter | Qt::TextSingleLine, shown);
  painter.setClipRect(emptyPart);
  painter.setPen(colours_.textOverEmpty);
  painter.drawText(area, Qt::AlignCenter | Qt::TextSingleLine, shown);
  painter.restore();
}

QSize TextProgressBar::sizeHint() const { return {260, fontMetrics().height() + 8}; }

void TextProgressBar::paintEvent(QPaintEvent*) {
  // Drawn off screen first and copied in one go, so the bar never flickers
  // between the fill and the text.
  QPixmap buffer(size());
  buffer.fill(Qt::transparent);
  {
    QPainter offscreen(&buffer);
    paintTo(offscreen, rect());
  }
  QPainter onscreen(this);
  onscreen.drawPixmap(0, 0, buffer);
}

void TextProgressBar::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  lastWidth_ = filledWidth(width());
}

}  // namespace orvaldi::app
