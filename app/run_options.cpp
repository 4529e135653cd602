#include "app/run_options.h"

#include "app/listen_on.h"

namespace vt {

namespace {

bool Limits(const TWebServerSettings& settings) { return settings.Throttle && settings.ThrottleRate > 0; }

std::string RateText(std::int32_t bytes_per_second) {
  return std::to_string(bytes_per_second) + " bytes a second per connection";
}

}  // namespace

bool TRunOptions::Owns(const std::string& key) const {
  if (key == "PubDir") return PubDir.has_value();
  if (key == "Port") return Port.has_value();
  if (key == "ListenOn") return ListenOn.has_value();
  // No hash is no password; the user name alone asks for nothing.
  if (key == "AuthPasswordHash") return NoPassword;
  // Throttle off is no limit; the rate stays for the file.
  if (key == "Throttle") return NoLimit;
  return false;
}

void TRunOptions::Forget(const std::string& key) {
  if (key == "PubDir") PubDir.reset();
  if (key == "Port") Port.reset();
  if (key == "ListenOn") ListenOn.reset();
  if (key == "AuthPasswordHash") NoPassword = false;
  if (key == "Throttle") NoLimit = false;
}

TWebServerSettings WithRunOptions(TWebServerSettings settings, const TRunOptions& run) {
  if (run.PubDir) settings.PubDir = *run.PubDir;
  if (run.Port) settings.Port = *run.Port;
  if (run.ListenOn) settings.ListenOn = *run.ListenOn;
  if (run.NoPassword) settings.AuthPasswordHash.clear();
  if (run.NoLimit) settings.Throttle = false;
  return settings;
}

TWebServerSettings WithoutRunOptions(TWebServerSettings settings, const TWebServerSettings& file,
                                     const TRunOptions& run) {
  for (const TSettingKey& key : kSettingKeys) {
    if (run.Owns(key.name)) CopySetting(settings, file, key.name);
  }
  return settings;
}

std::vector<std::string> RunSettingsLines(const TWebServerSettings& file, const TWebServerSettings& in_use,
                                          const TRunOptions& run, const std::string& file_name) {
  std::vector<std::string> lines;
  const std::string from_file = "the settings file " + file_name;
  if (run.AsksToServe()) {
    std::string given;
    const auto add = [&given](const std::string& part) { given += (given.empty() ? "" : ", ") + part; };
    if (run.PubDir) add("folder " + *run.PubDir);
    if (run.Port) add("port " + std::to_string(*run.Port));
    if (run.ListenOn) add("listening on " + ListenOnText(*run.ListenOn));
    lines.push_back("For this run only (command line, not saved): " + given);
  }

  if (run.NoPassword) {
    lines.push_back(file.AuthPasswordHash.empty()
                        ? "Password: none (--no-password; " + from_file + " sets none either)"
                        : "Password: none for this run (--no-password); " + from_file +
                              " keeps its password");
  } else if (!in_use.AuthPasswordHash.empty()) {
    const std::string user = in_use.AuthUser.empty() ? "any user name" : "user " + in_use.AuthUser;
    lines.push_back("Password: required (" + user + "), from " + from_file +
                    "; --no-password drops it for this run");
  }

  if (run.NoLimit) {
    lines.push_back(Limits(file) ? "Send limit: none for this run (--no-limit); " + from_file +
                                       " keeps its limit of " + RateText(file.ThrottleRate)
                                 : "Send limit: none (--no-limit; " + from_file + " sets none either)");
  } else if (Limits(in_use)) {
    lines.push_back("Send limit: " + RateText(in_use.ThrottleRate) + ", from " + from_file +
                    "; --no-limit drops it for this run");
  }
  return lines;
}

}  // namespace vt
