// OpenVolumeSource over every kind of partition, on member files laid out here.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "disk/sector_io.h"
#include "disk/volume_readers.h"
#include "disk/volume_source.h"
#include "platform/sector_source.h"
#include "support/test_images.h"

namespace orvaldi::disk {
namespace {

constexpr uint64_t kS = SectorSize;

// Sector n of the volume holds the byte n + 1 throughout, so that a read
// from the wrong member or row shows as the wrong byte.
uint8_t Mark(uint64_t volumeSector) { return static_cast<uint8_t>(volumeSector + 1); }

struct Member {
  std::string file;  // "" for a missing disk; "absent.img" names a file never written
  uint64_t start = 0;
  uint64_t sectors = 0;
  // Volume sectors in the extent's order (0xFFFF: parity of the row below).
  std::vector<int> holds;
};

struct Case {
  const char* what;
  VolumeKind kind;
  uint64_t volumeSectors;
  std::vector<Member> members;
  const char* openError;  // part of the open's message, or null when it opens
};

TEST(OpenVolumeSource, EveryKindReadsVolumeSectorsFromTheRightMemberAndRow) {
  constexpr int P = 0xFFFF;  // RAID-5 parity: the XOR of the row's two data sectors
  // Stripes of one sector. Striped: sector q on member q mod 2, row q / 2.
  // RAID-5 over three: row r's parity on member 2 - r mod 3, data after it.
  const std::vector<Case> cases = {
      {"striped", VolumeKind::kStriped, 6, {{"a", 2, 3, {0, 2, 4}}, {"b", 5, 3, {1, 3, 5}}}, nullptr},
      {"spanned", VolumeKind::kSpanned, 5, {{"a", 1, 2, {0, 1}}, {"b", 3, 3, {2, 3, 4}}}, nullptr},
      {"spanned over one disk (LVM2)", VolumeKind::kSpanned, 4, {{"a", 7, 2, {0, 1}}, {"a", 2, 2, {2, 3}}}, nullptr},
      {"RAID-5, all present",
       VolumeKind::kRaid5,
       6,
       {{"a", 0, 3, {0, 3, P}}, {"b", 0, 3, {1, P, 4}}, {"c", 0, 3, {P, 2, 5}}},
       nullptr},
      {"RAID-5, a member missing",
       VolumeKind::kRaid5,
       6,
       {{"a", 0, 3, {0, 3, P}}, {"", 0, 3, {1, P, 4}}, {"c", 0, 3, {P, 2, 5}}},
       nullptr},
      {"mirrored, first copy missing", VolumeKind::kMirrored, 3, {{"", 0, 3, {}}, {"b", 4, 3, {0, 1, 2}}}, nullptr},
      {"mirrored, both present", VolumeKind::kMirrored, 3, {{"a", 1, 3, {0, 1, 2}}, {"b", 4, 3, {0, 1, 2}}}, nullptr},
      {"a member that cannot be opened",
       VolumeKind::kStriped,
       2,
       {{"a", 0, 1, {0}}, {"absent.img", 0, 1, {1}}},
       "member disk "},
      // Redundant volumes do without a disk that will not open, as without a missing one.
      {"RAID-5, a member that cannot be opened",
       VolumeKind::kRaid5,
       6,
       {{"a", 0, 3, {0, 3, P}}, {"absent.img", 0, 3, {1, P, 4}}, {"c", 0, 3, {P, 2, 5}}},
       nullptr},
      {"mirrored, first copy cannot be opened",
       VolumeKind::kMirrored,
       3,
       {{"absent.img", 0, 3, {}}, {"b", 4, 3, {0, 1, 2}}},
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempDir dir;
    PartitionInfo p;
    p.name = "Volume1";
    p.volumeKind = c.kind;
    p.stripeSectors = 1;
    p.sectorCount = c.volumeSectors;
    std::vector<std::vector<uint8_t>> files(3, std::vector<uint8_t>(16 * kS, 0xEE));
    for (const Member& m : c.members) {
      VolumeMember v;
      v.startSector = m.start;
      v.sectorCount = m.sectors;
      p.members.push_back(v);
      if (m.file.empty()) continue;
      p.members.back().devicePath = (dir.path() / m.file).string();
      if (m.file == "absent.img") continue;  // named, never written
      auto& bytes = files[static_cast<size_t>(m.file[0] - 'a')];
      for (size_t i = 0; i < m.holds.size(); ++i) {
        const uint64_t row = i;
        uint8_t value = 0;
        if (m.holds[i] == P) {
          for (const Member& other : c.members)
            if (other.holds[i] != P) value ^= Mark(static_cast<uint64_t>(other.holds[i]));
        } else {
          value = Mark(static_cast<uint64_t>(m.holds[i]));
        }
        std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>((m.start + row) * kS), kS, value);
      }
    }
    for (const char* name : {"a", "b", "c"}) dir.write(name, files[static_cast<size_t>(name[0] - 'a')]);

    DiskInfo group;
    group.diskKind = DiskKind::kDynamicGroup;
    group.devicePath = "Group-Dg0";
    const OpenedVolume opened = OpenVolumeSource(group, p);
    if (c.openError) {
      EXPECT_FALSE(opened.source);
      EXPECT_EQ(opened.outcome.status, platform::Status::kFailed);
      EXPECT_NE(opened.outcome.message.find(c.openError + std::string(dir.path() / "absent.img")), std::string::npos)
          << opened.outcome.message;
      continue;
    }
    ASSERT_TRUE(opened.source) << opened.outcome.message;
    const bool leftOut =
        std::any_of(c.members.begin(), c.members.end(), [](const Member& m) { return m.file == "absent.img"; });
    EXPECT_EQ(opened.outcome.status, leftOut ? platform::Status::kPartial : platform::Status::kOk)
        << opened.outcome.message;
    EXPECT_EQ(opened.source->size(), c.volumeSectors * kS);
    std::vector<uint8_t> all(c.volumeSectors * kS);
    ASSERT_TRUE(ReadVolumeSectors(*opened.source, 0, c.volumeSectors, all.data()));
    for (uint64_t s = 0; s < c.volumeSectors; ++s) EXPECT_EQ(all[s * kS + 7], Mark(s)) << "volume sector " << s;
    // Straddling a stripe or member boundary, then past the volume's end:
    // what lies inside arrives, the rest is zero and the read fails.
    std::vector<uint8_t> two(2 * kS);
    uint32_t got = 0;
    EXPECT_TRUE(ReadVolumeBytes(*opened.source, two.data(), 2 * kS, got, kS / 2));
    EXPECT_EQ(two[0], Mark(0));
    EXPECT_EQ(two[kS], Mark(1));
    EXPECT_FALSE(ReadVolumeBytes(*opened.source, two.data(), 2 * kS, got, (c.volumeSectors - 1) * kS));
    EXPECT_EQ(got, kS);
    EXPECT_EQ(two[kS - 1], Mark(c.volumeSectors - 1));
    EXPECT_EQ(two[kS], 0);
  }
}

TEST(OpenVolumeSource, PlainPartitionsReadTheDiskAndMissingMembersSayWhy) {
  test::TempDir dir;
  std::vector<uint8_t> image(8 * kS);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i / kS + 1);
  DiskInfo disk;
  disk.devicePath = dir.write("disk.img", image).string();
  PartitionInfo found;  // found by a scan: plain, positions absolute on the disk
  found.origin = PartitionOrigin::kFound;
  found.startSector = 3;
  found.sectorCount = 2;
  const OpenedVolume plain = OpenVolumeSource(disk, found);
  ASSERT_TRUE(plain.source) << plain.outcome.message;
  std::vector<uint8_t> sector(kS);
  ASSERT_TRUE(ReadVolumeSectors(*plain.source, found.startSector, 1, sector.data()));
  EXPECT_EQ(sector[0], 4);

