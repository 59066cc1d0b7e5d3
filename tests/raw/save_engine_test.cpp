// The save operation on real volumes: byte-exact copies of what the fixture
// scripts wrote, the walk's options, names, cancel, carved files and the pool.
#include "raw/save_engine.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>

#include "disk/disk_list.h"
#include "fs/fat_reader.h"
#include "fs/fat_state.h"
#include "fs/ntfs_reader.h"
#include "fs/ntfs_state.h"
#include "support/test_images.h"

namespace orvaldi::raw {
namespace {

namespace fsys = std::filesystem;

// An image written out to a file, loaded as a source and its partition 0 scanned.
struct Scanned {
  test::TempDir dir;
  fsys::path image;
  std::optional<disk::DiskInfo> disk;
  disk::PartitionInfo* part = nullptr;

  bool load(const fsys::path& gz, const std::function<void(std::vector<uint8_t>&)>& patch = {}) {
    auto bytes = test::LoadImage(gz);
    if (!bytes) return false;
    if (patch) patch(*bytes);
    image = dir.write("source.img", *bytes);
    disk = disk::LoadSource(image.string());
    if (!disk || disk->partitions.empty()) return false;
    part = &disk->partitions.front();
    platform::ProgressBlock progress;
    switch (part->typeByte) {
      case 0x07:
        return fs::ScanNtfs(*disk, *part, progress);
      case 0x0B:
      case 0x0C:
        fs::ScanFat32(*disk, *part, fs::FatMode::kWalk, progress);
        return fs::FindFatState(*part) != nullptr;
      default:
        fs::ScanFat16(*disk, *part, fs::FatMode::kWalk, progress);
        return fs::FindFatState(*part) != nullptr;
    }
  }
  fs::FatScanState& fat() { return fs::FatStateOf(*part); }
  fs::NtfsScanState& ntfs() { return fs::NtfsStateOf(*part); }

