#include "app/request_handler.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <limits>
#include <typeinfo>

#include "app/access_log.h"
#include "app/app_names.h"
#include "app/cgi_output.h"
#include "app/file_response.h"
#include "app/folder_archive.h"
#include "app/folder_listing.h"
#include "app/html_text.h"
#include "app/https_support.h"
#include "app/log_line.h"
#include "app/never_served.h"
#include "app/upload_form.h"
#include "app/upload_handler.h"
#include "app/web_server_client.h"
#include "http/protocol.h"
#include "http/request_body_reader.h"
#include "platform/synchronize.h"
#include "util/date_time.h"
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

std::unique_ptr<ThttpResponse> ErrorResponse(std::int32_t code, const std::string& reason,
                                             const std::string& text, const std::string& detail) {
  return CreateHTMLResponse(code, reason, HTMLErrorPage(reason, text, detail, kServerName));
}

// A worker's line for the server's log. The line is lost when the main
// thread no longer takes lines (the program is ending).
void LogFromWorker(TTCPServerClient& client, int log_class, const std::string& line) {
  TellMainThread("Could not log", [&] { client.Log(log_class, line); });
}

// The program at `path` judged as a file to serve is (MayServeOpenedFile),
// through a descriptor that needs no read right.
bool MayRunProgram(const std::string& path, std::string_view pub_dir, const TMapRules& rules) {
  const int handle = ::open(path.c_str(), O_PATH | O_CLOEXEC);
  if (handle < 0) return false;
  struct stat opened {};
  const bool may = ::fstat(handle, &opened) == 0 && MayServeOpenedFile(handle, opened, path, pub_dir, rules);
  ::close(handle);
  return may;
}

// The bytes of the request's body read: as many as a streamed body (an
// upload) delivered, else the body the server read whole.
std::int64_t BodyBytesRead(AhttpServerClient& client) {
  if (ThttpRequestBodyReader* body = client.RequestBody()) return body->GetPosition();
  ThttpRequest* request = client.Request();
  return request ? request->GetContentSize() : 0;
}

}  // namespace

TRoute ChooseRoute(const TRouteFacts& facts) {
  if (facts.upload) return {TRouteKind::kUpload, 0};
  // The usual spelling settles it without folding.
  const auto is_method = [&](std::string_view name) {
    return facts.method == name || TextEqualFolded(facts.method, name);
  };
  if (!is_method("GET") && !is_method("HEAD") && !(facts.program && is_method("POST")))
    return {TRouteKind::kRefusal, 405, facts.program ? "GET, HEAD, POST" : "GET, HEAD"};
  switch (facts.mapped) {
    case mrInvalid:
      return {TRouteKind::kRefusal, 400};
    case mrNotFound:
      if (!facts.folder) return {TRouteKind::kRefusal, 404};
      // A folder that shows nothing stays "Not found" with or without its
      // slash: a redirect would tell that it exists.
      if (!facts.list_folders) return {TRouteKind::kFolder, 0};
      if (facts.without_slash) return {TRouteKind::kRedirect, 301};
      return {facts.archive ? TRouteKind::kArchive : TRouteKind::kListing, 0};
    case mrFound:
      break;
  }
  if (facts.without_slash) return {TRouteKind::kRedirect, 301};
  return {facts.program ? TRouteKind::kProgram : TRouteKind::kFile, 0};
}

// What the route handlers share of one request.
struct TRequestHandler::TRequestContext {
  AhttpServerClient& client;
  const ThttpRequest& request;
  const TWebServerSettings& settings;
  TWebServerClient* web_client;
  // The mapped file (or the path looked at), and its stat when found.
  const std::string& local_path;
  const struct stat& local_status;
  std::string_view ext;
  TRoute route;
  // The rules the path was mapped with, for judging the file opened.
  const TMapRules& rules;
  // The path after the program's, for a program named inside the path.
  std::string_view path_info = {};
};

TRequestHandler::TRequestHandler() = default;

void TRequestHandler::Publish(const TWebServerSettings& settings) {
  FSettings.Publish(settings);
  FAuthGate.Configure(settings.AuthUser, settings.AuthPasswordHash);
}

void TRequestHandler::Attach(const TNeverServed* never_served, TAccessLog* access_log) {
  FNeverServed = never_served;
  FAccessLog = access_log;
}

