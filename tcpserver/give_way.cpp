#include "tcpserver/give_way.h"

#include <algorithm>
#include <optional>

#include "tcpserver/peer_tally.h"

namespace vt {

namespace {

// Each rule names a row, or lowers `look_again` to when it might name one.
// Among equals the first row (the client accepted first) is named.

std::optional<std::size_t> IdleRule(std::span<const TGiveWayRow> table, std::int64_t now,
                                    const TGiveWayRules& rules, std::int64_t& look_again) {
  if (rules.IdleGiveWayTime < 0) return std::nullopt;
  std::optional<std::size_t> oldest;
  for (std::size_t i = 0; i < table.size(); ++i) {
    const std::int64_t since = table[i].IdleSince;
    if (since > 0 && (!oldest || since < table[*oldest].IdleSince)) oldest = i;
  }
  if (!oldest) return std::nullopt;
  const std::int64_t due = table[*oldest].IdleSince + rules.IdleGiveWayTime - now;
  if (due > 0) {
    look_again = std::min(look_again, due);
    return std::nullopt;
  }
  return oldest;
}

// Since when the client has taken nothing from the server's hands: idle,
// receiving a request, or taking no byte of its answer for kTakingWindowMs;
// 0 when it is taking its answer or the server is at work for it. A client
// whose answer's bytes would pass kTakingWindowMs untaken later lowers
// `look_again` to then.
std::int64_t NotTakingSince(const TGiveWayRow& row, std::int64_t now, std::int64_t& look_again) {
  std::int64_t since = 0;
  for (const std::int64_t mark : {row.IdleSince, row.ReceivingSince}) {
    if (mark > 0 && (since == 0 || mark < since)) since = mark;
  }
  if (row.SendingSince > 0) {
    const std::int64_t due = row.SendingSince + kTakingWindowMs - now;
    if (due > 0) {
      look_again = std::min(look_again, due);
    } else if (since == 0 || row.SendingSince < since) {
      since = row.SendingSince;
    }
  }
  return since;
}

// One host cannot hold every place: for the first held newcomer whose host
// holds at least two places fewer than the host holding the most (which is
// not its own), that host's client that has taken nothing the longest.
std::optional<std::size_t> CrowdedRule(std::span<const TGiveWayRow> table, const TNewcomers& newcomers,
                                       std::int64_t now, std::int64_t& look_again, TGiveWay& choice) {
  TPeerTally places;
  for (const TGiveWayRow& row : table) places.Add(row.Peer);
  const TPeerTally::Entry* top = places.Most();
  if (!top) return std::nullopt;
  for (const TSocketAddress& newcomer : newcomers.Held) {
    if (SamePeerAddress(newcomer, top->address) || top->count < places.Count(newcomer) + 2) continue;
    std::optional<std::size_t> longest;
    std::int64_t longest_since = 0;
    for (std::size_t i = 0; i < table.size(); ++i) {
      if (!SamePeerAddress(table[i].Peer, top->address)) continue;
      const std::int64_t since = NotTakingSince(table[i], now, look_again);
      if (since > 0 && (!longest || since < longest_since)) {
        longest = i;
        longest_since = since;
      }
    }
    // Every other newcomer would find the same clients busy.
    if (!longest) return std::nullopt;
    choice.Newcomer = newcomer;
    choice.Held = top->count;
    choice.Listed = static_cast<std::int64_t>(table.size());
    return longest;
  }
  return std::nullopt;
}

// The slowest request below the rate, once past its grace.
std::optional<std::size_t> SlowRequestRule(std::span<const TGiveWayRow> table, std::int64_t now,
                                           const TGiveWayRules& rules, std::int64_t& look_again,
                                           TGiveWay& choice) {
  if (rules.MinReceiveRate <= 0) return std::nullopt;
  std::optional<std::size_t> slowest;
  std::int64_t slowest_bytes = 0;
  std::int64_t slowest_ran = 0;
  for (std::size_t i = 0; i < table.size(); ++i) {
    const std::int64_t since = table[i].ReceivingSince;
    if (since <= 0) continue;
    const std::int64_t ran = now - since;
    const std::int64_t bytes = table[i].RequestBytes;
    // When it falls below the rate if nothing more comes; never before its
    // first millisecond, so `ran` divides below.
    const std::int64_t below =
        std::max<std::int64_t>(rules.MinReceiveRateGrace, bytes * 1000 / rules.MinReceiveRate + 1);
    if (ran < below) {
      look_again = std::min(look_again, below - ran);
    } else if (!slowest || bytes * slowest_ran < slowest_bytes * ran) {
      slowest = i;
      slowest_bytes = bytes;
      slowest_ran = ran;
    }
  }
  if (slowest) {
    choice.Bytes = slowest_bytes;
    choice.Ms = slowest_ran;
  }
  return slowest;
}

// The client whose peer has taken no byte of its answer the longest.
std::optional<std::size_t> SendStallRule(std::span<const TGiveWayRow> table, std::int64_t now,
                                         const TGiveWayRules& rules, std::int64_t& look_again,
                                         TGiveWay& choice) {
  if (rules.SendStallTime < 0) return std::nullopt;
  const std::int64_t stall_time = std::min<std::int64_t>(rules.SendStallTime, kFullListStallMs);
  std::optional<std::size_t> stalled;
  for (std::size_t i = 0; i < table.size(); ++i) {
    const std::int64_t since = table[i].SendingSince;
    if (since <= 0) continue;
    const std::int64_t due = since + stall_time - now;
    if (due > 0) {
      look_again = std::min(look_again, due);
    } else if (!stalled || since < table[*stalled].SendingSince) {
      stalled = i;
    }
  }
  if (stalled) choice.Ms = now - table[*stalled].SendingSince;
  return stalled;
}

std::string SecondsText(std::int64_t ms) {
  return std::to_string(ms / 1000) + "." + std::to_string(ms % 1000 / 100) + " s";
}

}  // namespace

TGiveWay ChooseGiveWay(std::span<const TGiveWayRow> table, const TNewcomers& newcomers, std::int64_t now,
                       const TGiveWayRules& rules, std::int64_t look_again_max) {
  TGiveWay choice;
  choice.LookAgain = look_again_max;
  if (newcomers.Held.empty() && !newcomers.Queued) return choice;
  const auto chosen = [&choice](TGiveWayRule rule, std::size_t row) {
    choice.Rule = rule;
    choice.Row = row;
    return choice;
  };
  if (const auto row = IdleRule(table, now, rules, choice.LookAgain)) {
    choice.IdleSince = table[*row].IdleSince;
    return chosen(TGiveWayRule::kIdle, *row);
  }
  // Those that take nothing go before a crowded host's: the crowded rule
  // would otherwise name whoever of that host waits for anything at all,
  // a steady download included, while clients that never read stay.
  if (const auto row = SlowRequestRule(table, now, rules, choice.LookAgain, choice))
    return chosen(TGiveWayRule::kSlowRequest, *row);
  if (const auto row = SendStallRule(table, now, rules, choice.LookAgain, choice))
    return chosen(TGiveWayRule::kSendStall, *row);
  if (const auto row = CrowdedRule(table, newcomers, now, choice.LookAgain, choice))
    return chosen(TGiveWayRule::kCrowded, *row);
  return choice;
}

std::string GiveWayLogLine(const TGiveWay& choice, const TSocketAddress& peer) {
  std::string reason;
  switch (choice.Rule) {
    case TGiveWayRule::kNone:
      return std::string();
    case TGiveWayRule::kIdle:
      return "Idle connection from " + peer.HostText() + " closed to make way for a new one";
    case TGiveWayRule::kCrowded:
      // An IPv6 host is its /64: the places counted are its network's, not
      // those of the one address shown.
      reason =
          "one from " + choice.Newcomer.HostText() +
          (peer.IsIPv4() || peer.Family() != AF_INET6 ? ": its address holds " : ": its /64 network holds ") +
          std::to_string(choice.Held) + " of " + std::to_string(choice.Listed) + " connections";
      break;
    case TGiveWayRule::kSlowRequest:
      reason = "a new one: its request came at " +
               std::to_string(choice.Ms > 0 ? choice.Bytes * 1000 / choice.Ms : choice.Bytes) +
               " bytes a second (" + std::to_string(choice.Bytes) + " bytes in " + SecondsText(choice.Ms) +
               ")";
      break;
    case TGiveWayRule::kSendStall:
      reason = "a new one: it took no byte of its answer for " + SecondsText(choice.Ms);
      break;
  }
  return "Connection from " + peer.HostText() + " closed to make way for " + reason;
}

}  // namespace vt
