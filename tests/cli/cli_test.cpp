// The orvaldi command run as a user would: the demo disk's outputs against
// stored ones (ORVALDI_UPDATE_GOLDEN=1 rewrites them), recover and cat, and
// bad input.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <tuple>

#include "support/test_images.h"

namespace orvaldi {
namespace {

std::string Cli() { return test::CliPath().string(); }
std::string Quote(const std::string& s) { return test::ShellQuote(s); }

class DemoDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    auto bytes = test::LoadImage(test::DemoImageGz());
    ASSERT_TRUE(bytes) << "demo image missing: " << test::DemoImageGz();
    image_ = dir_.write("demo.img", *bytes);
  }
  // `orvaldi ARGS` with IMG standing for the demo image and TO for `--to` the
  // target folder, times in UTC.
  test::CommandResult run(std::string args) const {
    for (const auto& [key, text] : {std::pair<std::string, std::string>{"IMG", Quote(image_.string())},
                                    {"TO", "--to " + Quote(target_.path().string())}})
      if (const size_t at = args.find(key); at != std::string::npos) args.replace(at, key.size(), text);
    return test::RunCommand("TZ=UTC " + Cli() + " " + args);
  }
  // The output of `orvaldi ARGS` against a stored file, the image's folder written as DIR.
  void golden(const std::string& args, const std::string& file) const {
    auto r = run(args);
    ASSERT_EQ(r.exitCode, 0) << args << ": " << r.err;
    EXPECT_EQ(r.err, "") << args;  // no progress noise when stderr is not a terminal
    for (size_t at; (at = r.out.find(dir_.path().string())) != std::string::npos;)
      r.out.replace(at, dir_.path().string().size(), "DIR");
    const auto path = test::FixturesDir().parent_path() / "cli/golden" / file;
    if (std::getenv("ORVALDI_UPDATE_GOLDEN")) {
      std::ofstream(path, std::ios::binary) << r.out;
      return;
    }
    std::ifstream in(path, std::ios::binary);
    ASSERT_TRUE(in) << path;
    std::stringstream expected;
    expected << in.rdbuf();
    EXPECT_EQ(r.out, expected.str()) << args << " differs from " << path;
  }
  test::TempDir dir_, target_;
  std::filesystem::path image_;
};

// The JSON forms are the scripts' contract. An MBR is not a volume; each
// primary entry is probed where it starts. On an intact NTFS volume the
// search by sector finds what the MFT walk finds.
TEST_F(DemoDisk, GoldenOutputs) {
  golden("info IMG", "demo-info.txt");
  golden("info --json IMG", "demo-info.json");
  golden("parts IMG", "demo-parts.txt");
  golden("parts --json IMG", "demo-parts.json");
  golden("ls --json IMG 0", "demo-ls-fat32.jsonl");
  golden("ls --json IMG 1", "demo-ls-ntfs.jsonl");
  golden("ls --json --mode deep IMG 1", "demo-ls-ntfs.jsonl");
}

size_t JsonLines(const std::string& out, bool deleted) {
  size_t n = 0;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line); ++n) EXPECT_EQ(nlohmann::json::parse(line)["deleted"], deleted);
  return n;
}

// What the golden listings do not show: the filters and the search mode.
TEST_F(DemoDisk, LsFiltersAndSearchMode) {
  const auto all = run("ls --json IMG 0").out;
  const size_t deleted = JsonLines(run("ls --json --deleted IMG Partition0").out, true);  // by name or index
  EXPECT_GT(deleted, 0u);
  EXPECT_EQ(deleted + JsonLines(run("ls --json --existing IMG 0").out, false),
            static_cast<size_t>(std::count(all.begin(), all.end(), '\n')));
  const auto r = run("ls --json --mode search IMG 0");
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("\"path\":\"根目录/3/年度报告 2024 最终版.txt\""), std::string::npos);
}

