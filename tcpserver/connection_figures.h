#pragma once

// TConnectionFigures: what a connection's worker tells about its work, for a
// display on the main thread (the live connections of the status window, a
// table on standard error).
//
// The worker writes, the main thread reads, and neither ever waits for the
// other: every field is a relaxed atomic in the connection's own record, and
// the request text is a short copy behind a sequence lock (a reader that
// meets a write in progress reads again). A reader may see one field a
// moment newer than another; a display takes them as they come and keeps
// them in range. Writing costs a few plain stores per request and one per
// send of the socket: no lock, no allocation.
//
// Lifetime: a member of the client (TTCPServerClient::Figures); the main
// thread reads it while the client is listed.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "util/sequence_lock.h"

namespace vt {

// Where a connection is in its conversation.
enum class TConnectionState : std::uint8_t {
  Connecting,      // accepted, the worker is setting it up
  Waiting,         // waiting for a request
  Reading,         // reading a request (head and body)
  Preparing,       // the application is making the answer
  RunningProgram,  // the answer comes from a program that runs (CGI)
  Sending,         // sending the answer
};

class TConnectionFigures {
 public:
  // The longest request text kept; a longer one is cut.
  static constexpr std::size_t kRequestTextSize = 120;

  TConnectionFigures();

  // --- Set once, on the main thread, before the worker starts ---
  // The connection's number in its server (ids grow in accepting order).
  std::uint32_t Id = 0;
  // When the connection was accepted (milliseconds of the steady clock,
  // IdleClockMs).
  std::int64_t OpenedMs = 0;

  // --- Worker ---
  void SetState(TConnectionState state) { state_.store(state, std::memory_order_relaxed); }
  // The request being served (its request line); cut at kRequestTextSize.
  void SetRequest(std::string_view text);
  // An answer of `size` bytes (header and body; -1: not known) starts
  // after the first `start` bytes written on the connection.
  void BeginResponse(std::int64_t start, std::int64_t size) {
    response_start_.store(start, std::memory_order_relaxed);
    response_size_.store(size, std::memory_order_relaxed);
  }
  // A request body the application reads as it arrives (an upload): its
  // size (-1: not known), then the bytes received so far, until it ends.
  void BeginReceiving(std::int64_t size) {
    body_size_.store(size, std::memory_order_relaxed);
    body_received_.store(0, std::memory_order_relaxed);
  }
  void SetReceived(std::int64_t bytes) { body_received_.store(bytes, std::memory_order_relaxed); }
  void EndReceiving() { body_received_.store(-1, std::memory_order_relaxed); }
  // Bytes the system has taken for sending on this connection: the socket
  // counts them here (ASocketExSendBuffer::SentCounter).
  std::atomic<std::int64_t> BytesSent{0};

  // --- Any thread ---
  TConnectionState State() const { return state_.load(std::memory_order_relaxed); }
  std::string Request() const;
  // Bytes of the current answer sent so far, within [0, size] when the size
  // is known.
  std::int64_t ResponseSent() const;
  // The current answer's size; -1 when not known.
  std::int64_t ResponseSize() const { return response_size_.load(std::memory_order_relaxed); }
  // Bytes of the request body being received so far ("receiving 3.1 of
  // 20 Mb"); -1 while none is.
  std::int64_t BodyReceived() const { return body_received_.load(std::memory_order_relaxed); }
  // That body's size; -1 when not known.
  std::int64_t BodySize() const { return body_size_.load(std::memory_order_relaxed); }

 private:
  static constexpr std::size_t kWords = kRequestTextSize / sizeof(std::uint64_t);
  static_assert(kRequestTextSize % sizeof(std::uint64_t) == 0);

  std::atomic<TConnectionState> state_{TConnectionState::Connecting};
  std::atomic<std::int64_t> response_start_{0};
  std::atomic<std::int64_t> response_size_{-1};
  std::atomic<std::int64_t> body_received_{-1};
  std::atomic<std::int64_t> body_size_{-1};
  // The request text: the worker is its one writer.
  TSequenceLock text_lock_;
  TSequenced<std::uint8_t> text_length_;
  TSequenced<std::uint64_t> text_[kWords];
};

}  // namespace vt
