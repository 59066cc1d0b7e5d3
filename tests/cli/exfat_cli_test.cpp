// The command line on an exFAT volume: ls --json in the FAT/NTFS schema, cat, recover of a deleted file.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>

#include "disk/sha256.h"
#include "support/test_images.h"

namespace orvaldi {
namespace {

class ExfatCli : public ::testing::Test {
 protected:
  void SetUp() override {
    auto bytes = test::LoadImage(test::FixturesDir() / "exfat/exfat-basic.img.gz");
    if (!bytes) GTEST_SKIP() << "fixture missing";
    image_ = dir_.write("exfat.img", *bytes);
  }
  test::CommandResult run(const std::string& args) const {
    return test::RunCommand("TZ=UTC " + test::ShellQuote(test::CliPath().string()) + " " + args);
  }
  std::string img() const { return test::ShellQuote(image_.string()); }
  test::TempDir dir_, target_;
  std::filesystem::path image_;
};

TEST_F(ExfatCli, LsJsonHasTheCommonSchema) {
  const auto r = run("ls --json " + img() + " 0");
  ASSERT_EQ(r.exitCode, 0) << r.err;
  std::istringstream lines(r.out);
  std::map<std::string, nlohmann::json> rows;
  for (std::string line; std::getline(lines, line);) {
    auto row = nlohmann::json::parse(line);
    rows[row["path"].get<std::string>()] = row;
  }
  EXPECT_EQ(rows.size(), 10034u);  // the root and what fls lists
  const auto& deleted = rows.at("根目录/deleted.txt");
  EXPECT_EQ(deleted["deleted"], true);
  EXPECT_EQ(deleted["state"], "已删除文件");
  EXPECT_EQ(deleted["size"], 12000);
  EXPECT_EQ(deleted["modified"], "2024-03-05 10:20:30");
  EXPECT_EQ(deleted["parent"], rows.at("根目录")["id"]);
  for (const char* key : {"name", "type", "id", "created", "accessed"}) EXPECT_TRUE(deleted.contains(key)) << key;
  EXPECT_EQ(rows.at("根目录/frag/fill02.bin")["intact"], false);
  EXPECT_EQ(rows.at("根目录/中文/报告.txt")["type"], "file");
}

TEST_F(ExfatCli, CatAndRecoverGiveTheManifestsBytes) {
  const auto big = run("cat " + img() + " 0 " + test::ShellQuote("根目录/frag/big.bin"));
  ASSERT_EQ(big.exitCode, 0) << big.err;
  EXPECT_EQ(disk::Sha256Hex({reinterpret_cast<const uint8_t*>(big.out.data()), big.out.size()}),
            "70d7f4951952b651e72b655a5d1b02b1f3a8ffb41842a62e52bef626f2574d20");
  const auto r = run("recover " + img() + " 0 --to " + test::ShellQuote(target_.path().string()) + " " +
                     test::ShellQuote("根目录/gone"));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  std::ifstream in(target_.path() / "根目录/gone/inner.txt", std::ios::binary);
  ASSERT_TRUE(in);
  std::stringstream bytes;
  bytes << in.rdbuf();
  const std::string s = bytes.str();
  EXPECT_EQ(disk::Sha256Hex({reinterpret_cast<const uint8_t*>(s.data()), s.size()}),
            "9d51cce09149dec3b27b04c755fffa87f86b583c10c7527c1ae4780032579280");
}

}  // namespace
}  // namespace orvaldi
