#pragma once

// Process-wide socket services: error codes and texts, raising EWinSock,
// IPv4 addresses and ports as text, socket addresses of either family (IPv4
// and IPv6), names, the machine's interface addresses, and allocating socket
// handles.
//
// Error codes are those of the WinSock tables (10048 "Address in use", ...);
// errno values are translated to them in one table (WinSockCodeOfErrno), so a
// failed system call reads the same here as on the system's first platform.
// There is no start-up or clean-up step: POSIX sockets need none, so nothing
// here corresponds to starting or stopping a socket library.
//
// All functions may be called from any thread.

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <vector>

#include "util/exception.h"

namespace vt {

// A socket handle is a file descriptor.
using TSocket = int;
constexpr TSocket kInvalidSocket = -1;

// An IPv4 address in network byte order.
using TInAddr = std::uint32_t;
using TInAddrArray = std::vector<TInAddr>;
// "No address" (and also the broadcast address 255.255.255.255).
constexpr TInAddr kInAddrNone = 0xffffffffu;

// A socket address of either family, as the system gives it (accept,
// getpeername, getsockname) or as parsed from text. An IPv4 peer of a
// dual-stack socket arrives as an IPv4-mapped IPv6 address
// (::ffff:192.0.2.1); everything here that shows or compares a host takes it
// for the IPv4 address it is, so IPv4 clients look the same whatever socket
// took them.
struct TSocketAddress {
  union {
    sockaddr any;
    sockaddr_in v4;
    sockaddr_in6 v6;
  };
  TSocketAddress() : v6{} {}
  explicit TSocketAddress(const sockaddr_in& address) : v6{} { v4 = address; }

  int Family() const { return any.sa_family; }
  // An IPv4 or IPv6 address (not the empty one).
  bool Known() const { return Family() == AF_INET || Family() == AF_INET6; }
  // The size the system calls take for this family.
  socklen_t Length() const;
  // IPv4, or IPv6 carrying an IPv4 address (IPv4-mapped).
  bool IsIPv4() const;
  // The IPv4 socket address of an IPv4 peer (mapped ones included); all
  // zeros for an IPv6 peer and for an unknown address.
  sockaddr_in IPv4View() const;
  // The port, in host byte order.
  std::uint16_t Port() const;
  // The host as text: dotted for IPv4 (mapped ones included), the usual
  // IPv6 form otherwise ("::1"); empty when unknown.
  std::string HostText() const;
  // The host as a URL writes it: IPv6 in brackets ("[::1]").
  std::string UrlHost() const;
  // The wildcard address of the family (0.0.0.0 or ::).
  bool IsWildcard() const;
  // 127.0.0.0/8 or ::1 (or mapped 127.x).
  bool IsLoopback() const;
};

// The same host (ports aside); an IPv4-mapped IPv6 address equals its IPv4
// address.
bool SameHost(const TSocketAddress& a, const TSocketAddress& b);

// A numeric address ("192.0.2.1", "::1", "[::1]", "fe80::1%eth0") with a
// port in network byte order. False for anything else (names included).
bool ParseSocketAddress(const std::string& text, std::uint16_t port, TSocketAddress& address);

// A numeric address, or the first address of a host name (either family).
// Returns 0 or the WinSock code of the failure. Never raises.
int ResolveSocketAddress(const std::string& text, std::uint16_t port, TSocketAddress& address);

// The host name of an address by reverse lookup; empty when there is none.
std::string HostNameOfSocketAddress(const TSocketAddress& address);

// One address of one of the machine's network interfaces.
struct TInterfaceAddress {
  std::string Interface;  // "eth0", "lo"
  TSocketAddress Address;
};
// The interface addresses that are up, IPv4 first, loopback last (IPv6
// link-local addresses are left out: a URL cannot carry their zone for a
// browser). Never raises; empty when they cannot be read.
std::vector<TInterfaceAddress> LocalInterfaceAddresses();

// Protocols, numbered as ASocket::Protocol.
constexpr std::uint8_t kProtocolTCP = 0;
constexpr std::uint8_t kProtocolUDP = 1;

// WinSock codes used by name in the code.
constexpr int kWsaEInval = 10022;
constexpr int kWsaEWouldBlock = 10035;
constexpr int kWsaEProtoNoSupport = 10043;
constexpr int kWsaEAfNoSupport = 10047;
constexpr int kWsaEAddrInUse = 10048;
constexpr int kWsaEAddrNotAvail = 10049;
constexpr int kWsaHostNotFound = 11001;
constexpr int kWsaNoData = 11004;

// A socket failure: the message and the WinSock code (or one of the socket
// layer's own codes, 20001 to 20003, or -1).
class EWinSock : public EIOError {
 public:
  explicit EWinSock(std::string message, int error_code = 0)
      : EIOError(std::move(message)), error_code_(error_code) {}
  int ErrorCode() const noexcept { return error_code_; }
  const char* ClassName() const noexcept override { return "EWinSock"; }

