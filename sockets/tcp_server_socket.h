#pragma once

// The listening TCP socket.
//
// TTCPServerSocket binds to LocalHost and ListenPort (SO_REUSEADDR, so a
// restarted server can bind while old connections linger in TIME_WAIT; an
// empty LocalHost is every IPv6 and IPv4 address, see ASocket::BindLocal),
// listens with MaxBacklog, reports each waiting connection through OnAccept
// and accepts one connection per Accept call.
//
// Lifetime and threads: the owner (the TCP server) deletes it. It belongs to
// the thread that calls Listen, whose queue delivers the accept
// notifications; every operation and event runs there.

#include <string>

#include "sockets/socket.h"

namespace vt {

class TTCPServerSocket : public ASocket {
 public:
  TTCPServerSocket() = default;

  TSocketEvent OnListen;  // listening has started
  TSocketEvent OnAccept;  // a connection waits

  const std::string& ListenPort() const { return listen_port_; }
  // Raises the closed-socket error (20001) for a different value while open.
  void SetListenPort(const std::string& value);
  std::int32_t MaxBacklog() const { return max_backlog_; }
  void SetMaxBacklog(std::int32_t value);

  // Binds, registers for FD_ACCEPT on the calling thread and listens. On
  // failure the socket stays closed (its handle is closed by StopListening
  // or destruction).
  void Listen();
  // Closes the handle; the state becomes closed with the state event.
  void StopListening();
  // One waiting connection (close-on-exec, TCP_NODELAY) and its peer address;
  // kInvalidSocket and a zero address when none waits. Raises "Socket
  // closed" (-1) when not listening. The sockaddr_in form gives the IPv4
  // view of the peer (all zeros for an IPv6 peer); the other the full
  // address.
  TSocket Accept(sockaddr_in& address);
  TSocket Accept(TSocketAddress& address);

  std::int32_t NotificationEvents() const override { return FD_ACCEPT; }
  void HandleNotification(std::int32_t events, std::int32_t error) override;

  // Virtual operation added: fires OnAccept.
  virtual void TriggerAccept();

 private:
  std::string listen_port_;
  std::int32_t max_backlog_ = 4;
};

}  // namespace vt
