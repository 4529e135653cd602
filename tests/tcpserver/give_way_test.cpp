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

// "none 250": nobody, look again in 250 ms; "idle 1": row 1 by the idle
// rule; likewise "crowded", "slow" and "stall".
std::string Outcome(const TGiveWay& choice) {
  switch (choice.Rule) {
    case TGiveWayRule::kNone:
      return "none " + std::to_string(choice.LookAgain);
    case TGiveWayRule::kIdle:
      return "idle " + std::to_string(choice.Row);
    case TGiveWayRule::kCrowded:
      return "crowded " + std::to_string(choice.Row);
    case TGiveWayRule::kSlowRequest:
      return "slow " + std::to_string(choice.Row);
    case TGiveWayRule::kSendStall:
      return "stall " + std::to_string(choice.Row);
  }
  return "?";
}

// The rules over tables written by hand: who makes way, by which rule, and,
// when nobody does, how soon to look again (at most 250 ms). Hosts a, b, d
// and e are connected; c is a newcomer's. Newcomers: held ones by host, "?" one
// whose address is not known (it waits in the system's queue).
TEST(GiveWay, TheRulesChooseWhoMakesWayFromATable) {
  struct Case {
    const char* why;
    std::vector<TGiveWayRow> table;
    std::string newcomers;
    TGiveWayRules rules;
    std::string outcome;
  };
  const std::string a = "127.0.0.2";
  const std::string b = "127.0.0.3";
  const std::string c = "127.0.0.4";
  const std::string d = "127.0.0.5";
  const std::string e = "127.0.0.6";
  const std::string v6a = "2001:db8::1";
  const std::string v6b = "2001:db8::2:2";
  const Case cases[] = {
      {"no newcomer: nobody makes way, however long idle", {Client(a, 9000)}, "", Rules(0), "none 250"},
      {"an empty list has nobody to give", {}, "c?", Rules(0, 1, 0, 0), "none 250"},
      // Idle clients.
      {"idle exactly IdleGiveWayTime: due", {Busy(a), Client(b, 2000)}, "?", Rules(2000), "idle 1"},
      {"idle a millisecond short: look again then", {Client(a, 1999)}, "?", Rules(2000), "none 1"},
      {"the one idle longest", {Client(a, 3000), Client(b, 5000)}, "c", Rules(2000), "idle 1"},
      {"idle equally long: the first accepted",
       {Client(a, 3000), Client(b, 3000)},
       "?",
       Rules(2000),
       "idle 0"},
      {"IdleGiveWayTime 0: idle at all is enough", {Client(a, 0)}, "?", Rules(0), "idle 0"},
      {"IdleGiveWayTime negative: idle clients stay", {Client(a, 60000)}, "?", Rules(-1), "none 250"},
      {"the look again is bounded", {Client(a, 0)}, "?", Rules(60000), "none 250"},
      {"a request in progress is no idle time", {Receiving(a, 9000, 10)}, "?", Rules(0), "none 250"},
      // One address holding the places.
      {"two places more than the newcomer's address: its client waiting longest",
       {Receiving(a, 900, 5), Client(a, 1500), Busy(b)},
       "c",
       Rules(2000),
       "crowded 1"},
      {"receiving, idle, or no byte of the answer taken for kTakingWindowMs all count as taking nothing",
       {Stalled(a, 2500), Receiving(a, 800, 5), Client(a, 600)},
       "c",
       Rules(2000),
       "crowded 0"},
      {"a crowded host's readers that took a byte lately stay; looked at when one would pass the window",
       {Stalled(a, 100), Stalled(a, 1999), Busy(b)},
       "c",
       Rules(2000),
       "none 1"},
      {"one place more only", {Client(a, 10), Client(a, 10), Busy(b)}, "b", Rules(2000), "none 250"},
      {"a newcomer from the crowded address itself",
       {Client(a, 10), Client(a, 10)},
       "a",
       Rules(2000),
       "none 250"},
      {"the crowded address's clients all busy",
       {Busy(a), Busy(a), Client(b, 10)},
       "c",
       Rules(2000),
       "none 250"},
      {"a newcomer of unknown address counts no places",
       {Client(a, 10), Client(a, 10)},
       "?",
       Rules(2000),
       "none 250"},
      {"the first newcomer that qualifies",
       {Client(a, 10), Client(a, 10), Busy(b)},
       "abc",
       Rules(2000),
       "crowded 0"},
      {"equally crowded: the address whose client came first",
       {Busy(a), Client(b, 50), Client(b, 60), Client(a, 10)},
       "c",
       Rules(2000),
       "crowded 3"},
      {"a mapped IPv4 address is its IPv4 one",
       {Client("::ffff:127.0.0.2", 10), Client(a, 20)},
       "c",
       Rules(2000),
       "crowded 1"},
      // Slow requests: 100 bytes a second after a grace of 1 s.
      {"below the rate after the grace",
       {Busy(a), Receiving(b, 2000, 100)},
       "?",
       Rules(-1, 100, 1000),
       "slow 1"},
      {"within the grace: looked at when it ends",
       {Receiving(a, 800, 0)},
       "?",
       Rules(-1, 100, 1000),
       "none 200"},
      {"past the grace, not yet below the rate",
       {Receiving(a, 1050, 110)},
       "?",
       Rules(-1, 100, 1000),
       "none 51"},
      {"the slowest of two",
       {Receiving(a, 3000, 150), Receiving(b, 1100, 10)},
       "?",
       Rules(-1, 100, 1000),
       "slow 1"},
      {"MinReceiveRate 0: no such rule", {Receiving(a, 60000, 0)}, "?", Rules(-1, 0, 0), "none 250"},
      {"no grace: the rate alone", {Receiving(a, 1, 0)}, "?", Rules(-1, 1000, 0), "slow 0"},
      // Answers not taken.
      {"no byte taken for SendStallTime", {Stalled(a, 1000)}, "?", Rules(-1, -1, 0, 1000), "stall 0"},
      {"not yet: looked at when it would be", {Stalled(a, 900)}, "?", Rules(-1, -1, 0, 1000), "none 100"},
      {"the one stalled longest",
       {Stalled(a, 1200), Stalled(b, 3000)},
       "?",
       Rules(-1, -1, 0, 1000),
       "stall 1"},
      {"SendStallTime negative: no such rule", {Stalled(a, 60000)}, "?", Rules(-1, -1, 0, -1), "none 250"},
      // The order of the rules, and the soonest look again.
      {"idle before a stalled answer", {Stalled(a, 9000), Client(b, 10)}, "?", Rules(0, 100, 0, 0), "idle 1"},
      {"a slow request before a crowded host's client",
       {Receiving(b, 9000, 0), Client(a, 10), Client(a, 10)},
       "c",
       Rules(2000, 100, 0),
       "slow 0"},
      // Steady readers against clients that never read: the second and
      // third take no byte; the first two from one host read steadily.
      {"non-readers from many hosts go before steady readers of a crowded host",
       {Stalled(b, 100), Stalled(b, 300), Stalled(d, 12000), Stalled(e, 11000)},
       "c",
       Rules(2000, 500, 2000, 30000),
       "stall 2"},
      {"a steady reader of a crowded host stays while the stalled one of another is not yet due",
       {Stalled(a, 50), Stalled(a, 50), Stalled(b, 4000)},
       "c",
       Rules(2000, -1, 0, 30000),
       "none 250"},
      {"then the stalled one goes, not the steady reader",
       {Stalled(a, 50), Stalled(a, 50), Stalled(b, 10000)},
       "c",
       Rules(2000, -1, 0, 30000),
       "stall 2"},
      {"a full list with a newcomer: no byte for kFullListStallMs is enough, whatever SendStallTime",
       {Stalled(a, 10000)},
       "?",
       Rules(-1, -1, 0, 30000),
       "stall 0"},
      {"a millisecond short of kFullListStallMs: looked at then",
       {Stalled(a, 9999)},
       "?",
       Rules(-1, -1, 0, 30000),
       "none 1"},
      // IPv6 hosts by /64 (x: a newcomer from another /64, y: one from the
      // first /64).
      {"addresses of one /64 count as one host",
       {Client(v6a, 10), Client(v6b, 20)},
       "x",
       Rules(2000),
       "crowded 1"},
      {"a newcomer from the crowded /64 is of that host",
       {Client(v6a, 10), Client(v6a, 20), Client(v6b, 30)},
       "y",
       Rules(2000),
       "none 250"},
      {"a slow request before a stalled answer",
       {Stalled(a, 9000), Receiving(b, 2000, 0)},
       "?",
       Rules(-1, 100, 1000, 1000),
       "slow 1"},
      {"nobody due: the soonest of the rules",
       {Client(a, 1880), Receiving(b, 950, 0), Stalled(c, 940)},
       "?",
       Rules(2000, 100, 1000, 1000),
       "none 50"},
  };
  for (const Case& test : cases) {
    std::vector<TSocketAddress> held;
    for (const char host : test.newcomers) {
      if (host == 'x') {
        held.push_back(Address("2001:db8:0:1::1"));
      } else if (host == 'y') {
        held.push_back(Address("2001:db8::9"));
      } else if (host != '?') {
        held.push_back(Address("127.0.0." + std::to_string(2 + host - 'a')));
      }
    }
    const bool queued = test.newcomers.find('?') != std::string::npos;
    EXPECT_EQ(test.outcome,
              Outcome(ChooseGiveWay(test.table, {held, queued}, kNow, test.rules, kLookAgainMax)))
        << test.why;
  }
}

