#pragma once

// TCGIProgram: a running CGI program served by its connection's worker, its
// request body going to the program's standard input and its output to the
// client, both as they come, in bounded memory.
//
// Both pipes are non-blocking and waited on together with the connection:
// their readiness is posted to the connection's window, so one wait of the
// worker's queue (bounded, so the clocks are looked at) ends at whichever of
// the program's output, its readiness for input, the client's bytes or the
// client's end comes first. Input is fed only while the program takes it,
// and only from body bytes the connection already holds, so a program that
// writes before it reads never deadlocks against its client. Output is read
// only into a buffer of kCGIOutputBuffer bytes, taken by the answer's body
// reader as the response writer takes it from there: a slow client slows the
// program, it never grows the server.
//
// Ends. A program whose client goes away (a reset, or the client's end of
// the connection while it runs), that is silent past its limit, or that runs
// past its total limit is ended with its process group: SIGTERM, then
// SIGKILL after TermMs. A program still running EndMs after its output
// ended is killed the same way, and what it wrote is the answer. A program
// is reaped when it is over, or left to the reaper (platform/win_execute.h).
//
// Threads: the connection's worker, apart from the process id given to
// OnProcess, which the client hands to its Terminate (main thread).

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/win_execute.h"
#include "streams/reader.h"
#include "util/exception.h"

namespace vt {

class TSocketStream;
class ThttpRequestBodyReader;

// A CGI run that could not produce an answer (raised before the answer
// began), or one whose answer had to be cut (raised by the body reader).
VT_EXCEPTION_CLASS(ECGIRun, Exception);

// Output read ahead of the client: a header section (kMaxCGIHeader) and
// more fit, and an answer that ends within it goes out with its length.
inline constexpr std::size_t kCGIOutputBuffer = 128 * 1024;
// Body bytes taken from the connection for the program's input at a time.
inline constexpr std::size_t kCGIInputBuffer = 64 * 1024;
// The longest single wait of the worker while it serves a program: the
// clocks and a stop are looked at at least this often.
inline constexpr std::int32_t kCGIWaitStepMs = 250;
// After the header section, the output is read ahead this long at most
// (or until the buffer is full) before the answer starts: an answer that
// ends meanwhile goes out with its length and keeps the connection, as a
// collected answer did; a longer one streams.
inline constexpr std::int32_t kCGILengthWaitMs = 1000;

struct TCGIRunLimits {
  // Milliseconds a program may be silent (no byte of output, none of its
  // input taken) while the server waits for it; also how long it may run on
  // after its output ended.
  std::int32_t SilenceMs = 15000;
  // Milliseconds the whole run may take; negative: no limit.
  std::int32_t RunMs = 600000;
  // Milliseconds between SIGTERM and SIGKILL.
  std::int32_t TermMs = 2000;
};

class TCGIProgram {
 public:
  // Takes the child (started with its output, and input when `body` is
  // given, redirected). `client`: the connection's stream, waited on and
  // watched for its end. `on_process` is told the process id now and 0
  // once it must no longer be signalled.
  TCGIProgram(TWinExecute::TChild child, TSocketStream& client, ThttpRequestBodyReader* body,
              const TCGIRunLimits& limits, std::function<void(pid_t)> on_process);
  // Ends the program as the top says (unless it is over) and reaps it.
  ~TCGIProgram();
  TCGIProgram(const TCGIProgram&) = delete;
  TCGIProgram& operator=(const TCGIProgram&) = delete;

