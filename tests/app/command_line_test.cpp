#include "app/command_line.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace vt {
namespace {

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t blank = text.find(' ', at);
    words.push_back(text.substr(at, blank - at));
    at = blank == std::string::npos ? text.size() : blank + 1;
  }
  return words;
}

// What a command line came to, in one comparable line: the command, then
// the run's options that are set.
std::string Outcome(const TCommandLine& line) {
  switch (line.Command) {
    case TCommand::Check:
      return "check " + line.CheckFolder;
    case TCommand::HashPassword:
      return "hash-password";
    case TCommand::PrintCertificate:
      return "print-certificate";
    case TCommand::Help:
      return "help";
    case TCommand::Version:
      return "version";
    case TCommand::Refused:
      return "refused: " + line.Error;
    case TCommand::Run:
      break;
  }
  std::string text = line.Headless ? "run headless" : "run";
  const TRunOptions& o = line.Options;
  if (o.PubDir) text += " folder=" + *o.PubDir;
  if (o.Port) text += " port=" + std::to_string(*o.Port);
  if (o.ListenOn) text += " listen=" + *o.ListenOn;
  if (o.NoPassword) text += " no-password";
  if (o.NoLimit) text += " no-limit";
  return text;
}

TEST(CommandLine, ArgumentsComeToOneCommand) {
  test::TempDir dir;
  const std::string site = dir.Path() + "/site";
  dir.WriteFile("site/index.html", "x");
  const std::string missing = dir.Path() + "/missing";
  struct Case {
    std::string args;
    std::string outcome;
  } cases[] = {
      {"", "run"},
      {"--headless", "run headless"},
      {site + " --port 8765", "run folder=" + site + " port=8765"},
      {site + "/ -p 8765 --headless", "run headless folder=" + site + " port=8765"},
      {site + "/../site/.", "run folder=" + site},  // made plain
      {"-p8080", "run port=8080"},
      {"--port=65535", "run port=65535"},
      {"--listen local --no-password --no-limit", "run listen=local no-password no-limit"},
      {"--listen=192.0.2.7", "run listen=192.0.2.7"},
      {"-- " + site, "run folder=" + site},
      {"--check", "check "},
      {"--check " + site + " --bogus", "check " + site},  // what follows --check is its folder
      {"--headless --hash-password", "hash-password"},
      {"--print-certificate", "print-certificate"},
      {"-h --bogus", "help"},
      {"--version", "version"},
      // The first wrong argument decides.
      {"--port 0", "refused: '0' is no port number (1 to 65535)"},
      {"--port=65536", "refused: '65536' is no port number (1 to 65535)"},
      {"-p 80x", "refused: '80x' is no port number (1 to 65535)"},
      {"--port=", "refused: '' is no port number (1 to 65535)"},
      {"--port", "refused: --port needs a port number (1 to 65535)"},
      {"-p", "refused: -p needs a port number (1 to 65535)"},
      {"--listen", "refused: --listen needs where to listen: all, local, or one address of this computer"},
      {"--listen=", "refused: --listen needs where to listen: all, local, or one address of this computer"},
      {missing, "refused: folder " + missing + " does not exist: give a folder to publish"},
      {"--listen --no-password",
       "refused: --listen needs where to listen: all, local, or one address of this computer"},
      {site + " " + site, "refused: a second folder " + site + ": give one folder to publish"},
      {"--bogus --help", "refused: unknown option --bogus"},
      {"--prot 8080", "refused: unknown option --prot (did you mean --port?)"},
      {"--prot=8080", "refused: unknown option --prot=8080 (did you mean --port?)"},
      {"-port 8080", "refused: unknown option -port (did you mean --port?)"},
      {"-x", "refused: unknown option -x"},
      {"--headles", "refused: unknown option --headles (did you mean --headless?)"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.outcome,
              Outcome(ParseCommandLine(c.args.empty() ? std::vector<std::string>{} : Words(c.args))))
        << c.args;
  }
  // "$DIR" of an unset variable: never the working folder.
  EXPECT_EQ("refused: an empty argument: give a folder to publish",
            Outcome(ParseCommandLine({"--headless", ""})));
}

TEST(CommandLine, ATypoNamesTheOptionMeantOnlyWhenItIsClear) {
  const std::pair<const char*, const char*> cases[] = {
      {"--prot", "--port"},        // two letters swapped
      {"--Port", "--port"},        // letter case
      {"-port", "--port"},         // one dash
      {"port", "--port"},          // none
      {"--versoin", "--version"},  //
      {"--hash-pasword", "--hash-password"},
      {"--no-pass", "--no-password"},  // the beginning of one option
      {"--nopassword", "--no-password"},
      {"--no-limits", "--no-limit"},
      {"--lsiten", "--listen"},
      {"--chek", "--check"},
      {"--no", ""},          // the beginning of two
      {"--colour", ""},      // nothing like it
      {"--", ""},            //
      {"-", ""},             //
      {"--xyzzy=3", ""},     //
      {"--hepl", "--help"},  //
      {"--print-certificat", "--print-certificate"},
  };
  for (const auto& [typed, meant] : cases) EXPECT_EQ(meant, SuggestOption(typed)) << typed;
}

TEST(CommandLine, ARefusalIsTwoLinesAndTheHelpNamesEveryOption) {
  EXPECT_EQ(
      "veltrana-webserver: unknown option --prot (did you mean --port?)\n"
      "Try 'veltrana-webserver --help' for more.\n",
      RefusalText("unknown option --prot (did you mean --port?)"));
  const std::string help = UsageText();
  for (const char* option :
       {"--headless", "--port", "-p,", "--listen", "--no-password", "--no-limit", "--check",
        "--hash-password", "--print-certificate", "--help", "--version", "Exit status"})
    EXPECT_NE(std::string::npos, help.find(option)) << option;
  std::size_t at = 0;
  for (std::size_t end; (end = help.find('\n', at)) != std::string::npos; at = end + 1)
    EXPECT_LE(end - at, 80u) << help.substr(at, end - at);
}

}  // namespace
}  // namespace vt
