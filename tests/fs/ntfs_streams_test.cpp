// NTFS named data streams and hard links: listed beside their files and in
// every folder a file is linked into, copied byte for byte, checked against
// what the fixture script wrote (fs_images_test compares them with fls).
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "disk/sha256.h"
#include "fs/node_copy.h"
#include "fs/ntfs_state.h"
#include "platform/sector_source.h"
#include "support/ntfs_builder.h"
#include "support/test_images.h"

namespace orvaldi::fs {
namespace {

using test::ScannedNtfs;

const auto kDir = test::FixturesDir() / "ntfs";

// Every node below `node` by path ("docs/report.txt:big"); a path met twice keeps the first.
void Collect(const NtfsNode& node, const std::string& prefix, std::map<std::string, const NtfsNode*>& out) {
  for (const NtfsNode& child : node.children) {
    const std::string path = prefix.empty() ? child.name : prefix + "/" + child.name;
    out.emplace(path, &child);
    Collect(child, path, out);
  }
}

std::map<std::string, const NtfsNode*> Listing(const ScannedNtfs& v) {
  std::map<std::string, const NtfsNode*> out;
  Collect(v.state().root, "", out);
  return out;
}

std::string Sha256Of(ScannedNtfs& v, const NtfsNode& node, platform::SectorSource* source = nullptr) {
  MemorySink sink;
  const NodeCopy copy = CopyNode(source ? source : &v.src, v.part, NodeRef(&node), sink);
  EXPECT_EQ(copy.status, platform::Status::kOk) << node.name << ": " << copy.message;
  return disk::Sha256Hex(sink.bytes);
}

class StreamsFixture : public ::testing::TestWithParam<ScannedNtfs::How> {};

// Each name and each stream of the manifest is listed with its state, size
// and record; a removed link name is not listed at all (ntfs-3g took it out
// of the record); every stream's bytes are what was written, deleted ones too.
TEST_P(StreamsFixture, MatchesTheManifest) {
  auto bytes = test::LoadImage(kDir / "ntfs-streams.img.gz");
  ASSERT_TRUE(bytes);
  ScannedNtfs v(std::move(*bytes), GetParam());
  ASSERT_TRUE(v.ok);
  const auto found = Listing(v);
  int streams = 0, links = 0;
  size_t listed = 0;
  for (const auto& row : test::ReadManifest(kDir / "ntfs-streams.files.tsv")) {
    std::string path = row.at("path");
    const bool folder = path.ends_with('/');
    if (folder) path.pop_back();
    const bool deleted = row.at("state") == "deleted";
    const auto it = found.find(path);
    if (row.at("note").find("no longer in the record") != std::string::npos ||
        row.at("note").find("link removed") != std::string::npos) {
      EXPECT_EQ(it, found.end()) << path << " was removed from its record";
      continue;
    }
    ASSERT_NE(it, found.end()) << path;
    ++listed;
    const NtfsNode& n = *it->second;
    EXPECT_EQ(std::to_string(n.recordNumber), row.at("record")) << path;
    EXPECT_EQ(std::to_string(n.parentNumber), row.at("parent_record")) << path;
    EXPECT_EQ(KindOf(n.flags), folder ? (deleted ? node_kind::kDeletedFolder : node_kind::kFolder)
                                      : (deleted ? node_kind::kDeletedFile : node_kind::kFile))
        << path;
    if (folder) continue;
    EXPECT_EQ(std::to_string(n.size), row.at("size")) << path;
    const bool stream = path.find(':') != std::string::npos;
    EXPECT_EQ(NodeRef(&n).isStream(), stream) << path;
    if (stream) {
      EXPECT_EQ(n.streamName, path.substr(path.find(':') + 1));
    }
    EXPECT_EQ(Sha256Of(v, n), row.at("sha256")) << path;
    streams += stream;
    links += path.starts_with("other/");
  }
  EXPECT_EQ(found.size(), listed) << "nodes the script never made";
  EXPECT_EQ(streams, 8);
  EXPECT_EQ(links, 2);
  // One node of the linked record in the number index, the others beside it.
  EXPECT_EQ(v.state().numberIndex.find(75)->name, "original.txt");
}

INSTANTIATE_TEST_SUITE_P(Modes, StreamsFixture, ::testing::Values(ScannedNtfs::How::kWalk, ScannedNtfs::How::kSearch),
                         [](const auto& p) { return p.param == ScannedNtfs::How::kWalk ? "Walk" : "Search"; });

// A stream whose clusters cannot be read is copied in part, never as whole.
TEST(Streams, UnreadableClustersLeaveTheStreamPartial) {
  auto bytes = test::LoadImage(kDir / "ntfs-streams.img.gz");
  ASSERT_TRUE(bytes);
  ScannedNtfs v(std::move(*bytes));
  ASSERT_TRUE(v.ok);
  const auto found = Listing(v);
  const NtfsNode& big = *found.at("docs/report.txt:big");
  DecodedRecord record;
  ASSERT_TRUE(ReadNtfsRecord(&v.src, v.part, v.state(), big.recordNumber, record));
  ASSERT_EQ(record.streams.size(), 2u);
  const NtfsStream& stream = record.streams[0].name == "big" ? record.streams[0] : record.streams[1];
  ASSERT_TRUE(stream.nonResident);
  ASSERT_FALSE(stream.extents.empty());
  const uint64_t sector = v.part.startSector + stream.extents[0].runs[0].firstCluster * v.part.sectorsPerCluster + 3;
  platform::FaultySource faulty(v.src, {sector});
  MemorySink sink;
  const NodeCopy copy = CopyNode(&faulty, v.part, NodeRef(&big), sink);
  EXPECT_EQ(copy.status, platform::Status::kPartial);
  EXPECT_EQ(copy.unreadSectors, std::vector<uint64_t>{sector});
  EXPECT_EQ(sink.bytes.size(), 40960u);
  // The file's own data lies elsewhere and is whole.
  EXPECT_EQ(Sha256Of(v, *found.at("docs/report.txt"), &faulty),
            "9a8b9eed020a96df02f8a2b672bf977999d07c1412a7e1c73fc1314736b2d467");
}

// A record with a Win32 name and its DOS 8.3 form in one folder, and a POSIX
// name in another: two links, the 8.3 form is no third.
TEST(Streams, ShortNamesAreNoHardLinks) {
  test::NtfsVolumeBuilder vol(64);
  vol.put(30, test::RecordBuilder(30, 3).fileName(5, u"folder").build());
  vol.put(40, test::RecordBuilder(40)
                  .fileName(5, u"A long name.txt", 1)
                  .fileName(5, u"ALONGN~1.TXT", 2)
                  .fileName(30, u"other.txt", 0)
                  .residentData({'x'})
                  .residentData({'s', 't'}, u"side")
                  .build());
  ScannedNtfs v(vol.bytes());
  ASSERT_TRUE(v.ok);
  std::vector<std::string> paths;
  for (const auto& [path, node] : Listing(v)) paths.push_back(path + " " + std::to_string(node->recordNumber));
  EXPECT_EQ(paths, (std::vector<std::string>{"A long name.txt 40", "A long name.txt:side 40", "folder 30",
                                             "folder/other.txt 40", "folder/other.txt:side 40"}));
}

// A stream kept in an extension record that cannot be read is listed, but
// not as whole; the file's own data, in its base record, is.
TEST(Streams, AStreamInALostExtensionRecordIsNotIntact) {
  test::NtfsVolumeBuilder vol(64);
  std::vector<uint8_t> base =
      test::RecordBuilder(40).fileName(5, u"file.txt").residentData({'x'}).attributeList({{0x80, 41}}).build();
  // Name the list entry's data attribute "ads" (the builder writes unnamed entries).
  size_t at = 0;
  while (at + 0x20 < base.size() && !(base[at] == 0x80 && base[at + 4] == 0x20 && base[at + 0x10] == 41)) ++at;
  ASSERT_LT(at + 0x20, base.size());
  base[at + 6] = 3;
  base[at + 7] = 0x1A;
  for (size_t i = 0; i < 3; ++i) base[at + 0x1A + 2 * i] = static_cast<uint8_t>("ads"[i]);
  vol.put(40, base);  // record 41 is never written
  ScannedNtfs v(vol.bytes());
  ASSERT_TRUE(v.ok);
  const auto found = Listing(v);
  ASSERT_EQ(found.count("file.txt:ads"), 1u);
  EXPECT_FALSE(NodeRef(found.at("file.txt:ads")).intact());
  EXPECT_TRUE(NodeRef(found.at("file.txt")).intact());
}

// `recover` saves each stream as "file_stream" beside its file (a ':' is
// never written; what else a stream name holds that no file name may is
// replaced, as for any name) and each name of a linked file; `--no-streams`
// leaves the streams out, as `ls --no-streams` does.
TEST(Streams, RecoverNamesStreamsSafely) {
  auto bytes = test::LoadImage(kDir / "ntfs-streams.img.gz");
  ASSERT_TRUE(bytes);
  test::TempDir dir;
  const std::string img = test::ShellQuote(dir.write("v.img", *bytes).string());
  const std::string cli = test::ShellQuote(test::CliPath().string());
  std::map<std::string, std::string> all, files;
  for (const auto& row : test::ReadManifest(kDir / "ntfs-streams.files.tsv")) {
    const std::string& path = row.at("path");
    if (path.ends_with('/') || row.at("note").find("no longer") != std::string::npos ||
        row.at("note").find("link removed") != std::string::npos)
      continue;
    std::string saved = "根目录/" + path;
    for (char& c : saved)
      if (c == ':') c = '_';
    for (const char* bad : {"<", ">", "|", "*", "?"})
      for (size_t at; (at = saved.find(bad)) != std::string::npos;) saved.replace(at, 1, "$");
    all[saved] = row.at("sha256");
    if (path.find(':') == std::string::npos) files[saved] = row.at("sha256");
  }
  for (const bool streams : {true, false}) {
    test::TempDir to;
    const auto r = test::RunCommand(cli + " recover " + img + " 0 --to " + test::ShellQuote(to.path().string()) +
                                    (streams ? "" : " --no-streams"));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(test::Sha256Tree(to.path()), streams ? all : files);
  }
  const auto listed = test::RunCommand(cli + " ls --json --no-streams " + img + " 0");
  EXPECT_EQ(listed.out.find("\"stream\""), std::string::npos);
  EXPECT_NE(listed.out.find("\"path\":\"根目录/other/link one.txt\""), std::string::npos);
  EXPECT_NE(test::RunCommand(cli + " ls --json " + img + " 0").out.find("\"stream\":\"we<ird>|na*me?\""),
            std::string::npos);
}

// The corpus volumes made by Windows: dftt-7's deleted mult1.dat keeps its
// deleted stream, dftt-8 hides a JPEG in file13.dll:here (the DFTT MD5s).
TEST(Streams, CorpusStreamsAndTheirContents) {
  struct Case {
    const char* image;
    const char* path;
    uint8_t kind;
    uint64_t size;
    const char* md5;
  };
  for (const Case& c : {Case{"dftt-7-ntfs-undel.dd.gz", "根目录/mult1.dat:ADS", node_kind::kDeletedFile, 1234,
                             "ba1b9eedb1c091ddca253d35dde8f616"},
                        Case{"dftt-8-jpeg-search.dd.gz", "根目录/misc/file13.dll:here", node_kind::kFile, 124038,
                             "9b787e63e3b64562730c5aecaab1e1f8"}}) {
    SCOPED_TRACE(c.image);
    auto bytes = test::LoadImage(test::CorpusDir() / "ntfs" / c.image);
    if (!bytes) GTEST_SKIP() << "corpus image absent";
    test::TempDir dir;
    const std::string img = test::ShellQuote(dir.write("v.img", *bytes).string());
    const std::string cli = test::ShellQuote(test::CliPath().string());
    const auto listed = test::RunCommand(cli + " ls --json " + img + " 0");
    ASSERT_EQ(listed.exitCode, 0) << listed.err;
    std::string row;
    for (std::istringstream lines(listed.out); std::getline(lines, row);)
      if (row.find(std::string("\"path\":\"") + c.path + "\"") != std::string::npos) break;
    EXPECT_NE(row.find("\"stream\":\"" + std::string(c.path).substr(std::string(c.path).find(':') + 1) + "\""),
              std::string::npos)
        << row;
    EXPECT_NE(row.find("\"size\":" + std::to_string(c.size)), std::string::npos) << row;
    EXPECT_NE(row.find(c.kind == node_kind::kFile ? "\"deleted\":false" : "\"deleted\":true"), std::string::npos);
    const auto cat = test::RunCommand(cli + " cat " + img + " 0 " + test::ShellQuote(c.path) + " | md5sum");
    EXPECT_EQ(cat.out.substr(0, 32), c.md5);
  }
}

}  // namespace
}  // namespace orvaldi::fs
