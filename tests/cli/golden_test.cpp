// Listings of the demo disk compared with stored output (ORVALDI_UPDATE_GOLDEN=1 rewrites them).
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "support/test_images.h"

namespace orvaldi {
namespace {

class Golden : public ::testing::Test {
 protected:
  void SetUp() override {
    auto bytes = test::LoadImage(test::DemoImageGz());
    ASSERT_TRUE(bytes);
    image_ = dir_.write("demo.img", *bytes);
  }

  // Runs `orvaldi ARGS` on the demo image (times in UTC) and compares its
  // standard output with tests/cli/golden/FILE.
  void check(const std::string& args, const std::string& file) {
    std::string command = "TZ=UTC " + test::CliPath().string() + " " + args;
    const auto r = test::RunCommand(command.replace(command.find("IMG"), 3, "'" + image_.string() + "'"));
    ASSERT_EQ(r.exitCode, 0) << args << ": " << r.err;
    const auto golden = test::FixturesDir().parent_path() / "cli/golden" / file;
    if (std::getenv("ORVALDI_UPDATE_GOLDEN")) {
      std::ofstream(golden, std::ios::binary) << r.out;
      return;
    }
    std::ifstream in(golden, std::ios::binary);
    ASSERT_TRUE(in) << golden;
    std::stringstream expected;
    expected << in.rdbuf();
    EXPECT_EQ(r.out, expected.str()) << args << " differs from " << golden;
  }

  test::TempDir dir_;
  std::filesystem::path image_;
};

TEST_F(Golden, PartitionTable) { check("parts IMG", "demo-parts.txt"); }

TEST_F(Golden, FatListing) { check("ls --json IMG 0", "demo-ls-fat32.jsonl"); }

// On an intact volume the search by sector finds what the MFT walk finds.
TEST_F(Golden, NtfsListingByWalkAndBySector) {
  check("ls --json IMG 1", "demo-ls-ntfs.jsonl");
  check("ls --json --mode deep IMG 1", "demo-ls-ntfs.jsonl");
}

}  // namespace
}  // namespace orvaldi
