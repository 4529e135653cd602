#pragma once

// A connection socket as a stream, with blocking reads.
//
// The socket is asynchronous: its receive buffer fills only while its thread
// dispatches the socket's notifications. TSocketStream turns that into
// blocking reads: when a read needs more bytes than are buffered, it runs
// wait steps (by default: wait for one message of the thread's queue and
// dispatch it) and looks again, until the bytes are there, the connection
// has ended, or TimeOut has passed.
//
// Wait modes (TSocketWaitMode):
//   swmNone            reads never wait; they return what is buffered
//   swmHandleMessage   wait for and dispatch one message of the thread's
//                      queue; ends when the quit message arrives
//   swmProcessMessages dispatch what is pending, without waiting (polls)
//   swmYield           yield the processor (polls)
// In swmHandleMessage a wait costs no processor time and is bounded: with a
// TimeOut (milliseconds, 0 for no limit) a wait returns when it passes even
// if nothing at all arrives, and a quit message posted to the socket's window
// from another thread ends it at once. Waiting for the send queue to drain
// (WaitSendComplete, Close) gives up after TimeOut without progress, so a
// peer that stops reading cannot hold the thread for ever.
//
// Lifetime and threads: the stream, its reader and its writer are used on
// the thread that owns the socket's window. The owner deletes the stream; it
// deletes the socket only when it was made with ownsSocket.

#include <cstdint>
#include <memory>

#include "sockets/tcp_client_socket.h"
#include "streams/reader.h"
#include "streams/stream.h"
#include "streams/writer.h"
#include "util/maybe_owned.h"

namespace vt {

VT_EXCEPTION_CLASS(ESocketStream, EIOError);

enum TSocketWaitMode : std::uint8_t {
  swmNone = 0,
  swmHandleMessage = 1,
  swmProcessMessages = 2,
  swmYield = 3,
};

class TSocketStream;

// The reader of a socket stream; its position counts the bytes delivered.
// Seeking backwards is not possible ("Seeking not supported"), so the base
// Peek, MatchBytes and FindBytes, which seek back, do not work on it.
class TSocketReader : public AReaderEx {
 public:
  explicit TSocketReader(TSocketStream& stream) : stream_(stream) {}

  int64_t GetPosition() override { return position_; }
  void SetPosition(int64_t position) override;
  int64_t GetSize() override { return -1; }
  // Waits for `count` bytes (the outcome does not matter), then delivers
  // what is there; never raises.
  int32_t Read(char* buffer, int32_t count) override;
  // The window was told to quit, or the connection is closed (or the peer
  // has ended its sending side) and nothing unread is left.
  bool AtEnd() override;

  // The following wait for the bytes they need and raise "Read error" when
  // the wait fails (connection ended, time-out, quit).
  std::string ReadText(int32_t count) override;
  char ReadByte() override;
  std::string PeekText(int32_t count) override;
  char PeekByte() override;
  bool MatchText(const std::string& text, bool caseSensitive) override;
  void Skip(int64_t count) override;
  // Skip for bytes known to be buffered (at most the socket's Available):
  // nothing to wait for, and no socket to look for.
  void SkipBuffered(int32_t count);

  // Searches in place over the unread bytes, waiting for more while there is
  // no hit and the bound allows one.
  int64_t FindByte(char value, bool negate, int64_t maxOffset) override;
  int64_t FindByteInSet(const ByteSet& set, bool negate, int64_t maxOffset) override;
  int64_t FindText(const std::string& text, int64_t maxOffset, bool caseSensitive) override;

 private:
  // Waits for `count` bytes or raises "Read error".
  void Require(int64_t count);
  // The search with waiting; `search(from)` searches the unread bytes from
  // offset `from`; `overlap` is how many bytes before the old end a hit may
  // start (the pattern length - 1).
  template <typename Search>
  int64_t SearchWaiting(Search search, int64_t maxOffset, int32_t overlap);

