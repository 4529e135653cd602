#include "app/command_line.h"

#include <algorithm>
#include <filesystem>
#include <string_view>

#include "app/settings_environment.h"

namespace vt {

namespace {

// Every option, as the help names it: the words a typo is compared with.
constexpr std::string_view kOptions[] = {"--headless", "--port",   "--listen",        "--no-password",
                                         "--no-limit", "--check",  "--hash-password", "--print-certificate",
                                         "--help",     "--version"};

// The edits (a letter put in, left out, changed, or two neighbours
// swapped) that turn `a` into `b`.
std::size_t EditDistance(std::string_view a, std::string_view b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t changed = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + changed});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return lower;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A port number as typed: 1 to 65535, digits only.
bool ReadPort(const std::string& value, std::int32_t& port) {
  if (value.empty() || value.size() > 5 || value.find_first_not_of("0123456789") != std::string::npos)
    return false;
  const long number = std::stol(value);
  if (number < 1 || number > 65535) return false;
  port = static_cast<std::int32_t>(number);
  return true;
}

TCommandLine Refused(const std::string& error) {
  TCommandLine line;
  line.Command = TCommand::Refused;
  line.Error = error;
  return line;
}

}  // namespace

std::string SuggestOption(const std::string& typed) {
  // "--prot=80": the name is what was mistyped.
  std::string name = Lower(typed.substr(0, typed.find('=')));
  // One dash, or none, where two belong.
  const std::size_t dashes = std::min<std::size_t>(name.find_first_not_of('-'), name.size());
  name = "--" + name.substr(std::min<std::size_t>(dashes, 2));
  if (name.size() <= 2) return std::string();
  std::string best;
  std::size_t best_distance = 3;  // more edits than two are another word
  bool tie = false;
  for (std::string_view option : kOptions) {
    std::size_t distance = EditDistance(name, option);
    // The beginning of one option ("--no-pass"): as good as one edit.
    if (name.size() >= 5 && option.substr(0, name.size()) == name)
      distance = std::min<std::size_t>(distance, 1);
    if (distance < best_distance) {
      best = option;
      best_distance = distance;
      tie = false;
    } else if (distance == best_distance) {
      tie = true;
    }
  }
  // Two options equally close: naming either would be a guess.
  return tie ? std::string() : best;
}

TCommandLine ParseCommandLine(const std::vector<std::string>& args) {
  TCommandLine line;
  bool options_end = false;  // after "--" every argument is a folder
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    // The value of an option that takes one: "--port 80", "--port=80",
    // "-p 80" or "-p80". False when it is missing.
    const auto value_of = [&](std::string_view name, std::string& value) {
      if (arg == name) {
        if (i + 1 >= args.size()) return false;
        value = args[++i];
        return true;
      }
      value = arg.substr(name.size() + (name.size() > 2 ? 1 : 0));
      return true;
    };
    const auto is = [&](std::string_view name) {
      return arg == name ||
             (arg.size() > name.size() && arg.compare(0, name.size(), name) == 0 && arg[name.size()] == '=');
    };
    if (arg.empty()) {
      // An unset variable ("$DIR") must not publish the working folder.
      return Refused("an empty argument: give a folder to publish");
    } else if (!options_end && arg[0] != '-') {
      // FOLDER
    } else if (options_end) {
      // FOLDER, even one named like an option
    } else if (arg == "--") {
      options_end = true;
      continue;
    } else if (arg == "--headless") {
      line.Headless = true;
      continue;
    } else if (arg == "--check") {
      line.Command = TCommand::Check;
      line.CheckFolder = i + 1 < args.size() ? args[i + 1] : "";
      return line;
    } else if (arg == "--hash-password") {
      line.Command = TCommand::HashPassword;
      return line;
    } else if (arg == "--print-certificate") {
      line.Command = TCommand::PrintCertificate;
      return line;
    } else if (arg == "--help" || arg == "-h") {
      line.Command = TCommand::Help;
      return line;
    } else if (arg == "--version") {
      line.Command = TCommand::Version;
      return line;
    } else if (is("--port") || arg == "-p" ||
               (arg.size() > 2 && arg.compare(0, 2, "-p") == 0 && IsDigit(arg[2]))) {
      std::string value;
      if (!value_of(arg.compare(0, 2, "-p") == 0 ? "-p" : "--port", value))
        return Refused(arg + " needs a port number (1 to 65535)");
      std::int32_t port = 0;
      if (!ReadPort(value, port)) return Refused("'" + value + "' is no port number (1 to 65535)");
      line.Options.Port = port;
      continue;
    } else if (is("--listen")) {
      std::string value;
      if (!value_of("--listen", value) || value.empty() || value[0] == '-')
        return Refused("--listen needs where to listen: all, local, or one address of this computer");
      line.Options.ListenOn = value;
      continue;
    } else if (arg == "--no-password") {
      line.Options.NoPassword = true;
      continue;
    } else if (arg == "--no-limit") {
      line.Options.NoLimit = true;
      continue;
    } else {
      const std::string meant = SuggestOption(arg);
      return Refused("unknown option " + arg + (meant.empty() ? "" : " (did you mean " + meant + "?)"));
    }

    if (line.Options.PubDir) return Refused("a second folder " + arg + ": give one folder to publish");
    std::error_code error;
    const std::filesystem::path folder = std::filesystem::absolute(arg, error).lexically_normal();
    if (error || !DirectoryExists(folder.string()))
      return Refused("folder " + arg + " does not exist: give a folder to publish");
    std::string text = folder.string();
    if (text.size() > 1 && text.back() == '/') text.pop_back();
    line.Options.PubDir = text;
  }
  return line;
}

std::string UsageText() {
  const std::string p = kProgramName;
  return "Usage: " + p + " [--headless] [FOLDER] [-p|--port N] [--listen WHERE]\n" +
         std::string(p.size() + 8, ' ') + "[--no-password] [--no-limit]\n" + "       " + p +
         " --check [FOLDER]\n" + "       " + p + " --hash-password\n" + "       " + p +
         " --print-certificate\n" + "       " + p +
         " --help | --version\n"
         "\n"
         "A small HTTP/1.1 web server that publishes one folder. It shows a\n"
         "status window and a tray icon; without a display it runs headless.\n"
         "\n"
         "These apply to this run only; the settings file keeps its own values:\n"
         "  FOLDER          publish this folder\n"
         "  -p, --port N    listen on port N\n"
         "  --listen WHERE  listen on all addresses, local (this computer only),\n"
         "                  or one address of this computer\n"
         "  --no-password   no password, even when the settings set one\n"
         "  --no-limit      no send limit, even when the settings set one\n"
         "FOLDER, --port and --listen start the server whatever the settings say.\n"
         "\n"
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
         "  -h, --help  show this text\n"
         "  --version   show the program's name and version\n"
         "\n"
         "Exit status: 0 when ended by a signal or Exit, 1 when the settings could\n"
         "not be saved, 2 for a wrong command line, 3 when a headless server could\n"
         "not start (the port is taken or needs privileges, a wrong address).\n"
         "\n"
         "Settings: $XDG_CONFIG_HOME/vtWebServer.ini (default ~/.config/vtWebServer.ini),\n"
         "read again whenever the file changes.\n"
         "Access log: webserver.log beside the program in a build tree, else\n"
         "$XDG_STATE_HOME/veltrana/webserver.log (default ~/.local/state/veltrana/).\n"
         "See also: man " +
         p + "\n";
}

std::string RefusalText(const std::string& error) {
  return std::string(kProgramName) + ": " + error + "\nTry '" + kProgramName + " --help' for more.\n";
}

}  // namespace vt
