// The progress bar's rules and drawing, the progress window, and operations
// started on real threads while the UI thread keeps running.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <QTreeView>

#include "app/device_tree_model.h"
#include "app/device_window.h"
#include "app/operation_starter.h"
#include "app/partition_window.h"
#include "app/progress_dialog.h"
#include "app/search_dialogs.h"
#include "app/text_progress_bar.h"
#include "gui_support.h"

namespace orvaldi::test {
namespace {

using app::ProgressDialog;
using app::TextProgressBar;

QImage Render(const TextProgressBar& bar, int width, int height) {
  QImage image(width, height, QImage::Format_RGB32);
  image.fill(Qt::black);
  QPainter painter(&image);
  bar.paintTo(painter, image.rect());
  return image;
}

TEST(TextProgressBar, ClampsAndTexts) {
  TextProgressBar bar;
  bar.beginStage(10, 4);
  bar.stepIt();
  bar.stepIt();
  bar.stepIt();  // 12 would pass the bound: exactly full
  EXPECT_EQ(bar.position(), 10);
  EXPECT_EQ(bar.text(), QString("100%"));
  bar.setWaitAtFull(true);
  EXPECT_EQ(bar.text(), QString("等待..."));
  bar.setPosition(4);
  EXPECT_EQ(bar.text(), QString("40%"));
  bar.setPosition(11);
  EXPECT_EQ(bar.position(), 10);
  bar.setPosition(static_cast<uint64_t>(int64_t{-5}));  // a huge unsigned value
  EXPECT_EQ(bar.position(), 10);
  bar.setFixedText("正在保存");
  EXPECT_EQ(bar.text(), QString("正在保存"));
  bar.setShowText(false);
  EXPECT_EQ(bar.text(), QString());

  // An empty range draws nothing at all.
  bar.beginStage(0, 1);
  EXPECT_EQ(bar.lower(), bar.upper());
  const QImage nothing = Render(bar, 100, 10);
  EXPECT_EQ(nothing.pixel(0, 5), qRgb(0, 0, 0));
  EXPECT_EQ(nothing.pixel(99, 5), qRgb(0, 0, 0));
}

TEST(TextProgressBar, DrawsFillAndTextColoursSplitAtTheFillEdge) {
  TextProgressBar bar;
  EXPECT_EQ(bar.colours().empty, QColor(100, 150, 200));
  const TextProgressBar::Colours colours{QColor(0, 0, 160), QColor(100, 150, 200), QColor(255, 255, 255),
                                         QColor(200, 0, 0)};
  bar.setColours(colours);
  QFont font = bar.font();
  font.setPixelSize(16);
  font.setStyleStrategy(QFont::NoAntialias);  // exact colours to count
  bar.setFont(font);
  bar.setFixedText(QString(40, QChar(0x2588)));  // a row of full blocks across the edge
  bar.beginStage(100, 1);
  bar.setPosition(50);
  const QImage image = Render(bar, 200, 24);
  EXPECT_EQ(image.pixel(1, 0), colours.filled.rgb());
  EXPECT_EQ(image.pixel(198, 0), colours.empty.rgb());
  int overFilled = 0;
  int overEmpty = 0;
  int wrongSide = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      const QRgb pixel = image.pixel(x, y);
      if (x < 100) {
        overFilled += pixel == colours.textOverFilled.rgb();
        wrongSide += pixel == colours.textOverEmpty.rgb();
      } else {
        overEmpty += pixel == colours.textOverEmpty.rgb();
        wrongSide += pixel == colours.textOverFilled.rgb();
      }
    }
  }
  EXPECT_GT(overFilled, 20);
  EXPECT_GT(overEmpty, 20);
  EXPECT_EQ(wrongSide, 0);
}

TEST(ProgressDialog, StatusLinesStopAndDots) {
  QWidget owner;
  owner.resize(600, 400);
  owner.show();
  ProgressDialog dialog(&owner);
  dialog.showFor("全盘扫描");
  EXPECT_EQ(dialog.statusText(), QString("正在执行操作,请稍后..."));
  dialog.beginStage(100, 1);
  EXPECT_EQ(dialog.statusText(), QString("正在全盘扫描"));

  // The dots grow to six, hold for one message, and start again.
  QString lengths;
  for (int i = 0; i < 16; ++i) {
    dialog.step();
    lengths += QString::number(dialog.dotsText().size());
  }
  EXPECT_TRUE(lengths.contains("12345661")) << lengths.toStdString();
  for (int i = 0; i < 24; ++i) dialog.step();
  EXPECT_EQ(dialog.bar().position(), 40);
  EXPECT_FALSE(SaveScreenshot(dialog, "progress-window").empty());

  QTest::mouseClick(&dialog.stopButton(), Qt::LeftButton);
  QTest::mouseClick(&dialog.stopButton(), Qt::LeftButton);
  EXPECT_TRUE(dialog.block().cancelled());
  EXPECT_EQ(dialog.statusText(), QString("正在分析文件，请稍后!"));
  EXPECT_TRUE(dialog.isVisible());  // only the operation's end closes it
  dialog.closeWhenDone();
  EXPECT_FALSE(dialog.isVisible());

  // Shown again: a fresh, uncancelled block; the close box stops it.
  dialog.showFor("扫描分区");
  EXPECT_FALSE(dialog.block().cancelled());
  dialog.close();
  EXPECT_TRUE(dialog.block().cancelled());
  EXPECT_FALSE(dialog.isVisible());
}

