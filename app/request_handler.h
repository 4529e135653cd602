#pragma once

// TRequestHandler: everything a connection's worker runs for a request,
// from the settings it is answered with to its access log line.
//
// A request passes the password gate (app/password.h) and is then answered
// by exactly one route, chosen by ChooseRoute from what the mapping onto
// the published directory found (app/request_path.h) and the method:
//
//   kFile     a regular file (or a folder's default document): sent whole;
//   kFolder   a folder without a default document while folders are not
//             listed: answered "Not found";
//   kListing  a folder without a default document while folders are
//             listed: its listing (app/folder_listing.h);
//   kRedirect a folder named without its final slash ("/docs") that has
//             something to show: 301 to "/docs/", the query kept, so that
//             the page's relative links resolve inside the folder;
//   kArchive  a folder that would be listed, whose query asks for an
//             archive ("?download=zip" or "?download=tar"): the folder and
//             its sub-folders as one download (app/folder_archive.h);
//   kProgram  an ".exe" file while CGI is on: run as a CGI program (also
//             with more path after its name, which the program gets as
//             PATH_INFO, when the whole path names no file or folder);
//   kUpload   with uploads on, a PUT, or a POST to a folder's URL: files
//             stored in the upload folder (app/upload_handler.h);
//   kRefusal  a method the found thing does not take (405), an invalid
//             path (400), or nothing there (404).
//
// Each route has one handler (the switch in GetResponse), so a new
// way of answering (a folder listing, an upload) is a new route and a new
// handler there, and nothing in the settings or the windows changes.
//
// Settings. The main thread publishes each new settings record (Publish);
// a request takes the current one when it reaches GetResponse and keeps it
// until its log line is written (TWebServerClient::RequestSettings), so one
// request sees one consistent set of values. Taking it costs a version
// check, no lock, while nothing was published since the worker's last
// request (util/snapshot.h).
//
// Threads: Publish, Attach and ClearLastRequest on the main thread;
// GetResponse and FreeResponse on the connections' workers, several at
// once; LastRequest on any thread. The never-served files and the access
// log given to Attach must outlive every worker.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "app/file_cache.h"
#include "app/log_line.h"
#include "app/password.h"
#include "app/request_path.h"
#include "app/settings.h"
#include "http/http_server.h"
#include "util/snapshot.h"

namespace vt {

class TAccessLog;
class TNeverServed;

enum class TRouteKind { kFile, kFolder, kProgram, kUpload, kRefusal, kListing, kRedirect, kArchive };

// What a request's route depends on.
struct TRouteFacts {
  std::string_view method;
  TMapResult mapped = mrNotFound;
  // mrNotFound, and the path names a folder that exists but has no default
  // document (MapRequestPath's `folder`).
  bool folder = false;
  // mrFound, CGI is on and the file's extension is ".exe".
  bool program = false;
  // The path names a folder but is not written as one (MapRequestPath's
  // `without_slash`): found is its default document, or `folder` is set.
  bool without_slash = false;
  // The query asks for the folder as an archive (ArchiveKindOfQuery).
  bool archive = false;
  // Folders without a default document are listed (ListFolders).
  bool list_folders = false;
  // Uploads are on and the method and path make an upload
  // (IsUploadRequest).
  bool upload = false;
};

struct TRoute {
  TRouteKind kind = TRouteKind::kRefusal;
  // For kRefusal: 400, 404 or 405.
  std::int32_t status = 0;
  // For 405: the methods the thing found takes (the Allow field).
  const char* allow = nullptr;
};

// The one route that answers a request with these facts. An upload goes
// to its own route whatever the path found (the handler judges the folder
// and the name). A method check comes next: a CGI program also takes POST (a form's body on its standard
// input); everything else is read only (GET and HEAD).
TRoute ChooseRoute(const TRouteFacts& facts);

// The values of an access log line that come from the request: `request`
// as far as it was read (null: no request line). A refused request gets
// kMissingLogValue for what it never told (see log_line.h); one that was
// answered, as ever, empty texts. `fields` views `referer` and
// `user_agent`, which are looked up only when `variables` (LogLineVariables)
// names them.
void FillRequestLogFields(TLogLineFields& fields, const ThttpRequest* request, bool refused,
                          std::uint32_t variables, std::string& referer, std::string& user_agent);

class TRequestHandler {
 public:
  TRequestHandler();
  TRequestHandler(const TRequestHandler&) = delete;
  TRequestHandler& operator=(const TRequestHandler&) = delete;

