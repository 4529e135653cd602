#include "sockets/winsock.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
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

// getaddrinfo for stream sockets: 0 or the WinSock code of the failure.
// The caller frees `list`.
int ResolveForStream(const std::string& host, int family, int flags, addrinfo*& list) {
  addrinfo hints{};
  hints.ai_family = family;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = flags;
  list = nullptr;
  return CodeOfResolverError(::getaddrinfo(host.c_str(), nullptr, &hints, &list));
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
  addrinfo* list = nullptr;
  if (const int error = ResolveForStream(host, AF_INET, AI_CANONNAME, list)) return error;
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

// ---------------------------------------------------------------------------
// Socket addresses of either family

namespace {

// The IPv4 address (network order) an IPv4-mapped IPv6 address carries.
TInAddr MappedIPv4(const in6_addr& address) {
  TInAddr value;
  std::memcpy(&value, address.s6_addr + 12, sizeof value);
  return value;
}

}  // namespace

socklen_t TSocketAddress::Length() const {
  switch (Family()) {
    case AF_INET:
      return sizeof(sockaddr_in);
    case AF_INET6:
      return sizeof(sockaddr_in6);
    default:
      return 0;
  }
}

bool TSocketAddress::IsIPv4() const {
  return Family() == AF_INET || (Family() == AF_INET6 && IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr));
}

sockaddr_in TSocketAddress::IPv4View() const {
  sockaddr_in view{};
  if (Family() == AF_INET) return v4;
  if (!IsIPv4()) return view;
  view.sin_family = AF_INET;
  view.sin_port = v6.sin6_port;
  view.sin_addr.s_addr = MappedIPv4(v6.sin6_addr);
  return view;
}

std::uint16_t TSocketAddress::Port() const {
  return Known() ? ntohs(Family() == AF_INET ? v4.sin_port : v6.sin6_port) : 0;
}

std::string TSocketAddress::HostText() const {
  if (IsIPv4()) return AddressToText(IPv4View().sin_addr.s_addr);
  if (Family() != AF_INET6) return std::string();
  char text[INET6_ADDRSTRLEN];
  if (!::inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text)) return std::string();
  std::string host = text;
  // A link-local address means nothing without its interface.
  char name[IF_NAMESIZE];
  if (v6.sin6_scope_id != 0 && ::if_indextoname(v6.sin6_scope_id, name)) host += std::string("%") + name;
  return host;
}

std::string TSocketAddress::UrlHost() const {
  const std::string host = HostText();
  return IsIPv4() || host.empty() ? host : "[" + host + "]";
}

bool TSocketAddress::IsWildcard() const {
  if (Family() == AF_INET) return v4.sin_addr.s_addr == htonl(INADDR_ANY);
  return Family() == AF_INET6 && IN6_IS_ADDR_UNSPECIFIED(&v6.sin6_addr);
}

bool TSocketAddress::IsLoopback() const {
  if (IsIPv4()) return (ntohl(IPv4View().sin_addr.s_addr) >> 24) == 127;
  return Family() == AF_INET6 && IN6_IS_ADDR_LOOPBACK(&v6.sin6_addr);
}

bool SameHost(const TSocketAddress& a, const TSocketAddress& b) {
  if (a.IsIPv4() || b.IsIPv4())
    return a.IsIPv4() && b.IsIPv4() && a.IPv4View().sin_addr.s_addr == b.IPv4View().sin_addr.s_addr;
  return a.Family() == AF_INET6 && b.Family() == AF_INET6 &&
         std::memcmp(&a.v6.sin6_addr, &b.v6.sin6_addr, sizeof a.v6.sin6_addr) == 0 &&
         a.v6.sin6_scope_id == b.v6.sin6_scope_id;
}

namespace {

// getaddrinfo over `text` with `flags`; the first address found, with `port`.
int LookupFirstAddress(const std::string& text, std::uint16_t port, int flags, TSocketAddress& address) {
  address = TSocketAddress();
  std::string host = text;
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  if (host.empty()) return kWsaHostNotFound;
  addrinfo* list = nullptr;
  if (const int failed = ResolveForStream(host, AF_UNSPEC, flags, list)) return failed;
  int error = kWsaNoData;
  for (const addrinfo* item = list; item; item = item->ai_next) {
    if (item->ai_family != AF_INET && item->ai_family != AF_INET6) continue;
    if (item->ai_addrlen > sizeof(sockaddr_in6)) continue;
    std::memcpy(&address.any, item->ai_addr, item->ai_addrlen);
    if (address.Family() == AF_INET) {
      address.v4.sin_port = port;
    } else {
      address.v6.sin6_port = port;
    }
    error = 0;
    break;
  }
  ::freeaddrinfo(list);
  return error;
}

}  // namespace

bool ParseSocketAddress(const std::string& text, std::uint16_t port, TSocketAddress& address) {
  return LookupFirstAddress(text, port, AI_NUMERICHOST, address) == 0;
}

int ResolveSocketAddress(const std::string& text, std::uint16_t port, TSocketAddress& address) {
  return LookupFirstAddress(text, port, 0, address);
}

std::string HostNameOfSocketAddress(const TSocketAddress& address) {
  if (!address.Known()) return std::string();
  // A mapped IPv4 address is looked up as the IPv4 address it is.
  const sockaddr_in view = address.IPv4View();
  const TSocketAddress query = address.IsIPv4() ? TSocketAddress(view) : address;
  char name[NI_MAXHOST];
  if (::getnameinfo(&query.any, query.Length(), name, sizeof name, nullptr, 0, NI_NAMEREQD) != 0)
    return std::string();
  return name;
}

std::vector<TInterfaceAddress> LocalInterfaceAddresses() {
  std::vector<TInterfaceAddress> found;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return found;
  for (const ifaddrs* item = list; item; item = item->ifa_next) {
    if (!item->ifa_addr || !(item->ifa_flags & IFF_UP)) continue;
    const int family = item->ifa_addr->sa_family;
    if (family != AF_INET && family != AF_INET6) continue;
    TInterfaceAddress entry;
    entry.Interface = item->ifa_name ? item->ifa_name : "";
    std::memcpy(&entry.Address.any, item->ifa_addr,
                family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
    if (family == AF_INET6 && IN6_IS_ADDR_LINKLOCAL(&entry.Address.v6.sin6_addr)) continue;
    found.push_back(std::move(entry));
  }
  ::freeifaddrs(list);
  // IPv4 before IPv6, loopback after the rest; the system's order otherwise.
  std::stable_sort(found.begin(), found.end(), [](const TInterfaceAddress& a, const TInterfaceAddress& b) {
    const auto rank = [](const TInterfaceAddress& x) {
      return (x.Address.IsLoopback() ? 2 : 0) + (x.Address.Family() == AF_INET6 ? 1 : 0);
    };
    return rank(a) < rank(b);
  });
  return found;
}

TSocket AllocateSocket(std::uint8_t protocol, int family) {
  TSocket handle = kInvalidSocket;
  if (protocol == kProtocolTCP) {
    handle = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  } else if (protocol == kProtocolUDP) {
    handle = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  } else {
    RaiseWinSockCode("Socket allocation failed", kWsaEProtoNoSupport);
  }
  if (handle < 0) RaiseLastWinSock("Socket allocation failed");
  return handle;
}

}  // namespace vt