std::string TRequestHandler::LastRequest() const {
  std::lock_guard lock(FLastRequestLock);
  return FLastRequest;
}

void TRequestHandler::ClearLastRequest() {
  std::lock_guard lock(FLastRequestLock);
  FLastRequest.clear();
}

void TRequestHandler::SetLastRequest(const ThttpRequest& request) {
  // Written into the memory the last one had, without a string between.
  std::lock_guard lock(FLastRequestLock);
  FLastRequest.assign(request.URI);
  if (!request.Query.empty()) {
    FLastRequest += '?';
    FLastRequest += request.Query;
  }
}

void TRequestHandler::RequestHeader(AhttpServerClient& client) {
  const ThttpRequest& request = *client.Request();
  // A plain look at the method first: nearly every request is a GET.
  if (request.Method == "GET") return;
  const std::shared_ptr<const TWebServerSettings> settings = FSettings.Current();
  if (IsUploadRequest(request.Method, request.URI, settings->AllowUploads)) {
    const std::int64_t max_size = std::int64_t{std::max(settings->MaxUploadSize, 0)} * 1024 * 1024;
    std::int64_t length = -1;
    if (request.Header() && request.Header()->HasField("Content-Length"))
      length = TextToInt64Or(request.Header()->GetFieldValue("Content-Length"), -1);
    // A PUT is one file: a larger one is refused before its body is read. A
    // form's body may hold several files, each bound on its own.
    const bool put = request.Method == "PUT";
    client.StreamRequestBody(put ? max_size : std::numeric_limits<std::int64_t>::max(),
                             UploadBodyTime(length, max_size));
    return;
  }
  if (!TextEqualFolded(request.Method, "POST") || !settings->ExecEXEAsCGI) return;
  // Only a path that may name a program: any other POST is refused (405)
  // without its body being read.
  const std::string_view uri = request.URI;
  bool program = NextProgramSegmentEnd(uri) != std::string_view::npos;
  if (!program && uri.size() >= 4) program = TextEqualFolded(uri.substr(uri.size() - 4), ".exe");
  if (!program) return;
  client.StreamRequestBody(std::int64_t{std::max(settings->MaxCGIBody, 0)} * 1024 * 1024);
}

void TRequestHandler::GetResponse(AhttpServerClient& client) {
  const ThttpRequest& request = *client.Request();
  // One set of settings for the whole request, its log line included.
  std::shared_ptr<const TWebServerSettings> settings = FSettings.Current();
  auto* web_client = AsWebClient(client);
  if (web_client) web_client->RequestSettings = settings;
  // Every request is the latest, whatever its answer (a 404 or a 401 too):
  // the display says what was asked last, not what was last found.
  SetLastRequest(request);
  // Before the password gate: a password asked for over plain HTTP would
  // cross the network readable.
  if (const std::uint16_t https_port = FHttpsPort.load(std::memory_order_relaxed);
      https_port != 0 && !PlainHttpPasses(client, *settings, https_port))
    return;
  if (!Authorized(client)) return;
  TMapRules rules;
  rules.ServeHidden = settings->ServeHiddenFiles;
  rules.NeverServedFiles = FNeverServed;
  // Each worker makes its file names in one string, kept from request to
  // request: a keep-alive request then allocates nothing (bench point h
  // counts 0 heap allocations per request).
  thread_local std::string local_path;
  struct stat local_status {};
  TRouteFacts facts;
  facts.method = request.Method;
  facts.mapped = MapRequestPath(request.URI, settings->PubDir, local_path, rules, &local_status,
                                &facts.folder, &facts.without_slash);
  facts.list_folders = settings->ListFolders;
  // A path that names nothing may name a program with more path after it.
  std::size_t path_info_start = std::string::npos;
  if (facts.mapped == mrNotFound && !facts.folder && settings->ExecEXEAsCGI)
    facts.mapped =
        MapProgramPath(request.URI, settings->PubDir, local_path, rules, &local_status, path_info_start);
  // A view into local_path, which stays as it is while the view is used.
  const std::string_view ext = FileExtOfPath(local_path);
  facts.program = facts.mapped == mrFound && settings->ExecEXEAsCGI && TextEqualFolded(ext, ".exe");
  // Only a folder's answer depends on the query.
  facts.archive = facts.folder && ArchiveKindOfQuery(request.Query).has_value();
  facts.upload = IsUploadRequest(request.Method, request.URI, settings->AllowUploads);
  TRequestContext context{client,       request, *settings,          web_client, local_path,
                          local_status, ext,     ChooseRoute(facts), rules};
  if (path_info_start != std::string::npos)
    context.path_info = std::string_view(request.URI).substr(path_info_start);
  // A refused method is answered before the folder is looked at.
  if (context.route.status != 405 && facts.mapped != mrInvalid)
    CheckPublishedDirectory(client, settings->PubDir, facts.mapped == mrFound);
  // One handler per route; the compiler (-Wswitch) names a route left out.
  switch (context.route.kind) {
    case TRouteKind::kFile:
      return ServeFile(context);
    case TRouteKind::kFolder:
      return ServeFolder(context);
    case TRouteKind::kArchive:
      return ServeArchive(context);
    case TRouteKind::kProgram:
      return RunProgram(context);
    case TRouteKind::kUpload:
      return ReceiveUpload(context);
    case TRouteKind::kRefusal:
      return Refuse(context);
    case TRouteKind::kListing:
      return ListFolder(context);
    case TRouteKind::kRedirect:
      return RedirectToFolder(context);
  }
}

