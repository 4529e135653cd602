#pragma once

// TWebServerApp: the web server application without its windows.
//
// It holds the settings, the HTTP server, the up-time timer and the
// exposure check, runs the actions and the start, and coordinates the parts
// below: the settings file, the request handler the server's worker events
// go to, the status texts and the URLs. It keeps the figures fresh. A view
// shows it: the Qt main window, or the headless runner
// (app/headless_view.h). The view calls the life-cycle handlers
// (FormCreate, FormShow, FormClose, FormDestroy) and the actions, and the
// application tells it through IWebServerView what to show.
//
// Life cycle, as a window would run it:
//   SetView → FormCreate (settings read, window placed) → FormShow (the
//   deferred start is posted) → WMDeferredStart (hide when Minimized, Start
//   when Active) → ... → actExitExecute → FormClose (true: close) →
//   FormDestroy (position and settings saved, server shut down) → delete.
//
// Its pieces. The application coordinates these, each in a file of its own:
//   TSettingsKeeper   the settings file: read, read again, saved;
//   TRequestHandler   everything a worker runs for a request (the routes,
//                     the password gate, the access log line);
//   TStatusPresenter  the texts of the window, the tray hint and the
//                     headless lines;
//   TAddressWatch     the network's addresses and the URLs they give.
//
// Threads. Everything runs on the main thread (the thread that pumps the
// main queue, platform/synchronize.h) except the server's worker events
// HTTPServerPreRequest, HTTPServerGetResponse and HTTPServerFreeResponse,
// which run on the connections' workers, several at once. Workers never
// read the settings record itself: each request takes one immutable copy
// (SettingsSnapshot, published by the main thread whenever the settings
// change) and reads only that, so one request sees one consistent set of
// values. The last request is guarded by the application lock.
//
// The settings file. Values the user edits in the file while the program
// runs are noticed once the file is finished (closed after writing or
// renamed into place: inotify on the file's folder; a SIGHUP runner calls
// ReloadSettings too) and applied as the setup dialog's OK applies its
// values; a key the file lacks keeps the value in use. A change that lets
// more people see more (the password removed, more addresses listened on,
// hidden files served) is warned of in the server log. A save writes only the values the program changed (and
// keys the file lacks), so an edit the program has not seen yet, or a value that is no number, stays in the
// file as written.
//
// First run and problems. A missing published folder, and a start that
// failed, are kept in the display (lProblem) with what to do about them, so
// that the window, the tray icon's hint and the headless runner can say it
// where the user looks.
//
// Figures. The display's figures are refreshed without making a worker wait
// for the main thread: a worker event asks for a refresh, refreshes are
// coalesced, and the main thread runs at most one every kFigureRefreshMs
// while anything changes (and goes on every kFigureRefreshMs while requests
// are in progress), so a view never shows figures older than that. A view
// that shows no figures (headless) costs the workers nothing at all.
//
// Lifetime: made, used and deleted on the main thread; the destructor shuts
// the server down (every worker ended) before anything it uses goes.

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/access_log.h"
#include "app/address_watch.h"
#include "app/app_names.h"
#include "app/dashboard.h"
#include "app/exposure_check.h"
#include "app/folder_watch.h"
#include "app/https_support.h"
#include "app/messages.h"
#include "app/never_served.h"
#include "app/ready_message.h"
#include "app/request_handler.h"
#include "app/settings.h"
#include "app/settings_keeper.h"
#include "app/status_presenter.h"
#include "app/web_server_client.h"
#include "http/http_server.h"
#include "platform/event_queue.h"
#include "platform/log.h"
#include "platform/window_handle.h"
#include "util/date_time.h"

