// Disks of 4 TiB and 16 TiB (sparse) whose volumes lie beyond sector 2^32: every sector number stays 64-bit.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>

#include "disk/sha256.h"
#include "platform/sector_source.h"
#include "support/test_images.h"

namespace orvaldi {
namespace {

constexpr uint64_t kSector = 512;
constexpr uint64_t k2To32 = uint64_t{1} << 32;

// Writes `bytes` at `offset` into `file`, seeking over blocks of zeros so the
// image stays sparse.
void WriteSparse(std::fstream& file, uint64_t offset, const std::vector<uint8_t>& bytes) {
  constexpr size_t kBlock = 4096;
  for (size_t at = 0; at < bytes.size(); at += kBlock) {
    const size_t n = std::min(kBlock, bytes.size() - at);
    if (std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                    bytes.begin() + static_cast<std::ptrdiff_t>(at + n), [](uint8_t b) { return b == 0; }))
      continue;
    file.seekp(static_cast<std::streamoff>(offset + at));
    file.write(reinterpret_cast<const char*>(bytes.data() + at), static_cast<std::streamsize>(n));
  }
}

std::string Sha(const std::string& s) {
  return disk::Sha256Hex({reinterpret_cast<const uint8_t*>(s.data()), s.size()});
}

// One disk of the fixture's layout, rebuilt sparse in a temporary folder.
struct ScaleDisk {
  std::filesystem::path image;
  uint64_t sizeBytes = 0;
  std::map<std::string, uint64_t> pieceOffset;  // piece file -> byte offset on the disk
  uint64_t volumeStart(const std::string& volume) const {
    return pieceOffset.at("scale-" + volume + ".img.gz") / kSector;
  }
};

class Scale : public ::testing::TestWithParam<const char*> {
 protected:
  static void SetUpTestSuite() {
    dir_ = std::make_unique<test::TempDir>();
    const auto fixtures = test::FixturesDir() / "scale";
    for (const test::ManifestRow& row : test::ReadManifest(fixtures / "scale.layout.tsv")) {
      ScaleDisk& d = disks_[row.at("disk")];
      d.sizeBytes = std::stoull(row.at("size"));
      d.pieceOffset[row.at("piece")] = std::stoull(row.at("offset"));
      if (!pieces_.count(row.at("piece"))) {
        auto bytes = test::LoadImage(fixtures / row.at("piece"));
        if (bytes) pieces_[row.at("piece")] = std::move(*bytes);
      }
    }
    for (auto& [name, d] : disks_) {
      d.image = dir_->path() / (name + ".img");
      { std::ofstream create(d.image, std::ios::binary); }
      std::error_code ec;
      std::filesystem::resize_file(d.image, d.sizeBytes, ec);
      if (ec) {
        d.image.clear();  // the temporary folder's file system holds no file this large
        continue;
      }
      std::fstream file(d.image, std::ios::binary | std::ios::in | std::ios::out);
      for (const auto& [piece, offset] : d.pieceOffset)
        if (pieces_.count(piece)) WriteSparse(file, offset, pieces_.at(piece));
    }
  }
  static void TearDownTestSuite() {
    dir_.reset();
    disks_.clear();
    pieces_.clear();
  }
  void SetUp() override {
    const auto it = disks_.find(std::string("scale-") + GetParam());
    if (it == disks_.end() || pieces_.size() != 3 + 2 * disks_.size()) GTEST_SKIP() << "fixture missing";
    if (it->second.image.empty()) GTEST_SKIP() << "no sparse file of " << it->second.sizeBytes << " bytes here";
    disk_ = &it->second;
    for (const test::ManifestRow& row : test::ReadManifest(test::FixturesDir() / "scale/scale.files.tsv"))
      files_[row.at("volume")].push_back(row);
  }

  test::CommandResult run(const std::string& args) const {
    return test::RunCommand("TZ=UTC " + test::ShellQuote(test::CliPath().string()) + " " + args);
  }
  std::string img() const { return test::ShellQuote(disk_->image.string()); }
  uint64_t diskSectors() const { return disk_->sizeBytes / kSector; }
  const std::vector<uint8_t>& piece(const std::string& name) const { return pieces_.at(name); }

