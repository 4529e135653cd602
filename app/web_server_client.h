#pragma once

// TWebServerClient: the application's client object, one per accepted
// connection. It is the HTTP server's client (ThttpServerClient) plus the
// CGI run: a request for an ".exe" program of the published directory runs
// that program and answers with what it writes.
//
// Lifetime and threads: the server makes it through the application's
// OnCreateClient handler on the main thread and frees it there when the
// connection ends. ExecuteCGI runs on the connection's worker thread, inside
// OnGetResponse.

#include <cstdint>
#include <string>

#include "http/http_server.h"
#include "util/exception.h"

namespace vt {

// A CGI run that could not produce an answer.
VT_EXCEPTION_CLASS(ECGIRun, Exception);

// Bounds of a CGI run.
struct TCGILimits {
  // Milliseconds a program may go on running after its output has ended;
  // then it is killed and what it wrote is the answer.
  std::int32_t TimeOut = 15000;
  // Milliseconds the whole run may take, output included; a program still
  // running then is killed and the request gets the 500 page.
  std::int32_t RunTimeOut = 30000;
  // Bytes of output collected at most; a program that writes more is killed
  // and the request gets the 500 page.
  std::int64_t MaxOutput = 16 * 1024 * 1024;
};

class TWebServerClient : public ThttpServerClient {
 public:
  explicit TWebServerClient(ATCPServer& server);
  ~TWebServerClient() override;

  // The bounds of this connection's CGI runs (set by whoever makes the
  // client).
  TCGILimits CGILimits;

  // Runs the program `ScriptPath` (a file below `DocumentRoot`, the
  // published directory as set) and leaves the answer built from its output
  // as the client's Response. Raises when no answer could be built.
  void ExecuteCGI(const std::string& DocumentRoot, const std::string& ScriptPath);
};

}  // namespace vt