namespace vt {

// How often the access log's path is looked at for a rotated file
// (milliseconds): lines written meanwhile go on to the moved file.
inline constexpr int kAccessLogCheckMs = 1000;

// How long the settings file must be quiet before it is read again
// (milliseconds): an editor's save is several events.
inline constexpr int kSettingsSettleMs = 150;
// The longest a view's figures lag behind the server (milliseconds).
inline constexpr int kFigureRefreshMs = 100;
// How often the live connections are looked at while the server runs
// (milliseconds).
inline constexpr int kConnectionSampleMs = 500;
// How often (seconds of up-time) a made certificate is looked at for its
// end while the server runs.
inline constexpr int kCertificateCheckSeconds = 3600;
// The server log lines the application keeps for a view.
inline constexpr std::size_t kServerLogLines = 500;

// Parts of the display, for IWebServerView::DisplayChanged.
enum TDisplayPart : unsigned {
  dpStatus = 1,        // lStatus, lPort, the picture, actStart, actStop
  dpStatistics = 2,    // lRequestCount, lDataServed, lLastRequest, lConnections
  dpUpTime = 4,        // lUpTime
  dpActions = 8,       // actOpen
  dpExposure = 16,     // Exposure(): a new exposure check report
  dpAddresses = 32,    // Urls()
  dpConnections = 64,  // Connections(): the table and the throughput history
  dpServerLog = 128,   // ServerLogLines()
};

// The answer to the first-run question (IWebServerView::AskFirstRun).
enum class TFirstRunChoice {
  NotAsked,      // the view cannot ask (headless): the program serves as always
  Network,       // share with the devices on the network (ListenOn=all)
  ThisComputer,  // share with this computer only (ListenOn=local)
  NotNow,        // no answer: the server stays stopped until Start
};
struct TFirstRunAnswer {
  TFirstRunChoice Choice = TFirstRunChoice::NotAsked;
  // The folder to share (the one asked about, or another one chosen).
  std::string Folder;
};

// A window's frame in desktop coordinates.
struct TViewBounds {
  int Left = 0;
  int Top = 0;
  int Width = 0;
  int Height = 0;
};

// What the application needs of whatever shows it. Every call comes on the
// main thread.
class IWebServerView {
 public:
  virtual ~IWebServerView() = default;

  // --- The window ---
  virtual void ShowView() = 0;
  // Hides the window into the tray.
  virtual void HideView() = 0;
  virtual bool ViewVisible() const = 0;
  // The window's frame; none for a view without a window (placement is then
  // skipped and the saved position kept as it is).
  virtual std::optional<TViewBounds> ViewBounds() const = 0;
  virtual void MoveView(int left, int top) = 0;
  // Width and height of the desktop's work area.
  virtual TViewBounds DesktopBounds() const = 0;
  // Starts closing the window: the view calls FormClose and closes only when
  // it returns true (then FormDestroy follows and the program ends).
  virtual void CloseView() = 0;

  // --- The display ---
  // True when the view shows the figures; asked once, by SetView. False
  // spares the workers every refresh.
  virtual bool ShowsFigures() const = 0;
  // The parts of Display() that changed (TDisplayPart bits).
  virtual void DisplayChanged(unsigned parts) = 0;

  // --- Messages and dialogs ---
  // An action failed (the server could not start, say); the program goes on.
  virtual void ShowError(const std::string& message) = 0;
  // Asks a yes-or-no question; true for yes. A view that cannot ask says no.
  virtual bool AskYesNo(const std::string& /*question*/) { return false; }
  // True when the view has the setup dialog, so that messages point there;
  // otherwise they point to the command line and the settings file.
  virtual bool HasSetupDialog() const { return true; }
  // The setup dialog over a copy of the settings: true after OK, with the
  // copy changed; false after Cancel.
  virtual bool ShowSetupDialog(TWebServerSettings& settings) = 0;
  virtual void ShowAboutBox() = 0;
  // A new user's first windowed start (no settings file): asks whether to
  // share `folder` with the devices on the network, only with this
  // computer, or another folder. Nothing listens until it is answered. A
  // view that cannot ask answers NotAsked.
  virtual TFirstRunAnswer AskFirstRun(const std::string& /*folder*/) { return {}; }
};

class TWebServerApp {
 public:
  // Makes the server with its design-time values and events; nothing is
  // opened or started yet. Main thread.
  TWebServerApp();
  ~TWebServerApp();
  TWebServerApp(const TWebServerApp&) = delete;
  TWebServerApp& operator=(const TWebServerApp&) = delete;

  // The view told about changes; set before FormCreate (null: none).
  void SetView(IWebServerView* view);
  IWebServerView* View() const { return FView; }

