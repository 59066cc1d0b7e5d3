// The scan-result file: a raw scan's findings survive a save and a load
// byte for byte, and damaged files load without harm.
#include "disk/scan_result_file.h"

#include <gtest/gtest.h>

#include <functional>

#include "disk/disk_list.h"
#include "disk/sector_io.h"
#include "platform/progress.h"
#include "raw/raw_scan.h"
#include "support/test_images.h"

namespace orvaldi::disk {
namespace {

std::string Replace(std::string s, const std::string& from, const std::string& to) {
  const size_t at = s.find(from);
  if (at != std::string::npos) s.replace(at, from.size(), to);
  return s;
}

TEST(ScanResultFile, RawScanFindingsSurviveSaveLoadSaveByteForByte) {
  test::TempDir dir;
  const auto bytes = test::LoadImage(test::FixturesDir() / "wiped/wiped-disk.img.gz");
  ASSERT_TRUE(bytes);
  const auto image = dir.write("wiped.img", *bytes);
  std::string error;
  auto scanned = LoadSource(image.string(), &error);
  ASSERT_TRUE(scanned) << error;
  ASSERT_TRUE(scanned->partitions.empty());  // the MBR entries are wiped
  platform::ProgressBlock progress;
  ASSERT_EQ(raw::RawDiskScan(*scanned, progress, 0, bytes->size() / SectorSize), 1);
  ASSERT_GE(scanned->partitions.size(), 2u);
  ASSERT_FALSE(scanned->directorySectors.empty());
  ASSERT_FALSE(scanned->mftRecordRuns.empty());
  ASSERT_FALSE(scanned->extraFoundFolder.children.empty());
  // What a scan does not make here: a GBK name with commas, a striped volume
  // with members, a logical volume with a segment and the disk values.
  scanned->extraFoundFolder.children[7] = CarvedNode{0, 4000000000u, "照片,副本,1.jpg", {}};
  PartitionInfo striped = scanned->partitions.front();
  striped.volumeKind = VolumeKind::kStriped;
  striped.volumeLabel = "卷标";
  striped.members = {{{1, 2, 3, 250, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 255}, "/dev/sdb", 63, 1000},
                     {{}, "", uint64_t{1} << 40, 2000}};
  scanned->partitions.push_back(striped);
  scanned->logicalVolumes.push_back({"unsaved", 1, "a", "b", "c", 4096, 1, "d", {{0, 2, "striped", 1, "pv0", 34}}});
  scanned->diskKind = DiskKind::kDynamicGroup;
  scanned->lvmPeStart = 2048;
  scanned->reserved3 = 0xFFFFFFFFu;

  const ScanResultText first = FormatScanResult(*scanned);
  EXPECT_EQ(first.alteredTexts, 0u);
  EXPECT_TRUE(first.bytes.starts_with(DisplayName(*scanned) + "\r\n"));
  EXPECT_NE(first.bytes.find(",-294967296,\xD5\xD5\xC6\xAC,\xB8\xB1\xB1\xBE,1.jpg\r\n"), std::string::npos);
  const auto file = dir.path() / "wiped.kvr_scn";
  ASSERT_TRUE(SaveScanResult(*scanned, file.string()).ok);

  auto fresh = LoadSource(image.string(), &error);
  ASSERT_TRUE(fresh);
  fresh->partitions.emplace_back();  // replaced by the file's
  const ScanResultLoad load = LoadScanResultFile(*fresh, file.string());
  ASSERT_EQ(load.status, ScanResultStatus::kOk) << load.message;
  EXPECT_TRUE(load.dropped.empty());
  EXPECT_EQ(FormatScanResult(*fresh).bytes, first.bytes);
  EXPECT_EQ(fresh->directorySectors, scanned->directorySectors);
  EXPECT_EQ(fresh->mftRecordRuns, scanned->mftRecordRuns);
  ASSERT_EQ(fresh->partitions.size(), scanned->partitions.size());
  for (size_t i = 0; i < fresh->partitions.size(); ++i) {
    EXPECT_EQ(fresh->partitions[i].startSector, scanned->partitions[i].startSector);
    EXPECT_EQ(fresh->partitions[i].origin, scanned->partitions[i].origin);
  }
  EXPECT_EQ(fresh->partitions.back().members[1].startSector, uint64_t{1} << 40);
  EXPECT_EQ(fresh->extraFoundFolder.children.at(7).size, 4000000000u);
  EXPECT_EQ(fresh->extraFoundFolder.children.at(7).name, "照片,副本,1.jpg");
  EXPECT_EQ(fresh->logicalVolumes.at(0).segments.at(0).pvId, "pv0");
}

// A small disk of 1,000 sectors, with one of everything.
DiskInfo SmallDisk() {
  DiskInfo d;
  d.vendorId = "small.img";
  d.sizeBytes = 1000 * 512;
  d.directorySectors = {10, 20};
  d.mftRecordRuns = {{30, 4}};
  d.extraFoundFolder.children[40] = CarvedNode{0, 100, "a,b.jpg", {}};
  PartitionInfo p;
  p.name = "p0";
  p.startSector = 63;
  p.sectorCount = 900;
  p.typeByte = 0x07;
  p.origin = PartitionOrigin::kFound;
  d.partitions.push_back(p);
  return d;
}

TEST(ScanResultFile, DamagedFilesLoadWithTheStatedOutcome) {
  const std::string good = FormatScanResult(SmallDisk()).bytes;
  ASSERT_NE(good.find("\r\n63\r\n"), std::string::npos);  // the partition's start, after its size
  const struct {
    const char* name;
    std::function<std::string(std::string)> damage;
    ScanResultStatus status;
    std::function<void(const DiskInfo&, const ScanResultLoad&)> check;
  } cases[] = {
      {"LF only",
       [](std::string s) {
         std::erase(s, '\r');
         return s;
       },
       ScanResultStatus::kOk,
       [&](const DiskInfo& d, const ScanResultLoad&) { EXPECT_EQ(FormatScanResult(d).bytes, good); }},
      {"cut inside the partition", [](std::string s) { return s.substr(0, s.find("\r\n63\r\n")); },
       ScanResultStatus::kOk,
       [](const DiskInfo& d, const ScanResultLoad&) {
         EXPECT_TRUE(d.partitions.empty());
         EXPECT_EQ(d.mftRecordRuns.at(30), 4u);
       }},
      {"garbage numbers", [](std::string s) { return Replace(Replace(s, "30,4", "x,4y"), "\r\n63\r\n", "\r\n-\r\n"); },
       ScanResultStatus::kOk,
       [](const DiskInfo& d, const ScanResultLoad&) {
         EXPECT_EQ(d.mftRecordRuns.at(0), 4u);
         ASSERT_EQ(d.partitions.size(), 1u);
         EXPECT_EQ(d.partitions[0].startSector, 0u);
       }},
      {"numbers too wide for their field",
       [](std::string s) { return Replace(Replace(s, "30,4", "99999999999999999999,4294967296"), "100,", "-1,"); },
       ScanResultStatus::kOk,
       [](const DiskInfo& d, const ScanResultLoad&) {
         EXPECT_EQ(d.mftRecordRuns.at(0), 0u);
         EXPECT_EQ(d.extraFoundFolder.children.at(40).size, 0xFFFFFFFFu);
       }},
      {"huge count", [](std::string s) { return Replace(s, "\r\n2\r\n", "\r\n2147483647\r\n"); }, ScanResultStatus::kOk,
       [](const DiskInfo& d, const ScanResultLoad&) {
         EXPECT_TRUE(d.partitions.empty());  // every later line was taken for a sector
         EXPECT_TRUE(d.mftRecordRuns.empty());
       }},
      {"negative count", [](std::string s) { return Replace(s, "\r\n2\r\n10\r\n20\r\n", "\r\n-7\r\n"); },
       ScanResultStatus::kOk,
       [](const DiskInfo& d, const ScanResultLoad&) {
         EXPECT_TRUE(d.directorySectors.empty());
         EXPECT_EQ(d.partitions.size(), 1u);
       }},
      {"over-long line", [](std::string s) { return Replace(s, "a,b.jpg", std::string(10000, 'n')); },
       ScanResultStatus::kOk,
       [](const DiskInfo& d, const ScanResultLoad&) {
         EXPECT_EQ(d.extraFoundFolder.children.at(40).name.size(), kMaxScanResultLine - 7);
         EXPECT_EQ(d.partitions.size(), 1u);
       }},
      {"beyond the disk",
       [](std::string s) { return Replace(Replace(s, "\r\n63\r\n", "\r\n1000\r\n"), "\r\n40,", "\r\n5000,"); },
       ScanResultStatus::kOk,
       [](const DiskInfo& d, const ScanResultLoad& l) {
         EXPECT_TRUE(d.partitions.empty());
         EXPECT_TRUE(d.extraFoundFolder.children.empty());
         EXPECT_EQ(l.dropped.size(), 2u);
       }},
      {"unknown origin", [](std::string s) { return Replace(s, "\r\n512\r\n2\r\n", "\r\n512\r\n9\r\n"); },
       ScanResultStatus::kOk,
       [](const DiskInfo& d, const ScanResultLoad& l) {
         EXPECT_TRUE(d.partitions.empty());
         EXPECT_EQ(l.dropped.size(), 1u);
       }},
      {"another disk", [](std::string s) { return Replace(s, "small.img", "other.img"); }, ScanResultStatus::kOtherDisk,
       [](const DiskInfo& d, const ScanResultLoad& l) {
         EXPECT_NE(l.message.find("不是该磁盘的信息！"), std::string::npos);
         EXPECT_NE(l.message.find("other.img"), std::string::npos);
         EXPECT_EQ(d.partitions.size(), 1u);  // untouched
         EXPECT_TRUE(d.directorySectors.empty());
       }},
      {"empty", [](std::string) { return std::string(); }, ScanResultStatus::kOtherDisk,
       [](const DiskInfo&, const ScanResultLoad&) {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DiskInfo d;
    d.vendorId = "small.img";
    d.sizeBytes = 1000 * 512;
    d.partitions.emplace_back();
    const ScanResultLoad load = LoadScanResult(d, c.damage(good));
    EXPECT_EQ(load.status, c.status) << load.message;
    c.check(d, load);
  }
}

}  // namespace
}  // namespace orvaldi::disk
