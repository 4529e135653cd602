#include "app/cgi_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "app/cgi_output.h"
#include "app/messages.h"
#include "http/request_body_reader.h"
#include "platform/event_queue.h"
#include "sockets/socket_stream.h"

namespace vt {

using Clock = std::chrono::steady_clock;

namespace {

std::chrono::milliseconds Ms(std::int64_t ms) { return std::chrono::milliseconds(ms); }

void SetNonBlocking(int fd) {
  if (fd >= 0) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// The child has ended, without reaping it: until it is reaped its process
// id (and so its group id) cannot be taken by another process.
bool HasEnded(pid_t pid) {
  siginfo_t info{};
  return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == pid;
}

}  // namespace

// Turns the readiness of a pipe (or of the pidfd) into a message to the
// connection's window, which ends the worker's wait.
struct TCGIPipeWatcher : IoWatcher {
  explicit TCGIPipeWatcher(HWindow w) : window(w) {}
  void OnReady(std::uint32_t, MessageSink& sink) override { sink.Post(window, kCGIPipeMessage, 0, 0); }
  void OnRecheck(MessageSink&) override {}
  HWindow window;
};

std::int64_t CGIAnswerLength(std::int64_t given, bool output_ended, std::size_t body_bytes) {
  const auto bytes = static_cast<std::int64_t>(body_bytes);
  // An announcement past what the program wrote would leave the client
  // waiting for bytes that never come.
  if (output_ended) return given >= 0 ? std::min(given, bytes) : bytes;
  return given;
}

TCGIProgram::TCGIProgram(TWinExecute::TChild child, TSocketStream& client, ThttpRequestBodyReader* body,
                         const TCGIRunLimits& limits, std::function<void(pid_t)> on_process)
    : client_(client),
      body_(body),
      limits_(limits),
      on_process_(std::move(on_process)),
      pid_(child.pid),
      stdin_(std::move(child.stdin_write)),
      stdout_(std::move(child.stdout_read)),
      pidfd_(std::move(child.pidfd)),
      started_(Clock::now()),
      last_moved_(started_),
      out_(new char[kCGIOutputBuffer]) {
  if (on_process_) on_process_(pid_);
  SetNonBlocking(stdin_.get());
  SetNonBlocking(stdout_.get());
  if (!stdout_.valid()) output_ended_ = true;
  if (client_.Socket) {
    watcher_ = std::make_shared<TCGIPipeWatcher>(client_.Socket->GetHandle());
    Watch(stdout_.get(), EPOLLIN);
    Watch(stdin_.get(), EPOLLOUT);
    Watch(pidfd_.get(), EPOLLIN);
  }
}

TCGIProgram::~TCGIProgram() {
  Unwatch(stdin_.get());
  Unwatch(stdout_.get());
  Unwatch(pidfd_.get());
  stdin_.reset();
  // A program still writing learns that no one reads any more.
  stdout_.reset();
  if (!ended_ && !failed_ && output_ended_) {
    // Its output is over: it may take its time to finish, up to its limit.
    const Clock::time_point until = Clock::now() + Ms(limits_.SilenceMs);
    while (!Ended() && Clock::now() < until) {
      if (pidfd_.valid()) {
        pollfd end{pidfd_.get(), POLLIN, 0};
        ::poll(&end, 1, 100);
      } else {
        ::usleep(20000);
      }
    }
  }
  Stop();
}

void TCGIProgram::Watch(int fd, std::uint32_t events) {
  if (fd >= 0 && watcher_) WatchDescriptor(watcher_->window, fd, events, watcher_);
}

void TCGIProgram::Unwatch(int fd) {
  if (fd >= 0 && watcher_) UnwatchDescriptor(fd);
}

bool TCGIProgram::Ended() {
  if (ended_) return true;
  if (pid_ <= 0 || !HasEnded(pid_)) return false;
  // From here its id is no one's to signal.
  if (on_process_) on_process_(0);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  status_ = status;
  ended_ = reaped_ = true;
  Unwatch(pidfd_.get());
  pidfd_.reset();
  return true;
}

void TCGIProgram::Stop() {
  if (Ended() || pid_ <= 0) return;
  // Asked first, so that it may tidy up; its whole group, so that nothing
  // it started runs on.
  ::kill(-pid_, SIGTERM);
  const Clock::time_point until = Clock::now() + Ms(limits_.TermMs);
  while (!Ended() && Clock::now() < until) {
    if (pidfd_.valid()) {
      pollfd end{pidfd_.get(), POLLIN, 0};
      ::poll(&end, 1, 50);
    } else {
      ::usleep(10000);
    }
  }
  if (Ended()) return;
  ::kill(-pid_, SIGKILL);
  ::kill(pid_, SIGKILL);  // in case it left its group
  for (int i = 0; i < 20 && !Ended(); ++i) ::usleep(5000);
  if (Ended()) return;
  if (on_process_) on_process_(0);
  ReapWhenEnded(pid_);
  ended_ = true;
}

void TCGIProgram::Fail(const std::string& why) {
  failed_ = true;
  Stop();
  throw ECGIRun(why);
}

bool TCGIProgram::Step(bool read) {
  bool moved = false;
  if (stdin_.valid()) {
    // Only bytes the connection holds already: a read never waits here.
    if (in_start_ == in_.size() && body_ && !body_->AtEnd()) {
      const std::int32_t held = client_.Socket ? client_.Socket->Available() : 0;
      if (held > 0) {
        in_start_ = 0;
        in_.resize(std::min<std::size_t>(kCGIInputBuffer, static_cast<std::size_t>(held)));
        in_.resize(static_cast<std::size_t>(body_->Read(in_.data(), static_cast<std::int32_t>(in_.size()))));
        moved = moved || !in_.empty();
      }
    }
    if (in_start_ < in_.size()) {
      const ssize_t put = WriteToPipe(stdin_.get(), in_.data() + in_start_, in_.size() - in_start_);
      if (put > 0) {
        in_start_ += static_cast<std::size_t>(put);
        last_moved_ = Clock::now();
        moved = true;
      } else if (put < 0 && errno != EAGAIN && errno != EINTR) {
        // It reads no more: the rest of the body is not its to have (and
        // the connection closes after the answer, the body left unread).
        in_.clear();
        in_start_ = 0;
        Unwatch(stdin_.get());
        stdin_.reset();
        body_ = nullptr;
      }
    }
    if (stdin_.valid() && in_start_ == in_.size() && (!body_ || body_->AtEnd())) {
      // The whole body went in: the program reads its end.
      Unwatch(stdin_.get());
      stdin_.reset();
    }
  }
  if (read && stdout_.valid() && Buffered() < kCGIOutputBuffer) {
    if (out_start_ > 0) {
      std::memmove(out_.get(), out_.get() + out_start_, Buffered());
      out_end_ -= out_start_;
      out_start_ = 0;
    }
    const ssize_t got = ::read(stdout_.get(), out_.get() + out_end_, kCGIOutputBuffer - out_end_);
    if (got > 0) {
      out_end_ += static_cast<std::size_t>(got);
      last_moved_ = Clock::now();
      moved = true;
    } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
      Unwatch(stdout_.get());
      stdout_.reset();
      output_ended_ = true;
      moved = true;
    }
  }
  return moved;
}

void TCGIProgram::CheckBounds(Clock::time_point now, Clock::time_point since) {
  ATCPClientSocket* socket = client_.Socket;
  if (!socket || socket->Terminated()) Fail("The connection was stopped while the CGI program ran");
  if (!socket->IsConnected() || socket->ReceiveEnded())
    Fail("The client went away while the CGI program ran");
  if (limits_.RunMs >= 0 && now - started_ >= Ms(limits_.RunMs))
    Fail("The CGI program ran longer than " + std::to_string(limits_.RunMs) + " ms and was stopped");
  if (limits_.SilenceMs >= 0 && now - std::max(last_moved_, since) >= Ms(limits_.SilenceMs))
    Fail("The CGI program was silent for " + std::to_string(limits_.SilenceMs) + " ms and was stopped");
}

void TCGIProgram::Wait(Clock::time_point until) {
  const Deadline step = std::min(until, Clock::now() + Ms(kCGIWaitStepMs));
  if (!client_.WaitStep(&step)) Fail("The connection was stopped while the CGI program ran");
}

template <typename Done>
void TCGIProgram::ServeUntil(Done done, bool read, Clock::time_point until) {
  // A program the worker did not wait for (the client was slow to take its
  // answer) was not silent meanwhile: its silence counts from here.
  const Clock::time_point since = Clock::now();
  for (;;) {
    while (Step(read)) {
      if (done()) return;
    }
    if (done()) return;
    const Clock::time_point now = Clock::now();
    if (now >= until) return;
    CheckBounds(now, since);
    if (BeforeWait) BeforeWait();
    Wait(until);
  }
}

void TCGIProgram::AwaitEnd() {
  if (ended_) return;
  const Clock::time_point until = Clock::now() + Ms(limits_.SilenceMs);
  while (!Ended()) {
    if (Clock::now() >= until) {
      // Running on after its output: what it wrote is the answer.
      Stop();
      return;
    }
    ATCPClientSocket* socket = client_.Socket;
    if (!socket || socket->Terminated()) Fail("The connection was stopped while the CGI program ran");
    Wait(until);
  }
  // A crash may have cut the output anywhere: it is no answer to pass on.
  if (WIFSIGNALED(status_))
    throw ECGIRun("The CGI program was ended by signal " + std::to_string(WTERMSIG(status_)) +
                  " (exit code " + std::to_string(128 + WTERMSIG(status_)) + ")");
}

std::string_view TCGIProgram::ReadHead() {
  const auto head = [this] { return std::string_view(out_.get() + out_start_, Buffered()); };
  ServeUntil([&] { return output_ended_ || Buffered() > kMaxCGIHeader || HasWholeCGIHeader(head()); }, true,
             Clock::time_point::max());
  if (!output_ended_ && HasWholeCGIHeader(head())) {
    ServeUntil([&] { return output_ended_ || Buffered() == kCGIOutputBuffer; }, true,
               Clock::now() + Ms(kCGILengthWaitMs));
  }
  if (output_ended_) AwaitEnd();
  return head();
}

int TCGIProgram::ExitCode() const {
  if (!reaped_) return -1;
  if (WIFEXITED(status_)) return WEXITSTATUS(status_);
  return WIFSIGNALED(status_) ? 128 + WTERMSIG(status_) : -1;
}

void TCGIProgram::FeedFirst(std::string bytes) {
  in_ = std::move(bytes);
  in_start_ = 0;
}

void TCGIProgram::Skip(std::size_t count) { out_start_ += std::min(count, Buffered()); }

std::int32_t TCGIProgram::ReadOutput(char* buffer, std::int32_t count) {
  if (count <= 0) return 0;
  if (Buffered() == 0 && !output_ended_)
    ServeUntil([&] { return Buffered() > 0 || output_ended_; }, true, Clock::time_point::max());
  if (Buffered() == 0) {
    AwaitEnd();
    return 0;
  }
  const auto n =
      static_cast<std::int32_t>(std::min<std::size_t>(static_cast<std::size_t>(count), Buffered()));
  std::memcpy(buffer, out_.get() + out_start_, static_cast<std::size_t>(n));
  out_start_ += static_cast<std::size_t>(n);
  return n;
}

// ---------------------------------------------------------------------------
// TCGIBodyReader

TCGIBodyReader::TCGIBodyReader(std::unique_ptr<TCGIProgram> program, std::int64_t length)
    : program_(std::move(program)), length_(length) {}

void TCGIBodyReader::SetPosition(int64_t position) {
  if (position != position_) throw EReader("SetPosition failed");
}

int32_t TCGIBodyReader::Read(char* buffer, int32_t count) {
  if (length_ >= 0) count = static_cast<int32_t>(std::min<std::int64_t>(count, length_ - position_));
  if (count <= 0) return 0;
  const std::int32_t n = program_->ReadOutput(buffer, count);
  position_ += n;
  return n;
}

bool TCGIBodyReader::AtEnd() {
  if (length_ >= 0 && position_ >= length_) return true;
  return program_->OutputDone();
}

}  // namespace vt
