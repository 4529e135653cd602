#include "sockets/async_select.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <typeinfo>
#include <utility>

namespace vt {

namespace {

// The WinSock notification state of one socket. Runs on the thread that owns
// the window: OnReady and OnRecheck from the queue's collection, the After*
// calls from SocketRecv/SocketSend/SocketAccept.
class SelectWatcher final : public IoWatcher {
 public:
  SelectWatcher(TSocket socket, HWindow window, std::uint32_t msg, std::int32_t events)
      : socket_(socket), window_(window), msg_(msg), events_(events) {}

  void OnReady(std::uint32_t ready, MessageSink& sink) override {
    if (ready & EPOLLIN) {
      read_ready_ = true;
      accept_ready_ = true;
    }
    if (ready & EPOLLOUT) write_ready_ = true;
    if ((events_ & FD_CLOSE) && !close_posted_ && !close_due_) {
      if (ready & EPOLLERR) {
        int error = 0;
        socklen_t size = sizeof error;
        ::getsockopt(socket_, SOL_SOCKET, SO_ERROR, &error, &size);
        Close(WinSockCodeOfErrno(error));
      } else if (ready & (EPOLLRDHUP | EPOLLHUP)) {
        peer_closed_ = true;
        if (!(events_ & FD_READ) || Unread() == 0) Close(0);
      }
    }
    Emit(sink);
  }

  void OnRecheck(MessageSink& sink) override {
    recheck_requested_ = false;
    Emit(sink);
  }

  void AfterRecv(std::size_t requested, ssize_t result, int error) {
    read_enabled_ = true;
    if (result > 0) {
      // A short read emptied the receive queue; a full one may have left more.
      if (static_cast<std::size_t>(result) < requested) {
        read_ready_ = false;
        if (peer_closed_) Close(0);  // the peer's end was already queued behind these bytes
      }
    } else if (result == 0) {
      if (requested > 0) {
        read_ready_ = false;
        peer_closed_ = true;
        Close(0);
      }
    } else if (error == EAGAIN || error == EWOULDBLOCK) {
      read_ready_ = false;
    } else if (error != EINTR) {
      read_ready_ = false;
      Close(WinSockCodeOfErrno(error));
    }
    Recheck();
  }

  void AfterSend(ssize_t result, int error) {
    if (result < 0 && (error == EAGAIN || error == EWOULDBLOCK)) {
      // The next edge of writability posts FD_WRITE.
      write_enabled_ = true;
      write_ready_ = false;
    }
  }

  void AfterAccept(TSocket result, int error) {
    accept_enabled_ = true;
    // Nothing waiting, or a failure that would repeat (out of descriptors):
    // wait for the next connection rather than retrying in a loop.
    if (result < 0 && error != ECONNABORTED && error != EINTR && error != EPROTO) accept_ready_ = false;
    Recheck();
  }

 private:
  void Close(int code) {
    close_due_ = true;
    close_code_ = code;
  }

  int Unread() const {
    int count = 0;
    return ::ioctl(socket_, FIONREAD, &count) == 0 ? count : 0;
  }

  // After a read, send or accept: the queue looks again only when that left
  // something to post. Most reads come back short (nothing more there), and
  // then the next readiness edge is what posts, through OnReady: a look
  // would find nothing, at the cost of a table look-up on every read.
  void Recheck() {
    if (recheck_requested_ || !Due()) return;
    recheck_requested_ = true;
    RequestRecheck(socket_);
  }

  // Whether Emit would post something now.
  bool Due() const {
    return ((events_ & FD_ACCEPT) && accept_enabled_ && accept_ready_) ||
           ((events_ & FD_READ) && read_enabled_ && read_ready_) ||
           ((events_ & FD_WRITE) && write_enabled_ && write_ready_) ||
           (close_due_ && !close_posted_ && (events_ & FD_CLOSE));
  }

  void Post(MessageSink& sink, std::int32_t event, int code = 0) {
    sink.Post(window_, msg_, socket_,
              event | static_cast<std::int32_t>(static_cast<std::uint32_t>(code) << 16));
  }

  void Emit(MessageSink& sink) {
    if ((events_ & FD_ACCEPT) && accept_enabled_ && accept_ready_) {
      accept_enabled_ = false;
      Post(sink, FD_ACCEPT);
    }
    if ((events_ & FD_READ) && read_enabled_ && read_ready_) {
      read_enabled_ = false;
      Post(sink, FD_READ);
    }
    if ((events_ & FD_WRITE) && write_enabled_ && write_ready_) {
      write_enabled_ = false;
      Post(sink, FD_WRITE);
    }
    if (close_due_ && !close_posted_ && (events_ & FD_CLOSE)) {
      close_posted_ = true;
      Post(sink, FD_CLOSE, close_code_);
    }
  }

