// ThttpServerClient, the client the application's server makes: what it
// decides from the request's head (keep-alive, the Referer line) and the
// answer (whether the connection stays), and its CGI environment; and the
// server component that makes such clients.

#include "http/cgi_environment.h"
#include "http/http_server.h"
#include "http/http_text.h"
#include "util/text.h"

namespace vt {

namespace {

// Compared as a view: most methods differ in length, and are told at once.
constexpr std::string_view kHEAD = "HEAD";

}  // namespace

// ---------------------------------------------------------------------------
// ThttpServerClient

void ThttpServerClient::DoRequestHeader() {
  ThttpRequest& request = *Request();
  // Looked up without a copy: most requests have none.
  if (const AHeaderField* field = request.Header() ? request.Header()->GetField("Referer") : nullptr) {
    const std::string referer = field->GetValue();
    if (!referer.empty()) Log(0, "Referer: " + PeerAddressText() + ";" + referer);
  }
  // Connection is a list of options, possibly over several fields
  // ("Connection: TE, close"): "close" anywhere ends the connection after
  // this answer; otherwise "keep-alive" keeps it.
  bool close = false;
  bool keep = false;
  if (const THeader* header = request.Header()) {
    static const std::uint32_t kKey = AHeaderField::KeyOfName("Connection");
    for (int i = 0; i < header->Count(); ++i) {
      if (!header->Fields(i)->MatchesName("Connection", kKey)) continue;
      for (const std::string& option : SplitAtText(header->Fields(i)->GetValue(), ",")) {
        const std::string token = detail::TrimmedLower(option);
        close = close || token == "close";
        keep = keep || token == "keep-alive";
      }
    }
  }
  if (close) {
    KeepAlive = false;
  } else if (keep) {
    KeepAlive = true;
  }
  AhttpServerClient::DoRequestHeader();
}

namespace {

// The client can tell where the body ends without the connection closing:
// no body is allowed or sent, or its length is given, or it is chunked.
bool IsDelimited(ThttpResponse& response, const ThttpRequest* request) {
  const int32_t code = response.StatusCode;
  if (code / 100 == 1 || code == 204 || code == 304) return true;
  if (request && request->Method == kHEAD) return true;
  if (response.HasContentLength()) return true;
  return response.GetTransferEncoding() == "chunked";
}

}  // namespace

void ThttpServerClient::DoPreRespond() {
  ThttpResponse& response = *Response();
  if (KeepAlive && (!response.GetKeepAlive() || response.IsLengthUndetermined())) KeepAlive = false;
  AhttpServerClient::DoPreRespond();
  // Whatever the handler decided: a body whose end only the close can show
  // must be followed by the close.
  if (KeepAlive && !IsDelimited(response, Request())) KeepAlive = false;
  response.SetConnectionFieldForWriting(KeepAlive);
}

void ThttpServerClient::BuildCGIEnvironment(std::vector<std::string>* list, const std::string& documentRoot,
                                            const std::string& scriptFileName, std::string_view pathInfo) {
  if (!list || !Request()) return;
  TCGIConnectionInfo info;
  info.remote_addr = PeerAddressText();
  TTCPServerClientSocket* socket = Socket();
  info.remote_host = socket && socket->IsConnected() ? socket->GetPeerHostName() : std::string();
  if (info.remote_host.empty()) info.remote_host = info.remote_addr;
  info.remote_port = RemotePeer.Port() != 0 ? std::to_string(RemotePeer.Port()) : std::string();
  info.remote_user = RemoteUser;
  info.server_port = socket ? socket->GetLocalPort() : std::string();
  info.https = socket && socket->Tls();
  info.server_name = ServerLocalHost();
  if (info.server_name.empty()) info.server_name = LocalHostName();
  info.server_software = ApplicationName();
  info.server_admin = ServerAdmin();
  vt::BuildCGIEnvironment(*list, *Request(), info, documentRoot, scriptFileName, pathInfo);
}

// ---------------------------------------------------------------------------
// TvtHTTPServer

TvtHTTPServer::TvtHTTPServer() { Init(); }

void TvtHTTPServer::Init() { ClientClass = ClientClassOf<ThttpServerClient>(); }

}  // namespace vt
