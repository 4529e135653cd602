#include "app/address_watch.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "app/dashboard.h"
#include "app/listen_on.h"
#include "app/messages.h"
#include "app/ready_message.h"
#include "sockets/winsock.h"

namespace vt {

void TAddressWatch::Watch(HWindow window) {
  if (fd_ >= 0) return;
  const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return;
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return;
  }
  if (WatchReadable(window, fd, kInterfacesMessage)) fd_ = fd;
}

void TAddressWatch::Stop() { EndWatch(fd_); }

void TAddressWatch::TakeEvents(HWindow window) {
  if (fd_ < 0) return;
  // What changed does not matter: the addresses are read whole once the
  // burst is over.
  char buffer[8192];
  for (;;) {
    const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
  }
  SetTimer(window, kInterfacesTimerId, kInterfacesSettleMs);
}

std::vector<std::string> TAddressWatch::ReachingURLs() const {
  // Every listening socket's URLs, in the sockets' order, each once
  // (127.0.0.1 and ::1 both give the localhost one).
  std::vector<std::string> urls;
  if (!server_.Active()) return urls;
  const std::vector<TInterfaceAddress> interfaces = LocalInterfaceAddresses();
  for (const TSocketAddress& listening : server_.ListeningAddresses()) {
    for (std::string& url : ServerUrls(listening.HostText(), server_.ListenPort(), interfaces))
      if (std::find(urls.begin(), urls.end(), url) == urls.end()) urls.push_back(std::move(url));
  }
  return urls;
}

bool TAddressWatch::Update() {
  std::vector<std::string> urls = ReachingURLs();
  if (urls == urls_) return false;
  urls_ = std::move(urls);
  // Said at the start and whenever the network changes, in the server log
  // (standard error when headless).
  if (!urls_.empty()) {
    std::string reach;
    for (const std::string& url : urls_) reach += (reach.empty() ? "" : ", ") + url;
    server_.Log(0, "Reach it at " + reach +
                       (OnlyThisComputer(server_.ListeningAddresses())
                            ? " (from this computer only)"
                            : " (from every computer that can reach these addresses)"));
  }
  return true;
}

}  // namespace vt