TEST_F(DemoDisk, RecoverDeletedFilesAndTheSourceIsUntouched) {
  const auto sha = [&] { return test::RunCommand("sha256sum " + Quote(image_.string())).out.substr(0, 64); };
  const std::string before = sha();
  const auto mtime = [&] {
    struct stat st {};
    EXPECT_EQ(::stat(image_.c_str(), &st), 0);
    return std::pair(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
  };
  const auto mtimeBefore = mtime();
  const auto r = run("recover IMG 1 --no-existing TO");
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("6 个文件"), std::string::npos) << r.out;
  const auto got = test::Sha256Tree(target_.path());
  EXPECT_EQ(got.size(), 6u);
  EXPECT_EQ(got.at("根目录/临时文件/子目录/a.txt"), "c882563513b12edc9713606ca2a3543a50be03b630acc51cb1e26703305e1ea4");
  EXPECT_EQ(got.at("根目录/临时文件/子目录/b.bin"), "2233ee3e30e51de08948458db94676c07cd021e73e433440acf4f415138c6b8c");
  EXPECT_EQ(got.at("根目录/图片/头像.jpg"), "4ae8c54d5400961882bb716cf9f599a839792f8cd455c91a99a8fd40d809f677");
  EXPECT_EQ(mtime(), mtimeBefore);
  EXPECT_EQ(sha(), before);
}

TEST_F(DemoDisk, RecoverNamedPathsWithFilterAndSeveralJobs) {
  const auto r = run("recover IMG 0 TO 根目录/照片 根目录/临时 --filter '*.jpg' --jobs 2");
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto got = test::Sha256Tree(target_.path());
  EXPECT_EQ(got.at("根目录/照片/2024/IMG_0001.JPG"),
            "fec383a84b684c3662f83f3128d82599df8ec7f61279d810be8e42c974336165");
  // The deleted photo is found by its header and read whole.
  EXPECT_EQ(got.at("根目录/照片/2024/\xC3\xA5MG_0002.JPG"),
            "23d1bc91700659437725e3e5c1267caf7532e2dbd4491c6c64a9e33f954400b5");
  EXPECT_EQ(got.at("根目录/临时/旧照片/DSC 0001.jpg"),
            "754f99a459894c19e0dfeb59f1e0066961c36123e7c333ee083b854d38909384");
  EXPECT_EQ(got.size(), 4u);  // 春节.png is not taken
}

TEST_F(DemoDisk, CatWritesOneFile) {
  const std::pair<const char*, const char*> cases[] = {
      {"1 根目录/项目/sparse.bin", "82e05633dfa2748e02097363500b44fafbfc6117d545cd9b452261127c16c252"},
      {"0 根目录/音乐/'录音 2024-03-01.wav'", "aca3e9fe7879c3e7af5702fa8f12402fa0e7ea7916a0d560d2a38c7e144e87ed"},
  };
  for (const auto& [args, sha] : cases)
    EXPECT_EQ(run("cat IMG " + std::string(args) + " | sha256sum").out.substr(0, 64), sha);
}

