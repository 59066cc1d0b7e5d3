// The hex viewer over files of the demo image: sizes and captions, copy in
// both formats, edits that never reach the image, files read only in part.
#include "app/hex_view.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <QApplication>
#include <QClipboard>
#include <QMimeData>
#include <QScrollBar>
#include <QTest>

#include "fs/extract.h"
#include "gui_support.h"
#include "held_demo.h"
#include "ops/file_ops.h"
#include "ops/open_partition.h"
#include "ops/source.h"
#include "support/test_images.h"

namespace orvaldi {
namespace {

using test::TempDir;

using test::DemoFat;

QByteArray ClipboardBinary() { return QApplication::clipboard()->mimeData()->data(app::kBinaryDataFormat); }
QString ClipboardText() { return QApplication::clipboard()->mimeData()->text(); }

// Presses on byte `from` and drags to byte `to` in `area`.
void Drag(app::HexEdit& edit, uint64_t from, uint64_t to, raw::HexArea area) {
  const QPoint inRow(3, 5);
  QTest::mousePress(edit.viewport(), Qt::LeftButton, {}, edit.bytePosition(from, area) + inRow);
  QTest::mouseMove(edit.viewport(), edit.bytePosition(to, area) + inRow);
  QTest::mouseRelease(edit.viewport(), Qt::LeftButton, {}, edit.bytePosition(to, area) + inRow);
}

TEST(HexViewDialog, ShowsAFileInWholeSectors) {
  DemoFat demo;
  if (!demo.load()) GTEST_SKIP() << "demo image missing";
  struct Case {
    const char* path;
    uint64_t fileBytes;
    size_t shownBytes;
    const char* caption;
  };
  const Case cases[] = {
      {"TINY.TXT", 5, 512, "1 sector"},
      {"README.TXT", 600, 1024, "2 sector"},
      {"a very long file name with spaces.txt", 5000, 5120, "10 sector"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const fs::NodeRef node = demo.file(c.path);
    ASSERT_TRUE(node);
    EXPECT_EQ(node.size(), c.fileBytes);
    app::HexViewDialog dialog;
    dialog.loadFile(*demo.disk, demo.partition(), node);
    EXPECT_EQ(dialog.windowTitle(), c.caption);
    EXPECT_EQ(dialog.hexEdit()->data().size(), c.shownBytes);
    EXPECT_EQ(dialog.hexEdit()->model().bytesPerRow(), 16u);
    EXPECT_TRUE(dialog.problem().isEmpty());
  }

  app::HexViewDialog dialog;
  dialog.loadFile(*demo.disk, demo.partition(), demo.file("README.TXT"));
  dialog.resize(720, 420);
  dialog.show();
  app::HexEdit& edit = *dialog.hexEdit();
  // The end of the first sector with its marker row, and a selection across it.
  edit.verticalScrollBar()->setValue(26);
  edit.select(0x1E8, 0x214);
  edit.setCaret(0x214, raw::HexArea::kHex);
  test::SaveScreenshot(dialog, "hex_viewer");
}

TEST(HexViewDialog, CopiesTheSelectionAsBytesAndAsTheAreaText) {
  app::HexEdit edit;
  std::vector<uint8_t> bytes(600, 0x20);
  bytes[16] = 0x41;
  bytes[17] = 0x00;
  bytes[18] = 0x42;
  edit.setData(bytes);
  edit.resize(700, 300);
  edit.show();
  const QByteArray raw("A\0B", 3);
  struct Case {
    raw::HexArea area;
    const char* text;
  };
  for (const Case c : {Case{raw::HexArea::kHex, "41 00 42 "}, Case{raw::HexArea::kChars, "A.B"}}) {
    QApplication::clipboard()->clear();
    Drag(edit, 16, 18, c.area);
    EXPECT_EQ(edit.model().selectionStart(), 16);
    EXPECT_EQ(edit.model().selectionEnd(), 19);
    QTest::keyClick(&edit, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(ClipboardBinary(), raw);
    EXPECT_EQ(ClipboardText(), c.text);
  }
  // Tab moves between the areas; the copy follows the area the caret is in.
  edit.setCaret(16, raw::HexArea::kHex);
  edit.select(16, 19);
  QTest::keyClick(&edit, Qt::Key_Tab);
  EXPECT_EQ(edit.model().area(), raw::HexArea::kChars);
  QTest::keyClick(&edit, Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(ClipboardText(), "A.B");

  // Paste takes the raw bytes, over the selection.
  edit.select(0, 2);
  QTest::keyClick(&edit, Qt::Key_V, Qt::ControlModifier);
  ASSERT_EQ(edit.data().size(), 601u);
  EXPECT_EQ(edit.data()[0], 0x41);
  EXPECT_EQ(edit.data()[1], 0x00);
  EXPECT_EQ(edit.data()[2], 0x42);
  // Text alone is no "BinaryData": nothing goes in.
  QApplication::clipboard()->setText("41 42");
  QTest::keyClick(&edit, Qt::Key_V, Qt::ControlModifier);
  EXPECT_EQ(edit.data().size(), 601u);
}

TEST(HexViewDialog, EditsChangeNoByteOfTheImage) {
  DemoFat demo;
  if (!demo.load()) GTEST_SKIP() << "demo image missing";
  const std::vector<uint8_t> before = demo.imageBytes();
  app::HexViewDialog dialog;
  dialog.loadFile(*demo.disk, demo.partition(), demo.file("README.TXT"));
  dialog.show();
  app::HexEdit& edit = *dialog.hexEdit();
  const std::vector<uint8_t> loaded = edit.data();
  QTest::keyClicks(&edit, "fe");
  EXPECT_EQ(edit.data()[0], 0xFE);
  QTest::keyClick(&edit, Qt::Key_Right);
  QTest::keyClick(&edit, Qt::Key_Backspace);
  Drag(edit, 4, 40, raw::HexArea::kChars);
  QTest::keyClick(&edit, Qt::Key_X, Qt::ControlModifier);
  QTest::keyClick(&edit, Qt::Key_End, Qt::ControlModifier);
  QTest::keyClick(&edit, Qt::Key_V, Qt::ControlModifier);
  EXPECT_NE(edit.data(), loaded);
  EXPECT_EQ(edit.data().size(), loaded.size() - 1);
  dialog.close();
  EXPECT_TRUE(demo.imageBytes() == before);
  // The file reads back as it was.
  fs::MemorySink sink;
  ops::CopyFile(*demo.disk, demo.partition(), demo.file("README.TXT"), sink);
  EXPECT_TRUE(std::equal(sink.bytes.begin(), sink.bytes.end(), loaded.begin()));
}

// A file whose sectors past its first lie beyond the end of a cut image:
// the dialog says so, and shows none of the zeros standing in for them.
TEST(HexViewDialog, FileReadOnlyInPartSaysSo) {
  DemoFat demo;
  if (!demo.load()) GTEST_SKIP() << "demo image missing";
  const fs::NodeRef song = demo.file("音乐/song01.mp3");
  ASSERT_TRUE(song);
  const uint64_t first = fs::FatClusterSector(demo.partition(), *song.firstCluster());
  std::filesystem::resize_file(demo.image, (first + 2) * 512);
  app::HexViewDialog dialog;
  dialog.loadFile(*demo.disk, demo.partition(), song);
  const raw::HexLoad load = raw::LoadFile(*demo.disk, demo.partition(), song);
  ASSERT_FALSE(load.whole);
  EXPECT_FALSE(dialog.problem().isEmpty());
  EXPECT_TRUE(dialog.problem().contains(QString::fromStdString(load.problem))) << dialog.problem().toStdString();
  EXPECT_EQ(dialog.hexEdit()->data().size(), load.readable);
  EXPECT_LT(dialog.hexEdit()->data().size(), song.size());
  dialog.resize(720, 200);
  test::SaveScreenshot(dialog, "hex_viewer_partly_read");
}

}  // namespace
}  // namespace orvaldi
