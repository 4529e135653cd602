#pragma once

// The message numbers of the socket layer (see platform/messages.h).

#include "platform/messages.h"

namespace vt {

// The reply of an asynchronous host lookup: wParam the request, lParam the
// error code in the high word.
inline constexpr std::uint32_t kHostLookupMessage = 1574;
// The socket notification of the socket classes (WSAAsyncSelect).
inline constexpr std::uint32_t kSocketMessage = 1576;
// Carry throttling settings to the thread that owns a connection.
inline constexpr std::uint32_t kThrottleReadMessage = 1577;
inline constexpr std::uint32_t kThrottleWriteMessage = 1578;

inline constexpr std::array kSocketMessages{kHostLookupMessage, kSocketMessage, kThrottleReadMessage,
                                            kThrottleWriteMessage};

static_assert(MessageNumbersDiffer(kPlatformMessages, kSocketMessages));

}  // namespace vt
