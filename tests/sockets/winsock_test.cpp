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