// The boot sector's last row and its marker; a file through its reader; a
// range past the end is refused rather than shown as zeros.
TEST_F(DemoDisk, HexRows) {
  auto r = run("hex IMG --sector 0");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("1 sector\n0000  00 00"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("01F0  00 00 00 00 00 00 00 00 00 00 00 00 00 00 55 AA  ..............U.\n1 sec ---"),
            std::string::npos)
      << r.out;
  r = run("hex IMG 0 根目录/临时/åotes.txt --width 8");
  EXPECT_EQ(r.exitCode, 6);  // a deleted file's reader gives its first cluster only
  EXPECT_NE(r.out.find("6 sector\n0000  74 65 6D 70 6E 6F 74 65  tempnote\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("0200"), std::string::npos) << r.out;
  r = run("hex IMG --sector 99999999 --count 2");
  EXPECT_EQ(r.exitCode, 6);
  EXPECT_EQ(r.out, "2 sector\n");
}

// Every refusal ends with its documented exit code; those of the source (1)
// in one line.
TEST_F(DemoDisk, RefusalsAndTheirExitCodes) {
  const std::string missing = Quote((dir_.path() / "missing.img").string());
  const auto locked = dir_.write("locked.img", std::vector<uint8_t>(512));
  std::filesystem::permissions(locked, std::filesystem::perms::none);
  const std::string belowFile = Quote((target_.write("plain.txt", {'x'}) / "sub").string());
  std::vector<std::tuple<std::string, int, std::string>> cases = {
      {"info " + missing, 1, "missing.img: No such file or directory"},
      {"info " + Quote(dir_.path().string()), 1, "not a regular file or block device"},
      {"info /dev/null", 1, ""},
      {"info " + Quote(locked.string()), geteuid() != 0 ? 1 : 0, geteuid() != 0 ? "Permission denied" : ""},
      {"info", 2, ""},
      {"frobnicate", 2, ""},
      {"--codepage 99999 disks", 2, ""},
      {"ls IMG 7", 2, "no partition '7'"},
      {"ls IMG 0 --mode sideways", 2, ""},
      {"ls IMG 0 --deleted --existing", 2, ""},
      {"ls IMG 1 --mode search", 2, ""},
      {"ls IMG 0 --mode deep", 2, ""},
      {"cat IMG 1 根目录/nothing.txt", 2, "no file \"根目录/nothing.txt\""},
      {"cat IMG 1 根目录/项目", 2, ""},  // a folder is no file
      {"recover IMG 0 根目录/missing TO", 2, "no file or folder \"根目录/missing\""},
      {"recover IMG 0 --to " + belowFile, 1, "无法创建: "},  // a target below a file cannot be made
      {"recover IMG 0 TO --invalid-names replace:/", 2, ""},
      {"recover IMG 0", 2, ""},  // --to is required
  };
  // Sources without a single partition hold nothing usable, but can be described.
  for (const auto& [name, bytes] : {std::pair<std::string, std::vector<uint8_t>>{"empty.img", {}},
                                    {"zeros.img", std::vector<uint8_t>(64 * 1024, 0x00)},
                                    {"ones.img", std::vector<uint8_t>(64 * 1024, 0xFF)}}) {
    const std::string bare = Quote(dir_.write(name, bytes).string());
    for (const std::string& command : {"recover " + bare + " 0 TO", "ls " + bare + " 0", "cat " + bare + " 0 a.txt"})
      cases.emplace_back(command, 3, "");
    cases.emplace_back("info --json " + bare, 0, "");
  }
  for (const auto& [args, exitCode, message] : cases) {
    const auto r = run(args);
    EXPECT_EQ(r.exitCode, exitCode) << args;
    EXPECT_NE(r.err.find(message), std::string::npos) << args << ": " << r.err;
    if (exitCode == 1) {
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << args;
    }
  }
}

// A scan result is never saved over the disk it describes: not by its own
// path, a hard link to it or a relative path to it; the image keeps every byte.
TEST_F(DemoDisk, ScanResultsAreNeverSavedOntoTheSource) {
  const auto link = dir_.path() / "link.img";
  std::filesystem::create_hard_link(image_, link);
  const auto before = test::Sha256Tree(dir_.path());
  const std::string relative = "cd " + Quote(dir_.path().string()) + " && TZ=UTC " + Cli() + " ";
  for (const std::string& command : {"find-parts IMG --save-result " + Quote(image_.string()),
                                     "rawscan IMG --save-result " + Quote(link.string())}) {
    const auto r = run(command);
    EXPECT_EQ(r.exitCode, 5) << command << ": " << r.err;
    EXPECT_NE(r.err.find("refused"), std::string::npos) << command;
  }
  const auto r = test::RunCommand(relative + "find-parts ../" + Quote(dir_.path().filename().string()) +
                                  "/demo.img --save-result ./link.img");
  EXPECT_EQ(r.exitCode, 5) << r.err;
  EXPECT_EQ(test::Sha256Tree(dir_.path()), before);
  // Another file is written as before.
  const auto saved = target_.path() / "demo.kvr_scn";
  EXPECT_EQ(run("find-parts IMG --save-result " + Quote(saved.string())).exitCode, 0);
  EXPECT_TRUE(std::filesystem::exists(saved));
}

// Every command that writes refuses the source, by its path or a hard
// link, with exit 5 before it writes a byte; an image's map is refused when
// it is the image itself. Nothing in the image's folder changes.
TEST_F(DemoDisk, NoWriterWritesOntoTheSource) {
  const std::string link = Quote((dir_.path() / "link.img").string());
  std::filesystem::create_hard_link(image_, dir_.path() / "link.img");
  const std::string out = Quote((target_.path() / "out.img").string());
  const auto before = test::Sha256Tree(dir_.path());
  const std::string cases[] = {
      "image IMG --to " + link,
      "image IMG --to " + out + " --mapfile " + Quote(image_.string()),
      "image IMG --to " + out + " --mapfile " + out,
      "image IMG --to-disk " + link + " --yes",
      "freespace IMG 1 --to " + link,
      "recover IMG 1 --to " + link,
      "carve IMG --to " + link,
      "ptable backup IMG " + link,
      "rawscan IMG --save-result " + link,
  };
  for (const std::string& args : cases) {
    const auto r = run(args);
    EXPECT_EQ(r.exitCode, 5) << args << ": " << r.err;
    EXPECT_NE(r.err.find("会覆盖"), std::string::npos) << args << ": " << r.err;
  }
  EXPECT_EQ(test::Sha256Tree(dir_.path()), before);
  EXPECT_FALSE(std::filesystem::exists(target_.path() / "out.img"));
}

// A dynamic disk group's name is never taken for a path, not even when a
// file of that name lies in the current folder: the partition-table tools
// and the whole-disk commands refuse the group naming its members (exit 2),
// info describes each member.
TEST(Cli, ADiskGroupIsNeverOpenedAsAFile) {
  test::TempDir dir;
  for (const char* n : {"1", "2"}) {
    const auto bytes =
        test::LoadImage(test::CorpusDir() / "ldm" / (std::string("libldm-ldm-2003r2-striped-") + n + ".img.gz"));
    if (!bytes) GTEST_SKIP() << "corpus dynamic disks missing";
    dir.write(std::string("m") + n + ".img", *bytes);
  }
  dir.write("Red-nzv8x6obywgDg0", std::vector<uint8_t>(1 << 20, 0x5A));  // the group's name
  const auto before = test::Sha256Tree(dir.path());
  const std::pair<std::string, int> cases[] = {
      {"ptable backup G g.bak", 2},
      {"ptable restore G g.bak --yes", 2},
      {"ptable rebuild G --use 1 --yes", 2},
      {"rawscan G", 2},
      {"rawscan G --part Stripe1", 0},  // a volume of the group is swept through its mapping
      {"carve G --to out", 2},
      {"find-parts G", 2},
      {"hex G", 2},
      {"info G", 0},
  };
  for (const auto& [args, exitCode] : cases) {
    std::string line = args;
    line.replace(line.find('G'), 1, "m1.img,m2.img");
    const auto r = test::RunCommand("cd " + Quote(dir.path().string()) + " && " + Cli() + " " + line);
    EXPECT_EQ(r.exitCode, exitCode) << line << ": " << r.err;
    if (exitCode == 2) {
      EXPECT_NE(r.err.find("(m1.img, m2.img)"), std::string::npos) << line << ": " << r.err;
    }
    if (args.starts_with("info")) {
      EXPECT_NE(r.out.find("Member 2 of 2"), std::string::npos) << r.out;
    }
  }
  EXPECT_EQ(test::Sha256Tree(dir.path()), before);
}

// Files found but not written are no success: a target file that cannot be
// created counts as skipped (exit 6), and a carve whose target is a file
// saves nothing (exit 1).
TEST_F(DemoDisk, FilesThatCannotBeWrittenAreNoSuccess) {
  const auto blocked = target_.path() / "blocked";
  std::filesystem::create_directories(blocked);
  std::filesystem::create_directories(target_.path() / "carved");
  target_.write("blocked/根目录", {'x'});
  target_.write("carved/Extra Found Files", {'x'});
  const std::string file = Quote(target_.write("plain.txt", {'x'}).string());
  const std::tuple<std::string, int, std::string> cases[] = {
      {"recover IMG 1 --to " + Quote(blocked.string()), 6, "无法创建: "},
      {"carve IMG --to " + file, 1, "无法创建: "},
      {"carve IMG --to " + Quote((target_.path() / "carved").string()), 6, "无法创建: "},
  };
  for (const auto& [args, exitCode, message] : cases) {
    const auto r = run(args);
    EXPECT_EQ(r.exitCode, exitCode) << args << ": " << r.err;
    EXPECT_NE(r.err.find(message), std::string::npos) << args << ": " << r.err;
  }
}

// A partition entry whose size runs far past the image's end (4,294,965,247
// sectors on 8 MiB): the image and the sweep end with the source, say that
// they were cut, and invent no bad sectors; the source is left as it was.
TEST(Cli, RangesEndWithTheSource) {
  test::TempDir dir;
  std::vector<uint8_t> bytes(8 << 20);
  for (size_t i = 512; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>((i * 131) ^ (i >> 9));
  std::fill_n(bytes.begin(), 512, 0);
  bytes[446 + 4] = 0x0C;
  test::Put32(bytes, 446 + 8, 2048);
  test::Put32(bytes, 446 + 12, 4294965247u);
  test::Put16(bytes, 510, 0xAA55);
  const std::string image = Quote(dir.write("disk.img", bytes).string());
  const std::string out = (dir.path() / "out.img").string();
  const auto sha = [&] { return test::RunCommand("sha256sum " + image).out.substr(0, 64); };
  const std::string before = sha();
  // Bounded in time and size, so that a copy that runs on fails here.
  const std::string limits = "ulimit -f 65536 && timeout 120 ";
  auto r = test::RunCommand(limits + Cli() + " image " + image + " 0 --to " + Quote(out));
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "镜像完毕\n");
  EXPECT_NE(r.err.find("records 4294965247 sectors, but the source ends 14336 sectors into it"), std::string::npos)
      << r.err;
  EXPECT_TRUE(test::LoadImage(out) == std::vector<uint8_t>(bytes.begin() + (1 << 20), bytes.end()));
  r = test::RunCommand(limits + Cli() + " rawscan " + image + " --part 0 --json");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.err.find("the disk ends at sector 16384; 14336 sectors are swept"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("\"unreadable\": []"), std::string::npos) << r.out;
  EXPECT_EQ(sha(), before);
}

// The table tools write only when told --yes, and print first what they
// would write; a region shows what its first sector holds.
TEST_F(DemoDisk, PartitionTableToolsWriteOnlyWithYes) {
  const auto demo = test::LoadImage(image_);
  const std::string backup = Quote((target_.path() / "demo.bak").string());
  auto r = run("ptable rebuild IMG");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("2   NTFS    DEMO_NTFS       83968           20.0 MB     主"), std::string::npos) << r.out;
  r = run("ptable rebuild IMG --use 2,1");
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.out.find("entry 1: row 2, type 0x07, first sector 83968, 40960 sectors"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("--yes"), std::string::npos) << r.err;
  EXPECT_EQ(run("ptable backup IMG " + backup).exitCode, 0);
  r = run("ptable restore IMG " + backup);
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.out.find("4 sectors from"), std::string::npos) << r.out;
  EXPECT_EQ(test::LoadImage(image_), demo);
  r = run("ptable restore IMG " + backup + " --yes");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out.substr(r.out.rfind("恢复成功")), "恢复成功\n");
  EXPECT_EQ(test::LoadImage(image_), demo);  // the same sectors written back

  r = run("region IMG 83968 124928");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("name:    Region 0 on demo.img\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("holds:   NTFS, label \"DEMO_NTFS\""), std::string::npos) << r.out;
  EXPECT_EQ(run("region IMG 100 100").exitCode, 2);
  EXPECT_EQ(run("ptable rebuild IMG --use 0").exitCode, 2);
}

