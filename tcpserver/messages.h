#pragma once

// The message and timer numbers of the TCP server (see platform/messages.h).

#include "sockets/messages.h"

namespace vt {

// Posted by a worker to its server's window when its thread has ended;
// wParam is the worker's id.
inline constexpr std::uint32_t kWorkerEndedMessage = 1579;

// The timer of the server's window that looks again for an idle client to
// make way for a waiting connection.
inline constexpr std::uint32_t kMakeWayTimer = 1;

inline constexpr std::array kTCPServerMessages{kWorkerEndedMessage};

static_assert(MessageNumbersDiffer(kPlatformMessages, kSocketMessages, kTCPServerMessages));

}  // namespace vt
