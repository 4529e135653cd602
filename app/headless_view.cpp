#include "app/headless_view.h"

#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>

#include "app/listen_on.h"
#include "app/messages.h"
#include "platform/event_queue.h"

namespace vt {

namespace {

// Takes every signal waiting on the (non-blocking) descriptor: `end` when
// SIGINT or SIGTERM was among them, `reload` for SIGHUP, `table` for
// SIGUSR1.
void DrainSignals(int fd, bool& end, bool& reload, bool& table) {
  signalfd_siginfo info{};
  for (;;) {
    const ssize_t got = ::read(fd, &info, sizeof info);
    if (got == static_cast<ssize_t>(sizeof info)) {
      (info.ssi_signo == SIGHUP ? reload : info.ssi_signo == SIGUSR1 ? table : end) = true;
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    return;
  }
}

}  // namespace

void THeadlessView::ShowView() {
  visible_ = true;
  app_.FormShow();
}

void THeadlessView::CloseView() {
  if (app_.FormClose()) closed_ = true;
}

void THeadlessView::DisplayChanged(unsigned parts) {
  // Where it can be reached comes through the server log.
  if (parts & dpStatus) ShowStatus();
}

void THeadlessView::ShowStatus() {
  const TStatusDisplay& display = app_.Display();
  const bool listening = display.iServerActive || display.Waiting;
  // Before the deferred start the server is inactive only for a moment
  // when the settings or the command line start it.
  const bool starting = app_.Settings().Active || app_.RunOptions.AsksToServe();
  if (!listening && shown_status_.empty() && starting && !app_.ExitRequested()) return;
  const std::string status = display.iServerActive ? "Active on port " + display.lPort
                             : display.Waiting     ? display.lStatus + " on port " + display.lPort
                                                   : "Inactive";
  if (status != shown_status_) {
    shown_status_ = status;
    std::string line = status;
    if (display.iServerActive) line += ", publishing " + app_.Settings().PubDir;
    if (display.Waiting) line += ": every request gets 404 until the folder is there";
    // A new user's first run has no file to say what is shared where: the
    // command line was the consent, and this line the account of it.
    if (listening && app_.NewUser() && !told_first_run_) {
      told_first_run_ = true;
      line += " (first run: listening on " + ListenOnText(app_.Settings().ListenOn) +
              "; the settings are kept in " + app_.SettingsFileName() + ")";
    }
    app_.ServerLog.Log(nullptr, 0, line);
  }
}

void THeadlessView::ShowError(const std::string& message) {
  app_.ServerLog.Log(nullptr, 1, "Error: " + message);
}

int RunHeadless(int signal_fd, const TRunOptions& options) {
  TWebServerApp app;
  THeadlessView view(app);
  app.ServerLog.Options = loLogToDebugger | loLogDate | loLogTime | loIgnoreLogFailures;
  app.RunOptions = options;
  app.SetView(&view);

  TWindowHandle signals;
  signals.OnMessage = [&](std::uint32_t msg, std::int32_t, std::int32_t, bool& handled) {
    if (msg != kSignalMessage) return 0;
    handled = true;
    bool end = false;
    bool reload = false;
    bool table = false;
    DrainSignals(signal_fd, end, reload, table);
    if (table) std::fputs(app.ConnectionTableText().c_str(), stderr);
    if (reload && !end) {
      app.ServerLog.Log(nullptr, 0, "SIGHUP: reading the settings again");
      app.ReloadSettings(true);
    }
    if (end && !app.ExitRequested()) {
      app.ServerLog.Log(nullptr, 0, "Signal received: exiting");
      app.actExitExecute();
    }
    return 0;
  };
  if (signal_fd >= 0) {
    const HWindow window = signals.GetHandle();
    if (const int error = WatchDescriptor(window, signal_fd, EPOLLIN,
                                          std::make_shared<TReadyMessage>(window, kSignalMessage)))
      RaiseOSError(error);
  }

  app.FormCreate();
  app.ServerLog.Log(nullptr, 0,
                    "Settings: " + app.SettingsFileName() +
                        "; access log: " + (app.Settings().LogToFile ? app.AccessLogFileName : "off"));
  for (const std::string& line : app.RunStartLines()) app.ServerLog.Log(nullptr, 0, line);
  view.ShowView();
  // A signal that came before the watch began leaves the descriptor
  // readable without a new edge: look once by hand.
  if (signal_fd >= 0) PostMessage(signals.Handle(), kSignalMessage, 0, 0);
  bool start_failed = false;
  while (!view.Closed()) {
    HandleThreadMessage(std::chrono::steady_clock::now() + std::chrono::seconds(1));
    // Nobody can press Start again here: a program that serves nothing
    // would only look, to a script or a service manager, as if it worked.
    if (app.FailedStarts() > 0 && !app.ExitRequested()) {
      start_failed = true;
      app.ServerLog.Log(nullptr, 0, "Nothing is served: exiting");
      app.actExitExecute();
    }
  }
  if (signal_fd >= 0) UnwatchDescriptor(signal_fd);

  const bool saved = app.FormDestroy();
  app.ServerLog.Log(nullptr, 0, "Exited");
  if (start_failed) return kExitStartFailed;
  return saved ? 0 : 1;
}

}  // namespace vt
