#pragma once

// The application without windows: a view that shows nothing but tells on
// standard error what a window would show as a message.
//
// Standard error gets the server's log lines (stamped "yymmdd hhnnss", with
// the control bytes of request text escaped), where the settings and the
// access log are, a line when the server starts or stops, the URLs that
// reach it (again when the network changes), the table of open connections
// when SIGUSR1 comes, the application's
// warnings (a missing published folder), and the errors a window would show
// in a message box, each once. A failure to start (the port is
// taken, needs privileges, or the address is none of this computer's) is
// reported and ends the program with kExitStartFailed: unlike the window,
// it has no Start button to try again, and a program that serves nothing
// must not look as if it worked. Otherwise only a signal ends it. Messages
// point to the command line and the settings file, since there is no setup
// dialog.
//
// The view has no window: it neither places nor moves one, so the window
// position saved in the settings is kept as it is, and it shows no figures,
// so the workers never refresh a display.
//
// Threads: main thread only.

#include <optional>
#include <string>
#include <vector>

#include "app/web_server_app.h"

namespace vt {

class THeadlessView : public IWebServerView {
 public:
  explicit THeadlessView(TWebServerApp& app) : app_(app) {}

  // Shows the (absent) window, which runs the application's FormShow.
  void ShowView() override;
  void HideView() override { visible_ = false; }
  bool ViewVisible() const override { return visible_; }
  std::optional<TViewBounds> ViewBounds() const override { return std::nullopt; }
  void MoveView(int, int) override {}
  TViewBounds DesktopBounds() const override { return TViewBounds{}; }
  void CloseView() override;

  bool ShowsFigures() const override { return false; }
  // Reports the server starting and stopping, and the URLs that reach it.
  void DisplayChanged(unsigned parts) override;

  void ShowError(const std::string& message) override;
  bool HasSetupDialog() const override { return false; }
  bool ShowSetupDialog(TWebServerSettings&) override { return false; }
  void ShowAboutBox() override {}

  // FormClose let the view close: the program is to end.
  bool Closed() const { return closed_; }

 private:
  TWebServerApp& app_;
  bool visible_ = false;
  bool closed_ = false;
  std::string shown_status_;
  bool told_first_run_ = false;

  void ShowStatus();
};

// The exit status of a headless run whose server could not start.
inline constexpr int kExitStartFailed = 3;

// Runs the application headless until SIGINT or SIGTERM arrives on
// `signal_fd` (a signalfd for those, SIGHUP and SIGUSR1; -1: none), then
// exits through the Exit action; SIGHUP reads the settings file again, and
// SIGUSR1 prints the table of open connections. `options`:
// the command line's settings for this run. Returns the program's exit
// status: 0, 1 when the settings could not be saved at the end, or
// kExitStartFailed when the server could not start.
int RunHeadless(int signal_fd, const TRunOptions& options = {});

}  // namespace vt
