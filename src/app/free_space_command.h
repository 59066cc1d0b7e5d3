// "提取分区空闲空间": the clusters a partition's file system marks as free,
// copied into one file on a worker, with what could not be read told.
#pragma once

#include <memory>

#include <QDialog>
#include <QObject>
#include <QPointer>
#include <QString>

#include "app/operation.h"
#include "ops/free_space_job.h"

class QRadioButton;

namespace orvaldi::app {

class DeviceWindow;

// "提取空闲空间": "只提取空闲空间" (ticked) or "空闲空间按原始分区结构大小保存".
class CExtractEmptySpaceDlg final : public QDialog {
  Q_OBJECT

 public:
  explicit CExtractEmptySpaceDlg(QWidget* parent = nullptr);

  // 0 compact, 1 layout; -1 when neither is ticked.
  int extractionType() const;
  QRadioButton* compactButton() const { return compact_; }
  QRadioButton* layoutButton() const { return layout_; }

 private:
  QRadioButton* compact_ = nullptr;
  QRadioButton* layout_ = nullptr;
};

// The end message of an extraction to `target`: success only when every
// free cluster was copied.
struct FreeSpaceEnd {
  QString title;
  QString text;
};
FreeSpaceEnd FreeSpaceEndText(const ops::FreeSpaceOutcome& outcome, const QString& target);

class FreeSpaceCommand final : public QObject {
  Q_OBJECT

 public:
  FreeSpaceCommand(DeviceWindow& device, OperationStarter starter, QObject* parent = nullptr);

  // An extraction was started and has not been published yet.
  bool running() const { return running_ && *running_; }

 public slots:
  // On the partition selected in the device tree.
  void extractSelected();

 signals:
  // The end message was shown.
  void finished();

 private:
  QPointer<DeviceWindow> device_;
  OperationStarter starter_;
  std::shared_ptr<bool> running_;
};

}  // namespace orvaldi::app
