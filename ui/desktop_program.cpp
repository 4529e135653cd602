#include "ui/desktop_program.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QGuiApplication>
#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "app/web_server_app.h"
#include "platform/registry.h"
#include "ui/main_queue_bridge.h"
#include "ui/main_window.h"
#include "ui/resources.h"
#include "ui/single_instance.h"

namespace vt {

namespace {

// How long Qt's platform may take to come up in the check.
constexpr auto kPlatformCheckTime = std::chrono::seconds(10);
// The last byte the checking child writes once Qt's platform is up.
constexpr char kPlatformStarted = '\x01';
// Of what the child says, this much is kept for standard error.
constexpr std::size_t kMaxCheckOutput = 16384;

bool HasEnvironment(const char* name) {
  const char* value = std::getenv(name);
  return value && *value;
}

// Qt's messages in the checking child. A fatal one (no platform started)
// ends the child at once, without the abort that would follow, and is not
// passed on: the warnings before it name the cause, and its advice to
// reinstall the program does not apply to a missing display.
void CheckMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (type == QtFatalMsg) ::_exit(1);
  std::fprintf(stderr, "%s\n", qFormatLogMessage(type, context, message).toLocal8Bit().constData());
}

// The checking child: starts Qt's platform, tells the parent through
// `report` (its standard error too), and ends without tidying up.
[[noreturn]] void CheckPlatformInChild(int report) {
  ::dup2(report, STDERR_FILENO);
  const rlimit no_core{0, 0};  // whatever happens, no core file
  ::setrlimit(RLIMIT_CORE, &no_core);
  qInstallMessageHandler(CheckMessageHandler);
  static char name[] = "veltrana-webserver";
  static char* argv[] = {name, nullptr};
  int argc = 1;
  QGuiApplication application(argc, argv);
  const char started = kPlatformStarted;
  (void)!::write(report, &started, 1);
  ::_exit(0);
}

// Starts Qt's platform in a child process; true when it came up. What Qt
// said goes to standard error when it did not.
bool QtPlatformStarts(std::string& why) {
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
    why = "cannot check the display";
    return false;
  }
  std::fflush(nullptr);  // nothing buffered is written twice
  const pid_t child = ::fork();
  if (child == 0) CheckPlatformInChild(pipe_fds[1]);
  ::close(pipe_fds[1]);
  if (child < 0) {
    ::close(pipe_fds[0]);
    why = "cannot check the display";
    return false;
  }

  std::string output;
  char last = 0;
  bool timed_out = false;
  const auto deadline = std::chrono::steady_clock::now() + kPlatformCheckTime;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd ready{pipe_fds[0], POLLIN, 0};
    const int polled = left.count() > 0 ? ::poll(&ready, 1, static_cast<int>(left.count())) : 0;
    if (polled < 0 && errno == EINTR) continue;
    if (polled == 0) {
      timed_out = true;
      break;
    }
    char buffer[4096];
    const ssize_t got = polled > 0 ? ::read(pipe_fds[0], buffer, sizeof buffer) : -1;
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;  // the child has ended
    last = buffer[got - 1];
    if (output.size() < kMaxCheckOutput)
      output.append(buffer, std::min(static_cast<std::size_t>(got), kMaxCheckOutput - output.size()));
  }
  ::close(pipe_fds[0]);
  const bool started = !timed_out && last == kPlatformStarted;
  if (!started) ::kill(child, SIGKILL);
  while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
  if (started) return true;

  if (!output.empty() && output.back() != '\n') output += '\n';
  std::fputs(output.c_str(), stderr);
  why = timed_out ? "the display did not answer" : "Qt could not open the display";
  return false;
}

}  // namespace

bool CanShowWindows(std::string& why) {
  if (!HasEnvironment("DISPLAY") && !HasEnvironment("WAYLAND_DISPLAY") &&
      !HasEnvironment("QT_QPA_PLATFORM")) {
    why = "no display (neither DISPLAY nor WAYLAND_DISPLAY is set)";
    return false;
  }
  return QtPlatformStarts(why);
}

int RunWindowed(char* program, int signal_fd, const TRunOptions& options) {
  int argc = 1;
  char* argv[] = {program, nullptr};
  QApplication application(argc, argv);

  TSingleInstance instance(GetConfigDirectory() + kSettingsFileName);
  switch (instance.Claim()) {
    case TSingleInstance::ciFirst:
      break;
    case TSingleInstance::ciShown:
      std::fprintf(
          stderr, "veltrana-webserver already runs (with %s%s): its window is shown%s\n",
          GetConfigDirectory().c_str(), kSettingsFileName,
          options.Any() ? "; the command line's FOLDER and options apply only to a program that starts" : "");
      return 0;
    case TSingleInstance::ciNoAnswer:
      std::fprintf(stderr,
                   "veltrana-webserver already runs (it holds %s) but does not answer: end it, or wait and "
                   "try again\n",
                   instance.LockFile().c_str());
      return 1;
  }

  // The program lives in the tray: it ends through Exit, never because its
  // last window closed.
  QApplication::setQuitOnLastWindowClosed(false);
  QApplication::setWindowIcon(ProgramIcon());
  QGuiApplication::setDesktopFileName(QStringLiteral("veltrana-webserver"));
  TMainQueueBridge bridge;

  TWebServerApp app;
  app.ServerLog.Options = loLogToDebugger | loLogDate | loLogTime | loIgnoreLogFailures;
  app.RunOptions = options;
  TfrmMain frmMain(app);
  instance.OnShowRequest = [&frmMain] { frmMain.TrayIconClick(*frmMain.TrayIcon); };
  // exit, not quit: quit would first ask every window to close, and a
  // modal dialog still open would be asked too.
  frmMain.OnClose = [] { QCoreApplication::exit(0); };

  std::unique_ptr<QSocketNotifier> signal_notifier;
  if (signal_fd >= 0) {
    signal_notifier = std::make_unique<QSocketNotifier>(signal_fd, QSocketNotifier::Read);
    // One signal a turn: the notifier fires again while more are waiting.
    QObject::connect(signal_notifier.get(), &QSocketNotifier::activated, &frmMain, [&app, signal_fd] {
      signalfd_siginfo info{};
      if (::read(signal_fd, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) return;
      if (app.ExitRequested()) return;
      if (info.ssi_signo == SIGHUP) {
        app.ServerLog.Log(nullptr, 0, "SIGHUP: reading the settings again");
        app.ReloadSettings(true);
        return;
      }
      if (info.ssi_signo == SIGUSR1) {
        std::fputs(app.ConnectionTableText().c_str(), stderr);
        return;
      }
      app.ServerLog.Log(nullptr, 0, "Signal received: exiting");
      app.actExitExecute();
    });
  }

  // What the command line changed for this run, and what the settings
  // file brings that a one-off share might not expect.
  for (const std::string& line : app.RunStartLines()) app.ServerLog.Log(nullptr, 0, line);
  frmMain.ShowView();
  QApplication::exec();
  signal_notifier.reset();
  const bool saved = frmMain.FormDestroy();
  app.ServerLog.Log(nullptr, 0, "Exited");
  return saved ? 0 : 1;
}

}  // namespace vt