// The same relative disk name typed in another folder is another disk: a
// backup records the absolute path, the size and sector 0's digest. A
// restore onto the disk itself after sector 0 changed says so and writes
// only with --yes.
TEST_F(DemoDisk, RestoreTellsDisksWithOneRelativeNameApart) {
  for (const char* folder : {"a", "b"}) std::filesystem::create_directory(dir_.path() / folder);
  auto bytes = *test::LoadImage(image_);
  dir_.write("a/disk.img", bytes);
  bytes[440] ^= 0xFF;  // b's disk: another disk signature
  const auto b = dir_.write("b/disk.img", bytes);
  const std::string cd = "cd " + Quote(dir_.path().string()) + "/";
  const auto in = [&](const char* folder, const std::string& args) {
    return test::RunCommand(cd + folder + " && " + Cli() + " " + args);
  };
  ASSERT_EQ(in("a", "ptable backup disk.img ../rel.bak").exitCode, 0);
  const auto before = test::Sha256Tree(dir_.path() / "b");
  auto r = in("b", "ptable restore disk.img ../rel.bak --yes");
  EXPECT_EQ(r.exitCode, 2) << r.out << r.err;
  EXPECT_NE(r.err.find("备份信息与磁盘不对应"), std::string::npos) << r.err;
  EXPECT_EQ(test::Sha256Tree(dir_.path() / "b"), before);

  const auto original = *test::LoadImage(dir_.path() / "a/disk.img");
  auto wiped = original;
  std::fill_n(wiped.begin(), 512, uint8_t{0});
  dir_.write("a/disk.img", wiped);
  r = in("a", "ptable restore disk.img ../rel.bak");
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.out.find("sector 0: SHA-256"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("disk size"), std::string::npos) << r.out;
  EXPECT_EQ(test::LoadImage(dir_.path() / "a/disk.img"), wiped);
  r = in("a", "ptable restore disk.img ../rel.bak --yes");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(test::LoadImage(dir_.path() / "a/disk.img"), original);
}

