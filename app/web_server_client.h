#pragma once

// TWebServerClient: the application's client object, one per accepted
// connection. It is the HTTP server's client (ThttpServerClient) plus the
// CGI run: a request for an ".exe" program of the published directory runs
// that program and answers with what it writes on its standard output.
//
// A CGI run
// - runs exactly the mapped file (no %NAME% expansion of its path), with the
//   CGI/1.1 variables as its whole environment (PATH_INFO: the request's
//   path after the program's), in its own folder, with the body of a POST
//   streamed to its standard input as it arrives (/dev/null for other
//   requests) and its standard error on /dev/null;
// - answers with the program's header section, checked and with its framing
//   fields dropped (app/cgi_output.h), and streams the rest of its output
//   as the body (app/cgi_program.h): with the program's Content-Length when
//   it gave one, with the length of what it wrote when its output ended
//   within the read-ahead, else of unknown length. Output that is no valid
//   answer makes ExecuteCGI raise ECGIOutput;
// - is bounded (TCGILimits and the settings' CGITimeLimit): a program silent
//   for TimeOut, running past the time limit, or whose client goes away is
//   ended with its process group (SIGTERM, SIGKILL 2 s later); before the
//   answer began ExecuteCGI raises ECGIRun, as it raises EOSError (with the
//   system's reason) for a program that cannot be started; after, the answer
//   is cut and the connection closed;
// - fails with ECGIRun too when the program was ended by a signal (a crash:
//   its output may be cut anywhere); a program that wrote nothing gets its
//   empty answer, and a line in the log.
//
// Lifetime and threads: the server makes it through the application's
// OnCreateClient handler on the main thread and frees it there when the
// connection ends. ExecuteCGI and CGIStdOut run on the connection's worker
// thread, inside OnGetResponse. Terminate (main thread) also kills a CGI
// program that is running, so that stopping the server never waits for one.

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "app/cgi_program.h"
#include "app/settings.h"
#include "http/http_server.h"
#include "platform/win_execute.h"
#include "util/exception.h"

namespace vt {

// Bounds of a CGI run.
struct TCGILimits {
  // Milliseconds a program may be silent (nothing written, none of its
  // input taken) while the server waits for it, and may run on after its
  // output ended; then it is ended.
  std::int32_t TimeOut = 15000;
  // Milliseconds that cap the whole run beside the settings' CGITimeLimit
  // (the shorter applies); negative: only the setting.
  std::int32_t RunTimeOut = -1;
};

class TWebServerClient : public ThttpServerClient {
 public:
  explicit TWebServerClient(ATCPServer& server);
  ~TWebServerClient() override;

  // The bounds of this connection's CGI runs (set by whoever makes the
  // client).
  TCGILimits CGILimits;

  // The settings the current request is answered with: the application's
  // snapshot taken when the request reached it, kept until its log line is
  // written (worker thread only).
  std::shared_ptr<const TWebServerSettings> RequestSettings;

  // Also kills the CGI program that runs for this connection, if any.
  void Terminate() override;

  // Runs the program `ScriptPath` (a file below `DocumentRoot`, the
  // published directory as set) for a request whose path goes on after the
  // program's with `PathInfo`, and leaves the answer as the client's
  // Response, its body streamed from the program. Raises (see above) when
  // no answer could be built; Response is then left as it was.
  void ExecuteCGI(const std::string& DocumentRoot, const std::string& ScriptPath,
                  std::string_view PathInfo = {});

 private:
  // The process of the running program, for Terminate; 0 when none.
  std::mutex cgi_mutex_;
  pid_t cgi_pid_ = 0;
};

}  // namespace vt