void TRequestHandler::ServeFile(TRequestContext& context) {
  static const std::string kOKReason = "OK";
  const TOpenedFileCheck check{context.settings.PubDir, context.rules};
  auto response =
      CreateFileResponse(context.local_path, FileExtToContentType(context.ext), &context.local_status,
                         &FFileCache, context.client.NewResponse(200, kOKReason), &check);
  // The name led elsewhere by the time it was opened: what it opened is
  // not there for a client.
  if (!response) return ServeFolder(context);
  context.client.SetResponse(std::move(response));
}

void TRequestHandler::ServeFolder(TRequestContext& context) {
  // Folders are not listed: one without a default document is not there
  // for a client.
  context.client.SetResponse(
      ErrorResponse(404, "Not found", "Not found", "The requested resource was not found."));
}

void TRequestHandler::ListFolder(TRequestContext& context) {
  const TListingRequest wanted = ParseListingRequest(
      context.request.Query,
      context.request.Header() ? context.request.Header()->GetFieldValue("Accept") : std::string());
  // The upload folder's page carries the form that sends files to it.
  std::string upload_form;
  if (context.settings.AllowUploads) {
    const std::string upload_url =
        UploadFolderURL(context.settings.UploadFolder, context.settings.ServeHiddenFiles);
    if (!upload_url.empty() && context.request.URI == upload_url)
      upload_form =
          UploadFormHTML(upload_url, std::int64_t{std::max(context.settings.MaxUploadSize, 0)} << 20);
  }
  auto response = CreateListingResponse(context.local_path, context.settings.PubDir, context.rules, wanted,
                                        context.client.NewResponse(200, "OK"), std::move(upload_form));
  // The folder cannot be read, or what was opened is not to be shown.
  if (!response) return ServeFolder(context);
  context.client.SetResponse(std::move(response));
}

void TRequestHandler::RedirectToFolder(TRequestContext& context) {
  std::string location;
  AppendEncodedPath(location, MappedFolderPath(context.local_path, context.settings.PubDir));
  if (!context.request.Query.empty()) {
    location += '?';
    location += context.request.Query;
  }
  auto response = ErrorResponse(
      301, "Moved Permanently", "Moved permanently",
      "The folder is at <a href=\"" + EscapeHTMLText(location) + "\">" + EscapeHTMLText(location) + "</a>.");
  response->GetHeader().AddField("Location", location);
  context.client.SetResponse(std::move(response));
}

