#include "sockets/winsock.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vt {

namespace {

struct CodeText {
  int code;
  const char* text;
};

constexpr CodeText kErrorTexts[] = {
    {10004, "Socket error: System level interruption"},
    {10009, "Socket error: Invalid format"},
    {10013, "Socket permission denied"},
    {10014, "Generic WinSock fault"},
    {10022, "Socket error: Invalid operation"},
    {10024, "WinSock file error"},
    {10036, "Blocking WinSock operation in progress"},
    {10038, "Socket operation on non-socket or not connected"},
    {10040, "Socket error: Invalid message size"},
    {10042, "Protocol not available"},
    {10043, "Protocol not supported"},
    {10044, "The socket type is not supported"},
    {10045, "Socket error: Operation not supported"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported by protocol family"},
    {10048, "Address in use"},
    {10049, "Address not available"},
    {10050, "The network subsystem has failed"},
    {10051, "The network is unreachable"},
    {10052, "Network reset"},
    {10053, "Connection aborted"},
    {10054, "Connection reset by peer"},
    {10055, "No buffer space available for socket"},
    {10057, "Socket is not connected"},
    {10058, "Socket is shutting down"},
    {10060, "Socket operation timed out"},
    {10061, "Connection refused"},
    {10063, "Socket error: Name too long"},
    {10064, "Host is unavailable"},
    {10065, "Host is unreachable"},
    {10067, "WinSock task limit reached"},
    {10091, "WinSock not ready"},
    {10092, "WinSock version not supported"},
    {10093, "WinSock not initialized"},
    {10101, "Socket has been disconnected"},
    {11001, "Host not found"},
    {11003, "Nonrecoverable WinSock error occurred"},
    {11004, "Host address not found"},
};

// errno -> WinSock code: the single translation table of the socket layer.
struct ErrnoCode {
  int error;
  int code;
};

constexpr ErrnoCode kErrnoCodes[] = {
    {EINTR, 10004},           {EBADF, 10009},           {EACCES, 10013},        {EPERM, 10013},
    {EFAULT, 10014},          {EINVAL, 10022},          {EMFILE, 10024},        {ENFILE, 10024},
    {EAGAIN, 10035},          {EINPROGRESS, 10036},     {EALREADY, 10037},      {ENOTSOCK, 10038},
    {EDESTADDRREQ, 10039},    {EMSGSIZE, 10040},        {EPROTOTYPE, 10041},    {ENOPROTOOPT, 10042},
    {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045},    {EPFNOSUPPORT, 10046},
    {EAFNOSUPPORT, 10047},    {EADDRINUSE, 10048},      {EADDRNOTAVAIL, 10049}, {ENETDOWN, 10050},
    {ENETUNREACH, 10051},     {ENETRESET, 10052},       {ECONNABORTED, 10053},  {ECONNRESET, 10054},
    {ENOBUFS, 10055},         {ENOMEM, 10055},          {EISCONN, 10056},       {ENOTCONN, 10057},
    {ESHUTDOWN, 10058},       {EPIPE, 10058},           {ETOOMANYREFS, 10059},  {ETIMEDOUT, 10060},
    {ECONNREFUSED, 10061},    {ELOOP, 10062},           {ENAMETOOLONG, 10063},  {EHOSTDOWN, 10064},
    {EHOSTUNREACH, 10065},    {ENOTEMPTY, 10066},       {EUSERS, 10068},        {EDQUOT, 10069},
    {ESTALE, 10070},          {EREMOTE, 10071},
};

// getaddrinfo/getnameinfo results -> WinSock codes.
int CodeOfResolverError(int result) {
  switch (result) {
    case 0:
      return 0;
    case EAI_NONAME:
      return kWsaHostNotFound;
    case EAI_AGAIN:
      return 11002;
    case EAI_NODATA:
    case EAI_ADDRFAMILY:
      return kWsaNoData;
    case EAI_MEMORY:
      return 10055;
    case EAI_SYSTEM:
      return WSAGetLastError();
    default:
      return 11003;
  }
}

bool AllDigits(const std::string& text) {
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return !text.empty();
}

}  // namespace

std::string WinSockErrorText(int code) {
  if (code == 0) return std::string();
  for (const CodeText& entry : kErrorTexts) {
    if (entry.code == code) return entry.text;
  }
  return "WinSock error #" + std::to_string(code);
}

int WinSockCodeOfErrno(int error) {
  if (error == EWOULDBLOCK) return kWsaEWouldBlock;
  for (const ErrnoCode& entry : kErrnoCodes) {
    if (entry.error == error) return entry.code;
  }
  return error;
}

int WSAGetLastError() { return WinSockCodeOfErrno(errno); }

void RaiseWinSock(const std::string& msg) { throw EWinSock(msg); }

void RaiseWinSockCode(const std::string& msg, int code) {
  throw EWinSock(msg + ": " + WinSockErrorText(code), code);
}

void RaiseLastWinSock(const std::string& msg) { RaiseWinSockCode(msg, WSAGetLastError()); }

bool ParseDottedAddress(const std::string& text, TInAddr& address) {
  address = kInAddrNone;
  std::size_t start = 0;
  while (start < text.size() && text[start] == ' ') ++start;
  const std::string rest = text.substr(start);
  int dots = 0;
  for (char c : rest) {
    if (c == '.') {
      ++dots;
    } else if ((c < '0' || c > '9') && c != ' ') {
      return false;
    }
  }
  if (dots != 3) return false;
  const in_addr_t value = ::inet_addr(rest.c_str());
  if (value == INADDR_NONE) return rest == "255.255.255.255";
  address = value;
  return true;
}

std::string AddressToText(TInAddr address) {
  char text[INET_ADDRSTRLEN];
  in_addr in{};
  in.s_addr = address;
  return ::inet_ntop(AF_INET, &in, text, sizeof text) ? std::string(text) : std::string();
}

int HostToAddress(const std::string& text, TInAddr& address) {
  if (ParseDottedAddress(text, address)) return 0;
  THostEntry entry;
  const int error = LookupHostByName(text, entry);
  address = error == 0 ? HostEntryAddress(entry, 0) : kInAddrNone;
  return error;
}

int PortFromText(const std::string& text, std::uint8_t protocol, std::uint16_t& port) {
  port = 0;
  if (text.empty()) return 0;
  if (AllDigits(text)) {
    std::uint32_t value = 0;
    for (char c : text) {
      value = value * 10 + static_cast<std::uint32_t>(c - '0');
      if (value > 65535) return kWsaEInval;
    }
    port = htons(static_cast<std::uint16_t>(value));
    return 0;
  }
  servent entry{};
  servent* found = nullptr;
  char buffer[1024];
  const char* proto = protocol == kProtocolUDP ? "udp" : "tcp";
  if (::getservbyname_r(text.c_str(), proto, &entry, buffer, sizeof buffer, &found) != 0 || !found)
    return kWsaNoData;
  port = static_cast<std::uint16_t>(found->s_port);  // already in network order
  return 0;
}

std::string PortToText(std::uint16_t port) { return std::to_string(ntohs(port)); }

std::string LocalHostName() {
  char name[256];
  if (::gethostname(name, sizeof name) != 0) RaiseLastWinSock("LocalHostName not available");
  name[sizeof name - 1] = '\0';
  return name;
}

std::string HostNameOfAddress(TInAddr address) {
  THostEntry entry;
  return LookupHostByAddress(address, entry) == 0 ? entry.Name : std::string();
}

int LookupHostByName(const std::string& host, THostEntry& entry) {
  entry = THostEntry{};
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* list = nullptr;
  const int result = ::getaddrinfo(host.c_str(), nullptr, &hints, &list);
  if (result != 0) return CodeOfResolverError(result);
  for (const addrinfo* item = list; item; item = item->ai_next) {
    if (item->ai_canonname && entry.Name.empty()) entry.Name = item->ai_canonname;
    if (item->ai_family != AF_INET) continue;
    const auto* in = reinterpret_cast<const sockaddr_in*>(item->ai_addr);
    entry.Addresses.push_back(in->sin_addr.s_addr);
  }
  ::freeaddrinfo(list);
  return entry.Addresses.empty() ? kWsaNoData : 0;
}

int LookupHostByAddress(TInAddr address, THostEntry& entry) {
  entry = THostEntry{};
  sockaddr_in in{};
  in.sin_family = AF_INET;
  in.sin_addr.s_addr = address;
  char name[NI_MAXHOST];
  const int result = ::getnameinfo(reinterpret_cast<const sockaddr*>(&in), sizeof in, name, sizeof name,
                                   nullptr, 0, NI_NAMEREQD);
  if (result != 0) return CodeOfResolverError(result);
  entry.Name = name;
  entry.Addresses.push_back(address);
  return 0;
}

TInAddr HostEntryAddress(const THostEntry& entry, std::size_t index) {
  return index < entry.Addresses.size() ? entry.Addresses[index] : kInAddrNone;
}

TSocket AllocateSocket(std::uint8_t protocol) {
  TSocket handle = kInvalidSocket;
  if (protocol == kProtocolTCP) {
    handle = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  } else if (protocol == kProtocolUDP) {
    handle = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  } else {
    RaiseWinSockCode("Socket allocation failed", kWsaEProtoNoSupport);
  }
  if (handle < 0) RaiseLastWinSock("Socket allocation failed");
  return handle;
}

}  // namespace vt