// What freespace writes is what The Sleuth Kit's blkls calls unallocated,
// byte for byte, on both file systems of the demo disk.
TEST_F(DemoDisk, FreeSpaceEqualsWhatBlklsCallsUnallocated) {
  for (const auto& [part, start] : {std::pair<const char*, const char*>{"0", "2048"}, {"1", "83968"}}) {
    const auto out = target_.path() / (std::string("free") + part);
    const auto r = run(std::string("freespace IMG ") + part + " --to " + Quote(out.string()));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("提取完成！"), std::string::npos) << part;  // FAT too
    const auto blkls = test::RunCommand(std::string("blkls -o ") + start + " " + Quote(image_.string()));
    ASSERT_EQ(blkls.exitCode, 0) << blkls.err;
    const auto ours = test::LoadImage(out).value_or(std::vector<uint8_t>{});
    EXPECT_GT(ours.size(), 0u) << part;
    EXPECT_TRUE(ours == std::vector<uint8_t>(blkls.out.begin(), blkls.out.end()))
        << "partition " << part << ": " << ours.size() << " vs " << blkls.out.size();
  }
}

TEST(Cli, HelpAndDisks) {
  for (const char* cmd :
       {"", "disks", "info", "parts", "find-parts", "ls", "recover", "cat", "rawscan", "carve", "region", "ptable",
        "ptable backup", "ptable restore", "ptable rebuild", "image", "freespace"}) {
    const auto r = test::RunCommand(Cli() + " " + cmd + " --help");
    EXPECT_EQ(r.exitCode, 0) << cmd;
    EXPECT_NE(r.out.find("Usage"), std::string::npos) << cmd;
  }
  const auto r = test::RunCommand(Cli() + " disks --json");
  ASSERT_EQ(r.exitCode, 0) << r.err;
  for (const auto& d : nlohmann::json::parse(r.out)) EXPECT_TRUE(d["partitions"].is_array());
}

