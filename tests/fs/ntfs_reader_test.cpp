// NTFS record decoding, run lists, the MFT walk and the placement of orphans, on crafted records.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "disk/disk_info.h"
#include "disk/recognisers.h"
#include "fs/ntfs_reader.h"
#include "fs/ntfs_record.h"
#include "fs/ntfs_state.h"
#include "platform/sector_source.h"
#include "support/ntfs_builder.h"
#include "support/test_images.h"
#include "support/tree_listing.h"

namespace orvaldi::fs {
namespace {

using test::NtfsVolumeBuilder;
using test::RecordBuilder;
using test::RunList;

std::vector<NtfsRun> Runs(const std::vector<uint8_t>& bytes) {
  std::vector<NtfsRun> runs;
  DecodeRunList(bytes, runs);
  return runs;
}

TEST(RunList, SignedOffsetsSparseRunsAndTheEndEntry) {
  // 0x21: 1-byte length 0x18, 2-byte offset 0x5634; then 0x11 back by 0x10; a sparse run; the end.
  const auto runs = Runs({0x21, 0x18, 0x34, 0x56, 0x11, 0x08, 0xF0, 0x01, 0x04, 0x00});
  ASSERT_EQ(runs.size(), 4u);
  EXPECT_EQ(runs[0].firstCluster, 0x5634u);
  EXPECT_EQ(runs[0].length, 0x18u);
  EXPECT_EQ(runs[1].firstCluster, 0x5634u - 0x10);
  EXPECT_EQ(runs[1].length, 8u);
  EXPECT_TRUE(runs[2].sparse);
  EXPECT_EQ(runs[2].firstCluster, 0u);
  EXPECT_EQ(runs[2].length, 4u);
  EXPECT_EQ(runs[3].index, 3u);
  EXPECT_EQ(runs[3].firstCluster, 0u);
  EXPECT_EQ(runs[3].length, 0u);
  // Offsets past 4 bytes: volumes over 2^31 clusters.
  const auto big = Runs(RunList({{0x123456789Aull, 5}}));
  EXPECT_EQ(big[0].firstCluster, 0x123456789Aull);
}

TEST(RunList, BadListsStopWithoutReadingPastTheirBytes) {
  std::vector<NtfsRun> runs;
  EXPECT_FALSE(DecodeRunList(std::vector<uint8_t>{0x21, 0x18}, runs));  // cut short
  EXPECT_EQ(runs.size(), 1u);  // only the end entry
  runs.clear();
  EXPECT_FALSE(DecodeRunList(std::vector<uint8_t>{0x11, 0x01, 0x05, 0x11, 0x01, 0x80, 0x00}, runs));  // below cluster 0
  EXPECT_EQ(runs.size(), 2u);
  runs.clear();
  EXPECT_FALSE(DecodeRunList(std::vector<uint8_t>{0x09, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00}, runs));  // 9-byte length
  runs.clear();
  // Two 8-byte offsets whose sum leaves the 64-bit range.
  EXPECT_FALSE(DecodeRunList(std::vector<uint8_t>{0x81, 1, 0xE2, 0xE2, 0xE2, 0xE2, 0xE2, 0xE2, 0xE2, 0x7D, 0x81, 1, 0x77,
                                                  0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x00},
                             runs));
  runs.clear();
  EXPECT_FALSE(DecodeRunList(std::vector<uint8_t>{0x11, 0x02, 0x03}, runs));  // no end byte
  EXPECT_EQ(runs.size(), 2u);
}

DecodedRecord Decode(const std::vector<uint8_t>& record, uint64_t number) {
  std::vector<uint8_t> r = record;
  EXPECT_EQ(disk::CheckUpdateSequence(r), 1);
  DecodedRecord out;
  EXPECT_TRUE(DecodeRecord(r, number, DecodeMode::kFull, out, {}));
  return out;
}

TEST(Record, NameChoiceByNamespace) {
  EXPECT_EQ(Decode(RecordBuilder(40).fileName(5, u"DOSONLY.TXT", 2).build(), 40).name, "DOSONLY.TXT");
  EXPECT_EQ(Decode(RecordBuilder(40).fileName(5, u"LONGNA~1.TXT", 2).fileName(5, u"long name.txt", 1).build(), 40).name,
            "long name.txt");
  EXPECT_EQ(Decode(RecordBuilder(40).fileName(5, u"long name.txt", 1).fileName(5, u"LONGNA~1.TXT", 2).build(), 40).name,
            "long name.txt");
  EXPECT_EQ(Decode(RecordBuilder(40).fileName(5, u"posix", 0).fileName(7, u"照片", 3).build(), 40).name, "照片");
  const auto root = Decode(RecordBuilder(5, 3).fileName(5, u".", 3).build(), 5);
  EXPECT_EQ(root.name, "根目录");
  EXPECT_EQ(root.kind, node_kind::kFolder);
  EXPECT_EQ(Decode(RecordBuilder(40).fileName(77, u"x", 1).build(), 40).parentNumber(), 77u);
}

TEST(Record, KindsSizesAndTimes) {
  EXPECT_EQ(KindFromRecordFlags(0), node_kind::kDeletedFile);
  EXPECT_EQ(KindFromRecordFlags(1), node_kind::kFile);
  EXPECT_EQ(KindFromRecordFlags(2), node_kind::kDeletedFolder);
  EXPECT_EQ(KindFromRecordFlags(3), node_kind::kFolder);
  EXPECT_EQ(KindFromRecordFlags(7), node_kind::kFolder);
  EXPECT_EQ(KindFromRecordFlags(9), 0);

  // Resident data: the size is the value's length (300 bytes), not its padded room.
  const auto small = Decode(RecordBuilder(41).standardInformation(100, 200, 300).fileName(5, u"a", 1, 0)
                                .residentData(std::vector<uint8_t>(300, 'x')).namedData(u"ads", {1, 2, 3}).build(),
                            41);
  EXPECT_EQ(small.size, 300u);
  EXPECT_EQ(small.residentData.size(), 300u);
  EXPECT_EQ(small.siCreate, 100u);
  EXPECT_EQ(small.siModify, 200u);
  EXPECT_EQ(small.siAccess, 300u);

  const auto big = Decode(RecordBuilder(42).fileName(5, u"b", 1, 10).nonResidentData(RunList({{100, 8}, {300, 4}}), 50000, 0x8000).build(), 42);
  EXPECT_EQ(big.size, 50000u);
  EXPECT_TRUE(big.nonResidentData);
  EXPECT_TRUE(big.sparseData);
  ASSERT_EQ(big.runs.size(), 3u);
  EXPECT_EQ(big.runs[1].firstCluster, 300u);
  // The file name's real size wins when it is the larger one.
  EXPECT_EQ(Decode(RecordBuilder(43).fileName(5, u"c", 1, 9000).residentData({1}).build(), 43).size, 9000u);
}

TEST(Record, NumbersFromHeaderOrSlot) {
  std::vector<uint8_t> r = RecordBuilder(50).fileName(5, u"x", 1).build();
  ASSERT_EQ(disk::CheckUpdateSequence(r), 1);
  DecodedRecord out;
  EXPECT_FALSE(DecodeRecord(r, 51, DecodeMode::kFull, out, {}));  // not the record asked for
  std::vector<uint8_t> old = RecordBuilder(0, 1, 1024, 0x2A).fileName(5, u"old", 1).build();
  ASSERT_EQ(disk::CheckUpdateSequence(old), 1);
  DecodedRecord fromSlot;
  EXPECT_TRUE(DecodeRecord(old, 1234, DecodeMode::kFull, fromSlot, {}));
  EXPECT_EQ(fromSlot.number, 1234u);
}

TEST(Record, BrokenAttributesEndTheWalkEarly) {
  std::vector<uint8_t> r = RecordBuilder(60).fileName(5, u"kept", 1).residentData({1, 2, 3}).build();
  // Make the data attribute's length run past the record.
  const size_t dataAttr = 0x48 + ((0x18 + 0x42 + 8 + 7) & ~size_t{7});
  ASSERT_EQ(r[dataAttr], 0x80);
  r[dataAttr + 4] = 0xF0;
  r[dataAttr + 5] = 0x0F;
  ASSERT_EQ(disk::CheckUpdateSequence(r), 1);
  DecodedRecord out;
  EXPECT_TRUE(DecodeRecord(r, 60, DecodeMode::kFull, out, {}));
  EXPECT_EQ(out.name, "kept");
  EXPECT_FALSE(out.hasResidentData);
  // A run list offset past the attribute is skipped.
  std::vector<uint8_t> bad = RecordBuilder(61).fileName(5, u"y", 1).nonResidentData(RunList({{10, 1}}), 512).build();
  const size_t nonRes = 0x48 + ((0x18 + 0x42 + 2 + 7) & ~size_t{7});
  ASSERT_EQ(bad[nonRes], 0x80);
  bad[nonRes + 0x20] = 0xFF;
  bad[nonRes + 0x21] = 0x7F;
  ASSERT_EQ(disk::CheckUpdateSequence(bad), 1);
  DecodedRecord out2;
  EXPECT_TRUE(DecodeRecord(bad, 61, DecodeMode::kFull, out2, {}));
  EXPECT_TRUE(out2.runs.empty());
}

TEST(Record, AttributeListMergesExtensionRecords) {
  const auto extension = RecordBuilder(71).baseReference(70).nonResidentData(RunList({{500, 20}}), 10240).build();
  const auto base = RecordBuilder(70).fileName(5, u"split.bin", 1).attributeList({{0x30, 70}, {0x80, 71}, {0x80, 70}}).build();
  std::vector<uint8_t> r = base;
  ASSERT_EQ(disk::CheckUpdateSequence(r), 1);
  int fetched = 0;
  RecordFetcher fetch = [&](uint64_t n, std::vector<uint8_t>& out) {
    ++fetched;
    if (n != 71) return false;
    out = extension;
    return disk::CheckUpdateSequence(out) == 1;
  };
  DecodedRecord out;
  ASSERT_TRUE(DecodeRecord(r, 70, DecodeMode::kFull, out, fetch));
  EXPECT_EQ(fetched, 1);  // itself is never fetched
  EXPECT_EQ(out.number, 70u);
  EXPECT_EQ(out.kind, node_kind::kFile);
  EXPECT_EQ(out.size, 10240u);
  ASSERT_FALSE(out.runs.empty());
  EXPECT_EQ(out.runs[0].firstCluster, 500u);
}

// A list too long for its record lives in clusters; what its extension records
// hold (here resident data) is found through it, and whatever keeps the data
// from being found whole is noted.
TEST(Record, NonResidentAttributeListIsReadThroughItsRuns) {
  std::vector<uint8_t> list;
  for (const auto& [type, record] : std::vector<std::pair<uint32_t, uint64_t>>{{0x30, 80}, {0x80, 81}}) {
    std::vector<uint8_t> e(0x20);
    test::Put32(e, 0, type);
    test::Put16(e, 4, 0x20);
    test::Put64(e, 0x10, record);
    list.insert(list.end(), e.begin(), e.end());
  }
  std::vector<uint8_t> attr(0x48);
  test::Put32(attr, 4, static_cast<uint32_t>(attr.size()));
  attr[8] = 1;  // non-resident
  test::Put16(attr, 0x20, 0x40);
  test::Put64(attr, 0x28, 4096);
  test::Put64(attr, 0x30, list.size());
  test::Put64(attr, 0x38, list.size());
  const auto runs = RunList({{900, 1}});
  std::copy(runs.begin(), runs.end(), attr.begin() + 0x40);
  auto base = RecordBuilder(80).fileName(5, u"11.txt", 1).raw(0x20, attr).build();
  ASSERT_EQ(disk::CheckUpdateSequence(base), 1);

  struct Case {
    uint64_t extensionBase;  // the base record the extension names
    bool listReadable;
    bool whole;
  };
  for (const Case& c : {Case{80, true, true}, Case{80, false, false}, Case{99, true, false}}) {
    const auto extension = RecordBuilder(81).baseReference(c.extensionBase).residentData({'1', '2', '3', '\n'}).build();
    RecordFetcher fetch = [&](uint64_t n, std::vector<uint8_t>& out) {
      if (n != 81) return false;
      out = extension;
      return disk::CheckUpdateSequence(out) == 1;
    };
    StreamReader readStream = [&](const std::vector<NtfsRun>& r, uint64_t size, std::vector<uint8_t>& out) {
      EXPECT_EQ(r.front().firstCluster, 900u);
      out = list;
      out.resize(size);
      return c.listReadable;
    };
    DecodedRecord out;
    ASSERT_TRUE(DecodeRecord(base, 80, DecodeMode::kFull, out, fetch, readStream));
    EXPECT_EQ(out.dataIncomplete, !c.whole) << c.extensionBase;
    EXPECT_EQ(out.residentData, c.extensionBase == 80 ? std::vector<uint8_t>({'1', '2', '3', '\n'})
                                                      : std::vector<uint8_t>{});
    EXPECT_EQ(out.name, "11.txt");
  }
}

// Scans a crafted volume; every record gets a standard information attribute.
struct Walked {
  disk::PartitionInfo part;
  bool ok = false;
  const NtfsScanState& state() const { return *FindNtfsState(part); }
};

Walked Walk(NtfsVolumeBuilder& v) {
  Walked w;
  disk::DiskInfo disk;
  w.part.typeByte = 0x07;
  w.part.sectorCount = v.bytes().size() / 512;
  platform::MemorySource src(v.bytes());
  platform::ProgressBlock progress;
  w.ok = ScanNtfsVolume(&src, disk, w.part, progress);
  return w;
}

using test::Flatten;
using test::Tree;

TEST(NtfsWalk, SystemRecordsSkippedAndParentsFoundOutOfOrder) {
  NtfsVolumeBuilder v(64);
  v.put(5, RecordBuilder(5, 3).fileName(5, u".", 3).build());
  v.put(6, RecordBuilder(6, 1).fileName(5, u"$Bitmap", 3).build());
  v.put(11, RecordBuilder(11, 3).fileName(5, u"$Extend", 3).build());
  v.put(20, RecordBuilder(20, 1).fileName(30, u"inside.txt", 1).residentData({'h', 'i'}).build());  // before its folder
  v.put(30, RecordBuilder(30, 3).fileName(5, u"Folder", 1).build());
  v.put(31, RecordBuilder(31, 0).fileName(30, u"gone.txt", 1).residentData({1}).build());
  v.put(32, RecordBuilder(32, 2).fileName(5, u"Old Folder", 1).build());
  v.put(33, RecordBuilder(33, 1).fileName(0, u"no parent", 1).build());
  const Walked w = Walk(v);
  ASSERT_TRUE(w.ok);
  EXPECT_EQ(Tree(w.state().root), (std::vector<std::string>{"/Old Folder 1 32", "/Folder 3 30", "/Folder/inside.txt 4 20",
                                                            "/Folder/gone.txt 2 31"}));
  EXPECT_TRUE(w.state().orphans.children.empty());
  EXPECT_EQ(w.state().numberIndex.count(30), 1u);
  EXPECT_EQ(w.state().numberIndex.at(5), &w.state().root);
  EXPECT_EQ(w.part.sectorsPerCluster, 1u);
}

TEST(NtfsWalk, MissingParentsGetPlaceholders) {
  NtfsVolumeBuilder v(64);
  v.put(20, RecordBuilder(20, 1).fileName(77, u"first.txt", 1).build());
  v.put(21, RecordBuilder(21, 0).fileName(77, u"second.txt", 1).build());
  v.put(22, RecordBuilder(22, 1).fileName(23, u"under a file.txt", 1).build());
  v.put(23, RecordBuilder(23, 1).fileName(5, u"plain.txt", 1).build());
  // A parent chain that loops: 40 says 41 is its parent and 41 says 40.
  v.put(40, RecordBuilder(40, 3).fileName(41, u"loop a", 1).build());
  v.put(41, RecordBuilder(41, 3).fileName(40, u"loop b", 1).build());
  v.put(42, RecordBuilder(42, 1).fileName(40, u"in the loop.txt", 1).build());
  const Walked w = Walk(v);
  ASSERT_TRUE(w.ok);
  const auto orphans = Tree(w.state().orphans);
  // Both children of the missing folder 77 side by side in one placeholder.
  ASSERT_FALSE(w.state().orphans.children.empty());
  const NtfsNode& holder = w.state().orphans.children.front();
  EXPECT_EQ(holder.name, "$$$Folder77");
  EXPECT_EQ(KindOf(holder.flags), node_kind::kDeletedFolder);
  EXPECT_EQ(holder.recordNumber, 77u);
  EXPECT_EQ(holder.parentNumber, 2u);
  ASSERT_EQ(holder.children.size(), 2u);
  EXPECT_EQ(holder.children.front().name, "first.txt");
  EXPECT_EQ(holder.children.back().name, "second.txt");
  EXPECT_EQ(w.state().secondaryIndex.count(77), 1u);
  // A parent number that belongs to a file: the child goes into that number's placeholder.
  EXPECT_NE(std::find(orphans.begin(), orphans.end(), "/$$$Folder23/under a file.txt 4 22"), orphans.end());
  // The loop ends in placeholders; every record is somewhere.
  size_t listed = orphans.size() + Tree(w.state().root).size();
  EXPECT_GE(listed, 7u);
  EXPECT_NE(std::find_if(orphans.begin(), orphans.end(),
                         [](const std::string& s) { return s.find("in the loop.txt") != std::string::npos; }),
            orphans.end());
}

TEST(NtfsWalk, SingleRunMftIsProbedPastItsEnd) {
  NtfsVolumeBuilder v(64);
  v.mftRuns({{NtfsVolumeBuilder::kMftCluster, 2 * 24}});  // record 0 claims 24 records
  v.put(5, RecordBuilder(5, 3).fileName(5, u".", 3).build());
  v.put(20, RecordBuilder(20, 1).fileName(5, u"inside.txt", 1).build());
  v.put(24, RecordBuilder(24, 1).fileName(5, u"next.txt", 1).build());
  v.put(25, RecordBuilder(25, 1).fileName(5, u"after.txt", 1).build());
  const Walked w = Walk(v);
  ASSERT_TRUE(w.ok);
  EXPECT_EQ(Tree(w.state().root), (std::vector<std::string>{"/inside.txt 4 20", "/next.txt 4 24", "/after.txt 4 25"}));
  ASSERT_EQ(w.state().mftRuns.size(), 2u);
  EXPECT_EQ(w.state().mftRuns[1].firstCluster, NtfsVolumeBuilder::kMftCluster + 48);
  EXPECT_EQ(w.state().mftRuns[1].length, 4u);  // two more records of two clusters each
}

TEST(NtfsWalk, BackupBootSectorAndLargeRecords) {
  NtfsVolumeBuilder v(32, 4096, 4096);
  v.put(20, RecordBuilder(20, 1, 4096).fileName(5, u"big record.txt", 1).build());
  std::fill(v.bytes().begin(), v.bytes().begin() + 512, 0);  // the boot sector is gone; its backup is not
  const Walked w = Walk(v);
  ASSERT_TRUE(w.ok);
  EXPECT_EQ(w.state().recordBytes, 4096u);
  EXPECT_EQ(Tree(w.state().root), (std::vector<std::string>{"/big record.txt 4 20"}));

  NtfsVolumeBuilder none(32);
  std::fill(none.bytes().begin(), none.bytes().end(), 0);
  EXPECT_FALSE(Walk(none).ok);
}

TEST(NtfsWalk, CopiesOfTheStateAreDeep) {
  NtfsVolumeBuilder v(64);
  v.put(30, RecordBuilder(30, 3).fileName(5, u"Folder", 1).build());
  v.put(31, RecordBuilder(31, 1).fileName(30, u"file.txt", 1).build());
  Walked w = Walk(v);
  disk::PartitionInfo copy = w.part;
  const NtfsScanState* c = FindNtfsState(copy);
  ASSERT_NE(c, &w.state());
  const NtfsNode& folder = c->root.children.front();
  EXPECT_EQ(c->numberIndex.at(30), &folder);
  EXPECT_EQ(c->numberIndex.at(31), &folder.children.front());
  EXPECT_EQ(c->numberIndex.at(5), &c->root);
  ASSERT_EQ(c->nameIndex.find("file.txt").size(), 1u);
  EXPECT_EQ(c->nameIndex.find("file.txt").front(), &folder.children.front());
}

TEST(FileTime, LocalCalendarText) {
  const char* old = std::getenv("TZ");
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(FileTimeText(0), "");
  EXPECT_EQ(FileTimeText(116444736000000000ull), "1970-01-01 00:00:00");
  EXPECT_EQ(FileTimeText(133540776000000000ull), "2024-03-05 02:00:00");
  setenv("TZ", "CST-8", 1);  // China Standard Time, as a rule rather than a zone file
  tzset();
  EXPECT_EQ(FileTimeText(133540776000000000ull), "2024-03-05 10:00:00");
  if (old) {
    setenv("TZ", old, 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

}  // namespace
}  // namespace orvaldi::fs
