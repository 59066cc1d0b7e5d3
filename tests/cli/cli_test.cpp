// The orvaldi command run as a user would: the demo disk's listings against
// stored output (ORVALDI_UPDATE_GOLDEN=1 rewrites them), its JSON forms,
// recover and cat, and bad input.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

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
  // `orvaldi ARGS` with IMG standing for the demo image, times in UTC.
  test::CommandResult run(std::string args) const {
    if (const size_t at = args.find("IMG"); at != std::string::npos) args.replace(at, 3, Quote(image_.string()));
    return test::RunCommand("TZ=UTC " + Cli() + " " + args);
  }
  std::string to() const { return " --to " + Quote(target_.path().string()); }
  void golden(const std::string& args, const std::string& file) const {
    const auto r = run(args);
    ASSERT_EQ(r.exitCode, 0) << args << ": " << r.err;
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

// On an intact NTFS volume the search by sector finds what the MFT walk finds.
TEST_F(DemoDisk, GoldenListings) {
  golden("parts IMG", "demo-parts.txt");
  golden("ls --json IMG 0", "demo-ls-fat32.jsonl");
  golden("ls --json IMG 1", "demo-ls-ntfs.jsonl");
  golden("ls --json --mode deep IMG 1", "demo-ls-ntfs.jsonl");
}

// The JSON forms are the scripts' contract.
TEST_F(DemoDisk, InfoAndPartsJson) {
  const auto before = std::filesystem::last_write_time(image_);
  auto r = run("info --json IMG");
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.err, "");  // no progress noise when stderr is not a terminal
  const auto info = nlohmann::json::parse(r.out);
  EXPECT_EQ(info["name"], "demo.img");
  EXPECT_EQ(info["heads"], 255);
  EXPECT_EQ(info["sectorsPerTrack"], 63);
  // An MBR is not a volume; each primary entry is probed where it starts.
  EXPECT_EQ(info["volumes"], nlohmann::json::parse(R"([
    {"role": "Sector 0", "sector": 0, "fs": "", "label": ""},
    {"role": "MBR entry 1", "sector": 2048, "type": 12, "sectors": 81920, "fs": "FAT32", "label": "DEMO_FAT32"},
    {"role": "MBR entry 2", "sector": 83968, "type": 7, "sectors": 40960, "fs": "NTFS", "label": "DEMO_NTFS"}])"));
  r = run("info IMG");
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("NTFS, label \"DEMO_NTFS\""), std::string::npos) << r.out;
  r = run("parts --json IMG");
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(nlohmann::json::parse(r.out), nlohmann::json::parse(R"([
    {"index": 0, "name": "Partition0", "label": "DEMO_FAT32", "fs": "FAT32", "start": 2048, "sectors": 81920,
     "type": 12, "table": "主", "origin": 0, "mount": ""},
    {"index": 1, "name": "Partition1", "label": "DEMO_NTFS", "fs": "NTFS", "start": 83968, "sectors": 40960,
     "type": 7, "table": "主", "origin": 0, "mount": ""}])"));
  EXPECT_EQ(std::filesystem::last_write_time(image_), before);
}

size_t JsonLines(const std::string& out, bool deleted) {
  size_t n = 0;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line); ++n) EXPECT_EQ(nlohmann::json::parse(line)["deleted"], deleted);
  return n;
}

// What the golden listings do not show: the filters, the search mode and the refusals.
TEST_F(DemoDisk, LsFiltersModesAndRefusals) {
  const auto all = run("ls --json IMG 0").out;
  const size_t deleted = JsonLines(run("ls --json --deleted IMG Partition0").out, true);  // by name or index
  EXPECT_GT(deleted, 0u);
  EXPECT_EQ(deleted + JsonLines(run("ls --json --existing IMG 0").out, false),
            static_cast<size_t>(std::count(all.begin(), all.end(), '\n')));
  auto r = run("ls --json --mode search IMG 0");
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("\"path\":\"根目录/3/年度报告 2024 最终版.txt\""), std::string::npos);
  r = run("ls IMG 7");
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("no partition '7'"), std::string::npos);
  for (const char* args : {" 0 --mode sideways", " 0 --deleted --existing", " 1 --mode search", " 0 --mode deep"})
    EXPECT_EQ(run(std::string("ls IMG") + args).exitCode, 2) << args;
}

