#pragma once

// The message and timer numbers of the platform layer, and the check that
// keeps every layer's numbers apart.
//
// Each subsystem that posts messages or sets timers names its numbers in a
// header of this kind (platform/, sockets/, tcpserver/, app/messages.h),
// lists them, and checks at compile time that they differ from those of the
// layers below. A window hears every message posted to it, and some windows
// serve more than one layer (a connection's window gets socket events,
// throttling changes, timer ticks and the quit), so one number with two
// meanings would be taken for the other without a word.
//
// Timer numbers belong to one window each (the tick names the timer in its
// wParam); they are listed with the messages of the layer that owns the
// window.

#include <array>
#include <cstddef>
#include <cstdint>

namespace vt {

// Ends the message pumps (TWindowHandle).
inline constexpr std::uint32_t kQuitMessage = 18;
// A timer tick; wParam is the timer number.
inline constexpr std::uint32_t kTimerMessage = 275;

// The one timer of a TTimerHandle (and so of every socket's window, whose
// throttling timer it is).
inline constexpr std::uint32_t kTimerHandleTimer = 1;

inline constexpr std::array kPlatformMessages{kQuitMessage, kTimerMessage};

// True when no number occurs twice in all of `lists` together.
template <std::size_t... N>
constexpr bool MessageNumbersDiffer(const std::array<std::uint32_t, N>&... lists) {
  std::array<std::uint32_t, (N + ... + 0)> all{};
  std::size_t count = 0;
  (([&] {
     for (std::uint32_t number : lists) all[count++] = number;
   }()),
   ...);
  for (std::size_t i = 0; i < count; ++i) {
    for (std::size_t j = i + 1; j < count; ++j) {
      if (all[i] == all[j]) return false;
    }
  }
  return true;
}

static_assert(MessageNumbersDiffer(kPlatformMessages));

}  // namespace vt