  // Built once for every test: the pieces in memory, the disks in one folder.
  static inline std::unique_ptr<test::TempDir> dir_;
  static inline std::map<std::string, ScaleDisk> disks_;
  static inline std::map<std::string, std::vector<uint8_t>> pieces_;
  const ScaleDisk* disk_ = nullptr;
  std::map<std::string, std::vector<test::ManifestRow>> files_;  // by volume
  test::TempDir target_;
};

// The GPT's partitions: index, volume (empty for the unformatted spacer) and file system.
struct Expected {
  int index;
  const char* volume;
  const char* fs;
  const char* label;
};
constexpr Expected kPartitions[] = {
    {0, "", "", ""},
    {1, "fat32", "FAT32", "SCALEFAT"},
    {2, "ntfs", "NTFS", "SCALENTFS"},
    {3, "exfat", "exFAT", "SCALEEXFAT"},
};

TEST_P(Scale, PartsPrintsSixtyFourBitStartsAndCounts) {
  const auto r = run("parts --json " + img());
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto parts = nlohmann::json::parse(r.out);
  ASSERT_EQ(parts.size(), 4u) << r.out;
  const uint64_t fatStart = disk_->volumeStart("fat32");
  for (const Expected& e : kPartitions) {
    const auto& p = parts.at(e.index);
    SCOPED_TRACE(p.dump());
    EXPECT_EQ(p["index"], e.index);
    if (*e.volume == 0) {
      // From sector 2048 up to the FAT32 volume: a count beyond 32 bits.
      EXPECT_EQ(p["start"].get<uint64_t>(), 2048u);
      EXPECT_EQ(p["sectors"].get<uint64_t>(), fatStart - 2048);
      EXPECT_GT(p["sectors"].get<uint64_t>(), k2To32);
      continue;
    }
    const uint64_t start = disk_->volumeStart(e.volume);
    ASSERT_GT(start, k2To32);
    EXPECT_EQ(p["start"].get<uint64_t>(), start);
    EXPECT_EQ(p["sectors"].get<uint64_t>(), piece(std::string("scale-") + e.volume + ".img.gz").size() / kSector);
    EXPECT_EQ(p["fs"], e.fs);
    EXPECT_EQ(p["label"], e.label);
  }
  const auto text = run("parts " + img());
  ASSERT_EQ(text.exitCode, 0) << text.err;
  for (const char* volume : {"fat32", "ntfs", "exfat"})
    EXPECT_NE(text.out.find(std::to_string(disk_->volumeStart(volume))), std::string::npos) << text.out;
}

TEST_P(Scale, LsAndRecoverGiveEveryFileByteForByte) {
  for (const Expected& e : kPartitions) {
    if (*e.volume == 0) continue;
    SCOPED_TRACE(e.volume);
    const auto ls = run("ls --json " + img() + " " + std::to_string(e.index));
    ASSERT_EQ(ls.exitCode, 0) << ls.err;
    std::map<std::string, nlohmann::json> rows;
    std::istringstream lines(ls.out);
    for (std::string line; std::getline(lines, line);) {
      auto row = nlohmann::json::parse(line);
      rows[row["path"].get<std::string>()] = row;
    }
    const auto out = target_.path() / e.volume;
    const auto rec = run("recover " + img() + " " + std::to_string(e.index) + " --no-manifest --to " +
                         test::ShellQuote(out.string()));
    ASSERT_EQ(rec.exitCode, 0) << rec.err << rec.out;
    const auto saved = test::Sha256Tree(out);
    for (const test::ManifestRow& f : files_.at(e.volume)) {
      // A deleted FAT short name has lost its first letter ("å" in its place).
      const bool deleted = f.at("state") == "deleted";
      const std::string path = "根目录/" + (deleted ? "å" + f.at("path").substr(1) : f.at("path"));
      ASSERT_TRUE(rows.count(path)) << path << "\n" << ls.out;
      EXPECT_EQ(rows[path]["size"].get<uint64_t>(), std::stoull(f.at("size"))) << path;
      EXPECT_EQ(rows[path]["deleted"].get<bool>(), deleted) << path;
      ASSERT_TRUE(saved.count(path)) << path;
      EXPECT_EQ(saved.at(path), f.at("sha256")) << path;
    }
  }
}

TEST_P(Scale, RawscanOfAVolumeNearTheEndCarvesAndNotesAtSixtyFourBitSectors) {
  const uint64_t fatStart = disk_->volumeStart("fat32");
  // The photo's first sector inside the volume: where its bytes start.
  const std::vector<uint8_t>& fat = piece("scale-fat32.img.gz");
  std::optional<uint64_t> jpegSector;
  for (uint64_t s = 0; s < fat.size() / kSector && !jpegSector; ++s)
    if (std::memcmp(fat.data() + s * kSector, "\xff\xd8\xff\xe0", 4) == 0) jpegSector = s;
  ASSERT_TRUE(jpegSector);

  const auto saved = target_.path() / "scan.kvr_scn";
  const auto r = run("rawscan --json --part 1 " + img() + " --save-result " + test::ShellQuote(saved.string()));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto j = nlohmann::json::parse(r.out);
  // The volume's boot sector repeats the table's partition: nothing is added.
  EXPECT_EQ(j["partitions"].size(), 4u) << j["partitions"].dump(1);
  ASSERT_EQ(j["carved"].size(), 1u) << j["carved"].dump(1);
  const uint64_t start = fatStart + *jpegSector;
  EXPECT_EQ(j["carved"][0]["start"].get<uint64_t>(), start);
  EXPECT_EQ(j["carved"][0]["name"], std::to_string(start) + ".jpg");
  EXPECT_EQ(j["carved"][0]["foundName"], "photo.jpg");  // the FAT entry whose cluster holds it
  EXPECT_EQ(j["directorySectors"], 2);                  // the root and docs
  EXPECT_TRUE(j["unreadable"].empty());

  // The scan-result file keeps the directory sectors and the carved file as
  // they are, and a listing from it reads the same volume.
  const std::string file = test::ReadAll(saved);
  EXPECT_NE(file.find("\r\n" + std::to_string(start) + ",30002," + std::to_string(start) + ".jpg\r\n"),
            std::string::npos);
  const auto ls = run("ls " + img() + " 1 --load-result " + test::ShellQuote(saved.string()));
  ASSERT_EQ(ls.exitCode, 0) << ls.err;
  EXPECT_NE(ls.out.find("report.txt"), std::string::npos) << ls.out;
}

// Terabytes of holes cost next to nothing: the sweep passes over them
// unread, and what lies near the end is found where it is.
TEST_P(Scale, RawscanOfTheWholeDiskFindsTheVolumesBeyondItsHoles) {
  {
    auto opened = platform::FileSource::open(disk_->image.string());
    ASSERT_TRUE(opened.source);
    // Without holes the sweep would read terabytes of zeros.
    if (opened.source->nextDataAt(1 << 20) == 1 << 20) GTEST_SKIP() << "the temporary folder keeps no holes";
  }
  const auto r = run("rawscan --json " + img());
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto j = nlohmann::json::parse(r.out);
  // The NTFS boot sector counts one sector less than its partition: a volume of its own, origin 2.
  ASSERT_EQ(j["partitions"].size(), 5u) << j["partitions"].dump(1);
  EXPECT_EQ(j["partitions"][4]["start"].get<uint64_t>(), disk_->volumeStart("ntfs"));
  EXPECT_EQ(j["partitions"][4]["origin"], 2);
  EXPECT_EQ(j["partitions"][4]["label"], "SCALENTFS");
  ASSERT_EQ(j["carved"].size(), 2u) << j["carved"].dump(1);
  EXPECT_GT(j["carved"][0]["start"].get<uint64_t>(), disk_->volumeStart("fat32"));
  EXPECT_GT(j["carved"][1]["start"].get<uint64_t>(), disk_->volumeStart("ntfs"));
  EXPECT_EQ(j["mftRecordRuns"], 2);
  EXPECT_TRUE(j["unreadable"].empty());
}

TEST_P(Scale, ImageFromAStartBeyondTwoToThe32) {
  // The disk's last MiB: zeros, then the backup GPT's entries and header.
  const uint64_t start = diskSectors() - 2048;
  const auto whole = target_.path() / "tail.img";
  auto r = run("image " + img() + " --start " + std::to_string(start) + " --to " + test::ShellQuote(whole.string()));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const std::string tail = test::ReadAll(whole);
  ASSERT_EQ(tail.size(), 2048 * kSector);
  const std::vector<uint8_t>& backup = piece("scale-" + std::string(GetParam()) + ".tail.bin.gz");
  EXPECT_EQ(tail.substr(tail.size() - backup.size()), std::string(backup.begin(), backup.end()));
  EXPECT_EQ(tail.compare(tail.size() - kSector, 8, "EFI PART"), 0);

  // The NTFS partition's second half.
  const auto half = target_.path() / "ntfs-half.img";
  r = run("image " + img() + " 2 --start 16384 --to " + test::ShellQuote(half.string()));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const std::vector<uint8_t>& ntfs = piece("scale-ntfs.img.gz");
  const std::string got = test::ReadAll(half);
  ASSERT_EQ(got.size(), ntfs.size() - 16384 * kSector);
  EXPECT_EQ(Sha(got), Sha(std::string(ntfs.begin() + 16384 * kSector, ntfs.end())));
}

INSTANTIATE_TEST_SUITE_P(Disks, Scale, ::testing::Values("4t", "16t"));

// An MBR counts in 32 bits: on a disk past 2 TiB `parts` lists what the
// entries hold and says which part of the disk no entry can describe.
TEST(ScaleMbr, ADiskPastWhatItsMbrDescribesIsNamed) {
  struct Case {
    const char* what;
    uint64_t diskSectors;
    uint32_t first, count;  // the one primary entry, type 0x07
    uint64_t reach;         // 0: no warning
  };
  const Case cases[] = {
      {"2 TiB exactly", k2To32, 2048, 0xFFFFFFFFu - 2048, 0},
      {"4 TiB, entry to 2^32", 2 * k2To32, 2048, 0xFFFFFFFFu - 2048, k2To32},
      {"4 TiB, entry past 2^32", 2 * k2To32, 0xFFFFF000u, 0xFFFFFFFFu, 0xFFFFF000u + uint64_t{0xFFFFFFFFu}},
      {"an entry reaches the end", 0xFFFFF000u + uint64_t{0xFFFFFFFFu}, 0xFFFFF000u, 0xFFFFFFFFu, 0},
  };
  test::TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> mbr(512);
    mbr[0x1BE + 4] = 0x07;
    test::Put32(mbr, 0x1BE + 8, c.first);
    test::Put32(mbr, 0x1BE + 12, c.count);
    mbr[0x1FE] = 0x55, mbr[0x1FF] = 0xAA;
    const auto image = dir.write("mbr.img", mbr);
    std::filesystem::resize_file(image, c.diskSectors * kSector);
    const auto r = test::RunCommand(test::ShellQuote(test::CliPath().string()) + " parts --json " +
                                    test::ShellQuote(image.string()));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto parts = nlohmann::json::parse(r.out);
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(parts[0]["start"].get<uint64_t>(), c.first);
    EXPECT_EQ(parts[0]["sectors"].get<uint64_t>(), c.count);
    if (c.reach == 0) {
      EXPECT_EQ(r.err.find("MBR"), std::string::npos) << r.err;
      continue;
    }
    EXPECT_NE(r.err.find("第 " + std::to_string(c.reach) + " 扇区起的 " + std::to_string(c.diskSectors - c.reach) +
                         " 个扇区"),
              std::string::npos)
        << r.err;
  }
}

}  // namespace
}  // namespace orvaldi
