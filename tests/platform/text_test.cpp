// UTF-16 and OEM code-page conversion.
#include <gtest/gtest.h>

#include <vector>

#include "platform/text.h"

namespace orvaldi::platform {
namespace {

std::vector<uint8_t> Le(std::initializer_list<uint16_t> units) {
  std::vector<uint8_t> b;
  for (uint16_t u : units) {
    b.push_back(static_cast<uint8_t>(u));
    b.push_back(static_cast<uint8_t>(u >> 8));
  }
  return b;
}

// Names in the basic plane are every NTFS and exFAT listing's.
TEST(Utf16, SurrogatesNulStopAndOddLength) {
  EXPECT_EQ(Utf16LeToUtf8(Le({0xD83D, 0xDE00})), "\xF0\x9F\x98\x80");                // U+1F600
  EXPECT_EQ(Utf16LeToUtf8(Le({'a', 0xD800, 'b'})), "a\uFFFDb");                      // lone high
  EXPECT_EQ(Utf16LeToUtf8(Le({0xDC00, 0xD800, 0xDC00})), "\uFFFD\xF0\x90\x80\x80");  // lone low, then a pair
  EXPECT_EQ(Utf16ToUtf8(u"x\xDBFF"), "x\uFFFD");                                     // high at the very end

  EXPECT_EQ(Utf16LeToUtf8(Le({'a', 0, 'b'}), true), "a");
  EXPECT_EQ(Utf16LeToUtf8(Le({'a', 0, 'b'}), false), std::string("a\0b", 3));
  std::vector<uint8_t> odd = Le({'x'});
  odd.push_back(0x41);
  EXPECT_EQ(Utf16LeToUtf8(odd), "x");
}

TEST(Oem, CutLeadBytesAndOtherPagesOnRequest) {
  ASSERT_EQ(OemCodePage(), 936);  // GBK names and labels are the FAT fixtures'
  // A lead byte with nothing after it cannot decode.
  EXPECT_EQ(OemToUtf8("AB\xCA"), "AB?");

  ASSERT_TRUE(SetOemCodePage(850));
  EXPECT_EQ(OemToUtf8("\x82"), "é");
  EXPECT_FALSE(SetOemCodePage(99999));
  EXPECT_EQ(OemCodePage(), 850);
  ASSERT_TRUE(SetOemCodePage(936));
}

// What the code page lacks becomes one "?" per character and is counted, so
// that a file writer can say its copy of the name is not the name.
TEST(Oem, EncodingMarksAndCountsWhatTheCodePageLacks) {
  const struct {
    const char* utf8;
    const char* oem;
    size_t unencodable;
  } cases[] = {
      {"plain", "plain", 0}, {"文档.txt", "\xCE\xC4\xB5\xB5.txt", 0}, {"a😀b", "a?b", 1}, {"x\xFF\xE6\x96y", "x??y", 2}};
  for (const auto& c : cases) {
    size_t lost = 99;
    EXPECT_EQ(Utf8ToOem(c.utf8, &lost), c.oem) << c.utf8;
    EXPECT_EQ(lost, c.unencodable) << c.utf8;
  }
  EXPECT_EQ(OemToUtf8(Utf8ToOem("照片")), "照片");
}

TEST(Utf8, SanitizeKeepsValidAndReplacesInvalid) {
  EXPECT_EQ(SanitizeUtf8("数据 ok"), "数据 ok");
  EXPECT_EQ(SanitizeUtf8("a\xFF"
                         "b"),
            "a?b");
  EXPECT_EQ(SanitizeUtf8("\xC0\xAF"), "??");       // overlong
  EXPECT_EQ(SanitizeUtf8("\xED\xA0\x80"), "???");  // encoded surrogate
  EXPECT_EQ(SanitizeUtf8("\xE6\x95"), "??");       // truncated
  EXPECT_EQ(DecodeCharset("Mac\xA5", "MACINTOSH"), "Mac•");
}

}  // namespace
}  // namespace orvaldi::platform
