#pragma once

// Runs another program, optionally with its standard output, standard error
// and standard input connected to pipes; hands the output to event handlers
// in blocks of at most 4096 bytes as it arrives; waits for the program with a
// time-out, kills it when the time-out expires, and records its exit code.
//
// How a run maps to Linux
// - The child is forked and exec'd in a process group of its own, so that a
//   kill reaches its descendants too. Only its three standard descriptors
//   reach it: the redirected ones are pipe ends, every stream that is not
//   redirected is /dev/null, and all other descriptors of this process are
//   closed in the child. Signal dispositions and the signal mask are reset.
// - A program that cannot be started (missing, not executable, a bad
//   DefaultDir, exec failure of any kind) makes Execute raise EOSError with
//   the system's reason; the child's exec failure travels back through a
//   close-on-exec status pipe, so it never looks like a program that ran.
// - FilePath is the program (searched for in PATH when it holds no "/");
//   Parameters are split into arguments by SplitCommandLine. Unless
//   eoDontExpandEnvStrings is set, %NAME% references in both are expanded from
//   this process's environment first (ExpandEnvStrings).
// - EnvStrings empty: the child inherits this process's environment;
//   otherwise it gets exactly those NAME=value lines.
// - Priority: ppNormal nice 0, ppIdle 19, ppHigh -10, ppRealTime -20 (raising
//   priority needs privileges; without them the child keeps ours). ShowMode
//   and eoNoWindow have no meaning here.
// - Exit code: the program's exit status; 128 + the signal number for a
//   program that a signal ended (the shells' convention); 1 when this
//   component killed it (time-out or output limit).
//
// Modes
// - emBlock: Execute reads the redirected output until every pipe has ended
//   (both pipes at once, so a child that fills one while the other is open
//   cannot deadlock), then waits TimeOut milliseconds for the program to end
//   and kills its process group when it has not. Every event runs on the
//   calling thread. An exception from an event ends the run: the child's
//   group is killed and reaped, then the exception propagates.
// - emThread: Execute returns once the child runs; a waiting thread reads
//   the output and waits for the program, with TimeOut counted from the
//   start, and hands OnStdOut, OnStdErr and OnFinished to the main thread
//   through Synchronize (the main thread must be pumping its queue). An
//   exception from one of these events, or a main thread that no longer
//   serves Synchronize, ends the run as in emBlock, without OnFinished.
// - emNoWait: Execute returns once the child runs; nothing reads its output.
//
// Limits for runs that must be bounded as a whole (the web server's CGI runs):
// - RunTimeOut bounds the whole run from the start, output included: a
//   program that keeps its output open, or writes without end, has its
//   process group killed when it passes.
// - MaxOutput caps the bytes handed to OnStdOut and OnStdErr together; the
//   block that crosses it is cut at the cap, then the group is killed.
// Either ends the run with exit code 1 and TimedOut() or
// OutputLimitReached() set; OnFinished is still called.
//
// Lifetime and threads. The owner creates and deletes the component; one run
// at a time. Execute and destruction first end the previous run: a waiting
// thread is told to stop and joined (the main thread keeps serving its queue
// meanwhile), then the run's descriptors are closed. Neither waits for the
// child: a child that still runs then (emNoWait, or an emThread run cut
// short) keeps running and is reaped in the background when it ends, so no
// zombie stays behind. Settings must not change while a run is in progress.

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/component.h"
#include "platform/unique_fd.h"
#include "util/exception.h"

namespace vt {

VT_EXCEPTION_CLASS(EWinExecute, Exception);

// Members of the Options set, one bit each.
enum TWinExecuteOptions : uint32_t {
  eoRedirectStdOut = 1,
  eoRedirectStdErr = 2,
  eoRedirectStdIn = 4,
  eoNoWindow = 8,
  eoDontExpandEnvStrings = 16,
};

enum TWinExecuteMode { emNoWait, emBlock, emThread };
enum TWinExecuteShowMode { esNormal, esHide, esMaximized, esMinimized };
enum TProcessPriority { ppDefault, ppNormal, ppIdle, ppHigh, ppRealTime };

class TWinExecute;
using TWinExecuteEvent = std::function<void(TWinExecute& sender)>;
// `buf` holds `size` bytes, valid only during the call.
using TWinExecuteOutputEvent = std::function<void(TWinExecute& sender, const char* buf, int32_t size)>;

class TWinExecute : public TComponent {
 public:
  TWinExecute();
  ~TWinExecute() override;
  const char* ClassName() const override { return "TWinExecute"; }

  uint32_t Options = 0;  // TWinExecuteOptions or-ed together
  TWinExecuteMode Mode = emNoWait;
  TWinExecuteShowMode ShowMode = esNormal;
  std::string FilePath;    // required
  std::string Parameters;  // command-line arguments
  std::string DefaultDir;  // working directory; empty: ours
  TProcessPriority Priority = ppDefault;
  int32_t TimeOut = -1;                 // milliseconds; negative: no limit
  std::vector<std::string> EnvStrings;  // NAME=value lines; empty: inherit
  int32_t RunTimeOut = -1;              // milliseconds for the whole run; negative: no limit
  int64_t MaxOutput = -1;               // bytes of output; negative: no limit
  // With eoRedirectStdIn in emBlock or emThread mode, when not empty: the
  // program's whole input. It is written while the output is read (so a
  // program that writes before it has read everything cannot deadlock),
  // then the input ends. A program that ends or closes its input early
  // does not get the rest.
  std::string StdInData;

