// A progress bar that draws its own text: the percentage (or a fixed text)
// in one colour over the filled part and another over the empty part.
#pragma once

#include <cstdint>

#include <QColor>
#include <QString>
#include <QWidget>

#include "ops/progress_bar_model.h"

class QPainter;

namespace orvaldi::app {

class TextProgressBar : public QWidget {
  Q_OBJECT

 public:
  struct Colours {
    QColor filled;
    QColor empty;
    QColor textOverFilled;
    QColor textOverEmpty;
  };

  explicit TextProgressBar(QWidget* parent = nullptr);

  // The three progress messages (same arithmetic as every other bar).
  void beginStage(int64_t upper, int64_t step);
  void stepIt();
  void setPosition(uint64_t position);
  // Takes over a state the same messages produced elsewhere (a record a
  // worker kept while the bar was not looking).
  void showState(const ops::ProgressBarModel& state);

  int64_t lower() const { return model_.lower(); }
  int64_t upper() const { return model_.upper(); }
  int64_t position() const { return model_.position(); }

  void setShowText(bool show);
  // Shown instead of the percentage while not empty.
  void setFixedText(const QString& text);
  // Show "等待..." instead of "100%", for operations that still have work
  // to do after the last step.
  void setWaitAtFull(bool wait);
  void setColours(const Colours& colours);
  const Colours& colours() const { return colours_; }

  // The text the bar draws now (empty when the text is switched off).
  QString text() const;
  // Filled width in pixels at the last position change; -1 before the first.
  int lastDrawnWidth() const { return lastWidth_; }
  // Draws the bar into `area` of `painter`: nothing at all when the range
  // is empty.
  void paintTo(QPainter& painter, const QRect& area) const;

  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  int filledWidth(int width) const;
  // Repaints only when the filled width in pixels changed: engines step
  // far more often than a bar can show.
  void positionChanged();

  ops::ProgressBarModel model_;
  bool showText_ = true;
  QString fixedText_;
  bool waitAtFull_ = false;
  int lastWidth_ = -1;
  Colours colours_;
};

}  // namespace orvaldi::app
