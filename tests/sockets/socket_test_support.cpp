#include "socket_test_support.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace vt::test {

int ConnectLoopback(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(0, ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address));
  return fd;
}

int ConnectTo(const std::string& host, std::uint16_t port) {
  sockaddr_in6 v6{};
  sockaddr_in v4{};
  const bool ipv6 = ::inet_pton(AF_INET6, host.c_str(), &v6.sin6_addr) == 1;
  if (!ipv6 && ::inet_pton(AF_INET, host.c_str(), &v4.sin_addr) != 1) return -1;
  v6.sin6_family = AF_INET6;
  v6.sin6_port = htons(port);
  v4.sin_family = AF_INET;
  v4.sin_port = htons(port);
  const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  // From the same loopback address, so that the server sees that one.
  if (!ipv6 && (ntohl(v4.sin_addr.s_addr) >> 24) == 127) {
    sockaddr_in from = v4;
    from.sin_port = 0;
    ::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from);
  }
  const int result = ipv6 ? ::connect(fd, reinterpret_cast<sockaddr*>(&v6), sizeof v6)
                          : ::connect(fd, reinterpret_cast<sockaddr*>(&v4), sizeof v4);
  if (result == 0) return fd;
  ::close(fd);
  return -1;
}

std::string NoIPv6Loopback() {
  const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return "this system has no IPv6 sockets";
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return bound ? std::string() : "no IPv6 on the loopback interface (::1 cannot be bound)";
}

LoopbackPair::LoopbackPair() {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  EXPECT_EQ(0, ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address));
  EXPECT_EQ(0, ::listen(listener, 1));
  EXPECT_EQ(0, ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size));
  peer = ConnectLoopback(ntohs(address.sin_port));
  ours = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  EXPECT_GE(ours, 0);
  ::close(listener);
}

LoopbackPair::~LoopbackPair() {
  if (ours >= 0) ::close(ours);
  if (peer >= 0) ::close(peer);
}

void SendAll(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t sent = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    ASSERT_GT(sent, 0);
    done += static_cast<std::size_t>(sent);
  }
}

std::string ReceiveAll(int fd, std::chrono::milliseconds limit) {
  std::string result;
  const auto deadline = Clock::now() + limit;
  char buffer[65536];
  while (Clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) break;
    result.append(buffer, static_cast<std::size_t>(got));
  }
  return result;
}

void PumpFor(TWindowHandle& window, Clock::duration span) {
  const Deadline deadline = Clock::now() + span;
  while (Clock::now() < deadline) window.HandleMessageUntil(deadline);
}

double ThreadCpuMs() {
  timespec ts{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

std::string Pattern(std::size_t count, std::size_t offset) {
  std::string result(count, '\0');
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t n = i + offset;
    result[i] = static_cast<char>((n * 131 + (n >> 8) * 7 + (n >> 16)) & 0xff);
  }
  return result;
}

}  // namespace vt::test
