#include "platform/win_execute.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "platform/event_queue.h"
#include "platform/synchronize.h"
#include "platform/worker_scheduling.h"

extern char** environ;

namespace vt {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kBlockSize = 4096;

// Reaps children that this process no longer waits for (an emNoWait run, a
// run cut short) once they end, so that none stays a zombie. The thread is
// started by the first child that outlives its runner and checks its list a
// few times a second while the list is not empty; it lives as long as the
// process (the object is never destroyed, so exit never has to join it).
class OrphanReaper {
 public:
  static void Adopt(pid_t pid) {
    if (TryReap(pid)) return;
    static OrphanReaper* reaper = new OrphanReaper;
    reaper->Add(pid);
  }

 private:
  static bool TryReap(pid_t pid) {
    const pid_t result = ::waitpid(pid, nullptr, WNOHANG);
    return result == pid || (result < 0 && errno == ECHILD);
  }

  void Add(pid_t pid) {
    std::lock_guard<std::mutex> guard(lock_);
    pids_.push_back(pid);
    if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
    wake_.notify_one();
  }

  void Run() {
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
      if (pids_.empty()) {
        wake_.wait(guard);
      } else {
        wake_.wait_for(guard, std::chrono::milliseconds(200));
      }
      std::erase_if(pids_, TryReap);
    }
  }

  std::mutex lock_;
  std::condition_variable wake_;
  std::vector<pid_t> pids_;
  std::thread thread_;
};

// True once the child has ended, without reaping it: until it is reaped its
// process id (and so its group id) cannot be taken by another process.
bool HasEnded(pid_t pid) {
  siginfo_t info{};
  return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == pid;
}

int OpenPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  return -1;
#endif
}

// Moves a descriptor to 3 or above, so that it never collides with the
// standard descriptors that the child sets up from it.
void MoveAboveStdio(UniqueFd& fd) {
  if (fd.get() > 2) return;
  const int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, 3);
  if (moved < 0) RaiseLastOSError();
  fd.reset(moved);
}

UniqueFd OpenDevNull() {
  UniqueFd fd(::open("/dev/null", O_RDWR | O_CLOEXEC));
  if (!fd.valid()) RaiseLastOSError();
  MoveAboveStdio(fd);
  return fd;
}

// The program file for `name`: as given when it holds a "/", otherwise the
// first executable regular file of that name in PATH.
std::string ResolveProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  const char* env_path = std::getenv("PATH");
  const std::string path = env_path ? env_path : "/usr/local/bin:/usr/bin:/bin";
  int error = ENOENT;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    const std::string directory = end > start ? path.substr(start, end - start) : ".";
    const std::string candidate = directory + "/" + name;
    struct stat info;
    if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
      if (::access(candidate.c_str(), X_OK) == 0) return candidate;
      error = EACCES;
    }
    start = end + 1;
  }
  RaiseOSError(error);
}

bool NiceValue(TProcessPriority priority, int& value) {
  switch (priority) {
    case ppNormal:
      value = 0;
      return true;
    case ppIdle:
      value = 19;
      return true;
    case ppHigh:
      value = -10;
      return true;
    case ppRealTime:
      value = -20;
      return true;
    default:
      return false;
  }
}

