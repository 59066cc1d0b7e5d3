// The full-disk scan's checkpoints: a stopped scan leaves one, and the next
// "全盘扫描" of that disk offers to go on from it.
#include <gtest/gtest.h>

#include <QFile>
#include <QMessageBox>
#include <QTreeView>

#include "app/device_tree_model.h"
#include "app/device_window.h"
#include "disk/scan_result_file.h"
#include "gui_support.h"
#include "support/test_images.h"

namespace orvaldi::test {
namespace {

// A progress receiver that stops the scan when it reaches chunk `at`.
class StopAtChunk final : public platform::ProgressSink {
 public:
  StopAtChunk(platform::ProgressBlock& block, uint64_t at) : block_(block), at_(at) {}
  void beginStage(int64_t, int64_t) override {}
  void step() override {}
  void setPosition(uint64_t position) override {
    if (position >= at_) block_.requestCancel();
  }

 private:
  platform::ProgressBlock& block_;
  uint64_t at_;
};

// Runs each operation at once on this thread; with `stopAt`, the scan is
// stopped at that chunk.
app::OperationStarter SyncStarter(const uint64_t* stopAt) {
  return [stopAt](app::OperationRequest request) {
    platform::ProgressBlock block;
    StopAtChunk stop(block, *stopAt);
    block.setSink(&stop);
    BeginRequest(request);
    request.work(block);
    request.publish();
    EndRequest(request);
    return true;
  };
}

struct ScanFixture {
  TempDir dir;
  disk::DiskInfoList disks;
  ScriptedPrompter prompter;
  uint64_t stopAt = UINT64_MAX;
  app::DeviceWindow window{disks, SyncStarter(&stopAt)};
  bool load() {
    const auto bytes = LoadImage(FixturesDir() / "lost/lost.img.gz");
    if (!bytes) return false;
    window.setCheckpointFolder(QString::fromStdString((dir.path() / "checkpoints").string()));
    if (!window.openImage(QString::fromStdString(dir.write("lost.img", *bytes).string()))) return false;
    window.tree()->setCurrentIndex(window.model()->index(0, 0));
    return true;
  }
  std::string result() { return disk::FormatScanResult(disks.front()).bytes; }
  QString checkpoint() { return window.checkpointPathFor(disks.front()); }
};

// A scan stopped at chunk 3 (three of the four lost volumes found) leaves
// a checkpoint; the next scan asks whether to go on from it. "是" ends with
// the records of a scan never stopped and removes the checkpoint; "取消"
// starts nothing; "否" scans anew. Once no checkpoint is left, nothing is asked.
TEST(ResumeFullDiskScan, OffersToGoOnFromTheStoppedScan) {
  ScanFixture fresh;
  ASSERT_TRUE(fresh.load());
  fresh.window.fullDiskScan();
  EXPECT_TRUE(fresh.prompter.shown.empty());
  EXPECT_FALSE(QFile::exists(fresh.checkpoint()));
  const std::string whole = fresh.result();

  const QMessageBox::StandardButton answers[] = {QMessageBox::Cancel, QMessageBox::Yes, QMessageBox::No};
  for (const QMessageBox::StandardButton answer : answers) {
    SCOPED_TRACE(answer);
    ScanFixture f;
    ASSERT_TRUE(f.load());
    f.stopAt = 3;
    f.window.fullDiskScan();
    ASSERT_TRUE(QFile::exists(f.checkpoint()));
    const std::string stopped = f.result();
    EXPECT_NE(stopped, whole);
    f.stopAt = UINT64_MAX;
    f.prompter.answers = {answer};
    f.window.fullDiskScan();
    ASSERT_EQ(f.prompter.shown.size(), 1u);
    EXPECT_EQ(f.prompter.shown[0].title, "全盘扫描");
    EXPECT_TRUE(f.prompter.shown[0].text.startsWith("继续上次的扫描？")) << f.prompter.shown[0].text.toStdString();
    EXPECT_TRUE(f.prompter.shown[0].text.contains("第 61440 扇区")) << f.prompter.shown[0].text.toStdString();
    if (answer == QMessageBox::Cancel) {
      EXPECT_EQ(f.result(), stopped);
      EXPECT_TRUE(QFile::exists(f.checkpoint()));
      continue;
    }
    // "否" scans the disk again over what the stopped scan published, as a
    // second scan always does: nothing is found twice.
    EXPECT_EQ(f.result(), whole);
    EXPECT_FALSE(QFile::exists(f.checkpoint()));
    f.window.fullDiskScan();
    EXPECT_EQ(f.prompter.shown.size(), 1u);
  }

  // The question as the operator sees it.
  ScanFixture f;
  ASSERT_TRUE(f.load());
  f.stopAt = 3;
  f.window.fullDiskScan();
  f.stopAt = UINT64_MAX;
  f.prompter.answers = {QMessageBox::Cancel};
  f.window.fullDiskScan();
  ASSERT_EQ(f.prompter.shown.size(), 1u);
  QMessageBox box(QMessageBox::Question, f.prompter.shown[0].title, f.prompter.shown[0].text,
                  QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
  EXPECT_FALSE(SaveScreenshot(box, "resume_full_disk_scan").empty());
}

}  // namespace
}  // namespace orvaldi::test
