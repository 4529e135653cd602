#include "app/headless_view.h"

#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>

#include "app/messages.h"
#include "platform/event_queue.h"

namespace vt {

namespace {

class TSignalWatcher : public IoWatcher {
 public:
  explicit TSignalWatcher(HWindow window) : window_(window) {}
  void OnReady(std::uint32_t, MessageSink& sink) override { sink.Post(window_, kSignalMessage, 0, 0); }
  void OnRecheck(MessageSink&) override {}

 private:
  HWindow window_;
};

// Takes every signal waiting on the (non-blocking) descriptor; true when
// there was one.
bool DrainSignals(int fd) {
  bool any = false;
  signalfd_siginfo info{};
  for (;;) {
    const ssize_t got = ::read(fd, &info, sizeof info);
    if (got == static_cast<ssize_t>(sizeof info)) {
      any = true;
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    return any;
  }
}

}  // namespace

void THeadlessView::ShowView() {
  visible_ = true;
  app_.FormShow();
}

void THeadlessView::CloseView() {
  if (app_.FormClose()) closed_ = true;
}

void THeadlessView::DisplayChanged(unsigned parts) {
  if (!(parts & dpStatus)) return;
  const TStatusDisplay& display = app_.Display();
  // Before the deferred start the server is inactive only for a moment.
  if (!display.iServerActive && shown_status_.empty() && app_.Settings().Active && !app_.ExitRequested())
    return;
  const std::string status = display.iServerActive ? "Active on port " + display.lPort : "Inactive";
  if (status == shown_status_) return;
  shown_status_ = status;
  std::string line = status;
  if (display.iServerActive) line += ", publishing " + app_.Settings().PubDir;
  app_.ServerLog.Log(nullptr, 0, line);
}

void THeadlessView::ShowError(const std::string& message) {
  app_.ServerLog.Log(nullptr, 1, "Error: " + message);
}

int RunHeadless(int signal_fd) {
  TWebServerApp app;
  THeadlessView view(app);
  app.ServerLog.Options = loLogToDebugger | loLogDate | loLogTime | loIgnoreLogFailures;
  app.SetView(&view);

  TWindowHandle signals;
  signals.OnMessage = [&](std::uint32_t msg, std::int32_t, std::int32_t, bool& handled) {
    if (msg != kSignalMessage) return 0;
    handled = true;
    if (DrainSignals(signal_fd) && !app.ExitRequested()) {
      app.ServerLog.Log(nullptr, 0, "Signal received: exiting");
      app.actExitExecute();
    }
    return 0;
  };
  if (signal_fd >= 0) {
    const HWindow window = signals.GetHandle();
    if (const int error =
            WatchDescriptor(window, signal_fd, EPOLLIN, std::make_shared<TSignalWatcher>(window)))
      RaiseOSError(error);
  }

  app.FormCreate();
  view.ShowView();
  // A signal that came before the watch began leaves the descriptor
  // readable without a new edge: look once by hand.
  if (signal_fd >= 0) PostMessage(signals.Handle(), kSignalMessage, 0, 0);
  while (!view.Closed()) HandleThreadMessage(std::chrono::steady_clock::now() + std::chrono::seconds(1));
  if (signal_fd >= 0) UnwatchDescriptor(signal_fd);

  const bool saved = app.FormDestroy();
  app.ServerLog.Log(nullptr, 0, "Exited");
  return saved ? 0 : 1;
}

}  // namespace vt
