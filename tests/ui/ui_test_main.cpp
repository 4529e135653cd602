// The widget tests' main: one QApplication for the whole run, on Qt's
// offscreen platform unless the environment names another, and a private
// configuration directory so that no test reads or writes the user's own
// settings or start-at-login entries.

#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

#include "support/temp_dir.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  vt::test::TempDir config;
  ::setenv("XDG_CONFIG_HOME", config.Path().c_str(), 1);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
