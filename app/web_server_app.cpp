#include "app/web_server_app.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "app/listen_on.h"
#include "app/log_line.h"
#include "app/settings_environment.h"
#include "platform/ini_file.h"
#include "platform/registry.h"
#include "tcpserver/tcp_server.h"
#include "util/text.h"

namespace vt {

namespace {

std::string FolderOf(const std::string& path) { return path.substr(0, path.rfind('/') + 1); }

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

// ---------------------------------------------------------------------------

TWebServerApp::TWebServerApp() {
  AccessLogFileName = DefaultAccessLogFileName();

  HTTPServer.SetApplicationName(kApplicationName);
  HTTPServer.SetApplicationVersion(kApplicationVersion);
  HTTPServer.SetListenPort("80");
  // As many waiting connections as the system allows: with a queue of 16, a
  // burst of clients connecting at once (64 browsers' or a load tester's
  // connections while MaxClients holds the rest back) lost handshakes, which
  // the clients then retried only after a second.
  HTTPServer.SetMaxBacklog(SOMAXCONN);
  HTTPServer.SetMaxClients(64);
  HTTPServer.SetLogTo(&ServerLog);
  HTTPServer.OnCreateClient = [this](ATCPServer& sender) { return HTTPServerCreateClient(sender); };
  HTTPServer.OnGetResponse = [this](AhttpServer& sender, AhttpServerClient& client) {
    HTTPServerGetResponse(sender, client);
  };
  HTTPServer.OnFreeResponse = [this](AhttpServer& sender, AhttpServerClient& client) {
    HTTPServerFreeResponse(sender, client);
  };
  HTTPServer.OnRequestHeader = [this](AhttpServer&, AhttpServerClient& client) {
    FRequests.RequestHeader(client);
  };
  HTTPServer.OnRequestRefused = [this](AhttpServer&, AhttpServerClient& client) {
    FRequests.RequestRefused(client);
  };
  HTTPServer.OnClientActive = [this](TTCPServerClient& sender) { HTTPServerClientActive(sender); };
  HTTPServer.OnClientRemoved = [this](TTCPServerClient& sender) { HTTPServerClientRemoved(sender); };
  HTTPServer.OnPreRequest = [this](AhttpServer& sender, AhttpServerClient& client) {
    HTTPServerPreRequest(sender, client);
  };

  // Request text (a decoded URI may hold CR, LF or ESC) must never break a
  // log line or reach a terminal as control sequences.
  // The window's log view keeps the last lines.
  ServerLog.OnEditMessage = [this](TComponent*, int, std::string& message) {
    message = EscapeLogText(message);
    const TDateTimeParts now = DecodeDateTime(NowLocal());
    char stamp[16];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d ", now.hour % 100, now.minute % 100, now.second % 100);
    FServerLogLines.push_back(stamp + message);
    if (FServerLogLines.size() > kServerLogLines) FServerLogLines.pop_front();
    Changed(dpServerLog);
  };

  tUpTime.OnTimer = [this](TTimerHandle& sender) { tUpTimeTimer(sender); };
  FHandle.OnMessage = [this](std::uint32_t msg, std::int32_t wParam, std::int32_t lParam, bool& handled) {
    return HandleMessage(msg, wParam, lParam, handled);
  };
  FHandle.OnException = [this](TWindowHandle&, const Exception& error) { ReportError(error.Message()); };
  FKeeper.OnError = [this](const std::string& message) { ReportError(message); };

  if (const char* cap = std::getenv(kMaxWaitVariable)) {
    std::int32_t ms = 0;
    if (TIniFile::ParseInteger(cap, ms) && ms > 0) CapTimeOuts(ms);
  }
}

void TWebServerApp::CapTimeOuts(std::int32_t ms) {
  if (ms <= 0) return;
  // A bound of 0 (TimeOut) or below (the CGI bounds) is none at all.
  const auto cap = [ms](std::int32_t value, std::int32_t none) {
    return value <= none ? ms : std::min(value, ms);
  };
  HTTPServer.SetTimeOut(cap(HTTPServer.TimeOut(), 0));
  HTTPServer.Limits.RequestHeadTime =
      std::min(HTTPServer.Limits.RequestHeadTime, static_cast<std::uint32_t>(ms));
  HTTPServer.Limits.RequestBodyTime =
      std::min(HTTPServer.Limits.RequestBodyTime, static_cast<std::uint32_t>(ms));
  HTTPServer.Limits.SendStallTime = cap(HTTPServer.Limits.SendStallTime, -1);
  HTTPServer.TlsHandshakeTime = cap(HTTPServer.TlsHandshakeTime, 0);
  CGILimits.TimeOut = cap(CGILimits.TimeOut, -1);
  CGILimits.RunTimeOut = cap(CGILimits.RunTimeOut, -1);
}

TWebServerApp::~TWebServerApp() {
  // No worker may run while the lock, the settings and the log go away.
  HTTPServer.Shutdown();
  FKeeper.StopWatching();
  FFolderWatch.Stop();
  FCheckCancel.store(true, std::memory_order_relaxed);
  if (FCheckThread.joinable()) FCheckThread.join();
  FAddresses.Stop();
}

void TWebServerApp::SetView(IWebServerView* view) {
  FView = view;
  figures_wanted_.store(view && view->ShowsFigures(), std::memory_order_relaxed);
}

void TWebServerApp::SetSettings(const TWebServerSettings& settings) {
  const bool hash_changed = settings.AuthPasswordHash != FSettings.AuthPasswordHash;
  // Whatever the exposure check's report says: the folder and what it
  // serves, who can connect, and what a visitor meets.
  bool exposure_changed = false;
  for (const char* key :
       {"PubDir", "ExecEXEAsCGI", "ServeHiddenFiles", "ListenOn", "AuthUser", "AuthPasswordHash",
        "ListFolders", "AllowUploads", "UploadFolder", "MaxUploadSize", "HTTPS"})
    exposure_changed = exposure_changed || SettingText(settings, key) != SettingText(FSettings, key);
  FSettings = settings;
  FRequests.Publish(settings);
  if (hash_changed && !settings.AuthPasswordHash.empty() && !IsPasswordHash(settings.AuthPasswordHash))
    ReportError(
        "AuthPasswordHash in the settings is no password hash made by this program: every request is "
        "refused until a password is set again in Setup (or the key is removed).");
  if (exposure_changed && HTTPServer.Active()) StartExposureCheck();
}

std::shared_ptr<const TWebServerSettings> TWebServerApp::SettingsSnapshot() const {
  return FRequests.Settings();
}

std::string TWebServerApp::SettingsFileName() const { return FKeeper.FileName(); }

std::vector<std::string> TWebServerApp::RunStartLines() const {
  return RunSettingsLines(FKeeper.FileSettings(), FSettings, RunOptions, SettingsFileName());
}

std::string TWebServerApp::LastRequest() const { return FRequests.LastRequest(); }

void TWebServerApp::Changed(unsigned parts) {
  if (FView) FView->DisplayChanged(parts);
}

void TWebServerApp::ReportError(const std::string& message) {
  if (FView) FView->ShowError(message);
}

// --- Life cycle -------------------------------------------------------------

void TWebServerApp::FormCreate() {
  const TWebServerSettings loaded = FKeeper.Open(RunOptions);
  FNeverServed =
      std::make_unique<TNeverServed>(std::vector<std::string>{FKeeper.FileName(), AccessLogFileName});
  FNeverServed->Refresh();
  FAccessLog = std::make_unique<TAccessLog>(AccessLogFileName, std::chrono::milliseconds(kAccessLogCheckMs));
  // A new log file is a new identity to refuse.
  FAccessLog->OnOpened = [this] { FNeverServed->Refresh(); };
  FRequests.Attach(FNeverServed.get(), FAccessLog.get());
  SetSettings(loaded);
  FSettingsLoaded = true;

  // The windows of the main thread: the deferred start, the refreshes and
  // the up-time ticks arrive there.
  FHandle.GetHandle();
  tUpTime.GetHandle();
  FKeeper.Watch(FHandle.GetHandle());
  FAddresses.Watch(FHandle.GetHandle());

  if (FView) {
    if (const std::optional<TViewBounds> bounds = FView->ViewBounds()) {
      const TViewBounds desktop = FView->DesktopBounds();
      if (FSettings.FormX < 0 || FSettings.FormY < 0) {
        FView->MoveView((desktop.Width - bounds->Width) / 2, (desktop.Height - bounds->Height) / 2);
      } else {
        FView->MoveView(std::min(FSettings.FormX, desktop.Width - bounds->Width),
                        std::min(FSettings.FormY, desktop.Height - bounds->Height));
      }
    }
  }
  FFirstShow = true;
}

void TWebServerApp::FormShow() {
  UpdateStatus();
  if (FFirstShow) {
    FFirstShow = false;
    PostMessage(FHandle.Handle(), kDeferredStartMessage, 0, 0);
  }
  FPresenter.SetOpenEnabled(false);
  Changed(dpActions);
}

void TWebServerApp::WMDeferredStart() {
  if (!FSettingsLoaded) return;
  // A new user's first windowed start asks before anything listens; a
  // folder on the command line is consent enough (a port alone says nothing
  // of what to share), and so is a run without windows (the view cannot
  // ask).
  bool not_now = false;
  if (FKeeper.NewUser() && FView && !RunOptions.PubDir) {
    const TFirstRunAnswer answer = FView->AskFirstRun(PublishedDirectory());
    if (answer.Choice != TFirstRunChoice::NotAsked) TakeFirstRunAnswer(answer);
    not_now = answer.Choice == TFirstRunChoice::NotNow;
  }
  if (FSettings.Minimized) {
    FPresenter.SetOpenEnabled(true);
    Changed(dpActions);
    if (FView) FView->HideView();
  }
  if (FSettings.Active) {
    actStartExecute();
  } else if (RunOptions.AsksToServe() && !not_now) {
    StartServer(false);  // asked for on the command line: this run only
  }
}

bool TWebServerApp::FormClose() {
  if (FExitRequested) return true;
  FormMinimized();
  if (FView) FView->HideView();
  return false;
}

void TWebServerApp::TakeFirstRunAnswer(const TFirstRunAnswer& answer) {
  TWebServerSettings settings = FSettings;
  if (!answer.Folder.empty()) settings.PubDir = answer.Folder;
  switch (answer.Choice) {
    case TFirstRunChoice::Network:
      settings.ListenOn = kListenOnEvery;
      break;
    case TFirstRunChoice::ThisComputer:
      settings.ListenOn = kListenOnLocal;
      break;
    case TFirstRunChoice::NotAsked:
    case TFirstRunChoice::NotNow:
      break;
  }
  settings.Active =
      answer.Choice == TFirstRunChoice::Network || answer.Choice == TFirstRunChoice::ThisComputer;
  SetSettings(settings);
  ApplySettings();
  // The folder asked about is the user's to share: made when it is not
  // there yet (~/Public is missing on many a new account).
  if (settings.Active && !DirectoryExists(PublishedDirectory())) {
    std::error_code error;
    std::filesystem::create_directories(PublishedDirectory(), error);
  }
  // The answer is kept: the question is asked once.
  SaveSettings();
  UpdateStatus();
}

void TWebServerApp::FormMinimized() {
  FPresenter.SetOpenEnabled(true);
  Changed(dpActions);
  FSettings.Minimized = true;
}

void TWebServerApp::FormRestored() {
  FPresenter.SetOpenEnabled(false);
  Changed(dpActions);
  FSettings.Minimized = false;
}

bool TWebServerApp::FormDestroy() {
  bool saved = true;
  if (FSettingsLoaded) {
    // An edit of the file that the watch has not passed on yet is taken in
    // first, so that the save below cannot undo it.
    ReloadSettings();
    if (const std::optional<TViewBounds> bounds = FView ? FView->ViewBounds() : std::nullopt) {
      FSettings.FormX = std::max(0, bounds->Left);
      FSettings.FormY = std::max(0, bounds->Top);
    }
    saved = SaveSettings();
  }
  FKeeper.StopWatching();
  FAddresses.Stop();
  FFolderWatch.Stop();
  tUpTime.SetTimerActive(false);
  KillTimer(FHandle.Handle(), kConnectionsTimerId);
  HTTPServer.Shutdown();
  FCheckCancel.store(true, std::memory_order_relaxed);
  if (FCheckThread.joinable()) FCheckThread.join();
  FKeeper.Close();
  FSettingsLoaded = false;
  return saved;
}

// --- The settings file --------------------------------------------------------

void TWebServerApp::ReloadSettings(bool always) {
  if (!FSettingsLoaded || !FKeeper.IsOpen()) return;
  // Whoever wrote the file may have made it anew.
  FNeverServed->Refresh();
  std::string list;
  const std::optional<TWebServerSettings> changed = FKeeper.Reload(always, FSettings, RunOptions, list);
  if (!changed) return;
  const TWebServerSettings& settings = *changed;
  const bool port_changed = settings.Port != FSettings.Port;
  // Whoever edits the file may not be whoever runs the server: a change that
  // shows more to more people is said in words of its own.
  const std::vector<std::string> warnings = WideningWarnings(FSettings, settings, HTTPServer.Active());
  FStartProblem.clear();
  SetSettings(settings);
  ApplySettings();
  ServerLog.Log(nullptr, 0, "Settings changed in " + FKeeper.FileName() + ": " + list);
  for (const std::string& warning : warnings) ServerLog.Log(nullptr, 1, "Warning: " + warning);
  if (port_changed && HTTPServer.Active())
    ServerLog.Log(nullptr, 0, "Port " + std::to_string(FSettings.Port) + " applies at the next Start");
  UpdateStatus();
}

void TWebServerApp::ChoosePublishedDirectory(const std::string& folder) {
  TWebServerSettings settings = FSettings;
  settings.PubDir = folder;
  RunOptions.Forget("PubDir");
  SetSettings(settings);
  ApplySettings();
  SaveSettings();
  UpdateStatus();
}

bool TWebServerApp::CreatePublishedDirectory() {
  const std::string folder = PublishedDirectory();
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error && !DirectoryExists(folder)) {
    ReportError("The folder " + folder + " could not be made: " + error.message());
    return false;
  }
  ServerLog.Log(nullptr, 0, "Published folder " + folder + " made");
  UpdateStatus();
  return true;
}

void TWebServerApp::TurnListingsOn() {
  TWebServerSettings settings = FSettings;
  settings.ListFolders = true;
  SetSettings(settings);
  ApplySettings();
  SaveSettings();
  UpdateStatus();
}

std::optional<std::string> TWebServerApp::TakeCloseNotice() {
  if (FSettings.CloseNoticeShown) return std::nullopt;
  FSettings.CloseNoticeShown = true;
  SaveSettings();
  return CloseNoticeText(PublishedDirectory(), HTTPServer.Active());
}

void TWebServerApp::SetHttpsState(const std::string& https_port, const std::string& fingerprint) {
  if (https_port == FHttpsPort && fingerprint == FHttpsFingerprint) return;
  FHttpsPort = https_port;
  FHttpsFingerprint = fingerprint;
  Changed(dpAddresses);
  if (HTTPServer.Active()) StartExposureCheck();
}

// --- Actions ----------------------------------------------------------------

std::string TWebServerApp::WhereToChangePort() const {
  if (!FView || FView->HasSetupDialog()) return "in Setup \u2192 Network";
  return "(--port N, or Port= in " + SettingsFileName() + ")";
}

std::string TWebServerApp::StartFailureText(int error) const {
  const std::string port = HTTPServer.ListenPort();
  const std::int32_t number = TextToIntOr(port, 0);
  if ((error == EACCES || error == EPERM) && number > 0 && number < 1024)
    return "Port " + port + " needs administrator rights on Linux: choose a port from 1024 up " +
           WhereToChangePort();
  if (error == EADDRINUSE) {
    std::string holder;
    if (number > 0 && number <= 65535) {
      if (const std::optional<TPortHolder> found = FindPortHolder(static_cast<std::uint16_t>(number))) {
        holder = " (pid " + std::to_string(found->pid);
        if (!found->name.empty()) holder += ", " + found->name;
        holder += ")";
      }
    }
    return "Port " + port + " is used by another program" + holder + ": choose another port " +
           WhereToChangePort();
  }
  return std::string();
}

void TWebServerApp::actStartExecute() { StartServer(true); }

void TWebServerApp::StartServer(bool remember) {
  try {
    ApplySettings();
    // The server logs the failure itself; it is reported once, below.
    const TLogOptions options = ServerLog.Options;
    ServerLog.Options |= loHideClass1;
    try {
      HTTPServer.SetActive(true);
    } catch (...) {
      ServerLog.Options = options;
      throw;
    }
    ServerLog.Options = options;
  } catch (const Exception& error) {
    const auto* server_error = dynamic_cast<const ETCPServer*>(&error);
    FStartProblem = StartFailureText(server_error ? server_error->Errno() : 0);
    ++FFailedStarts;
    UpdateStatus();
    ReportError(FStartProblem.empty() ? error.Message() : FStartProblem + " (" + error.Message() + ")");
    return;
  }
  FStartProblem.clear();
  const std::uint16_t tls_port = HTTPServer.TlsListening() && !HTTPServer.TlsListeningAddresses().empty()
                                     ? HTTPServer.TlsListeningAddresses().front().Port()
                                     : 0;
  FRequests.SetHttpsPort(tls_port);
  // The Share page, the QR code and the exposure report tell it.
  SetHttpsState(tls_port != 0 ? std::to_string(tls_port) : std::string(), TlsFingerprint());
  if (FSettings.HTTPS && !HTTPServer.TlsListening() && FHttpsProblem.empty())
    FHttpsProblem = "HTTPS is not served: port " + HTTPServer.TlsPort() + " cannot be listened on";
  if (!FHttpsProblem.empty() && FView) FView->ShowError(FHttpsProblem);
  UpdateUrls();  // says where it can be reached
  StartExposureCheck();
  tUpTime.TimerInterval = 1000;
  tUpTime.SetTimerActive(true);
  FConnections.Reset(HTTPServer.RequestCount.load(std::memory_order_relaxed), IdleClockMs());
  SetTimer(FHandle.Handle(), kConnectionsTimerId, kConnectionSampleMs);
  if (remember) FSettings.Active = true;
  UpdateStatus();
  if (remember) SaveSettings();
}

void TWebServerApp::actStopExecute() {
  tUpTime.SetTimerActive(false);
  KillTimer(FHandle.Handle(), kConnectionsTimerId);
  HTTPServer.SetActive(false);
  FRequests.SetHttpsPort(0);
  SetHttpsState(std::string(), std::string());
  FConnections.Reset(HTTPServer.RequestCount.load(std::memory_order_relaxed), IdleClockMs());
  Changed(dpConnections);
  FSettings.Active = false;
  FStartProblem.clear();
  FRequests.ClearLastRequest();
  FFolderWatch.Stop();
  UpdateStatus();
  SaveSettings();
}

void TWebServerApp::actOpenExecute() {
  if (FView) FView->ShowView();
  FSettings.Minimized = false;
}

void TWebServerApp::actExitExecute() {
  FExitRequested = true;
  if (FView) FView->CloseView();
}

void TWebServerApp::actSetupExecute() {
  if (!FView) return;
  const TWebServerSettings before = FSettings;
  TWebServerSettings dialog = FSettings;
  if (!FView->ShowSetupDialog(dialog)) return;
  // Only what the dialog changed: the file may have brought other values in
  // while it was open.
  TWebServerSettings settings = FSettings;
  for (const std::string& key : ChangedSettings(before, dialog)) {
    CopySetting(settings, dialog, key);
    RunOptions.Forget(key);
  }
  const bool port_changed = settings.Port != FSettings.Port;
  FStartProblem.clear();
  SetSettings(settings);
  ApplySettings();
  SaveSettings();
  UpdateStatus();
  if (port_changed && HTTPServer.Active() &&
      FView->AskYesNo(RestartQuestion(HTTPServer.ListenPort(), FSettings.Port,
                                      HTTPServer.ActiveRequests.load(std::memory_order_relaxed)))) {
    actStopExecute();
    actStartExecute();
  }
}

void TWebServerApp::actAboutExecute() {
  if (FView) FView->ShowAboutBox();
}

void TWebServerApp::ApplySettings() {
  if (!HTTPServer.Active()) {
    HTTPServer.SetListenPort(FSettings.Port < 1 ? std::string("80") : std::to_string(FSettings.Port));
    HTTPServer.SetLocalHosts(ListenHostsOf(FSettings.ListenOn));
    PrepareHttps();
  }
  const bool throttle = FSettings.Throttle && FSettings.ThrottleRate > 0;
  HTTPServer.SetThrottleClientWrite(throttle);
  HTTPServer.SetThrottleClientWriteRate(throttle ? FSettings.ThrottleRate : 0);
  // A log that is switched off keeps no file open either; one that is on
  // gets its folder (~/.local/state/veltrana on a first run).
  if (!FSettings.LogToFile && FAccessLog) FAccessLog->Close();
  if (FSettings.LogToFile) {
    std::error_code ignored;
    std::filesystem::create_directories(FolderOf(AccessLogFileName), ignored);
  }
}

std::vector<std::string> TWebServerApp::ReachingURLs() const { return FAddresses.ReachingURLs(); }

std::vector<std::string> TWebServerApp::HttpsUrls() const {
  const std::vector<TSocketAddress> listening = HTTPServer.TlsListeningAddresses();
  if (listening.empty()) return {};
  return HttpsUrlsOf(FAddresses.ReachingURLs(), listening.front().Port());
}

std::string TWebServerApp::TlsFingerprint() const {
  return HTTPServer.Active() && HTTPServer.TlsListening() && FTlsContext ? FTlsContext->Fingerprint()
                                                                         : std::string();
}

void TWebServerApp::CertificateSubjectsNow(std::vector<std::string>& dnsNames,
                                           std::vector<std::string>& ipAddresses) const {
  std::string host;
  try {
    host = LocalHostName();
  } catch (const Exception&) {
    // No name: the certificate names localhost and the addresses.
  }
  CertificateSubjects(ListenHostsOf(FSettings.ListenOn), LocalInterfaceAddresses(), host, dnsNames,
                      ipAddresses);
}

void TWebServerApp::PrepareHttps() {
  FHttpsProblem.clear();
  FTlsContext.reset();
  if (!FSettings.HTTPS) {
    HTTPServer.SetTlsPort(std::string(), nullptr);
    return;
  }
  std::vector<std::string> dns_names;
  std::vector<std::string> ip_addresses;
  CertificateSubjectsNow(dns_names, ip_addresses);
  try {
    std::string note;
    std::shared_ptr<TTlsContext> context =
        LoadTlsContext(FSettings, TlsDirectory(), dns_names, ip_addresses, note);
    if (!note.empty()) ServerLog.Log(nullptr, 0, note + " in " + TlsDirectory());
    ServerLog.Log(nullptr, 0, "HTTPS certificate fingerprint (SHA-256): " + context->Fingerprint());
    FTlsContext = context;
    HTTPServer.SetTlsPort(std::to_string(FSettings.HTTPSPort), std::move(context));
  } catch (const Exception& error) {
    // The plain port serves all the same; the user is told why HTTPS does
    // not.
    FHttpsProblem = "HTTPS is not served: " + error.Message();
    ServerLog.Log(nullptr, 1, FHttpsProblem);
    HTTPServer.SetTlsPort(std::string(), nullptr);
  }
  FCertificateCheckIn = kCertificateCheckSeconds;
}

void TWebServerApp::RenewMadeCertificate() {
  if (!HTTPServer.Active() || !HTTPServer.TlsListening() || !FSettings.CertificateFile.empty() ||
      !FSettings.KeyFile.empty())
    return;
  std::vector<std::string> dns_names;
  std::vector<std::string> ip_addresses;
  CertificateSubjectsNow(dns_names, ip_addresses);
  try {
    std::string note;
    EnsureMadeCertificate(TlsDirectory(), dns_names, ip_addresses, std::time(nullptr), note);
    if (note.empty()) return;
    auto context = std::make_shared<TTlsContext>(TlsDirectory() + "/cert.pem", TlsDirectory() + "/key.pem");
    ServerLog.Log(nullptr, 0, note + "; its fingerprint (SHA-256): " + context->Fingerprint());
    FTlsContext = context;
    HTTPServer.ReplaceTlsContext(std::move(context));
    SetHttpsState(FHttpsPort, TlsFingerprint());
    Changed(dpAddresses);
  } catch (const Exception& error) {
    ServerLog.Log(nullptr, 1, "The HTTPS certificate could not be made again: " + error.Message());
  }
}

void TWebServerApp::StartExposureCheck() {
  if (FCheckThread.joinable()) {
    FCheckAgain = true;
    return;
  }
  FCheckAgain = false;
  TExposureOptions options = ExposureOptionsOf(FSettings);
  options.HttpsFingerprint = FHttpsFingerprint;
  if (FNeverServed) options.NeverServed = FNeverServed->Paths();
  options.Cancel = &FCheckCancel;
  const HWindow window = FHandle.GetHandle();
  FCheckThread = std::thread([this, options = std::move(options), window] {
    TExposureReport report = CheckExposure(options);
    {
      std::lock_guard lock(FCheckLock);
      FCheckResult = std::move(report);
    }
    PostMessage(window, kExposureCheckedMessage, 0, 0);
  });
}

void TWebServerApp::ExposureChecked() {
  if (!FCheckThread.joinable()) return;
  FCheckThread.join();
  {
    std::lock_guard lock(FCheckLock);
    FExposure = std::move(FCheckResult);
    FCheckResult.reset();
  }
  if (FExposure) {
    const std::vector<std::string> details = FExposure->Details();
    HTTPServer.Log(FExposure->Warns() ? 1 : 0, "Exposure check: " + details.front());
    for (std::size_t i = 1; i < details.size(); ++i) HTTPServer.Log(0, "  " + details[i]);
    FPresenter.SetExposure(*FExposure);
    Changed(dpExposure);
    // Its content changing is a reason to look again, while the server runs.
    if (HTTPServer.Active()) {
      FFolderWatch.Watch(FHandle.GetHandle(), kPublishedFolderMessage, FExposure->Folders);
    } else {
      FFolderWatch.Stop();
    }
  }
  if (FCheckAgain) StartExposureCheck();
}

bool TWebServerApp::SaveSettings() {
  if (!FKeeper.Save(FSettings, RunOptions)) return false;
  FNeverServed->Refresh();  // a save may have made the file anew
  return true;
}

// --- Display ----------------------------------------------------------------

TStatusFacts TWebServerApp::StatusFacts() const {
  TStatusFacts facts;
  facts.active = HTTPServer.Active();
  facts.listen_port = HTTPServer.ListenPort();
  facts.settings_port = FSettings.Port;
  facts.published_folder = PublishedDirectoryOf(FSettings.PubDir);
  facts.pub_dir_missing = FPubDirMissing;
  facts.start_problem = FStartProblem;
  facts.has_setup_dialog = !FView || FView->HasSetupDialog();
  facts.settings_file_name = SettingsFileName();
  return facts;
}

void TWebServerApp::UpdateStatus() {
  CheckPubDirState();
  // A folder problem is said once where the log goes (standard error),
  // whatever the view.
  if (const std::optional<std::string> told = FPresenter.SetStatus(StatusFacts()))
    ServerLog.Log(nullptr, 1, "Warning: " + *told);
  Changed(dpStatus);
  UpdateUrls();
  UpdateStatistics();
  UpdateUpTime();
}

bool TWebServerApp::CheckPubDirState() {
  const bool missing = !DirectoryExists(PublishedDirectoryOf(FSettings.PubDir));
  const bool changed = missing != FPubDirMissing;
  FPubDirMissing = missing;
  // A folder that comes (or goes) is another folder to check.
  if (changed && HTTPServer.Active()) StartExposureCheck();
  return changed;
}

TServerState TWebServerApp::ServerState() const { return FPresenter.State(HTTPServer.Active()); }

std::string TWebServerApp::StatusHint() const {
  const TStatusFacts facts = StatusFacts();
  // The URLs are read only for a hint that names one.
  const bool serving = facts.active && facts.start_problem.empty() && !facts.pub_dir_missing;
  return FPresenter.Hint(facts, serving ? ReachingURLs() : std::vector<std::string>(),
                         HTTPServer.ClientCount(), FExposure);
}

void TWebServerApp::UpdateStatistics() {
  // The server counts an answer when it ends; a long download counts as it
  // goes. As an answer ends, a look may find its bytes in both for a
  // moment: while answers are in progress the figure shown never goes back,
  // and once none is it is the server's count again.
  const std::int64_t finished = HTTPServer.DataServed.load(std::memory_order_relaxed);
  if (HTTPServer.Active() && HTTPServer.ActiveRequests.load(std::memory_order_relaxed) > 0) {
    FShownDataServed = std::max(FShownDataServed, finished + BytesInFlight(HTTPServer));
  } else {
    FShownDataServed = finished;
  }
  FPresenter.SetStatistics(HTTPServer.Active(), HTTPServer.RequestCount.load(std::memory_order_relaxed),
                           FShownDataServed, LastRequest(), HTTPServer.ClientCount(),
                           HTTPServer.ActiveRequests.load(std::memory_order_relaxed));
  Changed(dpStatistics);
}

void TWebServerApp::UpdateUpTime() {
  FPresenter.SetUpTime(HTTPServer.Active(), HTTPServer.UpTime());
  Changed(dpUpTime);
}

void TWebServerApp::tUpTimeTimer(TTimerHandle&) {
  // A settings file or log put in place by someone else is known within a
  // tick.
  if (FNeverServed) FNeverServed->Refresh();
  // A made certificate is made again well before it ends, however long the
  // server runs.
  if (--FCertificateCheckIn <= 0) {
    FCertificateCheckIn = kCertificateCheckSeconds;
    RenewMadeCertificate();
  }
  // The published folder may come or go while the server runs: the display
  // follows within a tick.
  if (CheckPubDirState()) {
    UpdateStatus();
  } else {
    UpdateUpTime();
  }
}

void TWebServerApp::RequestFiguresRefresh() {
  if (!figures_wanted_.load(std::memory_order_relaxed)) return;
  if (refresh_pending_.exchange(true, std::memory_order_acq_rel)) return;
  ScheduleFiguresRefresh(last_refresh_ms_.load(std::memory_order_relaxed));
}

void TWebServerApp::ScheduleFiguresRefresh(std::int64_t last_refresh_ms) {
  const HWindow window = FHandle.Handle();
  const std::int64_t wait = last_refresh_ms + kFigureRefreshMs - NowMs();
  const bool scheduled = wait <= 0 ? PostMessage(window, kRefreshFiguresMessage, 0, 0)
                                   : SetTimer(window, kRefreshTimerId, static_cast<std::uint32_t>(wait));
  if (!scheduled) refresh_pending_.store(false, std::memory_order_release);
}

void TWebServerApp::RefreshFigures() {
  KillTimer(FHandle.Handle(), kRefreshTimerId);
  // Cleared before the figures are read: whatever changes from now on asks
  // for a refresh of its own.
  refresh_pending_.store(false, std::memory_order_release);
  last_refresh_ms_.store(NowMs(), std::memory_order_relaxed);
  UpdateStatistics();
  // A request in progress changes the figures without an event of its own
  // (its bytes, its end): look again while any is busy.
  if (HTTPServer.ActiveRequests.load(std::memory_order_relaxed) > 0 &&
      !refresh_pending_.exchange(true, std::memory_order_acq_rel))
    ScheduleFiguresRefresh(last_refresh_ms_.load(std::memory_order_relaxed));
}

std::int32_t TWebServerApp::HandleMessage(std::uint32_t msg, std::int32_t wParam, std::int32_t,
                                          bool& handled) {
  if (msg == kDeferredStartMessage) {
    WMDeferredStart();
  } else if (msg == kExposureCheckedMessage) {
    ExposureChecked();
  } else if (msg == kPublishedFolderMessage) {
    if (FFolderWatch.TakeEvents() && !FRecheckArmed) {
      FRecheckArmed = true;
      SetTimer(FHandle.Handle(), kExposureRecheckTimerId, kExposureRecheckMs);
    }
  } else if (msg == kTimerMessage && static_cast<std::uint32_t>(wParam) == kExposureRecheckTimerId) {
    KillTimer(FHandle.Handle(), kExposureRecheckTimerId);
    FRecheckArmed = false;
    if (HTTPServer.Active()) StartExposureCheck();
  } else if (msg == kSettingsFileMessage) {
    if (FKeeper.TakeEvents()) SetTimer(FHandle.Handle(), kSettingsTimerId, kSettingsSettleMs);
  } else if (msg == kTimerMessage && static_cast<std::uint32_t>(wParam) == kSettingsTimerId) {
    KillTimer(FHandle.Handle(), kSettingsTimerId);
    ReloadSettings();
  } else if (msg == kTimerMessage && static_cast<std::uint32_t>(wParam) == kConnectionsTimerId) {
    SampleConnections();
  } else if (msg == kInterfacesMessage) {
    FAddresses.TakeEvents(FHandle.Handle());
  } else if (msg == kTimerMessage && static_cast<std::uint32_t>(wParam) == kInterfacesTimerId) {
    KillTimer(FHandle.Handle(), kInterfacesTimerId);
    UpdateUrls();
  } else if (msg == kRefreshFiguresMessage ||
             (msg == kTimerMessage && static_cast<std::uint32_t>(wParam) == kRefreshTimerId)) {
    RefreshFigures();
  } else {
    return 0;
  }
  handled = true;
  return 0;
}

// --- The dashboard ----------------------------------------------------------

std::string TWebServerApp::PublishedDirectory() const { return PublishedDirectoryOf(FSettings.PubDir); }

void TWebServerApp::UpdateUrls() {
  if (!FAddresses.Update()) return;
  // A made certificate names every address listened on.
  RenewMadeCertificate();
  Changed(dpAddresses);
}

void TWebServerApp::SampleConnections() {
  FConnections.Sample(HTTPServer, IdleClockMs());
  Changed(dpConnections);
}

std::string TWebServerApp::ConnectionTableText() {
  if (HTTPServer.Active()) SampleConnections();
  return vt::ConnectionTableText(FConnections.Rows());
}

// --- Server events ----------------------------------------------------------

std::unique_ptr<TTCPServerClient> TWebServerApp::HTTPServerCreateClient(ATCPServer& sender) {
  auto client = std::make_unique<TWebServerClient>(sender);
  client->CGILimits = CGILimits;
  return client;
}

void TWebServerApp::HTTPServerGetResponse(AhttpServer&, AhttpServerClient& client) {
  RequestFiguresRefresh();
  FRequests.GetResponse(client);
}

void TWebServerApp::HTTPServerFreeResponse(AhttpServer&, AhttpServerClient& client) {
  RequestFiguresRefresh();
  FRequests.FreeResponse(client);
}

void TWebServerApp::HTTPServerClientActive(TTCPServerClient&) { RequestFiguresRefresh(); }

void TWebServerApp::HTTPServerClientRemoved(TTCPServerClient& sender) {
  FConnections.ClientRemoved(sender);
  RequestFiguresRefresh();
}

void TWebServerApp::HTTPServerPreRequest(AhttpServer&, AhttpServerClient&) { RequestFiguresRefresh(); }

}  // namespace vt
