#include "sockets/tcp_server_socket.h"

#include <netinet/tcp.h>
#include <sys/socket.h>

namespace vt {

void TTCPServerSocket::SetListenPort(const std::string& value) {
  if (value == listen_port_) return;
  RequireClosed("SetListenPort");
  listen_port_ = value;
  SetLocalPort(value);
}

void TTCPServerSocket::SetMaxBacklog(std::int32_t value) {
  if (value == max_backlog_) return;
  RequireClosed("SetMaxBacklog");
  max_backlog_ = value;
}

void TTCPServerSocket::Listen() {
  RequireClosed("Listen");
  BindLocal(true);
  // A response's header and body may be separate writes: never hold the
  // second back waiting for the acknowledgement of the first. Set here once,
  // Linux hands it on to every connection accepted from this socket.
  const int on = 1;
  ::setsockopt(SocketHandle(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  SetAsyncMode();
  if (::listen(SocketHandle(), max_backlog_) != 0) RaiseLastWinSockError("Listen failed");
  SetState(kSocketListening);
  if (OnListen) OnListen(*this);
}

void TTCPServerSocket::StopListening() {
  if (SocketHandle() == kInvalidSocket) return;
  CloseSocketHandle();
  SetState(kSocketClosed);
}

TSocket TTCPServerSocket::Accept(sockaddr_in& address) {
  TSocketAddress peer;
  const TSocket handle = Accept(peer);
  address = peer.IPv4View();
  return handle;
}

TSocket TTCPServerSocket::Accept(TSocketAddress& address) {
  if (State() != kSocketListening) RaiseError("Socket closed", -1);
  address = TSocketAddress();
  const TSocket handle = SocketAccept(SocketHandle(), address);
  if (handle < 0) {
    address = TSocketAddress();
    return kInvalidSocket;
  }
  return handle;
}

void TTCPServerSocket::HandleNotification(std::int32_t events, std::int32_t /*error*/) {
  if (events & FD_ACCEPT) TriggerAccept();
}

void TTCPServerSocket::TriggerAccept() {
  if (OnAccept) OnAccept(*this);
}

}  // namespace vt