// Waits, without letting the UI thread run, until `done` holds; a worker
// that waits for the UI thread never gets there.
template <typename Done>
bool WaitWithoutEvents(Done done) {
  for (int round = 0; round < 5000 && !done(); ++round) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return done();
}

TEST(ProgressDialog, MessagesFromAnotherThreadAreRecordedAndShownLatestFirst) {
  QWidget owner;
  owner.resize(600, 400);
  owner.show();
  ProgressDialog dialog(&owner);
  dialog.showFor("扫描丢失文件");
  // Dots at six and held once: the next redraw that moves them shows one.
  while (dialog.dotsText().size() < 6) dialog.step();
  dialog.step();
  ASSERT_EQ(dialog.dotsText().size(), 6);

  std::atomic<bool> done{false};
  std::thread worker([&] {
    platform::ProgressBlock& block = dialog.block();
    block.beginStage(10, 4);
    for (int i = 0; i < 500; ++i) block.step();  // past the bound: exactly full
    block.beginStage(1000, 1);
    for (int i = 0; i < 500; ++i) block.step();
    block.setPosition(static_cast<uint64_t>(int64_t{-5}));  // a huge unsigned value: the bound
    block.setPosition(700);
    done = true;
  });
  EXPECT_TRUE(WaitWithoutEvents([&] { return done.load(); }));
  // Recorded, not yet shown: the window shows it at its next redraw.
  EXPECT_EQ(dialog.statusText(), QString("正在执行操作,请稍后..."));
  ASSERT_TRUE(WaitFor([&] { return done && dialog.bar().position() == 700; }));
  worker.join();
  EXPECT_EQ(dialog.bar().upper(), 1000);
  EXPECT_EQ(dialog.statusText(), QString("正在扫描丢失文件"));
  EXPECT_EQ(dialog.dotsText(), QString("."));  // 1,003 messages, one redraw

  // The block's text, once an engine wrote one, is the status line.
  dialog.block().setText("4096 BYTE被保存");
  dialog.showLatest();
  EXPECT_EQ(dialog.statusText(), QString("4096 BYTE被保存"));
  dialog.block().clearText();
  dialog.showLatest();
  EXPECT_EQ(dialog.statusText(), QString("正在扫描丢失文件"));
}

TEST(SearchListWindow, AStoppedSearchDoesNotStopTheNext) {
  app::SearchListWindow window;
  window.showFor("扫描分区");
  window.block().requestCancel();
  window.closeWhenDone();
  window.showFor("扫描分区");
  EXPECT_FALSE(window.block().cancelled());
  EXPECT_EQ(window.sharedBlock().get(), &window.block());
  window.close();
}

// A view of the request's own whose messages belong on the UI thread.
class RecordingView final : public QWidget, public app::ProgressView, public platform::ProgressSink {
 public:
  RecordingView() { block_.setSink(this); }
  platform::ProgressBlock& block() override { return block_; }
  void showFor(const QString&) override {}
  void closeWhenDone() override { calls.push_back("close"); }
  void beginStage(int64_t upper, int64_t step) override {
    record("begin " + std::to_string(upper) + "/" + std::to_string(step));
  }
  void step() override { record("step"); }
  void setPosition(uint64_t position) override { record("position " + std::to_string(position)); }
  std::vector<std::string> calls;
  bool offUiThread = false;

 private:
  void record(std::string call) {
    offUiThread = offUiThread || QThread::currentThread() != thread();
    calls.push_back(std::move(call));
  }
  platform::ProgressBlock block_;
};

