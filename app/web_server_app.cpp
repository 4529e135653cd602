#include "app/web_server_app.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <typeinfo>

#include "app/file_response.h"
#include "app/cgi_output.h"
#include "app/html_text.h"
#include "app/listen_on.h"
#include "app/log_line.h"
#include "app/request_path.h"
#include "app/settings_environment.h"
#include "http/protocol.h"
#include "platform/event_queue.h"
#include "platform/ini_file.h"
#include "platform/registry.h"
#include "streams/reader.h"
#include "util/text.h"

namespace vt {

namespace {

// The client as the program's own kind, or nullptr. Every request asks
// twice, and a cast walks the class tree: the class last found to be one is
// remembered per thread.
TWebServerClient* AsWebClient(AhttpServerClient& client) {
  thread_local const std::type_info* last_web_class = nullptr;
  const std::type_info& kind = typeid(client);
  if (&kind == last_web_class) return static_cast<TWebServerClient*>(&client);
  auto* web_client = dynamic_cast<TWebServerClient*>(&client);
  if (web_client) last_web_class = &kind;
  return web_client;
}

// The em dash of the hint.
constexpr const char* kDash = " \u2014 ";

bool ContainsFolded(const std::string& text, const std::string& part) {
  const auto lower = [](std::string value) {
    for (char& c : value)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return value;
  };
  return lower(text).find(lower(part)) != std::string::npos;
}

std::string FolderOf(const std::string& path) { return path.substr(0, path.rfind('/') + 1); }

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::string();
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::unique_ptr<ThttpResponse> ErrorResponse(std::int32_t code, const std::string& reason,
                                             const std::string& text, const std::string& detail) {
  return CreateHTMLResponse(code, reason, HTMLErrorPage(reason, text, detail, kServerName));
}

// Watches `fd` on the thread of `window`, which gets `message` whenever the
// descriptor is readable. False, with `fd` closed, when that fails.
bool WatchReadable(HWindow window, int fd, std::uint32_t message) {
  if (WatchDescriptor(window, fd, EPOLLIN, std::make_shared<TReadyMessage>(window, message)) == 0)
    return true;
  ::close(fd);
  return false;
}

// Ends a watch of WatchReadable, closes the descriptor and forgets it.
void EndWatch(int& fd) {
  if (fd < 0) return;
  UnwatchDescriptor(fd);
  ::close(fd);
  fd = -1;
}

// A worker's line for the server's log. The line is lost when the main
// thread no longer takes lines (the program is ending).
void LogFromWorker(TTCPServerClient& client, int log_class, const std::string& line) {
  try {
    client.Log(log_class, line);
  } catch (...) {
  }
}

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

// ---------------------------------------------------------------------------

TWebServerApp::TWebServerApp() : FSnapshot(std::make_shared<const TWebServerSettings>()) {
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
  CGILimits.TimeOut = cap(CGILimits.TimeOut, -1);
  CGILimits.RunTimeOut = cap(CGILimits.RunTimeOut, -1);
}

TWebServerApp::~TWebServerApp() {
  // No worker may run while the lock, the settings and the log go away.
  HTTPServer.Shutdown();
  StopWatchingSettingsFile();
  FCheckCancel.store(true, std::memory_order_relaxed);
  if (FCheckThread.joinable()) FCheckThread.join();
  StopWatchingInterfaces();
}

void TWebServerApp::SetView(IWebServerView* view) {
  FView = view;
  figures_wanted_.store(view && view->ShowsFigures(), std::memory_order_relaxed);
}

void TWebServerApp::SetSettings(const TWebServerSettings& settings) {
  const bool hash_changed = settings.AuthPasswordHash != FSettings.AuthPasswordHash;
  const bool exposure_changed = settings.PubDir != FSettings.PubDir ||
                                settings.ExecEXEAsCGI != FSettings.ExecEXEAsCGI ||
                                settings.ServeHiddenFiles != FSettings.ServeHiddenFiles ||
                                settings.ListenOn != FSettings.ListenOn;
  FSettings = settings;
  auto snapshot = std::make_shared<const TWebServerSettings>(settings);
  {
    std::lock_guard lock(FSnapshotLock);
    FSnapshot = std::move(snapshot);
  }
  FAuthGate.Configure(settings.AuthUser, settings.AuthPasswordHash);
  if (hash_changed && !settings.AuthPasswordHash.empty() && !IsPasswordHash(settings.AuthPasswordHash))
    ReportError("AuthPasswordHash in the settings is no password hash made by this program: every request is "
                "refused until a password is set again in Setup (or the key is removed).");
  if (exposure_changed && HTTPServer.Active()) StartExposureCheck();
}

std::shared_ptr<const TWebServerSettings> TWebServerApp::SettingsSnapshot() const {
  std::lock_guard lock(FSnapshotLock);
  return FSnapshot;
}

std::string TWebServerApp::SettingsFileName() const {
  return FIniFile ? FIniFile->FileName() : std::string();
}

std::string TWebServerApp::LastRequest() const {
  std::lock_guard lock(FLock);
  return FLastRequest;
}

void TWebServerApp::Changed(unsigned parts) {
  if (FView) FView->DisplayChanged(parts);
}

void TWebServerApp::ReportError(const std::string& message) {
  if (FView) FView->ShowError(message);
}

// --- Life cycle -------------------------------------------------------------

void TWebServerApp::FormCreate() {
  FIniFile = std::make_unique<TIniFile>(kSettingsFileName);
  FNeverServed = std::make_unique<TNeverServed>(std::vector<std::string>{FIniFile->FileName(), AccessLogFileName});
  FNeverServed->Refresh();
  FAccessLog = std::make_unique<TAccessLog>(AccessLogFileName, std::chrono::milliseconds(kAccessLogCheckMs));
  // A new log file is a new identity to refuse.
  FAccessLog->OnOpened = [this] { FNeverServed->Refresh(); };
  TWebServerSettings loaded;
  loaded.LoadSettings(*FIniFile, kSettingsSection);
  FFileText = SettingsFileText();
  if (FIniFile->ReadFailed()) {
    // The defaults would publish a folder the user never chose, on a port
    // they never chose, where their own settings may say not to run at all.
    loaded.Active = false;
    ReportError("The settings file " + FIniFile->FileName() +
                " could not be read: the defaults are used, the server is not started, and the file is left "
                "as it is.");
  }
  ReportNotNumbers(*FIniFile);
  FFileSettings = loaded;
  if (RunOptions.PubDir) loaded.PubDir = *RunOptions.PubDir;
  if (RunOptions.Port) loaded.Port = *RunOptions.Port;
  SetSettings(loaded);
  FSettingsLoaded = true;

  // The windows of the main thread: the deferred start, the refreshes and
  // the up-time ticks arrive there.
  FHandle.GetHandle();
  tUpTime.GetHandle();
  WatchSettingsFile();
  WatchInterfaces();

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

void TWebServerApp::ReportNotNumbers(const TIniFile& ini) {
  const std::vector<std::string> bad = SettingsNotNumbers(ini, kSettingsSection);
  if (bad.empty()) return;
  std::string list;
  for (const std::string& entry : bad) list += (list.empty() ? "" : ", ") + entry;
  ReportError("The settings file " + ini.FileName() + " has values that are no numbers: " + list +
              "; their defaults are used until you set new values (the file keeps what you wrote).");
}

void TWebServerApp::FormShow() {
  UpdateStatus();
  if (FFirstShow) {
    FFirstShow = false;
    PostMessage(FHandle.Handle(), kDeferredStartMessage, 0, 0);
  }
  FDisplay.actOpen = false;
  Changed(dpActions);
}

void TWebServerApp::WMDeferredStart() {
  if (!FSettingsLoaded) return;
  if (FSettings.Minimized) {
    FDisplay.actOpen = true;
    Changed(dpActions);
    if (FView) FView->HideView();
  }
  if (FSettings.Active) {
    actStartExecute();
  } else if (RunOptions.PubDir || RunOptions.Port) {
    StartServer(false);  // asked for on the command line: this run only
  }
}

bool TWebServerApp::FormClose() {
  if (FExitRequested) return true;
  FormMinimized();
  if (FView) FView->HideView();
  return false;
}

void TWebServerApp::FormMinimized() {
  FDisplay.actOpen = true;
  Changed(dpActions);
  FSettings.Minimized = true;
}

void TWebServerApp::FormRestored() {
  FDisplay.actOpen = false;
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
  StopWatchingSettingsFile();
  StopWatchingInterfaces();
  tUpTime.SetTimerActive(false);
  KillTimer(FHandle.Handle(), kConnectionsTimerId);
  HTTPServer.Shutdown();
  FCheckCancel.store(true, std::memory_order_relaxed);
  if (FCheckThread.joinable()) FCheckThread.join();
  FIniFile.reset();
  FSettingsLoaded = false;
  return saved;
}

// --- The settings file --------------------------------------------------------

std::string TWebServerApp::SettingsFileText() const {
  return FIniFile ? ReadWholeFile(FIniFile->FileName()) : std::string();
}

TWebServerSettings TWebServerApp::ForFile() const {
  TWebServerSettings settings = FSettings;
  if (RunOptions.PubDir) settings.PubDir = FFileSettings.PubDir;
  if (RunOptions.Port) settings.Port = FFileSettings.Port;
  return settings;
}

void TWebServerApp::WatchSettingsFile() {
  if (FWatchFd >= 0 || !FIniFile) return;
  const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) return;
  // The folder, not the file: a save (ours or an editor's) replaces the file
  // by a rename, which would end a watch of the file itself.
  const std::string folder = FolderOf(FIniFile->FileName());
  if (::inotify_add_watch(fd, folder.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE) < 0) {
    ::close(fd);  // no folder yet: the first save makes it, and tries again
    return;
  }
  if (WatchReadable(FHandle.GetHandle(), fd, kSettingsFileMessage)) FWatchFd = fd;
}

void TWebServerApp::StopWatchingSettingsFile() { EndWatch(FWatchFd); }

void TWebServerApp::SettingsFileEvents() {
  if (FWatchFd < 0 || !FIniFile) return;
  const std::string name = FIniFile->FileName().substr(FolderOf(FIniFile->FileName()).size());
  bool ours = false;
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(FWatchFd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      if (event->len > 0 && name == event->name) ours = true;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  if (ours) SetTimer(FHandle.Handle(), kSettingsTimerId, kSettingsSettleMs);
}

void TWebServerApp::ReloadSettings(bool always) {
  if (!FSettingsLoaded || !FIniFile) return;
  // Whoever wrote the file may have made it anew.
  FNeverServed->Refresh();
  const std::string text = SettingsFileText();
  if (!always && text == FFileText) return;
  auto ini = std::make_unique<TIniFile>(FIniFile->FileName());
  if (ini->ReadFailed()) {
    ReportError("The settings file " + ini->FileName() +
                " could not be read again: the settings in use stay.");
    return;
  }
  FFileText = text;
  TWebServerSettings loaded;
  loaded.LoadSettings(*ini, kSettingsSection);
  // A missing file (deleted, or between an editor's steps) takes nothing
  // away: the next save writes it whole again.
  if (!ini->SectionExists(kSettingsSection)) return;
  ReportNotNumbers(*ini);
  const std::vector<std::string> changed = ChangedSettings(FFileSettings, loaded);
  FFileSettings = loaded;
  FIniFile = std::move(ini);
  if (changed.empty()) return;

  TWebServerSettings settings = FSettings;
  std::string list;
  for (const std::string& key : changed) {
    if ((key == "PubDir" && RunOptions.PubDir) || (key == "Port" && RunOptions.Port)) continue;
    CopySetting(settings, loaded, key);
    list += (list.empty() ? "" : ", ") + key + "=" + SettingText(loaded, key);
  }
  if (list.empty()) return;
  const bool port_changed = settings.Port != FSettings.Port;
  FStartProblem.clear();
  SetSettings(settings);
  ApplySettings();
  ServerLog.Log(nullptr, 0, "Settings changed in " + FIniFile->FileName() + ": " + list);
  if (port_changed && HTTPServer.Active())
    ServerLog.Log(nullptr, 0, "Port " + std::to_string(FSettings.Port) + " applies at the next Start");
  UpdateStatus();
}

void TWebServerApp::ChoosePublishedDirectory(const std::string& folder) {
  TWebServerSettings settings = FSettings;
  settings.PubDir = folder;
  RunOptions.PubDir.reset();
  SetSettings(settings);
  ApplySettings();
  SaveSettings();
  UpdateStatus();
}

// --- Actions ----------------------------------------------------------------

std::string TWebServerApp::WhereToChangePort() const {
  if (!FView || FView->HasSetupDialog()) return "in Setup \u2192 Network";
  return "(--port N, or Port= in " + SettingsFileName() + ")";
}

std::string TWebServerApp::StartFailureText(const std::string& server_message) const {
  const std::string port = HTTPServer.ListenPort();
  const std::int32_t number = TextToIntOr(port, 0);
  if (ContainsFolded(server_message, "permission denied") && number > 0 && number < 1024)
    return "Port " + port + " needs administrator rights on Linux: choose a port from 1024 up " +
           WhereToChangePort();
  if (ContainsFolded(server_message, "Address in use")) {
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
    FStartProblem = StartFailureText(error.Message());
    UpdateStatus();
    ReportError(FStartProblem.empty() ? error.Message() : FStartProblem + " (" + error.Message() + ")");
    return;
  }
  FStartProblem.clear();
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
  FConnections.Reset(HTTPServer.RequestCount.load(std::memory_order_relaxed), IdleClockMs());
  Changed(dpConnections);
  FSettings.Active = false;
  FStartProblem.clear();
  {
    std::lock_guard lock(FLock);
    FLastRequest.clear();
  }
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
    if (key == "PubDir") RunOptions.PubDir.reset();
    if (key == "Port") RunOptions.Port.reset();
  }
  const bool port_changed = settings.Port != FSettings.Port;
  FStartProblem.clear();
  SetSettings(settings);
  ApplySettings();
  SaveSettings();
  UpdateStatus();
  if (port_changed && HTTPServer.Active() &&
      FView->AskYesNo("The server goes on listening on port " + HTTPServer.ListenPort() + "; port " +
                      std::to_string(FSettings.Port < 1 ? 80 : FSettings.Port) +
                      " applies at the next Start.\n\nRestart the server now?")) {
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

std::vector<std::string> TWebServerApp::ReachingURLs() const {
  // Every listening socket's URLs, in the sockets' order, each once
  // (127.0.0.1 and ::1 both give the localhost one).
  std::vector<std::string> urls;
  if (!HTTPServer.Active()) return urls;
  const std::vector<TInterfaceAddress> interfaces = LocalInterfaceAddresses();
  for (const TSocketAddress& listening : HTTPServer.ListeningAddresses()) {
    for (std::string& url : ServerUrls(listening.HostText(), HTTPServer.ListenPort(), interfaces))
      if (std::find(urls.begin(), urls.end(), url) == urls.end()) urls.push_back(std::move(url));
  }
  return urls;
}

void TWebServerApp::StartExposureCheck() {
  if (FCheckThread.joinable()) {
    FCheckAgain = true;
    return;
  }
  FCheckAgain = false;
  TExposureOptions options;
  options.PubDir = FSettings.PubDir;
  options.ServeHidden = FSettings.ServeHiddenFiles;
  options.ExecCGI = FSettings.ExecEXEAsCGI;
  options.Audience = AudienceOf(FSettings.ListenOn);
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
    FDisplay.lExposure = details.front();
    FDisplay.ExposureWarns = FExposure->Warns();
    Changed(dpExposure);
  }
  if (FCheckAgain) StartExposureCheck();
}

bool TWebServerApp::SaveSettings() {
  if (!FIniFile) return false;
  try {
    const TWebServerSettings settings = ForFile();
    settings.SaveSettings(*FIniFile, kSettingsSection, &FFileSettings);
    FIniFile->UpdateFile();
    FNeverServed->Refresh();  // a save may have made the file anew
    FFileSettings = settings;
    FFileText = SettingsFileText();
    WatchSettingsFile();
    return true;
  } catch (const Exception& error) {
    ReportError("The settings could not be saved: " + error.Message());
    return false;
  }
}

// --- Display ----------------------------------------------------------------

void TWebServerApp::UpdateStatus() {
  const bool active = HTTPServer.Active();
  FDisplay.actStart = !active;
  FDisplay.actStop = active;
  FDisplay.iServerActive = active;
  FDisplay.lStatus = active ? "Active" : "Inactive";
  FDisplay.lPort = active ? HTTPServer.ListenPort() : std::to_string(FSettings.Port);
  CheckPubDirState();
  FDisplay.PubDirMissing = FPubDirMissing;
  if (!FStartProblem.empty()) {
    FDisplay.lProblem = FStartProblem;
  } else if (FPubDirMissing) {
    const std::string folder = PublishedDirectoryOf(FSettings.PubDir);
    FDisplay.lProblem = "Published folder " + folder + " does not exist: create it, or choose another one";
    FDisplay.lProblem += !FView || FView->HasSetupDialog()
                             ? std::string(" in Setup \u2192 General")
                             : " (veltrana-webserver FOLDER, or PubDir= in " + SettingsFileName() + ")";
  } else {
    FDisplay.lProblem.clear();
  }
  // Said once where the log goes (standard error), whatever the view; a
  // failed start was reported as an error already.
  const std::string folder_problem = FStartProblem.empty() ? FDisplay.lProblem : FToldProblem;
  if (folder_problem != FToldProblem) {
    FToldProblem = folder_problem;
    if (!FToldProblem.empty()) ServerLog.Log(nullptr, 1, "Warning: " + FToldProblem);
  }
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

TServerState TWebServerApp::ServerState() const {
  if (!FDisplay.lProblem.empty()) return TServerState::Error;
  return HTTPServer.Active() ? TServerState::Running : TServerState::Stopped;
}

std::string TWebServerApp::StatusHint() const {
  std::string hint = kServerName;
  hint += kDash;
  if (!FStartProblem.empty()) return hint + FStartProblem.substr(0, FStartProblem.find(':'));
  if (FPubDirMissing)
    return hint + "published folder " + ShortenHomePath(PublishedDirectoryOf(FSettings.PubDir)) +
           " does not exist";
  if (!HTTPServer.Active()) return hint + "stopped";
  const std::int32_t clients = HTTPServer.ClientCount();
  // Where it can be reached: the first URL another computer can use, when
  // there is one (localhost comes first in the list).
  const std::vector<std::string> urls = ReachingURLs();
  const auto lan = std::find_if(urls.begin(), urls.end(),
                                [](const std::string& url) { return !url.starts_with("http://localhost"); });
  std::string url = lan != urls.end() ? *lan : urls.empty() ? std::string() : urls.front();
  if (url.size() > 1 && url.back() == '/') url.pop_back();
  // The exposure check's warnings come first: a tray cuts a long hint.
  const std::vector<std::string> warnings = FExposure ? FExposure->Warnings() : std::vector<std::string>();
  if (!warnings.empty()) {
    std::string text;
    for (const std::string& warning : warnings) text += (text.empty() ? "" : ", ") + warning;
    hint += "warning: " + text + kDash;
  }
  hint += "serving " + ShortenHomePath(PublishedDirectoryOf(FSettings.PubDir)) + " on " + url + kDash +
          std::to_string(clients) + (clients == 1 ? " connection" : " connections");
  if (FExposure && warnings.empty()) hint += std::string(kDash) + "exposure check: nothing to warn about";
  return hint;
}

void TWebServerApp::UpdateStatistics() {
  FDisplay.lRequestCount = std::to_string(HTTPServer.RequestCount.load(std::memory_order_relaxed));
  FDisplay.lDataServed = DataServedText(HTTPServer.DataServed.load(std::memory_order_relaxed));
  FDisplay.lLastRequest = LastRequest();
  FDisplay.lConnections = ConnectionsText(HTTPServer.Active(), HTTPServer.ClientCount(),
                                          HTTPServer.ActiveRequests.load(std::memory_order_relaxed));
  Changed(dpStatistics);
}

void TWebServerApp::UpdateUpTime() {
  FDisplay.lUpTime = UpTimeText(HTTPServer.Active(), HTTPServer.UpTime());
  Changed(dpUpTime);
}

void TWebServerApp::tUpTimeTimer(TTimerHandle&) {
  // A settings file or log put in place by someone else is known within a
  // tick.
  if (FNeverServed) FNeverServed->Refresh();
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
  } else if (msg == kSettingsFileMessage) {
    SettingsFileEvents();
  } else if (msg == kTimerMessage && static_cast<std::uint32_t>(wParam) == kSettingsTimerId) {
    KillTimer(FHandle.Handle(), kSettingsTimerId);
    ReloadSettings();
  } else if (msg == kTimerMessage && static_cast<std::uint32_t>(wParam) == kConnectionsTimerId) {
    SampleConnections();
  } else if (msg == kInterfacesMessage) {
    InterfaceEvents();
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
  std::vector<std::string> urls = ReachingURLs();
  if (urls == FUrls) return;
  FUrls = std::move(urls);
  // Said at the start and whenever the network changes, in the server log
  // (standard error when headless).
  if (!FUrls.empty()) {
    std::string reach;
    for (const std::string& url : FUrls) reach += (reach.empty() ? "" : ", ") + url;
    HTTPServer.Log(0, "Reach it at " + reach +
                          (OnlyThisComputer(HTTPServer.ListeningAddresses())
                               ? " (from this computer only)"
                               : " (from every computer that can reach these addresses)"));
  }
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

void TWebServerApp::WatchInterfaces() {
  if (FInterfacesFd >= 0) return;
  const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return;
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return;
  }
  if (WatchReadable(FHandle.GetHandle(), fd, kInterfacesMessage)) FInterfacesFd = fd;
}

void TWebServerApp::StopWatchingInterfaces() { EndWatch(FInterfacesFd); }

void TWebServerApp::InterfaceEvents() {
  if (FInterfacesFd < 0) return;
  // What changed does not matter: the addresses are read whole once the
  // burst is over.
  char buffer[8192];
  for (;;) {
    const ssize_t got = ::recv(FInterfacesFd, buffer, sizeof buffer, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
  }
  SetTimer(FHandle.Handle(), kInterfacesTimerId, kInterfacesSettleMs);
}

// --- Server events ----------------------------------------------------------

std::unique_ptr<TTCPServerClient> TWebServerApp::HTTPServerCreateClient(ATCPServer& sender) {
  auto client = std::make_unique<TWebServerClient>(sender);
  client->CGILimits = CGILimits;
  return client;
}

void TWebServerApp::HTTPServerGetResponse(AhttpServer&, AhttpServerClient& client) {
  static const std::string kOKReason = "OK";
  RequestFiguresRefresh();
  const ThttpRequest& request = *client.Request();
  // One set of settings for the whole request, its log line included.
  std::shared_ptr<const TWebServerSettings> settings = SettingsSnapshot();
  auto* web_client = AsWebClient(client);
  if (web_client) web_client->RequestSettings = settings;
  if (!Authorized(client)) return;
  const std::string& pub_dir = settings->PubDir;
  const bool exec_as_cgi = settings->ExecEXEAsCGI;
  TMapRules rules;
  rules.ServeHidden = settings->ServeHiddenFiles;
  rules.NeverServedFiles = FNeverServed.get();
  // Each worker makes its file names in one string, kept from request to
  // request.
  thread_local std::string local_path;
  struct stat local_status {};
  const TMapResult mapped = MapRequestPath(request.URI, pub_dir, local_path, rules, &local_status);
  // A view into local_path, which stays as it is while the view is used.
  const std::string_view ext = FileExtOfPath(local_path);
  // A CGI program also takes POST (a form's body on its standard input);
  // everything else is read only.
  const bool runs_program = mapped == mrFound && exec_as_cgi && TextEqualFolded(ext, ".exe");
  // The usual spelling settles it without folding.
  const auto is_method = [&](std::string_view name) {
    return request.Method == name || TextEqualFolded(request.Method, name);
  };
  if (!is_method("GET") && !is_method("HEAD") && !(runs_program && is_method("POST"))) {
    auto response = ErrorResponse(
        405, "Method not supported", "Method " + EscapeHTMLText(request.Method) + " not supported.",
        "Your client made a request using a method that is not recognised by the web server.");
    response->GetHeader().AddField("Allow", runs_program ? "GET, HEAD, POST" : "GET, HEAD");
    client.SetResponse(std::move(response));
    return;
  }
  if (mapped != mrInvalid) CheckPublishedDirectory(client, pub_dir, mapped == mrFound);
  switch (mapped) {
    case mrInvalid:
      client.SetResponse(ErrorResponse(400, "Invalid path", "Invalid path",
                                       "Your client made a request with an invalid path."));
      return;
    case mrNotFound:
      client.SetResponse(
          ErrorResponse(404, "Not found", "Not found", "The requested resource was not found."));
      return;
    case mrFound:
      break;
  }

  {
    // Written into the memory the last one had, without a string between.
    std::lock_guard lock(FLock);
    FLastRequest.assign(request.URI);
    if (!request.Query.empty()) {
      FLastRequest += '?';
      FLastRequest += request.Query;
    }
  }
  if (runs_program) {
    if (!web_client) throw ECGIRun("This connection cannot run CGI programs");
    try {
      web_client->ExecuteCGI(pub_dir, local_path);
    } catch (const ECGIOutput& error) {
      // It ran, but what it wrote is no answer to pass on: none of it goes
      // out.
      LogFromWorker(client, 1, "CGI program " + local_path + " gave no valid answer: " + error.Message());
      client.SetResponse(ErrorResponse(
          502, "Bad Gateway", "The CGI program gave no valid answer: " + EscapeHTMLText(error.Message()) + ".",
          "The program ran, but what it wrote cannot be sent as an HTTP answer."));
    } catch (const Exception& error) {
      // The program could not be started, or broke a bound of its run: the
      // client gets the 500 page with the reason, and the log says so too.
      const std::string reason = std::string(error.ClassName()) + ": " + error.Message();
      LogFromWorker(client, 1, "CGI run of " + local_path + " failed: " + reason);
      client.SetResponse(CreateHTMLResponse(
          500, std::string(),
          HTMLErrorPage("Internal server error", "Internal server error: " + EscapeHTMLText(reason),
                        std::string(), kServerName)));
    }
    return;
  }

  client.SetResponse(CreateFileResponse(local_path, FileExtToContentType(ext), &local_status, &FFileCache,
                                        client.NewResponse(200, kOKReason)));
}

bool TWebServerApp::Authorized(AhttpServerClient& client) {
  // Without a password every request passes: nothing to decode, look up or
  // time.
  if (!FAuthGate.Enabled()) {
    client.RemoteUser.clear();
    return true;
  }
  const TBasicAuthGate::TResult result =
      FAuthGate.Check(client.Request()->GetBasicCredentials(), client.RemotePeer);
  if (result.verdict == TBasicAuthGate::TVerdict::kPass) {
    client.RemoteUser = result.user;
    return true;
  }
  const std::string seconds = std::to_string((result.pause.count() + 999) / 1000);
  // Told once per pause, not for every attempt refused during it.
  if (result.verdict == TBasicAuthGate::TVerdict::kRefuse && result.pause.count() > 0)
    LogFromWorker(client, 1,
                  "Wrong password " + std::to_string(result.failures) + " times in a row from " +
                      client.RemotePeer.HostText() + ": its attempts are refused unchecked for " + seconds + " s");
  auto response =
      result.verdict == TBasicAuthGate::TVerdict::kPaused
          ? ErrorResponse(401, "Unauthorized", "Too many wrong passwords from your address",
                          "Try again in " + seconds + " seconds.")
          : ErrorResponse(401, "Unauthorized", "Unauthorized", "This folder is protected by a password.");
  response->GetHeader().AddField("WWW-Authenticate", std::string("Basic realm=\"") + kAuthRealm + "\"");
  client.SetResponse(std::move(response));
  return false;
}

void TWebServerApp::CheckPublishedDirectory(AhttpServerClient& client, const std::string& pub_dir,
                                            bool found) {
  if (found) {
    if (pub_dir_missing_.load(std::memory_order_relaxed) && pub_dir_missing_.exchange(false))
      LogFromWorker(client, 0, "Published directory " + pub_dir + " is there again");
    return;
  }
  struct stat status {};
  if (::stat(pub_dir.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) return;
  if (!pub_dir_missing_.exchange(true))
    LogFromWorker(client, 1, "Published directory " + pub_dir + " not found: every request is answered 404");
}

void TWebServerApp::HTTPServerFreeResponse(AhttpServer&, AhttpServerClient& client) {
  RequestFiguresRefresh();
  std::shared_ptr<const TWebServerSettings> settings;
  if (auto* web_client = AsWebClient(client))
    settings = std::move(web_client->RequestSettings);
  if (!settings) settings = SettingsSnapshot();  // the request never reached the handler
  if (settings->LogToFile) WriteAccessLog(client, settings->LogFormat);
}

void TWebServerApp::WriteAccessLog(AhttpServerClient& client, const std::string& log_format) {
  TLogLineFields fields;
  std::string referer;
  std::string user_agent;
  // Only a template that names them needs these looked up.
  const std::uint32_t variables = LogLineVariables(log_format);
  const auto uses = [variables](TLogVariable variable) {
    return (variables >> static_cast<int>(variable) & 1u) != 0;
  };
  if (const ThttpRequest* request = client.Request()) {
    fields.method = request->Method;
    fields.uri = request->URI;
    fields.query = request->Query;
    if (uses(TLogVariable::kReferer)) referer = request->GetReferer();
    if (uses(TLogVariable::kUserAgent)) user_agent = request->GetUserAgent();
    fields.referer = referer;
    fields.user_agent = user_agent;
  }
  std::string address;
  if (uses(TLogVariable::kAddress)) address = client.PeerAddressText();
  fields.address = address;
  fields.size = client.BytesWritten();
  fields.response = client.Response() ? client.Response()->StatusCode : 0;
  // Each worker builds its lines in a buffer of its own, kept from line to
  // line.
  thread_local std::string line;
  line.clear();
  AppendLogLine(line, log_format, NowLocalParts(), fields);
  line.append("\r\n", 2);

  // The answer has gone out already: a log that cannot be written must not
  // change it or end the connection. The failure is told once, and again
  // only after the log has worked in between.
  try {
    FAccessLog->AppendText(line);
  } catch (const Exception& error) {
    if (!access_log_failing_.exchange(true))
      LogFromWorker(client, 1,
                    "Access log " + FAccessLog->FileName() + " cannot be written: " + error.Message());
    return;
  }
  if (access_log_failing_.load(std::memory_order_relaxed) && access_log_failing_.exchange(false))
    LogFromWorker(client, 0, "Access log " + FAccessLog->FileName() + " is written again");
}

void TWebServerApp::HTTPServerClientActive(TTCPServerClient&) { RequestFiguresRefresh(); }

void TWebServerApp::HTTPServerClientRemoved(TTCPServerClient& sender) {
  FConnections.ClientRemoved(sender);
  RequestFiguresRefresh();
}

void TWebServerApp::HTTPServerPreRequest(AhttpServer&, AhttpServerClient&) { RequestFiguresRefresh(); }

}  // namespace vt