  SaveJob wholePartition() {
    SaveJob job{&*disk, part, {}};
    if (auto* s = fs::FindFatState(*part)) {
      job.items.push_back({&s->root, nullptr, nullptr, 0, {}});
      job.items.push_back({&s->orphans, nullptr, nullptr, 0, {}});
    } else if (auto* n = fs::FindNtfsState(*part)) {
      job.items.push_back({nullptr, &n->root, nullptr, 0, {}});
      job.items.push_back({nullptr, &n->orphans, nullptr, 0, {}});
    }
    return job;
  }
};

template <typename Node>
const Node* Child(const Node& parent, const std::string& name) {
  for (const Node& c : parent.children)
    if (c.name == name) return &c;
  return nullptr;
}

template <typename Node>
Node* Find(Node& from, const std::string& path) {
  Node* at = &from;
  size_t start = 0;
  while (at && start < path.size()) {
    const size_t slash = path.find('/', start);
    const std::string name = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    at = const_cast<Node*>(Child(*at, name));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return at;
}

SaveSettings Settings(const fsys::path& target) {
  SaveSettings s;
  s.options.target = target.string();
  return s;
}

std::map<std::string, std::string> NormalTree(const fsys::path& dir) {
  std::map<std::string, std::string> out;
  for (const auto& [path, sha] : test::Sha256Tree(dir)) out[test::FoldFatPath(path)] = sha;
  return out;
}

std::vector<std::string> Components(const std::string& path) {
  std::vector<std::string> out;
  std::istringstream in(path);
  std::string part;
  while (std::getline(in, part, '/')) out.push_back(part);
  return out;
}

// `got` names `want` with the first letter of some components lost ("_").
bool SameDeletedPath(const std::string& got, const std::string& want) {
  const auto g = Components(got), w = Components(want);
  if (g.size() != w.size()) return false;
  for (size_t i = 0; i < g.size(); ++i) {
    if (g[i] == w[i]) continue;
    if (g[i].empty() || g[i][0] != '_' || w[i].empty() || g[i].substr(1) != w[i].substr(1)) return false;
  }
  return true;
}

// Every file the fixture script wrote comes back byte for byte: live ones
// through their chains (fragmented ones included), deleted ones from their
// clusters, except the deleted files whose clusters later files took.
struct FatCase {
  const char* image;
  std::set<std::string> overwritten;
};

void PrintTo(const FatCase& c, std::ostream* os) { *os << c.image; }

class FatRecovery : public ::testing::TestWithParam<FatCase> {};

TEST_P(FatRecovery, FilesComeBackByteForByte) {
  Scanned s;
  ASSERT_TRUE(s.load(test::FixturesDir() / "fat" / GetParam().image));
  test::TempDir out;
  const SaveSummary summary = SaveSelected(s.wholePartition(), Settings(out.path()));
  ASSERT_TRUE(summary.refusal.empty()) << summary.refusal;
  EXPECT_EQ(summary.failed, 0u);
  const auto got = NormalTree(out.path());
  int checked = 0;
  for (const auto& row : test::ReadManifest(test::FixturesDir() / "fat" /
                                            (std::string(GetParam().image).substr(0, std::string(GetParam().image).size() - 7) + ".files.tsv"))) {
    const std::string& path = row.at("path");
    if (path.back() == '/' || row.at("size") == "0") continue;
    const bool deleted = row.at("state") == "deleted";
    // Deleted short names (of files and of the folders above them) lost
    // their first letter; long names did not.
    auto it = got.find(test::FoldFatPath("根目录/" + path));
    if (it == got.end() && deleted) {
      for (auto o = got.begin(); o != got.end(); ++o)
        if (SameDeletedPath(o->first, test::FoldFatPath("根目录/" + path))) it = o;
    }
    // What the listing does not show (files inside deleted FAT16 folders) is the listing's matter.
    if (it == got.end() && deleted) continue;
    ASSERT_NE(it, got.end()) << path;
    if (GetParam().overwritten.count(path)) {
      EXPECT_NE(it->second, row.at("sha256")) << path;
    } else {
      EXPECT_EQ(it->second, row.at("sha256")) << path;
    }
    ++checked;
  }
  EXPECT_GE(checked, 5);
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, FatRecovery,
    ::testing::Values(FatCase{"fat32-tree.img.gz", {"TMP/GAP1.TMP", "TMP/MORE/GAP2.TMP", "TMP/MORE/GAP3.TMP"}},
                      FatCase{"fat16-512.img.gz", {"SWAP/GAP.TMP"}}, FatCase{"fat32-highword.img.gz", {}}),
    [](const auto& p) { return test::TestNameFromPath(p.param.image); });

// A deleted file written into a hole too small for it went on after the
// existing file that bounds the hole (mtools on FAT16 takes free clusters
// from the start). Passing over that file's clusters gives it back byte for
// byte, as The Sleuth Kit's icat reads it.
TEST(FatRecovery, DeletedFileAroundAnExistingOne) {
  if (test::RunCommand("command -v mkfs.fat && command -v mcopy && command -v mdel").exitCode != 0)
    GTEST_SKIP() << "dosfstools or mtools not installed";
  test::TempDir work;
  // Numbered lines: no two sectors alike, so a misplaced cluster shows.
  const auto lines = [](char tag, size_t size) {
    std::string text;
    for (size_t i = 0; text.size() < size; ++i) text += tag + std::to_string(1000000 + i) + "\n";
    text.resize(size);
    return std::vector<uint8_t>(text.begin(), text.end());
  };
  work.write("x", lines('x', 3000));
  work.write("y", lines('y', 2000));
  const auto z = lines('z', 9000);
  work.write("z", z);
  const auto made = test::RunCommand(
      "cd " + test::ShellQuote(work.path().string()) +
      " && truncate -s 8M f.img && mkfs.fat -F 16 -s 1 f.img >/dev/null && mcopy -i f.img x ::X.BIN &&"
      " mcopy -i f.img y ::Y.BIN && mdel -i f.img ::X.BIN && mcopy -i f.img z ::Z.BIN && mdel -i f.img ::Z.BIN");
  ASSERT_EQ(made.exitCode, 0) << made.err;
  Scanned s;
  ASSERT_TRUE(s.load(work.path() / "f.img"));
  test::TempDir out;
  const SaveSummary summary = SaveSelected(s.wholePartition(), Settings(out.path()));
  EXPECT_EQ(summary.damaged, 0u);
  const std::string want = test::RunCommand("sha256sum " + test::ShellQuote((work.path() / "z").string())).out.substr(0, 64);
  std::string got;
  for (const auto& [path, sha] : test::Sha256Tree(out.path()))
    if (fsys::file_size(out.path() / path) == z.size()) got = sha;
  EXPECT_EQ(got, want);
  const auto inode = test::RunCommand("fls -d " + test::ShellQuote(s.image.string()) + " | sed -n 's/^r.r \\* \\([0-9]*\\):.*/\\1/p'");
  if (inode.exitCode == 0 && !inode.out.empty()) {
    const auto icat = test::RunCommand("icat " + test::ShellQuote(s.image.string()) + " " + inode.out.substr(0, inode.out.find('\n')) + " | sha256sum");
    EXPECT_EQ(icat.out.substr(0, 64), want);
  }
}

// NTFS: live files (resident, fragmented, sparse, compressed by ntfs-3g) match
// the manifest; deleted ones match what The Sleuth Kit's icat reads from
// their records, since some of their clusters were reused.
TEST(NtfsRecovery, FilesComeBackByteForByte) {
  Scanned s;
  const auto dir = test::FixturesDir() / "ntfs";
  ASSERT_TRUE(s.load(dir / "ntfs-tree.img.gz"));
  test::TempDir out;
  const SaveSummary summary = SaveSelected(s.wholePartition(), Settings(out.path()));
  ASSERT_TRUE(summary.refusal.empty());
  EXPECT_EQ(summary.failed, 0u);
  const auto got = test::Sha256Tree(out.path());
  const bool haveIcat = test::RunCommand("command -v icat").exitCode == 0;
  int live = 0, deleted = 0;
  for (const auto& row : test::ReadManifest(dir / "ntfs-tree.files.tsv")) {
    const std::string& path = row.at("path");
    if (path.back() == '/') continue;
    const auto it = got.find("根目录/" + path);
    if (row.at("state") == "live") {
      ASSERT_NE(it, got.end()) << path;
      EXPECT_EQ(it->second, row.at("sha256")) << path;
      ++live;
    } else if (it != got.end() && haveIcat) {
      const auto icat = test::RunCommand("icat " + test::ShellQuote(s.image.string()) + " " + row.at("record") +
                                         " | sha256sum");
      EXPECT_EQ(it->second, icat.out.substr(0, 64)) << path;
      ++deleted;
    }
  }
  EXPECT_GT(live, 300);
  if (haveIcat) {
    EXPECT_GT(deleted, 10);
  }
}

// The Windows-made volume of the corpus: two LZNT1 files whose hashes are known.
TEST(NtfsRecovery, WindowsCompressedFiles) {
  Scanned s;
  if (!s.load(test::CorpusDir() / "ntfs/dissect-ntfs-win.img.gz")) GTEST_SKIP() << "corpus image absent";
  test::TempDir out;
  SaveJob job{&*s.disk, s.part, {}};
  for (const char* name : {"Large.txt", "Random.bin"})
    job.items.push_back({nullptr, Child(s.ntfs().root, name), nullptr, 0, {}});
  ASSERT_NE(job.items[0].ntfs, nullptr);
  ASSERT_NE(job.items[1].ntfs, nullptr);
  const SaveSummary summary = SaveSelected(job, Settings(out.path()));
  EXPECT_EQ(summary.files, 2u);
  EXPECT_EQ(summary.damaged, 0u);
  const auto got = test::Sha256Tree(out.path());
  EXPECT_EQ(got.at("Large.txt"), "5b766f6d76a999636fd93b4e039d5a32187f84a19c0950449f0c721da0223914");
  EXPECT_EQ(got.at("Random.bin"), "abe14bae00734c703772844542916a386641bca80c1db871729826732cc603fa");
}

// Undelete images made by Windows XP, with their published MD5s.
TEST(UndeleteImages, NtfsAndFat16) {
  struct Expect {
    const char* image;
    std::map<std::string, std::string> md5;  // file name -> MD5
  };
  const Expect cases[] = {
      {"ntfs/dftt-7-ntfs-undel.dd.gz",
       {{"res1.dat", "9036637712b491904cd0bfbdbe648453"}, {"sing1.dat", "59b20779f69ff9f0ac5fcd2c38835a79"},
        {"mult1.dat", "ffd27bd782bdce67750b6b9ee069d2ef"}, {"frag1.dat", "7a3bc5b763bef201202108f4ba128149"},
        {"frag2.dat", "0e80ab84ef0087e60dfc67b88a1cf13e"}, {"mult2.dat", "59cf0e9cd107bc1e75afb7374f6e05bb"},
        {"frag3.dat", "21121699487f3fbbdb9a4b3391b6d3e0"}, {"sing2.dat", "c229626f6a71b167ad7e50c4f2fccdb1"}}},
      // Deleted FAT files are copied as contiguous clusters: the fragmented
      // ones give the values the image's authors list for such a recovery.
      {"fat/dftt-6-fat-undel.dd.gz",
       {{"_ing.dat", "59b20779f69ff9f0ac5fcd2c38835a79"}, {"_ult1.dat", "ffd27bd782bdce67750b6b9ee069d2ef"},
        {"mult2.dat", "59cf0e9cd107bc1e75afb7374f6e05bb"}, {"_rag1.dat", "c4f3b9a0f17d464f4fc61b94ecf6cc21"},
        {"_rag2.dat", "965370acfa85aa7e26ab04bbd45cdcae"}, {"frag3.dat", "a7a14ac62f79fdea4056ed5e8bcf97ef"}}},
  };
  for (const Expect& c : cases) {
    SCOPED_TRACE(c.image);
    Scanned s;
    if (!s.load(test::CorpusDir() / c.image)) GTEST_SKIP() << "corpus image absent";
    test::TempDir out;
    SaveJob job = s.wholePartition();
    if (auto* n = fs::FindNtfsState(*s.part)) {
      // sing2.dat lost its folder (the record was reused): it sits under a placeholder.
      job.items.clear();
      job.items.push_back({nullptr, &n->root, nullptr, 0, {}});
      job.items.push_back({nullptr, &n->orphans, nullptr, 0, {}});
    }
    const SaveSummary summary = SaveSelected(job, Settings(out.path()));
    EXPECT_EQ(summary.failed, 0u);
    const auto r = test::RunCommand("cd " + test::ShellQuote(out.path().string()) +
                                    " && find . -type f -print0 | xargs -0 md5sum");
    std::map<std::string, std::string> byName;
    std::istringstream lines(r.out);
    std::string line;
    while (std::getline(lines, line)) {
      const std::string path = line.substr(34);
      byName[test::FoldFatPath(path.substr(path.rfind('/') + 1))] = line.substr(0, 32);
    }
    for (const auto& [name, md5] : c.md5) {
      ASSERT_TRUE(byName.count(name)) << name;
      EXPECT_EQ(byName[name], md5) << name;
    }
  }
}

// Only existing files: the folder path is made and holds the existing files only.
TEST(SaveWalk, IncludeExistingOnly) {
  Scanned s;
  ASSERT_TRUE(s.load(test::DemoImageGz()));
  test::TempDir out;
  SaveSettings settings = Settings(out.path());
  settings.options.recoverDeleted = false;
  const fs::FatNode* folder = Child(s.fat().root, "文档");
  ASSERT_NE(folder, nullptr);
  SaveJob job{&*s.disk, s.part, {{folder, nullptr, nullptr, 0, {"根目录"}}}};
  const SaveSummary summary = SaveSelected(job, settings);
  EXPECT_EQ(summary.files, 2u);
  const auto got = test::Sha256Tree(out.path());
  EXPECT_EQ(got.size(), 2u);
  EXPECT_EQ(got.at("根目录/文档/年度报告 2024 最终版.txt"),
            "04f8f0f2c209754289615a693e173bd93759c5cf3089df85c494edbba88c7fbd");
  EXPECT_TRUE(got.count("根目录/文档/report.pdf"));

  // A deleted folder holding deleted files only: nothing, not even the folder.
  SaveJob trash{&*s.disk, s.part, {{Child(s.fat().root, "临时"), nullptr, nullptr, 0, {}}}};
  ASSERT_NE(trash.items[0].fat, nullptr);
  test::TempDir all;
  EXPECT_EQ(SaveSelected(trash, Settings(all.path())).files, 3u);  // both flags on: its three files
  test::TempDir empty;
  SaveSettings existingOnly = settings;
  existingOnly.options.target = empty.path().string();
  EXPECT_EQ(SaveSelected(trash, existingOnly).files, 0u);
  EXPECT_TRUE(fsys::is_empty(empty.path()));

  // The deleted ones only, with a filter: just the .txt deleted file that survived.
  test::TempDir out2;
  SaveSettings deletedTxt = Settings(out2.path());
  deletedTxt.options.recoverExisting = false;
  deletedTxt.options.filter = "*.txt";
  SaveSelected(job, deletedTxt);
  const auto got2 = test::Sha256Tree(out2.path());
  EXPECT_EQ(got2.size(), 2u);  // 会议纪要.txt and the overwritten 草稿.txt
  EXPECT_EQ(got2.at("根目录/文档/会议纪要.txt"), "5ec2aa99326330c8e329edb285a2fbc35a67c1b02dacf3d609d8a6e4a29f9740");
}

TEST(SaveWalk, AResidentFileIsSavedAtItsSizeAndTwiceSavedFilesCountUp) {
  Scanned s;
  ASSERT_TRUE(s.load(test::DemoImageGz()));
  ASSERT_GE(s.disk->partitions.size(), 2u);
  s.part = &s.disk->partitions[1];
  platform::ProgressBlock progress;
  ASSERT_TRUE(fs::ScanNtfs(*s.disk, *s.part, progress));
  const fs::NtfsNode* a = Find(s.ntfs().root, "临时文件/子目录/a.txt");
  ASSERT_NE(a, nullptr);
  test::TempDir out;
  SaveJob job{&*s.disk, s.part, {{nullptr, a, nullptr, 0, {}}}};
  for (int i = 0; i < 3; ++i) SaveSelected(job, Settings(out.path()));
  EXPECT_EQ(fsys::file_size(out.path() / "a.txt"), 300u);
  const auto got = test::Sha256Tree(out.path());
  EXPECT_EQ(got.size(), 3u);
  for (const char* name : {"a.txt", "a.txt0.txt", "a.txt1.txt"})
    EXPECT_EQ(got.at(name), "c882563513b12edc9713606ca2a3543a50be03b630acc51cb1e26703305e1ea4") << name;
}

TEST(SaveWalk, InvalidNamesAreAskedForAndSkipAllStopsEverything) {
  Scanned s;
  ASSERT_TRUE(s.load(test::DemoImageGz()));
  // A name no target can take, and one that would climb out of the target.
  fs::FatNode& first = s.fat().root.children.front();  // the first folder walked
  ASSERT_TRUE(fs::IsFolderLike(first.flags));
  first.name = "x?y";
  Find(s.fat().root, "TINY.TXT")->name = "..";
  {
    test::TempDir out;
    SaveSettings settings = Settings(out.path());
    std::vector<std::string> asked;
    settings.ask = [&](const std::string& old, const std::string& proposed) {
      asked.push_back(old + " -> " + proposed);
      return NameAnswer{NameAnswer::kRename, ReplaceInvalid(old, "_"), true, "_"};
    };
    SaveSelected(s.wholePartition(), settings);
    EXPECT_EQ(asked, std::vector<std::string>{"x?y -> x$y"});
    EXPECT_TRUE(fsys::is_directory(out.path() / "根目录" / "x_y"));
    EXPECT_TRUE(fsys::is_regular_file(out.path() / "根目录" / "__"));
    EXPECT_FALSE(fsys::exists(out.path() / "TINY.TXT"));
    EXPECT_FALSE(fsys::exists(out.path().parent_path() / "TINY.TXT"));
  }
  {
    test::TempDir out;
    SaveSettings settings = Settings(out.path());
    settings.ask = [](const std::string&, const std::string&) {
      return NameAnswer{NameAnswer::kSkipAll, {}, false, {}};
    };
    const SaveSummary summary = SaveSelected(s.wholePartition(), settings);
    // "x?y" is the first folder walked: nothing at all is saved.
    EXPECT_EQ(summary.files, 0u);
    EXPECT_TRUE(test::Sha256Tree(out.path()).empty());
  }
}

TEST(SaveWalk, UseFatOffCopiesContiguousClusters) {
  Scanned s;
  ASSERT_TRUE(s.load(test::FixturesDir() / "fat/fat32-tree.img.gz"));
  const fs::FatNode* notes = Find(s.fat().root, "Documents/Work/Projects 2024/Alpha Release/Design Notes.txt");
  ASSERT_NE(notes, nullptr);
  SaveJob job{&*s.disk, s.part, {{notes, nullptr, nullptr, 0, {}}}};
  test::TempDir chain, contiguous;
  SaveSelected(job, Settings(chain.path()));
  SaveSettings off = Settings(contiguous.path());
  off.options.useFat = false;
  SaveSelected(job, off);
  const auto a = test::Sha256Tree(chain.path()).at("Design Notes.txt");
  const auto b = test::Sha256Tree(contiguous.path()).at("Design Notes.txt");
  EXPECT_NE(a, b);  // the file is fragmented: only the chain gets it right
  EXPECT_EQ(fsys::file_size(contiguous.path() / "Design Notes.txt"), 20480u);
  for (const auto& row : test::ReadManifest(test::FixturesDir() / "fat/fat32-tree.files.tsv"))
    if (row.at("path") == "Documents/Work/Projects 2024/Alpha Release/Design Notes.txt") {
      EXPECT_EQ(a, row.at("sha256"));
    }
}

// A deleted photo whose entry lost the high word of its first cluster is
// found by its header above cluster 65535.
TEST(SaveWalk, DeletedKnownTypesAreFoundByTheirHeader) {
  Scanned s;
  ASSERT_TRUE(s.load(test::FixturesDir() / "fat/fat32-highword-cleared.img.gz"));
  fs::FatNode* file = nullptr;
  s.fat().nameIndex.forEach([&](const fs::FatNode* n) {
    if (n->name == "first file.txt") file = const_cast<fs::FatNode*>(n);
  });
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(file->firstCluster & 0xFFFF, 65545u & 0xFFFF);
  // Turn its content into a JPEG (header at its true first cluster) and its name with it.
  const uint64_t offset = (s.part->clusterZeroSector + 65545ull * s.part->sectorsPerCluster) * 512;
  {
    std::fstream image(s.image, std::ios::in | std::ios::out | std::ios::binary);
    image.seekp(static_cast<std::streamoff>(offset));
    image.write("\xFF\xD8\xFF\xE0\x00\x10JFIF", 10);
  }
  file->name = "first file.jpg";
  test::TempDir out;
  SaveJob job{&*s.disk, s.part, {{file, nullptr, nullptr, 0, {}}}};
  const SaveSummary summary = SaveSelected(job, Settings(out.path()));
  EXPECT_EQ(summary.files, 1u);
  std::ifstream image(s.image, std::ios::binary);
  image.seekg(static_cast<std::streamoff>(offset));
  std::string want(1536, '\0');
  image.read(want.data(), 1536);
  std::ifstream got(out.path() / "first file.jpg", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(got), {}), want);
}

class CancelAfterFirstFile final : public platform::ProgressSink {
 public:
  explicit CancelAfterFirstFile(platform::ProgressBlock& b) : block_(b) {}
  void beginStage(int64_t, int64_t) override {}
  void step() override {}
  void setPosition(uint64_t) override { block_.requestCancel(); }

