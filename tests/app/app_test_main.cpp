// The main of every application test program: one QApplication on the
// offscreen platform for the whole run.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

#include "core/image_tools.h"

int main(int argc, char** argv) {
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  quorvel::ImageTools::ensureStarted();
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
