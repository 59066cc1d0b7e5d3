// `orvaldi recover` and `orvaldi cat` on the demo disk: what comes back, what
// is refused, and that the source is never written.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/test_images.h"

namespace orvaldi {
namespace {

std::string Cli() { return test::CliPath().string(); }
using test::ShellQuote;

class RecoverDemo : public ::testing::Test {
 protected:
  void SetUp() override {
    auto bytes = test::LoadImage(test::DemoImageGz());
    ASSERT_TRUE(bytes) << "demo image missing: " << test::DemoImageGz();
    image_ = source_.write("demo.img", *bytes);
  }
  std::string img() const { return ShellQuote(image_.string()); }
  test::TempDir source_;
  test::TempDir target_;
  std::filesystem::path image_;
};

TEST_F(RecoverDemo, DeletedFilesComeBackAndTheSourceIsUntouched) {
  const std::string before = test::RunCommand("sha256sum " + img()).out.substr(0, 64);
  struct stat st0;
  ASSERT_EQ(::stat(image_.c_str(), &st0), 0);
  const auto r = test::RunCommand(Cli() + " recover " + img() + " 1 --no-existing --to " +
                                  ShellQuote(target_.path().string()));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("6 个文件"), std::string::npos) << r.out;
  const auto got = test::Sha256Tree(target_.path());
  EXPECT_EQ(got.size(), 6u);
  EXPECT_EQ(got.at("根目录/临时文件/子目录/a.txt"), "c882563513b12edc9713606ca2a3543a50be03b630acc51cb1e26703305e1ea4");
  EXPECT_EQ(got.at("根目录/临时文件/子目录/b.bin"), "2233ee3e30e51de08948458db94676c07cd021e73e433440acf4f415138c6b8c");
  EXPECT_EQ(got.at("根目录/图片/头像.jpg"), "4ae8c54d5400961882bb716cf9f599a839792f8cd455c91a99a8fd40d809f677");
  struct stat st1;
  ASSERT_EQ(::stat(image_.c_str(), &st1), 0);
  EXPECT_EQ(st1.st_mtim.tv_sec, st0.st_mtim.tv_sec);
  EXPECT_EQ(st1.st_mtim.tv_nsec, st0.st_mtim.tv_nsec);
  EXPECT_EQ(test::RunCommand("sha256sum " + img()).out.substr(0, 64), before);
}

TEST_F(RecoverDemo, NamedPathsWithFilterAndSeveralJobs) {
  const auto r = test::RunCommand(Cli() + " recover " + img() + " 0 --to " + ShellQuote(target_.path().string()) +
                                  " 根目录/照片 根目录/临时 --filter '*.jpg' --jobs 2");
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto got = test::Sha256Tree(target_.path());
  EXPECT_EQ(got.at("根目录/照片/2024/IMG_0001.JPG"), "fec383a84b684c3662f83f3128d82599df8ec7f61279d810be8e42c974336165");
  EXPECT_EQ(got.at("根目录/照片/2024/\xC3\xA5MG_0002.JPG"),
            "23d1bc91700659437725e3e5c1267caf7532e2dbd4491c6c64a9e33f954400b5");
  EXPECT_EQ(got.at("根目录/临时/旧照片/DSC 0001.jpg"), "754f99a459894c19e0dfeb59f1e0066961c36123e7c333ee083b854d38909384");
  EXPECT_EQ(got.count("根目录/照片/2024/春节.png"), 0u);
  EXPECT_EQ(got.size(), 4u);
}

TEST_F(RecoverDemo, CatWritesOneFile) {
  auto r = test::RunCommand(Cli() + " cat " + img() + " 1 根目录/项目/sparse.bin | sha256sum");
  EXPECT_EQ(r.out.substr(0, 64), "82e05633dfa2748e02097363500b44fafbfc6117d545cd9b452261127c16c252");
  r = test::RunCommand(Cli() + " cat " + img() + " 0 根目录/音乐/'录音 2024-03-01.wav' | sha256sum");
  EXPECT_EQ(r.out.substr(0, 64), "aca3e9fe7879c3e7af5702fa8f12402fa0e7ea7916a0d560d2a38c7e144e87ed");
  // The deleted photo is found by its header and read whole.
  r = test::RunCommand(Cli() + " cat " + img() + " 0 根目录/照片/2024/\xC3\xA5MG_0002.JPG | sha256sum");
  EXPECT_EQ(r.out.substr(0, 64), "23d1bc91700659437725e3e5c1267caf7532e2dbd4491c6c64a9e33f954400b5");
}

TEST_F(RecoverDemo, ClearErrors) {
  auto r = test::RunCommand(Cli() + " cat " + img() + " 1 根目录/nothing.txt");
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("no file \"根目录/nothing.txt\""), std::string::npos) << r.err;
  r = test::RunCommand(Cli() + " cat " + img() + " 1 根目录/项目");
  EXPECT_EQ(r.exitCode, 2);  // a folder is no file
  r = test::RunCommand(Cli() + " recover " + img() + " 0 根目录/missing --to " + ShellQuote(target_.path().string()));
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("no file or folder \"根目录/missing\""), std::string::npos) << r.err;
  // A target below a file cannot be made.
  const auto file = target_.write("plain.txt", {'x'});
  r = test::RunCommand(Cli() + " recover " + img() + " 0 --to " + ShellQuote((file / "sub").string()));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("无法创建: "), std::string::npos) << r.err;
  r = test::RunCommand(Cli() + " recover " + img() + " 0 --to " + ShellQuote(target_.path().string()) +
                       " --invalid-names replace:/");
  EXPECT_EQ(r.exitCode, 2);
  r = test::RunCommand(Cli() + " recover " + img() + " 0");
  EXPECT_EQ(r.exitCode, 2);  // --to is required
  r = test::RunCommand(Cli() + " ls " + img() + " 9");
  EXPECT_EQ(r.exitCode, 2);  // a partition the disk does not have
  // Sources without a single partition hold nothing usable.
  const std::string to = " --to " + ShellQuote((target_.path() / "out").string());
  for (const auto& [name, bytes] : {std::pair<std::string, std::vector<uint8_t>>{"empty.img", {}},
                                    {"zeros.img", std::vector<uint8_t>(64 * 1024, 0x00)},
                                    {"ones.img", std::vector<uint8_t>(64 * 1024, 0xFF)}}) {
    const std::string bare = ShellQuote(source_.write(name, bytes).string());
    for (const std::string& command : {"recover " + bare + " 0" + to, "ls " + bare + " 0", "cat " + bare + " 0 a.txt"}) {
      r = test::RunCommand(Cli() + " " + command);
      EXPECT_EQ(r.exitCode, 3) << command << ": " << r.err;
    }
  }
}

}  // namespace
}  // namespace orvaldi
