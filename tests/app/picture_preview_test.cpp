// The picture preview over a list of the demo image's files: the delay, the
// two-pixel rule, which rows arm it, where it opens and when it closes.
#include "app/picture_preview.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <QBuffer>
#include <QCursor>
#include <QImageReader>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QStandardItemModel>
#include <QTest>
#include <QTreeView>

#include "fs/extract.h"
#include "gui_support.h"
#include "held_demo.h"
#include "ops/file_ops.h"
#include "ops/open_partition.h"
#include "ops/source.h"
#include "support/test_images.h"

namespace orvaldi {
namespace {

// A picture Qt writes, to stand in for the demo's JPEG, whose bytes carry
// the format's markers but no picture a decoder accepts.
QByteArray MadeJpeg() {
  QImage picture(320, 240, QImage::Format_RGB32);
  for (int y = 0; y < picture.height(); ++y)
    for (int x = 0; x < picture.width(); ++x) picture.setPixel(x, y, qRgb(x * 255 / 320, 120 + y / 4, 255 - y));
  QPainter p(&picture);
  p.setPen(Qt::white);
  p.setFont(QFont("WenQuanYi Micro Hei", 28));
  p.drawText(picture.rect(), Qt::AlignCenter, "IMG_0001");
  p.end();
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  picture.save(&buffer, "JPEG", 85);
  return bytes;
}

// A list of FAT32 files of the demo image (and a carved copy of one JPEG),
// each row leading to its node.
struct DemoList {
  test::DemoFat fat;
  std::filesystem::path& image = fat.image;
  std::optional<disk::DiskInfo>& disk = fat.disk;
  disk::CarvedNode carved;
  std::vector<fs::NodeRef> nodes;
  QStandardItemModel model;
  QTreeView view;
  std::unique_ptr<app::PicturePreview> preview;
  QPoint cursor;
  QByteArray jpegBytes;  // IMG_0001.JPG's data in the copy of the image

