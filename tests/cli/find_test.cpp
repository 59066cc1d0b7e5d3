// `orvaldi find` on the demo disk: what each criterion and switch finds, its
// refusals, and a partition read only in part.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <sstream>

#include "support/faulty_mount.h"
#include "support/test_images.h"

namespace orvaldi {
namespace {

using test::ShellQuote;

std::vector<std::string> JsonPaths(const std::string& out) {
  std::vector<std::string> paths;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) paths.push_back(nlohmann::json::parse(line)["path"]);
  return paths;
}

TEST(CliFind, CriteriaSwitchesAndRefusalsOnTheDemoDisk) {
  auto bytes = test::LoadImage(test::DemoImageGz());
  ASSERT_TRUE(bytes);
  test::TempDir dir;
  const std::string cli = test::CliPath().string() + " find " + ShellQuote(dir.write("demo.img", *bytes).string());
  const struct {
    std::string args;
    std::vector<std::string> paths;
  } cases[] = {
      {"0 --pattern '*r*me.t?t;*jp*'",
       {"根目录/临时/旧照片/åMG_0100.JPG", "根目录/临时/旧照片/DSC 0001.jpg", "根目录/照片/2024/IMG_0001.JPG",
        "根目录/照片/2024/åMG_0002.JPG", "根目录/README.TXT"}},
      // '?' takes the two-byte "å" a deleted short name starts with.
      {"0 --pattern ' ?MG_0*.jpg ; '",
       {"根目录/临时/旧照片/åMG_0100.JPG", "根目录/照片/2024/IMG_0001.JPG", "根目录/照片/2024/åMG_0002.JPG"}},
      {"0 --ext 'txt; doc' --deleted",
       {"根目录/临时/åotes.txt", "根目录/文档/会议纪要.txt", "根目录/文档/草稿.txt", "根目录/åLD.TXT"}},
      {"0 --ext PNG --existing", {"根目录/照片/2024/春节.png"}},
      {"0 --name 照 --folders", {"根目录/临时/旧照片", "根目录/照片"}},
      {"0 --name readme.txt --exact", {"根目录/README.TXT"}},
      {"0 --name readme --exact", {}},
      {"1 --ext jpg", {"根目录/图片/头像.jpg"}},
  };
  for (const auto& c : cases) {
    const auto r = test::RunCommand(cli + " --json " + c.args);
    EXPECT_EQ(r.exitCode, 0) << c.args << ": " << r.err;
    EXPECT_EQ(JsonPaths(r.out), c.paths) << c.args;
    // Finding nothing is said, not left to be guessed from silence.
    EXPECT_EQ(r.err.find("no file or folder matches") != std::string::npos, c.paths.empty()) << c.args;
  }
  const auto text = test::RunCommand(cli + " 0 --ext jpg --files");
  EXPECT_EQ(text.exitCode, 0);
  EXPECT_NE(text.out.find("名称"), std::string::npos);
  EXPECT_NE(text.out.find("根目录/照片/2024/IMG_0001.JPG"), std::string::npos);
  for (const char* refused : {"0", "0 --name a --ext b", "0 --ext txt --exact", "0 --ext ' ; '", "0 --pattern ''",
                              "0 --name a --files --folders", "0 --name a --deleted --existing"}) {
    const auto r = test::RunCommand(cli + " " + refused);
    EXPECT_EQ(r.exitCode, 2) << refused;
    EXPECT_EQ(r.out, "") << refused;
  }
}

// fat32-tree's "Reports/" folder runs through cluster 2427 (sector 1104 +
// 2425): with it unreadable, what was found is printed and the exit code
// says the search could not see everything.
TEST(CliFind, APartitionReadInPartIsNoSuccess) {
  if (!test::FaultyMount::Available()) GTEST_SKIP() << "no /dev/fuse on this machine";
  test::TempDir dir;
  auto bytes = test::LoadImage(test::FixturesDir() / "fat/fat32-tree.img.gz");
  ASSERT_TRUE(bytes);
  test::FaultyMount mount(dir.write("tree.img", *bytes), std::to_string(1104 + 2427 - 2));
  ASSERT_TRUE(mount.ok()) << mount.error();
  const auto r = test::RunCommand(test::CliPath().string() + " find --json " + ShellQuote(mount.path().string()) +
                                  " 0 --name 'design notes.txt' --exact");
  EXPECT_EQ(r.exitCode, 6) << r.err;
  EXPECT_EQ(JsonPaths(r.out),
            (std::vector<std::string>{"根目录/Documents/Work/Projects 2024/Alpha Release/Design Notes.txt"}));
}

}  // namespace
}  // namespace orvaldi