 private:
  platform::ProgressBlock& block_;
};

TEST(SaveWalk, CancelStopsAtTheNextPiece) {
  Scanned s;
  ASSERT_TRUE(s.load(test::FixturesDir() / "fat/fat32-tree.img.gz"));
  test::TempDir out;
  platform::ProgressBlock progress;
  CancelAfterFirstFile sink(progress);
  progress.window = &sink;
  SaveSettings settings = Settings(out.path());
  settings.progress = &progress;
  const SaveSummary summary = SaveSelected(s.wholePartition(), settings);
  EXPECT_TRUE(summary.cancelled);
  EXPECT_EQ(test::Sha256Tree(out.path()).size(), 1u);
}

TEST(SaveWalk, CarvedFilesAreWrittenAtTheirExactSize) {
  Scanned s;
  ASSERT_TRUE(s.load(test::DemoImageGz()));
  disk::CarvedNode& folder = s.disk->extraFoundFolder;
  folder.name = disk::kExtraFoundFolderName;
  const uint64_t inside = s.part->startSector + 100;
  folder.children[inside] = disk::CarvedNode{0, 1000, std::to_string(inside) + ".jpg", {}};
  folder.children[s.part->startSector + s.part->sectorCount + 5] = disk::CarvedNode{0, 700, "outside.jpg", {}};
  test::TempDir out;
  SaveJob single{&*s.disk, s.part, {{nullptr, nullptr, &folder.children[inside], inside, {}}}};
  SaveSelected(single, Settings(out.path()));
  EXPECT_EQ(fsys::file_size(out.path() / (std::to_string(inside) + ".jpg")), 1000u);
  std::ifstream image(s.image, std::ios::binary);
  image.seekg(static_cast<std::streamoff>(inside * 512));
  std::string want(1000, '\0');
  image.read(want.data(), 1000);
  std::ifstream got(out.path() / (std::to_string(inside) + ".jpg"), std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(got), {}), want);