  bool load() {
    if (!fat.load()) return false;
    const fs::NodeRef jpeg = fat.file("照片/2024/IMG_0001.JPG");
    const fs::NodeRef text = fat.file("TINY.TXT");
    if (!jpeg || !text) return false;
    // A decodable picture over the file's clusters (one run), found again
    // as a full-disk scan would have carved it.
    const uint64_t sector = fs::FatClusterSector(disk->partitions.front(), *jpeg.firstCluster());
    jpegBytes = MadeJpeg();
    if (jpegBytes.isEmpty() || uint64_t(jpegBytes.size()) > jpeg.size()) return false;
    jpegBytes.append(QByteArray(static_cast<qsizetype>(jpeg.size()) - jpegBytes.size(), '\0'));
    std::fstream file(image, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(sector * 512));
    file.write(jpegBytes.constData(), jpegBytes.size());
    if (!file.flush()) return false;
    carved = disk::CarvedNode{0, static_cast<uint32_t>(jpeg.size()), "carved.jpg", {}};
    const std::pair<QString, fs::NodeRef> rows[] = {
        {"IMG_0001.JPG", jpeg},
        {"TINY.TXT", text},
        {"carved.jpg", fs::NodeRef::CarvedFile(&carved, sector)},
        {"not-a-picture.gif", text},  // decodes to nothing
    };
    model.setHorizontalHeaderLabels({"名称", "大小"});
    for (const auto& [name, node] : rows) {
      model.appendRow({new QStandardItem(name), new QStandardItem(QString::number(node.size()))});
      nodes.push_back(node);
    }
    view.setModel(&model);
    view.resize(400, 200);
    view.show();
    preview = std::make_unique<app::PicturePreview>(&view, [this](const QModelIndex& row) {
      return app::PictureFile{&*disk, &disk->partitions.front(), nodes[static_cast<size_t>(row.row())]};
    });
    preview->setCursorPosition([this] { return cursor; });
    return true;
  }
  // A left press on `row` as if the pointer were at `global` on the screen.
  void press(int row, QPoint global) {
    const QPoint local = view.visualRect(model.index(row, 0)).center();
    QMouseEvent e(QEvent::MouseButtonPress, local, global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(view.viewport(), &e);
    QMouseEvent up(QEvent::MouseButtonRelease, local, global, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(view.viewport(), &up);
    cursor = global;
  }
  void moveTo(QPoint global) {
    cursor = global;
    const QPoint local = view.viewport()->mapFromGlobal(global);
    QMouseEvent e(QEvent::MouseMove, local, global, Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(view.viewport(), &e);
  }
  // Lets the delay run out.
  void waitOut() {
    QTest::qWait(app::PicturePreview::kDelayMs + 50);
    QTRY_VERIFY(!preview->armed());
  }
};

TEST(PicturePreview, QtDecodesTheThreeFormats) {
  const QList<QByteArray> formats = QImageReader::supportedImageFormats();
  for (const char* f : {"jpeg", "bmp", "gif"}) EXPECT_TRUE(formats.contains(f)) << f;
}

TEST(PicturePreview, OpensOnAPictureHeldStill) {
  DemoList demo;
  if (!demo.load()) GTEST_SKIP() << "demo image missing";
  const QPoint at(120, 100);
  struct Case {
    int row;
    QPoint moved;  // the pointer's move before the delay ends
    bool armed;
    bool opens;
    bool decodes;
  };
  const Case cases[] = {
      {0, {0, 0}, true, true, true},    {0, {1, -1}, true, true, true},   {0, {2, 0}, true, false, false},
      {0, {0, -2}, true, false, false}, {1, {0, 0}, false, false, false}, {2, {0, 0}, true, true, true},
      {3, {0, 0}, true, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "row " << c.row << " moved " << c.moved.x() << "," << c.moved.y());
    demo.preview->close();
    demo.press(c.row, at);
    EXPECT_EQ(demo.preview->armed(), c.armed);
    demo.cursor = at + c.moved;
    QTest::qWait(app::PicturePreview::kDelayMs / 3);
    EXPECT_EQ(demo.preview->window(), nullptr);  // not before the delay
    demo.waitOut();
    app::PreviewWindow* w = demo.preview->window();
    ASSERT_EQ(w != nullptr, c.opens);
    if (!w) continue;
    EXPECT_TRUE(w->isVisible());
    EXPECT_TRUE(w->windowFlags().testFlags(Qt::Tool | Qt::FramelessWindowHint));
    EXPECT_EQ(w->geometry(), QRect(at.x() + 2, at.y(), 370, 300));
    EXPECT_EQ(w->cursor().shape(), Qt::ForbiddenCursor);
    EXPECT_EQ(!w->image().isNull(), c.decodes);
  }
}

TEST(PicturePreview, ReadsThroughTheCopyCallAndNothingUnread) {
  DemoList demo;
  if (!demo.load()) GTEST_SKIP() << "demo image missing";
  for (size_t row : {0u, 2u}) {
    const app::PictureData data = app::ReadPicture({&*demo.disk, &demo.disk->partitions.front(), demo.nodes[row]});
    EXPECT_EQ(data.bytes, demo.jpegBytes) << row;
    EXPECT_TRUE(data.problem.isEmpty()) << row;
  }
  // Past the end of a cut image the picture's sectors read as zeros: none of it is shown.
  const uint64_t first = fs::FatClusterSector(demo.disk->partitions.front(), *demo.nodes[0].firstCluster());
  std::filesystem::resize_file(demo.image, (first + 8) * 512);
  const app::PictureData cut = app::ReadPicture({&*demo.disk, &demo.disk->partitions.front(), demo.nodes[0]});
  EXPECT_TRUE(cut.bytes.isEmpty());
  EXPECT_FALSE(cut.problem.isEmpty());
}

TEST(PicturePreview, OpensAboveNearTheBottomAndClosesOutsideItsRectangle) {
  DemoList demo;
  if (!demo.load()) GTEST_SKIP() << "demo image missing";
  const QRect screen = demo.view.screen()->availableGeometry();
  const QPoint low(150, screen.bottom() - 100);
  demo.press(0, low);
  demo.waitOut();
  ASSERT_NE(demo.preview->window(), nullptr);
  EXPECT_EQ(demo.preview->window()->geometry(), QRect(low.x() + 2, low.y() - 300, 370, 300));
  // Its rectangle goes up with it, so that the pointer can reach it.
  demo.moveTo(low + QPoint(10, -150));
  EXPECT_NE(demo.preview->window(), nullptr);
  demo.moveTo(low + QPoint(10, 1));
  EXPECT_EQ(demo.preview->window(), nullptr);

  const QPoint at(100, 80);
  struct Move {
    QPoint to;
    bool stays;
  };
  const Move moves[] = {
      {{98, 80}, true},    {{470, 380}, true},  {{97, 80}, false},
      {{471, 200}, false}, {{200, 381}, false}, {{200, 79}, false},
  };
  for (const Move& m : moves) {
    SCOPED_TRACE(testing::Message() << m.to.x() << "," << m.to.y());
    demo.press(0, at);
    demo.waitOut();
    ASSERT_NE(demo.preview->window(), nullptr);
    demo.moveTo(m.to);
    EXPECT_EQ(demo.preview->window() != nullptr, m.stays);
  }

  // Over the list, as the operator sees it.
  demo.press(0, demo.view.viewport()->mapToGlobal(demo.view.visualRect(demo.model.index(0, 0)).center()));
  demo.waitOut();
  app::PreviewWindow* w = demo.preview->window();
  ASSERT_NE(w, nullptr);
  const QRect list = demo.view.frameGeometry();
  const QRect shown = w->geometry();
  QPixmap shot(list.united(shown).size());
  shot.fill(Qt::white);
  QPainter p(&shot);
  p.drawPixmap(list.topLeft() - list.united(shown).topLeft(), demo.view.grab());
  p.drawPixmap(shown.topLeft() - list.united(shown).topLeft(), w->grab());
  p.end();
  QLabel composed;
  composed.setPixmap(shot);
  test::SaveScreenshot(composed, "picture_preview");
}

}  // namespace
}  // namespace orvaldi
