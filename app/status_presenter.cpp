#include "app/status_presenter.h"

#include <algorithm>

#include "app/app_names.h"
#include "app/settings_environment.h"
#include "util/text.h"

namespace vt {

namespace {

// The em dash of the hint.
constexpr const char* kDash = " \u2014 ";

}  // namespace

std::string UpTimeText(bool active, TDateTime up_time) {
  return active ? DurationToText(std::max(up_time, 0.0)) : "-";
}

std::string ConnectionsText(bool active, std::int32_t clients, std::int32_t busy) {
  if (!active) return "-";
  std::string text = std::to_string(clients);
  if (clients > 0) text += " (" + std::to_string(busy) + " busy)";
  return text;
}

std::string DataServedText(std::int64_t bytes) { return ByteCountToText(false, bytes); }

std::string RestartQuestion(const std::string& listening_port, std::int32_t new_port,
                            std::int32_t transfers) {
  std::string text = "The server goes on listening on port " + listening_port + "; port " +
                     std::to_string(new_port < 1 ? 80 : new_port) + " applies at the next Start.\n\n";
  if (transfers == 1) text += "1 transfer in progress will be cut. ";
  if (transfers > 1) text += std::to_string(transfers) + " transfers in progress will be cut. ";
  return text + "Restart the server now?";
}

std::string CloseNoticeText(const std::string& folder, bool active) {
  return std::string(kServerName) +
         (active ? " is still sharing " + ShortenHomePath(folder) : std::string(" is still running")) +
         "; quit from the tray menu";
}

std::optional<std::string> TStatusPresenter::SetStatus(const TStatusFacts& facts) {
  display_.actStart = !facts.active;
  display_.actStop = facts.active;
  display_.Waiting = facts.active && facts.pub_dir_missing;
  display_.iServerActive = facts.active && !display_.Waiting;
  display_.lStatus = display_.Waiting ? "Waiting for " + ShortenHomePath(facts.published_folder)
                     : facts.active   ? "Active"
                                      : "Inactive";
  display_.lPort = facts.active ? facts.listen_port : std::to_string(facts.settings_port);
  display_.PubDirMissing = facts.pub_dir_missing;
  if (!facts.start_problem.empty()) {
    display_.lProblem = facts.start_problem;
  } else if (facts.pub_dir_missing) {
    display_.lProblem =
        "Published folder " + facts.published_folder + " does not exist: create it, or choose another one";
    display_.lProblem += facts.has_setup_dialog
                             ? std::string(" in Setup \u2192 General")
                             : " (veltrana-webserver FOLDER, or PubDir= in " + facts.settings_file_name + ")";
  } else {
    display_.lProblem.clear();
  }
  // Said once where the log goes (standard error), whatever the view; a
  // failed start was reported as an error already.
  const std::string folder_problem = facts.start_problem.empty() ? display_.lProblem : told_problem_;
  if (folder_problem == told_problem_) return std::nullopt;
  told_problem_ = folder_problem;
  if (told_problem_.empty()) return std::nullopt;
  return told_problem_;
}

void TStatusPresenter::SetStatistics(bool active, std::int64_t requests, std::int64_t data_served,
                                     const std::string& last_request, std::int32_t clients,
                                     std::int32_t busy) {
  display_.lRequestCount = std::to_string(requests);
  display_.lDataServed = DataServedText(data_served);
  display_.lLastRequest = last_request;
  display_.lConnections = ConnectionsText(active, clients, busy);
}

void TStatusPresenter::SetUpTime(bool active, TDateTime up_time) {
  display_.lUpTime = UpTimeText(active, up_time);
}

void TStatusPresenter::SetExposure(const TExposureReport& report) {
  display_.lExposure = report.Summary();
  display_.ExposureWarns = report.Warns();
  display_.lVisitors = VisitorsText(report);
  display_.lUploads = report.Problem.empty() ? UploadsText(report) : std::string();
  display_.UploadsWarn = report.Problem.empty() && report.Uploads && !report.Password;
  display_.lHttps = report.Problem.empty() ? HttpsText(report) : std::string();
  display_.OfferListings = report.Problem.empty() && !report.Listings && report.DefaultDocument.empty();
}

TServerState TStatusPresenter::State(bool active) const {
  if (display_.Waiting && active) return TServerState::Waiting;
  if (!display_.lProblem.empty()) return TServerState::Error;
  return active ? TServerState::Running : TServerState::Stopped;
}

std::string TStatusPresenter::Hint(const TStatusFacts& facts, const std::vector<std::string>& urls,
                                   std::int32_t clients,
                                   const std::optional<TExposureReport>& exposure) const {
  std::string hint = kServerName;
  hint += kDash;
  if (!facts.start_problem.empty())
    return hint + facts.start_problem.substr(0, facts.start_problem.find(':'));
  if (facts.pub_dir_missing)
    return hint +
           (facts.active ? "waiting for " + ShortenHomePath(facts.published_folder) + ", which"
                         : "published folder " + ShortenHomePath(facts.published_folder)) +
           " does not exist";
  if (!facts.active) return hint + "stopped";
  // Where it can be reached: the first URL another computer can use, when
  // there is one (localhost comes first in the list).
  const auto lan = std::find_if(urls.begin(), urls.end(),
                                [](const std::string& url) { return !url.starts_with("http://localhost"); });
  std::string url = lan != urls.end() ? *lan : urls.empty() ? std::string() : urls.front();
  if (url.size() > 1 && url.back() == '/') url.pop_back();
  // The exposure check's warnings come first: a tray cuts a long hint.
  const std::vector<std::string> warnings = exposure ? exposure->Warnings() : std::vector<std::string>();
  if (!warnings.empty()) {
    std::string text;
    for (const std::string& warning : warnings) text += (text.empty() ? "" : ", ") + warning;
    hint += "warning: " + text + kDash;
  }
  hint += "serving " + ShortenHomePath(facts.published_folder) + " on " + url + kDash +
          std::to_string(clients) + (clients == 1 ? " connection" : " connections");
  if (exposure && warnings.empty()) hint += std::string(kDash) + "exposure check: nothing to warn about";
  return hint;
}

}  // namespace vt