  TSocketStream& stream_;
  int64_t position_ = 0;
};

// The writer of a socket stream; its position counts the bytes accepted.
// Writes never wait: the socket sends at once or queues.
class TSocketWriter : public AWriterEx {
 public:
  explicit TSocketWriter(TSocketStream& stream) : stream_(stream) {}

  int64_t GetPosition() override { return position_; }
  // Any other position than the current one raises EWriter "SetPosition failed".
  void SetPosition(int64_t position) override;
  int64_t GetSize() override { return -1; }
  // Raises EWriter "SetSize failed".
  void SetSize(int64_t size) override;
  // The socket's WriteBuffer; raises "Socket not connected" (EWinSock).
  int32_t Write(const char* buffer, int32_t count) override;
  void WriteText(const std::string& text) override;
  // WriteText for bytes that more follow at once (a response header before
  // its body from a file): the system may keep them for the same segment.
  void WriteTextBeforeMore(const std::string& text);
  // The socket's SendFile: sends what the system takes at once of `count`
  // bytes of `file` from `offset`, and counts them; never waits or queues.
  // Raises "Write error" when the connection failed.
  int64_t WriteFile(int file, int64_t offset, int64_t count);

 private:
  TSocketStream& stream_;
  int64_t position_ = 0;
};

class TSocketStream : public AStream {
 public:
  TSocketStream(ATCPClientSocket* socket, TSocketWaitMode waitMode, std::uint32_t timeOut, bool ownsSocket);
  ~TSocketStream() override;

  // Owned when the stream was made with ownsSocket; reads as the pointer.
  TMaybeOwned<ATCPClientSocket> Socket;
  std::uint32_t TimeOut;  // milliseconds; 0 waits without limit
  // Reads wait no later than this either (a limit on a whole message, where
  // TimeOut limits each silence); Deadline::max(): none.
  Deadline ReadDeadline = Deadline::max();
  TSocketWaitMode WaitMode;

  int64_t GetPosition() override { return reader_->GetPosition(); }
  void SetPosition(int64_t position) override { reader_->SetPosition(position); }
  int64_t GetSize() override { return -1; }
  // Raises ESocketStream "SetSize failed".
  void SetSize(int64_t size) override;
  AReaderEx* GetReader() override { return reader_.get(); }
  AWriterEx* GetWriter() override { return writer_.get(); }
  int32_t Read(char* buffer, int32_t count) override { return reader_->Read(buffer, count); }
  int32_t Write(const char* buffer, int32_t count) override { return writer_->Write(buffer, count); }
  bool AtEnd() override { return reader_->AtEnd(); }

  TSocketReader* Reader() const { return reader_.get(); }
  TSocketWriter* Writer() const { return writer_.get(); }

  // The socket exists, has not been told to quit, and is connected or still
  // holds unread bytes.
  bool IsOpen() const;
  // One wait step of the wait mode; false when it failed. `deadline`, when
  // given, bounds a waiting step.
  bool WaitStep(const Deadline* deadline = nullptr);
  // A wait step while the socket is connected; false otherwise.
  bool ConnectedWaitStep(const Deadline* deadline = nullptr);
  // Waits until `count` bytes are unread in the socket; false when the
  // connection ended (or the peer ended its sending side), the window was
  // told to quit, or TimeOut or ReadDeadline passed.
  bool WaitForData(int64_t count);
  // Waits until the socket is writable with nothing queued. False when that
  // did not happen (connection ended, quit, or TimeOut without progress).
  bool WaitSendComplete();
  // Graceful shutdown; with a wait mode, waits until the queue has drained
  // and the socket closed (closing at once after TimeOut without progress).
  void Close();

 private:
  // Repeats connected wait steps until `done` holds. Gives up after TimeOut
  // without the send queue getting shorter.
  template <typename Done>
  bool WaitWhileSending(Done done);

  std::unique_ptr<TSocketReader> reader_;
  std::unique_ptr<TSocketWriter> writer_;
};

}  // namespace vt
