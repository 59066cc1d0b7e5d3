// NTFS record decoding, run lists, the MFT walk and the placement of orphans, on crafted records.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>

#include "disk/recognisers.h"
#include "fs/ntfs_record.h"
#include "support/ntfs_builder.h"
#include "support/test_images.h"
#include "support/tree_listing.h"

namespace orvaldi::fs {
namespace {

using test::NtfsVolumeBuilder;
using test::RecordBuilder;
using test::RunList;
using test::Tree;
using Strings = std::vector<std::string>;

TEST(RunList, DecodesOrStopsWithinItsBytes) {
  struct Case {
    std::vector<uint8_t> bytes;
    bool ok;
    std::vector<std::tuple<uint64_t, uint64_t, bool>> runs;  // first cluster, length, sparse; the end entry last
  };
  const Case cases[] = {
      // 1-byte length 0x18 at 0x5634; back by 0x10; a sparse run; the end.
      {{0x21, 0x18, 0x34, 0x56, 0x11, 0x08, 0xF0, 0x01, 0x04, 0x00},
       true,
       {{0x5634, 0x18, false}, {0x5624, 8, false}, {0, 4, true}, {0, 0, false}}},
      {RunList({{0x123456789Aull, 5}}), true, {{0x123456789Aull, 5, false}, {0, 0, false}}},  // past 2^31 clusters
      {{0x21, 0x18}, false, {{0, 0, false}}},                                                 // cut short
      {{0x11, 0x01, 0x05, 0x11, 0x01, 0x80, 0x00}, false, {{5, 1, false}, {0, 0, false}}},    // below cluster 0
      {{0x09, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00}, false, {{0, 0, false}}},                      // a 9-byte length
      // Two 8-byte offsets whose sum leaves the 64-bit range.
      {{0x81, 1,    0xE2, 0xE2, 0xE2, 0xE2, 0xE2, 0xE2, 0xE2, 0x7D, 0x81,
        1,    0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x00},
       false,
       {{0x7DE2E2E2E2E2E2E2ull, 1, false}, {0, 0, false}}},
      {{0x11, 0x02, 0x03}, false, {{3, 2, false}, {0, 0, false}}},  // no end byte
  };
  for (const Case& c : cases) {
    std::vector<NtfsRun> runs;
    EXPECT_EQ(DecodeRunList(c.bytes, runs), c.ok);
    ASSERT_EQ(runs.size(), c.runs.size());
    for (size_t i = 0; i < runs.size(); ++i) {
      EXPECT_EQ(std::tie(runs[i].firstCluster, runs[i].length, runs[i].sparse), c.runs[i]) << i;
      if (c.ok) {
        EXPECT_EQ(runs[i].index, i);
      }
    }
  }
}

std::vector<uint8_t> Checked(std::vector<uint8_t> record) {
  EXPECT_EQ(disk::CheckUpdateSequence(record), 1);
  return record;
}

// Sets the 16-bit field at `field` of the attribute of `type` that comes after the file name.
std::vector<uint8_t> Patched(std::vector<uint8_t> r, size_t nameUnits, size_t field, uint16_t value) {
  const size_t at = 0x48 + ((0x18 + 0x42 + 2 * nameUnits + 7) & ~size_t{7});
  EXPECT_EQ(r[at], 0x80);
  test::Put16(r, at + field, value);
  return r;
}

// Win32 names after DOS ones, the root, resident and sparse data, named
// streams, times and kinds are checked against fls, the fixture's manifest
// and the recovered files (fs_images_test, save_engine_test); these are the
// records no image holds.
TEST(Record, DecodesNamesSizesAndDamage) {
  struct Case {
    const char* what;
    std::vector<uint8_t> record;
    uint64_t asked;
    std::string name;  // "" when the record is not the one asked for
    uint64_t size = 0;
    std::function<void(const DecodedRecord&)> more = {};
  };
  const Case cases[] = {
      {"DOS name alone", RecordBuilder(40).fileName(5, u"DOSONLY.TXT", 2).build(), 40, "DOSONLY.TXT"},
      // Windows writes the short name first (the images have it so); the other order too.
      {"short after long", RecordBuilder(40).fileName(5, u"long name.txt").fileName(5, u"LONGNA~1.TXT", 2).build(), 40,
       "long name.txt"},
      {"POSIX gives way", RecordBuilder(40).fileName(5, u"posix", 0).fileName(7, u"照片", 3).build(), 40, "照片", 0,
       [](const DecodedRecord& r) { EXPECT_EQ(r.parentNumber(), 7u); }},
      {"the name's larger real size", RecordBuilder(43).fileName(5, u"c", 1, 9000).residentData({1}).build(), 43, "c",
       9000},
      {"not the record asked for", RecordBuilder(50).fileName(5, u"x").build(), 51, ""},
      {"number from the slot (old header)", RecordBuilder(0, 1, 1024, 0x2A).fileName(5, u"old").build(), 1234, "old", 0,
       [](const DecodedRecord& r) { EXPECT_EQ(r.number, 1234u); }},
      {"data attribute longer than the record",
       Patched(RecordBuilder(60).fileName(5, u"kept").residentData({1, 2, 3}).build(), 4, 4, 0x0FF0), 60, "kept", 0,
       [](const DecodedRecord& r) { EXPECT_TRUE(!r.hasResidentData && r.attributesEndedEarly); }},
      {"run list offset past its attribute",
       Patched(RecordBuilder(61).fileName(5, u"y").nonResident(0x80, RunList({{10, 1}}), 512).build(), 1, 0x20, 0x7FFF),
       61, "y", 0, [](const DecodedRecord& r) { EXPECT_TRUE(r.runs.empty()); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto r = Checked(c.record);
    DecodedRecord out;
    ASSERT_EQ(DecodeRecord(r, c.asked, DecodeMode::kFull, out, {}), !c.name.empty());
    if (c.name.empty()) continue;
    EXPECT_EQ(out.name, c.name);
    EXPECT_EQ(out.size, c.size);
    if (c.more) c.more(out);
    // A listing takes the same name and size, without copies of the data.
    DecodedRecord listed;
    ASSERT_TRUE(DecodeRecord(r, c.asked, DecodeMode::kListing, listed, {}));
    EXPECT_EQ(std::tie(listed.name, listed.size), std::tie(out.name, out.size));
    EXPECT_TRUE(listed.residentData.empty() && listed.dataExtents.empty());
  }
}

// A fetcher over a few records by number, counting its calls.
RecordFetcher FetchFrom(std::map<uint64_t, std::vector<uint8_t>> records, int* calls = nullptr) {
  return [records = std::move(records), calls](uint64_t n, std::vector<uint8_t>& out) {
    if (calls) ++*calls;
    auto it = records.find(n);
    if (it == records.end()) return false;
    out = it->second;
    return disk::CheckUpdateSequence(out) == 1;
  };
}

TEST(Record, AttributeListMergesExtensionRecords) {
  const auto extension = RecordBuilder(71).baseReference(70).nonResident(0x80, RunList({{500, 20}}), 10240).build();
  const auto base =
      Checked(RecordBuilder(70).fileName(5, u"split.bin").attributeList({{0x30, 70}, {0x80, 71}, {0x80, 70}}).build());
  int fetched = 0;
  DecodedRecord out;
  ASSERT_TRUE(DecodeRecord(base, 70, DecodeMode::kFull, out, FetchFrom({{71, extension}}, &fetched)));
  EXPECT_EQ(fetched, 1);  // itself is never fetched
  EXPECT_EQ(std::tie(out.number, out.kind, out.size), std::make_tuple(70u, node_kind::kFile, 10240u));
  ASSERT_FALSE(out.runs.empty());
  EXPECT_EQ(out.runs[0].firstCluster, 500u);
  DecodedRecord found;  // the sector searches do not follow the list
  ASSERT_TRUE(DecodeRecord(base, 70, DecodeMode::kFound, found, FetchFrom({{71, extension}}, &fetched)));
  EXPECT_EQ(fetched, 1);
  EXPECT_TRUE(found.runs.empty());

  // A list too long for its record lives in clusters; what its extension
  // records hold is found through it, and whatever keeps the data from being
  // found whole is noted: an unreadable list, or an extension of another base.
  const auto list = test::AttributeListBytes({{0x30, 80}, {0x80, 81}});
  const auto inClusters =
      Checked(RecordBuilder(80).fileName(5, u"11.txt").nonResident(0x20, RunList({{900, 1}}), list.size()).build());
  for (const auto& [extensionBase, listReadable] : {std::pair{80, true}, {80, false}, {99, true}}) {
    const auto ext = RecordBuilder(81).baseReference(extensionBase).residentData({'1', '2', '3', '\n'}).build();
    StreamReader readStream = [&](const std::vector<NtfsRun>& r, uint64_t size, std::vector<uint8_t>& bytes) {
      EXPECT_EQ(r.front().firstCluster, 900u);
      bytes = list;
      bytes.resize(size);
      return listReadable;
    };
    DecodedRecord whole;
    ASSERT_TRUE(DecodeRecord(inClusters, 80, DecodeMode::kFull, whole, FetchFrom({{81, ext}}), readStream));
    EXPECT_EQ(whole.dataIncomplete, extensionBase != 80 || !listReadable) << extensionBase;
    const std::vector<uint8_t> data = {'1', '2', '3', '\n'};
    EXPECT_EQ(whole.residentData, extensionBase == 80 ? data : std::vector<uint8_t>());
    EXPECT_EQ(whole.name, "11.txt");
  }
}

using test::ScannedNtfs;

TEST(NtfsWalk, PlacesRecordsUnderTheirParentsOrPlaceholders) {
  NtfsVolumeBuilder v(64);
  v.put(5, RecordBuilder(5, 3).fileName(5, u".", 3).build());
  v.put(6, RecordBuilder(6, 1).fileName(5, u"$Bitmap", 3).build());  // system records are skipped
  v.put(11, RecordBuilder(11, 3).fileName(5, u"$Extend", 3).build());
  v.put(20, RecordBuilder(20, 1).fileName(30, u"inside.txt").residentData({'h', 'i'}).build());  // before its folder
  v.put(30, RecordBuilder(30, 3).fileName(5, u"Folder").build());
  v.put(31, RecordBuilder(31, 0).fileName(30, u"gone.txt").residentData({1}).build());
  v.put(32, RecordBuilder(32, 2).fileName(5, u"Old Folder").build());
  v.put(33, RecordBuilder(33, 1).fileName(0, u"no parent").build());
  v.put(34, RecordBuilder(34, 1).fileName(77, u"first.txt").build());  // 77 is missing
  v.put(35, RecordBuilder(35, 0).fileName(77, u"second.txt").build());
  v.put(36, RecordBuilder(36, 1).fileName(20, u"under a file.txt").build());
  // A parent chain that loops: 40 says 41 is its parent and 41 says 40.
  v.put(40, RecordBuilder(40, 3).fileName(41, u"loop a").build());
  v.put(41, RecordBuilder(41, 3).fileName(40, u"loop b").build());
  v.put(42, RecordBuilder(42, 1).fileName(40, u"in the loop.txt").build());
  const ScannedNtfs w(v.bytes());
  ASSERT_TRUE(w.ok);
  const NtfsScanState& s = w.state();
  EXPECT_EQ(Tree(s.root),
            (Strings{"/Old Folder 1 32", "/Folder 3 30", "/Folder/inside.txt 4 20", "/Folder/gone.txt 2 31"}));
  EXPECT_EQ(s.numberIndex.at(5), &s.root);
  // Children of a missing folder side by side in one placeholder; a parent
  // number that belongs to a file gets a placeholder too; a loop ends in one.
  EXPECT_EQ(
      Tree(s.orphans),
      (Strings{"/$$$Folder77 1 77", "/$$$Folder77/first.txt 4 34", "/$$$Folder77/second.txt 2 35", "/$$$Folder20 1 20",
               "/$$$Folder20/under a file.txt 4 36", "/$$$Folder41 1 41", "/$$$Folder41/loop a 3 40",
               "/$$$Folder41/loop a/loop b 3 41", "/$$$Folder41/loop a/loop b/loop a 3 40",
               "/$$$Folder41/loop a/loop b/loop a/in the loop.txt 4 42"}));
  EXPECT_EQ(s.orphans.children.front().parentNumber, 2u);
  EXPECT_EQ(s.secondaryIndex.count(77), 1u);
  EXPECT_EQ(w.part.sectorsPerCluster, 1u);
  // Copies of the state are deep: their indexes point into the copy.
  disk::PartitionInfo copy = w.part;
  const NtfsScanState* c = FindNtfsState(copy);
  ASSERT_NE(c, &s);
  const NtfsNode& folder = *std::next(c->root.children.begin());
  EXPECT_EQ(c->numberIndex.at(30), &folder);
  EXPECT_EQ(c->numberIndex.at(20), &folder.children.front());
  EXPECT_EQ(c->numberIndex.at(5), &c->root);
  ASSERT_EQ(c->nameIndex.find("inside.txt").size(), 1u);
  EXPECT_EQ(c->nameIndex.find("inside.txt").front(), &folder.children.front());
}

TEST(NtfsWalk, FindsTheTableThroughBackupBootSectorOrProbing) {
  NtfsVolumeBuilder v(64);
  v.mftRuns({{NtfsVolumeBuilder::kMftCluster, 2 * 24}});  // record 0 claims 24 records
  v.put(20, RecordBuilder(20, 1).fileName(5, u"inside.txt").build());
  v.put(24, RecordBuilder(24, 1).fileName(5, u"next.txt").build());
  v.put(25, RecordBuilder(25, 1).fileName(5, u"after.txt").build());
  const ScannedNtfs w(v.bytes());
  ASSERT_TRUE(w.ok);
  EXPECT_EQ(Tree(w.state().root), (Strings{"/inside.txt 4 20", "/next.txt 4 24", "/after.txt 4 25"}));
  ASSERT_EQ(w.state().mftRuns.size(), 2u);
  EXPECT_EQ(w.state().mftRuns[1].firstCluster, NtfsVolumeBuilder::kMftCluster + 48);
  EXPECT_EQ(w.state().mftRuns[1].length, 4u);  // two more records of two clusters each

  NtfsVolumeBuilder big(32, 4096, 4096);
  big.put(20, RecordBuilder(20, 1, 4096).fileName(5, u"big record.txt").build());
  std::fill(big.bytes().begin(), big.bytes().begin() + 512, 0);  // the boot sector is gone; its backup is not
  const ScannedNtfs b(big.bytes());
  ASSERT_TRUE(b.ok);
  EXPECT_EQ(b.state().recordBytes, 4096u);
  EXPECT_EQ(Tree(b.state().root), (Strings{"/big record.txt 4 20"}));
  std::fill(big.bytes().begin(), big.bytes().end(), 0);
  EXPECT_FALSE(ScannedNtfs(big.bytes()).ok);
}

TEST(FileTime, LocalCalendarText) {
  const char* old = std::getenv("TZ");
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(FileTimeText(0), "");
  EXPECT_EQ(FileTimeText(116444736000000000ull), "1970-01-01 00:00:00");
  setenv("TZ", "CST-8", 1);  // China Standard Time, as a rule rather than a zone file
  tzset();
  EXPECT_EQ(FileTimeText(133540776000000000ull), "2024-03-05 10:00:00");
  old ? setenv("TZ", old, 1) : unsetenv("TZ");
  tzset();
}

}  // namespace
}  // namespace orvaldi::fs