std::vector<char*> PointerArray(const std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (const std::string& text : texts) pointers.push_back(const_cast<char*>(text.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

struct SpawnRequest {
  std::string program;
  std::vector<std::string> args;
  const std::vector<std::string>* env;  // null: inherit
  std::string directory;                // empty: ours
  int stdio[3];                         // descriptors above 2, close-on-exec
  TProcessPriority priority;
  // The calling thread yields to the server's main thread; the program is
  // not one of our workers and runs as the process does.
  bool ordinary_scheduling = false;
};

// Only async-signal-safe calls from here to exec: the parent may have other
// threads, and they may hold locks that the child would wait for forever.
[[noreturn]] void RunChild(const SpawnRequest& request, char* const* argv, char* const* envp, int status_fd,
                           int max_fd) {
  ::setpgid(0, 0);
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) ::sigaction(sig, &action, nullptr);  // ignored ones survive exec
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);

  int error = 0;
  if (!request.directory.empty() && ::chdir(request.directory.c_str()) != 0) error = errno;
  for (int target = 0; target < 3 && error == 0; ++target) {
    if (::dup2(request.stdio[target], target) < 0) error = errno;
  }
  if (error == 0) {
    // Nothing else of ours reaches the program: not another connection's
    // socket, not a pipe of another run. The status pipe closes at exec.
    const auto limit = static_cast<unsigned>(status_fd);
    if ((limit > 3 && ::close_range(3, limit - 1, 0) != 0) || ::close_range(limit + 1, ~0U, 0) != 0) {
      for (int fd = 3; fd < max_fd; ++fd) {
        if (fd != status_fd) ::close(fd);
      }
    }
    if (request.ordinary_scheduling) {
      const sched_param ordinary{};
      ::sched_setscheduler(0, SCHED_OTHER, &ordinary);
    }
    int nice_value;
    if (NiceValue(request.priority, nice_value)) ::setpriority(PRIO_PROCESS, 0, nice_value);
    ::execve(request.program.c_str(), argv, envp);
    error = errno;
  }
  while (::write(status_fd, &error, sizeof error) < 0 && errno == EINTR) {
  }
  ::_exit(127);
}

// The child set up as RunChild does, but by posix_spawn: the system makes
// it without copying the parent's memory map (a fork copies the page tables
// of the whole server, and the exec throws the copy away again), which is
// most of what starting a CGI program costs. It cannot change the priority:
// only for a run whose priority the calling thread has already.
pid_t SpawnWithoutCopy(const SpawnRequest& request, char* const* argv, char* const* envp) {
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_t actions;
  int error = ::posix_spawnattr_init(&attributes);
  if (error != 0) RaiseOSError(error);
  error = ::posix_spawn_file_actions_init(&actions);
  if (error != 0) {
    ::posix_spawnattr_destroy(&attributes);
    RaiseOSError(error);
  }
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  // Its own process group; every signal at its default (ignored ones would
  // survive the exec) and none blocked.
  short flags = POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
  if (request.ordinary_scheduling) {
    flags |= POSIX_SPAWN_SETSCHEDULER;
    const sched_param ordinary{};
    error = ::posix_spawnattr_setschedpolicy(&attributes, SCHED_OTHER);
    if (error == 0) error = ::posix_spawnattr_setschedparam(&attributes, &ordinary);
  }
  if (error == 0) error = ::posix_spawnattr_setflags(&attributes, flags);
  if (error == 0) error = ::posix_spawnattr_setpgroup(&attributes, 0);
  if (error == 0) error = ::posix_spawnattr_setsigdefault(&attributes, &all);
  if (error == 0) error = ::posix_spawnattr_setsigmask(&attributes, &none);
  if (error == 0 && !request.directory.empty())
    error = ::posix_spawn_file_actions_addchdir_np(&actions, request.directory.c_str());
  for (int target = 0; target < 3 && error == 0; ++target)
    error = ::posix_spawn_file_actions_adddup2(&actions, request.stdio[target], target);
  // Nothing else of ours reaches the program.
  if (error == 0) error = ::posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  pid_t pid = -1;
  if (error == 0) error = ::posix_spawn(&pid, request.program.c_str(), &actions, &attributes, argv, envp);
  ::posix_spawn_file_actions_destroy(&actions);
  ::posix_spawnattr_destroy(&attributes);
  if (error != 0) RaiseOSError(error);
  return pid;
}

// True when the calling thread runs at the nice value `value` already.
bool RunsAtNice(int value) {
  errno = 0;
  const int current = ::getpriority(PRIO_PROCESS, 0);
  return errno == 0 && current == value;
}

// Starts the child; returns its pid once it runs the program, or raises
// EOSError with the reason it could not.
pid_t Spawn(const SpawnRequest& request) {
  const std::vector<char*> argv = PointerArray(request.args);
  std::vector<char*> env_pointers;
  char* const* envp = environ;
  if (request.env) {
    env_pointers = PointerArray(*request.env);
    envp = env_pointers.data();
  }
  if (int nice_value = 0; !NiceValue(request.priority, nice_value) || RunsAtNice(nice_value))
    return SpawnWithoutCopy(request, argv.data(), envp);
  const long open_max = ::sysconf(_SC_OPEN_MAX);
  const int max_fd = open_max > 0 && open_max < 65536 ? static_cast<int>(open_max) : 65536;

  int status_pipe[2];
  if (::pipe2(status_pipe, O_CLOEXEC) != 0) RaiseLastOSError();
  UniqueFd status_read(status_pipe[0]), status_write(status_pipe[1]);
  MoveAboveStdio(status_write);

  // No signal handler may run in the child before it has reset them all.
  sigset_t all, old;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &old);
  const pid_t pid = ::fork();
  if (pid == 0) RunChild(request, argv.data(), envp, status_write.get(), max_fd);
  const int fork_error = errno;
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (pid < 0) RaiseOSError(fork_error);

  ::setpgid(pid, pid);  // also here, so that a kill right after the fork reaches the group
  status_write.reset();
  int error = 0;
  ssize_t got;
  while ((got = ::read(status_read.get(), &error, sizeof error)) < 0 && errno == EINTR) {
  }
  if (got == static_cast<ssize_t>(sizeof error)) {
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    RaiseOSError(error);
  }
  return pid;
}

