#include "platform/win_execute.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/event_queue.h"
#include "platform/synchronize.h"
#include "platform/thread_ex.h"
#include "support/child_processes.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace vt {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// A blocking run of /bin/sh -c `script` that collects what the child writes.
struct ShellRun {
  explicit ShellRun(const std::string& script, uint32_t options = eoRedirectStdOut) {
    exec.FilePath = "/bin/sh";
    exec.Parameters = "-c \"" + script + "\"";
    exec.Options = options | eoDontExpandEnvStrings;
    exec.Mode = emBlock;
    exec.OnStdOut = [this](TWinExecute&, const char* buf, int32_t size) {
      EXPECT_EQ(0, finished) << "output after OnFinished";
      out.append(buf, static_cast<size_t>(size));
      out_blocks.push_back(size);
    };
    exec.OnStdErr = [this](TWinExecute&, const char* buf, int32_t size) {
      err.append(buf, static_cast<size_t>(size));
    };
    exec.OnFinished = [this](TWinExecute& sender) {
      ++finished;
      exit_code_at_finish = sender.ExitCode();
    };
  }
  TvtWinExecute exec;
  std::string out, err;
  std::vector<int32_t> out_blocks;
  int finished = 0;
  int32_t exit_code_at_finish = -1;
};

TEST(WinExecute, OutputArrivesInBlocksThenOneFinish) {
  ShellRun run("head -c 10000 /dev/zero; exit 7");
  run.exec.Execute();
  EXPECT_EQ(10000u, run.out.size());
  EXPECT_TRUE(run.out == std::string(10000, '\0'));
  int32_t sum = 0;
  for (int32_t size : run.out_blocks) {
    EXPECT_LE(size, 4096);
    sum += size;
  }
  EXPECT_EQ(10000, sum);
  EXPECT_EQ(1, run.finished);
  EXPECT_EQ(7, run.exit_code_at_finish);
  EXPECT_EQ(7, run.exec.ExitCode());
  EXPECT_EQ(0, test::CountChildProcesses());
}

TEST(WinExecute, BothStreamsAreReadTogether) {
  // 200000 bytes on standard error while standard output stays open: reading
  // the streams one after the other would wait for each other forever.
  ShellRun run("head -c 200000 /dev/zero >&2; echo done", eoRedirectStdOut | eoRedirectStdErr);
  run.exec.RunTimeOut = 20000;
  run.exec.Execute();
  EXPECT_EQ("done\n", run.out);
  EXPECT_EQ(200000u, run.err.size());
  EXPECT_EQ(0, run.exec.ExitCode());
  EXPECT_FALSE(run.exec.TimedOut());
}

TEST(WinExecute, ExitCodesAndEventOrder) {
  std::vector<std::string> events;
  ShellRun run("kill -TERM $$", 0);
  run.exec.OnBeforeExecute = [&](TWinExecute& sender) {
    events.push_back("before");
    EXPECT_EQ(0, sender.ProcessId());
  };
  run.exec.OnExecute = [&](TWinExecute& sender) {
    events.push_back("execute");
    EXPECT_GT(sender.ProcessId(), 0);
  };
  run.exec.Execute();
  EXPECT_EQ(128 + SIGTERM, run.exec.ExitCode()) << "ended by a signal";
  EXPECT_EQ((std::vector<std::string>{"before", "execute"}), events);
  EXPECT_EQ(1, run.finished);

  run.exec.FilePath.clear();
  try {
    run.exec.Execute();
    FAIL() << "no exception";
  } catch (const EWinExecute& e) {
    EXPECT_EQ("FilePath not specified", e.Message());
  }
  EXPECT_EQ(128 + SIGTERM, run.exec.ExitCode());
  EXPECT_EQ(2u, events.size());
}

TEST(WinExecute, TimeOutKillsTheProgramWithExitCodeOne) {
  TvtWinExecute exec;
  exec.FilePath = "/bin/sleep";
  exec.Parameters = "1000";
  exec.Mode = emBlock;
  exec.TimeOut = 100;
  const auto start = Clock::now();
  exec.Execute();
  const auto elapsed = Clock::now() - start;
  EXPECT_GE(elapsed, milliseconds(100));
  EXPECT_LT(elapsed, milliseconds(5000));
  EXPECT_EQ(1, exec.ExitCode());
  EXPECT_TRUE(exec.TimedOut());
  EXPECT_EQ(0, test::CountChildProcesses());
}

