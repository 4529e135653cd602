// veltrana-webserver: the program.
//
//   veltrana-webserver [--headless] [FOLDER] [-p|--port N] [--listen WHERE]
//                      [--no-password] [--no-limit]
//   veltrana-webserver --check [FOLDER]
//   veltrana-webserver --hash-password
//   veltrana-webserver --print-certificate
//   veltrana-webserver --help | --version
//
// (app/command_line.h reads them.) The settings file is
// $XDG_CONFIG_HOME/vtWebServer.ini (default ~/.config/vtWebServer.ini); the
// access log is webserver.log beside the program in a build tree, else in
// $XDG_STATE_HOME/veltrana/. FOLDER, --port, --listen, --no-password and
// --no-limit apply to this run only (not saved). It shows its status window
// and tray icon when a display is there (ui/desktop_program.h) and runs
// headless otherwise, saying so. Either way SIGINT and SIGTERM end it
// through the Exit action (settings saved, exit status 0), SIGHUP reads the
// settings file again, and SIGUSR1 prints the table of open connections on
// standard error. A headless server that cannot start ends the program
// with status 3 (app/headless_view.h).

#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/exposure_check.h"
#include "app/headless_view.h"
#include "app/https_support.h"
#include "app/password.h"
#include "app/settings_environment.h"
#include "app/web_server_app.h"
#include "platform/registry.h"
#include "ui/desktop_program.h"
#include "ui/setup_dialog.h"

namespace {

constexpr const char* kProgram = vt::kProgramName;

// Reads one line (without echo on a terminal) and prints the settings line
// of its hash.
int HashPasswordCommand() {
  termios saved{};
  const bool terminal = ::isatty(0) && ::tcgetattr(0, &saved) == 0;
  if (terminal) {
    std::fprintf(stderr, "Password: ");
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(0, TCSANOW, &quiet);
  }
  std::string password;
  for (int c; (c = std::getchar()) != EOF && c != '\n';) password.push_back(static_cast<char>(c));
  if (terminal) {
    ::tcsetattr(0, TCSANOW, &saved);
    std::fprintf(stderr, "\n");
  }
  if (!password.empty() && password.back() == '\r') password.pop_back();
  if (password.empty()) {
    std::fprintf(stderr, "%s: no password given\n", kProgram);
    return 2;
  }
  std::printf("AuthPasswordHash=%s\n", vt::HashPassword(password).c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const vt::TCommandLine command = vt::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  switch (command.Command) {
    case vt::TCommand::Run:
      break;
    case vt::TCommand::Check:
      return vt::RunExposureCheckCommand(command.CheckFolder, vt::DefaultAccessLogFileName(), stdout);
    case vt::TCommand::HashPassword:
      return HashPasswordCommand();
    case vt::TCommand::PrintCertificate:
      return vt::RunPrintCertificateCommand(stdout, stderr);
    case vt::TCommand::Help:
      std::fputs(vt::UsageText().c_str(), stdout);
      return 0;
    case vt::TCommand::Version:
      std::printf("%s\n", vt::kMainCaption);
      return 0;
    case vt::TCommand::Refused:
      std::fputs(vt::RefusalText(command.Error).c_str(), stderr);
      return vt::kExitUsage;
  }
  const bool headless = command.Headless;
  const vt::TRunOptions& options = command.Options;

  // The start-at-login entry shows as the menu shows the program; one an
  // older version wrote is brought up to date.
  vt::SetAutostartLook(vt::kServerName, kProgram);
  vt::RefreshRunAtStartup(vt::kAutoRunName);

  // The signals that end the program arrive as readable data on a
  // descriptor the main loop watches, so that nothing runs inside a signal
  // handler. They are blocked before any thread starts, so every thread
  // inherits the mask (child processes get theirs reset).
  sigset_t signal_set;
  sigemptyset(&signal_set);
  sigaddset(&signal_set, SIGINT);
  sigaddset(&signal_set, SIGTERM);
  sigaddset(&signal_set, SIGHUP);
  sigaddset(&signal_set, SIGUSR1);
  if (sigprocmask(SIG_BLOCK, &signal_set, nullptr) != 0) {
    std::perror(kProgram);
    return 1;
  }
  std::signal(SIGPIPE, SIG_IGN);
  const int signal_fd = signalfd(-1, &signal_set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (signal_fd < 0) {
    std::perror(kProgram);
    return 1;
  }

  try {
    if (!headless) {
      std::string why;
      if (vt::CanShowWindows(why)) return vt::RunWindowed(argv[0], signal_fd, options);
      std::fprintf(stderr, "%s: %s; running headless\n", kProgram, why.c_str());
    }
    return vt::RunHeadless(signal_fd, options);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s: %s\n", kProgram, error.what());
    return 1;
  }
}
