#pragma once

// TStatusPresenter: the texts that tell the user how the server is, for the
// status window, the tray icon's hint and the headless runner's lines.
//
// It turns facts (TStatusFacts, the server's figures, the exposure report)
// into the display record; it asks nothing itself, so the texts follow only
// from what it is given.
//
// Threads: main thread only.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/exposure_check.h"
#include "util/date_time.h"

namespace vt {

// The texts of the status display, and the states that go with them.
struct TStatusDisplay {
  std::string lStatus;        // "Active", "Inactive", or "Waiting for ~/Public"
  std::string lPort;          // the listening port, or the Port setting while inactive
  std::string lUpTime;        // "26:03:04", "-" while inactive
  std::string lRequestCount;  // requests read
  std::string lDataServed;    // "1.5 Kb"
  std::string lConnections;   // "2 (1 busy)", "0", "-" while inactive
  std::string lLastRequest;   // the URI (and query) of the latest request, whatever its answer
  // Which server picture shows: iServerActive when true, else iServerInactive.
  // Only a server that serves its folder shows as active.
  bool iServerActive = false;
  // The server listens, but its published folder is missing: it answers
  // 404 to everything until the folder is there (a state of its own, never
  // "Active").
  bool Waiting = false;
  // Enabled states of the actions; Setup, About and Exit are always enabled.
  bool actStart = true;
  bool actStop = false;
  bool actOpen = false;
  // What the user should act on, with what to do, or empty: the published
  // folder is missing, or the last start failed ("Port 80 needs
  // administrator rights on Linux: choose a port from 1024 up in Setup →
  // Network"). Part of dpStatus.
  std::string lProblem;
  // The missing published folder is (part of) the problem: the view may
  // offer to choose one, or to create it.
  bool PubDirMissing = false;
  // The latest exposure check's summary (TExposureReport::Summary), empty
  // before the first; whether it warns. Part of dpExposure.
  std::string lExposure;
  bool ExposureWarns = false;
  // What a visitor meets, from the same report (VisitorsText, UploadsText,
  // HttpsText of app/exposure_check.h); empty before the first. Part of
  // dpExposure.
  std::string lVisitors;
  std::string lUploads;
  bool UploadsWarn = false;  // uploads without a password
  std::string lHttps;
  // Folder listings are off and the folder has no default document:
  // visitors need exact addresses, and the view may offer to list folders.
  bool OfferListings = false;
};

// The server's state as the tray icon shows it.
// Waiting: it listens, but the published folder is missing.
enum class TServerState { Running, Stopped, Error, Waiting };

// The label texts.
// "-" while inactive, else the hours in total, minutes and seconds (26:03:04).
std::string UpTimeText(bool active, TDateTime up_time);
// "-" while inactive; the number of clients, with " (N busy)" when there are any.
std::string ConnectionsText(bool active, std::int32_t clients, std::int32_t busy);
// The long byte-count form: "500 bytes", "1.5 Kb", "2 Kb".
std::string DataServedText(std::int64_t bytes);

// The question before a restart for a new port; `transfers`: answers in
// progress, which the restart cuts.
std::string RestartQuestion(const std::string& listening_port, std::int32_t new_port, std::int32_t transfers);
// The one notification when the close box first hides the window into the
// tray: the program goes on (sharing `folder` while `active`).
std::string CloseNoticeText(const std::string& folder, bool active);

// What the status texts say.
struct TStatusFacts {
  bool active = false;
  // The port the server listens on (while active).
  std::string listen_port;
  // The Port setting (shown while inactive).
  std::int32_t settings_port = 0;
  // The published folder (PublishedDirectoryOf the setting), and whether it
  // was missing at the last look.
  std::string published_folder;
  bool pub_dir_missing = false;
  // The friendly text of the last failed start, or empty.
  std::string start_problem;
  // The view has the setup dialog, so that the texts point there;
  // otherwise they point to the command line and the settings file.
  bool has_setup_dialog = true;
  std::string settings_file_name;
};

class TStatusPresenter {
 public:
  const TStatusDisplay& Display() const { return display_; }

  // Status, port, picture, the Start and Stop actions and the problem.
  // Returns the problem when it is one not told before (a failed start is
  // reported as an error already, so only a folder problem is), to be said
  // once in the log.
  std::optional<std::string> SetStatus(const TStatusFacts& facts);
  void SetStatistics(bool active, std::int64_t requests, std::int64_t data_served,
                     const std::string& last_request, std::int32_t clients, std::int32_t busy);
  void SetUpTime(bool active, TDateTime up_time);
  void SetOpenEnabled(bool enabled) { display_.actOpen = enabled; }
  // The latest exposure check's report: its summary, whether it warns, and
  // what a visitor meets.
  void SetExposure(const TExposureReport& report);

  // Running, stopped, or Error while a problem is shown.
  TServerState State(bool active) const;
  // The tray icon's hint (TWebServerApp::StatusHint); `urls` reach the
  // server, `exposure` is the latest report.
  std::string Hint(const TStatusFacts& facts, const std::vector<std::string>& urls, std::int32_t clients,
                   const std::optional<TExposureReport>& exposure) const;

 private:
  TStatusDisplay display_;
  // The folder problem as last told.
  std::string told_problem_;
};

}  // namespace vt