TEST(WinExecute, RunTimeOutBoundsAProgramThatKeepsItsOutputOpen) {
  // The child ends at once, but a grandchild keeps the output pipe open.
  ShellRun run("echo started; sleep 1000 & exit 0");
  run.exec.TimeOut = 100;  // starts only once the output has ended: no help here
  run.exec.RunTimeOut = 300;
  const auto start = Clock::now();
  run.exec.Execute();
  EXPECT_LT(Clock::now() - start, milliseconds(5000));
  EXPECT_EQ("started\n", run.out);
  EXPECT_TRUE(run.exec.TimedOut());
  EXPECT_EQ(1, run.exec.ExitCode());
  EXPECT_EQ(1, run.finished);
  EXPECT_EQ(0, test::WaitForNoChildProcesses()) << "the grandchild was not killed with its group";
}

TEST(WinExecute, MaxOutputCapsTheOutputAndKills) {
  ShellRun run("while :; do echo 0123456789; done");
  run.exec.MaxOutput = 10000;
  run.exec.Execute();
  EXPECT_EQ(10000u, run.out.size());
  EXPECT_TRUE(run.exec.OutputLimitReached());
  EXPECT_EQ(1, run.exec.ExitCode());
  EXPECT_EQ(0, test::CountChildProcesses());
}

TEST(WinExecute, EnvironmentIsExactlyEnvStringsOrInherited) {
  test::ScopedEnv mark("VT_TEST_MARK", "inherited");
  ShellRun run("");
  run.exec.FilePath = "/usr/bin/env";
  run.exec.Parameters.clear();
  run.exec.EnvStrings = {"A=1", "B=2"};
  run.exec.Execute();
  EXPECT_EQ("A=1\nB=2\n", run.out);

  run.out.clear();
  run.finished = 0;
  run.exec.EnvStrings.clear();
  run.exec.Execute();
  EXPECT_NE(std::string::npos, run.out.find("VT_TEST_MARK=inherited\n"));
}

TEST(WinExecute, OnlyTheRedirectedStreamsArePipes) {
  const int leaked = ::open("/dev/null", O_RDONLY);  // deliberately without O_CLOEXEC
  ASSERT_GE(leaked, 0);
  ShellRun run(
      "[ -p /dev/stdout ] && echo out-pipe; [ -p /dev/stdin ] || echo in-not-pipe; "
      "[ -p /dev/stderr ] || echo err-not-pipe; readlink /proc/self/fd/0 /proc/self/fd/2; "
      "[ -e /proc/self/fd/" +
      std::to_string(leaked) + " ] && echo leaked; exit 0");
  run.exec.Execute();
  ::close(leaked);
  EXPECT_EQ("out-pipe\nin-not-pipe\nerr-not-pipe\n/dev/null\n/dev/null\n", run.out);
}

TEST(WinExecute, ParametersDirectoryPriorityAndInput) {
  test::TempDir dir;
  ShellRun run("");
  run.exec.Parameters = "-c \"pwd; for a; do echo \\\"[$a]\\\"; done\" zero \"one two\"  three\\\" \"\"";
  run.exec.DefaultDir = dir.Path();
  run.exec.Execute();
  char real[PATH_MAX];
  ASSERT_TRUE(::realpath(dir.Path().c_str(), real));
  EXPECT_EQ(std::string(real) + "\n[one two]\n[three\"]\n[]\n", run.out);

  ShellRun nice("");
  nice.exec.FilePath = "nice";  // found in PATH; prints its own niceness
  nice.exec.Parameters.clear();
  nice.exec.Priority = ppIdle;
  nice.exec.Execute();
  EXPECT_EQ("19\n", nice.out);

  ShellRun cat("", eoRedirectStdOut | eoRedirectStdIn);
  cat.exec.FilePath = "/bin/cat";
  cat.exec.Parameters.clear();
  cat.exec.OnExecute = [](TWinExecute& sender) {
    ASSERT_EQ(5, ::write(sender.StdInHandle(), "hello", 5));
    sender.CloseStdIn();
  };
  cat.exec.Execute();
  EXPECT_EQ("hello", cat.out);
}

