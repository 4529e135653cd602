#pragma once

// TAddressWatch: the URLs that reach the running server, kept in step with
// the machine's network addresses.
//
// The addresses are read whole (LocalInterfaceAddresses) whenever the
// server's state changes and whenever the kernel tells of a change of the
// network interfaces (a netlink socket): a change comes as a burst of notes,
// so the owner reads again only once the burst is over (kInterfacesTimerId,
// kInterfacesSettleMs). Without the netlink socket the addresses are read at
// status changes only.
//
// Threads: main thread only. The server it looks at must outlive it.

#include <string>
#include <vector>

#include "platform/event_queue.h"
#include "tcpserver/tcp_server.h"

namespace vt {

// How long the network interfaces must be quiet before their addresses are
// read again (milliseconds): a change comes as a burst of notes.
inline constexpr int kInterfacesSettleMs = 300;

class TAddressWatch {
 public:
  explicit TAddressWatch(ATCPServer& server) : server_(server) {}
  ~TAddressWatch() { Stop(); }
  TAddressWatch(const TAddressWatch&) = delete;
  TAddressWatch& operator=(const TAddressWatch&) = delete;

  // Starts listening to the kernel's address changes: `window` gets
  // kInterfacesMessage when notes are waiting.
  void Watch(HWindow window);
  void Stop();
  // Reads the waiting notes and sets `window`'s kInterfacesTimerId to end
  // the burst.
  void TakeEvents(HWindow window);

  // The URLs that reach the running server (ServerUrls for each listening
  // address, in the sockets' order, each once); none while it is stopped.
  std::vector<std::string> ReachingURLs() const;
  // The URLs as last read.
  const std::vector<std::string>& Urls() const { return urls_; }
  // Reads the URLs again; true when they changed. A change is said in the
  // server's log ("Reach it at ...").
  bool Update();

 private:
  ATCPServer& server_;
  std::vector<std::string> urls_;
  int fd_ = -1;
};

}  // namespace vt