// write(2) to a pipe whose reader may have gone, which fails with EPIPE
// instead of raising SIGPIPE: the signal is blocked around the write, and
// one the write raised is taken before the thread's mask is restored.
ssize_t WriteWithoutPipeSignal(int fd, const char* data, size_t size) {
  sigset_t pipe, old;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  ::pthread_sigmask(SIG_BLOCK, &pipe, &old);
  const ssize_t put = ::write(fd, data, size);
  const int error = errno;
  if (put < 0 && error == EPIPE) {
    const timespec now{};
    while (::sigtimedwait(&pipe, nullptr, &now) < 0 && errno == EINTR) {
    }
  }
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  errno = error;
  return put;
}

int MillisecondsUntil(Clock::time_point deadline, Clock::time_point now) {
  if (deadline == Clock::time_point::max()) return -1;
  if (deadline <= now) return 0;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
  return static_cast<int>(std::min<int64_t>(left, INT32_MAX));
}

}  // namespace

// How Supervise runs: where the output goes and when the time-out starts.
struct TWinExecute::Watch {
  // Hands one block to its event.
  std::function<void(bool error_stream, const char* buf, int32_t size)> deliver;
  // TimeOut counts from the start (emThread) rather than from the end of the output (emBlock).
  bool timeout_from_start = false;
  // When readable, Supervise returns at once and leaves the child running.
  int stop_fd = -1;
};

