// The save operation on real volumes: byte-exact copies of what the fixture
// scripts wrote, the walk's options, names, cancel, carved files and the pool.
#include "raw/save_engine.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>

#include "disk/disk_list.h"
#include "fs/fat_state.h"
#include "ops/file_ops.h"
#include "ops/open_partition.h"
#include "support/test_images.h"

namespace orvaldi::raw {
namespace {

namespace fsys = std::filesystem;
using test::ShellQuote;

// An image written out to a file, loaded as a source and one partition opened.
struct Scanned {
  test::TempDir dir;
  fsys::path image;
  std::optional<disk::DiskInfo> disk;
  disk::PartitionInfo* part = nullptr;
  ops::OpenedPartition opened;

  bool load(const fsys::path& gz, size_t partition = 0) {
    auto bytes = test::LoadImage(gz);
    if (!bytes) return false;
    image = dir.write("source.img", *bytes);
    disk = disk::LoadSource(image.string());
    if (!disk || disk->partitions.size() <= partition) return false;
    part = &disk->partitions[partition];
    platform::ProgressBlock progress;
    opened = ops::OpenPartition(*disk, *part, ops::ScanMode::kWalk, progress);
    return opened.status == ops::OpenStatus::kOk;
  }
  // "根目录" and "零散目录".
  SaveJob wholePartition() { return {&*disk, part, {{opened.tops[0], {}}, {opened.tops[1], {}}}}; }
  fs::NodeRef at(const std::string& path) {
    const auto found = ops::ResolvePath(opened.tops, "根目录/" + path);
    return found.empty() ? fs::NodeRef() : found.front().node;
  }
  SaveJob job(const std::vector<fs::NodeRef>& nodes, std::vector<std::string> folders = {}) {
    SaveJob j{&*disk, part, {}};
    for (const fs::NodeRef& n : nodes) j.items.push_back({n, folders});
    return j;
  }
  fs::FatScanState& fat() { return fs::FatStateOf(*part); }
};

SaveSettings Settings(const fsys::path& target) {
  SaveSettings s;
  s.options.target = target.string();
  return s;
}

std::string FileBytes(const fsys::path& p, uint64_t offset = 0, size_t length = std::string::npos) {
  std::ifstream in(p, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  return std::string(std::istreambuf_iterator<char>(in), {}).substr(0, length);
}

// `got` names `want` with the first letter of some components lost ("_").
bool SameDeletedPath(const std::string& got, const std::string& want) {
  std::istringstream g(got), w(want);
  for (std::string a, b;;) {
    const bool moreA = static_cast<bool>(std::getline(g, a, '/')), moreB = static_cast<bool>(std::getline(w, b, '/'));
    if (moreA != moreB) return false;
    if (!moreA) return true;
    if (a != b && (a.empty() || a[0] != '_' || b.empty() || a.substr(1) != b.substr(1))) return false;
  }
}

// Every file the fixture scripts wrote comes back byte for byte: live ones
// through their chains or runs (fragmented, resident, sparse, compressed by
// ntfs-3g); deleted FAT ones from their clusters, except those whose
// clusters later files took; deleted NTFS ones as The Sleuth Kit's icat
// reads their records, since some of their clusters were reused.
struct ManifestCase {
  const char* image;
  std::set<std::string> overwritten;
  int atLeast;         // files compared
  int deletedAtLeast;  // deleted ones among them (NTFS: when icat is there)
};
void PrintTo(const ManifestCase& c, std::ostream* os) { *os << c.image; }
class Recovery : public ::testing::TestWithParam<ManifestCase> {};

TEST_P(Recovery, FilesComeBackByteForByte) {
  const std::string image = GetParam().image;
  Scanned s;
  ASSERT_TRUE(s.load(test::FixturesDir() / image));
  const bool fat = s.opened.family != disk::FsFamily::kNtfs;
  const auto fold = [fat](const std::string& path) { return fat ? test::FoldFatPath(path) : path; };
  test::TempDir out;
  const SaveSummary summary = SaveSelected(s.wholePartition(), Settings(out.path()));
  ASSERT_TRUE(summary.refusal.empty()) << summary.refusal;
  EXPECT_EQ(summary.failed, 0u);
  std::map<std::string, std::string> got;
  for (const auto& [path, sha] : test::Sha256Tree(out.path())) got[fold(path)] = sha;
  const bool haveIcat = test::RunCommand("command -v icat").exitCode == 0;
  int checked = 0, deletedChecked = 0;
  for (const auto& row : test::ReadManifest(test::FixturesDir() / (image.substr(0, image.size() - 7) + ".files.tsv"))) {
    const std::string& path = row.at("path");
    if (path.back() == '/' || (fat && row.at("size") == "0")) continue;
    const bool deleted = row.at("state") == "deleted";
    const std::string want = fold("根目录/" + path);
    // Deleted FAT short names (of files and of the folders above them) lost
    // their first letter; long names did not.
    auto it = got.find(want);
    for (auto o = got.begin(); it == got.end() && fat && deleted && o != got.end(); ++o)
      if (SameDeletedPath(o->first, want)) it = o;
    // What the listing does not show (files inside deleted FAT16 folders) is the listing's matter.
    if (it == got.end() && deleted) continue;
    ASSERT_NE(it, got.end()) << path;
    if (deleted && !fat) {
      if (!haveIcat) continue;
      const auto icat =
          test::RunCommand("icat " + ShellQuote(s.image.string()) + " " + row.at("record") + " | sha256sum");
      EXPECT_EQ(it->second, icat.out.substr(0, 64)) << path;
    } else if (GetParam().overwritten.count(path)) {
      EXPECT_NE(it->second, row.at("sha256")) << path;
    } else {
      EXPECT_EQ(it->second, row.at("sha256")) << path;
    }
    ++checked;
    deletedChecked += deleted;
  }
  EXPECT_GE(checked, GetParam().atLeast);
  if (fat || haveIcat) {
    EXPECT_GE(deletedChecked, GetParam().deletedAtLeast);
  }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, Recovery,
                         ::testing::Values(ManifestCase{"fat/fat32-tree.img.gz",
                                                        {"TMP/GAP1.TMP", "TMP/MORE/GAP2.TMP", "TMP/MORE/GAP3.TMP"},
                                                        5,
                                                        3},
                                           ManifestCase{"fat/fat16-512.img.gz", {"SWAP/GAP.TMP"}, 5, 1},
                                           ManifestCase{"fat/fat32-highword.img.gz", {}, 5, 0},
                                           ManifestCase{"ntfs/ntfs-tree.img.gz", {}, 300, 11}),
                         [](const auto& p) { return test::TestNameFromPath(p.param.image); });

// A deleted file written into a hole too small for it went on after the
// existing file that bounds the hole (mtools on FAT16 takes free clusters
// from the start). Passing over that file's clusters gives it back byte for
// byte.
TEST(Recovery, DeletedFatFileAroundAnExistingOne) {
  if (test::RunCommand("command -v mkfs.fat && command -v mcopy && command -v mdel").exitCode != 0)
    GTEST_SKIP() << "dosfstools or mtools not installed";
  test::TempDir work;
  // Numbered lines: no two sectors alike, so a misplaced cluster shows.
  const auto lines = [&](const char* name, char tag, size_t size) {
    std::string text;
    for (size_t i = 0; text.size() < size; ++i) text += tag + std::to_string(1000000 + i) + "\n";
    text.resize(size);
    return work.write(name, std::vector<uint8_t>(text.begin(), text.end()));
  };
  lines("x", 'x', 3000);
  lines("y", 'y', 2000);
  lines("z", 'z', 9000);
  const auto made = test::RunCommand(
      "cd " + ShellQuote(work.path().string()) +
      " && truncate -s 8M f.img && mkfs.fat -F 16 -s 1 f.img >/dev/null && mcopy -i f.img x ::X.BIN &&"
      " mcopy -i f.img y ::Y.BIN && mdel -i f.img ::X.BIN && mcopy -i f.img z ::Z.BIN && mdel -i f.img ::Z.BIN");
  ASSERT_EQ(made.exitCode, 0) << made.err;
  Scanned s;
  ASSERT_TRUE(s.load(work.path() / "f.img"));
  test::TempDir out;
  EXPECT_EQ(SaveSelected(s.wholePartition(), Settings(out.path())).damaged, 0u);
  const auto want = test::Sha256Tree(work.path()).at("z");
  EXPECT_EQ(std::ranges::count_if(test::Sha256Tree(out.path()), [&](const auto& e) { return e.second == want; }), 1);
}

// Corpus images with published hashes: two LZNT1 files of a Windows-made
// volume, and the undelete images made by Windows XP.
TEST(Recovery, CorpusImagesWithKnownHashes) {
  const struct {
    const char* image;
    const char* hash;  // the command that gives the published values
    std::map<std::string, std::string> byName;
  } cases[] = {
      {"ntfs/dissect-ntfs-win.img.gz",
       "sha256sum",
       {{"large.txt", "5b766f6d76a999636fd93b4e039d5a32187f84a19c0950449f0c721da0223914"},
        {"random.bin", "abe14bae00734c703772844542916a386641bca80c1db871729826732cc603fa"}}},
      {"ntfs/dftt-7-ntfs-undel.dd.gz",
       "md5sum",
       {{"res1.dat", "9036637712b491904cd0bfbdbe648453"},
        {"sing1.dat", "59b20779f69ff9f0ac5fcd2c38835a79"},
        {"mult1.dat", "ffd27bd782bdce67750b6b9ee069d2ef"},
        {"frag1.dat", "7a3bc5b763bef201202108f4ba128149"},
        {"frag2.dat", "0e80ab84ef0087e60dfc67b88a1cf13e"},
        {"mult2.dat", "59cf0e9cd107bc1e75afb7374f6e05bb"},
        {"frag3.dat", "21121699487f3fbbdb9a4b3391b6d3e0"},
        {"sing2.dat", "c229626f6a71b167ad7e50c4f2fccdb1"}}},
      // Deleted FAT files are copied as contiguous clusters: the fragmented
      // ones give the values the image's authors list for such a recovery.
      {"fat/dftt-6-fat-undel.dd.gz",
       "md5sum",
       {{"_ing.dat", "59b20779f69ff9f0ac5fcd2c38835a79"},
        {"_ult1.dat", "ffd27bd782bdce67750b6b9ee069d2ef"},
        {"mult2.dat", "59cf0e9cd107bc1e75afb7374f6e05bb"},
        {"_rag1.dat", "c4f3b9a0f17d464f4fc61b94ecf6cc21"},
        {"_rag2.dat", "965370acfa85aa7e26ab04bbd45cdcae"},
        {"frag3.dat", "a7a14ac62f79fdea4056ed5e8bcf97ef"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.image);
    Scanned s;
    if (!s.load(test::CorpusDir() / c.image)) GTEST_SKIP() << "corpus image absent";
    test::TempDir out;
    // sing2.dat lost its folder (the record was reused): it sits under "零散目录".
    const SaveSummary summary = SaveSelected(s.wholePartition(), Settings(out.path()));
    EXPECT_EQ(summary.failed, 0u);
    EXPECT_EQ(summary.damaged, 0u);
    const auto r =
        test::RunCommand("cd " + ShellQuote(out.path().string()) + " && find . -type f -print0 | xargs -0 " + c.hash);
    std::map<std::string, std::string> byName;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);)
      byName[test::FoldFatPath(line.substr(line.rfind('/') + 1))] = line.substr(0, line.find(' '));
    for (const auto& [name, hash] : c.byName) EXPECT_EQ(byName[name], hash) << name;
  }
}

// The flags and the filter: a folder path is made only for files saved into it.
TEST(SaveWalk, DeletedExistingAndFilter) {
  Scanned s;
  ASSERT_TRUE(s.load(test::DemoImageGz()));
  const SaveJob docs = s.job({s.at("文档")}, {"根目录"});
  const SaveJob trash = s.job({s.at("临时")});
  ASSERT_TRUE(docs.items[0].node && trash.items[0].node);
  const struct {
    const SaveJob& job;
    bool deleted, existing;
    const char* filter;
    std::vector<std::string> files;
  } cases[] = {
      {docs, false, true, "", {"根目录/文档/report.pdf", "根目录/文档/年度报告 2024 最终版.txt"}},
      // The deleted .txt files only: 会议纪要.txt and the overwritten 草稿.txt.
      {docs, true, false, "*.txt", {"根目录/文档/会议纪要.txt", "根目录/文档/草稿.txt"}},
      // A deleted folder of deleted files: its three files, or nothing at all.
      {trash, true, true, "", {"临时/\xC3\xA5otes.txt", "临时/旧照片/DSC 0001.jpg", "临时/旧照片/\xC3\xA5MG_0100.JPG"}},
      {trash, false, true, "", {}},
  };
  for (const auto& c : cases) {
    test::TempDir out;
    SaveSettings settings = Settings(out.path());
    settings.options.recoverDeleted = c.deleted;
    settings.options.recoverExisting = c.existing;
    settings.options.filter = c.filter;
    const SaveSummary summary = SaveSelected(c.job, settings);
    std::vector<std::string> files;
    for (const auto& [path, sha] : test::Sha256Tree(out.path())) {
      files.push_back(path);
      EXPECT_TRUE(!path.ends_with("会议纪要.txt") ||
                  sha == "5ec2aa99326330c8e329edb285a2fbc35a67c1b02dacf3d609d8a6e4a29f9740");
      EXPECT_TRUE(!path.ends_with("最终版.txt") ||
                  sha == "04f8f0f2c209754289615a693e173bd93759c5cf3089df85c494edbba88c7fbd");
    }
    EXPECT_EQ(files, c.files) << c.filter;
    EXPECT_EQ(files.size(), summary.files);
    EXPECT_EQ(files.empty(), fsys::is_empty(out.path()));  // no folder without a file in it
  }
}

TEST(SaveWalk, InvalidNamesAreAskedForAndSkipAllStopsEverything) {
  Scanned s;
  ASSERT_TRUE(s.load(test::DemoImageGz()));
  // A name no target can take, and one that would climb out of the target.
  fs::FatNode& first = s.fat().root.children.front();  // the first folder walked
  ASSERT_TRUE(fs::IsFolderLike(first.flags));
  first.name = "x?y";
  const_cast<fs::FatNode*>(s.at("TINY.TXT").fat())->name = "..";
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
  EXPECT_FALSE(fsys::exists(out.path().parent_path() / "TINY.TXT"));

  test::TempDir none;
  settings = Settings(none.path());
  settings.ask = [](const std::string&, const std::string&) { return NameAnswer{NameAnswer::kSkipAll, {}, false, {}}; };
  // "x?y" is the first folder walked: nothing at all is saved.
  EXPECT_EQ(SaveSelected(s.wholePartition(), settings).files, 0u);
  EXPECT_TRUE(test::Sha256Tree(none.path()).empty());
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
  const std::string want = FileBytes(s.image, offset, 1536);
  test::TempDir out;
  EXPECT_EQ(SaveSelected(s.job({fs::NodeRef(file)}), Settings(out.path())).files, 1u);
  EXPECT_EQ(FileBytes(out.path() / "first file.jpg"), want);
}

// Counts the bar's stages and steps; cancels at the first file's progress when asked to.
struct RecordingSink final : platform::ProgressSink {
  RecordingSink(platform::ProgressBlock& b, bool cancels = false) : block(b), cancel(cancels) { b.setSink(this); }
  void beginStage(int64_t upper, int64_t) override { stages.push_back(upper); }
  void step() override { ++steps; }
  void setPosition(uint64_t) override {
    if (cancel) block.requestCancel();
  }
  platform::ProgressBlock& block;
  const bool cancel;
  std::vector<int64_t> stages;
  std::atomic<int> steps{0};
};

TEST(SaveWalk, CarvedFilesAreWrittenAtTheirExactSize) {
  Scanned s;
  ASSERT_TRUE(s.load(test::DemoImageGz()));
  disk::CarvedNode& folder = s.disk->extraFoundFolder;
  folder.name = disk::kExtraFoundFolderName;
  const uint64_t inside = s.part->startSector + 100;
  const std::string name = std::to_string(inside) + ".jpg";
  folder.children[inside] = disk::CarvedNode{0, 1000, name, {}};
  folder.children[s.part->startSector + s.part->sectorCount + 5] = disk::CarvedNode{0, 700, "outside.jpg", {}};
  // The folder saves the carved files of this partition only (their bytes
  // are the command line's carve test).
  test::TempDir all;
  const SaveJob job = s.job({fs::NodeRef::CarvedFolder(&folder, s.part->startSector, s.part->sectorCount)});
  EXPECT_EQ(JobSize(job, {}), 1000u);
  SaveSelected(job, Settings(all.path()));
  const auto got = test::Sha256Tree(all.path());
  EXPECT_EQ(got.size(), 1u);
  EXPECT_TRUE(got.count("Extra Found Files/" + name));
}

// On a volume with fragmented files: the pool writes what the single save
// writes, whatever the number of workers; a cancel stops at the next piece;
// without the FAT a file is copied as contiguous clusters.
TEST(SavePool, SameFilesAsOneByOneCancelAndNoFat) {
  Scanned s;
  ASSERT_TRUE(s.load(test::FixturesDir() / "fat/fat32-tree.img.gz"));
  std::vector<SaveJob> jobs;
  s.opened.tops[0].forEachChild([&](const fs::NodeRef& child) { jobs.push_back(s.job({child}, {"根目录"})); });
  ASSERT_GT(jobs.size(), 5u);
  test::TempDir single, pooled;
  SaveSelected(s.wholePartition(), Settings(single.path()));
  platform::ProgressBlock progress;
  RecordingSink sink(progress);
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
  EXPECT_EQ(progress.text(), SavedBytesText(summary.bytes));

  test::TempDir cancelled;
  platform::ProgressBlock cancelling;
  RecordingSink canceller(cancelling, true);
  settings = Settings(cancelled.path());
  settings.progress = &cancelling;
  EXPECT_TRUE(SaveSelected(s.wholePartition(), settings).cancelled);
  EXPECT_EQ(test::Sha256Tree(cancelled.path()).size(), 1u);

  const SaveJob notes = s.job({s.at("Documents/Work/Projects 2024/Alpha Release/Design Notes.txt")});
  ASSERT_TRUE(notes.items[0].node);
  test::TempDir contiguous;
  settings = Settings(contiguous.path());
  settings.options.useFat = false;
  SaveSelected(notes, settings);
  // Fragmented: only the chain's copy (compared with the manifest) is right.
  EXPECT_NE(test::Sha256Tree(contiguous.path()).at("Design Notes.txt"),
            a.at("根目录/Documents/Work/Projects 2024/Alpha Release/Design Notes.txt"));
  EXPECT_EQ(fsys::file_size(contiguous.path() / "Design Notes.txt"), 20480u);
}

// A target that fills up: a file the save could not write a byte of is
// removed, a partly written one stays and counts as not intact.
TEST(SaveSpace, ATargetThatFillsUp) {
  Scanned s;
  ASSERT_TRUE(s.load(test::FixturesDir() / "fat/fat16-512.img.gz"));
  test::TempDir out;
  if (test::RunCommand("mount -t tmpfs -o size=48k orvaldi-full " + ShellQuote(out.path().string())).exitCode != 0)
    GTEST_SKIP() << "cannot mount a small tmpfs (needs root)";
  struct Unmount {
    const fsys::path& at;
    ~Unmount() { test::RunCommand("umount " + ShellQuote(at.string())); }
  } unmount{out.path()};
  SaveSettings settings = Settings(out.path());
  settings.freeSpace = [](const std::string&) { return std::nullopt; };  // go ahead regardless
  const SaveSummary summary = SaveSelected(s.wholePartition(), settings);
  EXPECT_GT(summary.failed, 0u);
  EXPECT_GT(summary.damaged, 0u);
  for (const auto& entry : fsys::recursive_directory_iterator(out.path()))
    EXPECT_TRUE(!entry.is_regular_file() || entry.file_size() > 0 || entry.path().filename() == "EMPTY.DAT")
        << entry.path();
}

// The single save needs more room than it writes; the checked save may fill the disk.
TEST(SaveSpace, ASizeEqualToTheFreeSpace) {
  Scanned s;
  ASSERT_TRUE(s.load(test::DemoImageGz()));
  const SaveJob job = s.job({s.at("TINY.TXT")});
  ASSERT_EQ(JobSize(job, {}), 5u);
  test::TempDir out;
  SaveSettings settings = Settings(out.path());
  settings.freeSpace = [](const std::string&) { return std::optional<uint64_t>(5); };
  EXPECT_EQ(SaveSelected(job, settings).refusal, "即将保存 0.0 KB,磁盘空间不够！");
  EXPECT_TRUE(test::Sha256Tree(out.path()).empty());
  const SaveSummary summary = SaveChecked({job}, settings, 1);
  EXPECT_TRUE(summary.refusal.empty());
  EXPECT_EQ(summary.files, 1u);
  settings.freeSpace = [](const std::string&) { return std::optional<uint64_t>(4); };
  EXPECT_EQ(SaveChecked({job}, settings, 1).refusal, "目标盘剩余空间不足，请重新选择盘!");
  settings.options.target.clear();
  EXPECT_EQ(SaveSelected(job, settings).refusal, "选择保存路径");
}

}  // namespace
}  // namespace orvaldi::raw