TEST_F(DemoDisk, RecoverDeletedFilesAndTheSourceIsUntouched) {
  const auto sha = [&] { return test::RunCommand("sha256sum " + Quote(image_.string())).out.substr(0, 64); };
  const std::string before = sha();
  struct stat st0, st1;
  ASSERT_EQ(::stat(image_.c_str(), &st0), 0);
  const auto r = run("recover IMG 1 --no-existing" + to());
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("6 个文件"), std::string::npos) << r.out;
  const auto got = test::Sha256Tree(target_.path());
  EXPECT_EQ(got.size(), 6u);
  EXPECT_EQ(got.at("根目录/临时文件/子目录/a.txt"), "c882563513b12edc9713606ca2a3543a50be03b630acc51cb1e26703305e1ea4");
  EXPECT_EQ(got.at("根目录/临时文件/子目录/b.bin"), "2233ee3e30e51de08948458db94676c07cd021e73e433440acf4f415138c6b8c");
  EXPECT_EQ(got.at("根目录/图片/头像.jpg"), "4ae8c54d5400961882bb716cf9f599a839792f8cd455c91a99a8fd40d809f677");
  ASSERT_EQ(::stat(image_.c_str(), &st1), 0);
  EXPECT_EQ(st1.st_mtim.tv_sec, st0.st_mtim.tv_sec);
  EXPECT_EQ(st1.st_mtim.tv_nsec, st0.st_mtim.tv_nsec);
  EXPECT_EQ(sha(), before);
}

TEST_F(DemoDisk, RecoverNamedPathsWithFilterAndSeveralJobs) {
  const auto r = run("recover IMG 0" + to() + " 根目录/照片 根目录/临时 --filter '*.jpg' --jobs 2");
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto got = test::Sha256Tree(target_.path());
  EXPECT_EQ(got.at("根目录/照片/2024/IMG_0001.JPG"), "fec383a84b684c3662f83f3128d82599df8ec7f61279d810be8e42c974336165");
  EXPECT_EQ(got.at("根目录/照片/2024/\xC3\xA5MG_0002.JPG"), "23d1bc91700659437725e3e5c1267caf7532e2dbd4491c6c64a9e33f954400b5");
  EXPECT_EQ(got.at("根目录/临时/旧照片/DSC 0001.jpg"), "754f99a459894c19e0dfeb59f1e0066961c36123e7c333ee083b854d38909384");
  EXPECT_EQ(got.size(), 4u);  // 春节.png is not taken
}

TEST_F(DemoDisk, CatWritesOneFile) {
  const std::pair<const char*, const char*> cases[] = {
      {"1 根目录/项目/sparse.bin", "82e05633dfa2748e02097363500b44fafbfc6117d545cd9b452261127c16c252"},
      {"0 根目录/音乐/'录音 2024-03-01.wav'", "aca3e9fe7879c3e7af5702fa8f12402fa0e7ea7916a0d560d2a38c7e144e87ed"},
      // The deleted photo is found by its header and read whole.
      {"0 根目录/照片/2024/\xC3\xA5MG_0002.JPG", "23d1bc91700659437725e3e5c1267caf7532e2dbd4491c6c64a9e33f954400b5"},
  };
  for (const auto& [args, sha] : cases) EXPECT_EQ(run("cat IMG " + std::string(args) + " | sha256sum").out.substr(0, 64), sha);
}

TEST_F(DemoDisk, RecoverAndCatRefusals) {
  auto r = run("cat IMG 1 根目录/nothing.txt");
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("no file \"根目录/nothing.txt\""), std::string::npos) << r.err;
  EXPECT_EQ(run("cat IMG 1 根目录/项目").exitCode, 2);  // a folder is no file
  r = run("recover IMG 0 根目录/missing" + to());
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("no file or folder \"根目录/missing\""), std::string::npos) << r.err;
  // A target below a file cannot be made.
  const auto file = target_.write("plain.txt", {'x'});
  r = run("recover IMG 0 --to " + Quote((file / "sub").string()));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("无法创建: "), std::string::npos) << r.err;
  EXPECT_EQ(run("recover IMG 0" + to() + " --invalid-names replace:/").exitCode, 2);
  EXPECT_EQ(run("recover IMG 0").exitCode, 2);  // --to is required
  // Sources without a single partition hold nothing usable.
  for (const auto& [name, bytes] : {std::pair<std::string, std::vector<uint8_t>>{"empty.img", {}},
                                    {"zeros.img", std::vector<uint8_t>(64 * 1024, 0x00)},
                                    {"ones.img", std::vector<uint8_t>(64 * 1024, 0xFF)}}) {
    const std::string bare = Quote(dir_.write(name, bytes).string());
    for (const std::string& command : {"recover " + bare + " 0" + to(), "ls " + bare + " 0", "cat " + bare + " 0 a.txt"})
      EXPECT_EQ(run(command).exitCode, 3) << command;
  }
}