// The rows of the lost-partition search as they are printed, and the same
// finds as JSON: a backup boot sector gives a second row for the same record.
TEST(Cli, FindPartsRowsJsonAndATableRebuiltFromThem) {
  test::TempDir dir;
  const auto bytes = test::LoadImage(test::FixturesDir() / "lost" / "lost.img.gz");
  ASSERT_TRUE(bytes);
  const std::string image = Quote(dir.write("lost.img", *bytes).string());
  const auto text = test::RunCommand(Cli() + " find-parts " + image + " --mode sector");
  ASSERT_EQ(text.exitCode, 0) << text.err;
  EXPECT_EQ(text.err, "");
  EXPECT_EQ(text.out,
            "文件系统  卷标            柱面-磁头-扇区    分区大小                    分区类型\n"
            "FAT16     LOSTFAT16       0,0,1             6.8 MB (14016sec)           主\n"
            "NTFS      LOSTNTFS        0,0,1             7.8 MB (16064sec)           主\n"
            "NTFS      LOSTNTFS        0,0,1             7.8 MB (16064sec)           主\n"
            "FAT32     LOSTFAT32       0,0,1             34.0 MB (69632sec)          主\n"
            "FAT32     LOSTFAT32       0,0,1             34.0 MB (69632sec)          主\n"
            "FAT16     LOGICAL16       0,0,1             4.0 MB (8192sec)            主\n");

  const auto json = test::RunCommand(Cli() + " find-parts " + image + " --mode sector --json");
  ASSERT_EQ(json.exitCode, 0) << json.err;
  std::istringstream lines(json.out);
  std::vector<std::tuple<size_t, std::string, uint64_t, std::string>> rows;
  for (std::string line; std::getline(lines, line);) {
    const auto j = nlohmann::json::parse(line);
    for (const char* key : {"index", "name", "label", "fs", "start", "sectors", "type", "table", "origin", "mount"})
      EXPECT_TRUE(j.contains(key)) << key;
    EXPECT_EQ(j["position"], "0,0,1");
    rows.emplace_back(j["index"], j["name"], j["start"], j["fs"]);
  }
  const decltype(rows) expected = {{0, "Partition0", 2048, "FAT16"},  {1, "Partition1", 16065, "NTFS"},
                                   {1, "Partition1", 16065, "NTFS"},  {2, "Partition2", 32130, "FAT32"},
                                   {2, "Partition2", 32130, "FAT32"}, {3, "Partition3", 112518, "FAT16"}};
  EXPECT_EQ(rows, expected);

  // The operator's way back from a wiped table: the search's finds kept in a
  // result file, then a new table written from them.
  const std::string result = Quote((dir.path() / "lost.kvr_scn").string());
  ASSERT_EQ(test::RunCommand(Cli() + " find-parts " + image + " --mode sector --save-result " + result).exitCode, 0);
  auto rebuilt = test::RunCommand(Cli() + " ptable rebuild " + image + " --load-result " + result);
  ASSERT_EQ(rebuilt.exitCode, 0) << rebuilt.err;
  EXPECT_NE(rebuilt.out.find("4   FAT16   LOGICAL16"), std::string::npos) << rebuilt.out;
  rebuilt = test::RunCommand(Cli() + " ptable rebuild " + image + " --load-result " + result + " --use 1,2,3,4 --yes");
  ASSERT_EQ(rebuilt.exitCode, 0) << rebuilt.err;
  const auto parts = test::RunCommand(Cli() + " parts " + image + " --json");
  ASSERT_EQ(parts.exitCode, 0) << parts.err;
  std::vector<std::tuple<uint64_t, uint64_t, std::string, std::string>> table;
  for (const auto& p : nlohmann::json::parse(parts.out))
    table.emplace_back(p["start"], p["sectors"], p["fs"], p["label"]);
  const decltype(table) expectedTable = {{2048, 14016, "FAT16", "LOSTFAT16"},
                                         {16065, 16065, "NTFS", "LOSTNTFS"},
                                         {32130, 69632, "FAT32", "LOSTFAT32"},
                                         {112518, 8192, "FAT16", "LOGICAL16"}};
  EXPECT_EQ(table, expectedTable);
}

