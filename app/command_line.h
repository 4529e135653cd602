#pragma once

// The program's command line, read into what to do; and the texts it
// prints about itself (--help, and what is wrong with a command line).
//
//   veltrana-webserver [--headless] [FOLDER] [-p|--port N] [--listen WHERE]
//                      [--no-password] [--no-limit]
//   veltrana-webserver --check [FOLDER]
//   veltrana-webserver --hash-password
//   veltrana-webserver --help | --version
//
// Arguments are read in order; the first that is wrong decides the answer,
// and --check, --hash-password, --help and --version end the reading (what
// follows --check is its folder). A typo gets one line that names the
// option meant and one that points at --help, not the whole help text,
// which would push the mistake off the screen.
//
// Pure apart from looking at the folder FOLDER names; any thread.

#include <string>
#include <vector>

#include "app/run_options.h"

namespace vt {

// The program's name, as the user types it.
inline constexpr const char* kProgramName = "veltrana-webserver";

// The exit status for a command line that is wrong.
inline constexpr int kExitUsage = 2;

enum class TCommand {
  Run,               // serve (windowed, or Headless)
  Check,             // the exposure check of CheckFolder (empty: the settings')
  HashPassword,      // read a password, print its settings line
  PrintCertificate,  // print the certificate HTTPS serves
  Help,
  Version,
  Refused,  // the command line is wrong: Error says how
};

struct TCommandLine {
  TCommand Command = TCommand::Run;
  bool Headless = false;
  TRunOptions Options;
  std::string CheckFolder;
  // What is wrong, for Refused ("unknown option --prot (did you mean
  // --port?)"), without the program's name.
  std::string Error;
};

// Reads the arguments (without the program's own name). FOLDER is made
// absolute against the working folder and must be a folder.
TCommandLine ParseCommandLine(const std::vector<std::string>& args);

// The option meant by `typed`, an argument that is none ("--prot" →
// "--port", "-port" → "--port", "--no-pass" → "--no-password"); empty when
// nothing is close enough to say so with confidence.
std::string SuggestOption(const std::string& typed);

// The --help text.
std::string UsageText();

// What a refused command line prints on standard error: the error and one
// line that points at --help.
std::string RefusalText(const std::string& error);

}  // namespace vt