TEST(OperationStarter, TheWorkerNeverWaitsForItsViewWhichSeesTheLastStateBeforePublishing) {
  ScriptedPrompter prompter;
  QWidget owner;
  app::OperationStarter start = app::MakeOperationStarter();
  RecordingView own;
  struct Case {
    const char* name;
    app::ProgressView* view;  // null: the owner's standard window
  };
  for (const Case& c : {Case{"standard window", nullptr}, Case{"own view", &own}}) {
    SCOPED_TRACE(c.name);
    auto busy = std::make_shared<ops::BusyFlag>();
    std::atomic<bool> worked{false};
    int64_t positionAtPublish = -1;
    QString statusAtPublish;
    std::vector<std::string> callsAtPublish;
    app::OperationRequest request;
    request.family = app::OperationFamily::kPartitionScan;
    request.title = "分区扫描";
    request.owner = &owner;
    request.view = c.view;
    request.busy = busy;
    request.work = [&](platform::ProgressBlock& block) {
      block.beginStage(10, 4);
      for (int i = 0; i < 3; ++i) block.step();
      block.beginStage(200000, 1);
      for (int i = 0; i < 200000; ++i) block.step();
      block.setText("正在分析文件，请稍后！");
      worked = true;
    };
    request.publish = [&] {
      if (auto* dialog = owner.findChild<ProgressDialog*>()) {
        positionAtPublish = dialog->bar().position();
        statusAtPublish = dialog->statusText();
      }
      callsAtPublish = own.calls;
    };
    ASSERT_TRUE(start(request));
    EXPECT_TRUE(WaitWithoutEvents([&] { return worked.load(); }));
    ASSERT_TRUE(WaitFor([&] { return !busy->raised(); }));
    ASSERT_TRUE(WaitFor([&] { return !ops::ProcessThreadSlots().taken(ops::ThreadRole::kPartitionScanMonitor); }));
    if (c.view) {
      // Nothing reached the view while the UI thread was held: at the end
      // it gets the last stage's start, then its position.
      EXPECT_EQ(callsAtPublish, (std::vector<std::string>{"begin 200000/1", "position 200000"}));
      EXPECT_EQ(own.calls.back(), "close");
      EXPECT_FALSE(own.offUiThread);
    } else {
      EXPECT_EQ(positionAtPublish, 200000);
      EXPECT_EQ(statusAtPublish, QString("正在分析文件，请稍后！"));
    }
  }
}

