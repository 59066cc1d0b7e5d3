// The NTFS reader on volumes made by Windows, mkntfs and ntfs-3g, checked against The Sleuth Kit's fls.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "disk/partition_table.h"
#include "fs/extract.h"
#include "fs/ntfs_reader.h"
#include "fs/ntfs_state.h"
#include "platform/sector_source.h"
#include "support/test_images.h"

namespace orvaldi::fs {
namespace {

struct Found {
  uint8_t kind = 0;
  uint64_t size = 0;
  uint64_t record = 0;
};

// The MFT entry fls names a line by ("r/r 27-128-1:\tname" gives 27); 0 for
// names found only in index slack.
uint64_t FlsEntry(const std::string& line) {
  const size_t colon = line.find(":\t");
  size_t start = line.find_last_of(" ", colon);
  if (start == std::string::npos || colon == std::string::npos) return 0;
  return std::strtoull(line.c_str() + start + 1, nullptr, 10);
}

void Collect(const NtfsNode& node, const std::string& prefix, std::map<std::string, Found>& out) {
  for (const auto& child : node.children) {
    const std::string path = prefix.empty() ? child.name : prefix + "/" + child.name;
    out.emplace(path, Found{KindOf(child.flags), child.size, child.recordNumber});
    Collect(child, path, out);
  }
}

struct NtfsCase {
  std::filesystem::path image;
  uint64_t startSector = 0;
  // Paths (prefixes) that fls shows in a place the reader does not, with the reason in the table below.
  std::vector<std::string> elsewhere = {};
};

void PrintTo(const NtfsCase& c, std::ostream* os) { *os << c.image.filename(); }

class NtfsFls : public ::testing::TestWithParam<NtfsCase> {};

TEST_P(NtfsFls, SamePathsAndSizesAndEveryDeletedNameListed) {
  const NtfsCase& c = GetParam();
  auto bytes = test::LoadImage(c.image);
  if (!bytes) GTEST_SKIP() << "image absent: " << c.image;
  if (test::RunCommand("command -v fls").exitCode != 0) GTEST_SKIP() << "fls not installed";

  disk::DiskInfo disk;
  disk::PartitionInfo part;
  part.startSector = c.startSector;
  part.sectorCount = bytes->size() / 512 - c.startSector;
  part.typeByte = 0x07;
  platform::MemorySource src(*bytes);
  platform::ProgressBlock progress;
  ASSERT_TRUE(ScanNtfsVolume(&src, disk, part, progress));
  const NtfsScanState& state = *FindNtfsState(part);
  std::map<std::string, Found> found;
  Collect(state.root, "", found);
  std::set<uint64_t> records;
  for (const auto& [path, f] : found) records.insert(f.record);

  test::TempDir dir;
  const auto raw = dir.write("disk.img", *bytes);
  const std::string offset = " -o " + std::to_string(c.startSector) + " '" + raw.string() + "'";
  const auto all = test::RunCommand("fls -r -p -l" + offset);
  ASSERT_EQ(all.exitCode, 0) << all.err;
  auto skipped = [&](const std::string& path) {
    if (path.empty() || path[0] == '$' || path.find(':') != std::string::npos) return true;  // metadata, streams
    for (const auto& prefix : c.elsewhere)
      if (path.rfind(prefix, 0) == 0) return true;
    return false;
  };
  std::istringstream lines(all.out);
  std::string line;
  int files = 0;
  while (std::getline(lines, line)) {
    const size_t tab = line.find(":\t");
    if (tab == std::string::npos || line.find(" * ") != std::string::npos) continue;
    std::vector<std::string> cols;
    std::istringstream fields(line.substr(tab + 2));
    std::string col;
    while (std::getline(fields, col, '\t')) cols.push_back(col);
    if (cols.size() < 6 || skipped(cols[0])) continue;
    const auto it = found.find(cols[0]);
    // A record with several hard-link names is one node, under one name.
    if (it == found.end() && records.count(FlsEntry(line))) continue;
    ASSERT_NE(it, found.end()) << cols[0];
    if (line.rfind("d/d", 0) == 0) {
      EXPECT_EQ(it->second.kind, node_kind::kFolder) << cols[0];
    } else {
      EXPECT_EQ(it->second.kind, node_kind::kFile) << cols[0];
      EXPECT_EQ(it->second.size, std::stoull(cols[5])) << cols[0];
      ++files;
    }
  }
  EXPECT_GT(files, 0);

  // Deleted names: under their folder, as deleted (or below a deleted folder).
  const auto deleted = test::RunCommand("fls -rd -p" + offset);
  std::istringstream dl(deleted.out);
  while (std::getline(dl, line)) {
    const size_t tab = line.find(":\t");
    if (tab == std::string::npos) continue;
    const std::string path = line.substr(tab + 2);
    // Names kept only in a folder's index slack have no record to read.
    if (skipped(path) || FlsEntry(line) == 0) continue;
    std::string probe = path;
    bool deletedSeen = false;
    const bool listed = found.count(path) != 0;
    while (true) {
      const auto it = found.find(probe);
      if (it != found.end() && IsDeletedKind(it->second.kind)) deletedSeen = true;
      const size_t slash = probe.find_last_of('/');
      if (slash == std::string::npos) break;
      probe.resize(slash);
    }
    EXPECT_TRUE(listed) << path << " (deleted)";
    EXPECT_TRUE(deletedSeen) << path;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Images, NtfsFls,
    ::testing::Values(NtfsCase{test::DemoImageGz(), 83968},
                      NtfsCase{test::FixturesDir() / "ntfs/ntfs-tree.img.gz", 0},
                      NtfsCase{test::CorpusDir() / "ntfs/dissect-ntfs-win.img.gz", 0},
                      NtfsCase{test::CorpusDir() / "ntfs/dftt-7-ntfs-undel.dd.gz", 0},
                      NtfsCase{test::CorpusDir() / "ntfs/dftt-8-jpeg-search.dd.gz", 0},
                      NtfsCase{test::CorpusDir() / "ntfs/colinfinck-testfs1.img.gz", 0},
                      NtfsCase{test::CorpusDir() / "ntfs/dfir-ntfs-index-disk.img.gz", 128},
                      NtfsCase{test::CorpusDir() / "ntfs/ns-ntfs-ptrn-lastaccess-disk.img.gz", 128},
                      NtfsCase{test::CorpusDir() / "ntfs/dfir-ntfs3-attrlist.img.gz", 0},
                      NtfsCase{test::CorpusDir() / "ntfs/dfvfs-windows-volume.img.gz", 0}),
    [](const auto& param) { return test::TestNameFromPath(param.param.image.filename().string()); });

// An NTFS volume that fills a whole image, scanned.
struct WholeVolume {
  explicit WholeVolume(std::vector<uint8_t> image) : src(std::move(image)) {
    part.typeByte = 0x07;
    part.sectorCount = src.size() / 512;
    platform::ProgressBlock progress;
    scanned = ScanNtfsVolume(&src, disk, part, progress);
  }
  const NtfsScanState& state() const { return *FindNtfsState(part); }
  platform::MemorySource src;
  disk::DiskInfo disk;
  disk::PartitionInfo part;
  bool scanned = false;
};

// Every file and folder the fixture script wrote through ntfs-3g is listed at
// its path with its size, state and record number; a deleted item whose
// record was reused before the image was finished is the one exception.
TEST(NtfsFixture, MatchesWhatTheScriptWrote) {
  const auto dir = test::FixturesDir() / "ntfs";
  auto bytes = test::LoadImage(dir / "ntfs-tree.img.gz");
  ASSERT_TRUE(bytes);
  const WholeVolume v(std::move(*bytes));
  ASSERT_TRUE(v.scanned);
  std::map<std::string, Found> found;
  Collect(v.state().root, "", found);

  std::ifstream manifest(dir / "ntfs-tree.files.tsv");
  ASSERT_TRUE(manifest);
  std::string line;
  std::getline(manifest, line);
  int checked = 0;
  while (std::getline(manifest, line)) {
    std::istringstream fields(line);
    std::string path, size, sha, state, record, parent;
    std::getline(fields, path, '\t');
    std::getline(fields, size, '\t');
    std::getline(fields, sha, '\t');
    std::getline(fields, state, '\t');
    std::getline(fields, record, '\t');
    std::getline(fields, parent, '\t');
    const bool folder = path.back() == '/';
    if (folder) path.pop_back();
    const bool deleted = state == "deleted";
    const auto it = found.find(path);
    if (deleted && it == found.end()) {
      // Reused: the record now holds a live file under another name.
      bool reused = false;
      for (const auto& [p, f] : found) reused |= f.record == std::stoull(record) && !IsDeletedKind(f.kind);
      EXPECT_TRUE(reused) << path;
      continue;
    }
    ASSERT_NE(it, found.end()) << path;
    const uint8_t kind = folder ? (deleted ? node_kind::kDeletedFolder : node_kind::kFolder)
                                : (deleted ? node_kind::kDeletedFile : node_kind::kFile);
    EXPECT_EQ(it->second.kind, kind) << path;
    EXPECT_EQ(std::to_string(it->second.record), record) << path;
    if (!folder) {
      EXPECT_EQ(std::to_string(it->second.size), size) << path;
    }
    ++checked;
  }
  EXPECT_GT(checked, 300);
}

const NtfsNode* ChildNamed(const NtfsNode& folder, const std::string& name) {
  for (const auto& child : folder.children)
    if (child.name == name) return &child;
  return nullptr;
}

std::vector<uint8_t> CopyOut(platform::SectorSource& src, const disk::PartitionInfo& part, const NtfsNode& node,
                             CopyResult& result) {
  DecodedRecord record;
  EXPECT_TRUE(ReadNtfsRecord(&src, part, *FindNtfsState(part), node.recordNumber, record)) << node.name;
  MemorySink sink;
  result = CopyNtfsData(&src, part, record, sink, {});
  return sink.bytes;
}

// Record 27 of the ntfs3-written volume keeps a 3,328-byte attribute list in
// clusters; its data is resident in extension record 28 (icat gives "123\n").
TEST(NtfsImages, DataNamedByAnAttributeListInClusters) {
  auto bytes = test::LoadImage(test::CorpusDir() / "ntfs/dfir-ntfs3-attrlist.img.gz");
  if (!bytes) GTEST_SKIP() << "corpus image absent";
  WholeVolume v(std::move(*bytes));
  ASSERT_TRUE(v.scanned);
  const NtfsNode* file = ChildNamed(v.state().root, "11.txt");
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->recordNumber, 27u);
  CopyResult result;
  EXPECT_EQ(CopyOut(v.src, v.part, *file, result), std::vector<uint8_t>({'1', '2', '3', '\n'}));
  EXPECT_FALSE(result.damaged);
}

// A volume made by mkntfs on a file and filled through ntfs-3g: sector 0 is
// a volume recording 0 hidden sectors, and a compressed file of 102,400
// random bytes keeps its incompressible tail (9 of 16 clusters) with no
// sparse run after it. Skipped where mkntfs, or a FUSE mount, is not to be had.
TEST(NtfsImages, MadeByMkntfsAndNtfs3g) {
  if (test::RunCommand("command -v mkntfs").exitCode != 0) GTEST_SKIP() << "mkntfs not installed";
  test::TempDir dir;
  const std::string at = test::ShellQuote(dir.path().string());
  ASSERT_EQ(test::RunCommand("cd " + at + " && truncate -s 8M v.img && mkntfs -F -Q -q v.img").exitCode, 0);
  auto bytes = test::LoadImage(dir.path() / "v.img");
  ASSERT_TRUE(bytes);
  {
    disk::DiskInfo disk;
    platform::MemorySource src(*bytes);
    disk::EnumeratePartitions(src, disk, "v.img");
    ASSERT_EQ(disk.partitions.size(), 1u);
    EXPECT_EQ(disk.partitions[0].typeByte, 0x07);
  }

  std::vector<uint8_t> data(102400);
  std::mt19937 random(12);
  for (auto& b : data) b = static_cast<uint8_t>(random());
  dir.write("tail.bin", data);
  const auto mounted = test::RunCommand(
      "cd " + at + " && [ -c /dev/fuse ] && command -v ntfs-3g setfattr fusermount >/dev/null || exit 77; "
      "mkdir m && { ntfs-3g -o no_detach,compression v.img m >/dev/null 2>&1 & pid=$!; }; "
      "for i in $(seq 100); do mountpoint -q m && break; sleep 0.1; done; mountpoint -q m || exit 77; "
      "mkdir m/c && setfattr -n system.ntfs_attrib_be -v 0x00000800 m/c && cp tail.bin m/c/; r=$?; "
      "sync; fusermount -u m; wait $pid; exit $r");
  if (mounted.exitCode == 77) GTEST_SKIP() << "no FUSE mount with ntfs-3g here";
  ASSERT_EQ(mounted.exitCode, 0) << mounted.err;
  bytes = test::LoadImage(dir.path() / "v.img");
  ASSERT_TRUE(bytes);
  WholeVolume v(std::move(*bytes));
  ASSERT_TRUE(v.scanned);
  const NtfsNode* folder = ChildNamed(v.state().root, "c");
  ASSERT_NE(folder, nullptr);
  const NtfsNode* file = ChildNamed(*folder, "tail.bin");
  ASSERT_NE(file, nullptr);
  CopyResult result;
  EXPECT_EQ(CopyOut(v.src, v.part, *file, result), data);
  EXPECT_FALSE(result.damaged);
}

}  // namespace
}  // namespace orvaldi::fs
