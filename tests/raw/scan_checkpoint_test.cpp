// The checkpoint file: what a sweep's state and findings become, and what
// a damaged file is.
#include "raw/scan_checkpoint.h"

#include <gtest/gtest.h>

#include <random>

#include "disk/scan_result_file.h"

namespace orvaldi::raw {
namespace {

disk::DiskInfo Disk() {
  disk::DiskInfo d;
  d.vendorId = "disk.img";
  d.sizeBytes = int64_t{1} << 30;
  disk::PartitionInfo table;
  table.name = "Partition0";
  table.startSector = 2048;
  table.sectorCount = 100000;
  table.typeByte = 0x0B;
  d.partitions.push_back(table);
  return d;
}

// A sweep's state and its findings come back whole, also what the
// scan-result text cannot hold (a label outside the code page, the FAT
// size, a carved file cut short); the checkpoint also loads as a scan result.
TEST(ScanCheckpoint, StateAndFindingsComeBackWhole) {
  disk::DiskInfo d = Disk();
  const CheckpointIdentity id = IdentityAtStart(d, "sweep", 1u << 30, 0, 2097152, "part=;sector-size=0");
  disk::PartitionInfo found;
  found.name = "Partition1";
  found.volumeLabel = "Ünïcode ラベル";
  found.startSector = 400000;
  found.sectorCount = 8192;
  found.typeByte = 0x06;
  found.origin = disk::PartitionOrigin::kRebuilt;
  found.sectorsPerCluster = 4;
  found.clusterZeroSector = 400100;
  found.fatSizeSectors = 32;
  d.partitions.push_back(found);
  d.directorySectors = {400200, 400300};
  d.mftRecordRuns = {{500000, 64}};
  d.extraFoundFolder.children[600000] = {0, 4096, "600000.jpg", {}, false};
  d.extraFoundFolder.children[700000] = {0, 100, "700000.pdf", {}, true};
  SweepState s;
  s.next = 812345;
  s.chunk = 39;
  s.reader = {396, 3, 64, {{1000, 5}, {812000, 7}}};
  s.fat16 = {true, true, 400006, 400038, 32};
  s.directoryPairs = {{400200, 2}, {400300, 5}};
  s.liveTables = {{500000, 4, 1023, 19}};
  const std::string bytes = FormatCheckpoint(d, id, s);
  const CheckpointRead read = ParseCheckpoint(bytes, Disk());
  ASSERT_TRUE(read.ok) << read.error;
  EXPECT_EQ(read.checkpoint.identity, id);
  EXPECT_EQ(read.checkpoint.state, s);
  ASSERT_EQ(read.checkpoint.added.size(), 1u);
  EXPECT_EQ(read.checkpoint.added[0].volumeLabel, found.volumeLabel);
  EXPECT_EQ(read.checkpoint.added[0].fatSizeSectors, 32u);
  disk::DiskInfo resumed = Disk();
  ApplyCheckpoint(read.checkpoint, resumed);
  EXPECT_EQ(disk::FormatScanResult(resumed).bytes, disk::FormatScanResult(d).bytes);
  EXPECT_FALSE(resumed.extraFoundFolder.children.at(600000).intact);
  EXPECT_TRUE(resumed.extraFoundFolder.children.at(700000).intact);
  disk::DiskInfo loaded = Disk();
  EXPECT_EQ(disk::LoadScanResult(loaded, bytes).status, disk::ScanResultStatus::kOk);
  EXPECT_EQ(loaded.partitions.size(), 2u);
  EXPECT_EQ(loaded.extraFoundFolder.children.size(), 2u);

  // Another range or options, or other starting records, are told apart.
  CheckpointIdentity other = id;
  other.count -= 1;
  EXPECT_NE(IdentityMismatch(id, other).find("range"), std::string::npos);
  disk::DiskInfo changed = Disk();
  changed.partitions[0].sectorCount += 1;
  EXPECT_FALSE(IdentityMismatch(id, IdentityAtStart(changed, "sweep", 1u << 30, 0, 2097152, id.options)).empty());
}

// Cut anywhere or with bytes changed at random, a checkpoint is read as
// it is or refused with a message; never a position outside its range.
TEST(ScanCheckpoint, DamagedFilesAreRefused) {
  disk::DiskInfo d = Disk();
  const CheckpointIdentity id = IdentityAtStart(d, "sweep", 1u << 30, 0, 2097152, "");
  SweepState s;
  s.next = 300000;
  s.chunk = 14;
  s.reader.slice = 146;
  s.directoryPairs = {{1, 2}};
  const std::string bytes = FormatCheckpoint(d, id, s);
  for (size_t cut = 0; cut + 1 < bytes.size(); cut += 7)
    EXPECT_FALSE(ParseCheckpoint(bytes.substr(0, cut), d).ok) << cut;
  std::mt19937 random(29);
  for (int i = 0; i < 2000; ++i) {
    std::string bad = bytes;
    bad[random() % bad.size()] = static_cast<char>(random());
    const CheckpointRead read = ParseCheckpoint(bad, d);
    if (!read.ok) {
      EXPECT_FALSE(read.error.empty());
      continue;
    }
    const SweepState& t = read.checkpoint.state;
    EXPECT_LE(t.next, read.checkpoint.identity.first + read.checkpoint.identity.count);
    EXPECT_LE(t.reader.slice * 2048, t.next - read.checkpoint.identity.first);
  }
}

}  // namespace
}  // namespace orvaldi::raw