TEST(OperationStarter, WorkRunsOnAWorkerStopEndsItAndPublishStillRuns) {
  ScriptedPrompter prompter;
  QWidget owner;
  owner.resize(600, 400);
  owner.show();
  app::OperationStarter start = app::MakeOperationStarter();
  const std::thread::id uiThread = std::this_thread::get_id();

  auto busy = std::make_shared<ops::BusyFlag>();
  auto count = std::make_shared<ops::OperationCount>();
  std::atomic<int> steps{0};
  std::atomic<bool> workOnUiThread{true};
  bool published = false;
  bool publishedOnUiThread = false;
  bool viewOpenAtPublish = false;
  bool busyAtPublish = false;
  ProgressDialog* dialog = nullptr;

  app::OperationRequest request;
  request.family = app::OperationFamily::kDiskSearch;
  request.title = "全盘扫描";
  request.owner = &owner;
  request.busy = busy;
  request.count = count;
  request.work = [&](platform::ProgressBlock& block) {
    workOnUiThread = std::this_thread::get_id() == uiThread;
    block.beginStage(1000, 1);
    for (int i = 0; i < 1000 && !block.cancelled(); ++i) {
      block.step();
      ++steps;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  };
  request.publish = [&] {
    published = true;
    publishedOnUiThread = std::this_thread::get_id() == uiThread;
    viewOpenAtPublish = dialog && dialog->isVisible();
    busyAtPublish = busy->raised();
  };
  ASSERT_TRUE(start(request));
  dialog = owner.findChild<ProgressDialog*>();
  ASSERT_NE(dialog, nullptr);
  EXPECT_TRUE(dialog->isVisible());
  EXPECT_EQ(dialog->windowTitle(), QString("全盘扫描"));
  EXPECT_TRUE(busy->raised());

  // The second start of the family is refused; the first one goes on.
  EXPECT_FALSE(start(request));
  ASSERT_EQ(prompter.shown.size(), 1u);
  EXPECT_EQ(prompter.shown[0].title, QString("waiting"));
  EXPECT_EQ(prompter.shown[0].text, QString("等待当前操作完成！"));

  // The bar moves while this thread keeps handling events.
  ASSERT_TRUE(WaitFor([&] { return dialog->bar().position() >= 10; }));
  EXPECT_EQ(dialog->statusText(), QString("正在全盘扫描"));
  EXPECT_TRUE(count->busy());
  QTest::mouseClick(&dialog->stopButton(), Qt::LeftButton);

  ASSERT_TRUE(WaitFor([&] { return !busy->raised(); }));
  EXPECT_TRUE(published);
  EXPECT_TRUE(publishedOnUiThread);
  EXPECT_FALSE(workOnUiThread.load());
  EXPECT_LT(steps.load(), 1000);
  EXPECT_TRUE(viewOpenAtPublish);  // closed after publishing, then the flag cleared
  EXPECT_TRUE(busyAtPublish);
  EXPECT_FALSE(dialog->isVisible());
  ASSERT_TRUE(WaitFor([&] { return count->value() == 0; }));

  // Once the reaper freed the slot the family starts again, reusing the
  // owner's window; dropping the last starter stops it and waits for it.
  ASSERT_TRUE(WaitFor([&] { return !ops::ProcessThreadSlots().taken(ops::ThreadRole::kDiskSearchMonitor); }));
  std::atomic<bool> sawCancel{false};
  published = false;
  request.work = [&](platform::ProgressBlock& block) {
    block.beginStage(1000000, 1);
    for (int i = 0; i < 1000000 && !block.cancelled(); ++i) {
      block.step();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    sawCancel = block.cancelled();
  };
  ASSERT_TRUE(start(request));
  EXPECT_EQ(owner.findChildren<ProgressDialog*>().size(), 1);
  ASSERT_TRUE(WaitFor([&] { return dialog->bar().position() >= 5; }));
  start = nullptr;
  EXPECT_TRUE(sawCancel.load());
  EXPECT_FALSE(published);
  EXPECT_EQ(count->value(), 0);
}

// Times the GUI's scans through the real starter, progress windows and all,
// from the command to the published result: "扫描格式化文件" of partition 0
// of ORVALDI_GUI_SCAN_BENCH_FAT and "全盘扫描" of ORVALDI_GUI_SCAN_BENCH_DISK
// (bench/gui_scan_bench.sh sets them and prints the CLI's times beside).
TEST(ProgressBench, ScansThroughTheRealStarter) {
  const char* fatImage = std::getenv("ORVALDI_GUI_SCAN_BENCH_FAT");
  const char* diskImage = std::getenv("ORVALDI_GUI_SCAN_BENCH_DISK");
  if ((!fatImage || !*fatImage) && (!diskImage || !*diskImage))
    GTEST_SKIP() << "set ORVALDI_GUI_SCAN_BENCH_FAT and/or ORVALDI_GUI_SCAN_BENCH_DISK to time the scans";
  using Clock = std::chrono::steady_clock;
  const auto seconds = [](Clock::duration d) { return std::chrono::duration<double>(d).count(); };
  // The end of a scan is a posted event (the publishing), so waiting for
  // events adds no polling delay to the figure.
  const auto waitFor = [](const auto& done) {
    while (!done()) QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  };
  ScriptedPrompter prompter;
  const app::OperationStarter starter = app::MakeOperationStarter();
  if (fatImage && *fatImage) {
    disk::DiskInfoList disks;
    app::DeviceWindow window(disks, starter);
    std::unique_ptr<QWidget> document;
    QObject::connect(&window, &app::DeviceWindow::documentCreated, [&](QWidget* w, const QString&) {
      w->resize(900, 600);
      w->show();
      document.reset(w);
    });
    ASSERT_TRUE(window.openImage(fatImage));
    window.tree()->setCurrentIndex(window.model()->index(0, 0, window.model()->index(0, 0)));
    window.openSelectedPartition();
    ASSERT_TRUE(document);
    auto* w = static_cast<app::PartitionWindow*>(document.get());
    const auto opened = [&] { return !w->readingFlag()->raised() && !w->busy(); };
    waitFor(opened);
    const auto t0 = Clock::now();
    w->scanFormatted();
    waitFor([&] { return !w->readingFlag()->raised(); });
    std::printf("gui 扫描格式化文件 %.3f s (%u folders, %u files)\n", seconds(Clock::now() - t0), w->counters().folders,
                w->counters().files);
    waitFor(opened);
  }
  if (diskImage && *diskImage) {
    disk::DiskInfoList disks;
    app::DeviceWindow window(disks, starter);
    ASSERT_TRUE(window.openImage(diskImage));
    const QModelIndex diskItem = window.model()->index(0, 0);
    window.tree()->setCurrentIndex(diskItem);
    const QString diskText = window.model()->itemText(diskItem);
    const auto t0 = Clock::now();
    window.fullDiskScan();
    ASSERT_TRUE(window.searching(diskText));
    waitFor([&] { return !window.searching(diskText); });
    const double took = seconds(Clock::now() - t0);
    std::printf("gui 全盘扫描 %.3f s (%.2f GB/s)\n", took, static_cast<double>(disks.front().sizeBytes) / took / 1e9);
    waitFor([&] { return !window.busy(); });
  }
}

}  // namespace
}  // namespace orvaldi::test
