#include "app/web_server_app.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <memory>
#include <thread>

#include "app/settings_environment.h"
#include "app_test_support.h"
#include "platform/ini_file.h"
#include "platform/registry.h"
#include "socket_test_support.h"
#include "support/child_processes.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace vt {
namespace {

using test::HttpAnswer;

TEST(LabelTexts, StatusFigures) {
  EXPECT_EQ("26:03:04", UpTimeText(true, 1 + EncodeTime(2, 3, 4, 0)));
  EXPECT_EQ("0:00:00", UpTimeText(true, 0));
  EXPECT_EQ("-", UpTimeText(false, 1));
  EXPECT_EQ("0", ConnectionsText(true, 0, 0));
  EXPECT_EQ("2 (1 busy)", ConnectionsText(true, 2, 1));
  EXPECT_EQ("-", ConnectionsText(false, 2, 1));
  EXPECT_EQ("1.5 Kb", DataServedText(1536));
  EXPECT_EQ("2 Kb", DataServedText(2048));
  EXPECT_EQ("500 bytes", DataServedText(500));
}

// A window that records what the application asks of it.
class FakeView : public IWebServerView {
 public:
  explicit FakeView(TWebServerApp& app) : app_(app) {}

  void ShowView() override {
    visible = true;
    app_.FormShow();
  }
  void HideView() override { visible = false; }
  bool ViewVisible() const override { return visible; }
  std::optional<TViewBounds> ViewBounds() const override { return bounds; }
  void MoveView(int left, int top) override {
    bounds->Left = left;
    bounds->Top = top;
  }
  TViewBounds DesktopBounds() const override { return desktop; }
  void CloseView() override {
    if (app_.FormClose()) closed = true;
  }
  bool ShowsFigures() const override { return figures; }
  void DisplayChanged(unsigned parts) override {
    if (parts & dpStatistics) ++statistics_changes;
  }
  void ShowError(const std::string& message) override { errors.push_back(message); }
  bool ShowSetupDialog(TWebServerSettings& settings) override { return setup && setup(settings); }
  bool AskYesNo(const std::string& question) override {
    questions.push_back(question);
    return answer;
  }
  void ShowAboutBox() override {}
  TFirstRunAnswer AskFirstRun(const std::string& folder) override {
    first_run_folders.push_back(folder);
    listening_when_asked = listening_when_asked || app_.HTTPServer.Active();
    // The test's own port: a new user's default would be 80 or 8080.
    TWebServerSettings settings = app_.Settings();
    settings.Port = first_run_port;
    app_.SetSettings(settings);
    return first_run;
  }

  bool visible = false;
  bool closed = false;
  bool figures = true;
  std::optional<TViewBounds> bounds = TViewBounds{0, 0, 300, 200};
  TViewBounds desktop{0, 0, 1024, 768};
  std::vector<std::string> errors;
  int statistics_changes = 0;
  std::function<bool(TWebServerSettings&)> setup;
  std::vector<std::string> questions;
  bool answer = false;
  TFirstRunAnswer first_run;
  std::int32_t first_run_port = 0;
  std::vector<std::string> first_run_folders;
  bool listening_when_asked = false;

 private:
  TWebServerApp& app_;
};

class AppTest : public ::testing::Test {
 protected:
  AppTest() : xdg_("XDG_CONFIG_HOME", config_.Path()) {
    root_.WriteFile("index.html", "<p>home</p>");
    root_.WriteFile("docs/notes.txt", "notes");
  }

  // Settings with the published directory and a free port, then `more`.
  void WriteSettings(const std::string& more) {
    port_ = test::FreePort();
    config_.WriteFile("vtWebServer.ini", "[WebServer]\nPubDir=" + root_.Path() +
                                             "\nPort=" + std::to_string(port_) + "\n" + more);
  }

  struct Options {
    bool window = true;    // the view has a window to place
    bool figures = true;   // the view shows the figures
    std::string log_file;  // the access log; empty: in the settings folder
  };

  // The application with its view, after FormCreate.
  void Create(const Options& options) {
    app_ = std::make_unique<TWebServerApp>();
    view_ = std::make_unique<FakeView>(*app_);
    if (!options.window) view_->bounds = std::nullopt;
    view_->figures = options.figures;
    app_->AccessLogFileName = options.log_file.empty() ? config_.File("webserver.log") : options.log_file;
    app_->ServerLog.OnLogMessage = [this](TComponent*, int log_class, const std::string& line) {
      log_.push_back(std::to_string(log_class) + " " + line);
    };
    app_->SetView(view_.get());
    app_->FormCreate();
  }
  void Create() { Create(Options{}); }

  // The application shown and its deferred start run.
  void Show() {
    view_->ShowView();
    test::PumpUntil([] { return false; }, std::chrono::milliseconds(50));
  }

