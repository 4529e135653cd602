// veltrana-webserver: the program.
//
//   veltrana-webserver [--headless] [FOLDER] [--port N]
//   veltrana-webserver --check [FOLDER]
//   veltrana-webserver --hash-password
//   veltrana-webserver --print-certificate
//   veltrana-webserver --help | --version
//
// The settings file is $XDG_CONFIG_HOME/vtWebServer.ini (default
// ~/.config/vtWebServer.ini); the access log is webserver.log beside the
// program in a build tree, else in $XDG_STATE_HOME/veltrana/. FOLDER and
// --port publish that folder on that port for this run only (not saved). It
// shows its status window and tray icon when a display is there
// (ui/desktop_program.h) and runs headless otherwise, saying so. Either way
// SIGINT and SIGTERM end it through the Exit action (settings saved, exit
// status 0), SIGHUP reads the settings file again, and SIGUSR1 prints the
// table of open connections on standard error.

#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "app/exposure_check.h"
#include "app/headless_view.h"
#include "app/https_support.h"
#include "app/password.h"
#include "app/settings_environment.h"
#include "app/web_server_app.h"
#include "ui/desktop_program.h"

namespace {

constexpr const char* kProgram = "veltrana-webserver";

void PrintUsage(std::FILE* out) {
  std::fprintf(out,
               "Usage: %s [--headless] [FOLDER] [--port N]\n"
               "       %s --check [FOLDER]\n"
               "       %s --hash-password\n"
               "       %s --print-certificate\n"
               "       %s --help | --version\n"
               "\n"
               "A small HTTP/1.1 web server that publishes one folder. It shows a\n"
               "status window and a tray icon; without a display it runs headless.\n"
               "\n"
               "  FOLDER      publish this folder, for this run only (not saved)\n"
               "  --port N    listen on port N, for this run only (not saved)\n"
               "  --headless  run without windows: log lines go to standard error,\n"
               "              SIGINT or SIGTERM end the program (settings saved),\n"
               "              SIGHUP reads the settings file again\n"
               "              (either way SIGUSR1 prints the open connections)\n"
               "  --check     tell what the published folder (or FOLDER) gives away:\n"
               "              files anyone can read, hidden files, links out of it,\n"
               "              secrets, programs; exit status 0 when nothing to warn about\n"
               "  --hash-password  read a password on standard input and print the\n"
               "              AuthPasswordHash line for the settings file\n"
               "  --print-certificate  print the certificate HTTPS serves (made first\n"
               "              when the program makes its own), with its SHA-256\n"
               "              fingerprint for visitors to compare\n"
               "  --help      show this text\n"
               "  --version   show the program's name and version\n"
               "\n"
               "Settings: $XDG_CONFIG_HOME/vtWebServer.ini (default ~/.config/vtWebServer.ini),\n"
               "read again whenever the file changes.\n"
               "Access log: webserver.log beside the program in a build tree, else\n"
               "$XDG_STATE_HOME/veltrana/webserver.log (default ~/.local/state/veltrana/).\n",
               kProgram, kProgram, kProgram, kProgram, kProgram);
}

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

// Says what is wrong with the command line; the exit status for it.
int Refuse(const std::string& message) {
  std::fprintf(stderr, "%s: %s\n", kProgram, message.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  bool headless = false;
  vt::TRunOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--headless") {
      headless = true;
    } else if (arg == "--check") {
      const std::string folder = i + 1 < argc ? argv[i + 1] : "";
      return vt::RunExposureCheckCommand(folder, vt::DefaultAccessLogFileName(), stdout);
    } else if (arg == "--hash-password") {
      return HashPasswordCommand();
    } else if (arg == "--print-certificate") {
      return vt::RunPrintCertificateCommand(stdout, stderr);
    } else if (arg == "--port" || arg.rfind("--port=", 0) == 0) {
      std::string value;
      if (arg == "--port") {
        if (i + 1 >= argc) return Refuse("--port needs a port number (1 to 65535)");
        value = argv[++i];
      } else {
        value = arg.substr(7);
      }
      const bool digits =
          !value.empty() && value.size() <= 5 && value.find_first_not_of("0123456789") == std::string::npos;
      const long port = digits ? std::stol(value) : 0;
      if (port < 1 || port > 65535) return Refuse("'" + value + "' is no port number (1 to 65535)");
      options.Port = static_cast<std::int32_t>(port);
    } else if (!arg.empty() && arg[0] != '-' && !options.PubDir) {
      std::error_code error;
      const std::filesystem::path folder = std::filesystem::absolute(arg, error).lexically_normal();
      if (error || !vt::DirectoryExists(folder.string()))
        return Refuse("folder " + arg + " does not exist: give a folder to publish");
      std::string text = folder.string();
      if (text.size() > 1 && text.back() == '/') text.pop_back();
      options.PubDir = text;
    } else if (arg == "--help" || arg == "-h") {
      PrintUsage(stdout);
      return 0;
    } else if (arg == "--version") {
      std::printf("%s\n", vt::kMainCaption);
      return 0;
    } else {
      std::fprintf(stderr, "%s: unknown option or second folder '%s'\n", kProgram, argv[i]);
      PrintUsage(stderr);
      return 2;
    }
  }

  // The signals that end the program arrive as readable data on a
  // descriptor the main loop watches, so that nothing runs inside a signal
  // handler. They are blocked before any thread starts, so every thread
  // inherits the mask (child processes get theirs reset).
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  sigaddset(&signals, SIGUSR1);
  if (sigprocmask(SIG_BLOCK, &signals, nullptr) != 0) {
    std::perror(kProgram);
    return 1;
  }
  std::signal(SIGPIPE, SIG_IGN);
  const int signal_fd = signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
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
