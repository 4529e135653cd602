// The real program choosing between its windows and running headless, run
// in a sandbox of its own (tests/app/app_test_support.h).

#include "ui/desktop_program.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "app_test_support.h"
#include "platform/ini_file.h"
#include "support/temp_dir.h"

namespace vt {
namespace {

using test::ServerProgram;

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// An X display number that no server listens on (its socket is neither a
// file nor in the abstract namespace).
std::string UnusedDisplay() {
  const std::string sockets = test::ReadFileText("/proc/net/unix");
  for (int n = 59000;; ++n) {
    const std::string socket = "/tmp/.X11-unix/X" + std::to_string(n);
    if (!Has(sockets, socket + "\n") && test::ReadFileText(socket).empty()) return ":" + std::to_string(n);
  }
}

// Starts `program` and waits until it says `line` (or it ends).
bool SpawnAndWaitFor(ServerProgram& program, const std::vector<std::string>& args, const std::string& line) {
  program.Spawn(args);
  return test::WaitFor([&] { return Has(program.Stderr(), line); }, std::chrono::seconds(30));
}

TEST(DesktopProgram, HeadlessWithoutADisplayOrWhenQtCannotOpenIt) {
  {
    ServerProgram program;
    program.WriteRootFile("index.html", "home");
    program.WriteSettings();
    ASSERT_TRUE(SpawnAndWaitFor(program, {}, "Active on port")) << program.Stderr();
    EXPECT_TRUE(
        Has(program.Stderr(), "no display (neither DISPLAY nor WAYLAND_DISPLAY is set); running headless"))
        << program.Stderr();
    EXPECT_EQ("home", program.Get("/").body);
    EXPECT_EQ(0, program.Stop());
  }
  {
    ServerProgram program;
    program.Environment = {"DISPLAY=" + UnusedDisplay()};
    program.WriteRootFile("index.html", "home");
    program.WriteSettings();
    ASSERT_TRUE(SpawnAndWaitFor(program, {}, "Active on port")) << program.Stderr();
    const std::string err = program.Stderr();
    EXPECT_TRUE(Has(err, "Qt could not open the display; running headless")) << err;
    EXPECT_FALSE(Has(err, "Reinstalling")) << "Qt's advice does not apply";
    EXPECT_EQ("home", program.Get("/").body);
    EXPECT_EQ(0, program.Stop(SIGINT));
  }
}

TEST(DesktopProgram, WindowsWhereQtCanStartAndSignalsEndThemThroughExit) {
  ServerProgram program;
  program.Environment = {"QT_QPA_PLATFORM=offscreen"};  // a Qt platform that needs no display
  program.WriteRootFile("index.html", "home");
  program.WriteSettings();
  const std::string listening = "Server active. Listening on port " + std::to_string(program.Port());

  // --headless stays headless.
  ASSERT_TRUE(SpawnAndWaitFor(program, {"--headless"}, "Active on port")) << program.Stderr();
  EXPECT_EQ(0, program.Stop());
  EXPECT_FALSE(TIniFile(program.SettingsFile()).ValueExists("WebServer", "FormX"));

  for (const int signal : {SIGTERM, SIGINT}) {
    const std::size_t seen = program.Stderr().size();
    program.Spawn({});
    ASSERT_TRUE(test::WaitFor([&] { return Has(program.Stderr().substr(seen), listening); },
                              std::chrono::seconds(30)))
        << program.Stderr();
    EXPECT_EQ("home", program.Get("/").body);
    EXPECT_EQ(0, program.Stop(signal));
    const std::string err = program.Stderr().substr(seen);
    EXPECT_FALSE(Has(err, "running headless")) << err;
    EXPECT_TRUE(Has(err, "Signal received: exiting")) << err;
    TIniFile ini(program.SettingsFile());
    EXPECT_TRUE(ini.ValueExists("WebServer", "FormX")) << "the window's position is saved at Exit";
    EXPECT_TRUE(ini.ReadBool("WebServer", "Active", false));
  }
}

}  // namespace
}  // namespace vt
