// The FAT reader on volumes made by mkfs.fat and mtools, and on others' images,
// checked against what the fixture scripts wrote and against The Sleuth Kit's fls.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
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


void Collect(const FatNode& node, const std::string& prefix, std::map<std::string, Found>& out) {
  for (const auto& child : node.children) {
    const std::string path = prefix.empty() ? child.name : prefix + "/" + child.name;
    out[test::FoldFatPath(path)] = Found{KindOf(child.flags), child.size, child.firstCluster};
    Collect(child, path, out);
  }
}

struct Volume {
  std::vector<uint8_t> bytes;
  std::map<std::string, Found> found;  // under "根目录", by normalised path
};

Volume ScanImage(const std::filesystem::path& file, bool fat32, int mode = kFatModeWalk) {
  Volume v;
  auto bytes = test::LoadImage(file);
  if (!bytes) return v;
  v.bytes = std::move(*bytes);
  disk::DiskInfo disk;
  disk::PartitionInfo part;
  part.sectorCount = v.bytes.size() / 512;
  platform::MemorySource src(v.bytes);
  platform::ProgressBlock progress;
  ScanFatVolume(&src, disk, part, fat32, mode, progress);
  if (const auto* state = FindFatState(part)) Collect(state->root, "", v.found);
  return v;
}

bool LooksShortOnly(const std::string& name) {
  const std::string base = name.substr(name.find_last_of('/') + 1);
  if (base.size() > 12) return false;
  for (char c : base)
    if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '~')) return false;
  return true;
}

// Every file and folder the fixture script wrote is listed, live or deleted,
// with its size and first cluster.
class FatFixture : public ::testing::TestWithParam<std::pair<const char*, bool>> {};

// An 8.3 name stored in one case (the lower-case flags show it in lower case);
// mixed case needs a long name.
bool ShortOnlyIgnoringCase(std::string name) {
  const std::string base = name.substr(name.find_last_of('/') + 1);
  const bool hasUpper = std::any_of(base.begin(), base.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
  const bool hasLower = std::any_of(base.begin(), base.end(), [](char c) { return c >= 'a' && c <= 'z'; });
  if (hasUpper && hasLower) return false;
  for (char& c : name)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return LooksShortOnly(name);
}

struct ManifestEntry {
  std::string path;  // without the trailing "/" of folders
  std::string size;
  std::string cluster;
  bool folder = false;
  bool deleted = false;
};

std::vector<ManifestEntry> ReadManifest(const std::filesystem::path& file) {
  std::vector<ManifestEntry> entries;
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    ManifestEntry e;
    std::string sha, state;
    std::getline(fields, e.path, '\t');
    std::getline(fields, e.size, '\t');
    std::getline(fields, sha, '\t');
    std::getline(fields, state, '\t');
    std::getline(fields, e.cluster, '\t');
    e.folder = !e.path.empty() && e.path.back() == '/';
    if (e.folder) e.path.pop_back();
    e.deleted = state == "deleted";
    entries.push_back(std::move(e));
  }
  return entries;
}

// The path as a deleted tree shows it: every deleted short-named component
// (the entry itself or a deleted folder above it) has lost its first letter.
std::string DeletedView(const ManifestEntry& e, const std::set<std::string>& deletedFolders) {
  std::string out, prefix;
  std::istringstream parts(e.path);
  std::string part;
  std::vector<std::string> components;
  while (std::getline(parts, part, '/')) components.push_back(part);
  for (size_t i = 0; i < components.size(); ++i) {
    prefix += (i ? "/" : "") + components[i];
    std::string shown = components[i];
    const bool gone = deletedFolders.count(prefix) || (i + 1 == components.size() && e.deleted);
    if (gone && ShortOnlyIgnoringCase(shown)) shown[0] = '_';
    out += (i ? "/" : "") + shown;
  }
  return out;
}

