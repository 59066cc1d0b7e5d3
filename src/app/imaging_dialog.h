// The "镜像" dialog: copies a disk or one partition to an image file or onto
// another disk around unreadable sectors, listing them as it goes, with the
// rescue map that lets a stopped copy resume.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <QDialog>
#include <QPointer>
#include <QString>

#include "app/operation.h"
#include "disk/disk_info.h"
#include "platform/progress.h"

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace orvaldi::app {

class DeviceWindow;

class ImagingDialog final : public QDialog, public ProgressView, public platform::ProgressSink {
  Q_OBJECT

 public:
  ImagingDialog(disk::DiskInfoList& disks, OperationStarter starter, QWidget* parent = nullptr);
  ~ImagingDialog() override;

  // "disk text" or "disk text,partition name": how the fields and the
  // tree name a disk or a partition (the partition by its label when it
  // has no name).
  static QString NameOf(const disk::DiskInfo& disk, const disk::PartitionInfo* partition = nullptr);

  // Lists the disks again and puts `source` into the source field, with
  // its size in sectors.
  void showForSource(const QString& source);
  // Puts `name` into the field of the source, or of the target when that
  // had the focus last (what a click on the tree does).
  void chooseName(const QString& name);
  // A copy runs (or is being published).
  bool running() const { return busy_->raised(); }

  QTreeWidget* tree() const { return tree_; }
  QLineEdit* sourceEdit() const { return source_; }
  QLineEdit* startEdit() const { return start_; }
  QLineEdit* countEdit() const { return count_; }
  QRadioButton* toDiskButton() const { return toDisk_; }
  QRadioButton* toFileButton() const { return toFile_; }
  QLineEdit* targetEdit() const { return target_; }
  QLineEdit* targetStartEdit() const { return targetStart_; }
  QLineEdit* pathEdit() const { return path_; }
  QLineEdit* mapEdit() const { return map_; }
  QLabel* mapNote() const { return mapNote_; }
  QProgressBar* bar() const { return bar_; }
  QLabel* sectorsText() const { return sectors_; }
  QPushButton* startButton() const { return startButton_; }
  QPushButton* stopButton() const { return stopButton_; }
  QTreeWidget* badList() const { return badList_; }

  // ProgressView
  platform::ProgressBlock& block() override { return *block_; }
  std::shared_ptr<platform::ProgressBlock> sharedBlock() const override { return block_; }
  void showFor(const QString& title) override;
  void closeWhenDone() override;

  // ProgressSink: the latest progress, on the UI thread.
  void beginStage(int64_t upper, int64_t step) override;
  void step() override;
  void setPosition(uint64_t position) override;

 public slots:
  // "开始": the checks, then the copy as an operation.
  void start();
  // "停止": the copy ends after its current block or sector; the map stays.
  void stop();
  // Esc: as closing, stops the copy.
  void reject() override;

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  struct Named {
    const disk::DiskInfo* disk = nullptr;
    const disk::PartitionInfo* partition = nullptr;  // null: the whole disk
  };
  struct Run;

  std::optional<Named> resolve(const QString& name) const;
  void populate();
  void itemClicked(QTreeWidgetItem* item);
  void targetKindChanged();
  void browsePath();
  void browseMap();
  void updateMapNote();
  // Shows the latest sector count and lists the bad sectors found since
  // the last look.
  void showLatest();
  void addBadSectors();
  void publish(const Run& run);
  void error(const QString& text);

  disk::DiskInfoList& disks_;
  OperationStarter starter_;
  std::shared_ptr<ops::BusyFlag> busy_ = std::make_shared<ops::BusyFlag>();
  // Shared with the running copy, which may outlive the dialog.
  std::shared_ptr<platform::ProgressBlock> block_;
  int64_t upper_ = 0;
  int64_t position_ = 0;
  int64_t step_ = 1;

  QTreeWidget* tree_ = nullptr;
  QLineEdit* source_ = nullptr;
  QLineEdit* start_ = nullptr;
  QLineEdit* count_ = nullptr;
  QRadioButton* toDisk_ = nullptr;
  QRadioButton* toFile_ = nullptr;
  QLineEdit* target_ = nullptr;
  QLineEdit* targetStart_ = nullptr;
  QLineEdit* path_ = nullptr;
  QPushButton* browsePath_ = nullptr;
  QLineEdit* map_ = nullptr;
  QLabel* mapNote_ = nullptr;
  QProgressBar* bar_ = nullptr;
  QLabel* sectors_ = nullptr;
  QLabel* rate_ = nullptr;
  QPushButton* startButton_ = nullptr;
  QPushButton* stopButton_ = nullptr;
  QTreeWidget* badList_ = nullptr;
  // The field a click on the tree fills: the source's or the target's.
  QLineEdit* lastEdit_ = nullptr;
};

// "创建镜像文件" of the menu and the device tree's popups: the dialog for
// the item selected in `device`, made on first use and kept (with its
// fields) for the next time.
class ImagingCommand final : public QObject {
  Q_OBJECT

 public:
  ImagingCommand(DeviceWindow& device, QWidget* dialogParent);

  ImagingDialog* dialog() const { return dialog_; }

 public slots:
  void open();

 private:
  QPointer<DeviceWindow> device_;
  QPointer<QWidget> parent_;
  QPointer<ImagingDialog> dialog_;
};

}  // namespace orvaldi::app
