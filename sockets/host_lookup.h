#pragma once

// Resolving a host name to its IPv4 addresses, in one of three ways.
//
// TSocketHostLookup resolves `Host` when Lookup is called:
//  - kLookupBlocking: at once, inside Lookup;
//  - kLookupAsync: on the component's worker thread; the result comes back as
//    message kHostLookupMessage to the component's own window, so it
//    completes on the thread that called Lookup, when that thread pumps;
//  - kLookupThread (the default): on the worker thread, handed over through
//    Synchronize, so it completes on the main thread.
// Completion fires OnLookupComplete; success is LookupState() == kLookupDone
// with ErrorCode() 0.
//
// Lifetime and threads: the owner deletes it, on the thread where it
// completes (the main thread for kLookupThread). The worker thread is
// created on first need and waits for the next request; deleting the
// component tells it to end after its current lookup and never to report
// again. Nothing else in the system uses this component.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/window_handle.h"
#include "sockets/messages.h"
#include "sockets/winsock.h"

namespace vt {

VT_EXCEPTION_CLASS(ESocketHostLookup, Exception);

class TSocketHostLookup {
 public:
  enum Method : std::uint8_t { kLookupBlocking = 0, kLookupAsync = 1, kLookupThread = 2 };
  enum State : std::uint8_t { kLookupIdle = 0, kLookupInProgress = 1, kLookupDone = 2, kLookupAbandoned = 3 };
  using TLookupEvent = std::function<void(TSocketHostLookup& sender)>;

  TSocketHostLookup();
  ~TSocketHostLookup();
  TSocketHostLookup(const TSocketHostLookup&) = delete;
  TSocketHostLookup& operator=(const TSocketHostLookup&) = delete;

  std::string Host;
  Method LookupMethod = kLookupThread;
  TLookupEvent OnLookupStart;
  TLookupEvent OnLookupComplete;

  int ErrorCode() const { return error_code_; }
  State LookupState() const { return state_; }
  const TInAddrArray& Addresses() const { return addresses_; }

  // Starts a lookup; raises "Lookup in progress" or "Host not assigned".
  void Lookup();
  // Gives up the lookup in progress: its result will be ignored.
  void Abandon();

 private:
  struct Worker;
  class ReplyWindow;

  void Complete(int error, const TInAddrArray& addresses);

  State state_ = kLookupIdle;
  int error_code_ = 0;
  TInAddrArray addresses_;
  std::uint32_t pending_ = 0;  // the request whose reply counts
  std::shared_ptr<Worker> worker_;
  std::unique_ptr<ReplyWindow> window_;
};

}  // namespace vt