  TWinExecuteEvent OnBeforeExecute;  // just before the child is created
  TWinExecuteEvent OnExecute;        // just after; ProcessId() is set
  TWinExecuteEvent OnFinished;       // the child ended and ExitCode() is set
  TWinExecuteOutputEvent OnStdOut;
  TWinExecuteOutputEvent OnStdErr;

  // Runs the program as configured. Raises EWinExecute "FilePath not
  // specified" when FilePath is empty (nothing else changes then), EOSError
  // when the program cannot be started.
  void Execute();

  // The exit code of the last run that ended; 0 before.
  int32_t ExitCode() const { return exit_code_.load(); }
  // The child's process id, from OnExecute until the next run; 0 otherwise.
  pid_t ProcessId() const { return process_id_; }
  // The last run was killed because TimeOut or RunTimeOut passed.
  bool TimedOut() const { return timed_out_.load(); }
  // The last run was killed because its output passed MaxOutput.
  bool OutputLimitReached() const { return output_limit_reached_.load(); }

  // With eoRedirectStdIn: the write end of the child's standard input, for
  // OnExecute or an output event to feed it; -1 otherwise. CloseStdIn() ends
  // the child's input (it reads end of file).
  int StdInHandle() const { return stdin_write_.get(); }
  void CloseStdIn() { stdin_write_.reset(); }

  // A running child handed over to whoever serves it itself.
  struct TChild {
    pid_t pid = 0;
    UniqueFd stdin_write, stdout_read, stderr_read;
    // Readable once the child has ended; not valid where the system has
    // none (then the end can only be polled for).
    UniqueFd pidfd;
  };
  // After an emNoWait Execute: hands the child and the parent's ends of its
  // redirected streams to the caller, who from then on feeds and reads
  // them, waits for the child and reaps it (or leaves it to ReapWhenEnded).
  // The component forgets the run; ProcessId() stays until the next one.
  TChild DetachChild();

 private:
  class WaitThread;
  struct Watch;
  struct Supervision;

  void CleanUp();
  void RunBlocking();
  // Reads, waits and reaps as `watch` says; see win_execute.cpp.
  bool Supervise(Watch& watch);
  // The steps of Supervise. The deadlines: the process time-out starts when
  // the output has ended, a passed deadline kills the child; false when the
  // run's own deadline passed (the pipes are closed: look again).
  bool WatchDeadlines(Supervision& run, bool reading, std::chrono::steady_clock::time_point now);
  // One wait for output, the child's end, the deadlines or a stop, and the
  // reads it allows; false when stopped.
  bool WaitAndRead(Watch& watch, Supervision& run, bool reading, std::chrono::steady_clock::time_point now);
  // One block from a pipe to its event, within MaxOutput; the end of the
  // data closes the pipe.
  void ReadPipe(Watch& watch, Supervision& run, bool error_stream);
  // StdInData still to be written to an input that is open.
  bool FeedingStdIn() const { return stdin_write_.valid() && stdin_written_ < StdInData.size(); }
  // Writes what the input takes now of StdInData without waiting; closes
  // the input after the last byte, or when the program reads no more.
  void FeedStdIn();
  void KillGroup();
  int Reap();
  static int32_t ExitCodeOf(int status);

  UniqueFd stdout_read_, stderr_read_, stdin_write_, pidfd_;
  pid_t pid_ = 0;  // the child, until reaped or handed to the background reaper
  pid_t process_id_ = 0;
  size_t stdin_written_ = 0;  // bytes of StdInData written
  std::atomic<int32_t> exit_code_{0};
  std::atomic<bool> timed_out_{false}, output_limit_reached_{false};
  std::unique_ptr<WaitThread> wait_thread_;
};

// The same component, with its settings meant to be set where it is declared.
class TvtWinExecute : public TWinExecute {
 public:
  const char* ClassName() const override { return "TvtWinExecute"; }
};

// Reaps `pid`, a child of this process that no one waits for any more,
// once it has ended (at once when it has), so that it never stays a zombie.
void ReapWhenEnded(pid_t pid);

// write(2) to a pipe whose reader may have gone: fails with EPIPE instead
// of raising SIGPIPE in this process.
ssize_t WriteToPipe(int fd, const char* data, size_t size);

// Splits a command line into arguments the way the original platform's C
// runtime does: blanks and tabs separate arguments; double quotes group
// (and are removed); inside quotes "" is a literal quote. Backslashes are
// literal except before a double quote: 2n backslashes and a quote give n
// backslashes and a grouping quote, 2n+1 backslashes and a quote give n
// backslashes and a literal quote.
std::vector<std::string> SplitCommandLine(const std::string& text);

// Replaces each %NAME% whose NAME is set in this process's environment with
// its value. A reference to an unset name stays as written; its closing "%"
// may open the next reference. Names are case-sensitive, as on Linux.
std::string ExpandEnvStrings(const std::string& text);

}  // namespace vt