TEST_P(FatFixture, MatchesWhatTheScriptWrote) {
  const auto [name, fat32] = GetParam();
  const auto dir = test::FixturesDir() / "fat";
  const Volume v = ScanImage(dir / (std::string(name) + ".img.gz"), fat32);
  ASSERT_FALSE(v.bytes.empty()) << name;
  const auto manifest = ReadManifest(dir / (std::string(name) + ".files.tsv"));
  std::set<std::string> deletedFolders;
  for (const auto& e : manifest)
    if (e.folder && e.deleted) deletedFolders.insert(e.path);
  int checked = 0;
  for (const auto& e : manifest) {
    // An existing empty file with only a short name has no cluster: the reader skips it.
    if (!e.deleted && !e.folder && e.size == "0" && LooksShortOnly(e.path)) continue;
    auto it = v.found.find(test::FoldFatPath(e.path));
    if (it == v.found.end()) it = v.found.find(test::FoldFatPath(DeletedView(e, deletedFolders)));
    ASSERT_NE(it, v.found.end()) << name << ": " << e.path << (e.deleted ? " (deleted)" : "") << " not listed";
    const uint8_t kind = e.folder ? (e.deleted ? node_kind::kDeletedFolder : node_kind::kFolder)
                                  : (e.deleted ? node_kind::kDeletedFile : node_kind::kFile);
    EXPECT_EQ(it->second.kind, kind) << e.path;
    if (!e.folder) {
      EXPECT_EQ(std::to_string(it->second.size), e.size) << e.path;
    }
    if (!e.cluster.empty()) {
      // A deleted file's entry may have lost the cluster's high word; only
      // folders get it back (by looking for their "." entry).
      const uint32_t expected = static_cast<uint32_t>(std::stoul(e.cluster));
      if (e.deleted && !e.folder) {
        EXPECT_EQ(it->second.cluster & 0xFFFF, expected & 0xFFFF) << e.path;
      } else {
        EXPECT_EQ(it->second.cluster, expected) << e.path;
      }
    }
    ++checked;
  }
  EXPECT_GT(checked, 5);
}

INSTANTIATE_TEST_SUITE_P(Mtools, FatFixture,
                         ::testing::Values(std::make_pair("fat32-tree", true), std::make_pair("fat16-512", false),
                                           std::make_pair("fat32-highword", true),
                                           std::make_pair("fat32-highword-cleared", true)),
                         [](const auto& param) { return test::TestNameFromPath(param.param.first); });

TEST(FatFixtureSearch, QuickFormattedVolumeStillShowsItsOldFolders) {
  const auto dir = test::FixturesDir() / "fat";
  const Volume walked = ScanImage(dir / "fat32-reformatted.img.gz", true, kFatModeWalk);
  const Volume searched = ScanImage(dir / "fat32-reformatted.img.gz", true, kFatModeSearch);
  ASSERT_FALSE(walked.bytes.empty());
  // The new root knows only the new file; the search finds the old folders by their clusters.
  EXPECT_EQ(walked.found.count("new.txt"), 1u);
  std::ifstream manifest(dir / "fat32-reformatted.files.tsv");
  std::string line;
  std::getline(manifest, line);
  int oldFiles = 0;
  while (std::getline(manifest, line)) {
    const std::string path = line.substr(0, line.find('\t'));
    // Files of the old root are gone with it; those inside old folders remain.
    if (path.rfind("OLD", 0) != 0 || path.back() == '/' || path.find('/') == std::string::npos) continue;
    const std::string base = test::FoldFatPath(path.substr(path.find_last_of('/') + 1));
    bool seen = false;
    for (const auto& [p, f] : searched.found) seen |= p.size() >= base.size() && p.compare(p.size() - base.size(), base.size(), base) == 0;
    EXPECT_TRUE(seen) << path;
    ++oldFiles;
  }
  EXPECT_GT(oldFiles, 0);
}

