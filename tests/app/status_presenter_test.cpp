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

}  // namespace
}  // namespace vt
