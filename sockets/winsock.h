#pragma once

// Process-wide socket services: error codes and texts, raising EWinSock,
// IPv4 addresses and ports as text, names, and allocating socket handles.
//
// Error codes are those of the WinSock tables (10048 "Address in use", ...);
// errno values are translated to them in one table (WinSockCodeOfErrno), so a
// failed system call reads the same here as on the system's first platform.
// There is no start-up or clean-up step: POSIX sockets need none, so nothing
// here corresponds to starting or stopping a socket library.
//
// All functions may be called from any thread.

#include <netinet/in.h>

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

// Protocols, numbered as ASocket::Protocol.
constexpr std::uint8_t kProtocolTCP = 0;
constexpr std::uint8_t kProtocolUDP = 1;

// WinSock codes used by name in the code.
constexpr int kWsaEInval = 10022;
constexpr int kWsaEWouldBlock = 10035;
constexpr int kWsaEProtoNoSupport = 10043;
constexpr int kWsaEAddrInUse = 10048;
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

// A new socket handle (close-on-exec) for the protocol; raises
// "Socket allocation failed: ..." when none can be had.
TSocket AllocateSocket(std::uint8_t protocol);

}  // namespace vt