// The waiting thread of an emThread run. It supervises the run that its
// component has just started, using the component's descriptors, which the
// component leaves alone until the thread has been joined.
class TWinExecute::WaitThread {
 public:
  explicit WaitThread(TWinExecute& owner) : owner_(owner), stop_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!stop_.valid()) RaiseLastOSError();
    thread_ = std::thread([this] { Run(); });
  }

  // Ends the thread without waiting for the child: no event runs after this
  // returns, and the child (still running or not) is left to the component.
  ~WaitThread() {
    stopped_ = true;
    const uint64_t one = 1;
    while (::write(stop_.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
    // The thread may be waiting in Synchronize for this very thread: serve
    // the main queue until it is done.
    if (IsMainThread()) {
      while (!done_) HandleThreadMessage(Clock::now() + std::chrono::milliseconds(20));
    }
    thread_.join();
  }

  WaitThread(const WaitThread&) = delete;
  WaitThread& operator=(const WaitThread&) = delete;

 private:
  void Run() {
    try {
      Watch watch;
      watch.timeout_from_start = true;
      watch.stop_fd = stop_.get();
      watch.deliver = [this](bool error_stream, const char* buf, int32_t size) {
        const TWinExecuteOutputEvent& event = error_stream ? owner_.OnStdErr : owner_.OnStdOut;
        if (event)
          Synchronize([&] {
            if (!stopped_) event(owner_, buf, size);
          });
      };
      if (owner_.Supervise(watch) && owner_.OnFinished) {
        Synchronize([this] {
          if (!stopped_) owner_.OnFinished(owner_);
        });
      }
    } catch (...) {
      // An event raised, or the main thread stopped serving: the run ends
      // here. Nobody is left to hear of the exception.
      owner_.KillGroup();
      owner_.Reap();
    }
    done_ = true;
  }

  TWinExecute& owner_;
  UniqueFd stop_;
  std::atomic<bool> stopped_{false}, done_{false};
  std::thread thread_;
};

TWinExecute::TWinExecute() = default;

TWinExecute::~TWinExecute() { CleanUp(); }

void TWinExecute::Execute() {
  if (FilePath.empty()) throw EWinExecute("FilePath not specified");
  CleanUp();
  exit_code_ = 0;
  process_id_ = 0;
  timed_out_ = false;
  output_limit_reached_ = false;
  stdin_written_ = 0;

  const bool expand = !(Options & eoDontExpandEnvStrings);
  const std::string file = expand ? ExpandEnvStrings(FilePath) : FilePath;
  SpawnRequest request;
  request.program = ResolveProgram(file);
  request.args.push_back(file);
  for (std::string& arg : SplitCommandLine(expand ? ExpandEnvStrings(Parameters) : Parameters)) {
    request.args.push_back(std::move(arg));
  }
  request.env = EnvStrings.empty() ? nullptr : &EnvStrings;
  request.directory = DefaultDir;
  request.priority = Priority;
  request.ordinary_scheduling = TWorkerScheduling::ChildRunsOrdinary();

  // The child's ends of the pipes, or /dev/null for a stream not redirected.
  UniqueFd child_ends[3];
  UniqueFd* parent_ends[3] = {&stdin_write_, &stdout_read_, &stderr_read_};
  const uint32_t redirect[3] = {eoRedirectStdIn, eoRedirectStdOut, eoRedirectStdErr};
  UniqueFd dev_null;
  try {
    for (int stream = 0; stream < 3; ++stream) {
      if (Options & redirect[stream]) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) RaiseLastOSError();
        const int child = stream == 0 ? 0 : 1;  // the child reads stdin, writes the others
        child_ends[stream].reset(ends[child]);
        parent_ends[stream]->reset(ends[1 - child]);
        MoveAboveStdio(child_ends[stream]);
      } else {
        if (!dev_null.valid()) dev_null = OpenDevNull();
      }
      request.stdio[stream] = child_ends[stream].valid() ? child_ends[stream].get() : dev_null.get();
    }
    if (OnBeforeExecute) OnBeforeExecute(*this);
    pid_ = Spawn(request);
  } catch (...) {
    CleanUp();
    throw;
  }
  for (UniqueFd& end : child_ends) end.reset();  // the pipes end when the child's side closes
  if (FeedingStdIn()) ::fcntl(stdin_write_.get(), F_SETFL, O_NONBLOCK);
  process_id_ = pid_;
  pidfd_.reset(OpenPidFd(pid_));

  try {
    if (OnExecute) OnExecute(*this);
    if (Mode == emBlock) RunBlocking();
    if (Mode == emThread) wait_thread_ = std::make_unique<WaitThread>(*this);
  } catch (...) {
    CleanUp();  // a child still running keeps running; it is reaped when it ends
    throw;
  }
}

void TWinExecute::RunBlocking() {
  Watch watch;
  watch.deliver = [this](bool error_stream, const char* buf, int32_t size) {
    const TWinExecuteOutputEvent& event = error_stream ? OnStdErr : OnStdOut;
    if (event) event(*this, buf, size);
  };
  try {
    Supervise(watch);
  } catch (...) {
    KillGroup();  // the caller gave up on the run: it must not outlive it
    Reap();
    throw;
  }
  stdin_write_.reset();
  if (OnFinished) OnFinished(*this);
}

// Where one Supervise stands: its two deadlines and what has happened.
struct TWinExecute::Supervision {
  static constexpr auto kNever = Clock::time_point::max();

  Supervision(const TWinExecute& owner, bool timeout_from_start)
      : start(Clock::now()),
        run_deadline(After(start, owner.RunTimeOut)),
        process_deadline(timeout_from_start ? After(start, owner.TimeOut) : kNever),
        process_deadline_set(timeout_from_start) {}

  // `ms` after `from`; never for a negative count.
  static Clock::time_point After(Clock::time_point from, int64_t ms) {
    return ms >= 0 ? from + std::chrono::milliseconds(ms) : kNever;
  }

  const Clock::time_point start;
  Clock::time_point run_deadline;      // RunTimeOut, from the start
  Clock::time_point process_deadline;  // TimeOut, from the start or from the end of the output
  bool process_deadline_set;
  bool ended = false;   // the child has ended (not yet reaped)
  bool killed = false;  // a deadline or the output limit killed it
  int64_t delivered = 0;
};

