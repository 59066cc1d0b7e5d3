// The NTFS reader on volumes made by Windows, mkntfs and ntfs-3g, checked against The Sleuth Kit's fls.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <sstream>

#include "disk/partition_table.h"
#include "fs/extract.h"
#include "support/ntfs_builder.h"
#include "support/test_images.h"

namespace orvaldi::fs {
namespace {

using test::ScannedNtfs;

struct Found {
  uint8_t kind = 0;
  uint64_t size = 0;
  uint64_t record = 0;
};

// Every node below `node` by its path ("a/b").
std::map<std::string, Found> Paths(const NtfsNode& node, const std::string& prefix = "") {
  std::map<std::string, Found> out;
  for (const auto& child : node.children) {
    const std::string path = prefix.empty() ? child.name : prefix + "/" + child.name;
    out.emplace(path, Found{KindOf(child.flags), child.size, child.recordNumber});
    out.merge(Paths(child, path));
  }
  return out;
}

// The tab-separated fields after fls's "type inode:\t", and the MFT entry
// ("r/r 27-128-1:" gives 27; 0 for names found only in index slack).
std::vector<std::string> FlsFields(const std::string& line, uint64_t& entry) {
  const size_t colon = line.find(":\t");
  if (colon == std::string::npos) return {};
  entry = std::strtoull(line.c_str() + line.find_last_of(' ', colon) + 1, nullptr, 10);
  std::vector<std::string> fields;
  std::istringstream in(line.substr(colon + 2));
  for (std::string f; std::getline(in, f, '\t');) fields.push_back(f);
  return fields;
}

struct NtfsCase {
  std::filesystem::path image;
  uint64_t startSector = 0;
};

void PrintTo(const NtfsCase& c, std::ostream* os) { *os << c.image.filename(); }

class NtfsFls : public ::testing::TestWithParam<NtfsCase> {};

// Same paths, kinds and sizes as fls, and every deleted name fls finds a
// record for is listed under its folder, as deleted (or below a deleted folder).
TEST_P(NtfsFls, SamePathsAndSizesAndEveryDeletedNameListed) {
  const NtfsCase& c = GetParam();
  auto bytes = test::LoadImage(c.image);
  if (!bytes) GTEST_SKIP() << "image absent: " << c.image;
  if (test::RunCommand("command -v fls").exitCode != 0) GTEST_SKIP() << "fls not installed";
  test::TempDir dir;
  const std::string fls = " -o " + std::to_string(c.startSector) + " " + test::ShellQuote(dir.write("disk.img", *bytes).string());
  const ScannedNtfs v(std::move(*bytes), ScannedNtfs::How::kWalk, c.startSector);
  ASSERT_TRUE(v.ok);
  const auto found = Paths(v.state().root);
  std::set<uint64_t> records;
  for (const auto& [path, f] : found) records.insert(f.record);
  auto skipped = [](const std::string& path) { return path.empty() || path[0] == '$' || path.find(':') != path.npos; };

  const auto all = test::RunCommand("fls -r -p -l" + fls);
  ASSERT_EQ(all.exitCode, 0) << all.err;
  std::istringstream lines(all.out);
  int files = 0;
  for (std::string line; std::getline(lines, line);) {
    uint64_t entry = 0;
    const auto cols = FlsFields(line, entry);
    if (cols.size() < 6 || line.find(" * ") != line.npos || skipped(cols[0])) continue;
    const auto it = found.find(cols[0]);
    if (it == found.end() && records.count(entry)) continue;  // another hard-link name of one node
    ASSERT_NE(it, found.end()) << cols[0];
    const bool folder = line.rfind("d/d", 0) == 0;
    EXPECT_EQ(it->second.kind, folder ? node_kind::kFolder : node_kind::kFile) << cols[0];
    if (!folder) {
      EXPECT_EQ(it->second.size, std::stoull(cols[5])) << cols[0];
      ++files;
    }
  }
  EXPECT_GT(files, 0);

  std::istringstream deleted(test::RunCommand("fls -rd -p" + fls).out);
  for (std::string line; std::getline(deleted, line);) {
    uint64_t entry = 0;
    const auto cols = FlsFields(line, entry);
    if (cols.empty() || skipped(cols[0]) || entry == 0) continue;
    EXPECT_TRUE(found.count(cols[0])) << cols[0] << " (deleted)";
    bool deletedSeen = false;
    for (std::string probe = cols[0];; probe.resize(probe.find_last_of('/'))) {
      const auto it = found.find(probe);
      deletedSeen |= it != found.end() && IsDeletedKind(it->second.kind);
      if (probe.find('/') == probe.npos) break;
    }
    EXPECT_TRUE(deletedSeen) << cols[0];
  }
}

INSTANTIATE_TEST_SUITE_P(
    Images, NtfsFls,
    ::testing::Values(NtfsCase{test::DemoImageGz(), 83968}, NtfsCase{test::FixturesDir() / "ntfs/ntfs-tree.img.gz"},
                      NtfsCase{test::CorpusDir() / "ntfs/dissect-ntfs-win.img.gz"},
                      NtfsCase{test::CorpusDir() / "ntfs/dftt-7-ntfs-undel.dd.gz"},
                      NtfsCase{test::CorpusDir() / "ntfs/dftt-8-jpeg-search.dd.gz"},
                      NtfsCase{test::CorpusDir() / "ntfs/colinfinck-testfs1.img.gz"},
                      NtfsCase{test::CorpusDir() / "ntfs/dfir-ntfs-index-disk.img.gz", 128},
                      NtfsCase{test::CorpusDir() / "ntfs/ns-ntfs-ptrn-lastaccess-disk.img.gz", 128},
                      NtfsCase{test::CorpusDir() / "ntfs/dfir-ntfs3-attrlist.img.gz"},
                      NtfsCase{test::CorpusDir() / "ntfs/dfvfs-windows-volume.img.gz"}),
    [](const auto& param) { return test::TestNameFromPath(param.param.image.filename().string()); });

// Every file and folder the fixture script wrote through ntfs-3g is listed at
// its path with its size, state and record number; a deleted item whose
// record was reused before the image was finished is the one exception.
TEST(NtfsFixture, MatchesWhatTheScriptWrote) {
  const auto dir = test::FixturesDir() / "ntfs";
  auto bytes = test::LoadImage(dir / "ntfs-tree.img.gz");
  ASSERT_TRUE(bytes);
  const ScannedNtfs v(std::move(*bytes));
  ASSERT_TRUE(v.ok);
  const auto found = Paths(v.state().root);
  int checked = 0;
  for (const auto& row : test::ReadManifest(dir / "ntfs-tree.files.tsv")) {
    std::string path = row.at("path");
    const bool folder = path.back() == '/';
    if (folder) path.pop_back();
    const bool deleted = row.at("state") == "deleted";
    const auto it = found.find(path);
    if (deleted && it == found.end()) {
      // Reused: the record now holds a live file under another name.
      bool reused = false;
      for (const auto& [p, f] : found) reused |= f.record == std::stoull(row.at("record")) && !IsDeletedKind(f.kind);
      EXPECT_TRUE(reused) << path;
      continue;
    }
    ASSERT_NE(it, found.end()) << path;
    const uint8_t kind = folder ? (deleted ? node_kind::kDeletedFolder : node_kind::kFolder)
                                : (deleted ? node_kind::kDeletedFile : node_kind::kFile);
    EXPECT_EQ(it->second.kind, kind) << path;
    EXPECT_EQ(std::to_string(it->second.record), row.at("record")) << path;
    if (!folder) {
      EXPECT_EQ(std::to_string(it->second.size), row.at("size")) << path;
    }
    ++checked;
  }
  EXPECT_GT(checked, 300);
}

// The data of the node at `path`, copied out whole (not damaged).
std::vector<uint8_t> CopyOut(ScannedNtfs& v, const std::string& path) {
  const NtfsNode* node = &v.state().root;
  for (size_t at = 0; node && at < path.size();) {
    const size_t end = std::min(path.find('/', at), path.size());
    const NtfsNode* parent = node;
    node = nullptr;
    for (const auto& child : parent->children)
      if (child.name == path.substr(at, end - at)) node = &child;
    at = end + 1;
  }
  EXPECT_NE(node, nullptr) << path;
  if (!node) return {};
  DecodedRecord record;
  EXPECT_TRUE(ReadNtfsRecord(&v.src, v.part, v.state(), node->recordNumber, record));
  MemorySink sink;
  EXPECT_FALSE(CopyNtfsData(&v.src, v.part, record, sink, {}).damaged) << path;
  return sink.bytes;
}

// Record 27 of the ntfs3-written volume keeps a 3,328-byte attribute list in
// clusters; its data is resident in extension record 28 (icat gives "123\n").
TEST(NtfsImages, DataNamedByAnAttributeListInClusters) {
  auto bytes = test::LoadImage(test::CorpusDir() / "ntfs/dfir-ntfs3-attrlist.img.gz");
  if (!bytes) GTEST_SKIP() << "corpus image absent";
  ScannedNtfs v(std::move(*bytes));
  ASSERT_TRUE(v.ok);
  EXPECT_EQ(Paths(v.state().root).at("11.txt").record, 27u);
  EXPECT_EQ(CopyOut(v, "11.txt"), std::vector<uint8_t>({'1', '2', '3', '\n'}));
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
  ScannedNtfs v(std::move(*bytes));
  ASSERT_TRUE(v.ok);
  EXPECT_EQ(CopyOut(v, "c/tail.bin"), data);
}

}  // namespace
}  // namespace orvaldi::fs