// What the log says of each rule's choice, with the figures behind it.
TEST(GiveWay, EachRuleSaysWhyInTheLog) {
  const std::string from = "Connection from 127.0.0.2 closed to make way for ";
  struct Case {
    TGiveWayRow row;
    std::string newcomer;
    TGiveWayRules rules;
    std::string line;
  };
  const Case cases[] = {
      {Client("127.0.0.2", 3000), "", Rules(2000),
       "Idle connection from 127.0.0.2 closed to make way for a new one"},
      {Receiving("127.0.0.2", 2000, 100), "", Rules(-1, 100, 1000),
       from + "a new one: its request came at 50 bytes a second (100 bytes in 2.0 s)"},
      {Stalled("127.0.0.2", 1540), "", Rules(-1, -1, 0, 1000),
       from + "a new one: it took no byte of its answer for 1.5 s"},
      {Busy("::ffff:127.0.0.2"), "::ffff:127.0.0.4", Rules(2000),
       from + "one from 127.0.0.4: its address holds 2 of 3 connections"},
      {Busy("2001:db8::2"), "2001:db8:0:1::4", Rules(2000),
       "Connection from 2001:db8::5 closed to make way for one from 2001:db8:0:1::4: its /64 network holds 2 "
       "of 3 "
       "connections"},
  };
  for (const Case& test : cases) {
    std::vector<TGiveWayRow> table{test.row};
    std::vector<TSocketAddress> held;
    if (!test.newcomer.empty()) {
      // Two places for the row's host, one for another of the same family:
      // the newcomer's host holds none.
      const bool v6 = !test.row.Peer.IsIPv4();
      table.push_back(Client(v6 ? "2001:db8::5" : "127.0.0.2", 10));
      table.push_back(Busy(v6 ? "2001:db8:0:2::3" : "127.0.0.3"));
      held.push_back(Address(test.newcomer));
    }
    const TGiveWay choice = ChooseGiveWay(table, {held, held.empty()}, kNow, test.rules, kLookAgainMax);
    ASSERT_NE(TGiveWayRule::kNone, choice.Rule) << test.line;
    EXPECT_EQ(test.line, GiveWayLogLine(choice, table[choice.Row].Peer));
  }
}

// The idle claim is made against the IdleSince the table showed, so that a
// client that turned busy and idle again meanwhile is not claimed for the
// old idle time.
TEST(GiveWay, AnIdleChoiceCarriesTheIdleTimeItWasMadeFor) {
  const TGiveWayRow table[] = {Client("127.0.0.2", 3000)};
  const TGiveWay choice = ChooseGiveWay(table, {{}, true}, kNow, Rules(2000), kLookAgainMax);
  ASSERT_EQ(TGiveWayRule::kIdle, choice.Rule);
  EXPECT_EQ(kNow - 3000, choice.IdleSince);
}

}  // namespace
}  // namespace vt