  // Makes `settings` the ones new requests are answered with, and sets the
  // password gate to its user and hash.
  void Publish(const TWebServerSettings& settings);
  // The settings new requests get; never null.
  std::shared_ptr<const TWebServerSettings> Settings() const { return FSettings.Current(); }

  // The files no request gets and the access log; either may be null
  // (nothing refused by identity; no log written).
  void Attach(const TNeverServed* never_served, TAccessLog* access_log);

  // The URI (with "?query") of the latest request the application answered
  // (a 404 or a 401 too); cleared when the server stops.
  std::string LastRequest() const;
  void ClearLastRequest();
  // The lock that guards the last request (the application lock).
  std::mutex& LastRequestLock() { return FLastRequestLock; }

  // Worker thread, from the request's head: an upload's body, and a POST's
  // that may be for a CGI program (up to the settings' MaxCGIBody), are
  // read as they arrive rather than whole first.
  void RequestHeader(AhttpServerClient& client);
  // Worker thread: sets the client's response to the request.
  void GetResponse(AhttpServerClient& client);
  // Worker thread: the request is over; writes its access log line.
  void FreeResponse(AhttpServerClient& client);
  // Worker thread: the server refused the request with its own answer
  // (OnRequestRefused); writes its access log line, with the settings of
  // the moment.
  void RequestRefused(AhttpServerClient& client);

  // The port HTTPS serves on while it does (0: it does not). While it
  // does, plain HTTP may be redirected there or refused (PlainHttpAnswer,
  // app/https_support.h). Main thread; workers read it. A lone number, read
  // for nothing else: relaxed order is enough.
  void SetHttpsPort(std::uint16_t port) { FHttpsPort.store(port, std::memory_order_relaxed); }

  // Small files answered from memory (for tests).
  TSmallFileCache& FileCache() { return FFileCache; }

 private:
  struct TRequestContext;

  // The route handlers, one per TRouteKind.
  void ServeFile(TRequestContext& context);
  void ServeFolder(TRequestContext& context);
  void ServeArchive(TRequestContext& context);
  void RunProgram(TRequestContext& context);
  void ReceiveUpload(TRequestContext& context);
  void Refuse(TRequestContext& context);
  void ListFolder(TRequestContext& context);
  void RedirectToFolder(TRequestContext& context);

  // What plain HTTP gets while HTTPS serves on `https_port`: true when the
  // request is served as ever; otherwise its redirect or refusal is set.
  bool PlainHttpPasses(AhttpServerClient& client, const TWebServerSettings& settings,
                       std::uint16_t https_port);
  // The password gate: true when the request may go on; otherwise its 401
  // answer is set.
  bool Authorized(AhttpServerClient& client);
  // After a request mapped to `found` or not: a missing published directory
  // is told once, and its return once.
  void CheckPublishedDirectory(AhttpServerClient& client, const std::string& pub_dir, bool found);
  void SetLastRequest(const ThttpRequest& request);
  // `status`: the answer's; `refused`: the server's own refusal.
  void WriteAccessLog(AhttpServerClient& client, const std::string& log_format, int status, bool refused);

  TSnapshot<TWebServerSettings> FSettings;
  TBasicAuthGate FAuthGate;
  TSmallFileCache FFileCache;
  const TNeverServed* FNeverServed = nullptr;
  TAccessLog* FAccessLog = nullptr;
  mutable std::mutex FLastRequestLock;
  std::string FLastRequest;
  // The access log failed and has not been written since (it was reported).
  std::atomic<bool> access_log_failing_{false};
  // The published directory was found missing and has not been seen since.
  std::atomic<bool> pub_dir_missing_{false};
  std::atomic<std::uint16_t> FHttpsPort{0};
};

}  // namespace vt
