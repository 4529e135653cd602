#pragma once

// The settings the command line gives for one run of the program, and the
// lines that tell what applies to that run and where it came from.
//
// A run option lies over the settings file's value for as long as the
// program runs: it is never saved, a change of that key in the file does
// not replace it, and a value the user then sets in the setup dialog is
// theirs again (Forget). Someone who types `veltrana-webserver ~/film
// --port 8765` for a quick share must not find the password or the send
// limit set in the window silently applied, nor have the window's settings
// changed behind their back: the start lines name both, with the option
// that drops each for this run.
//
// Pure functions; any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/settings.h"

namespace vt {

// The settings given on the command line for this run only: never saved.
struct TRunOptions {
  std::optional<std::string> PubDir;  // FOLDER
  std::optional<std::int32_t> Port;   // --port N
  // --listen WHERE: a ListenOn value ("all", "local" or an address).
  std::optional<std::string> ListenOn;
  // --no-password: no password for this run, whatever the file says.
  bool NoPassword = false;
  // --no-limit: no send limit for this run.
  bool NoLimit = false;

  // True when the options say what to share or where (FOLDER, --port,
  // --listen): the server starts for this run whatever Active says. The
  // options that only drop something do not start it.
  bool AsksToServe() const { return PubDir || Port || ListenOn; }
  bool Any() const { return AsksToServe() || NoPassword || NoLimit; }
  // True when the run, not the file, decides `key` (a settings key name).
  bool Owns(const std::string& key) const;
  // The run gives `key` back to the settings: the user set it themselves.
  void Forget(const std::string& key);
};

// `settings` with the run's values over them.
TWebServerSettings WithRunOptions(TWebServerSettings settings, const TRunOptions& run);

// `settings` with the file's own values (`file`) back in the keys the run
// owns: what a save may write.
TWebServerSettings WithoutRunOptions(TWebServerSettings settings, const TWebServerSettings& file,
                                     const TRunOptions& run);

// What applies to this run and where it came from, one line each, for the
// log at the start: the values the command line set; the password and the
// send limit, whether the settings file `file_name` gives them (with the
// option that drops each) or the command line dropped them. `file`: the
// values the file holds; `in_use`: those the run uses. Nothing when the
// run has no options and the file sets neither a password nor a limit.
std::vector<std::string> RunSettingsLines(const TWebServerSettings& file, const TWebServerSettings& in_use,
                                          const TRunOptions& run, const std::string& file_name);

}  // namespace vt