  std::string Saved(const std::string& key) const {
    return TIniFile(config_.File("vtWebServer.ini")).ReadString(kSettingsSection, key, "(missing)");
  }

  int LogCount(const std::string& part) const {
    int n = 0;
    for (const std::string& line : log_)
      if (line.find(part) != std::string::npos) ++n;
    return n;
  }

  test::TempDir config_;
  test::ScopedEnv xdg_;
  test::TempDir root_;
  std::uint16_t port_ = 0;
  std::unique_ptr<TWebServerApp> app_;
  std::unique_ptr<FakeView> view_;
  std::vector<std::string> log_;
};

TEST_F(AppTest, WindowIsPlacedFromTheSettingsAndItsPositionSaved) {
  WriteSettings("Active=0\n");
  Create();
  EXPECT_EQ(362, view_->bounds->Left) << "no position saved: centred";
  EXPECT_EQ(284, view_->bounds->Top);

  WriteSettings("Active=0\nFormX=5000\nFormY=10\n");
  Create();
  EXPECT_EQ(724, view_->bounds->Left) << "pulled back inside the desktop";
  EXPECT_EQ(10, view_->bounds->Top);

  view_->bounds->Left = -20;
  view_->bounds->Top = 40;
  EXPECT_TRUE(app_->FormDestroy());
  EXPECT_EQ("0", Saved("FormX"));
  EXPECT_EQ("40", Saved("FormY"));

  // A view without a window leaves the saved position alone.
  Create({.window = false, .figures = true, .log_file = ""});
  EXPECT_TRUE(app_->FormDestroy());
  EXPECT_EQ("0", Saved("FormX"));
  EXPECT_EQ("40", Saved("FormY"));
}

TEST_F(AppTest, DeferredStartHidesWhenMinimizedAndStartsWhenActive) {
  WriteSettings("Active=1\nMinimized=1\n");
  Create();
  view_->ShowView();
  EXPECT_FALSE(app_->HTTPServer.Active()) << "the start waits for the message loop";
  EXPECT_TRUE(view_->visible) << "shown for a moment first";
  ASSERT_TRUE(test::PumpUntil([&] { return app_->HTTPServer.Active(); }));
  EXPECT_FALSE(view_->visible);
  const TStatusDisplay& display = app_->Display();
  EXPECT_TRUE(display.actOpen);
  EXPECT_FALSE(display.actStart);
  EXPECT_TRUE(display.actStop);
  EXPECT_TRUE(display.iServerActive);
  EXPECT_EQ("Active", display.lStatus);
  EXPECT_EQ(std::to_string(port_), display.lPort);
  EXPECT_EQ("0", display.lConnections);
  EXPECT_TRUE(view_->errors.empty());
}

TEST_F(AppTest, ClosingHidesTheWindowUntilExit) {
  WriteSettings("Active=0\n");
  Create();
  Show();
  EXPECT_FALSE(app_->HTTPServer.Active());
  EXPECT_EQ("Inactive", app_->Display().lStatus);
  EXPECT_EQ("-", app_->Display().lUpTime);
  EXPECT_EQ("-", app_->Display().lConnections);
  EXPECT_FALSE(app_->Display().actOpen);

  view_->CloseView();
  EXPECT_FALSE(view_->closed);
  EXPECT_FALSE(view_->visible);
  EXPECT_TRUE(app_->Display().actOpen);
  EXPECT_EQ("(missing)", Saved("Minimized")) << "closing does not write the settings";

  app_->actOpenExecute();
  EXPECT_TRUE(view_->visible);
  EXPECT_FALSE(app_->Display().actOpen);
  view_->CloseView();

  app_->actExitExecute();
  EXPECT_TRUE(view_->closed);
  EXPECT_TRUE(app_->FormDestroy());
  EXPECT_EQ("1", Saved("Minimized")) << "the next start is hidden";
  EXPECT_EQ("0", Saved("Active"));
}

TEST_F(AppTest, StartFailureIsReportedAndChangesNothing) {
  WriteSettings("Active=0\n");
  const int taken = test::ListenOn(port_);
  ASSERT_GE(taken, 0);

  Create();
  Show();
  const std::string before = test::ReadFileText(config_.File("vtWebServer.ini"));
  app_->actStartExecute();
  ::close(taken);
  ASSERT_EQ(1u, view_->errors.size());
  const std::string says = "Port " + std::to_string(port_) + " is used by another program (pid " +
                           std::to_string(::getpid()) +
                           ", app_tests): choose another port in Setup \u2192 Network";
  EXPECT_EQ(says + " (Error creating server socket: Socket bind failed: Address in use)", view_->errors[0]);
  EXPECT_EQ(0, LogCount("Error creating server socket"))
      << "the message box says it; the log does not say it again";
  EXPECT_EQ(says, app_->Display().lProblem);
  EXPECT_EQ(TServerState::Error, app_->ServerState());
  EXPECT_FALSE(app_->HTTPServer.Active());
  EXPECT_EQ("Inactive", app_->Display().lStatus);
  EXPECT_TRUE(app_->Display().actStart);
  EXPECT_FALSE(app_->tUpTime.TimerActive());
  EXPECT_EQ(before, test::ReadFileText(config_.File("vtWebServer.ini"))) << "nothing saved";
}

TEST_F(AppTest, StartAndStopSaveActiveAndStopForgetsTheLastRequest) {
  WriteSettings("Active=0\nThrottle=1\nThrottleRate=0\n");
  Create();
  Show();
  app_->actStartExecute();
  ASSERT_TRUE(app_->HTTPServer.Active());
  EXPECT_TRUE(app_->tUpTime.TimerActive());
  EXPECT_FALSE(app_->HTTPServer.ThrottleClientWrite()) << "a rate of 0 is no throttling";
  EXPECT_EQ("1", Saved("Active"));

  test::RunClient([&] { EXPECT_EQ("HTTP/1.1 200 OK", test::Get(port_, "/").status); });
  EXPECT_EQ("/", app_->LastRequest());

  app_->actStopExecute();
  EXPECT_FALSE(app_->HTTPServer.Active());
  EXPECT_EQ("0", Saved("Active"));
  EXPECT_EQ("", app_->LastRequest());
  EXPECT_EQ("", app_->Display().lLastRequest);
  EXPECT_EQ("-", app_->Display().lConnections);
  EXPECT_EQ("-", app_->Display().lUpTime);
}

TEST_F(AppTest, SetupAppliesAndSavesOnlyAfterOk) {
  WriteSettings("Active=1\nColour=blue\n");
  Create();
  Show();
  ASSERT_TRUE(test::PumpUntil([&] { return app_->HTTPServer.Active(); }));
  const std::string old_port = app_->HTTPServer.ListenPort();

  view_->setup = [](TWebServerSettings& settings) {
    settings.Port = 1;
    return false;  // Cancel
  };
  app_->actSetupExecute();
  EXPECT_EQ(port_, app_->Settings().Port);

  view_->setup = [](TWebServerSettings& settings) {
    // What the setup dialog's OK does, start-at-login entry included.
    SetRunAtStartup("Veltrana WebServer", true);
    settings.PubDir = "/srv/other";
    settings.Port = 8181;
    settings.Throttle = true;
    settings.ThrottleRate = 4096;
    return true;
  };
  app_->actSetupExecute();
  EXPECT_EQ("/srv/other", Saved("PubDir"));
  EXPECT_EQ("8181", Saved("Port"));
  EXPECT_EQ("blue", Saved("Colour")) << "keys this program does not know stay";
  EXPECT_TRUE(app_->HTTPServer.ThrottleClientWrite());
  EXPECT_EQ(4096, app_->HTTPServer.ThrottleClientWriteRate());
  EXPECT_EQ(old_port, app_->HTTPServer.ListenPort()) << "a new port waits for the next Start";
  ASSERT_EQ(1u, view_->questions.size()) << "and the user is told so";
  EXPECT_EQ("The server goes on listening on port " + old_port +
                "; port 8181 applies at the next Start.\n\nRestart the server now?",
            view_->questions[0]);

  // The start-at-login entry lives beside the settings and names this program.
  const std::string entry = config_.File("autostart/Veltrana WebServer.desktop");
  EXPECT_NE(std::string::npos, test::ReadFileText(entry).find("Exec=" + GetAppFileName()));
  EXPECT_TRUE(IsRunAtStartup("Veltrana WebServer"));
  SetRunAtStartup("Veltrana WebServer", false);
  EXPECT_FALSE(std::filesystem::exists(entry));
  EXPECT_FALSE(IsRunAtStartup("Veltrana WebServer"));

  app_->actStopExecute();
  app_->actStartExecute();
  EXPECT_EQ("8181", app_->HTTPServer.ListenPort());

  // Restart now: the new port at once.
  const std::uint16_t next = test::FreePort();
  view_->answer = true;
  view_->setup = [next](TWebServerSettings& settings) {
    settings.Port = next;
    return true;
  };
  app_->actSetupExecute();
  EXPECT_EQ(std::to_string(next), app_->HTTPServer.ListenPort());
  EXPECT_TRUE(app_->HTTPServer.Active());
  app_->actStopExecute();
}

// The exposure check runs on its own worker when the server starts and
// again when setup changes what is published, never for other changes.
TEST_F(AppTest, ExposureIsCheckedAtStartAndWhenThePublishedFolderChanges) {
  WriteSettings("Active=1\nListenOn=local\n");
  Create();
  Show();
  ASSERT_TRUE(test::PumpUntil([&] { return app_->Exposure().has_value(); }));
  EXPECT_EQ("Only this computer can read 2 files (16 bytes); nothing to warn about",
            app_->Exposure()->Summary());
  EXPECT_EQ(app_->Exposure()->Summary(), app_->Display().lExposure);
  EXPECT_EQ("Veltrana Web Server \u2014 serving " + ShortenHomePath(root_.Path()) + " on http://localhost:" +
                std::to_string(port_) + " \u2014 0 connections \u2014 exposure check: nothing to warn about",
            app_->StatusHint())
      << "this computer only: reached at a loopback address";
  EXPECT_EQ(1, LogCount("0 Exposure check: Only this computer"));
  const std::vector<TSocketAddress> listening = app_->HTTPServer.ListeningAddresses();
  ASSERT_FALSE(listening.empty());
  EXPECT_TRUE(listening.front().IsLoopback());

  test::TempDir other;
  other.WriteFile("run.exe", "#!/bin/sh\n");
  ::chmod(other.File("run.exe").c_str(), 0755);
  view_->setup = [](TWebServerSettings& settings) {
    settings.ThrottleRate = 100;
    return true;
  };
  app_->actSetupExecute();
  view_->setup = [&](TWebServerSettings& settings) {
    settings.PubDir = other.Path();
    return true;
  };
  app_->actSetupExecute();
  ASSERT_TRUE(test::PumpUntil([&] { return app_->Exposure()->Programs.Count == 1; }));
  EXPECT_EQ(1,
            LogCount("1 Exposure check: Only this computer can read 1 file (10 bytes); warning: 1 program"));
  EXPECT_EQ(2, LogCount("Exposure check:")) << "the throttling change checked nothing";
  EXPECT_TRUE(app_->Display().ExposureWarns);
  EXPECT_NE(std::string::npos, app_->StatusHint().find("\u2014 warning: 1 program run on request"));
  app_->actStopExecute();
}

// Each request reads one snapshot of the settings: its log line follows the
// settings it was answered with, even when they change while it runs, and
// ThreadSanitizer sees no field read while the main thread writes it.
TEST_F(AppTest, RequestsReadOneSnapshotWhileTheSettingsChange) {
  test::TempDir other;
  other.WriteFile("index.html", "<p>other</p>");
  const std::string slow = root_.WriteFile("slow.exe", "#!/bin/sh\n/bin/sleep 0.3\necho\n");
  ::chmod(slow.c_str(), 0755);
  WriteSettings("Active=1\nLogFormat=$uri$ first\n");
  Create();
  Show();
  ASSERT_TRUE(test::PumpUntil([&] { return app_->HTTPServer.Active(); }));
  const auto with = [&](const std::string& pub_dir, const std::string& log_format) {
    TWebServerSettings settings = app_->Settings();
    settings.PubDir = pub_dir;
    settings.LogFormat = log_format;
    app_->SetSettings(settings);
  };

  std::atomic<bool> done{false};
  std::thread slow_client([&] {
    test::Get(port_, "/slow.exe");
    done = true;
  });
  test::PumpUntil([] { return false; }, std::chrono::milliseconds(100));  // the program runs
  with(root_.Path(), "$uri$ changed");
  ASSERT_TRUE(test::PumpUntil([&] { return done.load(); }));
  slow_client.join();

  done = false;
  std::thread client([&] {
    for (int i = 0; i < 40; ++i) EXPECT_EQ("HTTP/1.1 200 OK", test::Get(port_, "/").status);
    done = true;
  });
  for (int turn = 0; !done; ++turn) {
    with(turn % 2 ? other.Path() : root_.Path(), turn % 2 ? "$uri$ other" : "$uri$ home");
    test::PumpUntil([] { return false; }, std::chrono::milliseconds(1));
  }
  client.join();
  app_->actStopExecute();
  const std::string log = test::ReadFileText(config_.File("webserver.log"));
  EXPECT_EQ(0u, log.find("/slow.exe first\r\n")) << "the format the request began with: " << log;
}

TEST_F(AppTest, AMissingPublishedFolderIsAProblemUntilItIsThere) {
  const std::string folder = root_.File("later");
  WriteSettings("Active=1\n");
  Create();
  TWebServerSettings settings = app_->Settings();
  settings.PubDir = folder;
  app_->SetSettings(settings);
  Show();
  ASSERT_TRUE(test::PumpUntil([&] { return app_->HTTPServer.Active(); }));
  const std::string problem =
      "Published folder " + folder + " does not exist: create it, or choose another one";
  EXPECT_EQ(problem + " in Setup \u2192 General", app_->Display().lProblem);
  EXPECT_TRUE(app_->Display().PubDirMissing);
  // Listening, but serving nothing: a state of its own, never "Active".
  EXPECT_EQ(TServerState::Waiting, app_->ServerState());
  EXPECT_EQ("Waiting for " + ShortenHomePath(folder), app_->Display().lStatus);
  EXPECT_FALSE(app_->Display().iServerActive);
  EXPECT_TRUE(app_->Display().actStop);
  EXPECT_EQ("Veltrana Web Server \u2014 waiting for " + ShortenHomePath(folder) + ", which does not exist",
            app_->StatusHint());
  EXPECT_EQ(1, LogCount("1 Warning: " + problem));

  std::filesystem::create_directories(folder);
  ASSERT_TRUE(test::PumpUntil([&] { return app_->ServerState() == TServerState::Running; }))
      << "seen within a tick of the up-time timer";
  EXPECT_EQ("", app_->Display().lProblem);
  // (Followed by what the exposure check found, once it has run: it runs
  // again for the folder that came.)
  ASSERT_TRUE(test::PumpUntil([&] { return app_->Exposure() && app_->Exposure()->Problem.empty(); }));
  // The hint names an address another computer can use, when there is one.
  std::string reach = "localhost";
  for (const TInterfaceAddress& entry : LocalInterfaceAddresses()) {
    if (entry.Address.Family() == AF_INET && !entry.Address.IsLoopback()) {
      reach = entry.Address.HostText();
      break;
    }
  }
  EXPECT_EQ(0u, app_->StatusHint().rfind("Veltrana Web Server \u2014 serving " + ShortenHomePath(folder) +
                                             " on http://" + reach + ":" + std::to_string(port_) +
                                             " \u2014 0 connections",
                                         0))
      << app_->StatusHint();

  app_->actStopExecute();
  EXPECT_EQ(TServerState::Stopped, app_->ServerState());
  EXPECT_EQ("Veltrana Web Server \u2014 stopped", app_->StatusHint());
  EXPECT_EQ(1, LogCount("Warning: ")) << "told once";
}

TEST_F(AppTest, FiguresFollowTheRequestsWithoutHoldingThem) {
  WriteSettings("Active=1\n");
  Create();
  Show();
  ASSERT_TRUE(test::PumpUntil([&] { return app_->HTTPServer.Active(); }));
  test::RunClient([&] {
    for (const char* uri : {"/", "/docs/notes.txt", "/missing"}) test::Get(port_, uri);
  });
  const TStatusDisplay& display = app_->Display();
  ASSERT_TRUE(test::PumpUntil([&] { return display.lRequestCount == "3" && display.lConnections == "0"; }))
      << display.lRequestCount << " " << display.lConnections;
  EXPECT_EQ("/missing", display.lLastRequest) << "the latest request, though it found nothing";
  EXPECT_EQ(DataServedText(app_->HTTPServer.DataServed.load()), display.lDataServed);
  EXPECT_NE("0 bytes", display.lDataServed);
}

// The figures behind the Activity page, through real connections: a
// throttled download, a CGI program that runs, a kept-alive connection
// between requests; then the client's address in the access log.
TEST_F(AppTest, LiveConnectionsShowWhatEachOneIsDoing) {
  root_.WriteFile("big.bin", std::string(60000, 'x'));
  root_.WriteFile("cgi/slow.exe",
                  "#!/bin/sh\n/bin/sleep 2\necho 'Content-Type: text/plain'\necho\necho done\n");
  std::filesystem::permissions(root_.File("cgi/slow.exe"), std::filesystem::perms::owner_all);
  WriteSettings("Active=1\nThrottle=1\nThrottleRate=20000\nLogFormat=$address$ $uri$\n");
  Create();
  Show();
  ASSERT_TRUE(test::PumpUntil([&] { return app_->HTTPServer.Active(); }));
  EXPECT_EQ("http://localhost:" + std::to_string(port_) + "/", app_->Urls().at(0));

  const int download = test::ConnectLoopback(port_);
  test::SendAll(download, "GET /big.bin HTTP/1.1\r\nHost: x\r\n\r\n");
  const int program = test::ConnectLoopback(port_);
  test::SendAll(program, "GET /cgi/slow.exe HTTP/1.1\r\nHost: x\r\n\r\n");
  const int idle = test::ConnectLoopback(port_);
  const auto row = [&](TConnectionState state) -> const TConnectionRow* {
    for (const TConnectionRow& each : app_->Connections().Rows())
      if (each.State == state) return &each;
    return nullptr;
  };
  ASSERT_TRUE(test::PumpUntil([&] {
    const TConnectionRow* sending = row(TConnectionState::Sending);
    return sending && sending->Sent > 0 && row(TConnectionState::RunningProgram) &&
           row(TConnectionState::Waiting);
  })) << app_->ConnectionTableText();
  const TConnectionRow& sending = *row(TConnectionState::Sending);
  EXPECT_EQ("127.0.0.1", sending.Address);
  EXPECT_TRUE(sending.Throttled);
  EXPECT_EQ("GET /big.bin", sending.Request);
  EXPECT_GT(sending.Size, 60000) << "header and body";
  EXPECT_LT(sending.Size, 60500);
  EXPECT_LT(sending.Sent, sending.Size) << "20000 bytes a second: far from done";
  EXPECT_EQ("GET /cgi/slow.exe", row(TConnectionState::RunningProgram)->Request);
  EXPECT_EQ("", row(TConnectionState::Waiting)->Request);
  ASSERT_TRUE(test::PumpUntil([&] {
    const TConnectionRow* now = row(TConnectionState::Sending);
    return now && now->BytesPerSecond > 10000 && now->BytesPerSecond < 30000;
  })) << "about the send limit: "
      << app_->ConnectionTableText();
  EXPECT_NE(std::string::npos, app_->ConnectionTableText().find("throttled"));
  const std::int64_t sent = row(TConnectionState::Sending)->Sent;

  for (const int fd : {download, program, idle}) ::close(fd);
  ASSERT_TRUE(test::PumpUntil([&] { return app_->HTTPServer.ClientCount() == 0; }));
  test::RunClient([&] { test::Get(port_, "/"); });
  ASSERT_TRUE(test::PumpUntil([&] { return app_->Connections().Rows().empty(); }));
  std::int64_t bytes = 0;
  std::int64_t requests = 0;
  for (const TThroughputBucket& bucket : app_->Connections().History().Buckets(IdleClockMs() + 1000)) {
    bytes += bucket.Bytes;
    requests += bucket.Requests;
  }
  EXPECT_GT(bytes, sent) << "what the closed connections sent counts too";
  EXPECT_EQ(3, requests);
  EXPECT_TRUE(test::WaitFor([&] {
    return ReadLastLines(config_.File("webserver.log"), 10) ==
           std::vector<std::string>{"127.0.0.1 /big.bin", "127.0.0.1 /cgi/slow.exe", "127.0.0.1 /"};
  })) << "every request logged with its client's address";
}

TEST_F(AppTest, AViewWithoutFiguresCostsTheWorkersNoRefresh) {
  WriteSettings("Active=1\n");
  Create({.window = true, .figures = false, .log_file = ""});
  Show();
  ASSERT_TRUE(test::PumpUntil([&] { return app_->HTTPServer.Active(); }));
  const int before = view_->statistics_changes;
  test::RunClient([&] {
    for (int i = 0; i < 5; ++i) test::Get(port_, "/");
  });
  test::PumpUntil([] { return false; }, std::chrono::milliseconds(300));
  EXPECT_EQ(before, view_->statistics_changes);
}

TEST_F(AppTest, AnUnwritableAccessLogIsToldOnceAndNeverBreaksTheAnswers) {
  WriteSettings("Active=1\n");
  const std::string folder = config_.WriteFile("logs", "a file where the log's folder should be");
  Create({.log_file = folder + "/webserver.log"});
  Show();
  ASSERT_TRUE(test::PumpUntil([&] { return app_->HTTPServer.Active(); }));

  const std::string two_requests =
      "GET / HTTP/1.1\r\nHost: x\r\n\r\nGET /docs/notes.txt HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
  auto both_answered = [&] {
    test::RunClient([&] {
      const int fd = test::ConnectLoopback(port_);
      test::SendAll(fd, two_requests);
      const HttpAnswer first = test::ReadAnswer(fd);
      const HttpAnswer second = test::ReadAnswer(fd);
      ::close(fd);
      EXPECT_EQ("HTTP/1.1 200 OK", first.status);
      EXPECT_EQ("<p>home</p>", first.body);
      EXPECT_EQ("HTTP/1.1 200 OK", second.status) << "the connection went on";
      EXPECT_EQ("notes", second.body);
    });
  };
  const std::string failure = "1 Access log " + folder + "/webserver.log cannot be written: ";
  both_answered();
  ASSERT_TRUE(test::PumpUntil([&] { return LogCount(failure) > 0; }));
  both_answered();
  test::PumpUntil([] { return false; }, std::chrono::milliseconds(100));
  EXPECT_EQ(1, LogCount(failure)) << "told once, not once per request";

  std::filesystem::remove(folder);
  std::filesystem::create_directories(folder);
  both_answered();
  const auto lines_written = [&] {
    const std::string written = test::ReadFileText(folder + "/webserver.log");
    return std::count(written.begin(), written.end(), '\n');
  };
  ASSERT_TRUE(test::PumpUntil([&] { return LogCount("is written again") == 1 && lines_written() == 2; }));
}

TEST_F(AppTest, CgiRunsAreBoundedInTime) {
  root_.WriteFile("cgi/open.exe",
                  "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\nstarted'\nexec /bin/sleep 60\n");
  root_.WriteFile(
      "cgi/linger.exe",
      "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\ndone'\nexec >&-\nexec /bin/sleep 60\n");
  // Never silent, never done: a header line now and then.
  root_.WriteFile("cgi/talker.exe",
                  "#!/bin/sh\nwhile :; do printf 'X-More: 1\\r\\n'; /bin/sleep 0.1; done\n");
  std::filesystem::permissions(root_.File("cgi/open.exe"), std::filesystem::perms::owner_all);
  std::filesystem::permissions(root_.File("cgi/talker.exe"), std::filesystem::perms::owner_all);
  std::filesystem::permissions(root_.File("cgi/linger.exe"), std::filesystem::perms::owner_all);
  WriteSettings("Active=1\n");
  Create();
  app_->CGILimits.TimeOut = 300;
  app_->CGILimits.RunTimeOut = 1500;
  Show();
  ASSERT_TRUE(test::PumpUntil([&] { return app_->HTTPServer.Active(); }));

  test::RunClient([&] {
    // Keeps its output open and says nothing more: stopped when it has been
    // silent for TimeOut.
    auto started = std::chrono::steady_clock::now();
    const HttpAnswer open = test::Get(port_, "/cgi/open.exe");
    EXPECT_EQ("HTTP/1.1 500 Internal Server Error", open.status);
    EXPECT_NE(std::string::npos, open.body.find("was silent for 300 ms")) << open.body;
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(250));

    // Goes on writing: stopped at the bound of the whole run.
    started = std::chrono::steady_clock::now();
    const HttpAnswer talker = test::Get(port_, "/cgi/talker.exe");
    EXPECT_EQ("HTTP/1.1 500 Internal Server Error", talker.status);
    EXPECT_NE(std::string::npos, talker.body.find("ran longer than 1500 ms")) << talker.body;
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1400));

