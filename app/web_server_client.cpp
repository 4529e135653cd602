#include "app/web_server_client.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <climits>

#include <algorithm>

#include "app/cgi_output.h"
#include "http/cgi_environment.h"
#include "http/message.h"
#include "http/request_body_reader.h"
#include "platform/synchronize.h"

namespace vt {

namespace {

// The most of a chunked body read before its program starts (see
// ExecuteCGI): as much as the server read whole of any body before.
constexpr std::size_t kCGIWholeChunkedBody = 1024 * 1024;

// A path that no longer depends on this process's working directory (the
// program runs in its own folder).
std::string AbsolutePath(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  char cwd[PATH_MAX];
  if (!::getcwd(cwd, sizeof cwd)) return path;
  return std::string(cwd) + "/" + path;
}

}  // namespace

TWebServerClient::TWebServerClient(ATCPServer& server) : ThttpServerClient(server) {}

TWebServerClient::~TWebServerClient() = default;

void TWebServerClient::Terminate() {
  ThttpServerClient::Terminate();
  std::lock_guard lock(cgi_mutex_);
  if (cgi_pid_ > 0) ::kill(-cgi_pid_, SIGKILL);
}

void TWebServerClient::ExecuteCGI(const std::string& DocumentRoot, const std::string& ScriptPath,
                                  std::string_view PathInfo) {
  const std::string script = AbsolutePath(ScriptPath);
  TvtWinExecute exec;
  exec.FilePath = script;
  // The program that runs must be exactly the file the request mapped to: a
  // name like "%HOME%.exe" is no reference to expand.
  exec.Options = eoRedirectStdOut | eoNoWindow | eoDontExpandEnvStrings;
  // A POST's body is the program's input as it arrives; any other request
  // gives it none.
  ThttpRequestBodyReader* body = RequestBody();
  std::string collected;
  if (Request() && Request()->Method != "GET" && Request()->Method != "HEAD") {
    if (!body) {
      collected = Request()->GetContentText();  // read whole by the server
    } else if (body->GetSize() < 0) {
      // A chunked body tells its length only at its end: one that ends
      // within a form's size is read first, so that the program is told
      // its CONTENT_LENGTH; a longer one streams and the program reads its
      // input to the end.
      collected.resize(kCGIWholeChunkedBody);
      std::size_t got = 0;
      while (got < collected.size() && !body->AtEnd())
        got += static_cast<std::size_t>(
            body->Read(collected.data() + got, static_cast<std::int32_t>(collected.size() - got)));
      collected.resize(got);
      if (body->AtEnd()) body = nullptr;
    }
    if (body || !collected.empty()) exec.Options |= eoRedirectStdIn;
  }
  BuildCGIEnvironment(&exec.EnvStrings, DocumentRoot, script, PathInfo);
  if (body && body->GetSize() < 0) TStringListSetValue(exec.EnvStrings, "CONTENT_LENGTH", "");
  exec.Mode = emNoWait;
  exec.ShowMode = esHide;
  exec.DefaultDir = script.substr(0, script.rfind('/') + 1);

  TCGIRunLimits limits;
  limits.SilenceMs = CGILimits.TimeOut;
  const std::int64_t setting = RequestSettings && RequestSettings->CGITimeLimit > 0
                                   ? std::int64_t{RequestSettings->CGITimeLimit} * 1000
                                   : -1;
  std::int64_t run = setting;
  if (CGILimits.RunTimeOut >= 0)
    run = run < 0 ? CGILimits.RunTimeOut : std::min<std::int64_t>(run, CGILimits.RunTimeOut);
  limits.RunMs = static_cast<std::int32_t>(std::min<std::int64_t>(run, INT32_MAX));

  Figures.SetState(TConnectionState::RunningProgram);
  struct TPreparing {
    TConnectionFigures& figures;
    ~TPreparing() { figures.SetState(TConnectionState::Preparing); }
  } preparing{Figures};
  exec.Execute();
  // The child is a process group leader (platform/win_execute.h), so
  // Terminate can kill it with whatever it started. The id is dropped as
  // soon as the child has ended, before it could be given to another
  // process.
  auto program =
      std::make_unique<TCGIProgram>(exec.DetachChild(), *Stream(), body, limits, [this](pid_t pid) {
        std::lock_guard lock(cgi_mutex_);
        cgi_pid_ = pid;
        if (pid > 0 && Terminated()) ::kill(-pid, SIGKILL);
      });
  if (!collected.empty()) program->FeedFirst(std::move(collected));
  program->BeforeWait = [this] { FlushResponse(); };

  const std::string_view output = program->ReadHead();
  // No output is an empty answer, but hardly what the program meant.
  if (output.empty()) {
    TellMainThread("Could not log", [&] {
      Log(1,
          "CGI program " + script + " wrote nothing (exit code " + std::to_string(program->ExitCode()) + ")");
    });
  }
  TCGIAnswer answer = ParseCGIOutput(output);
  program->Skip(answer.body_start);
  const std::int64_t length =
      CGIAnswerLength(answer.content_length, program->OutputEnded(), program->Buffered());
  auto response =
      std::make_unique<ThttpResponse>(answer.status, "HTTP", 1, 1, std::string(), nullptr, answer.reason);
  response->GetCustomLines() = std::move(answer.fields);
  response->SetContentReader(std::make_unique<TCGIBodyReader>(std::move(program), length));
  SetResponse(std::move(response));
}

}  // namespace vt