  disk.devicePath = (dir.path() / "gone.img").string();
  const OpenedVolume gone = OpenVolumeSource(disk, found);
  EXPECT_FALSE(gone.source);
  EXPECT_NE(gone.outcome.message.find("gone.img"), std::string::npos) << gone.outcome.message;

  // A spanned volume whose second disk is missing: the first member reads,
  // the second fails with the reason kept on the source.
  PartitionInfo spanned;
  spanned.volumeKind = VolumeKind::kSpanned;
  spanned.sectorCount = 4;
  spanned.members = {{{}, dir.write("m.img", image).string(), 0, 2}, {{}, "", 0, 2}};
  const OpenedVolume half = OpenVolumeSource(disk, spanned);
  ASSERT_TRUE(half.source);
  EXPECT_TRUE(ReadVolumeSectors(*half.source, 1, 1, sector.data()));
  EXPECT_EQ(VolumeReadFailure(*half.source), "");
  EXPECT_FALSE(ReadVolumeSectors(*half.source, 2, 1, sector.data()));
  EXPECT_EQ(VolumeReadFailure(*half.source), "a member disk of the volume is missing");

  spanned.volumeKind = static_cast<VolumeKind>(9);  // from a damaged or newer record
  EXPECT_FALSE(OpenVolumeSource(disk, spanned).source);
}

// A member extent whose end lies past 2^64 bytes (from a damaged database or
// scan result) fails its reads: its position must not wrap round to the
// member disk's first sectors and hand them over as the volume's.
TEST(AssembledVolume, ExtentsBeyondAnyDiskFailInsteadOfWrapping) {
  auto disk = std::make_shared<platform::MemorySource>(std::vector<uint8_t>(4 * kS, 0xAB));
  struct Extent {
    uint64_t start;
    const char* why;
  };
  for (const Extent& c : {Extent{UINT64_MAX / kS, "ends 512 bytes past 2^64"},
                          Extent{UINT64_MAX / kS - 1, "ends at 2^64"}, Extent{UINT64_MAX, "start saturates"}}) {
    PartitionInfo spanned;
    spanned.volumeKind = VolumeKind::kSpanned;
    spanned.sectorCount = 2;
    spanned.members = {{{}, "m.img", c.start, 2}};
    SpannedVolume volume(spanned, {disk});
    std::vector<uint8_t> sector(kS, 0xCC);
    const platform::ReadOutcome got = volume.readAt(kS, sector);
    EXPECT_NE(got.error, 0) << c.why;
    EXPECT_EQ(got.bytes, 0u) << c.why;
    EXPECT_TRUE(std::all_of(sector.begin(), sector.end(), [](uint8_t b) { return b == 0; })) << c.why;
    EXPECT_NE(volume.lastFailure().find("beyond any disk"), std::string::npos) << c.why << ": " << volume.lastFailure();
  }
}

}  // namespace
}  // namespace orvaldi::disk
