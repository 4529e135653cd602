#pragma once

// Socket readiness as window messages.
//
// WSAAsyncSelect(socket, window, msg, events) watches the socket on the event
// queue of the window's thread (edge-triggered epoll) and posts `msg` to the
// window with wParam = the socket and lParam = the event bit in the low word
// and an error code in the high word. The notifications follow WinSock's
// re-enabling rules, on which the socket classes rely:
//
//  - FD_READ is posted when data is there, and not again until the socket
//    has been read (SocketRecv) once more; after that read it is posted again
//    at the next collection of the queue if data may remain. A socket that
//    stops reading (throttling) gets no further FD_READ and costs nothing.
//  - FD_WRITE is posted once when the socket is writable after registration,
//    then only after a SocketSend that would block, when room is free again.
//  - FD_ACCEPT is posted while connections wait and re-enabled by
//    SocketAccept.
//  - FD_CLOSE is posted once, with the error code (WinSock numbering) in the
//    high word: at once for a failed connection; for a peer's orderly close
//    only when every byte it sent has been read (no unread byte left when the
//    close is seen, or a read has met the end of the stream). So a reader that
//    is still held back by throttling never loses the peer's last bytes.
//
// The re-enabling costs no system call: SocketRecv, SocketSend and
// SocketAccept update flags of the socket's watcher on the owning thread, and
// the queue posts what became due when it next collects messages. These three
// calls must run on the thread that owns the window; CloseSocket may run on
// any thread.

#include <netinet/in.h>
#include <sys/types.h>

#include <cstdint>

#include "platform/event_queue.h"
#include "sockets/messages.h"
#include "sockets/winsock.h"

namespace vt {

constexpr std::int32_t FD_READ = 1;
constexpr std::int32_t FD_WRITE = 2;
constexpr std::int32_t FD_OOB = 4;
constexpr std::int32_t FD_ACCEPT = 8;
constexpr std::int32_t FD_CONNECT = 16;
constexpr std::int32_t FD_CLOSE = 32;

// Watches `socket` for `events` (FD_ bits) and posts `msg` to `window`; 0 for
// `events` ends the watch. The socket becomes non-blocking. Returns 0, or -1
// with errno set.
int WSAAsyncSelect(TSocket socket, HWindow window, std::uint32_t msg, std::int32_t events);
// WSAAsyncSelect for a socket that is non-blocking already (one accepted
// with SOCK_NONBLOCK, SocketAccept): the same watch without asking the
// system for the socket's flags.
int WatchNonBlockingSocket(TSocket socket, HWindow window, std::uint32_t msg, std::int32_t events);

// recv(2) that re-enables FD_READ (and notices the end of the stream).
ssize_t SocketRecv(TSocket socket, void* buffer, std::size_t count);
// send(2) with MSG_NOSIGNAL (and `flags`) that re-enables FD_WRITE when it
// would block.
ssize_t SocketSend(TSocket socket, const void* buffer, std::size_t count, int flags = 0);
// sendfile(2) of `count` bytes of the file `file` from `offset` (the file's
// own offset is neither used nor moved); re-enables FD_WRITE when it would
// block, as SocketSend does. 0 when the file has no byte at `offset`. The
// calling thread gets SIGPIPE blocked (see there).
ssize_t SocketSendFile(TSocket socket, int file, std::int64_t offset, std::size_t count);
// accept4(2) (close-on-exec, non-blocking) that re-enables FD_ACCEPT; fills
// `address`.
TSocket SocketAccept(TSocket socket, TSocketAddress& address);
// Ends the watch and closes the socket.
int CloseSocket(TSocket socket);

}  // namespace vt