// StdInData is written while the output is read: programs that write much
// before they read all of it, or never read it, neither hang nor fail.
TEST(WinExecute, InputIsFedWhileTheOutputIsRead) {
  std::string input(1 << 20, 'i');
  for (size_t i = 0; i < input.size(); i += 4093) input[i] = static_cast<char>(i % 251);
  const struct {
    const char* script;
    size_t out_size;
  } cases[] = {
      {"head -c 300000 /dev/zero; cat", 300000 + input.size()},  // fills its output pipe first
      {"cat", input.size()},
      {"head -c 10 >/dev/null; echo partly", 7},  // reads a little, then ends
      {"exec 0<&-; echo closed", 7},              // closes its input at once
  };
  for (const auto& c : cases) {
    ShellRun run(c.script, eoRedirectStdOut | eoRedirectStdIn);
    run.exec.StdInData = input;
    run.exec.RunTimeOut = 20000;
    run.exec.Execute();
    EXPECT_EQ(c.out_size, run.out.size()) << c.script;
    EXPECT_EQ(0, run.exec.ExitCode()) << c.script;
    EXPECT_FALSE(run.exec.TimedOut()) << c.script;
    if (run.out.size() > input.size()) {
      EXPECT_TRUE(run.out.compare(run.out.size() - input.size(), input.size(), input) == 0) << c.script;
    }
  }
  EXPECT_EQ(0, test::CountChildProcesses());
}

TEST(WinExecute, EnvironmentReferencesAreExpandedUnlessTold) {
  test::ScopedEnv value("VT_TEST_VALUE", "expanded value");
  ShellRun run("");
  run.exec.Parameters = "-c \"echo %VT_TEST_VALUE% 100% %VT_TEST_UNSET%\"";
  run.exec.Options = eoRedirectStdOut;
  run.exec.Execute();
  EXPECT_EQ("expanded value 100% %VT_TEST_UNSET%\n", run.out);
  run.out.clear();
  run.finished = 0;
  run.exec.Options = eoRedirectStdOut | eoDontExpandEnvStrings;
  run.exec.Execute();
  EXPECT_EQ("%VT_TEST_VALUE% 100% %VT_TEST_UNSET%\n", run.out);

  EXPECT_EQ("a expanded value%b", ExpandEnvStrings("a %VT_TEST_VALUE%%b"));
  EXPECT_EQ("50% expanded value", ExpandEnvStrings("50% %VT_TEST_VALUE%"));
  EXPECT_EQ("%% and %", ExpandEnvStrings("%% and %"));
}

TEST(WinExecute, CommandLineSplitsLikeTheOriginalPlatform) {
  using Args = std::vector<std::string>;
  EXPECT_EQ(Args{}, SplitCommandLine(""));
  EXPECT_EQ(Args{}, SplitCommandLine("  \t "));
  EXPECT_EQ((Args{"a", "b c", "d"}), SplitCommandLine(" a \"b c\"\td "));
  EXPECT_EQ((Args{"x\"y"}), SplitCommandLine("x\\\"y"));                  // \"  -> "
  EXPECT_EQ((Args{"x\\", "y"}), SplitCommandLine("\"x\\\\\" y"));         // \\" -> \ and a closing quote
  EXPECT_EQ((Args{"c:\\dir\\file"}), SplitCommandLine("c:\\dir\\file"));  // lone backslashes stay
  EXPECT_EQ((Args{"a\\\"b"}), SplitCommandLine("a\\\\\\\"b"));            // \\\" -> \"
  EXPECT_EQ((Args{"say \"hi\""}), SplitCommandLine("\"say \"\"hi\"\"\""));
  EXPECT_EQ((Args{"", "x"}), SplitCommandLine("\"\" x"));
  EXPECT_EQ((Args{"ab"}), SplitCommandLine("a\"b"));  // unterminated quote runs to the end
}

