#include "platform/window_handle.h"

#include <string>

namespace vt {

using namespace event_queue_detail;

TWindowHandle::~TWindowHandle() { TWindowHandle::DestroyHandle(); }

HWindow TWindowHandle::GetHandle() {
  HWindow handle = Handle();
  if (handle == 0) {
    handle = AllocateHandle();
    handle_.store(handle, std::memory_order_release);
  }
  return handle;
}

HWindow TWindowHandle::AllocateHandle() {
  try {
    const HWindow handle = RegisterWindow(this, queue_);
    owner_tid_.store(CurrentThreadId(), std::memory_order_release);
    return handle;
  } catch (const EOSError& e) {
    throw EWindowHandle("Window handle allocation failed: Windows error #" + std::to_string(e.ErrorCode()));
  }
}

std::int32_t TWindowHandle::HandleWM(std::uint32_t msg, std::int32_t wParam, std::int32_t lParam) {
  std::int32_t result = 0;
  try {
    bool handled = false;
    if (OnMessage) result = OnMessage(msg, wParam, lParam, handled);
    // The default processing of every message this system posts yields 0.
    if (!handled) result = 0;
  } catch (const Exception& e) {
    if (OnException) OnException(*this, e);
  }
  return result;
}

void TWindowHandle::DestroyHandle() {
  const HWindow handle = handle_.exchange(0, std::memory_order_acq_rel);
  if (handle != 0 && queue_) UnregisterWindow(handle, *queue_);
  queue_.reset();
  owner_tid_.store(0, std::memory_order_release);
}

void TWindowHandle::Terminate() { SetTerminated(); }

bool TWindowHandle::InOwnerThread() const {
  const int owner = owner_tid_.load(std::memory_order_acquire);
  return owner == 0 || owner == CurrentThreadId();
}

TWindowHandle::Pumped TWindowHandle::PumpOne(const Deadline* deadline) {
  if (Terminated()) return Pumped::kTerminated;
  Message message;
  if (!TakeMessage(message, deadline)) return Pumped::kNone;
  if (message.msg == kQuitMessage) {
    SetTerminated();
    return Pumped::kQuit;
  }
  // Terminate() from another thread while we waited: the message is dropped.
  if (Terminated()) return Pumped::kTerminated;
  DispatchMessage(message);
  return Pumped::kDispatched;
}

bool TWindowHandle::ProcessMessage() {
  const Deadline now = std::chrono::steady_clock::now();
  const Pumped pumped = PumpOne(&now);
  return pumped == Pumped::kDispatched || pumped == Pumped::kQuit;
}

void TWindowHandle::ProcessMessages() {
  while (ProcessMessage()) {
  }
}

bool TWindowHandle::HandleMessage() { return PumpOne(nullptr) == Pumped::kDispatched; }

TWindowHandle::WaitResult TWindowHandle::HandleMessageUntil(Deadline deadline) {
  switch (PumpOne(&deadline)) {
    case Pumped::kDispatched:
      return WaitResult::kDispatched;
    case Pumped::kNone:
      return WaitResult::kTimedOut;
    default:
      return WaitResult::kEnded;
  }
}

TTimerHandle::~TTimerHandle() { TTimerHandle::DestroyHandle(); }

bool TTimerHandle::ActivateTimer() {
  if (TimerInterval <= 0) return false;
  return SetTimer(GetHandle(), kTimerHandleTimer, static_cast<std::uint32_t>(TimerInterval));
}

std::int32_t TTimerHandle::HandleWM(std::uint32_t msg, std::int32_t wParam, std::int32_t lParam) {
  if (msg != kTimerMessage) return TWindowHandle::HandleWM(msg, wParam, lParam);
  try {
    TriggerTimer();
  } catch (const Exception& e) {
    if (OnException) OnException(*this, e);
  }
  return 0;
}

void TTimerHandle::DestroyHandle() {
  if (Handle() != 0 && timer_active_) KillTimer(Handle(), kTimerHandleTimer);
  TWindowHandle::DestroyHandle();
}

void TTimerHandle::TriggerTimer() {
  if (OnTimer) OnTimer(*this);
}

void TTimerHandle::SetTimerActive(bool value) {
  if (value == timer_active_) return;
  if (!value) {
    KillTimer(Handle(), kTimerHandleTimer);
  } else if (!ActivateTimer()) {
    return;
  }
  timer_active_ = value;
}

}  // namespace vt
