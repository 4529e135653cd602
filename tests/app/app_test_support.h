#pragma once

// Helpers of the application tests: free ports, one-shot HTTP requests over
// loopback, waiting for conditions, and the real program started in a
// sandbox of its own.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "http_test_support.h"
#include "support/temp_dir.h"

namespace vt::test {

// A socket listening on every address at `port`; -1 when it cannot.
int ListenOn(std::uint16_t port);
// A port that was free a moment ago (bound to port 0, read back, closed).
// Another program may take it before the test does: use it only where the
// port must be handed on as a number (to the program's settings or command
// line, which take nothing else); a test that listens itself binds port 0
// and reads the port back from its socket instead. The race is rare: the
// system hands out ports for binding and connecting from a range of some
// 28,000, not the one just closed first, and what the tests start here
// comes moments later; ServerProgram::Start takes another port when it
// happens.
std::uint16_t FreePort();

// Sends `raw` on a new connection to 127.0.0.1:port and reads one answer
// (`head`: an answer to HEAD, without body).
HttpAnswer Request(std::uint16_t port, const std::string& raw, bool head = false);
// A GET request for `uri` with a Host field and "Connection: close".
HttpAnswer Get(std::uint16_t port, const std::string& uri);

// Checks `done` every 10 ms until it holds (true) or `limit` passes (false).
bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(10));

// Serves the main queue of the calling (main) thread until `done` holds.
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(10));

// Runs `client` on a thread of its own while the calling (main) thread serves
// its queue; fails the test when it takes longer than `limit`.
void RunClient(const std::function<void()>& client,
               std::chrono::milliseconds limit = std::chrono::seconds(30));

// The program veltrana-webserver, copied into a temporary folder (the access
// log is written beside the program, so each run gets a copy of its own),
// with its own settings folder (XDG_CONFIG_HOME) and published directory.
//
//   <tmp>/bin/veltrana-webserver, <tmp>/bin/webserver.log
//   <tmp>/config/vtWebServer.ini
//   <tmp>/root/...               (the published directory)
class ServerProgram {
 public:
  ServerProgram();
  // Ends a program still running (SIGKILL).
  ~ServerProgram();
  ServerProgram(const ServerProgram&) = delete;
  ServerProgram& operator=(const ServerProgram&) = delete;

  std::string Root() const { return dir_.File("root"); }
  std::string SettingsFile() const { return dir_.File("config/vtWebServer.ini"); }
  std::string AccessLog() const { return dir_.File("bin/webserver.log"); }
  std::string ConfigDir() const { return dir_.File("config"); }
  // The sandbox folder itself.
  std::string Dir() const { return dir_.Path(); }
  // Writes a file below the published directory; returns its path.
  std::string WriteRootFile(const std::string& name, const std::string& content) const;
  // Writes an executable file below the published directory.
  std::string WriteRootProgram(const std::string& name, const std::string& script) const;

  // Writes the settings file: section [WebServer] with PubDir = Root(), Port =
  // a free port, then `more` (further "Key=value" lines).
  void WriteSettings(const std::string& more = std::string());

  // Starts the program with `args` and waits until it reports the server
  // active (true) or a failure to start. A port taken meanwhile by someone
  // else is replaced by another free one and the program started again.
  bool Start(const std::vector<std::string>& args = {"--headless"});
  // Waits until the start of the program (spawned headless) has come to
  // something, as told on standard error after its first `seen` characters:
  // the server active (a line with `active`), no server (a line beginning
  // "Error: " or "Inactive" after the one that names the settings file:
  // complaints about the settings come before that line, the start after
  // it), or the program's end. What it wrote after `seen`; nothing when
  // none of that came within `limit`.
  std::optional<std::string> WaitForStart(std::size_t seen, const std::string& active = "Active on port",
                                          std::chrono::milliseconds limit = std::chrono::seconds(10));
  // Further "NAME=value" entries of the program's environment. It gets the
  // test's own without DISPLAY, WAYLAND_DISPLAY and QT_QPA_PLATFORM (so it
  // runs headless), with XDG_CONFIG_HOME = ConfigDir(), then these.
  std::vector<std::string> Environment;

  // A command that runs the program (its path and arguments follow), such
  // as setpriv to run it as another user; empty: none.
  std::vector<std::string> Wrapper;

  // Starts the program without waiting for anything.
  void Spawn(const std::vector<std::string>& args);
  // Sends `signal` and waits for the end; the exit status (128 + signal when
  // a signal ended it), or -1 when it did not end within `limit`. A program
  // that had ended already gives its status as Wait does.
  int Stop(int signal = 15, std::chrono::milliseconds limit = std::chrono::seconds(20));
  // Waits for the program to end by itself; as Stop. A program that
  // WaitForStart saw end gives its exit status once.
  int Wait(std::chrono::milliseconds limit = std::chrono::seconds(20));
  bool Running() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }

  // What the program wrote on standard error so far.
  std::string Stderr() const;
  std::uint16_t Port() const { return port_; }

  HttpAnswer Get(const std::string& uri) const { return test::Get(port_, uri); }
  HttpAnswer Request(const std::string& raw, bool head = false) const {
    return test::Request(port_, raw, head);
  }

  // The lines of the access log, without their "\r\n"; waits until there are
  // at least `count`.
  std::vector<std::string> LogLines(std::size_t count);

 private:
  TempDir dir_;
  std::string settings_more_;
  std::uint16_t port_ = 0;
  pid_t pid_ = -1;
  // The exit status of a program WaitForStart found ended; -1: none.
  int ended_status_ = -1;
};

}  // namespace vt::test
