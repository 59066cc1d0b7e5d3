// The GUI tests' main: one QApplication on the offscreen platform (unless the
// environment asks for another) with Qt's texts in Chinese, then GoogleTest.
#include <QApplication>
#include <QByteArray>

#include <gtest/gtest.h>

#include "app/translations.h"

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", QByteArray("offscreen"));
  QApplication app(argc, argv);
  // As the program does, so that the screenshots show Qt's buttons as the
  // operator sees them.
  orvaldi::app::InstallQtChineseTexts();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
