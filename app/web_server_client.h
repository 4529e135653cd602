#pragma once

// TWebServerClient: the application's client object, one per accepted
// connection. It is the HTTP server's client (ThttpServerClient) plus the
// CGI run: a request for an ".exe" program of the published directory runs
// that program and answers with what it writes on its standard output.
//
// A CGI run
// - runs exactly the mapped file (no %NAME% expansion of its path), with the
//   CGI/1.1 variables as its whole environment, in its own folder, with its
//   standard output collected, the body of a POST on its standard input
//   (/dev/null for other requests) and its standard error on /dev/null;
// - answers with the program's header section, checked and with its framing
//   fields dropped, and the rest of the output as the body
//   (app/cgi_output.h); output that is no valid answer makes ExecuteCGI
//   raise ECGIOutput;
// - is bounded (TCGILimits): a program still running TimeOut after its output
//   ended is killed and its output used; one that runs past RunTimeOut, or
//   writes more than MaxOutput bytes, is killed with its process group and
//   ExecuteCGI raises ECGIRun, as it raises EOSError (with the system's
//   reason) for a program that cannot be started;
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

#include "app/settings.h"
#include "http/http_server.h"
#include "platform/win_execute.h"
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
  // Frees FExec (a run cannot be in progress: the worker has ended).
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
  // published directory as set) and leaves the answer built from its output
  // as the client's Response. Raises (see above) when no answer could be
  // built; Response is then left as it was.
  void ExecuteCGI(const std::string& DocumentRoot, const std::string& ScriptPath);
  // The runner's OnStdOut: appends the block to FCGIOutput.
  void CGIStdOut(TWinExecute& sender, const char* buf, std::int32_t size);

 private:
  // The runner of the latest CGI run on this connection.
  std::unique_ptr<TvtWinExecute> FExec;
  // The output of the running (or latest) CGI program.
  std::string FCGIOutput;

  // The process of the running program, for Terminate; 0 when none.
  std::mutex cgi_mutex_;
  pid_t cgi_pid_ = 0;
};

}  // namespace vt
