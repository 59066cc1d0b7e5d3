// The one check every writer asks before creating a byte: which paths name
// the source, and which two written paths are one file.
#include "platform/file_target.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>

#include "support/test_images.h"

namespace orvaldi::platform {
namespace {

namespace fs = std::filesystem;

TEST(FileTarget, PathsThatNameTheSourceAreClashes) {
  test::TempDir dir;
  const auto image = dir.write("disk.img", std::vector<uint8_t>(4096, 1));
  fs::create_hard_link(image, dir.path() / "link.img");
  fs::create_symlink(image, dir.path() / "sym.img");
  fs::create_directory(dir.path() / "sub");
  const std::string spelledAgain = (dir.path() / "sub" / ".." / "disk.img").string();
  const std::tuple<std::string, SourceClash> cases[] = {
      {image.string(), SourceClash::kSameFile},
      {(dir.path() / "link.img").string(), SourceClash::kSameFile},
      {(dir.path() / "sym.img").string(), SourceClash::kSameFile},
      {spelledAgain, SourceClash::kSameFile},
      {(dir.path() / "copy.img").string(), SourceClash::kNone},  // not there yet
      {(dir.path() / "sub").string(), SourceClash::kNone},
  };
  for (const auto& [target, clash] : cases) EXPECT_EQ(ClashWithSource(image.string(), target), clash) << target;
  // A source that cannot be looked at tells nothing apart.
  EXPECT_EQ(ClashWithSource((dir.path() / "gone.img").string(), image.string()), SourceClash::kNone);
}

TEST(FileTarget, TwoWrittenPathsAreOneFileWhateverTheirSpelling) {
  test::TempDir dir;
  const auto map = dir.write("run.map", {'x'});
  fs::create_hard_link(map, dir.path() / "again.map");
  fs::create_directory(dir.path() / "sub");
  const std::string base = dir.path().string();
  const std::tuple<std::string, std::string, bool> cases[] = {
      {map.string(), base + "/again.map", true},           {map.string(), base + "/sub/../run.map", true},
      {base + "/new.img", base + "/sub/../new.img", true},  // neither exists yet
      {base + "/new.img", base + "/new.map", false},       {map.string(), base + "/new.img", false},
  };
  for (const auto& [a, b, same] : cases) EXPECT_EQ(SameWriteTarget(a, b), same) << a << " " << b;
}

}  // namespace
}  // namespace orvaldi::platform