// The run's loop: reads both output pipes as data arrives, watches the
// deadlines and the child, and finally reaps the child and sets the exit
// code. Returns false when stopped through watch.stop_fd (child left running).
//
// The child is never reaped before the last kill, so kill(-pid) can only
// reach its own group.
bool TWinExecute::Supervise(Watch& watch) {
  Supervision run(*this, watch.timeout_from_start);
  for (;;) {
    const bool reading = stdout_read_.valid() || stderr_read_.valid();
    if (!run.ended && !pidfd_.valid()) run.ended = HasEnded(pid_);
    if (!reading && run.ended) break;
    const auto now = Clock::now();
    if (!WatchDeadlines(run, reading, now)) continue;
    if (!WaitAndRead(watch, run, reading, now)) return false;
  }
  const int status = Reap();
  exit_code_ = run.killed ? 1 : ExitCodeOf(status);
  return true;
}

bool TWinExecute::WatchDeadlines(Supervision& run, bool reading, Clock::time_point now) {
  if (!reading && !run.process_deadline_set) {
    // The output has ended: the program's input ends too, and its time-out starts.
    stdin_write_.reset();
    run.process_deadline = Supervision::After(now, TimeOut);
    run.process_deadline_set = true;
  }
  if (!run.ended && !run.killed && now >= run.process_deadline) {
    KillGroup();
    run.killed = true;
    timed_out_ = true;
  }
  if (now >= run.run_deadline) {
    KillGroup();  // the group too: a descendant may be the one holding the output open
    run.killed = true;
    timed_out_ = true;
    stdout_read_.reset();
    stderr_read_.reset();
    run.run_deadline = Supervision::kNever;
    return false;
  }
  return true;
}

bool TWinExecute::WaitAndRead(Watch& watch, Supervision& run, bool reading, Clock::time_point now) {
  UniqueFd* pipes[2] = {&stdout_read_, &stderr_read_};
  pollfd fds[5];
  nfds_t count = 0;
  int pipe_slot[2] = {-1, -1}, pid_slot = -1, stop_slot = -1, stdin_slot = -1;
  for (int i = 0; i < 2; ++i) {
    if (pipes[i]->valid()) {
      pipe_slot[i] = static_cast<int>(count);
      fds[count++] = {pipes[i]->get(), POLLIN, 0};
    }
  }
  if (FeedingStdIn()) {
    stdin_slot = static_cast<int>(count);
    fds[count++] = {stdin_write_.get(), POLLOUT, 0};
  }
  if (!run.ended && pidfd_.valid()) {
    pid_slot = static_cast<int>(count);
    fds[count++] = {pidfd_.get(), POLLIN, 0};
  }
  if (watch.stop_fd >= 0) {
    stop_slot = static_cast<int>(count);
    fds[count++] = {watch.stop_fd, POLLIN, 0};
  }
  auto wake_at = run.run_deadline;
  if (!run.ended && !run.killed) wake_at = std::min(wake_at, run.process_deadline);
  int timeout = MillisecondsUntil(wake_at, now);
  // Without a pidfd the end of the child can only be polled for.
  if (!run.ended && !pidfd_.valid() && (!reading || run.process_deadline != Supervision::kNever) &&
      (timeout < 0 || timeout > 10)) {
    timeout = 10;
  }
  if (::poll(fds, count, timeout) < 0) {
    if (errno == EINTR) return true;
    RaiseLastOSError();
  }
  if (stop_slot >= 0 && fds[stop_slot].revents) return false;
  if (pid_slot >= 0 && fds[pid_slot].revents) run.ended = true;
  if (stdin_slot >= 0 && fds[stdin_slot].revents) FeedStdIn();
  for (int i = 0; i < 2; ++i) {
    if (pipe_slot[i] >= 0 && fds[pipe_slot[i]].revents) ReadPipe(watch, run, i == 1);
  }
  return true;
}

