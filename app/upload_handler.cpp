#include "app/upload_handler.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "app/app_names.h"
#include "app/html_text.h"
#include "app/upload_receiver.h"
#include "app/upload_store.h"
#include "http/http_server.h"
#include "http/multipart.h"
#include "http/protocol.h"
#include "http/request_body_reader.h"
#include "platform/synchronize.h"
#include "util/text.h"

namespace vt {

namespace {

const char* ReasonOf(std::int32_t status) {
  switch (status) {
    case 400:
      return "Bad Request";
    case 403:
      return "Forbidden";
    case 409:
      return "Conflict";
    case 413:
      return "Request Entity Too Large";
    case 507:
      return "Insufficient Storage";
    default:
      return "Internal Server Error";
  }
}

void LogLine(AhttpServerClient& client, int log_class, const std::string& line) {
  TellMainThread("Could not log", [&] { client.Log(log_class, line); });
}

// The folder part of a decoded request path ("/a/b.txt" -> "/a/"), and
// the last segment ("b.txt"); duplicate slashes count once.
std::string FolderOf(std::string_view uri, std::string& last) {
  std::string folder;
  const std::size_t slash = uri.rfind('/');
  last = std::string(uri.substr(slash == std::string_view::npos ? 0 : slash + 1));
  const std::string_view head = slash == std::string_view::npos ? std::string_view() : uri.substr(0, slash);
  folder += '/';
  for (char c : head) {
    if (c == '/' && folder.back() == '/') continue;
    folder += c;
  }
  if (folder.back() != '/') folder += '/';
  return folder;
}

std::string StoredPage(const std::string& folder_url, const std::vector<TStoredFile>& stored) {
  std::string items;
  for (const TStoredFile& file : stored) {
    const std::string url = PercentEncodePath(folder_url + file.name);
    items += "<li><a href=\"" + EscapeHTMLText(url) + "\">" + EscapeHTMLText(file.name) + "</a> (" +
             ByteCountToText(false, file.size) + ")</li>";
  }
  if (items.empty()) items = "<li>The form sent no file.</li>";
  return "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Stored</title></head><body>"
         "<h1>Stored</h1><ul>" +
         items + "</ul><p><a href=\"" + EscapeHTMLText(PercentEncodePath(folder_url)) +
         "\">Back to the folder</a></p></body></html>";
}

}  // namespace

std::uint32_t UploadBodyTime(std::int64_t size, std::int64_t max_size) {
  const std::int64_t bytes = size >= 0 ? size : max_size;
  const std::int64_t ms = kUploadBodyTime + bytes / kUploadMinRate * 1000;
  return static_cast<std::uint32_t>(std::min<std::int64_t>(ms, std::numeric_limits<std::uint32_t>::max()));
}

std::string UploadFolderURL(std::string_view upload_folder, bool serve_hidden) {
  std::string url = "/";
  std::size_t at = 0;
  while (at <= upload_folder.size()) {
    std::size_t end = upload_folder.find_first_of("/\\", at);
    if (end == std::string_view::npos) end = upload_folder.size();
    const std::string_view segment = upload_folder.substr(at, end - at);
    at = end + 1;
    if (segment.empty() || segment == ".") continue;
    if (segment == "..") return std::string();
    if (segment.front() == '.' && !serve_hidden) return std::string();
    for (char c : segment)
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return std::string();
    url.append(segment).append("/");
  }
  return url;
}

bool IsUploadRequest(std::string_view method, std::string_view uri, bool uploads_allowed) {
  if (!uploads_allowed) return false;
  if (method == "PUT") return true;
  return method == "POST" && !uri.empty() && uri.back() == '/';
}

std::string PercentEncodePath(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9') ||
        std::string_view("-._~/").find(c) != std::string_view::npos) {
      out += c;
    } else {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    }
  }
  return out;
}

void AnswerUpload(AhttpServerClient& client, const TWebServerSettings& settings) {
  const ThttpRequest& request = *client.Request();
  const std::string peer = client.PeerAddressText();
  const bool put = request.Method == "PUT";
  std::string name;
  const std::string folder_url = FolderOf(request.URI, name);
  const std::string target_url = UploadFolderURL(settings.UploadFolder, settings.ServeHiddenFiles);
  const std::int64_t max_size = std::int64_t{std::max(settings.MaxUploadSize, 0)} * 1024 * 1024;
  try {
    if (target_url.empty()) throw EUpload(403, "The upload folder setting names no folder of the site");
    if (folder_url != target_url)
      throw EUpload(403, "Uploads go to " + target_url + " only, not to " + folder_url);
    std::string local = settings.PubDir.empty() ? std::string(kEmptyPubDirBase) : settings.PubDir;
    if (local.back() == '/') local.pop_back();
    local += target_url;
    TUploadFolder folder(local);
    TUploadJob job;
    job.folder = &folder;
    job.max_file_size = max_size;
    job.progress = [&client](std::int64_t bytes) { client.Figures.SetReceived(bytes); };
    TMemoryReader nothing(nullptr, 0);
    AReaderEx* body = client.RequestBody();
    if (!body) body = &nothing;
    client.Figures.BeginReceiving(body->GetSize());
    client.Figures.SetState(TConnectionState::Reading);
    struct TDone {
      AhttpServerClient& client;
      ~TDone() {
        client.Figures.EndReceiving();
        client.Figures.SetState(TConnectionState::Preparing);
      }
    } done{client};
    std::vector<TStoredFile> stored;
    if (put) {
      stored.push_back(ReceivePut(*body, name, job));
    } else {
      const auto boundary = ParseMultipartBoundary(request.GetContentType());
      if (!boundary) throw EUpload(400, "A form's upload must be sent as multipart/form-data");
      stored = ReceiveForm(*body, *boundary, job);
    }
    for (const TStoredFile& file : stored)
      LogLine(client, 0,
              "Upload from " + peer + " stored " + file.name + " (" + ByteCountToText(false, file.size) +
                  ") in " + folder.Path());
    auto response = CreateHTMLResponse(201, "Created", StoredPage(target_url, stored));
    if (!stored.empty())
      response->GetHeader().AddField("Location", PercentEncodePath(target_url + stored.front().name));
    client.SetResponse(std::move(response));
  } catch (const EUpload& error) {
    LogLine(client, 1, "Upload from " + peer + " to " + request.URI + " refused: " + error.Message());
    const std::string reason = ReasonOf(error.Status());
    client.SetResponse(
        CreateHTMLResponse(error.Status(), reason,
                           HTMLErrorPage(reason, "Not stored: " + EscapeHTMLText(error.Message()) + ".",
                                         "Nothing of this upload was kept.", kServerName)));
  }
}

}  // namespace vt
