// Progress bar arithmetic, and the size and file-system texts at their
// thresholds. The progress block's forwarding is the save pool's test.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ops/format.h"
#include "ops/progress_bar_model.h"

namespace orvaldi {
namespace {

TEST(ProgressBarModel, StepStopsAtUpperBoundAndSetPositionClamps) {
  ops::ProgressBarModel bar;
  bar.beginStage(10, 4);
  bar.step();
  bar.step();
  EXPECT_EQ(bar.position(), 8);
  bar.step();  // 12 would pass 10
  EXPECT_EQ(bar.position(), 10);
  bar.setPosition(3);
  EXPECT_EQ(bar.position(), 3);
  bar.setPosition(~0ull);  // compared unsigned: a huge value stops at the bound
  EXPECT_DOUBLE_EQ(bar.fraction(), 1.0);
  bar.beginStage(0, 1);  // empty range: no division by zero
  EXPECT_DOUBLE_EQ(bar.fraction(), 0.0);
}

TEST(Format, SizeTextThresholds) {
  // 0.0001 GiB is 107,374.18 bytes: below it KB, from it MB; 0.1 GiB = 107,374,182.4 bytes.
  const std::pair<uint64_t, const char*> cases[] = {{0, "0.0 KB"},         {107374, "104.9 KB"},
                                                    {107375, "0.1 MB"},    {107374182, "102.4 MB"},
                                                    {107374183, "0.1 GB"}, {2000398934016ull, "1863.0 GB"}};
  for (const auto& [bytes, text] : cases) EXPECT_EQ(ops::SizeText(bytes), text) << bytes;
}

TEST(Format, FileSystemColumnAndDeviceTreeNames) {
  disk::PartitionInfo p;
  p.fsTypeText = "Apple_HFS+";
  p.fsLabel = "EXT3";
  const std::pair<uint8_t, const char*> codes[] = {{4, "FAT16"}, {6, "FAT16"}, {14, "FAT16"},        {5, "exFAT"},
                                                   {7, "NTFS"},  {13, "NTFS"}, {11, "FAT32"},        {12, "FAT32"},
                                                   {0x42, ""},   {0, ""},      {0x19, "Apple_HFS+"}, {0x83, "EXT3"}};
  for (const auto& [code, text] : codes) {
    p.typeByte = code;
    EXPECT_EQ(ops::FsTypeName(p), text) << int{code};
  }
  disk::DiskInfo d;
  d.partitions.resize(3);
  for (size_t i = 0; i < 3; ++i) d.partitions[i].name = "Partition" + std::to_string(i);
  d.partitions[0].driveLetter = "/mnt/a";
  d.partitions[1].driveLetter = "/mnt/a";  // the same text again: falls back to the name
  EXPECT_EQ(ops::PartitionDisplayNames(d), (std::vector<std::string>{"/mnt/a", "Partition1", "Partition2"}));
}

}  // namespace
}  // namespace orvaldi
