// Entry point of the desktop workstation: orvaldi-gui [IMAGE ...].
//
// `--screenshots DIR` (for the demo script, not the operator) renders the
// main window and the region dialog on Qt's offscreen platform into DIR and
// exits; physical drives are then left out so that the pictures show only
// the images given.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <QApplication>
#include <QByteArray>
#include <QDir>
#include <QSettings>
#include <QString>
#include <QWidget>

#include "app/device_window.h"
#include "app/main_frame.h"
#include "app/operation_starter.h"
#include "app/prompter.h"
#include "app/region_dialog.h"
#include "app/settings.h"
#include "app/splash.h"
#include "app/translations.h"
#include "app/workstation.h"
#include "disk/disk_list.h"

namespace {

using orvaldi::app::MainFrame;

struct Arguments {
  QString screenshotDir;
  std::vector<std::string> images;
};

Arguments ParseArguments(int argc, char** argv) {
  Arguments args;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--screenshots" && i + 1 < argc) {
      args.screenshotDir = QString::fromLocal8Bit(argv[++i]);
    } else {
      args.images.push_back(arg);
    }
  }
  return args;
}

bool Save(QWidget& widget, const QString& dir, const QString& name) {
  widget.show();
  QApplication::processEvents();
  const QString path = QDir(dir).filePath(name + ".png");
  if (!widget.grab().save(path)) {
    std::fprintf(stderr, "orvaldi-gui: cannot write %s\n", qPrintable(path));
    return false;
  }
  std::printf("%s\n", qPrintable(path));
  return true;
}

int RenderScreenshots(const Arguments& args) {
  if (!QDir().mkpath(args.screenshotDir)) {
    std::fprintf(stderr, "orvaldi-gui: cannot create %s\n", qPrintable(args.screenshotDir));
    return 1;
  }
  const orvaldi::app::OperationStarter starter = orvaldi::app::MakeOperationStarter();
  MainFrame frame(nullptr);
  auto* device = new orvaldi::app::DeviceWindow(orvaldi::disk::DiskList(), starter);
  frame.setDeviceWindow(device);
  orvaldi::app::ConnectWorkstation(frame, *device);
  frame.resize(1100, 720);
  bool ok = Save(frame, args.screenshotDir, "main-window");
  const auto& disks = orvaldi::disk::DiskList();
  orvaldi::app::RegionDialog region(disks.empty() ? 0 : static_cast<uint64_t>(disks.front().sizeBytes), &frame);
  ok = Save(region, args.screenshotDir, "region-dialog") && ok;
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const Arguments args = ParseArguments(argc, argv);
  const bool screenshots = !args.screenshotDir.isEmpty();
  if (screenshots) qputenv("QT_QPA_PLATFORM", QByteArray("offscreen"));
  QApplication app(argc, argv);
  QApplication::setApplicationName("Orvaldi");
  // Before any window: Qt's own buttons and file dialogs in Chinese too.
  orvaldi::app::InstallQtChineseTexts();

  std::vector<std::string> failures;
  {
    std::unique_ptr<orvaldi::app::SplashWindow> splash;
    if (!screenshots) {
      splash = std::make_unique<orvaldi::app::SplashWindow>();
      splash->showNow();
      orvaldi::disk::EnumeratePhysicalDisks();
    }
    for (const std::string& image : args.images) {
      std::string error;
      if (!orvaldi::disk::OpenImageFile(image, &error)) failures.push_back(image + ": " + error);
    }
  }

  if (screenshots) {
    for (const std::string& failure : failures) std::fprintf(stderr, "orvaldi-gui: %s\n", failure.c_str());
    return failures.empty() ? RenderScreenshots(args) : 1;
  }

  // Declared before the frame, so that the windows holding copies of it are
  // gone before it stops what still runs.
  const orvaldi::app::OperationStarter starter = orvaldi::app::MakeOperationStarter();
  const std::unique_ptr<QSettings> store = orvaldi::app::OpenUserSettings();
  MainFrame frame(store.get());
  auto* device = new orvaldi::app::DeviceWindow(orvaldi::disk::DiskList(), starter);
  frame.setDeviceWindow(device);
  orvaldi::app::ConnectWorkstation(frame, *device);
  frame.showAtStart();
  for (const std::string& failure : failures)
    orvaldi::app::CurrentPrompter().message(&frame, "error", QString::fromStdString(failure));
  return QApplication::exec();
}
