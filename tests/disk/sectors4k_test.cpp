// Disks of 4 KiB logical sectors (tests/fixtures/make_sectors4k.sh): the
// sector size found from the tables, the tables read in it, compared with
// mmls -b 4096, and every volume's files recovered as the manifest has them.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "disk/disk_list.h"
#include "disk/partition_table.h"
#include "platform/sector_source.h"
#include "support/test_images.h"

namespace orvaldi::disk {
namespace {

using Extent = std::pair<uint64_t, uint64_t>;  // start, sectors (512-byte)

std::filesystem::path Dir() { return test::FixturesDir() / "sectors4k"; }

// The allocated partitions of a stored mmls -b 4096 listing, in 512-byte sectors.
std::vector<Extent> MmlsExtents(const std::string& listing) {
  std::ifstream in(Dir() / listing);
  static const std::regex row(R"(^\d+:\s+\d+(?::\d+)?\s+(\d+)\s+(\d+)\s+(\d+)\s)");
  std::vector<Extent> out;
  std::string line;
  std::smatch m;
  while (std::getline(in, line))
    if (std::regex_search(line, m, row)) out.emplace_back(8 * std::stoull(m[1]), 8 * std::stoull(m[3]));
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<Extent> Extents(const DiskInfo& disk) {
  std::vector<Extent> out;
  for (const auto& p : disk.partitions) out.emplace_back(p.startSector, p.sectorCount);
  std::sort(out.begin(), out.end());
  return out;
}

class Sectors4k : public ::testing::Test {
 protected:
  std::filesystem::path image(const char* name) {
    auto bytes = test::LoadImage(Dir() / (std::string(name) + ".img.gz"));
    EXPECT_TRUE(bytes) << name;
    if (!bytes) return {};
    bytes_ = std::move(*bytes);
    return dir_.write(std::string(name) + ".img", bytes_);
  }
  test::TempDir dir_;
  std::vector<uint8_t> bytes_;
};

TEST_F(Sectors4k, GptAndMbrTablesAsMmlsReadsThemWith4096ByteSectors) {
  const auto gpt = LoadSource(image("gpt4k").string());
  ASSERT_TRUE(gpt);
  EXPECT_EQ(gpt->bytesPerSector, 4096u);
  EXPECT_EQ(Extents(*gpt), MmlsExtents("gpt4k.mmls.txt"));
  ASSERT_EQ(gpt->partitions.size(), 3u);
  const char* labels[] = {"F32VOL", "F16VOL", "NTFS4K"};
  const uint8_t types[] = {0x0B, 0x06, 0x07};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(gpt->partitions[i].volumeLabel, labels[i]);
    EXPECT_EQ(gpt->partitions[i].typeByte, types[i]);
    EXPECT_EQ(gpt->partitions[i].bytesPerSector, 4096u);
  }
  EXPECT_FALSE(gpt->tableChecks.gptHeaderCrcMismatch || gpt->tableChecks.gptEntriesCrcMismatch);

  // The logical partition behind the extended entry, as mmls finds it.
  const auto mbr = LoadSource(image("mbr4k").string());
  ASSERT_TRUE(mbr);
  EXPECT_EQ(mbr->bytesPerSector, 4096u);
  EXPECT_EQ(Extents(*mbr), MmlsExtents("mbr4k.mmls.txt"));
  ASSERT_EQ(mbr->partitions.size(), 2u);
  EXPECT_EQ(mbr->partitions[1].volumeLabel, "LOGICAL");
  EXPECT_EQ(mbr->partitions[1].tableKind, TableKind::kLogical);
}

TEST_F(Sectors4k, SectorSizeFoundOrForcedAnd512ByteDisksUnchanged) {
  const auto path = image("gpt4k").string();
  // Forced to 512 bytes, the table is what a 512-byte reader sees: the protective entry alone.
  const auto forced = LoadSource(path, nullptr, {}, 512);
  ASSERT_TRUE(forced);
  ASSERT_EQ(forced->partitions.size(), 1u);
  EXPECT_EQ(forced->partitions[0].typeByte, 0xEE);

  // A bare 4 KiB-sector volume: its boot sector says so, and its size is scaled.
  const std::vector<uint8_t> volume(bytes_.begin() + 68096 * 4096, bytes_.begin() + (68096 + 5120) * 4096);
  const auto bare = LoadSource(dir_.write("f16.img", volume).string());
  ASSERT_TRUE(bare);
  EXPECT_EQ(bare->bytesPerSector, 4096u);
  ASSERT_EQ(bare->partitions.size(), 1u);
  EXPECT_EQ(bare->partitions[0].sectorCount, 5120u * 8);
  EXPECT_EQ(bare->partitions[0].volumeLabel, "F16VOL");

  for (const char* f : {"gpt.img.gz", "mbr-ext.img.gz"}) {
    const auto bytes = test::LoadImage(test::FixturesDir() / "ptables" / f);
    ASSERT_TRUE(bytes) << f;
    auto src = platform::MemorySource::borrow(*bytes);
    EXPECT_EQ(DetectSectorSize(*src), 512u) << f;
  }
}

// The main header zeroed: the backup in the disk's last 4 KiB sector gives the same table.
TEST_F(Sectors4k, BackupGptHeaderStandsInForALostMainOne) {
  const auto path = image("gpt4k");
  const auto good = LoadSource(path.string());
  ASSERT_TRUE(good);
  std::fill_n(bytes_.begin() + 4096, 512, 0);
  const auto damaged = LoadSource(dir_.write("damaged.img", bytes_).string());
  ASSERT_TRUE(damaged);
  EXPECT_EQ(damaged->bytesPerSector, 4096u);
  EXPECT_TRUE(damaged->tableChecks.gptBackupHeaderUsed);
  EXPECT_EQ(Extents(*damaged), Extents(*good));
  EXPECT_EQ(damaged->partitions.size(), 3u);
}

// Every file of every volume comes back with the manifest's bytes.
TEST_F(Sectors4k, EveryVolumesFilesRecoveredAsTheManifestHasThem) {
  std::map<std::string, std::map<std::string, std::string>> expected;  // volume -> path -> sha256
  for (const auto& row : test::ReadManifest(Dir() / "files.tsv"))
    expected[row.at("volume")]["根目录/" + row.at("path")] = row.at("sha256");
  struct Volume {
    const char* disk;
    const char* part;
    const char* key;
  };
  std::map<std::string, std::filesystem::path> images;
  for (const Volume& v : {Volume{"gpt4k", "0", "fat32"}, Volume{"gpt4k", "1", "fat16"}, Volume{"gpt4k", "2", "ntfs"},
                          Volume{"mbr4k", "0", "primary"}, Volume{"mbr4k", "1", "logical"}}) {
    if (!images.count(v.disk)) images[v.disk] = image(v.disk);
    const auto img = images[v.disk];
    const auto to = dir_.path() / (std::string("out-") + v.key);
    const auto r =
        test::RunCommand(test::ShellQuote(test::CliPath().string()) + " recover " + test::ShellQuote(img.string()) +
                         " " + v.part + " --to " + test::ShellQuote(to.string()));
    ASSERT_EQ(r.exitCode, 0) << v.key << ": " << r.err;
    EXPECT_EQ(test::Sha256Tree(to), expected[v.key]) << v.key;
    // The listing holds what fls -b 4096 lists, system files and TSK's own entries aside.
    const auto ls = test::RunCommand(test::ShellQuote(test::CliPath().string()) + " ls --json " +
                                     test::ShellQuote(img.string()) + " " + v.part);
    ASSERT_EQ(ls.exitCode, 0) << ls.err;
    std::set<std::string> listed;
    static const std::regex pathField(R"re("path":"根目录/([^"]+)")re");
    std::smatch m;
    std::istringstream rows(ls.out);
    for (std::string line; std::getline(rows, line);)
      if (std::regex_search(line, m, pathField)) listed.insert(m[1]);
    std::ifstream fls(Dir() / (std::string(v.disk) + "." + v.key + ".fls.txt"));
    size_t checked = 0;
    static const std::regex flsRow(R"(^[rd]/[rd] \S+:\t(.+)$)");
    for (std::string line; std::getline(fls, line);) {
      if (!std::regex_search(line, m, flsRow) || m[1].str().front() == '$' ||
          line.find("Volume Label") != std::string::npos)
        continue;
      EXPECT_TRUE(listed.count(m[1])) << v.key << ": " << m[1];
      ++checked;
    }
    EXPECT_GT(checked, 0u) << v.key;
  }
}

}  // namespace
}  // namespace orvaldi::disk
