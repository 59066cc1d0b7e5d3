// Names, filter, target naming, texts and the source-device check of the save operation.
#include "raw/save_target.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <fstream>
#include <tuple>

#include "support/test_images.h"

namespace orvaldi::raw {
namespace {

TEST(SaveFilter, WildcardsMatchAsTheFileListDoes) {
  const struct {
    const char* pattern;
    const char* name;
    bool match;
  } cases[] = {
      {"", "anything", true},
      {"*.doc", "report.doc", true},
      {"*.DOC", "Report.Doc", true},
      {"*.doc", "report.txt", false},
      {"*.doc", "a.doc.bak", true},  // after the first dot only has to contain "doc"
      {"*.doc", "doc", true},        // a name without a dot stands on both sides
      // Patterns without a dot, or starting with one, search the whole name.
      {"abc*", "xxabcyy.txt", true},
      {"abc*", "ab.c", false},
      {".jpg", "photo.JPG", true},
      {"rep*.t", "report.txt", true},
      {"rep*.t", "notes.txt", false},
      // The partition window's filter uses the same test.
      {"*.jpg", "photo.jpg", true},
      {"*.jpg", "a.jpg.bak", true},
      {"*.jpg", "photo.JPG", true},
      {"*.jpg", "jpg.txt", false},  // the part after the first dot is "txt"
      {"report", "annual_report.doc", true},
      {"report", "report", true},
      {"report", "rep.ort", false},
      {"a.b", "ab", true},  // no dot in the name: base and tail are both "ab"
      {"a.b", "ba", true},
      {"a.b", "cd", false},
      {"a.b", "b.a", false},
      {"doc", "mydocs.txt", true},
      {"*doc*", "mydocs.txt", true},
      {"?.txt", "a.txt", false},  // "?" stands for itself
      {"?.txt", "?.txt", true},
      {"*", "x", true},
      {".hidden", "x.hidden", true},
  };
  for (const auto& c : cases) EXPECT_EQ(FilterMatches(c.pattern, c.name), c.match) << c.pattern << " " << c.name;
}

TEST(SaveNames, InvalidNamesAreThoseThatCouldLeaveOrBreakTheTarget) {
  for (const char* bad :
       {"", ".", "..", "a/b", "a\\b", "x?y.txt", "a:b", "a*b", "a\"b", "a<b", "a>b", "a|b", "tab\there", "nul\x01"})
    EXPECT_TRUE(IsInvalidName(bad)) << bad;
  for (const char* good : {"a.txt", "...", ".hidden", "年度报告 2024.txt", "åLD.TXT", "a b"})
    EXPECT_FALSE(IsInvalidName(good)) << good;
  EXPECT_EQ(ReplaceInvalid("../a", "_"), ".._a");
  EXPECT_EQ(ReplaceInvalid("", "_"), "_");
}

// Renaming for all and skipping all are the save walk's test; here the
// answers that still do not give a usable name.
TEST(SaveNames, AnUnusableAnswerIsNeverTaken) {
  int tries = 0;
  NameAsker stubborn = [&](const std::string&, const std::string&) {
    ++tries;
    return NameAnswer{NameAnswer::kRename, "../../etc/passwd", false, "$"};
  };
  NameCheckState fresh, none, slash;
  EXPECT_EQ(CheckName("..", fresh, stubborn), std::nullopt);  // asked again, then skipped
  EXPECT_EQ(tries, 3);
  EXPECT_EQ(CheckName("a/b", none, {}), std::nullopt);  // no one to ask
  // A replacement text that is itself unusable does not let a separator through.
  slash.replaceAll = true;
  slash.replacement = "/";
  EXPECT_EQ(CheckName("a?b", slash, {}), std::nullopt);
}

TEST(SaveTarget, CollisionsCountUpAndNothingIsOverwritten) {
  test::TempDir dir;
  // Creates a target for `name` below `dir` and says which file it made.
  const auto create = [&](const std::filesystem::path& name) {
    std::string used;
    const int fd = CreateTargetFile((dir.path() / name).string(), &used);
    EXPECT_GE(fd, 0) << name;
    EXPECT_EQ(::write(fd, "x", 1), 1);
    ::close(fd);
    return std::filesystem::path(used).filename().string();
  };
  const std::vector<std::string> used = {create("report.doc"), create("report.doc"), create("report.doc")};
  EXPECT_EQ(used, (std::vector<std::string>{"report.doc", "report.doc0.doc", "report.doc1.doc"}));
  EXPECT_EQ(CandidateName("/t/README", 0), "/t/README0");
  EXPECT_EQ(CandidateName("/t.d/README", 2), "/t.d/README2");  // a dot in a folder is not an extension

  // a.jpg and a.jpg0.jpg exist, the second one unreadable: it is not taken for a free name.
  dir.write("a.jpg", {'1'});
  dir.write("a.jpg0.jpg", {'2'});
  ::chmod((dir.path() / "a.jpg0.jpg").c_str(), 0);
  EXPECT_EQ(create("a.jpg"), "a.jpg1.jpg");
  ::chmod((dir.path() / "a.jpg0.jpg").c_str(), 0644);
  EXPECT_EQ(test::ReadAll(dir.path() / "a.jpg0.jpg"), "2");
  // A symbolic link in the way is not followed.
  std::filesystem::create_symlink(dir.path() / "a.jpg", dir.path() / "link.txt");
  EXPECT_EQ(create("link.txt"), "link.txt0.txt");
  EXPECT_EQ(test::ReadAll(dir.path() / "a.jpg"), "1");
  // Free space is asked of the nearest folder that exists.
  EXPECT_TRUE(FreeBytes((dir.path() / "not" / "yet").string()).has_value());
}

TEST(SaveTexts, ProgressAndSpaceTextsAtTheirThresholds) {
  const std::pair<uint64_t, const char*> totals[] = {{1023, "1023 BYTE被保存"},        {1024, "1.00 KB被保存"},
                                                     {1536, "1.50 KB被保存"},          {1u << 20, "1.00 MB被保存"},
                                                     {0x3FFFFFFF, "1024.00 MB被保存"}, {0x40000000, "1.00 GB被保存"}};
  for (const auto& [bytes, text] : totals) EXPECT_EQ(SavedTotalText(bytes), text) << bytes;
  EXPECT_EQ(SavedBytesText(1536), "1536 BYTE被保存");
  EXPECT_EQ(NotEnoughSpaceText(2ull << 30), "即将保存 2.0 GB,磁盘空间不够！");
  EXPECT_EQ(NotEnoughSpaceText(50ull << 20), "即将保存 50.0 MB,磁盘空间不够！");
}

// A fake /sys: disk 8:0 with partition 8:1, and a mapped device 253:0 on 8:1.
TEST(SaveTarget, ATargetOnTheSourceDiskIsRecognised) {
  test::TempDir sys;
  namespace fsys = std::filesystem;
  const fsys::path devices = sys.path() / "devices", block = sys.path() / "dev" / "block";
  // Each device's folder, its number, and the folder it stands on.
  const std::tuple<const char*, const char*, const char*> nodes[] = {
      {"sda", "8:0", nullptr}, {"sda/sda1", "8:1", nullptr}, {"dm-0", "253:0", "sda/sda1"}, {"sdb", "8:16", nullptr}};
  for (const auto& [dir, number, slave] : nodes) {
    fsys::create_directories(devices / dir);
    std::ofstream(devices / dir / "dev") << number << "\n";
    fsys::create_directories(block);
    fsys::create_directory_symlink(devices / dir, block / number);
    if (slave) {
      fsys::create_directories(devices / dir / "slaves");
      fsys::create_directory_symlink(devices / slave, devices / dir / "slaves" / fsys::path(slave).filename());
    }
  }
  std::ofstream(devices / "sda/sda1/partition") << "1\n";
  const std::string root = sys.path().string();
  const std::tuple<dev_t, dev_t, bool> cases[] = {
      {makedev(8, 0), makedev(8, 0), true},   {makedev(8, 1), makedev(8, 0), true},
      {makedev(253, 0), makedev(8, 0), true}, {makedev(253, 0), makedev(8, 1), true},
      {makedev(8, 16), makedev(8, 0), false}, {makedev(8, 1), makedev(8, 16), false}};
  for (const auto& [device, disk, sits] : cases)
    EXPECT_EQ(platform::detail::DeviceSitsOn(root, device, disk), sits) << major(device) << ":" << minor(device);
  // An image file is no device: a target beside it is fine.
  test::TempDir dir;
  disk::DiskInfo image;
  image.devicePath = dir.write("disk.img", std::vector<uint8_t>(512)).string();
  EXPECT_FALSE(TargetOnSourceDevice(image, dir.path().string()));
}

}  // namespace
}  // namespace orvaldi::raw