// A folder that grows while its files are written gets its later clusters
// behind their data. After a reformat nothing links those clusters to the
// first one; the search lists each as a folder of its own.
TEST(FatFixtureSearch, EveryFileOfAFolderSpreadOverAReformattedCardIsListed) {
  test::TempDir dir;
  const auto made = test::RunCommand(
      "cd " + test::ShellQuote(dir.path().string()) +
      " && export PATH=\"$PATH:/usr/sbin:/sbin\" MTOOLS_SKIP_CHECK=1"
      " && truncate -s 40M card.img && mkfs.fat -F 32 -s 1 card.img >/dev/null && mkdir pics"
      " && for i in $(seq 1 40); do printf 'picture %d\\n' $i >\"pics/Picture number $i.jpg\"; done"
      " && mmd -i card.img ::DCIM ::DCIM/100CAM01 && mcopy -i card.img pics/* ::DCIM/100CAM01/"
      " && mkfs.fat -F 32 -s 1 card.img >/dev/null");
  if (made.exitCode != 0) GTEST_SKIP() << "mkfs.fat or mtools missing: " << made.err;
  const Volume v = ScanImage(dir.path() / "card.img", true, kFatModeSearch);
  int pictures = 0;
  for (const auto& [path, found] : v.found) pictures += path.ends_with(".jpg") && found.kind == node_kind::kFile;
  EXPECT_EQ(pictures, 40);
}

// A deleted folder of 486 entries that no other entry names: only the search
// finds its clusters, and it lists every entry they hold.
TEST(FatFixtureSearch, DeletedFolderNoEntryNamesIsListed) {
  auto bytes = test::LoadImage(test::CorpusDir() / "fat/dfir-fat32-deleted-dir.img.gz");
  if (!bytes) GTEST_SKIP() << "corpus image absent";
  disk::DiskInfo disk;
  disk::PartitionInfo part;
  part.sectorCount = bytes->size() / 512;
  platform::MemorySource src(*bytes);
  platform::ProgressBlock progress;
  ScanFatVolume(&src, disk, part, true, kFatModeSearch, progress);
  const auto* state = FindFatState(part);
  ASSERT_NE(state, nullptr);
  size_t deletedFiles = 0;
  auto count = [&](auto& self, const FatNode& node) -> void {
    deletedFiles += KindOf(node.flags) == node_kind::kDeletedFile;
    for (const FatNode& child : node.children) self(self, child);
  };
  count(count, state->root);
  EXPECT_GE(deletedFiles, 486u);
}

// What fls prints, by normalised path: allocated files with their sizes, and deleted names.
struct FlsListing {
  std::map<std::string, uint64_t> allocatedFiles;
  std::vector<std::string> allocatedFolders;
  std::vector<std::string> deleted;
};

std::optional<FlsListing> RunFls(const std::filesystem::path& image) {
  if (test::RunCommand("command -v fls").exitCode != 0) return std::nullopt;
  FlsListing out;
  auto all = test::RunCommand("fls -r -p -l '" + image.string() + "'");
  if (all.exitCode != 0) return std::nullopt;
  std::istringstream lines(all.out);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.find("(Volume Label Entry)") != std::string::npos || line.find(" * ") != std::string::npos) continue;
    const size_t tab = line.find(":\t");
    if (tab == std::string::npos) continue;
    std::vector<std::string> cols;
    std::istringstream fields(line.substr(tab + 2));
    std::string col;
    while (std::getline(fields, col, '\t')) cols.push_back(col);
    if (cols.size() < 6 || cols[0].rfind('$', 0) == 0) continue;
    if (line.rfind("d/d", 0) == 0) {
      out.allocatedFolders.push_back(test::FoldFatPath(cols[0]));
    } else {
      out.allocatedFiles[test::FoldFatPath(cols[0])] = std::stoull(cols[5]);
    }
  }
  auto deleted = test::RunCommand("fls -rd -p '" + image.string() + "'");
  std::istringstream dl(deleted.out);
  while (std::getline(dl, line)) {
    const size_t tab = line.find(":\t");
    if (tab == std::string::npos) continue;
    const std::string path = line.substr(tab + 2);
    if (path.find('$') != std::string::npos) continue;  // TSK's virtual orphan folders
    out.deleted.push_back(test::FoldFatPath(path));
  }
  return out;
}