void TRequestHandler::ServeArchive(TRequestContext& context) {
  static const std::string kOKReason = "OK";
  AhttpServerClient& client = context.client;
  const ThttpRequest& request = context.request;
  const TArchiveKind kind = ArchiveKindOfQuery(request.Query).value_or(TArchiveKind::kZip);
  const std::string base_name = ArchiveBaseName(request.URI, context.settings.PubDir);
  std::unique_ptr<TFolderArchiveReader> reader;
  try {
    // The reader lives in the answer, which the connection owns: its log
    // lines may name the connection.
    reader = std::make_unique<TFolderArchiveReader>(
        context.local_path, base_name, kind, TArchiveRules{context.settings.PubDir, context.rules},
        [&client](const std::string& line) { LogFromWorker(client, 1, line); });
  } catch (const EFolderArchive&) {
    // Gone, unreadable or not served since it was mapped: not there for a
    // client.
    return ServeFolder(context);
  }
  // The size is known only at the end: the body goes out chunked (close-
  // delimited to HTTP/1.0), never with a Content-Length, and a Range is
  // not applied to it.
  auto response = client.NewResponse(200, kOKReason);
  response->SetContentType(ArchiveContentType(kind));
  response->GetHeader().AddField("Content-Disposition", ArchiveContentDisposition(base_name, kind));
  response->SetContentReader(std::move(reader));
  client.SetResponse(std::move(response));
}

void TRequestHandler::RunProgram(TRequestContext& context) {
  AhttpServerClient& client = context.client;
  const std::string& local_path = context.local_path;
  if (!context.web_client) throw ECGIRun("This connection cannot run CGI programs");
  // A program is started by its name, so the name is judged once more, by
  // what it opens now, just before the start. What remains is the moment
  // between this and the system's own open of the name; a swap there can
  // only start a program, and the files never served are no programs (the
  // start needs the execute right they do not have).
  if (!MayRunProgram(local_path, context.settings.PubDir, context.rules)) return ServeFolder(context);
  try {
    context.web_client->ExecuteCGI(context.settings.PubDir, local_path, context.path_info);
  } catch (const EhttpContent&) {
    // The request's body broke its bounds while the program read it: the
    // server refuses the request as it refuses any such body.
    throw;
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
}

void TRequestHandler::ReceiveUpload(TRequestContext& context) {
  AnswerUpload(context.client, context.settings);
}

void TRequestHandler::Refuse(TRequestContext& context) {
  switch (context.route.status) {
    case 405: {
      const std::string& method = context.request.Method;
      auto response = ErrorResponse(
          405, "Method not supported", "Method " + EscapeHTMLText(method) + " not supported.",
          "Your client made a request using a method that is not recognised by the web server.");
      response->GetHeader().AddField("Allow", context.route.allow);
      context.client.SetResponse(std::move(response));
      return;
    }
    case 400:
      context.client.SetResponse(ErrorResponse(400, "Invalid path", "Invalid path",
                                               "Your client made a request with an invalid path."));
      return;
    default:
      context.client.SetResponse(
          ErrorResponse(404, "Not found", "Not found", "The requested resource was not found."));
      return;
  }
}

bool TRequestHandler::PlainHttpPasses(AhttpServerClient& client, const TWebServerSettings& settings,
                                      std::uint16_t https_port) {
  TTCPServerClientSocket* socket = client.Socket();
  TPlainHttpFacts facts;
  facts.tls = socket && socket->Tls();
  facts.httpsServing = true;
  facts.redirect = settings.RedirectToHTTPS;
  facts.passwordSet = FAuthGate.Enabled();
  facts.passwordOverHttp = settings.AllowPasswordOverHTTP;
  facts.loopbackPeer = client.RemotePeer.IsLoopback();
  const TPlainHttpAnswer answer = PlainHttpAnswer(facts);
  if (answer == TPlainHttpAnswer::kServe) return true;
  const ThttpRequest& request = *client.Request();
  const std::string local = socket ? socket->GetLocalAddress().HostText() : std::string("localhost");
  const std::string location =
      HttpsLocation(request.GetHost(), local, https_port, TargetOfRequestLine(client.RequestLine));
  if (answer == TPlainHttpAnswer::kRedirect) {
    auto response = CreateHTMLResponse(308, "Permanent Redirect",
                                       HTMLErrorPage("Permanent Redirect", "This site is served over HTTPS",
                                                     "It is at <A HREF=\"" + EscapeHTMLText(location) +
                                                         "\">" + EscapeHTMLText(location) + "</A>.",
                                                     kServerName));
    response->GetHeader().AddField("Location", location);
    client.SetResponse(std::move(response));
    return false;
  }
  client.SetResponse(
      ErrorResponse(403, "Forbidden", "This folder is protected by a password: use HTTPS",
                    "Over plain HTTP the password would cross the network readable. Open <A HREF=\"" +
                        EscapeHTMLText(location) + "\">" + EscapeHTMLText(location) + "</A> instead."));
  return false;
}

bool TRequestHandler::Authorized(AhttpServerClient& client) {
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
                      client.RemotePeer.HostText() + ": its attempts are refused unchecked for " + seconds +
                      " s");
  auto response =
      result.verdict == TBasicAuthGate::TVerdict::kPaused
          ? ErrorResponse(401, "Unauthorized", "Too many wrong passwords from your address",
                          "Try again in " + seconds + " seconds.")
          : ErrorResponse(401, "Unauthorized", "Unauthorized", "This folder is protected by a password.");
  response->GetHeader().AddField("WWW-Authenticate", std::string("Basic realm=\"") + kAuthRealm + "\"");
  client.SetResponse(std::move(response));
  return false;
}

