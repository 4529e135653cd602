#include "sockets/winsock.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>

#include <unistd.h>

#include <cerrno>
#include <functional>

#include "sockets/socket_stream.h"
#include "streams/stream.h"

namespace vt {
namespace {

// Every failure of input or output is caught as one class, and keeps its own
// name and message; other failures are not of that family.
TEST(WinSock, InputAndOutputErrorsAreOneFamily) {
  const struct {
    std::function<void()> raise;
    const char* name;
    bool io;
  } cases[] = {
      {[] { throw EStream("s"); }, "EStream", true},
      {[] { throw EStreamOperationAborted(); }, "EStreamOperationAborted", true},
      {[] { throw EReader("s"); }, "EReader", true},
      {[] { throw EFileReader("s"); }, "EFileReader", true},
      {[] { throw EWriter("s"); }, "EWriter", true},
      {[] { throw EFileWriter("s"); }, "EFileWriter", true},
      {[] { throw ESocketStream("s"); }, "ESocketStream", true},
      {[] { RaiseWinSockCode("s", 10054); }, "EWinSock", true},
      {[] { RaiseOSError(ENOENT); }, "EOSError", false},
      {[] { throw EConvertError("s"); }, "EConvertError", false},
  };
  for (const auto& c : cases) {
    bool caught_as_io = false;
    try {
      try {
        c.raise();
      } catch (const EIOError& e) {
        caught_as_io = true;
        EXPECT_STREQ(c.name, e.ClassName());
        throw;
      }
    } catch (const Exception& e) {
      EXPECT_STREQ(c.name, e.ClassName());
    }
    EXPECT_EQ(c.io, caught_as_io) << c.name;
  }
}

TEST(WinSock, ErrorTextsAndErrnoTranslation) {
  EXPECT_EQ("", WinSockErrorText(0));
  EXPECT_EQ("Address in use", WinSockErrorText(10048));
  EXPECT_EQ("Host address not found", WinSockErrorText(11004));
  EXPECT_EQ("WinSock error #10035", WinSockErrorText(10035));
  EXPECT_EQ(10048, WinSockCodeOfErrno(EADDRINUSE));
  EXPECT_EQ(10035, WinSockCodeOfErrno(EAGAIN));
  EXPECT_EQ(10035, WinSockCodeOfErrno(EWOULDBLOCK));
  EXPECT_EQ(10054, WinSockCodeOfErrno(ECONNRESET));
  EXPECT_EQ(10013, WinSockCodeOfErrno(EACCES));
  EXPECT_EQ(0, WinSockCodeOfErrno(0));
  try {
    RaiseWinSockCode("Socket bind failed", 10048);
    FAIL();
  } catch (const EWinSock& e) {
    EXPECT_EQ("Socket bind failed: Address in use", e.Message());
    EXPECT_EQ(10048, e.ErrorCode());
    EXPECT_STREQ("EWinSock", e.ClassName());
  }
}

TEST(WinSock, DottedAddresses) {
  TInAddr address = 0;
  EXPECT_TRUE(ParseDottedAddress("  127.0.0.1", address));
  EXPECT_EQ(htonl(0x7f000001), address);
  EXPECT_EQ("127.0.0.1", AddressToText(address));
  EXPECT_TRUE(ParseDottedAddress("255.255.255.255", address));
  EXPECT_EQ(kInAddrNone, address);
  EXPECT_FALSE(ParseDottedAddress("10.0.1", address));
  EXPECT_EQ(kInAddrNone, address);
  EXPECT_FALSE(ParseDottedAddress("10.0.0.1a", address));
  EXPECT_FALSE(ParseDottedAddress("10.0.0.300", address));
  EXPECT_FALSE(ParseDottedAddress("", address));

  EXPECT_EQ(0, HostToAddress("10.1.2.3", address));
  EXPECT_EQ("10.1.2.3", AddressToText(address));
  EXPECT_EQ(0, HostToAddress("localhost", address));
  EXPECT_EQ("127.0.0.1", AddressToText(address));
  EXPECT_NE(0, HostToAddress("no-such-host.invalid", address));
  EXPECT_EQ(kInAddrNone, address);
}

TEST(WinSock, PortsFromNumbersAndServiceNames) {
  std::uint16_t port = 1;
  EXPECT_EQ(0, PortFromText("", kProtocolTCP, port));
  EXPECT_EQ(0, port);
  EXPECT_EQ(0, PortFromText("80", kProtocolTCP, port));
  EXPECT_EQ(htons(80), port);
  EXPECT_EQ("80", PortToText(port));
  EXPECT_NE(0, PortFromText("no-such-service", kProtocolTCP, port));
  EXPECT_EQ(0, port);
  EXPECT_EQ(kWsaEInval, PortFromText("65536", kProtocolTCP, port)) << "must not wrap to port 0";
  EXPECT_EQ(0, PortFromText("65535", kProtocolTCP, port));
  if (::getservbyname("http", "tcp") != nullptr) {
    EXPECT_EQ(0, PortFromText("http", kProtocolTCP, port));
    EXPECT_EQ(htons(80), port);
  }
}

// Every text form an address takes: parsed, shown, seen as IPv4 (mapped
// IPv4 addresses are the IPv4 addresses they carry), compared.
TEST(WinSock, SocketAddressesOfBothFamilies) {
  const struct {
    const char* text;
    bool parses;
    const char* host;  // HostText
    const char* url;   // UrlHost
    bool ipv4;
    bool loopback;
    bool wildcard;
  } cases[] = {
      {"127.0.0.1", true, "127.0.0.1", "127.0.0.1", true, true, false},
      {"127.3.4.5", true, "127.3.4.5", "127.3.4.5", true, true, false},
      {"::1", true, "::1", "[::1]", false, true, false},
      {"[::1]", true, "::1", "[::1]", false, true, false},
      {"::ffff:127.0.0.1", true, "127.0.0.1", "127.0.0.1", true, true, false},
      {"::ffff:192.0.2.7", true, "192.0.2.7", "192.0.2.7", true, false, false},
      {"2001:db8::a", true, "2001:db8::a", "[2001:db8::a]", false, false, false},
      {"0.0.0.0", true, "0.0.0.0", "0.0.0.0", true, false, true},
      {"::", true, "::", "[::]", false, false, true},
      {"localhost", false, "", "", false, false, false},
      {"127.0.0.1:80", false, "", "", false, false, false},
      {"", false, "", "", false, false, false},
  };
  for (const auto& c : cases) {
    TSocketAddress address;
    EXPECT_EQ(c.parses, ParseSocketAddress(c.text, htons(8080), address)) << c.text;
    EXPECT_EQ(c.host, address.HostText()) << c.text;
    EXPECT_EQ(c.url, address.UrlHost()) << c.text;
    EXPECT_EQ(c.ipv4, address.IsIPv4()) << c.text;
    EXPECT_EQ(c.loopback, address.IsLoopback()) << c.text;
    EXPECT_EQ(c.wildcard, address.IsWildcard()) << c.text;
    EXPECT_EQ(c.parses ? 8080 : 0, address.Port()) << c.text;
    const sockaddr_in view = address.IPv4View();
    EXPECT_EQ(c.ipv4 ? AF_INET : 0, view.sin_family) << c.text;
    if (c.ipv4) {
      EXPECT_EQ(c.host, AddressToText(view.sin_addr.s_addr)) << c.text;
      EXPECT_EQ(htons(8080), view.sin_port) << c.text;
    }
  }

  TSocketAddress v4, mapped, v6, other;
  ASSERT_TRUE(ParseSocketAddress("127.0.0.1", 0, v4));
  ASSERT_TRUE(ParseSocketAddress("::ffff:127.0.0.1", htons(9), mapped));
  ASSERT_TRUE(ParseSocketAddress("::1", 0, v6));
  ASSERT_TRUE(ParseSocketAddress("127.0.0.2", 0, other));
  EXPECT_TRUE(SameHost(v4, mapped));
  EXPECT_TRUE(SameHost(v6, v6));
  EXPECT_FALSE(SameHost(v4, v6));
  EXPECT_FALSE(SameHost(v4, other));
  EXPECT_FALSE(SameHost(TSocketAddress(), TSocketAddress()));

  EXPECT_EQ(0, ResolveSocketAddress("localhost", htons(1), v4));
  EXPECT_TRUE(v4.IsLoopback());
  EXPECT_NE(0, ResolveSocketAddress("no-such-host.invalid", 0, v4));
  EXPECT_FALSE(v4.Known());
}

TEST(WinSock, InterfaceAddressesIncludeLoopbackLast) {
  const std::vector<TInterfaceAddress> found = LocalInterfaceAddresses();
  ASSERT_FALSE(found.empty());
  bool loopback_seen = false;
  for (const TInterfaceAddress& entry : found) {
    EXPECT_TRUE(entry.Address.Known());
    if (entry.Address.IsLoopback()) loopback_seen = true;
    EXPECT_FALSE(loopback_seen && !entry.Address.IsLoopback()) << "loopback comes last";
    EXPECT_FALSE(entry.Address.Family() == AF_INET6 && IN6_IS_ADDR_LINKLOCAL(&entry.Address.v6.sin6_addr));
  }
  EXPECT_TRUE(loopback_seen);
}

TEST(WinSock, NamesAndAllocation) {
  EXPECT_FALSE(LocalHostName().empty());
  TInAddr loopback = 0;
  ParseDottedAddress("127.0.0.1", loopback);
  EXPECT_FALSE(HostNameOfAddress(loopback).empty());

  THostEntry entry;
  EXPECT_EQ(0, LookupHostByName("localhost", entry));
  EXPECT_EQ(loopback, HostEntryAddress(entry, 0));
  EXPECT_EQ(kInAddrNone, HostEntryAddress(entry, 99));

  const TSocket handle = AllocateSocket(kProtocolTCP);
  EXPECT_GE(handle, 0);
  ::close(handle);
  try {
    AllocateSocket(7);
    FAIL();
  } catch (const EWinSock& e) {
    EXPECT_EQ("Socket allocation failed: Protocol not supported", e.Message());
  }
}

}  // namespace
}  // namespace vt