TEST(WinExecute, StartFailuresRaiseTheSystemReason) {
  test::TempDir dir;
  const std::string not_executable = dir.WriteFile("script", "#!/bin/sh\necho hi\n");
  struct Case {
    std::string file, directory;
    int error;
  };
  for (const Case& c : {Case{dir.File("missing"), "", ENOENT}, Case{"vt-no-such-program", "", ENOENT},
                        Case{not_executable, "", EACCES}, Case{dir.Path(), "", EACCES},
                        Case{"/bin/true", dir.File("no-such-dir"), ENOENT}}) {
    TvtWinExecute exec;
    exec.FilePath = c.file;
    exec.DefaultDir = c.directory;
    exec.Options = eoRedirectStdOut;
    exec.Mode = emBlock;
    bool executed = false;
    exec.OnExecute = [&](TWinExecute&) { executed = true; };
    try {
      exec.Execute();
      ADD_FAILURE() << c.file << " started";
    } catch (const EOSError& e) {
      EXPECT_EQ(c.error, e.ErrorCode()) << c.file;
      EXPECT_EQ(SystemErrorText(c.error), e.Message());
    }
    EXPECT_FALSE(executed);
  }
  EXPECT_EQ(0, test::CountChildProcesses());
}

TEST(WinExecute, NoChildStaysBehind) {
  {
    TvtWinExecute exec;
    exec.FilePath = "/bin/sh";
    exec.Parameters = "-c \"exit 0\"";
    exec.Execute();  // emNoWait: nobody waits for it here
  }
  EXPECT_EQ(0, test::WaitForNoChildProcesses());

  {
    TvtWinExecute exec;
    exec.FilePath = "/bin/sleep";
    exec.Parameters = "1000";
    exec.Options = eoRedirectStdOut;
    exec.Execute();
    const pid_t first = exec.ProcessId();
    exec.Parameters = "0";
    exec.Execute();  // the first child still runs and outlives its run
    ::kill(first, SIGKILL);
  }
  EXPECT_EQ(0, test::WaitForNoChildProcesses());

  // An event that raises ends a blocking run: its child is killed and reaped.
  ShellRun run("while :; do echo x; done");
  run.exec.OnStdOut = [](TWinExecute&, const char*, int32_t) { throw std::runtime_error("handler failed"); };
  EXPECT_THROW(run.exec.Execute(), std::runtime_error);
  EXPECT_EQ(0, test::CountChildProcesses());
}

// Threads of a yielding pool run SCHED_BATCH, and so do threads they make,
// but a program is not one of them: started from either, by either way of
// starting (a priority of its own takes the fork), it runs as the process
// does. An ordinary pool changes nothing.
TEST(WinExecute, ProgramsStartedFromYieldingThreadsRunAsTheProcess) {
  constexpr int kOrdinary = SCHED_OTHER, kBatch = SCHED_BATCH;
  struct Job : TThreadEx {
    std::function<void()> body;
    void Execute() override { body(); }
  };
  // The policy of /bin/sh started with `priority`, read from its own stat.
  const auto child_policy = [](TProcessPriority priority) {
    ShellRun run("cut -d' ' -f41 /proc/$$/stat");
    run.exec.Priority = priority;
    run.exec.Execute();
    return run.out;
  };
  const struct {
    TPoolThreads kind;
    int thread_policy;
  } cases[] = {{TPoolThreads::kOrdinary, kOrdinary}, {TPoolThreads::kYielding, kBatch}};
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.kind));
    TThreadPool pool(milliseconds(2000), 4, c.kind);
    int on_thread = -1, on_its_thread = -1;
    std::string spawned, forked, from_its_thread;
    Job job;
    job.body = [&] {
      on_thread = ::sched_getscheduler(0);
      spawned = child_policy(ppNormal);
      forked = child_policy(ppIdle);
      std::thread([&] {
        on_its_thread = ::sched_getscheduler(0);
        from_its_thread = child_policy(ppNormal);
      }).join();
    };
    job.Start(&pool);
    job.WaitFor();
    EXPECT_EQ(c.thread_policy, on_thread);
    EXPECT_EQ(c.thread_policy, on_its_thread);
    for (const std::string& policy : {spawned, forked, from_its_thread}) EXPECT_EQ("0\n", policy);
    pool.Close(milliseconds(1000));
  }
  EXPECT_EQ(kOrdinary, ::sched_getscheduler(0));
}

}  // namespace
}  // namespace vt

