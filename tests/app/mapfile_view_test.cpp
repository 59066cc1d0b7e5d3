// A rescue map loaded into a partition window: the files that lie in its
// unread areas are marked in the file list, and only they.
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include <QApplication>
#include <QColor>
#include <QTreeView>

#include "app/file_list_model.h"
#include "app/partition_window.h"
#include "fs/node_extents.h"
#include "gui_support.h"
#include "held_demo.h"
#include "platform/sector_source.h"
#include "support/test_images.h"

namespace orvaldi::test {
namespace {

TEST(PartitionWindow, AMapFileMarksTheFilesOnItsUnreadAreas) {
  Demo demo;
  if (!demo.load()) GTEST_SKIP() << "demo image missing";
  app::PartitionWindow* w = demo.open(0);
  ASSERT_NE(w, nullptr);
  app::FileListModel& files = *w->files();
  while (files.canFetchMore({})) files.fetchMore({});
  int tiny = -1;
  for (int r = 0; r < files.rowCount(); ++r)
    if (files.index(r, 0).data().toString() == "TINY.TXT") tiny = r;
  ASSERT_GE(tiny, 0);
  const disk::DiskInfo& disk = demo.disks.front();
  auto opened = platform::FileSource::open(disk.devicePath);
  ASSERT_TRUE(opened.source);
  fs::ExtentFinder finder(opened.source.get(), disk.partitions[0]);
  const fs::NodeExtents where = finder.of(files.nodeAt(tiny), files.folder());
  ASSERT_FALSE(where.data.empty());
  const uint64_t bad = where.data.front().begin;

  TempDir dir;
  const std::string map = (dir.path() / "demo.map").string();
  const uint64_t size = opened.source->size();
  std::ofstream(map) << "# a copy of the whole disk with one bad sector\n0x0 +\n0x0 " << bad << " +\n"
                     << bad << " 512 -\n"
                     << bad + 512 << " " << size - bad - 512 << " +\n";
  QString error;
  EXPECT_FALSE(w->loadMapFile(QString::fromStdString(map + ".missing"), &error));
  EXPECT_FALSE(error.isEmpty());
  ASSERT_TRUE(w->loadMapFile(QString::fromStdString(map), &error)) << error.toStdString();
  for (int r = 0; r < files.rowCount(); ++r) {
    const QModelIndex state = files.index(r, app::FileListModel::kStateColumn);
    const bool marked = state.data().toString().endsWith("(坏区)");
    EXPECT_EQ(marked, r == tiny) << files.index(r, 0).data().toString().toStdString();
    EXPECT_EQ(!state.data(Qt::ToolTipRole).toString().isEmpty(), r == tiny);
  }
  EXPECT_EQ(files.index(tiny, 0).data(Qt::ForegroundRole).value<QColor>(), QColor(0xC0, 0x60, 0x00));
  w->resize(1000, 420);
  w->show();
  QApplication::processEvents();
  w->fileList()->setColumnWidth(app::FileListModel::kStateColumn, 130);
  SaveScreenshot(*w, "partition-window-mapfile");
}

}  // namespace
}  // namespace orvaldi::test
