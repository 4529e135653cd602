#include "tcpserver/give_way.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vt {
namespace {

constexpr std::int64_t kNow = 100000;
constexpr std::int64_t kLookAgainMax = 250;

TSocketAddress Address(const std::string& host) {
  TSocketAddress address;
  EXPECT_TRUE(ParseSocketAddress(host, 1000, address)) << host;
  return address;
}

// A listed client from `host`, with how long ago (ms before kNow) it began
// to wait for a request, to receive one (`bytes` come so far), or for its
// peer to take a byte of an answer; -1: it does not.
TGiveWayRow Client(const std::string& host, std::int64_t idle, std::int64_t receiving = -1,
                   std::int64_t bytes = 0, std::int64_t sending = -1) {
  TGiveWayRow row;
  row.Peer = Address(host);
  row.IdleSince = idle < 0 ? 0 : kNow - idle;
  row.ReceivingSince = receiving < 0 ? 0 : kNow - receiving;
  row.RequestBytes = bytes;
  row.SendingSince = sending < 0 ? 0 : kNow - sending;
  return row;
}

TGiveWayRow Busy(const std::string& host) { return Client(host, -1); }
TGiveWayRow Receiving(const std::string& host, std::int64_t ago, std::int64_t bytes) {
  return Client(host, -1, ago, bytes);
}
TGiveWayRow Stalled(const std::string& host, std::int64_t ago) { return Client(host, -1, -1, 0, ago); }

TGiveWayRules Rules(std::int32_t idle, std::int32_t rate = -1, std::int32_t grace = 0,
                    std::int32_t stall = -1) {
  return TGiveWayRules{idle, rate, grace, stall};
}

constexpr auto kNone = TGiveWayRule::kNone;
constexpr auto kIdle = TGiveWayRule::kIdle;
constexpr auto kCrowded = TGiveWayRule::kCrowded;
constexpr auto kSlow = TGiveWayRule::kSlowRequest;
constexpr auto kStall = TGiveWayRule::kSendStall;

// The rules over tables written by hand: who makes way (the row), by which
// rule, and, when nobody does, how soon to look again. Hosts: .2 and .3 are
// already connected, .4 is a newcomer's; "queued" is a newcomer whose
// address is not known (it waits in the system's queue).
TEST(GiveWay, TheRulesChooseWhoMakesWayFromATable) {
  struct Case {
    const char* why;
    std::vector<TGiveWayRow> table;
    std::vector<std::string> held;
    bool queued;
    TGiveWayRules rules;
    TGiveWayRule rule;
    std::size_t row;          // when rule is not kNone
    std::int64_t look_again;  // when it is
    std::string log;          // the log line, when given
  };
  const std::string a = "127.0.0.2";
  const std::string b = "127.0.0.3";
  const std::string c = "127.0.0.4";
  const Case cases[] = {
      // Nobody waits.
      {"no newcomer: nobody makes way, however long idle",
       {Client(a, 9000)},
       {},
       false,
       Rules(0),
       kNone,
       0,
       250,
       ""},
      {"an empty list has nobody to give", {}, {c}, true, Rules(0, 1, 0, 0), kNone, 0, 250, ""},

      // Idle clients.
      {"idle exactly IdleGiveWayTime: due",
       {Busy(a), Client(b, 2000)},
       {},
       true,
       Rules(2000),
       kIdle,
       1,
       0,
       "Idle connection from 127.0.0.3 closed to make way for a new one"},
      {"idle a millisecond short: look again then",
       {Client(a, 1999)},
       {},
       true,
       Rules(2000),
       kNone,
       0,
       1,
       ""},
      {"the one idle longest", {Client(a, 3000), Client(b, 5000)}, {c}, false, Rules(2000), kIdle, 1, 0, ""},
      {"idle equally long: the first accepted",
       {Client(a, 3000), Client(b, 3000)},
       {},
       true,
       Rules(2000),
       kIdle,
       0,
       0,
       ""},
      {"IdleGiveWayTime 0: idle at all is enough", {Client(a, 0)}, {}, true, Rules(0), kIdle, 0, 0, ""},
      {"IdleGiveWayTime negative: idle clients stay",
       {Client(a, 60000)},
       {},
       true,
       Rules(-1),
       kNone,
       0,
       250,
       ""},
      {"the look again is bounded", {Client(a, 0)}, {}, true, Rules(60000), kNone, 0, 250, ""},
      {"a request in progress is no idle time",
       {Receiving(a, 9000, 10)},
       {},
       true,
       Rules(0),
       kNone,
       0,
       250,
       ""},

      // One address holding the places.
      {"two more places than the newcomer's address: its client waiting longest",
       {Receiving(a, 900, 5), Client(a, 1500), Busy(b)},
       {c},
       false,
       Rules(2000),
       kCrowded,
       1,
       0,
       "Connection from 127.0.0.2 closed to make way for one from 127.0.0.4: its address holds 2 of 3 "
       "connections"},
      {"waiting to receive, idle, or not taking the answer all count as waiting",
       {Stalled(a, 700), Receiving(a, 800, 5), Client(a, 600)},
       {c},
       false,
       Rules(2000),
       kCrowded,
       1,
       0,
       ""},
      {"only one place more than the newcomer's address",
       {Client(a, 10), Client(a, 10), Busy(b)},
       {b},
       false,
       Rules(2000),
       kNone,
       0,
       250,
       ""},
      {"a newcomer from the crowded address itself",
       {Client(a, 10), Client(a, 10)},
       {a},
       false,
       Rules(2000),
       kNone,
       0,
       250,
       ""},
      {"the crowded address's clients are all busy",
       {Busy(a), Busy(a), Client(b, 10)},
       {c},
       false,
       Rules(2000),
       kNone,
       0,
       250,
       ""},
      {"a newcomer of unknown address counts no places",
       {Client(a, 10), Client(a, 10)},
       {},
       true,
       Rules(2000),
       kNone,
       0,
       250,
       ""},
      {"the first newcomer that qualifies names the reason",
       {Client(a, 10), Client(a, 10), Busy(b)},
       {a, b, c},
       false,
       Rules(2000),
       kCrowded,
       0,
       0,
       "Connection from 127.0.0.2 closed to make way for one from 127.0.0.4: its address holds 2 of 3 "
       "connections"},
      {"equally crowded addresses: the one whose client came first",
       {Busy(a), Client(b, 50), Client(b, 60), Client(a, 10)},
       {c},
       false,
       Rules(2000),
       kCrowded,
       3,
       0,
       ""},
      {"a mapped IPv4 address is its IPv4 one",
       {Client("::ffff:127.0.0.2", 10), Client(a, 20)},
       {"::ffff:127.0.0.4"},
       false,
       Rules(2000),
       kCrowded,
       1,
       0,
       "Connection from 127.0.0.2 closed to make way for one from 127.0.0.4: its address holds 2 of 2 "
       "connections"},

      // Slow requests: 100 bytes a second after a grace of 1 s.
      {"below the rate after the grace",
       {Busy(a), Receiving(b, 2000, 100)},
       {},
       true,
       Rules(-1, 100, 1000),
       kSlow,
       1,
       0,
       "Connection from 127.0.0.3 closed to make way for a new one: its request came at 50 bytes a second "
       "(100 "
       "bytes in 2.0 s)"},
      {"within the grace: looked at when it ends",
       {Receiving(a, 800, 0)},
       {},
       true,
       Rules(-1, 100, 1000),
       kNone,
       0,
       200,
       ""},
      {"past the grace but not yet below the rate: looked at when it would be",
       {Receiving(a, 1050, 110)},
       {},
       true,
       Rules(-1, 100, 1000),
       kNone,
       0,
       51,
       ""},
      {"the slowest of two",
       {Receiving(a, 3000, 150), Receiving(b, 1100, 10)},
       {},
       true,
       Rules(-1, 100, 1000),
       kSlow,
       1,
       0,
       ""},
      {"MinReceiveRate 0: no such rule",
       {Receiving(a, 60000, 0)},
       {},
       true,
       Rules(-1, 0, 0),
       kNone,
       0,
       250,
       ""},
      {"no grace: the rate alone", {Receiving(a, 1, 0)}, {}, true, Rules(-1, 1000, 0), kSlow, 0, 0, ""},

      // Answers not taken.
      {"no byte taken for SendStallTime",
       {Stalled(a, 1500)},
       {},
       true,
       Rules(-1, -1, 0, 1000),
       kStall,
       0,
       0,
       "Connection from 127.0.0.2 closed to make way for a new one: it took no byte of its answer for 1.5 s"},
      {"not yet: looked at when it would be",
       {Stalled(a, 900)},
       {},
       true,
       Rules(-1, -1, 0, 1000),
       kNone,
       0,
       100,
       ""},
      {"the one stalled longest",
       {Stalled(a, 1200), Stalled(b, 3000)},
       {},
       true,
       Rules(-1, -1, 0, 1000),
       kStall,
       1,
       0,
       ""},
      {"SendStallTime negative: no such rule",
       {Stalled(a, 60000)},
       {},
       true,
       Rules(-1, -1, 0, -1),
       kNone,
       0,
       250,
       ""},

      // The order of the rules, and the soonest look again.
      {"idle before a stalled answer",
       {Stalled(a, 9000), Client(b, 10)},
       {},
       true,
       Rules(0, 100, 0, 0),
       kIdle,
       1,
       0,
       ""},
      {"a crowded address before a slow request",
       {Receiving(b, 9000, 0), Client(a, 10), Client(a, 10)},
       {c},
       false,
       Rules(2000, 100, 0),
       kCrowded,
       1,
       0,
       ""},
      {"a slow request before a stalled answer",
       {Stalled(a, 9000), Receiving(b, 2000, 0)},
       {},
       true,
       Rules(-1, 100, 1000, 1000),
       kSlow,
       1,
       0,
       ""},
      {"nobody due: the soonest of the rules",
       {Client(a, 1880), Receiving(b, 950, 0), Stalled(c, 940)},
       {},
       true,
       Rules(2000, 100, 1000, 1000),
       kNone,
       0,
       50,
       ""},
  };
  for (const Case& test : cases) {
    std::vector<TSocketAddress> held;
    for (const std::string& host : test.held) held.push_back(Address(host));
    const TGiveWay choice = ChooseGiveWay(test.table, {held, test.queued}, kNow, test.rules, kLookAgainMax);
    EXPECT_EQ(test.rule, choice.Rule) << test.why;
    if (test.rule == kNone) {
      EXPECT_EQ(test.look_again, choice.LookAgain) << test.why;
    } else {
      EXPECT_EQ(test.row, choice.Row) << test.why;
      if (!test.log.empty() && choice.Rule == test.rule && choice.Row < test.table.size()) {
        EXPECT_EQ(test.log, GiveWayLogLine(choice, test.table[choice.Row].Peer)) << test.why;
      }
    }
  }
}

// The idle claim is made against the IdleSince the table showed, so that a
// client that turned busy and idle again meanwhile is not claimed for the
// old idle time.
TEST(GiveWay, AnIdleChoiceCarriesTheIdleTimeItWasMadeFor) {
  const TGiveWayRow table[] = {Client("127.0.0.2", 3000)};
  const TGiveWay choice = ChooseGiveWay(table, {{}, true}, kNow, Rules(2000), kLookAgainMax);
  ASSERT_EQ(kIdle, choice.Rule);
  EXPECT_EQ(kNow - 3000, choice.IdleSince);
}

}  // namespace
}  // namespace vt