  // The access log's full path; set before FormCreate. Default:
  // DefaultAccessLogFileName() (app/settings_environment.h).
  std::string AccessLogFileName;
  // Settings for this run only (the command line); set before FormCreate.
  // With either, the server starts at the deferred start whatever Active
  // says (and Active is left as it is). A value the user changes in the
  // setup dialog replaces the run's value and is saved.
  TRunOptions RunOptions;
  // What applies to this run and where it came from (RunSettingsLines in
  // app/run_options.h): the runners log them at the start. After
  // FormCreate.
  std::vector<std::string> RunStartLines() const;
  // Bounds of every CGI run; a change reaches connections made afterwards.
  TCGILimits CGILimits;

  // Shortens the server's TimeOut, the request head and body times, the
  // time a client may take no byte of its answer, the TLS handshake's time,
  // and the CGI bounds
  // to `ms` where they are longer. The constructor calls it with the value
  // of kMaxWaitVariable when that is a positive number.
  void CapTimeOuts(std::int32_t ms);

  // --- Components ---
  // The server: ApplicationName "Veltrana", ApplicationVersion "1.0",
  // ListenPort "80", MaxBacklog SOMAXCONN (the system's limit, 4096 on
  // current Linux), MaxClients 64; its log goes to ServerLog.
  TFinalServer<TvtHTTPServer> HTTPServer;
  // Receives the server's log lines, with the control bytes of request text
  // escaped (EscapeLogText); a view decides where they go (Options, events).
  TLog ServerLog;
  // Ticks once a second while the server runs.
  TfndTimerHandle tUpTime;

  // --- State (main thread) ---
  const TWebServerSettings& Settings() const { return FSettings; }
  // Replaces the settings record and publishes it to the workers.
  void SetSettings(const TWebServerSettings& settings);
  // The settings as the workers see them; any thread. Never null after
  // construction.
  std::shared_ptr<const TWebServerSettings> SettingsSnapshot() const;
  // Reads the settings file again and applies the values changed in it as
  // the setup dialog's OK does (throttling at once, a port at the next
  // Start), reporting values that are no numbers. Does nothing when the
  // file is as the program last read or wrote it, unless `always`.
  void ReloadSettings(bool always = false);
  // Publishes `folder` (the window's offer to choose one): PubDir set,
  // applied and saved.
  void ChoosePublishedDirectory(const std::string& folder);
  // Makes the missing published folder (the window's offer to create it),
  // with the folders above it. False, with the view's ShowError told why,
  // when that failed.
  bool CreatePublishedDirectory();
  // Turns folder listings on (the Share page's offer when visitors would
  // need exact addresses): applied and saved.
  void TurnListingsOn();
  // The settings file was not there at the start: a new user.
  bool NewUser() const { return FKeeper.NewUser(); }
  // The notification the window shows the first time its close box hides
  // it into the tray (CloseNoticeText), remembered in the settings
  // (CloseNoticeShown) so that it is said once; none after that.
  std::optional<std::string> TakeCloseNotice();
  // HTTPS as it runs, told by whoever runs it: its port (empty while HTTPS
  // does not serve) and its certificate's fingerprint (empty: not known).
  // The exposure check and the Share page's QR code use them.
  void SetHttpsState(const std::string& https_port, const std::string& fingerprint);
  const std::string& HttpsPort() const { return FHttpsPort; }
  // Running, stopped, or Error while lProblem holds something.
  TServerState ServerState() const;
  // The tray icon's hint: "Veltrana Web Server — serving ~/Public on
  // http://192.168.1.20:8080 — 3 connections", with the exposure check's
  // warnings after the name ("... — warning: 1 secret-looking file —
  // serving ...": a tray cuts long hints) or, when it has none, "— exposure
  // check: nothing to warn about" at the end; "... — stopped", or the
  // problem. UTF-8.
  std::string StatusHint() const;
  const TStatusDisplay& Display() const { return FPresenter.Display(); }
  // The file the settings live in; empty before FormCreate.
  std::string SettingsFileName() const;
  bool ExitRequested() const { return FExitRequested; }
  // Starts that failed (the error was reported): a headless run, which no
  // one can tell to try again, ends after its start failed.
  int FailedStarts() const { return FFailedStarts; }
  // Any thread.
  std::string LastRequest() const;

