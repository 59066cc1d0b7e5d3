#include "raw/hex_model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

namespace orvaldi::raw {
namespace {

std::vector<uint8_t> Counting(size_t n) {
  std::vector<uint8_t> b(n);
  std::iota(b.begin(), b.end(), uint8_t{0});
  return b;
}

// Row layout for each row width: the marker row follows the row that ends a
// sector and no other; addresses, digits and characters match the bytes.
TEST(HexModel, RowsAndSectorMarkers) {
  struct Case {
    uint32_t width;
    bool wide;
    size_t rowIndex;  // a row to check in full
    const char* address;
    const char* hex;
    const char* chars;
    size_t markerAfterRow;  // index of the bytes row that ends sector 1
  };
  const Case cases[] = {
      {16, false, 4, "0040", "40 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F ", "@ABCDEFGHIJKLMNO", 31},
      {4, false, 2, "0008", "08 09 0A 0B ", "....", 127},
      {1, true, 126, "0000007E", "7E ", "~", 511},
      {3, false, 0, "0000", "00 01 02 03 04 05 06 07 ", "........", 63},  // ignored: stays 8
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.width);
    HexModel m;
    m.setData(Counting(1024));
    m.setBytesPerRow(c.width);
    m.setWideAddress(c.wide);
    const std::vector<HexRow> rows = m.rows(100000);
    const uint32_t width = m.bytesPerRow();
    ASSERT_EQ(rows.size(), 1024 / width + 2);
    EXPECT_EQ(rows[c.rowIndex].address, c.address);
    EXPECT_EQ(rows[c.rowIndex].hex, c.hex);
    EXPECT_EQ(rows[c.rowIndex].chars, c.chars);
    EXPECT_EQ(rows[c.markerAfterRow].offset + width - 1, 511u);
    const HexRow& marker = rows[c.markerAfterRow + 1];
    EXPECT_TRUE(marker.marker);
    EXPECT_EQ(marker.text, "1 sec");
    EXPECT_EQ(rows[c.markerAfterRow + 2].offset, 512u);
    EXPECT_EQ(rows.back().text, "2 sec");
    EXPECT_EQ(std::count_if(rows.begin(), rows.end(), [](const HexRow& r) { return r.marker; }), 2);
  }
  // Rows start at the top offset and stop at the row limit.
  HexModel m;
  m.setData(Counting(1024));
  m.setBytesPerRow(16);
  m.setTop(0x1F5);
  const std::vector<HexRow> rows = m.rows(3);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].address, "01F0");
  EXPECT_TRUE(rows[1].marker);
  EXPECT_EQ(rows[2].address, "0200");
}

// A 1,000-byte range is loaded as two whole sectors; an unreadable sector ends
// the readable part instead of passing for zeros.
TEST(HexModel, LoadingRoundsUpAndKeepsUnreadableSectorsOut) {
  std::vector<uint8_t> disk = Counting(4096);
  platform::MemorySource source(disk);
  HexLoad load = LoadSectorRange(source, 1, 1000);
  EXPECT_TRUE(load.whole);
  ASSERT_EQ(load.bytes.size(), 1024u);
  EXPECT_EQ(load.bytes[0], disk[512]);
  HexModel m;
  m.setData(std::move(load.bytes));
  EXPECT_EQ(m.caption(), "2 sector");

  platform::FaultySource faulty(source, {3});
  load = LoadSectorRange(faulty, 2, 1536);
  EXPECT_FALSE(load.whole);
  EXPECT_EQ(load.readable, 512u);
  EXPECT_NE(load.problem.find("sector 3"), std::string::npos);
  EXPECT_EQ(LoadSectorRange(source, 7, 1024).readable, 512u);  // the source ends within the range
}

// Both clipboard formats from either area; cut, paste and clear on the buffer.
TEST(HexModel, SelectionCopyAndEdits) {
  HexModel m;
  m.setData({0x10, 0x41, 0x00, 0x42, 0x20});
  EXPECT_TRUE(m.copy().binary.empty());  // nothing selected
  m.select(4, 1);                        // swapped
  const std::vector<uint8_t> abc = {0x41, 0x00, 0x42};
  HexClip clip = m.copy();
  EXPECT_EQ(clip.binary, abc);
  EXPECT_EQ(clip.text, "41 00 42 ");
  m.switchArea();
  clip = m.copy();
  EXPECT_EQ(clip.binary, abc);
  EXPECT_EQ(clip.text, "A.B");

  clip = m.cut();
  EXPECT_EQ(m.data(), (std::vector<uint8_t>{0x10, 0x20}));
  EXPECT_FALSE(m.hasSelection());
  m.paste(clip.binary);  // back where it was cut from
  EXPECT_EQ(m.data(), (std::vector<uint8_t>{0x10, 0x41, 0x00, 0x42, 0x20}));
  EXPECT_EQ(m.caret(), 4u);
  m.select(0, 2);
  m.paste({0xFF});  // replaces the selection
  EXPECT_EQ(m.data(), (std::vector<uint8_t>{0xFF, 0x00, 0x42, 0x20}));
  m.selectAll();
  m.deleteSelection();
  EXPECT_TRUE(m.data().empty());
  m.paste({1});  // without data, input does nothing
  EXPECT_TRUE(m.data().empty());
}

TEST(HexModel, NibbleEditingAndBackspace) {
  HexModel m;
  m.setData({0x00, 0x11, 0x22});
  m.setCaret(1, HexArea::kHex);
  EXPECT_TRUE(m.typeHexDigit('a'));
  EXPECT_EQ(m.data()[1], 0xA1);
  EXPECT_TRUE(m.typeHexDigit('F'));
  EXPECT_EQ(m.data()[1], 0xAF);
  EXPECT_EQ(m.caret(), 2u);
  EXPECT_FALSE(m.typeHexDigit('g'));
  EXPECT_TRUE(m.typeHexDigit('7'));
  EXPECT_EQ(m.data()[2], 0x72);
  m.switchArea();  // the character area takes no digits
  EXPECT_FALSE(m.typeHexDigit('1'));
  EXPECT_EQ(m.data(), (std::vector<uint8_t>{0x00, 0xAF, 0x72}));
  m.backspace();  // the byte before the caret
  EXPECT_EQ(m.data(), (std::vector<uint8_t>{0x00, 0x72}));
  EXPECT_EQ(m.caret(), 1u);
  m.setCaret(3, HexArea::kHex);  // past the end: no nibble to change
  EXPECT_FALSE(m.typeHexDigit('1'));
}

}  // namespace
}  // namespace orvaldi::raw
