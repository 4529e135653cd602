#pragma once

// Where the server listens, as the user chooses it (the setting ListenOn),
// and the addresses that reach it.
//
//   "all" (also empty, any case)   every address: IPv6 and IPv4, every
//                                  network this computer is on
//   "local"                        this computer only: 127.0.0.1 and ::1
//   an address ("192.0.2.7", "fd00::2")   that address alone
//
// Pure functions apart from reading the interface list; any thread.

#include <string>
#include <vector>

#include "sockets/winsock.h"

namespace vt {

inline constexpr const char* kListenOnEvery = "all";
inline constexpr const char* kListenOnLocal = "local";

// The server's LocalHosts for a ListenOn value: none (every address),
// {"127.0.0.1", "::1"}, or the address as written (blanks around it and
// IPv6 brackets taken off).
std::vector<std::string> ListenHostsOf(const std::string& listen_on);

// The choice in words: "every address", "this computer only",
// "192.0.2.7 only".
std::string ListenOnText(const std::string& listen_on);

// Who can reach a server listening so, as a report begins: "Anyone who
// can reach this computer", "Only this computer", "Anyone who can reach
// 192.0.2.7".
std::string AudienceOf(const std::string& listen_on);

// The URLs that reach a server listening on `listening` (its
// ListeningAddresses): a wildcard stands for the addresses of the machine's
// interfaces of its family ([::] with IPv6 for both families), loopback
// ones last; any other address for itself. "http://192.0.2.7:8080/",
// "http://[::1]:8080/"; each once.
std::vector<std::string> ReachingURLs(const std::vector<TSocketAddress>& listening,
                                      const std::vector<TInterfaceAddress>& interfaces);

// Only loopback addresses among `listening`: nobody else can connect.
bool OnlyThisComputer(const std::vector<TSocketAddress>& listening);

}  // namespace vt
