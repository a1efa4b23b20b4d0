// The desktop shell's tests run under Qt's offscreen platform: real widgets, no X server. One
// QApplication serves every test, as in the server.
#include <cstdlib>

#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
  // ctest sets this too; test discovery at build time runs the binary without it.
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  ::testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