    // Ends its output but goes on running: stopped after TimeOut, and what
    // it wrote is the answer.
    const HttpAnswer linger = test::Get(port_, "/cgi/linger.exe");
    EXPECT_EQ("HTTP/1.1 200 OK", linger.status);
    EXPECT_EQ("done", linger.body);
  });
  EXPECT_EQ(0, test::WaitForNoChildProcesses()) << "every program was killed and reaped";
}

TEST_F(AppTest, StoppingTheServerEndsARunningCgiProgram) {
  root_.WriteFile("cgi/slow.exe", "#!/bin/sh\nexec /bin/sleep 60\n");
  std::filesystem::permissions(root_.File("cgi/slow.exe"), std::filesystem::perms::owner_all);
  WriteSettings("Active=1\n");
  Create();
  Show();
  ASSERT_TRUE(test::PumpUntil([&] { return app_->HTTPServer.Active(); }));

  std::atomic<bool> answered{false};
  std::thread client([&] {
    const int fd = test::ConnectLoopback(port_);
    test::SendAll(fd, "GET /cgi/slow.exe HTTP/1.1\r\nHost: x\r\n\r\n");
    test::ClosedByPeer(fd, std::chrono::seconds(20));
    ::close(fd);
    answered = true;
  });
  ASSERT_TRUE(test::PumpUntil([] { return test::CountChildProcesses() > 0; }));
  const auto stopping = std::chrono::steady_clock::now();
  app_->actStopExecute();
  EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::seconds(5));
  EXPECT_FALSE(app_->HTTPServer.Active());
  test::PumpUntil([&] { return answered.load(); });
  client.join();
  EXPECT_EQ(0, test::WaitForNoChildProcesses());
}

