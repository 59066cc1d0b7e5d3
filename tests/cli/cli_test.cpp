// The orvaldi command run as a user would, on the demo disk and on bad input.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

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

}  // namespace
}  // namespace orvaldi