TEST(Cli, ErrorsAreOneLineWithDocumentedExitCodes) {
  test::TempDir dir;
  const std::string missing = Quote((dir.path() / "missing.img").string());
  const auto locked = dir.write("locked.img", std::vector<uint8_t>(512));
  std::filesystem::permissions(locked, std::filesystem::perms::none);
  const struct {
    std::string args;
    int exitCode;
    const char* message;
  } cases[] = {
      {"info " + missing, 1, "missing.img: No such file or directory"},
      {"parts " + missing, 1, "missing.img: No such file or directory"},
      {"info " + Quote(dir.path().string()), 1, "not a regular file or block device"},
      {"info /dev/null", 1, ""},
      {"info " + Quote(locked.string()), geteuid() != 0 ? 1 : 0, geteuid() != 0 ? "Permission denied" : ""},
      {"info", 2, ""},
      {"frobnicate", 2, ""},
      {"--codepage 99999 disks", 2, ""},
  };
  for (const auto& c : cases) {
    const auto r = test::RunCommand(Cli() + " " + c.args);
    EXPECT_EQ(r.exitCode, c.exitCode) << c.args;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << ": " << r.err;
    if (c.exitCode == 1) {
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << c.args;
    }
  }
}

TEST(Cli, HelpDisksAndAnEmptyImage) {
  for (const char* cmd : {"", "disks", "info", "parts", "ls", "recover", "cat", "rawscan", "carve"}) {
    const auto r = test::RunCommand(Cli() + " " + cmd + " --help");
    EXPECT_EQ(r.exitCode, 0) << cmd;
    EXPECT_NE(r.out.find("Usage"), std::string::npos) << cmd;
  }
  auto r = test::RunCommand(Cli() + " disks --json");
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto disks = nlohmann::json::parse(r.out);
  ASSERT_TRUE(disks.is_array());
  for (const auto& d : disks) {
    EXPECT_TRUE(d.contains("devicePath"));
    EXPECT_TRUE(d["partitions"].is_array());
  }
  test::TempDir dir;
  r = test::RunCommand(Cli() + " info --json " + Quote(dir.write("empty.img", {}).string()));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto j = nlohmann::json::parse(r.out);
  EXPECT_EQ(j["cylinders"], 0);
  ASSERT_EQ(j["volumes"].size(), 1u);
  EXPECT_EQ(j["volumes"][0]["fs"], "");
}

struct MeasuredRun {
  int exitCode = -1;
  std::string err;
  long peakKiB = 0;  // the child's peak resident set
};

// Runs the command line tool directly (no shell in between, so that the
// peak memory wait4 reports is the tool's own), stdout discarded.
MeasuredRun RunMeasured(std::vector<std::string> args, const std::filesystem::path& errFile) {
  args.insert(args.begin(), Cli());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&files, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  MeasuredRun run;
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&files);
  if (spawned != 0) return run;
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid) return run;
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.peakKiB = usage.ru_maxrss;
  std::ifstream err(errFile);
  run.err.assign(std::istreambuf_iterator<char>(err), {});
  return run;
}

// Sizes read from a boot sector are checked against the volume and the
// image before they size a buffer: a 32 KiB image that claims a FAT of
// 0xFFFFFF sectors once took an 8 GiB FAT copy, 8 GiB NTFS clusters a
// buffer as large. Each ends in a few MiB.
TEST(Cli, SizesClaimedByATinyImageAllocateLittle) {
  std::vector<uint8_t> fatTooLarge = test::Fat32BootSector();
  test::Put32(fatTooLarge, 0x20, 0xFFFFFFFF);  // total sectors
  test::Put32(fatTooLarge, 0x24, 0xFFFFFF);    // FAT size: beyond FAT32's own limit
  std::vector<uint8_t> fatPastImage = test::Fat32BootSector();
  test::Put32(fatPastImage, 0x20, 0xFFFFFFFF);
  test::Put32(fatPastImage, 0x24, 0x1FFFFF);  // a 1 GiB FAT, possible on a volume this size
  std::vector<uint8_t> hugeClusters = test::NtfsBootSector();
  test::Put32(hugeClusters, 0x1C, 0);  // no hidden sectors: a volume on the whole image
  hugeClusters[0x0D] = 0xE8;                 // 2^24 sectors per cluster
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
    const auto r = RunMeasured({"ls", path.string(), "0"}, dir.path() / "stderr");
    EXPECT_EQ(r.exitCode, c.exitCode) << c.what << "\n" << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.what << "\n" << r.err;
    EXPECT_LT(r.peakKiB, 200 * 1024) << c.what;
  }
}

}  // namespace
}  // namespace orvaldi
