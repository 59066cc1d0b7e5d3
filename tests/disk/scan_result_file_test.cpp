// The scan-result file: a raw scan's findings survive a save and a load
// byte for byte, and damaged files load without harm.
#include "disk/scan_result_file.h"

#include <gtest/gtest.h>

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
  // The text holds every partition, run and sector in full: equal text, equal findings.
  EXPECT_EQ(FormatScanResult(*fresh).bytes, first.bytes);
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

// What a load left: the partitions' starts, the directory sectors, the MFT
// record runs, each carved file's start, size and name length, and the count
// of records dropped.
std::string Summary(const DiskInfo& d, const ScanResultLoad& l) {
  std::string s = "parts";
  for (const auto& p : d.partitions) s += " " + std::to_string(p.startSector);
  s += " | dirs";
  for (const uint64_t x : d.directorySectors) s += " " + std::to_string(x);
  s += " | runs";
  for (const auto& [first, n] : d.mftRecordRuns) s += " " + std::to_string(first) + ":" + std::to_string(n);
  s += " | files";
  for (const auto& [at, f] : d.extraFoundFolder.children)
    s += " " + std::to_string(at) + ":" + std::to_string(f.size) + ":" + std::to_string(f.name.size());
  return s + " | dropped " + std::to_string(l.dropped.size());
}

TEST(ScanResultFile, DamagedFilesLoadWithTheStatedOutcome) {
  const std::string good = FormatScanResult(SmallDisk()).bytes;
  ASSERT_NE(good.find("\r\n63\r\n"), std::string::npos);  // the partition's start, after its size
  using Edits = std::vector<std::pair<std::string, std::string>>;
  const auto edit = [&](const Edits& edits) {
    std::string s = good;
    for (const auto& [from, to] : edits) s = Replace(s, from, to);
    return s;
  };
  std::string lfOnly = good;
  std::erase(lfOnly, '\r');
  const struct {
    const char* name;
    std::string file;
    ScanResultStatus status;
    std::string left;  // Summary() afterwards
    const char* said = "";
  } cases[] = {
      {"LF only", lfOnly, ScanResultStatus::kOk, "parts 63 | dirs 10 20 | runs 30:4 | files 40:100:7 | dropped 0"},
      {"cut inside the partition", good.substr(0, good.find("\r\n63\r\n")), ScanResultStatus::kOk,
       "parts | dirs 10 20 | runs 30:4 | files 40:100:7 | dropped 0"},
      {"garbage numbers", edit({{"30,4", "x,4y"}, {"\r\n63\r\n", "\r\n-\r\n"}}), ScanResultStatus::kOk,
       "parts 0 | dirs 10 20 | runs 0:4 | files 40:100:7 | dropped 0"},
      {"numbers too wide for their field", edit({{"30,4", "99999999999999999999,4294967296"}, {"100,", "-1,"}}),
       ScanResultStatus::kOk, "parts 63 | dirs 10 20 | runs 0:0 | files 40:4294967295:7 | dropped 0"},
      // Every later line was taken for a sector.
      {"huge count", edit({{"\r\n2\r\n", "\r\n2147483647\r\n"}}), ScanResultStatus::kOk,
       "parts | dirs 0 1 2 7 10 20 30 40 63 128 512 900 | runs | files | dropped 0"},
      {"negative count", edit({{"\r\n2\r\n10\r\n20\r\n", "\r\n-7\r\n"}}), ScanResultStatus::kOk,
       "parts 63 | dirs | runs 30:4 | files 40:100:7 | dropped 0"},
      {"over-long line", edit({{"a,b.jpg", std::string(10000, 'n')}}), ScanResultStatus::kOk,
       "parts 63 | dirs 10 20 | runs 30:4 | files 40:100:" + std::to_string(kMaxScanResultLine - 7) + " | dropped 0"},
      {"beyond the disk", edit({{"\r\n63\r\n", "\r\n1000\r\n"}, {"\r\n40,", "\r\n5000,"}}), ScanResultStatus::kOk,
       "parts | dirs 10 20 | runs 30:4 | files | dropped 2"},
      {"unknown origin", edit({{"\r\n512\r\n2\r\n", "\r\n512\r\n9\r\n"}}), ScanResultStatus::kOk,
       "parts | dirs 10 20 | runs 30:4 | files 40:100:7 | dropped 1"},
      // Refused: the disk keeps its one empty partition and gains nothing.
      {"another disk", edit({{"small.img", "other.img"}}), ScanResultStatus::kOtherDisk,
       "parts 0 | dirs | runs | files | dropped 0", "不是该磁盘的信息！ (the file is for \"other.img"},
      {"empty", "", ScanResultStatus::kOtherDisk, "parts 0 | dirs | runs | files | dropped 0", "不是该磁盘的信息！"},
  };
  for (const auto& c : cases) {
    DiskInfo d;
    d.vendorId = "small.img";
    d.sizeBytes = 1000 * 512;
    d.partitions.emplace_back();
    const ScanResultLoad load = LoadScanResult(d, c.file);
    EXPECT_EQ(load.status, c.status) << c.name << ": " << load.message;
    EXPECT_EQ(Summary(d, load), c.left) << c.name;
    EXPECT_NE(load.message.find(c.said), std::string::npos) << c.name << ": " << load.message;
    if (c.file == lfOnly) {
      EXPECT_EQ(FormatScanResult(d).bytes, good);
    }
  }
}

}  // namespace
}  // namespace orvaldi::disk
