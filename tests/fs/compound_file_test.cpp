// Summary information of compound documents made by Office, read through their own tables.
#include <gtest/gtest.h>

#include <algorithm>

#include "fs/compound_file.h"
#include "support/test_images.h"

namespace orvaldi::fs {
namespace {

DocumentSummary SummaryOf(const std::vector<uint8_t>& doc) {
  const std::vector<uint8_t> header(doc.begin(), doc.begin() + 512);
  return ReadDocumentSummary(header, [&](uint64_t index, uint32_t sectors) {
    std::vector<uint8_t> out;
    const uint64_t from = index * 512;
    if (from < doc.size())
      out.assign(doc.begin() + static_cast<long>(from),
                 doc.begin() + static_cast<long>(std::min<uint64_t>(doc.size(), from + sectors * 512ull)));
    return out;
  });
}

TEST(CompoundFile, OfficeSummariesFromTheMiniStream) {
  struct Case {
    const char* file;
    const char* title;
    const char* application;
  };
  for (const Case& c : {Case{"tika-testWORD.doc", "Sample Word Document", "Microsoft Office Word"},
                        Case{"tika-testEXCEL.xls", "Simple Excel document", "Microsoft Excel"},
                        Case{"tika-testPPT.ppt", "Sample Powerpoint Slide", nullptr}}) {
    auto doc = test::LoadImage(test::CorpusDir() / "carve" / c.file);
    if (!doc) GTEST_SKIP() << "corpus samples absent";
    const auto s = SummaryOf(*doc);
    EXPECT_EQ(s.title, c.title) << c.file;
    if (c.application) {
      EXPECT_EQ(s.application, c.application) << c.file;
    }
  }
}

TEST(CompoundFile, DamagedTablesGiveNothingAndStop) {
  auto doc = test::LoadImage(test::CorpusDir() / "carve" / "tika-testEXCEL.xls");
  if (!doc) GTEST_SKIP();
  auto looped = *doc;
  // Every allocation-table entry names its own sector: every chain loops.
  const uint32_t fatSector = looped[0x4C] | (looped[0x4D] << 8);
  for (size_t i = 0; i < 128; ++i) test::Put32(looped, 512 * (fatSector + 1) + 4 * i, static_cast<uint32_t>(i));
  const auto s = SummaryOf(looped);  // must return, whatever it finds
  (void)s;
  std::vector<uint8_t> header(512, 0xFF);
  EXPECT_EQ(ReadDocumentSummary(header, [](uint64_t, uint32_t) { return std::vector<uint8_t>(); }).title, "");
}

}  // namespace
}  // namespace orvaldi::fs