namespace vt {
namespace {

// Serves the main queue until `done` holds or 10 seconds have passed.
template <typename Condition>
bool PumpUntil(Condition done) {
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (!done() && Clock::now() < deadline) HandleThreadMessage(Clock::now() + milliseconds(50));
  return done();
}

TEST(WinExecuteThread, EventsArriveOnTheMainThread) {
  ASSERT_TRUE(IsMainThread());
  TvtWinExecute exec;
  exec.FilePath = "/bin/sh";
  exec.Parameters = "-c \"head -c 10000 /dev/zero; echo oops >&2; exit 5\"";
  exec.Options = eoRedirectStdOut | eoRedirectStdErr;
  exec.Mode = emThread;
  int64_t out = 0;
  std::string err;
  int finished = 0, off_main = 0;
  exec.OnStdOut = [&](TWinExecute&, const char*, int32_t size) {
    off_main += !IsMainThread();
    EXPECT_LE(size, 4096);
    out += size;
  };
  exec.OnStdErr = [&](TWinExecute&, const char* buf, int32_t size) {
    err.append(buf, static_cast<size_t>(size));
  };
  exec.OnFinished = [&](TWinExecute& sender) {
    off_main += !IsMainThread();
    ++finished;
    EXPECT_EQ(5, sender.ExitCode());
  };
  exec.Execute();
  ASSERT_TRUE(PumpUntil([&] { return finished == 1; }));
  EXPECT_EQ(10000, out);
  EXPECT_EQ("oops\n", err);
  EXPECT_EQ(0, off_main);
  ProcessThreadMessages();
  EXPECT_EQ(1, finished);

  // The time-out counts from the start here.
  exec.FilePath = "/bin/sleep";
  exec.Parameters = "1000";
  exec.TimeOut = 100;
  finished = 0;
  exec.OnFinished = [&](TWinExecute& sender) {
    ++finished;
    EXPECT_EQ(1, sender.ExitCode());
  };
  exec.Execute();
  ASSERT_TRUE(PumpUntil([&] { return finished == 1; }));
  EXPECT_TRUE(exec.TimedOut());
}

TEST(WinExecuteThread, EndingARunNeverWaitsForTheChild) {
  int events = 0;
  const auto start = Clock::now();
  {
    TvtWinExecute exec;
    exec.FilePath = "/bin/sh";
    // Writes without end while the main thread does not pump: the waiting
    // thread soon sits in Synchronize, waiting for this thread.
    exec.Parameters = "-c \"while :; do echo x; done\"";
    exec.Options = eoRedirectStdOut;
    exec.Mode = emThread;
    exec.OnStdOut = [&](TWinExecute&, const char*, int32_t) { ++events; };
    exec.OnFinished = [&](TWinExecute&) { ++events; };
    exec.Execute();
    std::this_thread::sleep_for(milliseconds(50));
  }
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(0, events) << "an event ran after the run was ended";
  EXPECT_EQ(0, test::WaitForNoChildProcesses()) << "the child did not end with its output pipe";

  // An event that raises ends the run: the child is killed and reaped, and
  // OnFinished does not follow.
  TvtWinExecute exec;
  exec.FilePath = "/bin/sh";
  exec.Parameters = "-c \"echo hi; exec sleep 1000\"";
  exec.Options = eoRedirectStdOut;
  exec.Mode = emThread;
  bool finished = false;
  exec.OnStdOut = [](TWinExecute&, const char*, int32_t) { throw std::runtime_error("handler failed"); };
  exec.OnFinished = [&](TWinExecute&) { finished = true; };
  exec.Execute();
  EXPECT_TRUE(PumpUntil([] { return test::CountChildProcesses() == 0; }));
  ProcessThreadMessages();
  EXPECT_FALSE(finished);
}

}  // namespace
}  // namespace vt