// An LVM2 physical volume: the group and its volumes in both listings, and
// the FAT16 inside the linear volume read by the volume's name.
TEST(Cli, LvmPhysicalVolumeListsItsVolumesAndReadsALinearOne) {
  test::TempDir dir;
  auto bytes = test::LoadImage(test::FixturesDir() / "lvm" / "lvm-pv.img.gz");
  ASSERT_TRUE(bytes);
  const std::string image = Quote(dir.write("pv.img", *bytes).string());
  const auto text = test::RunCommand(Cli() + " parts " + image);
  ASSERT_EQ(text.exitCode, 0) << text.err;
  EXPECT_NE(text.out.find("LVM2 物理卷 "), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("段 LE 2+3  条带 1"), std::string::npos) << text.out;
  const auto json = test::RunCommand(Cli() + " parts --json " + image);
  ASSERT_EQ(json.exitCode, 0) << json.err;
  const auto j = nlohmann::json::parse(json.out);
  EXPECT_EQ(j["partitions"][1]["name"], "data");
  EXPECT_EQ(j["partitions"][1]["start"], 6144);
  ASSERT_EQ(j["lvm"]["logicalVolumes"].size(), 2u);
  EXPECT_EQ(j["lvm"]["logicalVolumes"][0]["segments"][1]["pvStartExtent"], 6);
  EXPECT_EQ(j["lvm"]["extentSize"], 2048);
  const auto cat = test::RunCommand(Cli() + " cat " + image + " data 根目录/HELLO.TXT");
  ASSERT_EQ(cat.exitCode, 0) << cat.err;
  EXPECT_EQ(cat.out, "Hello from a logical volume.\r\n");
  // The volume of two segments (extents 0-1, then 6-8) reads through the
  // spanned mapping: its file lies across the seam.
  const auto span = test::RunCommand(Cli() + " cat " + image + " split 根目录/SPAN.BIN");
  ASSERT_EQ(span.exitCode, 0) << span.err;
  std::string pattern;
  for (int i = 0; i < 8192; ++i)
    for (int b = 0; b < 256; ++b) pattern.push_back(static_cast<char>(b));
  EXPECT_TRUE(span.out == pattern) << span.out.size();
}