 private:
  int error_code_;
};

// The text of a WinSock code; empty for 0; "WinSock error #<code>" for codes
// without a text of their own.
std::string WinSockErrorText(int code);

// The WinSock code for an errno value (0 for 0; unknown values map to
// themselves, so their text names the number).
int WinSockCodeOfErrno(int error);

// The WinSock code of the current errno.
int WSAGetLastError();

[[noreturn]] void RaiseWinSock(const std::string& msg);
// Raises Msg + ": " + WinSockErrorText(Code), carrying Code.
[[noreturn]] void RaiseWinSockCode(const std::string& msg, int code);
// RaiseWinSockCode with the code of the current errno.
[[noreturn]] void RaiseLastWinSock(const std::string& msg);

// Parses a dotted IPv4 address ("10.0.0.1", leading blanks allowed). False,
// with `address` kInAddrNone, for anything else; "255.255.255.255" is
// accepted with kInAddrNone.
bool ParseDottedAddress(const std::string& text, TInAddr& address);

// The dotted text of an address.
std::string AddressToText(TInAddr address);

// A dotted address, or the first IPv4 address of a host name. Returns 0, or
// the WinSock code of the failure with `address` kInAddrNone. Never raises.
int HostToAddress(const std::string& text, TInAddr& address);

// A port in network byte order from a decimal number or a service name of
// the protocol. Empty text gives port 0. Returns 0 or a WinSock code (port 0
// then). A number above 65535 is refused with kWsaEInval rather than
// wrapped around to some other port. Never raises.
int PortFromText(const std::string& text, std::uint8_t protocol, std::uint16_t& port);

// The decimal text of a port given in network byte order.
std::string PortToText(std::uint16_t port);

// This host's name; raises "LocalHostName not available: ..." on failure.
std::string LocalHostName();

// The host name of an address by reverse lookup; empty when there is none.
std::string HostNameOfAddress(TInAddr address);

// The result of a name lookup.
struct THostEntry {
  std::string Name;        // the official (canonical) name
  TInAddrArray Addresses;  // IPv4 addresses, network order
};
// Looks up a host name's IPv4 addresses (a dotted address is taken as is).
// Returns 0 or a WinSock code. Blocks; never raises.
int LookupHostByName(const std::string& host, THostEntry& entry);
// Looks up an address's host name. Returns 0 or a WinSock code.
int LookupHostByAddress(TInAddr address, THostEntry& entry);
// The address at `index`, or kInAddrNone when there is none.
TInAddr HostEntryAddress(const THostEntry& entry, std::size_t index);

// A new socket handle (close-on-exec) for the protocol and the address
// family (AF_INET or AF_INET6); raises "Socket allocation failed: ..." when
// none can be had (10047 where the system has no IPv6).
TSocket AllocateSocket(std::uint8_t protocol, int family = AF_INET);

}  // namespace vt
