// The manifest that recover and carve write into their target, and verify
// against it: verdicts against the carving fixture's truth, unreadable
// sectors named, a changed or removed file caught.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "raw/manifest.h"
#include "support/faulty_mount.h"
#include "support/test_images.h"

namespace orvaldi {
namespace {

using test::ShellQuote;

std::string Cli() { return test::CliPath().string(); }

std::vector<nlohmann::json> Lines(const std::filesystem::path& manifest) {
  std::vector<nlohmann::json> out;
  std::ifstream in(manifest);
  for (std::string line; std::getline(in, line);) out.push_back(nlohmann::json::parse(line));
  return out;
}

// Every file the carver should find is listed intact with a passing check,
// at the carved size and with the digest of the bytes in the target.
TEST(Manifest, CarvedFixtureVerdictsMatchTheTruth) {
  test::TempDir dir, target;
  const auto image = dir.unpack("carve/carve-disk.img.gz", "carve.img");
  ASSERT_FALSE(image.empty());
  const auto r =
      test::RunCommand(Cli() + " carve " + ShellQuote(image.string()) + " --to " + ShellQuote(target.path().string()));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("manifest.jsonl: 24 files: 24 intact, 0 partial, 0 unverified; check 24 ok, 0 bad, 0 n/a"),
            std::string::npos)
      << r.out;
  const auto lines = Lines(target.path() / "manifest.jsonl");
  ASSERT_EQ(lines.size(), 25u);
  std::map<uint64_t, nlohmann::json> bySector;
  for (size_t i = 0; i + 1 < lines.size(); ++i) bySector[lines[i]["sector"].get<uint64_t>()] = lines[i];
  const auto tree = test::Sha256Tree(target.path());
  size_t carved = 0;
  for (const test::ManifestRow& row : test::ReadManifest(test::FixturesDir() / "carve/carve-disk.files.tsv")) {
    if (row.at("expect") != "carved") continue;
    ++carved;
    const uint64_t start = std::stoull(row.at("start_sector"));
    ASSERT_EQ(bySector.count(start), 1u) << start;
    const nlohmann::json& e = bySector[start];
    SCOPED_TRACE(row.at("note"));
    EXPECT_EQ(e["target"], std::string("Extra Found Files/") + row.at("name"));
    EXPECT_EQ(e["size"].get<uint64_t>(), std::stoull(row.at("carved_size")));
    EXPECT_EQ(e["verdict"], "intact");
    EXPECT_EQ(e["check"], "ok");
    EXPECT_EQ(e["sha256"], tree.at(e["target"].get<std::string>()));
    // The file's own sectors, from its first.
    ASSERT_EQ(e["extents"].size(), 1u);
    EXPECT_EQ(e["extents"][0][0].get<uint64_t>(), start);
    EXPECT_EQ(e["extents"][0][1].get<uint64_t>(), (e["size"].get<uint64_t>() + 511) / 512);
  }
  EXPECT_EQ(carved, 24u);
  EXPECT_EQ(lines.back()["summary"]["intact"], 24);
  EXPECT_EQ(test::RunCommand(Cli() + " verify " + ShellQuote(target.path().string())).exitCode, 0);
}

// An unreadable sector inside a carved file: that file is partial and names
// the sector; the others stay intact.
TEST(Manifest, UnreadableSectorsMakeAFilePartial) {
  if (!test::FaultyMount::Available()) GTEST_SKIP() << "no /dev/fuse on this machine";
  test::TempDir dir, target;
  const auto image = dir.unpack("carve/carve-disk.img.gz", "carve.img");
  ASSERT_FALSE(image.empty());
  constexpr uint64_t kBad = 34816 + 1000;  // inside the AVI, whose size its header gives
  test::FaultyMount mount(image, std::to_string(kBad));
  ASSERT_TRUE(mount.ok()) << mount.error();
  const auto r = test::RunCommand(Cli() + " carve " + ShellQuote(mount.path().string()) + " --to " +
                                  ShellQuote(target.path().string()));
  EXPECT_EQ(r.exitCode, 6) << r.err;
  size_t partial = 0;
  for (const nlohmann::json& e : Lines(target.path() / "manifest.jsonl")) {
    if (e.contains("summary")) {
      EXPECT_EQ(e["summary"]["partial"], 1);
      continue;
    }
    if (e["sector"] != 34816) {
      EXPECT_EQ(e["verdict"], "intact") << e.dump();
      continue;
    }
    ++partial;
    EXPECT_EQ(e["verdict"], "partial");
    // From the bad sector to the end of the piece the copy read at once:
    // the copy does not go back for the sectors behind a bad one.
    ASSERT_EQ(e["unread"].size(), 1u);
    EXPECT_EQ(e["unread"][0][0].get<uint64_t>(), kBad);
    EXPECT_LE(e["unread"][0][1].get<uint64_t>(), 2048u);
  }
  EXPECT_EQ(partial, 1u);
  // Everything is as the manifest says, but not everything is intact.
  EXPECT_EQ(test::RunCommand(Cli() + " verify " + ShellQuote(target.path().string())).exitCode, 6);
}

TEST(Manifest, VerifyAfterRecoverCatchesAFlippedByteAndARemovedFile) {
  test::TempDir dir, target;
  const auto image = dir.unpack("ntfs/ntfs-tree.img.gz", "ntfs.img");
  ASSERT_FALSE(image.empty());
  const std::string to = ShellQuote(target.path().string());
  const auto r = test::RunCommand(Cli() + " recover " + ShellQuote(image.string()) + " 0 --no-deleted --to " + to);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto verify = [&](const std::string& what) { return test::RunCommand(Cli() + " verify " + what); };
  const auto clean = verify(to);
  EXPECT_EQ(clean.exitCode, 0) << clean.out;
  const auto lines = Lines(target.path() / "manifest.jsonl");
  ASSERT_GE(lines.size(), 3u);
  const std::string first = lines[0]["target"], second = lines[1]["target"];
  ASSERT_GT(lines[0]["size"].get<uint64_t>(), 0u);
  {
    std::fstream f(target.path() / first, std::ios::in | std::ios::out | std::ios::binary);
    char c = 0;
    f.read(&c, 1);
    f.seekp(0);
    c = static_cast<char>(c ^ 1);
    f.write(&c, 1);
  }
  std::filesystem::remove(target.path() / second);
  const auto broken = verify(to);
  EXPECT_EQ(broken.exitCode, 7);
  EXPECT_NE(broken.out.find(first + ": sha256 differs"), std::string::npos) << broken.out;
  EXPECT_NE(broken.out.find(second + ": missing"), std::string::npos) << broken.out;

  // A second save into the same target keeps the first manifest and takes a
  // free name; --no-manifest writes none.
  test::TempDir other;
  const std::string compressed = " 0 根目录/Compressed --no-deleted ";
  ASSERT_EQ(test::RunCommand(Cli() + " recover " + ShellQuote(image.string()) + compressed + "--to " + to).exitCode, 0);
  EXPECT_TRUE(std::filesystem::exists(target.path() / "manifest.jsonl0.jsonl"));
  EXPECT_EQ(verify(ShellQuote((target.path() / "manifest.jsonl0.jsonl").string())).exitCode, 0);
  ASSERT_EQ(test::RunCommand(Cli() + " recover " + ShellQuote(image.string()) + compressed + "--no-manifest --to " +
                             ShellQuote(other.path().string()))
                .exitCode,
            0);
  EXPECT_FALSE(std::filesystem::exists(other.path() / "manifest.jsonl"));
}

// A named stream is saved as "file_stream", yet the manifest names it where it
// came from, as ls lists it ("file:stream"): a file that is really called
// "file_stream" beside it would otherwise share its source. Every live file and
// stream of the fixture is found under its own path, with its digest.
TEST(Manifest, SourcesArePathsAsListed) {
  test::TempDir dir, target;
  const auto image = dir.unpack("ntfs/ntfs-streams.img.gz", "ntfs.img");
  ASSERT_FALSE(image.empty());
  const auto r =
      test::RunCommand(Cli() + " recover " + ShellQuote(image.string()) +
                       " 0 --no-deleted --invalid-names replace:_ --to " + ShellQuote(target.path().string()));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  std::map<std::string, std::string> digests;
  for (const auto& line : Lines(target.path() / "manifest.jsonl"))
    if (line.contains("source")) digests[line["source"]] = line["sha256"];
  size_t streams = 0;
  for (const auto& row : test::ReadManifest(test::FixturesDir() / "ntfs/ntfs-streams.files.tsv")) {
    if (row.at("state") != "live" || row.at("path").ends_with('/')) continue;
    streams += row.at("note").starts_with("stream");
    EXPECT_EQ(digests["/根目录/" + row.at("path")], row.at("sha256")) << row.at("path");
  }
  EXPECT_GE(streams, 4u);
}

// Names with quotes, back slashes and control characters survive the trip.
TEST(Manifest, LinesReadBackAsWritten) {
  test::TempDir dir;
  raw::ManifestEntry e;
  e.target = "a \"b\"\\c\n\x01.jpg";
  e.source = "/根目录/x";
  e.sector = 7;
  e.size = 3;
  e.sha256 = std::string(64, 'a');
  e.extents = {{7, 1}, {100, 2}};
  e.verdict = raw::ManifestVerdict::kPartial;
  e.unread = {{101, 1}};
  e.reason = "why";
  e.check = {raw::ContentVerdict::kBad, "jpeg", "no EOI"};
  raw::ManifestWriter w;
  ASSERT_TRUE(w.open(dir.path().string()));
  w.add(e);
  ASSERT_TRUE(w.finish());
  const raw::ManifestRead read = raw::ReadManifest(w.path());
  EXPECT_TRUE(read.errors.empty());
  ASSERT_EQ(read.entries.size(), 1u);
  const raw::ManifestEntry& g = read.entries[0];
  EXPECT_EQ(g.target, e.target);
  EXPECT_EQ(g.source, e.source);
  EXPECT_EQ(g.sector, e.sector);
  EXPECT_EQ(g.extents, e.extents);
  EXPECT_EQ(g.unread, e.unread);
  EXPECT_EQ(g.check.problem, e.check.problem);
  ASSERT_TRUE(read.summary);
  EXPECT_EQ(read.summary->partial, 1u);
  EXPECT_EQ(read.summary->checkBad, 1u);
}

}  // namespace
}  // namespace orvaldi
