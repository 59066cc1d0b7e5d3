// `orvaldi rawscan` and `orvaldi carve` on the carving fixture: real sample
// files of the nine formats at known sectors, with garbage around them.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "disk/sha256.h"
#include "support/faulty_mount.h"
#include "support/test_images.h"

namespace orvaldi {
namespace {

using test::ShellQuote;

class CarveDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    auto bytes = test::LoadImage(test::FixturesDir() / "carve/carve-disk.img.gz");
    ASSERT_TRUE(bytes);
    image_ = dir_.write("carve.img", *bytes);
    rows_ = test::ReadManifest(test::FixturesDir() / "carve/carve-disk.files.tsv");
    ASSERT_GT(rows_.size(), 20u);
  }
  std::string cli() const { return test::CliPath().string(); }
  test::TempDir dir_;
  std::filesystem::path image_;
  std::vector<test::ManifestRow> rows_;
};

// Every sample is carved at its start with the size and name the rules give;
// the ones the rules reject (a progressive JPEG, streams under 1 MiB) are not,
// and nothing is carved from inside a sample (the MPEG stream that runs over
// the 10 MiB mark holds pack headers that would measure over 1 MiB). On a
// disk with unreadable sectors the sweep reads everything around them: the
// samples after a bad sector in the same slice are still carved, the
// unreadable runs are listed and the exit code says the scan was not whole.
TEST_F(CarveDisk, RawScanFindsEverySampleAtItsSector) {
  // 4500: between the first ZIP and the docx; 7000-7100: before the MP3;
  // 30000: inside the MPEG-1 stream at 28672, which is not checked then.
  const struct {
    const char* bad;
    int exitCode;
    const char* unreadable;
  } cases[] = {{"", 0, "[]"},
               {"4500,7000-7100,30000", 6,
                R"([{"start":4500,"sectors":1},{"start":7000,"sectors":101},{"start":30000,"sectors":1}])"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bad);
    std::unique_ptr<test::FaultyMount> mount;
    if (*c.bad) {
      if (!test::FaultyMount::Available()) GTEST_SKIP() << "no /dev/fuse on this machine";
      mount = std::make_unique<test::FaultyMount>(image_, c.bad);
      ASSERT_TRUE(mount->ok()) << mount->error();
    }
    const auto r = test::RunCommand(cli() + " rawscan --json " + ShellQuote((mount ? mount->path() : image_).string()));
    EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
    const auto j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["unreadable"], nlohmann::json::parse(c.unreadable));
    std::map<uint64_t, std::pair<uint64_t, std::string>> carved;
    for (const auto& f : j["carved"]) carved[f["start"]] = {f["size"], f["name"]};
    int checked = 0;
    for (const auto& row : rows_) {
      const uint64_t start = std::stoull(row.at("start_sector"));
      SCOPED_TRACE(row.at("note"));
      if (row.at("expect") != "carved") {
        EXPECT_FALSE(carved.count(start));
      } else if (!mount || start != 28672) {
        ASSERT_TRUE(carved.count(start));
        EXPECT_EQ(carved[start].first, std::stoull(row.at("carved_size")));
        EXPECT_EQ(carved[start].second, row.at("name"));
        ++checked;
      }
      carved.erase(start);
    }
    EXPECT_GE(checked, 20);
    if (!mount) {
      EXPECT_TRUE(carved.empty()) << carved.begin()->first;
    }
  }
}

// Saved with their carved sizes: the file's own bytes come first.
TEST_F(CarveDisk, CarveSavesTheFilesByteForByte) {
  test::TempDir out;
  const auto r =
      test::RunCommand(cli() + " carve " + ShellQuote(image_.string()) + " --to " + ShellQuote(out.path().string()));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto folder = out.path() / "Extra Found Files";
  for (const auto& row : rows_) {
    if (row.at("expect") != "carved") continue;
    SCOPED_TRACE(row.at("note"));
    const auto file = folder / row.at("name");
    ASSERT_TRUE(std::filesystem::exists(file));
    EXPECT_EQ(std::filesystem::file_size(file), std::stoull(row.at("carved_size")));
    const uint64_t size = std::stoull(row.at("size"));
    if (size > std::stoull(row.at("carved_size"))) continue;  // cut short by its rule
    const auto head =
        test::RunCommand("head -c " + std::to_string(size) + " " + ShellQuote(file.string()) + " | sha256sum");
    EXPECT_EQ(head.out.substr(0, 64), row.at("sha256"));
  }
}

