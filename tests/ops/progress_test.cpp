// Progress bar arithmetic and the progress block's text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ops/format.h"
#include "ops/progress_bar_model.h"
#include "platform/progress.h"

namespace orvaldi {
namespace {

TEST(ProgressBarModel, StepStopsAtUpperBoundAndSetPositionClamps) {
  ops::ProgressBarModel bar;
  bar.beginStage(10, 4);
  EXPECT_EQ(bar.position(), 0);
  bar.step();
  bar.step();
  EXPECT_EQ(bar.position(), 8);
  bar.step();  // 12 would pass 10
  EXPECT_EQ(bar.position(), 10);
  bar.setPosition(3);
  EXPECT_EQ(bar.position(), 3);
  bar.setPosition(~0ull);  // compared unsigned: a huge value stops at the bound
  EXPECT_EQ(bar.position(), 10);
  EXPECT_DOUBLE_EQ(bar.fraction(), 1.0);

  bar.beginStage(100, 0);  // a zero step leaves the bar where it is
  bar.step();
  EXPECT_EQ(bar.position(), 0);
  bar.beginStage(0, 1);  // empty range: no division by zero
  EXPECT_DOUBLE_EQ(bar.fraction(), 0.0);
}

struct RecordingSink : platform::ProgressSink {
  std::vector<std::string> calls;
  const platform::ProgressBlock* block = nullptr;
  void beginStage(int64_t upper, int64_t step) override {
    calls.push_back("begin " + std::to_string(upper) + " " + std::to_string(step));
  }
  void step() override { calls.push_back("step " + block->text()); }
  void setPosition(uint64_t p) override { calls.push_back("pos " + std::to_string(p)); }
};

TEST(ProgressBlock, ForwardsMessagesInOrder) {
  platform::ProgressBlock block;
  block.step();  // no sink: nothing happens, nothing breaks
  RecordingSink sink;
  sink.block = &block;
  block.setSink(&sink);
  block.beginStage(500, 1);
  block.setText("42 项被找到");
  block.step();
  block.setPosition(7);
  EXPECT_EQ(sink.calls, (std::vector<std::string>{"begin 500 1", "step 42 项被找到", "pos 7"}));
  block.clearText();
  EXPECT_EQ(block.text(), "");

  EXPECT_FALSE(block.cancelled());
  block.requestCancel();
  EXPECT_TRUE(block.cancelled());
}

TEST(Format, SizeTextThresholds) {
  // 0.0001 GiB is 107,374.18 bytes: below it KB, from it MB; 0.1 GiB = 107,374,182.4 bytes.
  const std::pair<uint64_t, const char*> cases[] = {
      {0, "0.0 KB"},          {1536, "1.5 KB"},          {107374, "104.9 KB"},         {107375, "0.1 MB"},
      {64ull << 20, "64.0 MB"}, {107374182, "102.4 MB"}, {107374183, "0.1 GB"}, {2000398934016ull, "1863.0 GB"}};
  for (const auto& [bytes, text] : cases) EXPECT_EQ(ops::SizeText(bytes), text) << bytes;
  EXPECT_EQ(ops::DateText(2024, 3, 5, 7, 8, 9), "2024-03-05 07:08:09");
}

TEST(Format, FileSystemColumnAndDeviceTreeNames) {
  disk::PartitionInfo p;
  const std::pair<uint8_t, const char*> codes[] = {{4, "FAT16"}, {6, "FAT16"}, {14, "FAT16"}, {5, "exFAT"},
                                                   {7, "NTFS"},  {13, "NTFS"},  {11, "FAT32"}, {12, "FAT32"},
                                                   {0x42, ""},   {0, ""}};
  for (const auto& [code, text] : codes) {
    p.typeByte = code;
    EXPECT_EQ(ops::FsTypeName(p), text) << int{code};
  }
  p.typeByte = 0x19;
  p.fsTypeText = "Apple_HFS+";
  EXPECT_EQ(ops::FsTypeName(p), "Apple_HFS+");
  p.typeByte = 0x83;
  p.fsLabel = "EXT3";
  EXPECT_EQ(ops::FsTypeName(p), "EXT3");

  disk::DiskInfo d;
  d.partitions.resize(3);
  d.partitions[0].name = "Partition0";
  d.partitions[0].driveLetter = "/mnt/a";
  d.partitions[1].name = "Partition1";
  d.partitions[1].driveLetter = "/mnt/a";  // the same text again: falls back to the name
  d.partitions[2].name = "Partition2";
  EXPECT_EQ(ops::PartitionDisplayNames(d), (std::vector<std::string>{"/mnt/a", "Partition1", "Partition2"}));
  EXPECT_EQ(ops::TableKindText(disk::TableKind::kPrimary), "主");
  EXPECT_EQ(ops::TableKindText(disk::TableKind::kLogical), "逻辑");
}

}  // namespace
}  // namespace orvaldi
