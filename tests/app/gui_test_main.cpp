// The GUI tests' main: one QApplication on the offscreen platform (unless the
// environment asks for another) with Qt's texts in Chinese, then GoogleTest.
#include <QApplication>
#include <QByteArray>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "app/translations.h"

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", QByteArray("offscreen"));
  // Settings and what is kept beside them (the full-disk scan's
  // checkpoints) go to a folder of this run, not the user's.
  QTemporaryDir config;
  if (config.isValid()) qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
  QApplication app(argc, argv);
  // As the program does, so that the screenshots show Qt's buttons as the
  // operator sees them.
  orvaldi::app::InstallQtChineseTexts();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