// Carved sizes of 2^32 - 1 and -1 in a scan-result file: the files are cut
// at the disk's end and count as not intact, not written for gigabytes.
TEST(CarvedSizes, FromAResultFileEndAtTheDisksEnd) {
  test::TempDir dir, target;
  std::vector<uint8_t> bytes(4 << 20);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>((i * 131) ^ (i >> 9) ^ 0x5A);
  const std::string image = ShellQuote(dir.write("disk.img", bytes).string());
  const auto resultPath = dir.path() / "disk.kvr_scn";
  const std::string cli = test::CliPath().string();
  auto r = test::RunCommand(cli + " rawscan " + image + " --save-result " + ShellQuote(resultPath.string()));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  std::ifstream in(resultPath, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  std::string result = text.str();
  // Name, no directory sectors, no MFT record runs, then the carved files.
  const std::string head = result.substr(0, result.find("\r\n") + 2) + "0\r\n0\r\n";
  ASSERT_TRUE(result.starts_with(head + "0\r\n")) << result;
  result = head + "2\r\n100,4294967295,a.jpg\r\n5000,-1,b.jpg\r\n" + result.substr(head.size() + 3);
  std::ofstream(resultPath, std::ios::binary) << result;
  const auto sha = [&] { return test::RunCommand("sha256sum " + image).out.substr(0, 64); };
  const std::string before = sha();
  r = test::RunCommand("ulimit -f 65536 && timeout 120 " + cli + " carve " + image + " --load-result " +
                       ShellQuote(resultPath.string()) + " --to " + ShellQuote(target.path().string()));
  EXPECT_EQ(r.exitCode, 6) << r.err;  // cut short: not intact
  for (const auto& [name, sector] : {std::pair<std::string, size_t>{"a.jpg", 100}, {"b.jpg", 5000}}) {
    const auto got = test::LoadImage(target.path() / "Extra Found Files" / name);
    ASSERT_TRUE(got) << name;
    EXPECT_TRUE(*got == std::vector<uint8_t>(bytes.begin() + static_cast<ptrdiff_t>(sector * 512), bytes.end()))
        << name << ": " << got->size();
  }
  EXPECT_EQ(sha(), before);
}

// A disk whose MBR entries and boot sectors are wiped: the sweep rebuilds the
// FAT32 volume from its FATs and folders and finds the NTFS one by its backup
// boot sector. With the saved result, later commands list and recover their
// files as from the intact disk, without sweeping again.
TEST(WipedDisk, ScanResultCarriesFoundVolumesToListingAndRecovery) {
  test::TempDir dir;
  const auto bytes = test::LoadImage(test::FixturesDir() / "wiped/wiped-disk.img.gz");
  ASSERT_TRUE(bytes);
  const std::string image = ShellQuote(dir.write("wiped.img", *bytes).string());
  const std::string result = ShellQuote((dir.path() / "wiped.kvr_scn").string());
  const std::string cli = test::CliPath().string();

  auto r = test::RunCommand(cli + " rawscan " + image + " --save-result " + result);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  r = test::RunCommand(cli + " parts --json " + image + " --load-result " + result);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  std::map<std::string, std::pair<unsigned, unsigned>> found;  // fs -> index, origin
  for (const auto& p : nlohmann::json::parse(r.out)) found[p["fs"]] = {p["index"], p["origin"]};
  ASSERT_TRUE(found.count("FAT32") && found.count("NTFS")) << r.out;
  EXPECT_EQ(found["FAT32"].second, 1u);  // rebuilt from its FATs and folders
  EXPECT_EQ(found["NTFS"].second, 2u);   // found by its backup boot sector

  const auto manifest = test::ReadManifest(test::FixturesDir() / "wiped/files.tsv");
  for (const auto& [volume, fs] : {std::pair<std::string, std::string>{"fat", "FAT32"}, {"ntfs", "NTFS"}}) {
    SCOPED_TRACE(volume);
    const std::string part = std::to_string(found[fs].first);
    r = test::RunCommand(cli + " ls --json " + image + " " + part + " --load-result " + result);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::set<std::string> listed;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
      const auto j = nlohmann::json::parse(line);
      if (j["deleted"]) continue;
      const std::string path = j["path"];
      listed.insert(path.substr(path.find('/') + 1) + (j["type"] == "folder" ? "/" : ""));
    }
    // The Sleuth Kit's listing of the intact volume, less its own entries.
    std::ifstream fls(test::FixturesDir() / "wiped" / (volume == "fat" ? "fat32.fls.txt" : "ntfs.fls.txt"));
    int compared = 0;
    for (std::string line; std::getline(fls, line);) {
      const std::string path = line.substr(line.find('\t') + 1);
      if (path.starts_with('$') || line.find('*') < line.find('\t') || path.find("(Volume Label") != std::string::npos)
        continue;
      EXPECT_TRUE(listed.count(path + (line.starts_with("d/d") ? "/" : ""))) << path;
      ++compared;
    }
    EXPECT_GE(compared, 4);

    const auto target = dir.path() / ("out-" + volume);
    r = test::RunCommand(cli + " recover " + image + " " + part + " --load-result " + result + " --to " +
                         ShellQuote(target.string()));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto recovered = test::Sha256Tree(target);
    for (const auto& row : manifest) {
      if (row.at("volume") != volume) continue;
      bool matched = false;
      for (const auto& [path, sha] : recovered)
        if (path.ends_with("/" + row.at("path"))) matched = sha == row.at("sha256");
      EXPECT_TRUE(matched) << row.at("path");
    }
  }

  // A result is refused on another disk, which keeps its own partitions.
  const std::string other = ShellQuote(dir.write("other.img", *bytes).string());
  r = test::RunCommand(cli + " parts " + other + " --load-result " + result);
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("不是该磁盘的信息！"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace orvaldi

namespace orvaldi {
namespace {

// A disk whose FAT32 and NTFS volumes held ~200 pictures and documents, most
// deleted, with its partition table wiped. Every carved file that a found
// volume's record names must carry the name (and folder, when the walk
// placed it) of the file whose content the carve gave back, by sha256; a
// deleted FAT entry whose name lost its first character or the end of its
// long name names nothing. `carve --names` rebuilds the folders.
TEST(NamesDisk, CarvedFilesGetTheNamesOfTheirRecords) {
  test::TempDir dir;
  const auto bytes = test::LoadImage(test::FixturesDir() / "names/names-disk.img.gz");
  ASSERT_TRUE(bytes);
  const std::string image = test::ShellQuote(dir.write("names.img", *bytes).string());
  const auto rows = test::ReadManifest(test::FixturesDir() / "names/names-disk.files.tsv");
  ASSERT_GT(rows.size(), 200u);
  const std::string cli = test::CliPath().string();

  auto r = test::RunCommand(cli + " rawscan --json " + image);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto carved = nlohmann::json::parse(r.out)["carved"];
  const auto plain = dir.path() / "plain";
  r = test::RunCommand(cli + " carve " + image + " --to " + test::ShellQuote(plain.string()));
  ASSERT_EQ(r.exitCode, 0) << r.err;

  size_t named = 0, withFolder = 0, wrong = 0;
  std::set<std::string> namedPaths;
  for (const auto& c : carved) {
    const auto data = test::LoadImage(plain / "Extra Found Files" / c["name"].get<std::string>());
    ASSERT_TRUE(data) << c["name"];
    // The file whose bytes the carve gave (a JPEG carves two bytes past its end marker).
    const test::ManifestRow* truth = nullptr;
    for (const auto& row : rows) {
      const size_t size = std::stoul(row.at("size"));
      if (size <= data->size() && disk::Sha256Hex(std::span<const uint8_t>(data->data(), size)) == row.at("sha256"))
        truth = &row;
    }
    if (!c.contains("foundName")) continue;
    ++named;
    const bool nameOk = truth && truth->at("name") == c["foundName"];
    const bool folderOk = !c.contains("foundPath") || (truth && truth->at("folder") == c["foundPath"]);
    withFolder += c.contains("foundPath");
    if (!nameOk || !folderOk) {
      ++wrong;
      ADD_FAILURE() << c.dump() << " is " << (truth ? truth->at("folder") + " " + truth->at("name") : "no file");
    }
    if (c.contains("foundPath"))
      namedPaths.insert((c["foundPath"] == "/" ? "" : c["foundPath"].get<std::string>().substr(1) + "/") +
                        c["foundName"].get<std::string>());
  }
  EXPECT_EQ(wrong, 0u);
  std::printf("names: %zu of %zu carved files named (%zu with their folder), %zu wrong\n", named, carved.size(),
              withFolder, wrong);
  EXPECT_GE(carved.size(), 200u);
  EXPECT_GE(named, 180u);
  EXPECT_GE(withFolder, 170u);

  // Saved under their folders and names; the rest as carved, nothing outside the target.
  const auto target = dir.path() / "named";
  r = test::RunCommand(cli + " carve --names " + image + " --to " + test::ShellQuote(target.string()));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto saved = test::Sha256Tree(target);
  EXPECT_EQ(saved.size(), carved.size());
  size_t inCarvedFolder = 0;
  for (const auto& [path, sha] : saved) inCarvedFolder += path.starts_with("Extra Found Files/");
  EXPECT_EQ(inCarvedFolder, carved.size() - withFolder);
  for (const std::string& path : namedPaths) EXPECT_TRUE(saved.count(path)) << path;
  const auto listed = test::RunCommand("find " + test::ShellQuote(dir.path().string()) + " -type f | wc -l");
  EXPECT_EQ(std::stoul(listed.out), 1 + 2 * (carved.size() + 1));  // the image, the two carves, their manifests

  // Two existing FAT files' entries made to claim one cluster: neither name
  // is given, and the other file's carving loses its name too.
  std::vector<const nlohmann::json*> fat;
  for (const auto& c : carved)
    if (c.contains("foundPath") && c["start"].get<uint64_t>() < 71680 && !c["name"].get<std::string>().ends_with("jpg"))
      fat.push_back(&c);               // carved at the size the entry gives (a JPEG carves two bytes more)
  std::map<uint64_t, size_t> entryOf;  // size -> offset of the one live entry of that size
  std::map<uint64_t, int> seen;
  for (size_t off = 2048 * 512; off + 32 <= 71680 * 512; off += 32) {
    const uint8_t* e = bytes->data() + off;
    if (e[0] == 0 || e[0] == 0xE5 || e[11] != 0x20) continue;
    const uint64_t size = e[28] | e[29] << 8 | e[30] << 16 | uint64_t{e[31]} << 24;
    entryOf[size] = off;
    ++seen[size];
  }
  std::vector<std::pair<uint64_t, size_t>> pair;  // start sector, entry offset
  for (const auto* c : fat) {
    const uint64_t size = (*c)["size"];
    if (seen[size] == 1 && pair.size() < 2) pair.emplace_back((*c)["start"], entryOf[size]);
  }
  ASSERT_EQ(pair.size(), 2u);
  auto patched = *bytes;
  for (const size_t field : {20, 21, 26, 27}) patched[pair[1].second + field] = patched[pair[0].second + field];
  const std::string twice = test::ShellQuote(dir.write("twice.img", patched).string());
  r = test::RunCommand(cli + " rawscan --json " + twice);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  size_t stillNamed = 0;
  const auto again = nlohmann::json::parse(r.out);
  for (const auto& c : again["carved"]) {
    const uint64_t start = c["start"];
    if (start == pair[0].first || start == pair[1].first) {
      EXPECT_FALSE(c.contains("foundName")) << c.dump();
    }
    stillNamed += c.contains("foundName");
  }
  EXPECT_EQ(stillNamed, named - 2);
}

}  // namespace
}  // namespace orvaldi