  // --- The dashboard (main thread) ---
  // The URLs that reach the server while it runs (ServerUrls for its
  // listening address and port); empty while it is stopped. Read again at
  // every status change and whenever the network interfaces change.
  const std::vector<std::string>& Urls() const { return FAddresses.Urls(); }
  // The live connections and the throughput of the last minutes, looked at
  // every kConnectionSampleMs while the server runs.
  const TConnectionSampler& Connections() const { return FConnections; }
  // Looks at the connections now; the table as text (SIGUSR1 prints it).
  std::string ConnectionTableText();
  // The last kServerLogLines lines of the server's log, stamped with their
  // time ("17:02:11 Stream error: ..."), oldest first.
  const std::deque<std::string>& ServerLogLines() const { return FServerLogLines; }
  // The folder the settings publish.
  std::string PublishedDirectory() const;

  // --- Life cycle ---
  // Opens the settings file, reads the settings, places the window.
  void FormCreate();
  // Each time the window shows: refreshes the display; the first time it
  // also posts the deferred start.
  void FormShow();
  // The deferred start: hides the window when Minimized, starts the server
  // when Active.
  void WMDeferredStart();
  // True: the window may close (Exit was asked for). False: it is hidden
  // into the tray instead.
  bool FormClose();
  // The window was minimised (FormMinimized: Open enabled, Minimized set)
  // or brought back from there by the window manager (FormRestored).
  void FormMinimized();
  void FormRestored();
  // Saves the window's position and the settings, then shuts the server
  // down. False when the settings could not be saved (the view was told).
  bool FormDestroy();

  // --- Actions ---
  // Starts the server. A failure (the port is taken, say) goes to the view's
  // ShowError; the server stays inactive and nothing is saved.
  void actStartExecute();
  void actStopExecute();
  // Shows the window and clears Minimized.
  void actOpenExecute();
  // Asks the view to close; FormClose then lets it.
  void actExitExecute();
  // The setup dialog; after OK the settings are applied and saved.
  void actSetupExecute();
  void actAboutExecute();

  // Port and listening addresses (while inactive) and throttling from the
  // settings into the server.
  void ApplySettings();
  // The URLs that reach the running server (none while inactive).
  std::vector<std::string> ReachingURLs() const;
  // --- HTTPS (main thread) ---
  // The https URLs that reach the running server while its TLS port is
  // listened on (none otherwise): those of ReachingURLs on HTTPSPort.
  std::vector<std::string> HttpsUrls() const;
  // The SHA-256 fingerprint of the certificate HTTPS serves, "AB:CD:...";
  // empty while HTTPS does not serve.
  std::string TlsFingerprint() const;
  // Why HTTPS does not serve although the settings ask for it (a key that
  // does not fit the certificate, say); empty when it serves or is off.
  const std::string& HttpsProblem() const { return FHttpsProblem; }

  // --- The exposure check (app/exposure_check.h) ---
  // Checks the published folder of the settings in use on a worker of its
  // own, bounded in time and entries (one check at a time: asked again
  // while one runs, it runs once more afterwards). A start runs it, and so
  // does any change of the folder, CGI, hidden files, where the server
  // listens, the password, listings, uploads or HTTPS while it runs (setup,
  // the settings file), and a change of the folder's content (TFolderWatch:
  // at most once every kExposureRecheckMs). The report goes to
  // the server log (its summary with log class 1 when it warns) and to the
  // view (dpExposure).
  void StartExposureCheck();
  // The latest report; none before the first check has ended.
  const std::optional<TExposureReport>& Exposure() const { return FExposure; }
  // Writes the settings to their file. False when that failed (the view's
  // ShowError says why; the changes stay pending for the next save).
  bool SaveSettings();

  // --- Display (main thread) ---
  void UpdateStatus();
  void UpdateStatistics();
  void UpdateUpTime();
  void tUpTimeTimer(TTimerHandle& sender);

  // --- The application lock ---
  void Lock() { FRequests.LastRequestLock().lock(); }
  void Unlock() { FRequests.LastRequestLock().unlock(); }

  // --- Server events ---
  std::unique_ptr<TTCPServerClient> HTTPServerCreateClient(ATCPServer& sender);
  void HTTPServerGetResponse(AhttpServer& sender, AhttpServerClient& client);
  void HTTPServerFreeResponse(AhttpServer& sender, AhttpServerClient& client);
  void HTTPServerClientActive(TTCPServerClient& sender);
  void HTTPServerClientRemoved(TTCPServerClient& sender);
  void HTTPServerPreRequest(AhttpServer& sender, AhttpServerClient& client);