struct FlsCase {
  std::filesystem::path image;
  bool fat32;
  bool checkDeleted;
  // Below a folder that points back at a folder above it, fls lists one more
  // round of the loop; the reader stops at the cluster it has read already.
  const char* loopBelow = nullptr;
};

void PrintTo(const FlsCase& c, std::ostream* os) { *os << c.image.filename(); }

class FlsAgrees : public ::testing::TestWithParam<FlsCase> {};

TEST_P(FlsAgrees, SamePathsAndSizes) {
  const FlsCase& c = GetParam();
  const Volume v = ScanImage(c.image, c.fat32);
  if (v.bytes.empty()) GTEST_SKIP() << "image absent: " << c.image;
  test::TempDir dir;
  const auto raw = dir.write("volume.img", v.bytes);
  const auto fls = RunFls(raw);
  if (!fls) GTEST_SKIP() << "fls not installed";
  ASSERT_FALSE(fls->allocatedFiles.empty() && fls->deleted.empty()) << "fls printed nothing we could read";
  auto inLoop = [&](const std::string& path) { return c.loopBelow && path.rfind(c.loopBelow, 0) == 0; };
  for (const auto& [path, size] : fls->allocatedFiles) {
    if (inLoop(path)) continue;
    const auto it = v.found.find(path);
    // Existing empty files with only a short name have no cluster; the reader leaves them out.
    if (size == 0 && it == v.found.end() && ShortOnlyIgnoringCase(path)) continue;
    ASSERT_NE(it, v.found.end()) << path;
    EXPECT_EQ(it->second.kind, node_kind::kFile) << path;
    EXPECT_EQ(it->second.size, size) << path;
  }
  for (const auto& path : fls->allocatedFolders) {
    if (inLoop(path)) continue;
    const auto it = v.found.find(path);
    ASSERT_NE(it, v.found.end()) << path;
    EXPECT_EQ(it->second.kind, node_kind::kFolder) << path;
  }
  if (!c.checkDeleted) return;
  // fls counts everything below a deleted folder as deleted; the reader keeps
  // each entry's own state, so a deleted folder above it is as good.
  auto deletedOrBelowDeleted = [&](std::string path) {
    for (;;) {
      const auto it = v.found.find(path);
      if (it != v.found.end() && IsDeletedKind(it->second.kind)) return true;
      const size_t slash = path.find_last_of('/');
      if (slash == std::string::npos) return false;
      path.resize(slash);
    }
  };
  for (const auto& path : fls->deleted) {
    ASSERT_NE(v.found.find(path), v.found.end()) << path << " (deleted)";
    EXPECT_TRUE(deletedOrBelowDeleted(path)) << path;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Images, FlsAgrees,
    ::testing::Values(FlsCase{test::FixturesDir() / "fat/fat32-tree.img.gz", true, true},
                      FlsCase{test::FixturesDir() / "fat/fat16-512.img.gz", false, true},
                      FlsCase{test::FixturesDir() / "fat/fat32-highword-cleared.img.gz", true, true},
                      FlsCase{test::CorpusDir() / "fat/dftt-6-fat-undel.dd.gz", false, true},
                      FlsCase{test::CorpusDir() / "fat/dfir-fat16.img.gz", false, true},
                      FlsCase{test::CorpusDir() / "fat/dfir-fat32-lfn.img.gz", true, true},
                      FlsCase{test::CorpusDir() / "fat/dfir-fat32-deleted-dir.img.gz", true, true},
                      // Its deleted test_dir/4 names a cluster that now holds another live folder: no
                      // cluster reads as that folder any more, so the reader leaves the entry out.
                      FlsCase{test::CorpusDir() / "fat/dfir-fat32-loop.img.gz", true, false, "test_dir/n40/4/t1/"},
                      FlsCase{test::CorpusDir() / "fat/dfir-fat16-moved.img.gz", false, true}),
    [](const auto& param) { return test::TestNameFromPath(param.param.image.filename().string()); });

}  // namespace
}  // namespace orvaldi::fs