  const TSocket socket_;
  const HWindow window_;
  const std::uint32_t msg_;
  const std::int32_t events_;

  bool read_enabled_ = true;
  bool read_ready_ = false;
  bool write_enabled_ = true;
  bool write_ready_ = false;
  bool accept_enabled_ = true;
  bool accept_ready_ = false;
  bool peer_closed_ = false;
  bool close_due_ = false;
  bool close_posted_ = false;
  int close_code_ = 0;
  bool recheck_requested_ = false;
};

// Valid for the call that asks (see FindThreadWatcher).
SelectWatcher* WatcherOf(TSocket socket) {
  // The class is final: its type alone tells it, without a cast that walks
  // the class tree on every read.
  IoWatcher* found = FindThreadWatcher(socket);
  if (!found) return nullptr;
  const IoWatcher& watcher = *found;
  if (typeid(watcher) != typeid(SelectWatcher)) return nullptr;
  return static_cast<SelectWatcher*>(found);
}

}  // namespace

int WSAAsyncSelect(TSocket socket, HWindow window, std::uint32_t msg, std::int32_t events) {
  if (socket >= 0 && events != 0) {
    const int flags = ::fcntl(socket, F_GETFL);
    if (flags < 0 || (!(flags & O_NONBLOCK) && ::fcntl(socket, F_SETFL, flags | O_NONBLOCK) != 0)) return -1;
  }
  return WatchNonBlockingSocket(socket, window, msg, events);
}

int WatchNonBlockingSocket(TSocket socket, HWindow window, std::uint32_t msg, std::int32_t events) {
  if (socket < 0) {
    errno = EBADF;
    return -1;
  }
  if (events == 0) {
    UnwatchDescriptor(socket);
    return 0;
  }
  std::uint32_t ready = 0;
  if (events & (FD_READ | FD_ACCEPT)) ready |= EPOLLIN;
  if (events & (FD_READ | FD_CLOSE)) ready |= EPOLLIN | EPOLLRDHUP;
  if (events & FD_WRITE) ready |= EPOLLOUT;
  const int error =
      WatchDescriptor(window, socket, ready, std::make_shared<SelectWatcher>(socket, window, msg, events));
  if (error != 0) {
    errno = error;
    return -1;
  }
  return 0;
}

ssize_t SocketRecv(TSocket socket, void* buffer, std::size_t count) {
  const ssize_t result = ::recv(socket, buffer, count, 0);
  const int error = errno;
  if (auto watcher = WatcherOf(socket)) watcher->AfterRecv(count, result, error);
  errno = error;
  return result;
}

ssize_t SocketSend(TSocket socket, const void* buffer, std::size_t count, int flags) {
  const ssize_t result = ::send(socket, buffer, count, MSG_NOSIGNAL | flags);
  const int error = errno;
  if (result < 0) {
    if (auto watcher = WatcherOf(socket)) watcher->AfterSend(result, error);
  }
  errno = error;
  return result;
}

ssize_t SocketSendFile(TSocket socket, int file, std::int64_t offset, std::size_t count) {
  // sendfile cannot be told MSG_NOSIGNAL: a peer that has gone would raise
  // SIGPIPE. Blocked in this thread instead (once), it stays pending there,
  // harmless, and the call fails with EPIPE as a send does.
  thread_local bool pipe_signal_blocked = false;
  if (!pipe_signal_blocked) {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pipe_signal_blocked = ::pthread_sigmask(SIG_BLOCK, &pipe, nullptr) == 0;
  }
  off_t from = static_cast<off_t>(offset);
  const ssize_t result = ::sendfile(socket, file, &from, count);
  const int error = errno;
  if (result < 0) {
    if (auto watcher = WatcherOf(socket)) watcher->AfterSend(result, error);
  }
  errno = error;
  return result;
}

TSocket SocketAccept(TSocket socket, TSocketAddress& address) {
  socklen_t size = sizeof address.v6;
  // Non-blocking from the start: the connection is watched asynchronously
  // at once, which then needs no second system call to make it so.
  const TSocket result = ::accept4(socket, &address.any, &size, SOCK_CLOEXEC | SOCK_NONBLOCK);
  const int error = errno;
  if (auto watcher = WatcherOf(socket)) watcher->AfterAccept(result, error);
  errno = error;
  return result;
}

int CloseSocket(TSocket socket) {
  if (socket < 0) return 0;
  UnwatchDescriptor(socket);
  return ::close(socket);
}

}  // namespace vt