// A new user's first windowed start asks before anything listens, and the
// answer is kept; a user with a settings file, or a view that cannot ask,
// is not asked.
TEST_F(AppTest, TheFirstRunAsksOnceBeforeAnythingListens) {
  const std::string other = root_.File("other");
  const struct {
    const char* why;
    TFirstRunChoice choice;
    std::string folder;
    bool listens;
    const char* listen_on;
    std::string pub_dir;
  } cases[] = {
      {"shared with the network", TFirstRunChoice::Network, root_.Path(), true, "all", root_.Path()},
      {"this computer only", TFirstRunChoice::ThisComputer, root_.Path(), true, "local", root_.Path()},
      {"another folder, made for it", TFirstRunChoice::ThisComputer, other, true, "local", other},
      {"no answer: nothing starts", TFirstRunChoice::NotNow, root_.Path(), false, "all", root_.Path()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    std::filesystem::remove(config_.File("vtWebServer.ini"));
    std::filesystem::remove_all(other);
    Create();
    ASSERT_TRUE(app_->NewUser());
    view_->first_run = {c.choice, c.folder};
    view_->first_run_port = test::FreePort();
    Show();
    ASSERT_EQ(1u, view_->first_run_folders.size());
    EXPECT_FALSE(view_->listening_when_asked);
    EXPECT_EQ(c.listens, app_->HTTPServer.Active());
    EXPECT_EQ(c.listen_on, Saved("ListenOn"));
    EXPECT_EQ(c.listens ? "1" : "0", Saved("Active"));
    EXPECT_EQ(c.pub_dir, Saved("PubDir"));
    EXPECT_TRUE(DirectoryExists(c.pub_dir));
    app_->FormDestroy();

    // The file is there now: the next start asks nothing.
    Create();
    EXPECT_FALSE(app_->NewUser());
    Show();
    EXPECT_TRUE(view_->first_run_folders.empty());
    app_->FormDestroy();
  }
}

// Data served counts a long download as it goes, not only once it ends.
TEST_F(AppTest, DataServedCountsBytesAsTheyGo) {
  root_.WriteFile("big.bin", std::string(200000, 'x'));
  WriteSettings("Active=1\nThrottle=1\nThrottleRate=40000\n");
  Create();
  Show();
  ASSERT_TRUE(test::PumpUntil([&] { return app_->HTTPServer.Active(); }));
  const int download = test::ConnectLoopback(port_);
  test::SendAll(download, "GET /big.bin HTTP/1.1\r\nHost: x\r\n\r\n");
  const TStatusDisplay& display = app_->Display();
  ASSERT_TRUE(test::PumpUntil([&] { return display.lDataServed != "0 bytes"; })) << display.lDataServed;
  EXPECT_EQ(0, app_->HTTPServer.DataServed.load()) << "the answer has not ended";
  EXPECT_EQ("/big.bin", display.lLastRequest);
  ::close(download);
  ASSERT_TRUE(test::PumpUntil([&] { return app_->HTTPServer.ClientCount() == 0; }));
  test::RunClient([&] { test::Get(port_, "/"); });
  ASSERT_TRUE(test::PumpUntil([&] {
    return display.lDataServed == DataServedText(app_->HTTPServer.DataServed.load());
  })) << "once nothing is sent, the server's own count: "
      << display.lDataServed;
  app_->actStopExecute();
}

// The exposure check looks again when the published folder's content
// changes, and the window may make a missing folder.
TEST_F(AppTest, TheReportFollowsTheFolderAndAMissingFolderCanBeMade) {
  WriteSettings("Active=1\n");
  Create();
  Show();
  ASSERT_TRUE(test::PumpUntil([&] { return app_->Exposure().has_value(); }));
  const std::uint64_t files = app_->Exposure()->Files;
  root_.WriteFile("docs/new/added.txt", "twenty megabytes, nearly");
  ASSERT_TRUE(test::PumpUntil([&] { return app_->Exposure()->Files == files + 1; },
                              std::chrono::milliseconds(kExposureRecheckMs * 4)))
      << app_->Exposure()->Summary();
  EXPECT_NE(std::string::npos, app_->Display().lExposure.find(std::to_string(files + 1) + " files"));

  const std::string gone = root_.File("later/share");
  TWebServerSettings settings = app_->Settings();
  settings.PubDir = gone;
  app_->SetSettings(settings);
  app_->UpdateStatus();
  ASSERT_EQ(TServerState::Waiting, app_->ServerState());
  EXPECT_TRUE(app_->CreatePublishedDirectory());
  EXPECT_TRUE(DirectoryExists(gone));
  EXPECT_EQ(TServerState::Running, app_->ServerState());
  EXPECT_EQ("Active", app_->Display().lStatus);
  app_->actStopExecute();
}

// The close box's notice is given once, and the settings remember it.
TEST_F(AppTest, TheCloseNoticeIsGivenOnce) {
  WriteSettings("Active=0\n");
  Create();
  Show();
  EXPECT_EQ("Veltrana Web Server is still running; quit from the tray menu", app_->TakeCloseNotice());
  EXPECT_EQ(std::nullopt, app_->TakeCloseNotice());
  EXPECT_EQ("1", Saved("CloseNoticeShown"));
  app_->FormDestroy();
  Create();
  EXPECT_EQ(std::nullopt, app_->TakeCloseNotice()) << "remembered from the file";
}

}  // namespace
}  // namespace vt
