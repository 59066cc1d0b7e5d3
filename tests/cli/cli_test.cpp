// The orvaldi command run as a user would, on the demo disk and on bad input.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>

#include "support/test_images.h"

namespace orvaldi {
namespace {

std::string Cli() { return test::CliPath().string(); }

std::string Quote(const std::string& s) { return "'" + s + "'"; }

class DemoDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    auto bytes = test::LoadImage(test::DemoImageGz());
    ASSERT_TRUE(bytes) << "demo image missing: " << test::DemoImageGz();
    image_ = dir_.write("demo.img", *bytes);
  }
  test::TempDir dir_;
  std::filesystem::path image_;
};

TEST_F(DemoDisk, InfoJsonShowsBothPartitionsWithLabels) {
  const auto r = test::RunCommand(Cli() + " info --json " + Quote(image_.string()));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto j = nlohmann::json::parse(r.out);
  EXPECT_EQ(j["name"], "demo.img");
  EXPECT_EQ(j["heads"], 255);
  EXPECT_EQ(j["sectorsPerTrack"], 63);
  const auto& vols = j["volumes"];
  ASSERT_EQ(vols.size(), 3u);
  EXPECT_EQ(vols[0]["role"], "Sector 0");
  EXPECT_EQ(vols[0]["fs"], "");  // an MBR is not a volume
  EXPECT_EQ(vols[1]["sector"], 2048);
  EXPECT_EQ(vols[1]["type"], 0x0C);
  EXPECT_EQ(vols[1]["fs"], "FAT32");
  EXPECT_EQ(vols[1]["label"], "DEMO_FAT32");
  EXPECT_EQ(vols[2]["type"], 0x07);
  EXPECT_EQ(vols[2]["fs"], "NTFS");
  EXPECT_EQ(vols[2]["label"], "DEMO_NTFS");
}

TEST_F(DemoDisk, InfoTextAndImageLeftUntouched) {
  const auto before = std::filesystem::last_write_time(image_);
  const auto r = test::RunCommand(Cli() + " info " + Quote(image_.string()));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("Source:    demo.img"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("FAT32, label \"DEMO_FAT32\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("NTFS, label \"DEMO_NTFS\""), std::string::npos) << r.out;
  EXPECT_EQ(std::filesystem::last_write_time(image_), before);
  EXPECT_EQ(r.err, "");  // no progress noise when stderr is not a terminal
}

TEST_F(DemoDisk, PartsJsonIsTheScriptContract) {
  const auto r = test::RunCommand(Cli() + " parts --json " + Quote(image_.string()));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto j = nlohmann::json::parse(r.out);
  ASSERT_EQ(j.size(), 2u);
  const auto expected = nlohmann::json::parse(R"([
    {"index": 0, "name": "Partition0", "label": "DEMO_FAT32", "fs": "FAT32", "start": 2048, "sectors": 81920,
     "type": 12, "table": "主", "origin": 0, "mount": ""},
    {"index": 1, "name": "Partition1", "label": "DEMO_NTFS", "fs": "NTFS", "start": 83968, "sectors": 40960,
     "type": 7, "table": "主", "origin": 0, "mount": ""}])");
  EXPECT_EQ(j, expected);
}

TEST_F(DemoDisk, PartsTextShowsTheDeviceTreeColumns) {
  const auto r = test::RunCommand(Cli() + " parts " + Quote(image_.string()));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  for (const char* text : {"标签", "文件类型", "起始地址", "大小", "DEMO_FAT32", "40.0 MB", "41.0 MB", "0x07 主 0"})
    EXPECT_NE(r.out.find(text), std::string::npos) << text << "\n" << r.out;
}

std::vector<nlohmann::json> JsonLines(const std::string& out) {
  std::vector<nlohmann::json> lines;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) lines.push_back(nlohmann::json::parse(line));
  return lines;
}

TEST_F(DemoDisk, LsJsonLinesContract) {
  const auto r = test::RunCommand(Cli() + " ls --json " + Quote(image_.string()) + " 0");
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto lines = JsonLines(r.out);
  ASSERT_GT(lines.size(), 10u);
  EXPECT_EQ(lines[0]["path"], "根目录");
  EXPECT_EQ(lines[0]["parent"], nullptr);
  EXPECT_EQ(lines.back()["path"], "零散目录");
  std::map<std::string, nlohmann::json> byPath;
  for (const auto& l : lines) {
    for (const char* key : {"path", "name", "type", "deleted", "state", "size", "id", "parent", "created", "modified",
                            "accessed"})
      EXPECT_TRUE(l.contains(key)) << key;
    byPath[l["path"]] = l;
  }
  const auto& report = byPath.at("根目录/文档/年度报告 2024 最终版.txt");
  EXPECT_EQ(report["type"], "file");
  EXPECT_EQ(report["deleted"], false);
  EXPECT_EQ(report["state"], "正常文件");
  EXPECT_EQ(report["size"], 49152);
  EXPECT_EQ(report["parent"], byPath.at("根目录/文档")["id"]);
  EXPECT_EQ(report["modified"], "2024-03-01 09:00:00");
  const auto& gone = byPath.at("根目录/文档/会议纪要.txt");
  EXPECT_EQ(gone["deleted"], true);
  EXPECT_EQ(gone["state"], "已删除文件");
  EXPECT_EQ(byPath.at("根目录/临时")["state"], "已删除文件夹");
  EXPECT_EQ(byPath.at("根目录/临时/旧照片/DSC 0001.jpg")["size"], 20480);

  // --deleted keeps deleted nodes only; --existing the others; by name or index alike.
  const auto deleted = JsonLines(test::RunCommand(Cli() + " ls --json --deleted " + Quote(image_.string()) + " Partition0").out);
  ASSERT_FALSE(deleted.empty());
  for (const auto& l : deleted) EXPECT_EQ(l["deleted"], true) << l["path"];
  const auto existing = JsonLines(test::RunCommand(Cli() + " ls --json --existing " + Quote(image_.string()) + " 0").out);
  EXPECT_EQ(deleted.size() + existing.size(), lines.size());
}