  // The folder saves the carved files of this partition only.
  test::TempDir all;
  SaveJob job{&*s.disk, s.part, {{nullptr, nullptr, &folder, 0, {}}}};
  EXPECT_EQ(JobSize(job, {}), 1000u);
  SaveSelected(job, Settings(all.path()));
  const auto got2 = test::Sha256Tree(all.path());
  EXPECT_EQ(got2.size(), 1u);
  EXPECT_TRUE(got2.count(std::string("Extra Found Files/") + std::to_string(inside) + ".jpg"));
}

class CountingSink final : public platform::ProgressSink {
 public:
  void beginStage(int64_t upper, int64_t) override { stages.push_back(upper); }
  void step() override { ++steps; }
  void setPosition(uint64_t) override {}
  std::vector<int64_t> stages;
  std::atomic<int> steps{0};
};

// The pool writes what the single save writes, whatever the number of workers.
TEST(SavePool, SameFilesAsOneByOne) {
  Scanned s;
  ASSERT_TRUE(s.load(test::FixturesDir() / "fat/fat32-tree.img.gz"));
  std::vector<SaveJob> jobs;
  for (const fs::FatNode& child : s.fat().root.children) jobs.push_back({&*s.disk, s.part, {{&child, nullptr, nullptr, 0, {"根目录"}}}});
  ASSERT_GT(jobs.size(), 5u);
  test::TempDir single, pooled;
  SaveSelected(s.wholePartition(), Settings(single.path()));
  platform::ProgressBlock progress;
  CountingSink sink;
  progress.window = &sink;
  SaveSettings settings = Settings(pooled.path());
  settings.progress = &progress;
  const SaveSummary summary = SaveChecked(jobs, settings, 4);
  EXPECT_EQ(summary.failed, 0u);
  auto a = test::Sha256Tree(single.path());
  // The single save walked "零散目录" too; the pool only the root's children.
  std::erase_if(a, [](const auto& e) { return !e.first.starts_with("根目录/"); });
  EXPECT_EQ(test::Sha256Tree(pooled.path()), a);
  EXPECT_EQ(sink.stages, std::vector<int64_t>{100});
  EXPECT_GE(sink.steps.load(), 90);
  EXPECT_LE(sink.steps.load(), 101);
  EXPECT_EQ(progress.textString(), SavedBytesText(summary.bytes));
}

// A target that fills up: a file the save could not write a byte of is
// removed, a partly written one stays and counts as not intact.
TEST(SaveSpace, ATargetThatFillsUp) {
  Scanned s;
  ASSERT_TRUE(s.load(test::FixturesDir() / "fat/fat16-512.img.gz"));
  test::TempDir out;
  if (test::RunCommand("mount -t tmpfs -o size=48k orvaldi-full " + test::ShellQuote(out.path().string()))
          .exitCode != 0)
    GTEST_SKIP() << "cannot mount a small tmpfs (needs root)";
  struct Unmount {
    const fsys::path& at;
    ~Unmount() { test::RunCommand("umount " + test::ShellQuote(at.string())); }
  } unmount{out.path()};
  SaveSettings settings = Settings(out.path());
  settings.freeSpace = [](const std::string&) { return std::nullopt; };  // go ahead regardless
  const SaveSummary summary = SaveSelected(s.wholePartition(), settings);
  EXPECT_GT(summary.failed, 0u);
  EXPECT_GT(summary.damaged, 0u);
  for (const auto& entry : fsys::recursive_directory_iterator(out.path())) {
    if (!entry.is_regular_file()) continue;
    EXPECT_TRUE(entry.file_size() > 0 || entry.path().filename() == "EMPTY.DAT") << entry.path();
  }
}

// The single save needs more room than it writes; the checked save may fill the disk.
TEST(SaveSpace, ASizeEqualToTheFreeSpace) {
  Scanned s;
  ASSERT_TRUE(s.load(test::DemoImageGz()));
  const fs::FatNode* tiny = Child(s.fat().root, "TINY.TXT");
  ASSERT_NE(tiny, nullptr);
  SaveJob job{&*s.disk, s.part, {{tiny, nullptr, nullptr, 0, {}}}};
  ASSERT_EQ(JobSize(job, {}), 5u);
  test::TempDir out;
  SaveSettings settings = Settings(out.path());
  settings.freeSpace = [](const std::string&) { return std::optional<uint64_t>(5); };
  SaveSummary summary = SaveSelected(job, settings);
  EXPECT_EQ(summary.refusal, "即将保存 0.0 KB,磁盘空间不够！");
  EXPECT_TRUE(test::Sha256Tree(out.path()).empty());
  summary = SaveChecked({job}, settings, 1);
  EXPECT_TRUE(summary.refusal.empty());
  EXPECT_EQ(summary.files, 1u);
  settings.freeSpace = [](const std::string&) { return std::optional<uint64_t>(4); };
  EXPECT_EQ(SaveChecked({job}, settings, 1).refusal, "目标盘剩余空间不足，请重新选择盘!");
  settings.options.target.clear();
  EXPECT_EQ(SaveSelected(job, settings).refusal, "选择保存路径");
}

}  // namespace
}  // namespace orvaldi::raw