void TWinExecute::ReadPipe(Watch& watch, Supervision& run, bool error_stream) {
  UniqueFd& pipe = error_stream ? stderr_read_ : stdout_read_;
  if (!pipe.valid()) return;  // closed by the other pipe's block passing MaxOutput
  char buffer[kBlockSize];
  const ssize_t got = ::read(pipe.get(), buffer, sizeof buffer);
  if (got < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (got <= 0) {
    pipe.reset();  // the end of the data (or a broken pipe)
    return;
  }
  int64_t size = got;
  const bool over_limit = MaxOutput >= 0 && run.delivered + size > MaxOutput;
  if (over_limit) size = MaxOutput - run.delivered;
  run.delivered += size;
  if (size > 0) watch.deliver(error_stream, buffer, static_cast<int32_t>(size));
  if (over_limit) {
    output_limit_reached_ = true;
    KillGroup();
    run.killed = true;
    stdout_read_.reset();
    stderr_read_.reset();
  }
}

void TWinExecute::FeedStdIn() {
  while (stdin_written_ < StdInData.size()) {
    const ssize_t put = WriteWithoutPipeSignal(stdin_write_.get(), StdInData.data() + stdin_written_,
                                               StdInData.size() - stdin_written_);
    if (put > 0) {
      stdin_written_ += static_cast<size_t>(put);
      continue;
    }
    if (put < 0 && errno == EINTR) continue;
    if (put < 0 && errno == EAGAIN) return;  // the pipe is full: the next poll says when it takes more
    break;                                   // EPIPE: the program reads no more
  }
  stdin_write_.reset();
}

void TWinExecute::KillGroup() {
  if (pid_ <= 0) return;
  ::kill(-pid_, SIGKILL);
  ::kill(pid_, SIGKILL);  // in case it left its group
}

int TWinExecute::Reap() {
  int status = 0;
  if (pid_ > 0) {
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  pid_ = 0;
  pidfd_.reset();
  return status;
}

int32_t TWinExecute::ExitCodeOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 1;
}

TWinExecute::TChild TWinExecute::DetachChild() {
  wait_thread_.reset();
  TChild child;
  child.pid = pid_;
  child.stdin_write = std::move(stdin_write_);
  child.stdout_read = std::move(stdout_read_);
  child.stderr_read = std::move(stderr_read_);
  child.pidfd = std::move(pidfd_);
  pid_ = 0;
  return child;
}

ssize_t WriteToPipe(int fd, const char* data, size_t size) { return WriteWithoutPipeSignal(fd, data, size); }

void ReapWhenEnded(pid_t pid) {
  if (pid > 0) OrphanReaper::Adopt(pid);
}

void TWinExecute::CleanUp() {
  wait_thread_.reset();  // first: the thread reads and waits on what is closed below
  stdout_read_.reset();
  stderr_read_.reset();
  stdin_write_.reset();
  pidfd_.reset();
  if (pid_ > 0) OrphanReaper::Adopt(pid_);
  pid_ = 0;
}

std::vector<std::string> SplitCommandLine(const std::string& text) {
  std::vector<std::string> args;
  std::string current;
  bool in_argument = false, quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\\') {
      size_t run = 0;
      while (i + run < text.size() && text[i + run] == '\\') ++run;
      in_argument = true;
      if (i + run < text.size() && text[i + run] == '"') {
        current.append(run / 2, '\\');
        if (run % 2 == 1) {
          current += '"';
          i += run;  // the escaped quote is consumed
        } else {
          i += run - 1;  // the quote is handled next, as a grouping quote
        }
      } else {
        current.append(run, '\\');
        i += run - 1;
      }
    } else if (c == '"') {
      in_argument = true;
      if (quoted && i + 1 < text.size() && text[i + 1] == '"') {
        current += '"';
        ++i;
      } else {
        quoted = !quoted;
      }
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (in_argument) args.push_back(std::move(current));
      current.clear();
      in_argument = false;
    } else {
      current += c;
      in_argument = true;
    }
  }
  if (in_argument) args.push_back(std::move(current));
  return args;
}

std::string ExpandEnvStrings(const std::string& text) {
  std::string result;
  size_t i = 0;
  while (i < text.size()) {
    const size_t open = text.find('%', i);
    if (open == std::string::npos) break;
    const size_t close = text.find('%', open + 1);
    if (close == std::string::npos) break;
    result.append(text, i, open - i);
    const std::string name = text.substr(open + 1, close - open - 1);
    const char* value = name.empty() ? nullptr : std::getenv(name.c_str());
    if (value) {
      result += value;
      i = close + 1;
    } else if (name.empty()) {
      result += "%%";
      i = close + 1;
    } else {
      // Kept as written, but its closing "%" may open the next reference.
      result += '%' + name;
      i = close;
    }
  }
  result.append(text, i, std::string::npos);
  return result;
}

}  // namespace vt