 private:
  // Asks for a figures refresh; any thread, never waits.
  void RequestFiguresRefresh();
  void ScheduleFiguresRefresh(std::int64_t last_refresh_ms);
  // Main thread: the coalesced refresh.
  void RefreshFigures();
  std::int32_t HandleMessage(std::uint32_t msg, std::int32_t wParam, std::int32_t lParam, bool& handled);
  void Changed(unsigned parts);
  void ReportError(const std::string& message);
  // Start; `remember`: set Active and save (the Start action), else a start
  // for this run only.
  void StartServer(bool remember);
  // Reads the URLs again; tells the view when they changed.
  void UpdateUrls();
  // While inactive: the TLS port and its certificate from the settings (a
  // made one made or made again as needed); a certificate that cannot serve
  // leaves the TLS port out, said in FHttpsProblem and the log.
  void PrepareHttps();
  // While HTTPS serves a made certificate: makes it again when it nears its
  // end or the addresses changed, and serves the new one from then on.
  void RenewMadeCertificate();
  // The names and addresses a made certificate holds now.
  void CertificateSubjectsNow(std::vector<std::string>& dnsNames,
                              std::vector<std::string>& ipAddresses) const;
  // Main thread: a look at the connections for the view.
  void SampleConnections();
  // Where the user changes the port, for messages.
  std::string WhereToChangePort() const;
  // The friendly text of a start that failed with the system error `error`
  // (an errno value; 0: none known), or empty.
  std::string StartFailureText(int error) const;
  // What the status texts say now.
  TStatusFacts StatusFacts() const;
  // Looks at the published folder again; true when its state changed.
  bool CheckPubDirState();
  // Main thread: takes the report of the check that has ended.
  void ExposureChecked();
  // The first-run question's answer into the settings (saved).
  void TakeFirstRunAnswer(const TFirstRunAnswer& answer);

  IWebServerView* FView = nullptr;
  TWebServerSettings FSettings;
  TSettingsKeeper FKeeper;
  // Everything the workers run; it holds the settings they see.
  TRequestHandler FRequests;
  TStatusPresenter FPresenter;
  TAddressWatch FAddresses{HTTPServer};
  TConnectionSampler FConnections;
  std::deque<std::string> FServerLogLines;
  // The published folder was missing at the last look.
  bool FPubDirMissing = false;
  // The friendly text of the last failed start, until the next start, Stop
  // or change of settings.
  std::string FStartProblem;
  // HttpsProblem; the context HTTPS serves (null: none).
  std::string FHttpsProblem;
  std::shared_ptr<const TTlsContext> FTlsContext;
  // Seconds of up-time until the made certificate is looked at again.
  int FCertificateCheckIn = 0;
  // Files no request gets, wherever they lie: the settings file and the
  // access log. Set by FormCreate, before the server can start; refreshed
  // when the settings are saved or read again, when the access log is
  // opened, and once a second while the server runs.
  std::unique_ptr<TNeverServed> FNeverServed;
  std::unique_ptr<TAccessLog> FAccessLog;
  bool FSettingsLoaded = false;
  bool FFirstShow = false;
  bool FExitRequested = false;
  int FFailedStarts = 0;
  // The application's own window: the deferred start and the refreshes.
  TWindowHandle FHandle;

  // The exposure check: its worker, the report it leaves (guarded by
  // FCheckLock), whether to run again, and the flag that ends it early.
  std::thread FCheckThread;
  std::mutex FCheckLock;
  std::optional<TExposureReport> FCheckResult;
  bool FCheckAgain = false;
  std::atomic<bool> FCheckCancel{false};
  std::optional<TExposureReport> FExposure;
  // The folders the last check walked, watched for changes while the server
  // runs; a change arms kExposureRecheckTimerId once.
  TFolderWatch FFolderWatch;
  bool FRecheckArmed = false;
  // HTTPS as it runs (SetHttpsState).
  std::string FHttpsPort;
  std::string FHttpsFingerprint;
  // "Data served" as shown: finished answers and the bytes of those in
  // progress (UpdateStatistics).
  std::int64_t FShownDataServed = 0;

  // Set once by SetView, before any worker runs; a relaxed load is all a
  // worker event pays to learn that no one wants figures.
  std::atomic<bool> figures_wanted_{false};
  std::atomic<bool> refresh_pending_{false};
  std::atomic<std::int64_t> last_refresh_ms_{0};
};

}  // namespace vt
