// Dynamic disks: private-header checks, the volume mappings, and the real
// disk sets of the corpus read as `ldmtool show` reports them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <vector>

#include "disk/ldm.h"
#include "disk/sector_io.h"
#include "disk/volume_readers.h"
#include "disk/volume_source.h"
#include "fs/extract.h"
#include "ops/file_ops.h"
#include "ops/format.h"
#include "ops/open_partition.h"
#include "ops/source.h"
#include "platform/progress.h"
#include "support/test_images.h"

namespace orvaldi::disk {
namespace {

void PutBe(std::vector<uint8_t>& b, size_t off, uint64_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i, v >>= 8) b[off + static_cast<size_t>(i)] = static_cast<uint8_t>(v);
}

std::vector<uint8_t> PrivHeadSector(uint16_t major, uint16_t minor) {
  std::vector<uint8_t> s(512);
  test::PutText(s, 0, "PRIVHEAD");
  PutBe(s, 0x0C, major, 2);
  PutBe(s, 0x0E, minor, 2);
  test::PutText(s, 0x30, "d17c2c04-6afc-46c3-84b7-cdc2f3956c5c");
  test::PutText(s, 0xB0, "03c0c4fc-8b6f-402b-9431-4be2e5823b1c");
  test::PutText(s, 0xF0, "Group-Dg0");
  PutBe(s, 0x11B, 63, 8);
  PutBe(s, 0x123, 96327, 8);
  PutBe(s, 0x12B, 100352, 8);
  PutBe(s, 0x133, 2048, 8);
  return s;
}

TEST(LdmPrivHead, VersionLayoutAndGuids) {
  struct Case {
    const char* what;
    uint16_t major, minor;
    size_t patchAt;
    std::vector<uint8_t> patch;
    ldm::PrivHeadStatus want;
  };
  const Case cases[] = {
      {"2.11", 2, 11, 0, {}, ldm::PrivHeadStatus::kOk},
      {"2.12", 2, 12, 0, {}, ldm::PrivHeadStatus::kOk},
      {"2.13", 2, 13, 0, {}, ldm::PrivHeadStatus::kBadVersion},
      {"3.0", 3, 0, 0, {}, ldm::PrivHeadStatus::kBadVersion},
      {"dash moved", 2, 11, 0x30 + 8, {'0'}, ldm::PrivHeadStatus::kBadGuid},
      {"not hex", 2, 11, 0xB0 + 3, {'g'}, ldm::PrivHeadStatus::kBadGuid},
      {"size zero", 2, 11, 0x123, std::vector<uint8_t>(8), ldm::PrivHeadStatus::kBadLayout},
      {"data over the configuration", 2, 11, 0x12B, {0, 0, 0, 0, 0, 0, 0, 64}, ldm::PrivHeadStatus::kBadLayout},
      // A GPT disk keeps its configuration before its data.
      {"configuration first",
       2,
       12,
       0x11B,
       {0, 0, 0, 0, 0, 1, 0, 0x22, 0, 0, 0, 0, 0, 1, 0x78, 0x47, 0, 0, 0, 0, 0, 0, 0, 34},
       ldm::PrivHeadStatus::kOk},
  };
  for (const Case& c : cases) {
    auto s = PrivHeadSector(c.major, c.minor);
    std::copy(c.patch.begin(), c.patch.end(), s.begin() + static_cast<std::ptrdiff_t>(c.patchAt));
    const auto r = ldm::ParsePrivHead(s);
    EXPECT_EQ(r.status, c.want) << c.what;
  }
  EXPECT_EQ(ldm::ParsePrivHead(PrivHeadSector(2, 13)).message,
            "Expected PRIVHEAD version 2.11 or 2.12, got 2.13.Aborting.");
  const auto ok = ldm::ParsePrivHead(PrivHeadSector(2, 12));
  EXPECT_EQ(ops::GuidText(ok.head.groupGuid), "03c0c4fc-8b6f-402b-9431-4be2e5823b1c");
  EXPECT_EQ(ldm::GuidDecimal(ok.head.groupGuid), "3192196252139111644314849752262291305928");
  EXPECT_EQ(ok.head.configStart, 100352u);
}

// Damage the corpus lacks, made on a copy of a real dynamic disk: each case
// must leave the disk as it was (no group) or drop just the broken record.
TEST(LdmPrivHead, DamagedCopiesVersionsAndLongRecords) {
  const auto image = test::LoadImage(test::CorpusDir() / "ldm/libldm-ldm-2003r2-simple-1.img.gz");
  if (!image) GTEST_SKIP() << "corpus image absent";
  constexpr size_t kConfigEnd = (100352 + 2048) * 512;
  constexpr size_t kVmdb = (100352 + 17) * 512;
  size_t volumeRecord = 0;  // the block of the volume record "Volume1"
  for (size_t at = kVmdb + 512; at + 128 <= kConfigEnd && !volumeRecord; at += 128)
    if ((*image)[at + 0x13] == 0x51 && std::memcmp(&(*image)[at + 0x1C], "Volume1", 7) == 0) volumeRecord = at;
  ASSERT_NE(volumeRecord, 0u);
  struct Patch {
    size_t at;
    std::vector<uint8_t> bytes;
  };
  struct Case {
    const char* what;
    std::vector<Patch> patches;
    size_t volumes;  // the group's; SIZE_MAX: refused, no group
  };
  const size_t heads[] = {6 * 512, kConfigEnd - 192 * 512, kConfigEnd - 512};
  const Case cases[] = {
      {"as made", {}, 6},
      {"PRIVHEAD 2.12", {{heads[0] + 0x0F, {12}}, {heads[1] + 0x0F, {12}}, {heads[2] + 0x0F, {12}}}, 6},
      {"PRIVHEAD 2.13", {{heads[0] + 0x0F, {13}}, {heads[1] + 0x0F, {13}}, {heads[2] + 0x0F, {13}}}, SIZE_MAX},
      {"copies of two versions", {{heads[0] + 0x0F, {12}}}, SIZE_MAX},
      {"last copy missing", {{heads[2], std::vector<uint8_t>(512)}}, SIZE_MAX},
      {"middle copy missing", {{heads[1], std::vector<uint8_t>(512)}}, SIZE_MAX},
      {"middle copy of another disk", {{heads[1] + 0x30, {'e'}}}, SIZE_MAX},
      {"VMDB 4.11", {{kVmdb + 0x15, {11}}}, SIZE_MAX},
      {"volume record longer than a block", {{volumeRecord + 0x14, {0, 0, 0, 0x81}}}, 5},
  };
  for (const Case& c : cases) {
    auto bytes = *image;
    for (const Patch& patch : c.patches)
      std::copy(patch.bytes.begin(), patch.bytes.end(), bytes.begin() + static_cast<std::ptrdiff_t>(patch.at));
    platform::MemorySource source(std::move(bytes));
    DiskInfo disk;
    DiskInfoList groups;
    const std::string why = ldm::ReadDynamicDisk(source, disk, "simple.img", groups);
    if (c.volumes == SIZE_MAX) {
      EXPECT_TRUE(groups.empty()) << c.what;
      EXPECT_TRUE(disk.memberId.empty()) << c.what;
      EXPECT_FALSE(why.empty()) << c.what;
      continue;
    }
    ASSERT_EQ(groups.size(), 1u) << c.what << ": " << why;
    EXPECT_EQ(groups.front().partitions.size(), c.volumes) << c.what;
    EXPECT_EQ(disk.groupId, groups.front().groupId) << c.what;
  }
}

TEST(VolumeReaders, PositionExamples) {
  constexpr uint64_t B = 128 * 512;
  struct Case {
    bool raid5;
    size_t members;
    uint64_t position;
    size_t member;
    uint64_t offset;
  };
  const Case cases[] = {
      // Two striped members: stripe 1 starts the second member, stripe 2
      // is the first member's second stripe.
      {false, 2, 65536, 1, 0},
      {false, 2, 131072, 0, 65536},
      {false, 2, 131072 + 5, 0, 65536 + 5},
      // RAID-5 over three: row 0 has parity on member 2 (data on 0 and 1);
      // row 1 parity on member 1, data stripe 2 on member 2, stripe 3 on 0.
      {true, 3, 0, 0, 0},
      {true, 3, B + 7, 1, 7},
      {true, 3, 2 * B, 2, B},
      {true, 3, 3 * B + 1, 0, B + 1},
      {true, 3, 4 * B, 1, 2 * B},  // row 2: parity on member 0, data from member 1
  };
  for (const Case& c : cases) {
    const auto spot = c.raid5 ? Raid5Spot(c.position, B, c.members) : StripedSpot(c.position, B, c.members);
    ASSERT_TRUE(spot);
    EXPECT_EQ(spot->member, c.member) << c.position;
    EXPECT_EQ(spot->offset, c.offset) << c.position;
    EXPECT_EQ(spot->run, B - c.position % B) << c.position;
  }
  EXPECT_FALSE(Raid5Spot(0, B, 1));
  EXPECT_FALSE(StripedSpot(0, 0, 2));
}

// A RAID-5 volume over three files, laid out by the position rule, with the
// parity computed here: reads across stripes, a member left out, a member
// whose file is gone.
TEST(VolumeReaders, Raid5ReadsAcrossStripesAndRebuildsAMissingMember) {
  constexpr uint64_t kStripe = 2 * 512;
  constexpr uint64_t kRows = 6;
  constexpr uint64_t kStart = 3;  // sectors before each member's extent
  std::vector<uint8_t> volume(kRows * 2 * kStripe);
  for (size_t i = 0; i < volume.size(); ++i) volume[i] = static_cast<uint8_t>(i * 7 + i / 509);
  std::vector<std::vector<uint8_t>> files(3, std::vector<uint8_t>(kStart * 512 + kRows * kStripe));
  for (uint64_t q = 0; q < kRows * 2; ++q) {
    const auto spot = Raid5Spot(q * kStripe, kStripe, 3);
    for (uint64_t i = 0; i < kStripe; ++i) {
      const uint8_t b = volume[q * kStripe + i];
      files[spot->member][kStart * 512 + spot->offset + i] = b;
      // Parity is the XOR of the row's data: fold every data byte into the
      // one member of the row that holds none.
      const size_t parity = 2 - (q / 2) % 3;
      files[parity][kStart * 512 + spot->offset + i] ^= b;
    }
  }
  test::TempDir dir;
  PartitionInfo p;
  p.volumeKind = VolumeKind::kRaid5;
  p.stripeSectors = 2;
  p.sectorCount = volume.size() / 512;
  for (size_t k = 0; k < 3; ++k) {
    VolumeMember m;
    m.devicePath = dir.write("m" + std::to_string(k), files[k]).string();
    m.startSector = kStart;
    m.sectorCount = kRows * 2;
    p.members.push_back(m);
  }
  auto readAll = [&](const PartitionInfo& part, uint64_t at, uint32_t length) {
    std::vector<uint8_t> out(length);
    uint32_t got = 0;
    const OpenedVolume opened = OpenVolumeSource(DiskInfo{}, part);
    return opened.source && ReadVolumeBytes(*opened.source, out.data(), length, got, at) ? out : std::vector<uint8_t>{};
  };
  const auto slice = [&](uint64_t at, uint32_t n) {
    return std::vector<uint8_t>(volume.begin() + static_cast<std::ptrdiff_t>(at),
                                volume.begin() + static_cast<std::ptrdiff_t>(at + n));
  };
  EXPECT_EQ(readAll(p, 0, static_cast<uint32_t>(volume.size())), volume);
  EXPECT_EQ(readAll(p, 1000, 5000), slice(1000, 5000));
  for (size_t gone = 0; gone < 3; ++gone) {
    PartitionInfo missing = p;
    missing.members[gone].devicePath.clear();
    EXPECT_EQ(readAll(missing, 700, 9000), slice(700, 9000)) << "member " << gone << " left out";
  }
  // Past the volume's end: what lies inside arrives, the read fails.
  uint32_t got = 0;
  std::vector<uint8_t> tail(2048);
  const OpenedVolume opened = OpenVolumeSource(DiskInfo{}, p);
  ASSERT_TRUE(opened.source);
  EXPECT_FALSE(ReadVolumeBytes(*opened.source, tail.data(), 2048, got, volume.size() - 1024));
  EXPECT_EQ(got, 1024u);

  PartitionInfo unopenable = p;
  unopenable.members[1].devicePath = (dir.path() / "gone.img").string();
  // A member disk that will not open is rebuilt like a missing one, and said.
  const OpenedVolume gone = OpenVolumeSource(DiskInfo{}, unopenable);
  ASSERT_TRUE(gone.source);
  EXPECT_EQ(gone.outcome.status, platform::Status::kPartial);
  EXPECT_NE(gone.outcome.message.find("gone.img"), std::string::npos) << gone.outcome.message;
  std::vector<uint8_t> rebuilt(9000);
  EXPECT_TRUE(ReadVolumeBytes(*gone.source, rebuilt.data(), 9000, got, 700));
  EXPECT_EQ(rebuilt, slice(700, 9000));
}

// The corpus images are 50 MiB of mostly zeros: written sparse.
std::string Inflate(const test::TempDir& dir, const std::string& image) {
  const auto bytes = test::LoadImage(test::CorpusDir() / "ldm" / ("libldm-ldm-" + image + ".img.gz"));
  if (!bytes) return {};
  const auto path = dir.path() / (image + ".img");
  {
    std::ofstream out(path, std::ios::binary);
    for (size_t at = 0; at < bytes->size(); at += 65536) {
      const auto block = std::span(*bytes).subspan(at, std::min<size_t>(65536, bytes->size() - at));
      if (std::all_of(block.begin(), block.end(), [](uint8_t b) { return !b; })) continue;
      out.seekp(static_cast<std::streamoff>(at));
      out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(block.size()));
    }
  }
  std::filesystem::resize_file(path, bytes->size());
  return path.string();
}

