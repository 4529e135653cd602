#include "app/web_server_client.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <climits>

#include "app/cgi_output.h"
#include "http/message.h"
#include "platform/synchronize.h"

namespace vt {

namespace {

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

TWebServerClient::~TWebServerClient() { FExec.reset(); }

void TWebServerClient::Terminate() {
  ThttpServerClient::Terminate();
  std::lock_guard lock(cgi_mutex_);
  if (cgi_pid_ > 0) ::kill(-cgi_pid_, SIGKILL);
}

void TWebServerClient::CGIStdOut(TWinExecute&, const char* buf, std::int32_t size) {
  FCGIOutput.append(buf, static_cast<std::size_t>(size));
}

void TWebServerClient::ExecuteCGI(const std::string& DocumentRoot, const std::string& ScriptPath) {
  const std::string script = AbsolutePath(ScriptPath);
  FExec.reset();
  FExec = std::make_unique<TvtWinExecute>();
  TvtWinExecute& exec = *FExec;
  exec.FilePath = script;
  BuildCGIEnvironment(&exec.EnvStrings, DocumentRoot, script);
  // The program that runs must be exactly the file the request mapped to: a
  // name like "%HOME%.exe" is no reference to expand.
  exec.Options = eoRedirectStdOut | eoNoWindow | eoDontExpandEnvStrings;
  // A POST's body is the program's input (CONTENT_LENGTH bytes); any other
  // request gives it none.
  if (Request() && Request()->Method == "POST") exec.StdInData = Request()->GetContentText();
  if (!exec.StdInData.empty()) exec.Options |= eoRedirectStdIn;
  exec.Mode = emBlock;
  exec.ShowMode = esHide;
  exec.DefaultDir = script.substr(0, script.rfind('/') + 1);
  exec.TimeOut = CGILimits.TimeOut;
  exec.RunTimeOut = CGILimits.RunTimeOut;
  exec.MaxOutput = CGILimits.MaxOutput;
  exec.OnStdOut = [this](TWinExecute& sender, const char* buf, std::int32_t size) {
    CGIStdOut(sender, buf, size);
  };
  // The child is a process group leader (platform/win_execute.h), so
  // Terminate can kill it with whatever it started. The id is dropped as
  // soon as the child has been reaped, before it could be given to another
  // process.
  exec.OnExecute = [this](TWinExecute& sender) {
    std::lock_guard lock(cgi_mutex_);
    cgi_pid_ = sender.ProcessId();
    if (Terminated()) ::kill(-cgi_pid_, SIGKILL);
  };
  const auto forget_child = [this] {
    std::lock_guard lock(cgi_mutex_);
    cgi_pid_ = 0;
  };
  exec.OnFinished = [&](TWinExecute&) { forget_child(); };

  FCGIOutput.clear();
  const auto started = std::chrono::steady_clock::now();
  Figures.SetState(TConnectionState::RunningProgram);
  try {
    exec.Execute();
  } catch (...) {
    Figures.SetState(TConnectionState::Preparing);
    forget_child();
    throw;
  }
  Figures.SetState(TConnectionState::Preparing);
  forget_child();

  if (exec.OutputLimitReached())
    throw ECGIRun("The CGI program wrote more than " + std::to_string(CGILimits.MaxOutput) +
                  " bytes and was stopped");
  const auto ran = std::chrono::steady_clock::now() - started;
  if (exec.TimedOut() && CGILimits.RunTimeOut >= 0 && ran >= std::chrono::milliseconds(CGILimits.RunTimeOut))
    throw ECGIRun("The CGI program ran longer than " + std::to_string(CGILimits.RunTimeOut) +
                  " ms and was stopped");

  // A crash may have cut the output anywhere: it is no answer to pass on.
  const std::int32_t code = exec.ExitCode();
  if (!exec.TimedOut() && code > 128 && code <= 128 + 64)
    throw ECGIRun("The CGI program was ended by signal " + std::to_string(code - 128) + " (exit code " +
                  std::to_string(code) + ")");
  // No output is an empty answer, but hardly what the program meant.
  if (FCGIOutput.empty()) {
    TellMainThread("Could not log", [&] {
      Log(1, "CGI program " + script + " wrote nothing (exit code " + std::to_string(code) + ")");
    });
  }

  TCGIAnswer answer = ParseCGIOutput(FCGIOutput);
  auto response =
      std::make_unique<ThttpResponse>(answer.status, "HTTP", 1, 1, std::string(), nullptr, answer.reason);
  response->GetCustomLines() = std::move(answer.fields);
  response->SetContentText(FCGIOutput.substr(answer.body_start));
  SetResponse(std::move(response));
}

}  // namespace vt