TEST_F(DemoDisk, LsOnNtfsUsesRecordNumbers) {
  const auto r = test::RunCommand("TZ=UTC " + Cli() + " ls --json " + Quote(image_.string()) + " 1");
  ASSERT_EQ(r.exitCode, 0) << r.err;
  std::map<std::string, nlohmann::json> byPath;
  for (const auto& l : JsonLines(r.out)) byPath[l["path"]] = l;
  EXPECT_EQ(byPath.at("根目录")["id"], 5);
  EXPECT_EQ(byPath.at("根目录")["parent"], nullptr);
  const auto& folder = byPath.at("根目录/项目/代码");
  const auto& file = byPath.at("根目录/项目/代码/module_01.c");
  EXPECT_EQ(file["parent"], folder["id"]);
  EXPECT_EQ(file["size"], 187);
  EXPECT_EQ(file["state"], "正常文件");
  EXPECT_FALSE(file["accessed"].get<std::string>().empty());
  EXPECT_EQ(byPath.at("根目录/项目/代码/module_07.c")["state"], "已删除文件");
  EXPECT_EQ(byPath.at("根目录/临时文件")["state"], "已删除文件夹");
  EXPECT_EQ(byPath.at("根目录/项目/sparse.bin")["size"], 4194304);
  EXPECT_EQ(byPath.count("根目录/$MFT"), 0u);  // system files in the root are not listed
  EXPECT_EQ(test::RunCommand(Cli() + " ls --mode search " + Quote(image_.string()) + " 1").exitCode, 2);
}

TEST_F(DemoDisk, LsSearchModeAndRefusals) {
  auto r = test::RunCommand(Cli() + " ls --json --mode search " + Quote(image_.string()) + " 0");
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("\"path\":\"根目录/3/年度报告 2024 最终版.txt\""), std::string::npos);
  r = test::RunCommand(Cli() + " ls " + Quote(image_.string()) + " 7");
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("no partition '7'"), std::string::npos);
  r = test::RunCommand(Cli() + " ls " + Quote(image_.string()) + " 0 --mode sideways");
  EXPECT_EQ(r.exitCode, 2);
  r = test::RunCommand(Cli() + " ls " + Quote(image_.string()) + " 0 --deleted --existing");
  EXPECT_EQ(r.exitCode, 2);
}

TEST(Cli, ErrorsAreOneLineWithDocumentedExitCodes) {
  test::TempDir dir;
  auto r = test::RunCommand(Cli() + " info " + Quote((dir.path() / "missing.img").string()));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("missing.img: No such file or directory"), std::string::npos) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);

  r = test::RunCommand(Cli() + " info " + Quote(dir.path().string()));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("not a regular file or block device"), std::string::npos);

  r = test::RunCommand(Cli() + " info /dev/null");
  EXPECT_EQ(r.exitCode, 1);
  r = test::RunCommand(Cli() + " parts " + Quote((dir.path() / "missing.img").string()));
  EXPECT_EQ(r.exitCode, 1);

  if (geteuid() != 0) {
    const auto locked = dir.write("locked.img", std::vector<uint8_t>(512));
    std::filesystem::permissions(locked, std::filesystem::perms::none);
    r = test::RunCommand(Cli() + " info " + Quote(locked.string()));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("Permission denied"), std::string::npos);
  }

  r = test::RunCommand(Cli() + " info");
  EXPECT_EQ(r.exitCode, 2);
  r = test::RunCommand(Cli() + " frobnicate");
  EXPECT_EQ(r.exitCode, 2);
  r = test::RunCommand(Cli() + " --codepage 99999 disks");
  EXPECT_EQ(r.exitCode, 2);
}

TEST(Cli, HelpForEveryCommand) {
  for (const char* cmd : {"", "disks", "info", "parts", "ls"}) {
    const auto r = test::RunCommand(Cli() + " " + cmd + " --help");
    EXPECT_EQ(r.exitCode, 0) << cmd;
    EXPECT_NE(r.out.find("Usage"), std::string::npos) << cmd;
  }
}

TEST(Cli, DisksJsonIsAnArray) {
  const auto r = test::RunCommand(Cli() + " disks --json");
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto j = nlohmann::json::parse(r.out);
  ASSERT_TRUE(j.is_array());
  for (const auto& d : j) {
    EXPECT_TRUE(d.contains("devicePath"));
    EXPECT_TRUE(d.contains("size"));
    EXPECT_TRUE(d["partitions"].is_array());
  }
}

TEST(Cli, EmptyAndTinyImagesAreNotErrors) {
  test::TempDir dir;
  const auto empty = dir.write("empty.img", {});
  auto r = test::RunCommand(Cli() + " info --json " + Quote(empty.string()));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  auto j = nlohmann::json::parse(r.out);
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