// A volume as `ldmtool show volume` gives it: name, layout, sectors, drive,
// stripe sectors and the image of each extent ("" for a disk not given).
struct VolumeRow {
  std::string text;
  bool readable;
};

struct GroupCase {
  const char* what;
  std::vector<std::string> images;
  const char* groupName;
  std::vector<VolumeRow> volumes;
};

std::string Describe(const PartitionInfo& p, const ops::LoadedDisk& loaded) {
  std::string out = p.name + " " + ops::VolumeLayoutText(p) + " " + std::to_string(p.sectorCount) + " " +
                    p.driveLetter + " " + std::to_string(p.stripeSectors) + " [";
  for (const auto& m : p.members) {
    std::string image = m.devicePath.empty() ? "" : std::filesystem::path(m.devicePath).stem().string();
    for (const auto& d : loaded.memberDisks)
      if (d.devicePath == m.devicePath && d.memberId != ldm::GuidDecimal(m.diskGuid)) image += "(wrong disk)";
    out += image + ",";
  }
  return out + "]";
}

// What `ldmtool show volume` reports for the two groups, and test.txt read
// from every volume whose disks are given.
TEST(LdmCorpus, GroupsVolumesMembersAndTestFiles) {
  const std::vector<GroupCase> cases = {
      {"2003r2",
       {"2003r2-simple-1", "2003r2-spanned-1", "2003r2-spanned-2", "2003r2-striped-1", "2003r2-striped-2",
        "2003r2-mirrored-1", "2003r2-mirrored-2", "2003r2-raid5-1", "2003r2-raid5-2", "2003r2-raid5-3"},
       "Red-nzv8x6obywgDg0",
       {
           {"Volume2 spanned 192512 F: 0 [2003r2-spanned-2,2003r2-spanned-1,]", true},
           {"Volume1 simple 96256 E: 0 [2003r2-simple-1,]", true},
           {"Volume4 spanned 69632 J: 0 [2003r2-striped-1,2003r2-striped-2,]", true},
           {"Stripe1 striped 122880 G: 128 [2003r2-striped-1,2003r2-striped-2,]", true},
           {"Raid1 RAID-5 192512 I: 128 [2003r2-raid5-3,2003r2-raid5-2,2003r2-raid5-1,]", true},
           {"Volume3 mirrored 96256 H: 0 [2003r2-mirrored-1,2003r2-mirrored-2,]", true},
       }},
      {"2003r2 RAID-5 with a member left out",
       {"2003r2-raid5-1", "2003r2-raid5-3"},
       "Red-nzv8x6obywgDg0",
       {
           {"Volume2 spanned 192512 F: 0 [,,]", false},
           {"Volume1 simple 96256 E: 0 [,]", false},
           {"Volume4 spanned 69632 J: 0 [,,]", false},
           {"Stripe1 striped 122880 G: 128 [,,]", false},
           {"Raid1 RAID-5 192512 I: 128 [2003r2-raid5-3,,2003r2-raid5-1,]", true},
           {"Volume3 mirrored 96256 H: 0 [,,]", false},
       }},
      {"2008r2, the -2 and -3 disks on GPT",
       {"2008r2-spanned-1", "2008r2-spanned-2", "2008r2-striped-1", "2008r2-striped-2", "2008r2-mirrored-1",
        "2008r2-mirrored-2", "2008r2-raid5-1", "2008r2-raid5-2", "2008r2-raid5-3"},
       "WIN-ERRDJSBDAVF-Dg0",
       {
           {"Volume4 RAID-5 65536 H: 128 [2008r2-raid5-1,2008r2-raid5-2,2008r2-raid5-3,]", true},
           {"Volume1 spanned 129024 E: 0 [2008r2-spanned-1,2008r2-spanned-2,]", true},
           {"Volume2 striped 65536 F: 128 [2008r2-striped-1,2008r2-striped-2,]", true},
           {"Volume3 mirrored 32768 G: 0 [2008r2-mirrored-1,2008r2-mirrored-2,]", true},
           {"Volume5 spanned 190464 I: 0 [2008r2-raid5-1,2008r2-striped-1,2008r2-mirrored-1,]", true},
       }},
      {"2008r2 mirror with one copy",
       {"2008r2-mirrored-2", "2008r2-raid5-1"},
       "WIN-ERRDJSBDAVF-Dg0",
       {
           {"Volume4 RAID-5 65536 H: 128 [2008r2-raid5-1,,,]", false},
           {"Volume1 spanned 129024 E: 0 [,,]", false},
           {"Volume2 striped 65536 F: 128 [,,]", false},
           {"Volume3 mirrored 32768 G: 0 [,2008r2-mirrored-2,]", true},
           {"Volume5 spanned 190464 I: 0 [2008r2-raid5-1,,,]", false},
       }},
  };
  for (const GroupCase& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempDir dir;
    std::string source;
    for (const auto& image : c.images) {
      const std::string path = Inflate(dir, image);
      if (path.empty()) GTEST_SKIP() << "corpus image absent: " << image;
      source += (source.empty() ? "" : ",") + path;
    }
    ops::LoadedDisk loaded = ops::LoadDisk(source);
    ASSERT_EQ(loaded.status, ops::SourceStatus::kOk) << loaded.error;
    DiskInfo& group = *loaded.disk;
    EXPECT_EQ(group.diskKind, DiskKind::kDynamicGroup);
    EXPECT_EQ(DisplayName(group), c.groupName);
    ASSERT_EQ(loaded.memberDisks.size(), c.images.size());
    for (const auto& d : loaded.memberDisks) EXPECT_EQ(d.groupId, group.groupId);
    ASSERT_EQ(group.partitions.size(), c.volumes.size());
    for (size_t i = 0; i < c.volumes.size(); ++i) {
      const VolumeRow& want = c.volumes[i];
      PartitionInfo& p = group.partitions[i];
      SCOPED_TRACE(want.text);
      EXPECT_EQ(Describe(p, loaded), want.text);
      EXPECT_EQ(p.typeByte, 0x07);
      if (!want.readable) continue;
      platform::ProgressBlock progress;
      const auto opened = ops::OpenPartition(group, p, ops::ScanMode::kWalk, progress);
      ASSERT_EQ(opened.status, ops::OpenStatus::kOk) << opened.sourceError;
      const fs::NodeRef file = ops::ResolveFile(opened.tops, "根目录/test.txt");
      ASSERT_TRUE(file);
      fs::MemorySink sink;
      const auto copy = ops::CopyFile(group, p, file, sink);
      EXPECT_TRUE(copy.sourceError.empty()) << copy.sourceError;
      EXPECT_EQ(copy.result.status, platform::Status::kOk);
      EXPECT_EQ(std::string(sink.bytes.begin(), sink.bytes.end()).substr(0, 15), "Filesystem test");
    }
  }
}

}  // namespace
}  // namespace orvaldi::disk