  // Reads until the output holds a whole header section, has ended, or
  // holds more than kMaxCGIHeader bytes; then reads ahead as kCGILengthWaitMs
  // says. The output read so far, body bytes included (Skip passes the
  // header). Raises ECGIRun for a program that was ended (see the top) or
  // ended by a signal before its output was complete, and what the request
  // body raises (EhttpContent, EReader).
  std::string_view ReadHead();
  // Called before each wait for the program: the answer's bytes gathered
  // so far go out first.
  std::function<void()> BeforeWait;
  // Bytes that go to the program's input before the rest of the body (a
  // body, or its start, read before the program started).
  void FeedFirst(std::string bytes);
  // Drops `count` bytes of the output read.
  void Skip(std::size_t count);
  // Up to `count` bytes of output, waiting for at least one; 0 once the
  // output has ended and the program is over. Raises ECGIRun when the
  // answer must be cut (see ReadHead).
  std::int32_t ReadOutput(char* buffer, std::int32_t count);
  // The output has ended and every byte of it was taken.
  bool OutputDone() const { return output_ended_ && out_start_ == out_end_; }
  // The output has ended (some of it may still wait).
  bool OutputEnded() const { return output_ended_; }
  // The exit code once the program is over and was reaped here (128 + the
  // signal for one a signal ended); -1 before, and for one left to the
  // reaper.
  int ExitCode() const;
  // Bytes of output waiting in the buffer.
  std::size_t Buffered() const { return out_end_ - out_start_; }

 private:
  // One round without waiting: feeds input, reads output (when `read` and
  // there is room). True when something moved.
  bool Step(bool read);
  // Serves the program until `done` holds, waiting between rounds; raises
  // as ReadHead.
  template <typename Done>
  void ServeUntil(Done done, bool read, std::chrono::steady_clock::time_point until);
  // One bounded wait of the worker's queue.
  void Wait(std::chrono::steady_clock::time_point until);
  // Raises ECGIRun when the client has gone, the worker is stopped, or a
  // limit has passed (the program is ended first).
  void CheckBounds(std::chrono::steady_clock::time_point now, std::chrono::steady_clock::time_point since);
  // The output has ended: waits (within SilenceMs) for the program to be
  // over; raises ECGIRun when a signal ended it.
  void AwaitEnd();
  // The child has ended (reaped here, its status kept).
  bool Ended();
  // SIGTERM to the group, SIGKILL after TermMs; reaps.
  void Stop();
  void Fail(const std::string& why);
  void Watch(int fd, std::uint32_t events);
  void Unwatch(int fd);

  TSocketStream& client_;
  ThttpRequestBodyReader* body_;
  TCGIRunLimits limits_;
  std::function<void(pid_t)> on_process_;
  pid_t pid_;
  UniqueFd stdin_, stdout_, pidfd_;
  std::chrono::steady_clock::time_point started_;
  std::chrono::steady_clock::time_point last_moved_;
  // The output read and not yet taken: [out_start_, out_end_).
  std::unique_ptr<char[]> out_;
  std::size_t out_start_ = 0, out_end_ = 0;
  // Input taken from the body and not yet written: from in_start_ on.
  std::string in_;
  std::size_t in_start_ = 0;
  bool output_ended_ = false;
  bool ended_ = false;
  int status_ = 0;
  bool reaped_ = false;
  // The run was cut (the client left, a limit passed): the program is ended
  // at once rather than given its time to finish.
  bool failed_ = false;
  std::shared_ptr<struct TCGIPipeWatcher> watcher_;
};

// The body of a CGI answer: the program's output after its header section,
// up to its Content-Length when it gave one (GetSize; -1 otherwise). The
// program goes with the reader.
class TCGIBodyReader : public AReaderEx {
 public:
  TCGIBodyReader(std::unique_ptr<TCGIProgram> program, std::int64_t length);

  int64_t GetPosition() override { return position_; }
  void SetPosition(int64_t position) override;
  int64_t GetSize() override { return length_; }
  int32_t Read(char* buffer, int32_t count) override;
  bool AtEnd() override;

 private:
  std::unique_ptr<TCGIProgram> program_;
  std::int64_t length_;
  std::int64_t position_ = 0;
};

// What a header section read whole (and the bytes read ahead) makes of the
// answer's length: when the output has ended, the bytes after the header
// (fewer when the program's Content-Length said fewer); else the program's
// Content-Length when it gave one, or -1 (the answer streams).
std::int64_t CGIAnswerLength(std::int64_t given, bool output_ended, std::size_t body_bytes);

}  // namespace vt
