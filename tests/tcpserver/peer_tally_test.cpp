#include "tcpserver/peer_tally.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace vt {
namespace {

TSocketAddress Address(const std::string& text, std::uint16_t port = 1000) {
  TSocketAddress address;
  EXPECT_TRUE(ParseSocketAddress(text, port, address)) << text;
  return address;
}

// The tally answers what counting the whole list each time answered: places
// by host (ports apart, a mapped IPv4 address as its IPv4 one, an IPv6 /64
// as one), the host holding the most, and among equals the first to come or
// the newest.
TEST(PeerTally, CountsByHostAndChoosesAmongEqualsAsTheListDid) {
  struct Row {
    const char* what;
    std::vector<std::pair<std::string, std::uint16_t>> added;
    std::string first_most;   // Most()
    std::string newest_most;  // Most(true)
    std::int64_t most;
    std::vector<std::pair<std::string, std::int64_t>> counts;
  };
  const Row rows[] = {
      {"one address, ports differ",
       {{"127.0.0.2", 1}, {"127.0.0.2", 2}},
       "127.0.0.2",
       "127.0.0.2",
       2,
       {{"127.0.0.2", 2}, {"127.0.0.3", 0}}},
      {"a clear winner",
       {{"127.0.0.2", 1}, {"127.0.0.3", 1}, {"127.0.0.3", 2}},
       "127.0.0.3",
       "127.0.0.3",
       2,
       {{"127.0.0.2", 1}}},
      {"equals: first to come, or whose last came last",
       {{"127.0.0.3", 1}, {"127.0.0.2", 1}, {"127.0.0.2", 2}, {"127.0.0.3", 2}},
       "127.0.0.3",
       "127.0.0.3",
       2,
       {}},
      {"equals the other way round",
       {{"127.0.0.3", 1}, {"127.0.0.2", 1}, {"127.0.0.3", 2}, {"127.0.0.2", 2}},
       "127.0.0.3",
       "127.0.0.2",
       2,
       {}},
      {"a mapped address is its IPv4 one",
       {{"::ffff:127.0.0.2", 1}, {"127.0.0.2", 2}, {"::1", 3}},
       "127.0.0.2",
       "127.0.0.2",
       2,
       {{"::ffff:127.0.0.2", 2}, {"::1", 1}, {"::2", 1}, {"::1:0:0:0:1", 0}}},
      {"an IPv6 /64 is one host, whatever its other half or zone",
       {{"2001:db8::1", 1}, {"2001:db8::2:3:4:5", 2}, {"fe80::1%1", 3}, {"2001:db8:0:1::1", 4}},
       "2001:db8::7",
       "2001:db8::7",
       2,
       {{"2001:db8::ffff", 2}, {"2001:db8:0:1::", 1}, {"fe80::9%2", 1}, {"2001:db9::1", 0}}},
  };
  for (const Row& row : rows) {
    TPeerTally tally;
    EXPECT_EQ(nullptr, tally.Most());
    for (const auto& [host, port] : row.added) tally.Add(Address(host, port));
    ASSERT_NE(nullptr, tally.Most()) << row.what;
    EXPECT_TRUE(SamePeerAddress(Address(row.first_most), tally.Most()->address)) << row.what;
    EXPECT_TRUE(SamePeerAddress(Address(row.newest_most), tally.Most(true)->address)) << row.what;
    EXPECT_EQ(row.most, tally.Most()->count) << row.what;
    for (const auto& [host, count] : row.counts)
      EXPECT_EQ(count, tally.Count(Address(host))) << row.what << host;
  }
}

}  // namespace
}  // namespace vt
