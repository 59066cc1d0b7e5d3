// The FAT reader on volumes made by mkfs.fat and mtools, and on others' images,
// checked against what the fixture scripts wrote and against The Sleuth Kit's fls.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include "fs/fat_reader.h"
#include "fs/fat_state.h"
#include "platform/sector_source.h"
#include "support/test_images.h"

namespace orvaldi::fs {
namespace {

struct Found {
  uint8_t kind = 0;
  uint32_t size = 0;
  uint32_t cluster = 0;
};
using Listing = std::map<std::string, Found>;  // under "根目录", by folded path

// Paths may repeat (a name listed twice folds to one path): `deletedFiles` counts nodes.
void Collect(const FatNode& node, const std::string& prefix, Listing& out, size_t& deletedFiles) {
  for (const auto& child : node.children) {
    const std::string path = prefix.empty() ? child.name : prefix + "/" + child.name;
    out[test::FoldFatPath(path)] = Found{KindOf(child.flags), child.size, child.firstCluster};
    deletedFiles += KindOf(child.flags) == node_kind::kDeletedFile;
    Collect(child, path, out, deletedFiles);
  }
}

Listing Scan(const std::vector<uint8_t>& bytes, bool fat32, FatMode mode, size_t* deletedFiles = nullptr) {
  size_t deleted = 0;
  Listing found;
  disk::DiskInfo disk;
  disk::PartitionInfo part;
  part.sectorCount = bytes.size() / 512;
  platform::MemorySource src(bytes);
  platform::ProgressBlock progress;
  EXPECT_TRUE(ScanFatVolume(&src, disk, part, fat32, mode, progress));
  if (const auto* state = FindFatState(part)) Collect(state->root, "", found, deleted);
  if (deletedFiles) *deletedFiles = deleted;
  return found;
}

// An 8.3 name: in upper case or, with `anyCase`, in one case (the lower-case
// flags show it in lower case); mixed case needs a long name.
bool ShortOnly(const std::string& path, bool anyCase = true) {
  const std::string base = path.substr(path.find_last_of('/') + 1);
  const bool upper = std::any_of(base.begin(), base.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
  const bool lower = std::any_of(base.begin(), base.end(), [](char c) { return c >= 'a' && c <= 'z'; });
  return base.size() <= 12 && !(upper && lower) && (anyCase || !lower) && std::all_of(base.begin(), base.end(), [](char c) {
           return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '~';
         });
}

// The path as a deleted tree shows it: every deleted short-named component
// (the entry itself or a deleted folder above it) has lost its first letter.
std::string DeletedView(const std::string& path, bool deleted, const std::set<std::string>& deletedFolders) {
  std::string out, prefix, part;
  std::istringstream parts(path);
  for (bool first = true; std::getline(parts, part, '/'); first = false) {
    prefix += (first ? "" : "/") + part;
    const bool gone = deletedFolders.count(prefix) || (prefix == path && deleted);
    if (gone && ShortOnly(part)) part[0] = '_';
    out += (first ? "" : "/") + part;
  }
  return out;
}

// Every file and folder the fixture script wrote is listed, live or deleted,
// with its size and first cluster.
void CheckManifest(const Listing& found, const std::filesystem::path& tsv) {
  const auto rows = test::ReadManifest(tsv);
  std::set<std::string> deletedFolders;
  for (const auto& r : rows)
    if (r.at("path").ends_with('/') && r.at("state") == "deleted") deletedFolders.insert(r.at("path").substr(0, r.at("path").size() - 1));
  int checked = 0;
  for (const auto& r : rows) {
    std::string path = r.at("path");
    const bool folder = path.ends_with('/'), deleted = r.at("state") == "deleted";
    if (folder) path.pop_back();
    // An existing empty file with only a short name has no cluster: the reader skips it.
    if (!deleted && !folder && r.at("size") == "0" && ShortOnly(path, false)) continue;
    auto it = found.find(test::FoldFatPath(path));
    if (it == found.end()) it = found.find(test::FoldFatPath(DeletedView(path, deleted, deletedFolders)));
    ASSERT_NE(it, found.end()) << path << (deleted ? " (deleted)" : "") << " not listed";
    EXPECT_EQ(it->second.kind, folder ? (deleted ? node_kind::kDeletedFolder : node_kind::kFolder)
                                      : (deleted ? node_kind::kDeletedFile : node_kind::kFile))
        << path;
    if (!folder) {
      EXPECT_EQ(std::to_string(it->second.size), r.at("size")) << path;
    }
    if (!r.at("first_cluster").empty()) {
      // A deleted file's entry may have lost the cluster's high word; only
      // folders get it back (by looking for their "." entry).
      const uint32_t mask = deleted && !folder ? 0xFFFF : 0xFFFFFFFF;
      EXPECT_EQ(it->second.cluster & mask, std::stoul(r.at("first_cluster")) & mask) << path;
    }
    ++checked;
  }
  EXPECT_GT(checked, 5);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// fls agrees on the paths and sizes of allocated files and folders and, with
// `checkDeleted`, lists no deleted name the reader lacks.
void CheckFls(const Listing& found, const std::filesystem::path& raw, bool checkDeleted, const char* loopBelow) {
  // Below a folder that points back at a folder above it, fls lists one more
  // round of the loop; the reader stops at the cluster it has read already.
  auto inLoop = [&](const std::string& path) { return loopBelow && path.starts_with(loopBelow); };
  int seen = 0;
  for (const std::string& line : Lines(test::RunCommand("fls -r -p -l '" + raw.string() + "'").out)) {
    const size_t tab = line.find(":\t");
    if (tab == std::string::npos || line.find("(Volume Label Entry)") != std::string::npos ||
        line.find(" * ") != std::string::npos)
      continue;
    std::vector<std::string> cols;
    std::istringstream fields(line.substr(tab + 2));
    for (std::string col; std::getline(fields, col, '\t');) cols.push_back(col);
    const std::string path = cols.empty() ? "" : test::FoldFatPath(cols[0]);
    if (cols.size() < 6 || cols[0].starts_with('$') || inLoop(path)) continue;
    ++seen;
    const bool folder = line.starts_with("d/d");
    const auto it = found.find(path);
    // Existing empty files with only a short name have no cluster; the reader leaves them out.
    if (!folder && cols[5] == "0" && it == found.end() && ShortOnly(path)) continue;
    ASSERT_NE(it, found.end()) << path;
    EXPECT_EQ(it->second.kind, folder ? node_kind::kFolder : node_kind::kFile) << path;
    if (!folder) {
      EXPECT_EQ(std::to_string(it->second.size), cols[5]) << path;
    }
  }
  if (!checkDeleted) return;
  // fls counts everything below a deleted folder as deleted; the reader keeps
  // each entry's own state, so a deleted folder above it is as good.
  auto deletedOrBelowDeleted = [&](std::string path) {
    for (;; path.resize(path.find_last_of('/'))) {
      const auto it = found.find(path);
      if (it != found.end() && IsDeletedKind(it->second.kind)) return true;
      if (path.find('/') == std::string::npos) return false;
    }
  };
  for (const std::string& line : Lines(test::RunCommand("fls -rd -p '" + raw.string() + "'").out)) {
    const size_t tab = line.find(":\t");
    if (tab == std::string::npos || line.find('$', tab) != std::string::npos) continue;  // TSK's orphan folders
    const std::string path = test::FoldFatPath(line.substr(tab + 2));
    ++seen;
    ASSERT_NE(found.find(path), found.end()) << path << " (deleted)";
    EXPECT_TRUE(deletedOrBelowDeleted(path)) << path;
  }
  EXPECT_GT(seen, 0) << "fls printed nothing we could read";
}

struct ImageCase {
  std::filesystem::path image;
  bool fat32;
  bool manifest;  // a fixture whose script wrote a .files.tsv
  bool fls = true;
  bool checkDeleted = true;
  const char* loopBelow = nullptr;
};

void PrintTo(const ImageCase& c, std::ostream* os) { *os << c.image.filename(); }

class FatImages : public ::testing::TestWithParam<ImageCase> {};

TEST_P(FatImages, MatchTheManifestAndFls) {
  const ImageCase& c = GetParam();
  const auto bytes = test::LoadImage(c.image);
  if (!bytes) GTEST_SKIP() << "image absent: " << c.image;
  const Listing found = Scan(*bytes, c.fat32, FatMode::kWalk);
  if (c.manifest) CheckManifest(found, c.image.parent_path() / (c.image.stem().stem().string() + ".files.tsv"));
  if (!c.fls) return;
  if (test::RunCommand("command -v fls").exitCode != 0) GTEST_SKIP() << "fls not installed";
  test::TempDir dir;
  CheckFls(found, dir.write("volume.img", *bytes), c.checkDeleted, c.loopBelow);
}

const auto kFixtures = test::FixturesDir() / "fat";
const auto kCorpus = test::CorpusDir() / "fat";

INSTANTIATE_TEST_SUITE_P(
    Images, FatImages,
    ::testing::Values(ImageCase{kFixtures / "fat32-tree.img.gz", true, true},
                      ImageCase{kFixtures / "fat16-512.img.gz", false, true},
                      ImageCase{kFixtures / "fat32-highword.img.gz", true, true, false},
                      ImageCase{kFixtures / "fat32-highword-cleared.img.gz", true, true},
                      ImageCase{kCorpus / "dftt-6-fat-undel.dd.gz", false, false},
                      ImageCase{kCorpus / "dfir-fat16.img.gz", false, false},
                      ImageCase{kCorpus / "dfir-fat32-lfn.img.gz", true, false},
                      ImageCase{kCorpus / "dfir-fat32-deleted-dir.img.gz", true, false},
                      // Its deleted test_dir/4 names a cluster that now holds another live folder: no
                      // cluster reads as that folder any more, so the reader leaves the entry out.
                      ImageCase{kCorpus / "dfir-fat32-loop.img.gz", true, false, true, false, "test_dir/n40/4/t1/"},
                      ImageCase{kCorpus / "dfir-fat16-moved.img.gz", false, false}),
    [](const auto& param) { return test::TestNameFromPath(param.param.image.filename().string()); });

size_t CountIf(const Listing& found, const std::function<bool(const std::string&, const Found&)>& pick) {
  return static_cast<size_t>(std::count_if(found.begin(), found.end(), [&](const auto& f) { return pick(f.first, f.second); }));
}

TEST(FatImagesSearch, FormattedVolumesShowTheirOldFolders) {
  // A quick format: the new root knows only the new file; the search finds
  // the old folders by their clusters, and with them every file inside.
  const auto reformatted = test::LoadImage(kFixtures / "fat32-reformatted.img.gz");
  ASSERT_TRUE(reformatted);
  EXPECT_EQ(Scan(*reformatted, true, FatMode::kWalk).count("new.txt"), 1u);
  const Listing searched = Scan(*reformatted, true, FatMode::kSearch);
  int oldFiles = 0;
  for (const auto& row : test::ReadManifest(kFixtures / "fat32-reformatted.files.tsv")) {
    const std::string& path = row.at("path");
    // Files of the old root are gone with it; those inside old folders remain.
    if (!path.starts_with("OLD") || path.ends_with('/') || path.find('/') == std::string::npos) continue;
    const std::string base = "/" + test::FoldFatPath(path.substr(path.find_last_of('/') + 1));
    EXPECT_GE(CountIf(searched, [&](const std::string& p, const Found&) { return p.ends_with(base); }), 1u) << path;
    ++oldFiles;
  }
  EXPECT_GT(oldFiles, 0);

  // A folder that grows while its files are written gets its later clusters
  // behind their data; after a reformat nothing links them to the first one,
  // and the search lists each as a folder of its own.
  test::TempDir dir;
  const auto made = test::RunCommand(
      "cd " + test::ShellQuote(dir.path().string()) +
      " && export PATH=\"$PATH:/usr/sbin:/sbin\" MTOOLS_SKIP_CHECK=1"
      " && truncate -s 40M card.img && mkfs.fat -F 32 -s 1 card.img >/dev/null && mkdir pics"
      " && for i in $(seq 1 40); do printf 'picture %d\\n' $i >\"pics/Picture number $i.jpg\"; done"
      " && mmd -i card.img ::DCIM ::DCIM/100CAM01 && mcopy -i card.img pics/* ::DCIM/100CAM01/"
      " && mkfs.fat -F 32 -s 1 card.img >/dev/null");
  if (made.exitCode != 0) GTEST_SKIP() << "mkfs.fat or mtools missing: " << made.err;
  const auto card = test::LoadImage(dir.path() / "card.img");
  EXPECT_EQ(CountIf(Scan(*card, true, FatMode::kSearch),
                    [](const std::string& p, const Found& f) { return p.ends_with(".jpg") && f.kind == node_kind::kFile; }),
            40u);

  // A deleted folder of 486 entries that no other entry names: only the
  // search finds its clusters, and it lists every entry they hold.
  const auto deletedDir = test::LoadImage(kCorpus / "dfir-fat32-deleted-dir.img.gz");
  if (!deletedDir) GTEST_SKIP() << "corpus image absent";
  size_t deletedFiles = 0;
  Scan(*deletedDir, true, FatMode::kSearch, &deletedFiles);
  EXPECT_GE(deletedFiles, 486u);
}

}  // namespace
}  // namespace orvaldi::fs