void TRequestHandler::CheckPublishedDirectory(AhttpServerClient& client, const std::string& pub_dir,
                                              bool found) {
  if (found) {
    // A plain load first keeps the found case, every request's, from a
    // locked exchange; the exchange alone decides which worker tells.
    if (pub_dir_missing_.load(std::memory_order_relaxed) && pub_dir_missing_.exchange(false))
      LogFromWorker(client, 0, "Published directory " + pub_dir + " is there again");
    return;
  }
  struct stat status {};
  if (::stat(pub_dir.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) return;
  if (!pub_dir_missing_.exchange(true))
    LogFromWorker(client, 1, "Published directory " + pub_dir + " not found: every request is answered 404");
}

void TRequestHandler::FreeResponse(AhttpServerClient& client) {
  std::shared_ptr<const TWebServerSettings> settings;
  if (auto* web_client = AsWebClient(client)) settings = std::move(web_client->RequestSettings);
  if (!settings) settings = FSettings.Current();  // the request never reached the handler
  if (settings->LogToFile)
    WriteAccessLog(client, settings->LogFormat, client.Response() ? client.Response()->StatusCode : 0, false);
}

void TRequestHandler::RequestRefused(AhttpServerClient& client) {
  // A refused request never took settings of its own.
  const std::shared_ptr<const TWebServerSettings> settings = FSettings.Current();
  if (settings->LogToFile) WriteAccessLog(client, settings->LogFormat, client.RefusedStatus(), true);
}

void FillRequestLogFields(TLogLineFields& fields, const ThttpRequest* request, bool refused,
                          std::uint32_t variables, std::string& referer, std::string& user_agent) {
  const auto uses = [variables](TLogVariable variable) {
    return (variables >> static_cast<int>(variable) & 1u) != 0;
  };
  if (refused) {
    fields.method = fields.uri = fields.referer = fields.user_agent = kMissingLogValue;
    fields.query = std::string_view();
  }
  if (!request) return;
  fields.method = request->Method;
  fields.uri = request->URI;
  fields.query = request->Query;
  // A refused head never became the request's: its fields stay unknown.
  if (refused && !request->Header()) return;
  if (uses(TLogVariable::kReferer)) referer = request->GetReferer();
  if (uses(TLogVariable::kUserAgent)) user_agent = request->GetUserAgent();
  fields.referer = referer;
  fields.user_agent = user_agent;
}

void TRequestHandler::WriteAccessLog(AhttpServerClient& client, const std::string& log_format, int status,
                                     bool refused) {
  TLogLineFields fields;
  std::string referer;
  std::string user_agent;
  // Only a template that names them needs these looked up.
  const std::uint32_t variables = LogLineVariables(log_format);
  FillRequestLogFields(fields, client.Request(), refused, variables, referer, user_agent);
  std::string address;
  if (variables >> static_cast<int>(TLogVariable::kAddress) & 1u) address = client.PeerAddressText();
  fields.address = address;
  fields.size = client.BytesWritten();
  if (variables >> static_cast<int>(TLogVariable::kReceived) & 1u) fields.received = BodyBytesRead(client);
  fields.response = status;
  // Each worker builds its lines in a buffer of its own, kept from line to
  // line, so that writing a line allocates nothing once warm.
  thread_local std::string line;
  line.clear();
  AppendLogLine(line, log_format, NowLocalParts(), fields);
  line.append("\r\n", 2);
  if (!FAccessLog) return;

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

}  // namespace vt
