#pragma once

// Helpers of the socket tests: loopback connections driven from plain
// blocking sockets, pumping with a deadline, and thread CPU time.

#include <chrono>
#include <cstdint>
#include <string>

#include "platform/window_handle.h"

namespace vt::test {

using Clock = std::chrono::steady_clock;

// A connected loopback pair: `ours` is the accepted end (to hand to a socket
// class), `peer` a blocking client socket. Both are closed by the destructor
// unless released (set to -1).
struct LoopbackPair {
  LoopbackPair();
  ~LoopbackPair();
  LoopbackPair(const LoopbackPair&) = delete;
  LoopbackPair& operator=(const LoopbackPair&) = delete;
  int TakeOurs() {
    const int fd = ours;
    ours = -1;
    return fd;
  }
  int ours = -1;
  int peer = -1;
};

// A blocking client connected to 127.0.0.1:port.
int ConnectLoopback(std::uint16_t port);

// A blocking client connected to the numeric address `host` ("127.0.0.2",
// "::1") at `port` (from that same address when it is an IPv4 loopback
// one); -1 when the connection is refused or fails.
int ConnectTo(const std::string& host, std::uint16_t port);

// Why IPv6 tests cannot run here (::1 cannot be bound: no IPv6 on the
// loopback interface); empty when they can.
std::string NoIPv6Loopback();

// Sends all of `data` on a blocking socket.
void SendAll(int fd, const std::string& data);

// Reads a blocking socket until the end of the stream (or `limit`).
std::string ReceiveAll(int fd, std::chrono::milliseconds limit = std::chrono::seconds(30));

// Pumps the calling thread (through `window`) until `done` holds; false when
// `limit` passed first.
template <typename Pred>
bool PumpUntil(TWindowHandle& window, Pred done, Clock::duration limit = std::chrono::seconds(10)) {
  const Deadline deadline = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    window.HandleMessageUntil(deadline);
  }
  return true;
}

// Pumps the calling thread for `span`.
void PumpFor(TWindowHandle& window, Clock::duration span);

// CPU time of the calling thread in milliseconds.
double ThreadCpuMs();

// `count` bytes of a pattern that shows misordering and loss.
std::string Pattern(std::size_t count, std::size_t offset = 0);

}  // namespace vt::test
