#include "sockets/host_lookup.h"

#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/synchronize.h"

namespace vt {

// Shared by the component and its worker thread.
struct TSocketHostLookup::Worker {
  std::mutex mutex;
  std::condition_variable wake;
  TSocketHostLookup* owner = nullptr;  // cleared when the component goes
  bool quit = false;
  // The request to run next (request 0: none).
  std::uint32_t request = 0;
  std::string host;
  Method method = kLookupThread;
  HWindow reply_window = 0;
  // The last result of an asynchronous request.
  std::uint32_t result_request = 0;
  TInAddrArray result_addresses;

  static void Run(std::shared_ptr<Worker> self);
};

class TSocketHostLookup::ReplyWindow : public TWindowHandle {
 public:
  explicit ReplyWindow(TSocketHostLookup& owner) : owner_(owner) {}
  std::int32_t HandleWM(std::uint32_t msg, std::int32_t wParam, std::int32_t lParam) override {
    if (msg != kHostLookupMessage) return TWindowHandle::HandleWM(msg, wParam, lParam);
    const auto request = static_cast<std::uint32_t>(wParam);
    if (request != owner_.pending_) return 0;  // a reply to an abandoned request
    TInAddrArray addresses;
    {
      std::lock_guard lock(owner_.worker_->mutex);
      if (owner_.worker_->result_request == request) addresses = owner_.worker_->result_addresses;
    }
    try {
      owner_.Complete((lParam >> 16) & 0xffff, addresses);
    } catch (const Exception& e) {
      if (OnException) OnException(*this, e);
    }
    return 0;
  }

 private:
  TSocketHostLookup& owner_;
};

void TSocketHostLookup::Worker::Run(std::shared_ptr<Worker> self) {
  std::unique_lock lock(self->mutex);
  for (;;) {
    self->wake.wait(lock, [&] { return self->quit || self->request != 0; });
    if (self->quit) return;
    const std::uint32_t request = self->request;
    const std::string host = self->host;
    const Method method = self->method;
    const HWindow window = self->reply_window;
    self->request = 0;
    lock.unlock();

    THostEntry entry;
    const int error = LookupHostByName(host, entry);

    if (method == kLookupAsync) {
      lock.lock();
      self->result_request = request;
      self->result_addresses = entry.Addresses;
      lock.unlock();
      PostMessage(window, kHostLookupMessage, static_cast<std::int32_t>(request),
                  static_cast<std::int32_t>(static_cast<std::uint32_t>(error) << 16));
    } else {
      try {
        Synchronize([&] {
          TSocketHostLookup* owner;
          {
            std::lock_guard guard(self->mutex);
            owner = self->owner;
          }
          // The component lives on this (the main) thread, so it cannot go
          // away while this runs.
          if (owner && owner->pending_ == request) owner->Complete(error, entry.Addresses);
        });
      } catch (const ESynchronize&) {
        return;
      } catch (const Exception&) {
        // A completion handler's failure stays on the main thread's side.
      }
    }
    lock.lock();
  }
}

TSocketHostLookup::TSocketHostLookup() = default;

TSocketHostLookup::~TSocketHostLookup() {
  window_.reset();  // replies still on their way are dropped
  if (worker_) {
    std::lock_guard lock(worker_->mutex);
    worker_->owner = nullptr;
    worker_->quit = true;
    worker_->wake.notify_one();
  }
}

void TSocketHostLookup::Lookup() {
  if (state_ == kLookupInProgress) throw ESocketHostLookup("Lookup in progress");
  if (Host.empty()) throw ESocketHostLookup("Host not assigned");
  addresses_.clear();
  error_code_ = 0;
  state_ = kLookupInProgress;
  if (OnLookupStart) OnLookupStart(*this);
  if (++pending_ == 0) pending_ = 1;
  if (LookupMethod == kLookupBlocking) {
    THostEntry entry;
    const int error = LookupHostByName(Host, entry);
    Complete(error, entry.Addresses);
    return;
  }
  if (LookupMethod == kLookupAsync && !window_) window_ = std::make_unique<ReplyWindow>(*this);
  if (!worker_) {
    worker_ = std::make_shared<Worker>();
    worker_->owner = this;
    std::thread(Worker::Run, worker_).detach();
  }
  std::lock_guard lock(worker_->mutex);
  worker_->request = pending_;
  worker_->host = Host;
  worker_->method = LookupMethod;
  worker_->reply_window = LookupMethod == kLookupAsync ? window_->GetHandle() : 0;
  worker_->wake.notify_one();
}

void TSocketHostLookup::Abandon() {
  if (state_ == kLookupInProgress) state_ = kLookupAbandoned;
}

void TSocketHostLookup::Complete(int error, const TInAddrArray& addresses) {
  if (state_ == kLookupAbandoned) return;
  state_ = kLookupDone;
  error_code_ = error;
  addresses_ = addresses;
  if (OnLookupComplete) OnLookupComplete(*this);
}

}  // namespace vt
