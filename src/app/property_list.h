// The device window's right pane: a two-column list describing the disk or
// partition item last clicked.
#pragma once

#include <utility>
#include <vector>

#include <QString>
#include <QTreeWidget>

#include "disk/disk_info.h"

namespace orvaldi::app {

using PropertyRow = std::pair<QString, QString>;  // name, value

// The rows for `disk`, or for its `partition` when one is given. A drive
// (its drive-number text is set) also gets the sector size and the
// partition geometry; an image and its partitions do not.
std::vector<PropertyRow> PropertyRows(const disk::DiskInfo& disk, const disk::PartitionInfo* partition);

class PropertyList final : public QTreeWidget {
  Q_OBJECT

 public:
  explicit PropertyList(QWidget* parent = nullptr);
  // Replaces the rows; an empty list leaves the pane empty.
  void showRows(const std::vector<PropertyRow>& rows);
  std::vector<PropertyRow> rows() const;
};

}  // namespace orvaldi::app
