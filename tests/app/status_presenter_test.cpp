// The status texts from facts alone: what the problem line says, and that a
// folder problem is said in the log once, not at every refresh.

#include "app/status_presenter.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace vt {
namespace {

TEST(StatusPresenter, AFolderProblemIsToldOnceUntilItChanges) {
  const std::string missing =
      "Published folder /srv/www does not exist: create it, or choose another one in Setup \u2192 General";
  const std::string port = "Port 80 needs administrator rights on Linux: choose a port from 1024 up";
  const struct {
    const char* why;
    bool pub_dir_missing;
    const char* start_problem;
    std::string shown;
    std::optional<std::string> told;
  } steps[] = {
      {"the folder goes missing", true, "", missing, missing},
      {"a refresh says nothing new", true, "", missing, std::nullopt},
      {"a failed start is shown, told elsewhere", true, port.c_str(), port, std::nullopt},
      {"the folder is the problem again: told before", true, "", missing, std::nullopt},
      {"the folder is back", false, "", "", std::nullopt},
      {"missing once more: told again", true, "", missing, missing},
  };
  TStatusPresenter presenter;
  for (const auto& step : steps) {
    TStatusFacts facts;
    facts.published_folder = "/srv/www";
    facts.pub_dir_missing = step.pub_dir_missing;
    facts.start_problem = step.start_problem;
    EXPECT_EQ(step.told, presenter.SetStatus(facts)) << step.why;
    EXPECT_EQ(step.shown, presenter.Display().lProblem) << step.why;
    EXPECT_EQ(step.shown.empty() ? TServerState::Stopped : TServerState::Error, presenter.State(false))
        << step.why;
  }
}

TEST(StatusPresenter, WithoutASetupDialogTheProblemPointsToTheCommandLineAndTheFile) {
  TStatusPresenter presenter;
  TStatusFacts facts;
  facts.published_folder = "/srv/www";
  facts.pub_dir_missing = true;
  facts.has_setup_dialog = false;
  facts.settings_file_name = "/home/u/.config/vtWebServer.ini";
  presenter.SetStatus(facts);
  EXPECT_EQ(
      "Published folder /srv/www does not exist: create it, or choose another one (veltrana-webserver "
      "FOLDER, "
      "or PubDir= in /home/u/.config/vtWebServer.ini)",
      presenter.Display().lProblem);
  EXPECT_EQ("Veltrana Web Server \u2014 published folder /srv/www does not exist",
            presenter.Hint(facts, {}, 0, std::nullopt));
}

// A server that listens without its folder serves nothing: it is never
// "Active", whatever else is true.
TEST(StatusPresenter, AServerWithoutItsFolderWaitsAndSaysForWhat) {
  const struct {
    const char* why;
    bool active;
    bool missing;
    const char* start_problem;
    const char* status;
    bool picture_active;
    TServerState state;
    const char* hint;
  } cases[] = {
      {"serving", true, false, "", "Active", true, TServerState::Running,
       "Veltrana Web Server \u2014 serving /srv/www on http://192.0.2.7:8080 \u2014 0 connections"},
      {"listening without the folder", true, true, "", "Waiting for /srv/www", false, TServerState::Waiting,
       "Veltrana Web Server \u2014 waiting for /srv/www, which does not exist"},
      {"stopped without the folder: a problem to fix", false, true, "", "Inactive", false,
       TServerState::Error, "Veltrana Web Server \u2014 published folder /srv/www does not exist"},
      {"stopped", false, false, "", "Inactive", false, TServerState::Stopped,
       "Veltrana Web Server \u2014 stopped"},
      {"a failed start outranks the folder", false, true, "Port 80 needs administrator rights on Linux: x",
       "Inactive", false, TServerState::Error,
       "Veltrana Web Server \u2014 Port 80 needs administrator rights on Linux"},
  };
  for (const auto& c : cases) {
    TStatusPresenter presenter;
    TStatusFacts facts;
    facts.active = c.active;
    facts.listen_port = "8080";
    facts.published_folder = "/srv/www";
    facts.pub_dir_missing = c.missing;
    facts.start_problem = c.start_problem;
    presenter.SetStatus(facts);
    const TStatusDisplay& display = presenter.Display();
    EXPECT_EQ(c.status, display.lStatus) << c.why;
    EXPECT_EQ(c.picture_active, display.iServerActive) << c.why;
    EXPECT_EQ(c.active, display.actStop) << c.why << ": a listening server can be stopped";
    EXPECT_EQ(c.state, presenter.State(c.active)) << c.why;
    EXPECT_EQ(c.hint,
              presenter.Hint(facts, {"http://localhost:8080/", "http://192.0.2.7:8080/"}, 0, std::nullopt))
        << c.why;
  }
}

TEST(StatusPresenter, QuestionsAndNoticesSayWhatFollows) {
  const struct {
    std::int32_t transfers;
    const char* says;
  } restarts[] = {
      {0, ""},
      {1, "1 transfer in progress will be cut. "},
      {3, "3 transfers in progress will be cut. "},
  };
  for (const auto& c : restarts)
    EXPECT_EQ(
        std::string("The server goes on listening on port 8080; port 80 applies at the next Start.\n\n") +
            c.says + "Restart the server now?",
        RestartQuestion("8080", 0, c.transfers))
        << c.transfers;
  EXPECT_EQ("Veltrana Web Server is still sharing /srv/www; quit from the tray menu",
            CloseNoticeText("/srv/www", true));
  EXPECT_EQ("Veltrana Web Server is still running; quit from the tray menu",
            CloseNoticeText("/srv/www", false));
}

// What the Share page says comes from the same report as the summary.
TEST(StatusPresenter, TheShareLinesFollowTheExposureReport) {
  TExposureReport report;
  report.PubDir = "/srv/www";
  report.Audience = "Anyone who can reach this computer";
  report.Uploads = true;
  TStatusPresenter presenter;
  presenter.SetExposure(report);
  const TStatusDisplay& display = presenter.Display();
  EXPECT_EQ(report.Summary(), display.lExposure);
  EXPECT_TRUE(display.ExposureWarns);
  EXPECT_EQ("Visitors need exact addresses: /srv/www has no index.html and folder listings are off",
            display.lVisitors);
  EXPECT_TRUE(display.OfferListings);
  EXPECT_TRUE(display.UploadsWarn);
  EXPECT_EQ("HTTP only: anyone on your network can read what you share", display.lHttps);

  report.Listings = true;
  report.Password = true;
  presenter.SetExposure(report);
  EXPECT_FALSE(display.OfferListings);
  EXPECT_FALSE(display.UploadsWarn);
  EXPECT_FALSE(display.ExposureWarns);
}

}  // namespace
}  // namespace vt
