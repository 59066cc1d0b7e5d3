// Rescue maps on the command line: a disk with unreadable sectors (served
// through FUSE) is imaged with its map, by us and by GNU ddrescue; ls
// --mapfile must mark exactly the files The Sleuth Kit places on those
// sectors, recover --mapfile must call them not intact, and an image made
// metadata first must list the volume before its data is copied.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "support/faulty_mount.h"
#include "support/test_images.h"

namespace orvaldi {
namespace {

using test::ShellQuote;

std::string Cli() { return test::CliPath().string(); }

struct Fixture {
  const char* image;  // under tests/fixtures
  const char* truth;  // under tests/fixtures/mapfile
  bool fat;
};
const Fixture kFixtures[] = {
    {"fat/fat32-tree.img.gz", "fat32-tree.extents.tsv", true},
    {"ntfs/ntfs-tree.img.gz", "ntfs-tree.extents.tsv", false},
    {"exfat/exfat-basic.img.gz", "exfat-basic.extents.tsv", false},
};

std::set<uint64_t> Sectors(const std::string& ranges) {
  std::set<uint64_t> out;
  std::stringstream in(ranges);
  std::string part;
  while (std::getline(in, part, ',')) {
    if (part.empty()) continue;
    const size_t dash = part.find('-');
    const uint64_t a = std::stoull(part.substr(0, dash));
    const uint64_t b = dash == std::string::npos ? a : std::stoull(part.substr(dash + 1));
    for (uint64_t s = a; s <= b; ++s) out.insert(s);
  }
  return out;
}

std::string BadList(const std::set<uint64_t>& bad) {
  std::string list;
  for (const uint64_t s : bad) list += (list.empty() ? "" : ",") + std::to_string(s);
  return list;
}

// The paths ls --json marks damaged, as the oracle writes them.
std::set<std::string> Marked(const std::string& jsonLines, bool fat) {
  std::set<std::string> out;
  std::stringstream in(jsonLines);
  std::string line;
  while (std::getline(in, line)) {
    const auto row = nlohmann::json::parse(line);
    if (!row.contains("damaged")) continue;
    std::string path = row["path"].get<std::string>().substr(std::string("根目录/").size());
    out.insert(fat ? test::FoldFatPath(path) : path);
  }
  return out;
}

// Every fixture, with a data sector of every third file made unreadable:
// the files marked are those whose data the oracle places on a bad sector,
// whichever map (ours, GNU ddrescue's) says where they are.
TEST(Mapfile, LsMarksTheFilesTheOracleFindsOnTheBadSectors) {
  if (!test::FaultyMount::Available()) GTEST_SKIP() << "no /dev/fuse on this machine";
  const bool gnu = std::system("command -v ddrescue >/dev/null 2>&1") == 0;
  for (const Fixture& f : kFixtures) {
    SCOPED_TRACE(f.image);
    test::TempDir dir;
    const auto image = dir.unpack(f.image, "disk.img");
    ASSERT_FALSE(image.empty());
    const auto rows = test::ReadManifest(test::FixturesDir() / "mapfile" / f.truth);
    // Metadata sectors stay readable here, so that every file is listed.
    std::set<uint64_t> metadata, bad;
    for (const auto& row : rows)
      for (const uint64_t s : Sectors(row.at("entry"))) metadata.insert(s);
    size_t n = 0;
    for (const auto& row : rows) {
      std::vector<uint64_t> data;
      for (const uint64_t s : Sectors(row.at("data")))
        if (!metadata.count(s)) data.push_back(s);  // resident NTFS data is its record
      if (data.empty() || row.at("state") != "live" || n++ % 3 != 0) continue;
      bad.insert(data[data.size() / 2]);
      if (bad.size() >= 12) break;
    }
    ASSERT_GE(bad.size(), 4u);
    std::set<std::string> expected;
    for (const auto& row : rows)
      for (const uint64_t s : Sectors(row.at("data")))
        if (bad.count(s)) expected.insert(f.fat ? test::FoldFatPath(row.at("path")) : row.at("path"));

    test::FaultyMount mount(image, BadList(bad));
    ASSERT_TRUE(mount.ok()) << mount.error();
    const std::string copy = (dir.path() / "copy.img").string(), map = (dir.path() / "copy.map").string();
    auto r = test::RunCommand(Cli() + " image " + ShellQuote(mount.path().string()) + " --to " + ShellQuote(copy) +
                              " --mapfile " + ShellQuote(map));
    ASSERT_EQ(r.exitCode, 6) << r.err;
    r = test::RunCommand(Cli() + " ls --json " + ShellQuote(copy) + " 0 --mapfile " + ShellQuote(map));
    EXPECT_EQ(r.exitCode, 6) << r.err;
    EXPECT_EQ(Marked(r.out, f.fat), expected);
    // Every damaged range lies in a bad sector, given as a position of the map.
    std::stringstream rowsOut(r.out);
    std::string line;
    while (std::getline(rowsOut, line)) {
      const auto row = nlohmann::json::parse(line);
      if (!row.contains("damaged")) continue;
      EXPECT_TRUE(row["damaged_data"].get<bool>());
      for (const auto& d : row["damaged"]) EXPECT_TRUE(bad.count(d["pos"].get<uint64_t>() / 512)) << line;
    }

    // The same from GNU ddrescue's map of the same disk.
    if (gnu) {
      const std::string gcopy = (dir.path() / "g.img").string(), gmap = (dir.path() / "g.map").string();
      r = test::RunCommand("ddrescue -q -b 512 " + ShellQuote(mount.path().string()) + " " + ShellQuote(gcopy) + " " +
                           ShellQuote(gmap));
      ASSERT_EQ(r.exitCode, 0) << r.err;
      r = test::RunCommand(Cli() + " ls --json " + ShellQuote(gcopy) + " 0 --mapfile " + ShellQuote(gmap));
      EXPECT_EQ(r.exitCode, 6) << r.err;
      EXPECT_EQ(Marked(r.out, f.fat), expected);
    }

    // recover names each of them and counts them not intact.
    if (f.fat) {
      test::TempDir target;
      r = test::RunCommand(Cli() + " recover " + ShellQuote(copy) + " 0 --no-deleted --to " +
                           ShellQuote(target.path().string()) + " --mapfile " + ShellQuote(map));
      EXPECT_EQ(r.exitCode, 6) << r.err;
      const std::string log = test::FoldFatPath(r.err);
      for (const std::string& path : expected) EXPECT_NE(log.find(path), std::string::npos) << path << "\n" << r.err;
      EXPECT_NE(r.out.find("不完整 " + std::to_string(expected.size())), std::string::npos) << r.out;
    }
  }
}

// A map the listing cannot place is refused; one with nothing left to read
// marks nothing.
TEST(Mapfile, AMapThatDoesNotFitIsRefusedAndAFinishedOneMarksNothing) {
  test::TempDir dir;
  const auto image = dir.unpack("fat/fat32-tree.img.gz", "disk.img");
  ASSERT_FALSE(image.empty());
  const std::string map = (dir.path() / "m.map").string();
  std::ofstream(map) << "0x0 +\n0x0 0x1000 +\n";
  auto r = test::RunCommand(Cli() + " ls " + ShellQuote(image.string()) + " 0 --mapfile " + ShellQuote(map));
  EXPECT_EQ(r.exitCode, 2) << r.err;
  EXPECT_NE(r.err.find("--map-base"), std::string::npos) << r.err;
  std::ofstream(map, std::ios::trunc) << "0x0 +\n0x0 " << std::filesystem::file_size(image) << " +\n";
  r = test::RunCommand(Cli() + " ls " + ShellQuote(image.string()) + " 0 --mapfile " + ShellQuote(map));
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out.find("数据"), std::string::npos);
}

// Metadata first, on a disk with bad sectors in data and in a folder: a
// run stopped after the metadata already lists the volume as a clean copy
// does; going on from its map gives the image and map of one plain run.
TEST(Mapfile, MetadataFirstListsBeforeTheDataAndEndsAsAPlainRun) {
  if (!test::FaultyMount::Available()) GTEST_SKIP() << "no /dev/fuse on this machine";
  for (const Fixture& f : kFixtures) {
    SCOPED_TRACE(f.image);
    test::TempDir dir;
    const auto image = dir.unpack(f.image, "disk.img");
    ASSERT_FALSE(image.empty());
    const std::string badList = "1200,3540,9000-9003,20000";
    test::FaultyMount mount(image, badList);
    ASSERT_TRUE(mount.ok()) << mount.error();
    const std::string src = ShellQuote(mount.path().string());
    auto path = [&](const char* name) { return ShellQuote((dir.path() / name).string()); };
    auto r =
        test::RunCommand(Cli() + " image " + src + " --to " + path("plain.img") + " --mapfile " + path("plain.map"));
    ASSERT_EQ(r.exitCode, 6) << r.err;
    const std::string plainList = r.out;
    r = test::RunCommand(Cli() + " image " + src + " --to " + path("meta.img") + " --mapfile " + path("meta.map") +
                         " --metadata-first --metadata-only");
    ASSERT_EQ(r.exitCode, 6) << r.err;
    const auto clean = test::RunCommand(Cli() + " ls --json " + ShellQuote(image.string()) + " 0");
    const auto early = test::RunCommand(Cli() + " ls --json " + path("meta.img") + " 0");
    EXPECT_EQ(early.out, clean.out);
    EXPECT_GT(clean.out.size(), 1000u);
    // Only a small part was copied so far.
    const auto done = test::RunCommand("ddrescuelog -b 512 --list-blocks=+ " + path("meta.map") + " | wc -l");
    EXPECT_LT(std::stoull(done.out), std::filesystem::file_size(image) / 512 / 4);

    r = test::RunCommand(Cli() + " image " + src + " --to " + path("meta.img") + " --mapfile " + path("meta.map") +
                         " --metadata-first");
    ASSERT_EQ(r.exitCode, 6) << r.err;
    EXPECT_EQ(r.out, plainList);
    EXPECT_TRUE(test::LoadImage(dir.path() / "meta.img") == test::LoadImage(dir.path() / "plain.img"));
    auto blocks = [](const std::filesystem::path& p) {
      std::ifstream in(p);
      std::string line, out;
      while (std::getline(in, line))
        if (!line.empty() && line[0] != '#') out += line + "\n";
      return out;
    };
    EXPECT_EQ(blocks(dir.path() / "meta.map"), blocks(dir.path() / "plain.map"));
  }
}

}  // namespace
}  // namespace orvaldi
