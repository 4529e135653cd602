#pragma once

// Descriptors watched on a window's thread: a readiness becomes a message to
// that window, whose handler reads the descriptor.
//
// Threads: the watches are made and ended on the window's own thread.

#include <cstdint>

#include "platform/event_queue.h"
#include "platform/window_handle.h"

namespace vt {

// A descriptor watch (platform/event_queue.h) that posts `message` to
// `window` whenever the descriptor is ready: its reader runs as a message
// handler of the window's thread.
class TReadyMessage : public IoWatcher {
 public:
  TReadyMessage(HWindow window, std::uint32_t message) : window_(window), message_(message) {}
  void OnReady(std::uint32_t, MessageSink& sink) override { sink.Post(window_, message_, 0, 0); }
  void OnRecheck(MessageSink&) override {}

 private:
  HWindow window_;
  std::uint32_t message_;
};

// Watches `fd` on the thread of `window`, which gets `message` whenever the
// descriptor is readable. False, with `fd` closed, when that fails.
bool WatchReadable(HWindow window, int fd, std::uint32_t message);

// Ends a watch of WatchReadable, closes the descriptor and forgets it (-1).
void EndWatch(int& fd);

}  // namespace vt
