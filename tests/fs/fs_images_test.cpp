// The FAT and NTFS readers on volumes made by mkfs.fat, mtools, mkntfs,
// ntfs-3g and Windows, and on others' images: checked against what the fixture
// scripts wrote and against The Sleuth Kit's fls.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include "disk/fs_family.h"
#include "fs/extract.h"
#include "fs/fat_reader.h"
#include "fs/fat_state.h"
#include "platform/sector_source.h"
#include "raw/raw_scan.h"
#include "support/ntfs_builder.h"
#include "support/test_images.h"
#include "support/tree_listing.h"

namespace orvaldi::fs {
namespace {

using test::ScannedNtfs;

struct Found {
  uint8_t kind = 0;
  uint64_t size = 0;
  uint64_t number = 0;  // first cluster on FAT, record on NTFS
};
using Listing = std::map<std::string, Found>;  // by path below the root ("a/b"), FAT paths folded

// A FAT name listed twice folds to one path, where the last one stays;
// `deletedFiles` counts nodes.
template <typename Node>
void Collect(const Node& node, const std::string& prefix, bool fat, Listing& out, size_t& deletedFiles) {
  for (const auto& child : node.children) {
    const std::string path = prefix.empty() ? child.name : prefix + "/" + child.name;
    const std::string key = fat ? test::FoldFatPath(path) : path;
    if (fat || !out.count(key)) out[key] = Found{KindOf(child.flags), child.size, test::NumberOf(child)};
    deletedFiles += KindOf(child.flags) == node_kind::kDeletedFile;
    Collect(child, path, fat, out, deletedFiles);
  }
}

Listing ScanFat(platform::SectorSource& src, bool fat32, FatMode mode, size_t* deletedFiles = nullptr) {
  size_t deleted = 0;
  Listing found;
  disk::DiskInfo disk;
  disk::PartitionInfo part;
  part.sectorCount = src.size() / 512;
  platform::ProgressBlock progress;
  EXPECT_TRUE(ScanFatVolume(&src, disk, part, fat32, mode, progress));
  if (const auto* state = FindFatState(part)) Collect(state->root, "", true, found, deleted);
  if (deletedFiles) *deletedFiles = deleted;
  return found;
}

Listing ScanFat(const std::vector<uint8_t>& bytes, bool fat32, FatMode mode, size_t* deletedFiles = nullptr) {
  platform::MemorySource src(bytes);
  return ScanFat(src, fat32, mode, deletedFiles);
}

Listing Paths(const NtfsNode& root) {
  Listing found;
  size_t deleted = 0;
  Collect(root, "", false, found, deleted);
  return found;
}

uint8_t KindFor(bool folder, bool deleted) {
  return folder ? (deleted ? node_kind::kDeletedFolder : node_kind::kFolder)
                : (deleted ? node_kind::kDeletedFile : node_kind::kFile);
}

// An 8.3 name: in upper case or, with `anyCase`, in one case (the lower-case
// flags show it in lower case); mixed case needs a long name.
bool ShortOnly(const std::string& path, bool anyCase = true) {
  const std::string base = path.substr(path.find_last_of('/') + 1);
  const bool upper = std::any_of(base.begin(), base.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
  const bool lower = std::any_of(base.begin(), base.end(), [](char c) { return c >= 'a' && c <= 'z'; });
  return base.size() <= 12 && !(upper && lower) && (anyCase || !lower) &&
         std::all_of(base.begin(), base.end(), [](char c) {
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
// with its kind, size and first cluster (FAT) or record number (NTFS, through
// ntfs-3g); a deleted NTFS item whose record was reused before the image was
// finished is the one exception.
void CheckManifest(const Listing& found, const std::filesystem::path& tsv, bool fat) {
  const auto rows = test::ReadManifest(tsv);
  std::set<std::string> deletedFolders;
  for (const auto& r : rows)
    if (r.at("path").ends_with('/') && r.at("state") == "deleted")
      deletedFolders.insert(r.at("path").substr(0, r.at("path").size() - 1));
  int checked = 0;
  for (const auto& r : rows) {
    std::string path = r.at("path");
    const bool folder = path.ends_with('/'), deleted = r.at("state") == "deleted";
    if (folder) path.pop_back();
    auto it = found.find(fat ? test::FoldFatPath(path) : path);
    if (fat && it == found.end()) it = found.find(test::FoldFatPath(DeletedView(path, deleted, deletedFolders)));
    if (!fat && deleted && it == found.end()) {
      // Reused: the record now holds a live file under another name.
      bool reused = false;
      for (const auto& [p, f] : found) reused |= f.number == std::stoull(r.at("record")) && !IsDeletedKind(f.kind);
      EXPECT_TRUE(reused) << path;
      continue;
    }
    ASSERT_NE(it, found.end()) << path << (deleted ? " (deleted)" : "") << " not listed";
    EXPECT_EQ(it->second.kind, KindFor(folder, deleted)) << path;
    if (!folder) {
      EXPECT_EQ(std::to_string(it->second.size), r.at("size")) << path;
    }
    if (!fat) {
      EXPECT_EQ(std::to_string(it->second.number), r.at("record")) << path;
    } else if (!r.at("first_cluster").empty()) {
      // A deleted file's entry may have lost the cluster's high word; only
      // folders get it back (by looking for their "." entry).
      const uint64_t mask = deleted && !folder ? 0xFFFF : 0xFFFFFFFF;
      EXPECT_EQ(it->second.number & mask, std::stoul(r.at("first_cluster")) & mask) << path;
    }
    ++checked;
  }
  EXPECT_GT(checked, fat ? 5 : 300);
}

struct FlsLine {
  bool folder = false;
  bool deleted = false;  // marked "*" in a listing of everything
  uint64_t entry = 0;    // "r/r 27-128-1:" gives 27; 0 for NTFS names found only in index slack
  std::vector<std::string> cols;
};

// fls's lines as "type entry:\tpath\t...", paths as the listing keys them;
// TSK's own entries ($-names, volume labels, orphan folders) left out, and on
// FAT what it lists as streams.
std::vector<FlsLine> Fls(const std::string& args, bool fat) {
  std::vector<FlsLine> out;
  std::istringstream lines(test::RunCommand("fls -r -p " + args).out);
  for (std::string line; std::getline(lines, line);) {
    const size_t tab = line.find(":\t");
    if (tab == std::string::npos || line.find("(Volume Label Entry)") != std::string::npos) continue;
    FlsLine l{line.starts_with("d/d"),
              line.find(" * ") != std::string::npos,
              std::strtoull(line.c_str() + line.find_last_of(' ', tab) + 1, nullptr, 10),
              {}};
    std::istringstream fields(line.substr(tab + 2));
    for (std::string col; std::getline(fields, col, '\t');) l.cols.push_back(col);
    if (l.cols.empty() || l.cols[0].empty() || l.cols[0][0] == '$' || (fat && l.cols[0].find(':') != std::string::npos))
      continue;
    if (fat) l.cols[0] = test::FoldFatPath(l.cols[0]);
    out.push_back(std::move(l));
  }
  return out;
}

struct ImageCase {
  std::filesystem::path image;
  disk::FsFamily family;
  bool manifest = false;  // a fixture whose script wrote a .files.tsv
  bool fls = true;
  bool checkDeleted = true;
  const char* loopBelow = nullptr;  // fls lists one more round of a folder loop below here
  uint64_t startSector = 0;
};

void PrintTo(const ImageCase& c, std::ostream* os) { *os << c.image.filename(); }

// fls agrees on the paths, kinds and sizes of allocated files and folders and,
// with `checkDeleted`, lists no deleted name the reader lacks or shows as
// existing: fls counts everything below a deleted folder as deleted, the
// reader keeps each entry's own state, so a deleted folder above it will do.
void CheckFls(const Listing& found, const std::string& args, const ImageCase& c) {
  const bool fat = c.family != disk::FsFamily::kNtfs;
  int seen = 0;
  for (const FlsLine& l : Fls("-l " + args, fat)) {
    const std::string& path = l.cols[0];
    // Below a folder that points back at a folder above it, fls lists one more
    // round of the loop; the reader stops at the cluster it has read already.
    if (l.deleted || l.cols.size() < 6 || (c.loopBelow && path.starts_with(c.loopBelow))) continue;
    const auto it = found.find(path);
    ASSERT_NE(it, found.end()) << path;
    if (!fat) {
      EXPECT_EQ(it->second.number, l.entry) << path;
    }
    EXPECT_EQ(it->second.kind, l.folder ? node_kind::kFolder : node_kind::kFile) << path;
    if (!l.folder) {
      EXPECT_EQ(std::to_string(it->second.size), l.cols[5]) << path;
    }
    ++seen;
  }
  for (const FlsLine& l : c.checkDeleted ? Fls("-d " + args, fat) : std::vector<FlsLine>{}) {
    if (l.entry == 0) continue;
    ++seen;
    bool deletedSeen = false;
    for (std::string probe = l.cols[0];; probe.resize(probe.find_last_of('/'))) {
      const auto it = found.find(probe);
      ASSERT_TRUE(probe != l.cols[0] || it != found.end()) << probe << " (deleted)";
      deletedSeen |= it != found.end() && IsDeletedKind(it->second.kind);
      if (probe.find('/') == std::string::npos) break;
    }
    EXPECT_TRUE(deletedSeen) << l.cols[0];
  }
  EXPECT_GT(seen, 0) << "fls printed nothing we could read";
}

class FsImages : public ::testing::TestWithParam<ImageCase> {};

TEST_P(FsImages, MatchTheManifestAndFls) {
  const ImageCase& c = GetParam();
  auto bytes = test::LoadImage(c.image);
  if (!bytes) GTEST_SKIP() << "image absent: " << c.image;
  const bool fat = c.family != disk::FsFamily::kNtfs;
  test::TempDir dir;
  const std::string args =
      "-o " + std::to_string(c.startSector) + " " + test::ShellQuote(dir.write("volume.img", *bytes).string());
  Listing found;
  if (fat) {
    found = ScanFat(*bytes, c.family == disk::FsFamily::kFat32, FatMode::kWalk);
  } else {
    const ScannedNtfs v(std::move(*bytes), ScannedNtfs::How::kWalk, c.startSector);
    ASSERT_TRUE(v.ok);
    found = Paths(v.state().root);
  }
  const auto tsv = c.image.parent_path() / (c.image.stem().stem().string() + ".files.tsv");
  if (c.manifest) CheckManifest(found, tsv, fat);
  if (!c.fls) return;
  if (test::RunCommand("command -v fls").exitCode != 0) GTEST_SKIP() << "fls not installed";
  CheckFls(found, args, c);
}

using disk::FsFamily;
const auto kFatFixtures = test::FixturesDir() / "fat";
const auto kFatCorpus = test::CorpusDir() / "fat";
const auto kNtfsCorpus = test::CorpusDir() / "ntfs";

INSTANTIATE_TEST_SUITE_P(
    Images, FsImages,
    ::testing::Values(
        ImageCase{kFatFixtures / "fat32-tree.img.gz", FsFamily::kFat32, true},
        ImageCase{kFatFixtures / "fat16-512.img.gz", FsFamily::kFat16, true},
        ImageCase{kFatFixtures / "fat32-highword.img.gz", FsFamily::kFat32, true, false},
        ImageCase{kFatFixtures / "fat32-highword-cleared.img.gz", FsFamily::kFat32, true},
        ImageCase{kFatCorpus / "dftt-6-fat-undel.dd.gz", FsFamily::kFat16},
        ImageCase{kFatCorpus / "dfir-fat16.img.gz", FsFamily::kFat16},
        ImageCase{kFatCorpus / "dfir-fat32-lfn.img.gz", FsFamily::kFat32},
        ImageCase{kFatCorpus / "dfir-fat32-deleted-dir.img.gz", FsFamily::kFat32},
        // Its deleted test_dir/4 names a cluster that now holds another live folder: no
        // cluster reads as that folder any more, so the reader leaves the entry out.
        ImageCase{kFatCorpus / "dfir-fat32-loop.img.gz", FsFamily::kFat32, false, true, false, "test_dir/n40/4/t1/"},
        ImageCase{kFatCorpus / "dfir-fat16-moved.img.gz", FsFamily::kFat16},
        ImageCase{test::DemoImageGz(), FsFamily::kNtfs, false, true, true, nullptr, 83968},
        ImageCase{test::FixturesDir() / "ntfs/ntfs-tree.img.gz", FsFamily::kNtfs, true},
        ImageCase{test::FixturesDir() / "ntfs/ntfs-streams.img.gz", FsFamily::kNtfs},
        ImageCase{kNtfsCorpus / "dissect-ntfs-win.img.gz", FsFamily::kNtfs},
        ImageCase{kNtfsCorpus / "dftt-7-ntfs-undel.dd.gz", FsFamily::kNtfs},
        ImageCase{kNtfsCorpus / "dftt-8-jpeg-search.dd.gz", FsFamily::kNtfs},
        ImageCase{kNtfsCorpus / "colinfinck-testfs1.img.gz", FsFamily::kNtfs},
        ImageCase{kNtfsCorpus / "dfir-ntfs-index-disk.img.gz", FsFamily::kNtfs, false, true, true, nullptr, 128},
        ImageCase{kNtfsCorpus / "ns-ntfs-ptrn-lastaccess-disk.img.gz", FsFamily::kNtfs, false, true, true, nullptr,
                  128},
        ImageCase{kNtfsCorpus / "dfir-ntfs3-attrlist.img.gz", FsFamily::kNtfs},
        ImageCase{kNtfsCorpus / "dfvfs-windows-volume.img.gz", FsFamily::kNtfs}),
    [](const auto& param) { return test::TestNameFromPath(param.param.image.filename().string()); });

size_t CountIf(const Listing& found, const std::function<bool(const std::string&, const Found&)>& pick) {
  return static_cast<size_t>(
      std::count_if(found.begin(), found.end(), [&](const auto& f) { return pick(f.first, f.second); }));
}

TEST(FatImagesSearch, FormattedVolumesShowTheirOldFolders) {
  // A quick format: the new root knows only the new file; the search finds
  // the old folders by their clusters, and with them every file inside.
  const auto reformatted = test::LoadImage(kFatFixtures / "fat32-reformatted.img.gz");
  ASSERT_TRUE(reformatted);
  EXPECT_EQ(ScanFat(*reformatted, true, FatMode::kWalk).count("new.txt"), 1u);
  const Listing searched = ScanFat(*reformatted, true, FatMode::kSearch);
  int oldFiles = 0;
  for (const auto& row : test::ReadManifest(kFatFixtures / "fat32-reformatted.files.tsv")) {
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
  const auto made =
      test::RunCommand("cd " + test::ShellQuote(dir.path().string()) +
                       " && export PATH=\"$PATH:/usr/sbin:/sbin\" MTOOLS_SKIP_CHECK=1"
                       " && truncate -s 40M card.img && mkfs.fat -F 32 -s 1 card.img >/dev/null && mkdir pics"
                       " && for i in $(seq 1 40); do printf 'picture %d\\n' $i >\"pics/Picture number $i.jpg\"; done"
                       " && mmd -i card.img ::DCIM ::DCIM/100CAM01 && mcopy -i card.img pics/* ::DCIM/100CAM01/"
                       " && mkfs.fat -F 32 -s 1 card.img >/dev/null");
  if (made.exitCode != 0) GTEST_SKIP() << "mkfs.fat or mtools missing: " << made.err;
  const auto card = test::LoadImage(dir.path() / "card.img");
  EXPECT_EQ(
      CountIf(ScanFat(*card, true, FatMode::kSearch),
              [](const std::string& p, const Found& f) { return p.ends_with(".jpg") && f.kind == node_kind::kFile; }),
      40u);

  // A deleted folder of 486 entries that no other entry names: only the
  // search finds its clusters, and it lists every entry they hold.
  const auto deletedDir = test::LoadImage(kFatCorpus / "dfir-fat32-deleted-dir.img.gz");
  if (!deletedDir) GTEST_SKIP() << "corpus image absent";
  size_t deletedFiles = 0;
  ScanFat(*deletedDir, true, FatMode::kSearch, &deletedFiles);
  EXPECT_GE(deletedFiles, 486u);
}

// A folder of 3,001 empty files (four entries each: 256 to a 32 KiB cluster),
// deleted, then the volume formatted again. mtools takes FAT32 only from
// 65,525 clusters on, so the image is a sparse 2.1 GB file read in place.
TEST(FatImages, DeletedFolderOverSeveralClustersThenReformatted) {
  test::TempDir dir;
  const std::string at = test::ShellQuote(dir.path().string());
  const auto made =
      test::RunCommand("cd " + at +
                       " && export PATH=\"$PATH:/usr/sbin:/sbin\" MTOOLS_SKIP_CHECK=1"
                       " && truncate -s 2100M v.img && mkfs.fat -F 32 -s 64 v.img >/dev/null 2>&1 && mkdir f"
                       " && for i in $(seq 1 3001); do : >\"f/$i deleted with its folder.txt\"; done"
                       " && mmd -i v.img ::BIG && mcopy -i v.img f/* ::BIG/ && mdeltree -i v.img ::BIG"
                       " && cp --sparse=always v.img r.img && mkfs.fat -F 32 -s 64 r.img >/dev/null 2>&1"
                       " && echo new >new.txt && mcopy -i r.img new.txt ::");
  if (made.exitCode != 0) GTEST_SKIP() << "mkfs.fat or mtools missing: " << made.err;
  // Each name once, under its long name wherever a cluster boundary cuts it.
  auto written = [](const Listing& found, uint8_t kind) {
    std::set<std::string> names;
    for (const auto& [path, f] : found) {
      const std::string base = path.substr(path.find_last_of('/') + 1);
      if (f.kind == kind && base.ends_with(" deleted with its folder.txt")) names.insert(base);
    }
    return names.size();
  };
  auto open = [&](const char* name) { return platform::FileSource::open((dir.path() / name).string()).source; };
  const auto deleted = open("v.img");
  ASSERT_TRUE(deleted);
  EXPECT_EQ(written(ScanFat(*deleted, true, FatMode::kWalk), node_kind::kDeletedFile), 3001u);
  const auto reformatted = open("r.img");
  ASSERT_TRUE(reformatted);
  const Listing searched = ScanFat(*reformatted, true, FatMode::kSearch);
  EXPECT_EQ(written(searched, node_kind::kDeletedFile), 3001u);
  EXPECT_EQ(searched.count("new.txt"), 1u);  // the root's own file
}

// A deleted folder of mkfs.fat's volumes over its later clusters, and a moved
// folder whose stale entry keeps no content: the live copy holds it.
TEST(FatImages, DeletedAndMovedFoldersOfOthersImages) {
  const auto deletedDir = test::LoadImage(kFatCorpus / "dfir-fat32-deleted-dir.img.gz");
  const auto moved = test::LoadImage(kFatCorpus / "dfir-fat16-moved.img.gz");
  if (!deletedDir || !moved) GTEST_SKIP() << "corpus image absent";
  size_t deletedFiles = 0;
  ScanFat(*deletedDir, true, FatMode::kWalk, &deletedFiles);
  EXPECT_GE(deletedFiles, 486u);
  const Listing found = ScanFat(*moved, false, FatMode::kWalk);
  EXPECT_EQ(found.at("test/1/_1").kind, node_kind::kDeletedFolder);
  EXPECT_EQ(found.at("test/2/11/1.txt").kind, node_kind::kFile);
  EXPECT_EQ(found.count("test/1/_1/1.txt"), 0u);
}

// fat32-tree's two FATs: 536 sectors each, the first at sector 32.
constexpr size_t kTreeFat = 32 * 512, kTreeFatBytes = 536 * 512;

// A FAT32 volume whose boot sector and backup are gone is rebuilt by the raw
// scan from its FATs. When the FAT still reads as one, its chains join each
// folder's clusters (the root's two, Reports/'s eight, not all adjacent):
// every file is in place and copies whole through its chain. When the FAT's
// entries are gone or junk, each listed cluster stands alone as before.
TEST(FatImages, VolumeRebuiltByTheRawScanFollowsASoundFat) {
  const auto tree = test::LoadImage(kFatFixtures / "fat32-tree.img.gz");
  ASSERT_TRUE(tree);
  const auto tsv = kFatFixtures / "fat32-tree.files.tsv";
  struct Case {
    const char* what;
    void (*spoil)(uint8_t* fat);  // applied to both copies, after the two table-start entries
    bool chains;
  };
  const Case cases[] = {
      {"FAT intact", nullptr, true},
      {"entries zeroed", [](uint8_t* fat) { std::fill(fat + 8, fat + kTreeFatBytes, 0); }, false},
      {"entries overwritten",
       [](uint8_t* fat) {
         for (size_t i = 8; i < kTreeFatBytes; ++i) fat[i] = static_cast<uint8_t>(i * 37 + (i >> 9));
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto image = *tree;
    std::fill_n(image.begin(), 512, 0);            // the boot sector
    std::fill_n(image.begin() + 6 * 512, 512, 0);  // its backup
    if (c.spoil)
      for (size_t copy = 0; copy < 2; ++copy) c.spoil(image.data() + kTreeFat + copy * kTreeFatBytes);
    platform::MemorySource src(image);
    disk::DiskInfo disk;
    disk.sizeBytes = static_cast<int64_t>(image.size());
    platform::ProgressBlock progress;
    ASSERT_EQ(raw::RawDiskScan(&src, disk, progress, 0, image.size() / 512), 1);
    ASSERT_EQ(disk.partitions.size(), 1u);
    disk::PartitionInfo& volume = disk.partitions[0];
    ASSERT_EQ(volume.origin, disk::PartitionOrigin::kRebuilt);
    ASSERT_EQ(volume.startSector, 0u);  // from the FSInfo sector
    ASSERT_TRUE(ScanFatVolume(&src, disk, volume, true, FatMode::kWalk, progress));
    const FatScanState* state = FindFatState(volume);
    ASSERT_NE(state, nullptr);
    Listing found;
    size_t deleted = 0;
    Collect(state->root, "", true, found, deleted);
    if (!c.chains) {
      EXPECT_EQ(found.count("reports/report week 01.txt"), 1u);
      EXPECT_EQ(found.count("reports/report week 40.txt"), 0u);
      EXPECT_FALSE(state->orphans.children.empty());
      continue;
    }
    EXPECT_TRUE(state->orphans.children.empty());
    CheckManifest(found, tsv, true);
    test::TempDir dir;
    std::map<std::string, std::string> expected;
    for (const auto& r : test::ReadManifest(tsv)) {
      if (r.at("state") != "live" || r.at("path").ends_with('/')) continue;
      const Found& f = found.at(test::FoldFatPath(r.at("path")));
      MemorySink sink;
      const CopyResult copied = CopyFatChain(&src, volume, *state, static_cast<uint32_t>(f.number), f.size, sink, {});
      EXPECT_FALSE(copied.damaged) << r.at("path");
      const std::string name = std::to_string(expected.size());
      dir.write(name, sink.bytes);
      expected[name] = r.at("sha256");
    }
    EXPECT_EQ(test::Sha256Tree(dir.path()), expected);
  }
}

// Record 27 of the ntfs3-written volume keeps a 3,328-byte attribute list in
// clusters; its data is resident in extension record 28 (icat gives "123\n").
TEST(NtfsImages, DataNamedByAnAttributeListInClusters) {
  auto bytes = test::LoadImage(test::CorpusDir() / "ntfs/dfir-ntfs3-attrlist.img.gz");
  if (!bytes) GTEST_SKIP() << "corpus image absent";
  ScannedNtfs v(std::move(*bytes));
  ASSERT_TRUE(v.ok);
  EXPECT_EQ(Paths(v.state().root).at("11.txt").number, 27u);
  DecodedRecord record;
  ASSERT_TRUE(ReadNtfsRecord(&v.src, v.part, v.state(), 27, record));
  MemorySink sink;
  EXPECT_FALSE(CopyNtfsData(&v.src, v.part, record, sink, {}).damaged);
  EXPECT_EQ(sink.bytes, std::vector<uint8_t>({'1', '2', '3', '\n'}));
}

}  // namespace
}  // namespace orvaldi::fs