// Sizes read from a boot sector are checked against the volume and the
// image before they size a buffer: a 32 KiB image that claims a FAT of
// 0xFFFFFF sectors once took an 8 GiB FAT copy, 8 GiB NTFS clusters a
// buffer as large. Each runs within 512 MiB of address space.
// AddressSanitizer reserves terabytes of address space for its shadow, so
// there the limit is on any one allocation instead.
#if defined(__SANITIZE_ADDRESS__)
const std::string kAllocationLimit = "ASAN_OPTIONS=detect_leaks=1:max_allocation_size_mb=512 ";
#else
const std::string kAllocationLimit = "ulimit -v 524288 && ";
#endif

TEST(Cli, SizesClaimedByATinyImageAllocateLittle) {
  std::vector<uint8_t> fatTooLarge = test::Fat32BootSector();
  test::Put32(fatTooLarge, 0x20, 0xFFFFFFFF);  // total sectors
  test::Put32(fatTooLarge, 0x24, 0xFFFFFF);    // FAT size: beyond FAT32's own limit
  std::vector<uint8_t> fatPastImage = test::Fat32BootSector();
  test::Put32(fatPastImage, 0x20, 0xFFFFFFFF);
  test::Put32(fatPastImage, 0x24, 0x1FFFFF);  // a 1 GiB FAT, possible on a volume this size
  std::vector<uint8_t> hugeClusters = test::NtfsBootSector();
  test::Put32(hugeClusters, 0x1C, 0);  // no hidden sectors: a volume on the whole image
  hugeClusters[0x0D] = 0xE8;           // 2^24 sectors per cluster
  test::Put64(hugeClusters, 0x28, 1ull << 40);
  test::Put64(hugeClusters, 0x30, 1);
  const struct {
    const char* what;
    std::vector<uint8_t> boot;
    int exitCode;
    const char* message;
  } cases[] = {
      {"FAT beyond FAT32's limit", fatTooLarge, 3, "no FAT volume could be read"},
      {"FAT past the image's end", fatPastImage, 6, "could not be read"},
      {"NTFS clusters of 8 GiB", hugeClusters, 3, "no NTFS volume could be read"},
  };
  test::TempDir dir;
  for (const auto& c : cases) {
    std::vector<uint8_t> image(32 * 1024);
    std::copy(c.boot.begin(), c.boot.end(), image.begin());
    const auto path = dir.write("tiny.img", image);
    const auto r = test::RunCommand(kAllocationLimit + Cli() + " ls " + Quote(path.string()) + " 0");
    EXPECT_EQ(r.exitCode, c.exitCode) << c.what << "\n" << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.what << "\n" << r.err;
  }
}

}  // namespace
}  // namespace orvaldi
