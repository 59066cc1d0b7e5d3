// The small images of the left trees: disks and partitions, folders, and
// deleted folders.
#pragma once

#include <QIcon>

namespace orvaldi::app {

struct TreeIcons {
  static QIcon device();         // disk and partition items, a partition window's top item
  static QIcon folder();         // an existing folder, the extra-files node
  static QIcon deletedFolder();  // a deleted folder
};

}  // namespace orvaldi::app
