#include "app/web_server_app.h"

#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "app/file_response.h"
#include "app/cgi_output.h"
#include "app/html_text.h"
#include "app/log_line.h"
#include "app/request_path.h"
#include "http/protocol.h"
#include "platform/ini_file.h"
#include "platform/registry.h"
#include "streams/reader.h"
#include "util/text.h"

namespace vt {

namespace {

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::unique_ptr<ThttpResponse> ErrorResponse(std::int32_t code, const std::string& reason,
                                             const std::string& text, const std::string& detail) {
  return CreateHTMLResponse(code, reason, HTMLErrorPage(reason, text, detail, kServerName));
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

TWebServerApp::TWebServerApp() {
  AccessLogFileName = GetAppDirectory() + kAccessLogName;

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
  ServerLog.OnEditMessage = [](TComponent*, int, std::string& message) { message = EscapeLogText(message); };

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
  CGILimits.TimeOut = cap(CGILimits.TimeOut, -1);
  CGILimits.RunTimeOut = cap(CGILimits.RunTimeOut, -1);
}

TWebServerApp::~TWebServerApp() {
  // No worker may run while the lock, the settings and the log go away.
  HTTPServer.Shutdown();
}

void TWebServerApp::SetView(IWebServerView* view) {
  FView = view;
  figures_wanted_.store(view && view->ShowsFigures(), std::memory_order_relaxed);
}

void TWebServerApp::SetSettings(const TWebServerSettings& settings) {
  std::lock_guard lock(FLock);
  FSettings = settings;
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
  FAccessLog = std::make_unique<TAccessLog>(AccessLogFileName, std::chrono::milliseconds(kAccessLogCheckMs));
  TWebServerSettings loaded;
  loaded.LoadSettings(*FIniFile, kSettingsSection);
  if (FIniFile->ReadFailed()) {
    // The defaults would publish a folder the user never chose, on a port
    // they never chose, where their own settings may say not to run at all.
    loaded.Active = false;
    ReportError("The settings file " + FIniFile->FileName() +
                " could not be read: the defaults are used, the server is not started, and the file is left "
                "as it is.");
  }
  if (const std::vector<std::string> bad = SettingsNotNumbers(*FIniFile, kSettingsSection); !bad.empty()) {
    std::string list;
    for (const std::string& entry : bad) list += (list.empty() ? "" : ", ") + entry;
    ReportError("The settings file " + FIniFile->FileName() + " has values that are no numbers: " + list +
                "; their defaults are used (and saved).");
  }
  SetSettings(loaded);
  FSettingsLoaded = true;

  // The windows of the main thread: the deferred start, the refreshes and
  // the up-time ticks arrive there.
  FHandle.GetHandle();
  tUpTime.GetHandle();

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
  if (FSettings.Active) actStartExecute();
}

bool TWebServerApp::FormClose() {
  if (FExitRequested) return true;
  FDisplay.actOpen = true;
  Changed(dpActions);
  FSettings.Minimized = true;
  if (FView) FView->HideView();
  return false;
}

bool TWebServerApp::FormDestroy() {
  bool saved = true;
  if (FSettingsLoaded) {
    if (const std::optional<TViewBounds> bounds = FView ? FView->ViewBounds() : std::nullopt) {
      FSettings.FormX = std::max(0, bounds->Left);
      FSettings.FormY = std::max(0, bounds->Top);
    }
    saved = SaveSettings();
  }
  tUpTime.SetTimerActive(false);
  HTTPServer.Shutdown();
  FIniFile.reset();
  FSettingsLoaded = false;
  return saved;
}

// --- Actions ----------------------------------------------------------------

void TWebServerApp::actStartExecute() {
  try {
    ApplySettings();
    HTTPServer.SetActive(true);
  } catch (const Exception& error) {
    ReportError(error.Message());
    return;
  }
  tUpTime.TimerInterval = 1000;
  tUpTime.SetTimerActive(true);
  FSettings.Active = true;
  UpdateStatus();
  SaveSettings();
}

void TWebServerApp::actStopExecute() {
  tUpTime.SetTimerActive(false);
  HTTPServer.SetActive(false);
  FSettings.Active = false;
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
  TWebServerSettings settings = FSettings;
  if (!FView->ShowSetupDialog(settings)) return;
  SetSettings(settings);
  ApplySettings();
  SaveSettings();
}

void TWebServerApp::actAboutExecute() {
  if (FView) FView->ShowAboutBox();
}

void TWebServerApp::ApplySettings() {
  if (!HTTPServer.Active())
    HTTPServer.SetListenPort(FSettings.Port < 1 ? std::string("80") : std::to_string(FSettings.Port));
  const bool throttle = FSettings.Throttle && FSettings.ThrottleRate > 0;
  HTTPServer.SetThrottleClientWrite(throttle);
  HTTPServer.SetThrottleClientWriteRate(throttle ? FSettings.ThrottleRate : 0);
  // A log that is switched off keeps no file open either.
  if (!FSettings.LogToFile && FAccessLog) FAccessLog->Close();
}

bool TWebServerApp::SaveSettings() {
  if (!FIniFile) return false;
  try {
    FSettings.SaveSettings(*FIniFile, kSettingsSection);
    FIniFile->UpdateFile();
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
  Changed(dpStatus);
  UpdateStatistics();
  UpdateUpTime();
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

void TWebServerApp::tUpTimeTimer(TTimerHandle&) { UpdateUpTime(); }

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
  } else if (msg == kRefreshFiguresMessage ||
             (msg == kTimerMessage && static_cast<std::uint32_t>(wParam) == kRefreshTimerId)) {
    RefreshFigures();
  } else {
    return 0;
  }
  handled = true;
  return 0;
}

// --- Server events ----------------------------------------------------------

std::unique_ptr<TTCPServerClient> TWebServerApp::HTTPServerCreateClient(ATCPServer& sender) {
  auto client = std::make_unique<TWebServerClient>(sender);
  client->CGILimits = CGILimits;
  return client;
}

void TWebServerApp::HTTPServerGetResponse(AhttpServer&, AhttpServerClient& client) {
  RequestFiguresRefresh();
  const ThttpRequest& request = *client.Request();
  std::string pub_dir;
  bool exec_as_cgi = false;
  {
    std::lock_guard lock(FLock);
    pub_dir = FSettings.PubDir;
    exec_as_cgi = FSettings.ExecEXEAsCGI;
  }
  std::string local_path;
  struct stat local_status {};
  const TMapResult mapped = MapRequestPath(request.URI, pub_dir, local_path, &local_status);
  // A CGI program also takes POST (a form's body on its standard input);
  // everything else is read only.
  const bool runs_program =
      mapped == mrFound && exec_as_cgi && TextEqualFolded(FileExtOfPath(local_path), ".exe");
  if (!TextEqualFolded(request.Method, "GET") && !TextEqualFolded(request.Method, "HEAD") &&
      !(runs_program && TextEqualFolded(request.Method, "POST"))) {
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
    std::lock_guard lock(FLock);
    FLastRequest = request.GetPathAndQuery();
  }
  const std::string ext = FileExtOfPath(local_path);
  if (runs_program) {
    auto* web_client = dynamic_cast<TWebServerClient*>(&client);
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

  client.SetResponse(CreateFileResponse(local_path, FileExtToContentType(ext), &local_status, &FFileCache));
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
  std::string log_format;
  {
    std::lock_guard lock(FLock);
    if (!FSettings.LogToFile) return;
    log_format = FSettings.LogFormat;
  }
  WriteAccessLog(client, log_format);
}

void TWebServerApp::WriteAccessLog(AhttpServerClient& client, const std::string& log_format) {
  TLogLineFields fields;
  std::string referer;
  std::string user_agent;
  if (const ThttpRequest* request = client.Request()) {
    fields.method = request->Method;
    fields.uri = request->URI;
    fields.query = request->Query;
    // Only a template that names them needs these looked up.
    if (LogLineUses(log_format, TLogVariable::kReferer)) referer = request->GetReferer();
    if (LogLineUses(log_format, TLogVariable::kUserAgent)) user_agent = request->GetUserAgent();
    fields.referer = referer;
    fields.user_agent = user_agent;
  }
  fields.size = client.BytesWritten();
  fields.response = client.Response() ? client.Response()->StatusCode : 0;
  // Each worker builds its lines in a buffer of its own, kept from line to
  // line.
  thread_local std::string line;
  line.clear();
  AppendLogLine(line, log_format, NowLocalParts(), fields);
  line += "\r\n";

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

void TWebServerApp::HTTPServerClientRemoved(TTCPServerClient&) { RequestFiguresRefresh(); }

void TWebServerApp::HTTPServerPreRequest(AhttpServer&, AhttpServerClient&) { RequestFiguresRefresh(); }

}  // namespace vt
