#pragma once

// Who makes way when the client list is full and a connection waits for a
// place: the rules, as one function of a table.
//
// The server (ATCPServer::MakeWay) copies what it knows of its listed
// clients into a table, one row each, adds what it knows of the newcomers
// and the time, and asks ChooseGiveWay. The answer names a row (and the
// rule that chose it) or nobody, with the time after which asking again
// may give another answer. Nothing here reads a clock or touches a socket
// or a client, so every rule can be tried on a table written by hand, and
// a change of the rules is a change of this one function.
//
// Threads: none of its own; the server asks on the main thread.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "sockets/winsock.h"

namespace vt {

// The settings the rules read (those of ATCPServer with the same names).
struct TGiveWayRules {
  // A client idle this many milliseconds makes way; negative: never.
  std::int32_t IdleGiveWayTime = 2000;
  // A request below this many bytes a second, once MinReceiveRateGrace ms
  // have passed since its first byte, makes way; 0 or less: never.
  std::int32_t MinReceiveRate = -1;
  std::int32_t MinReceiveRateGrace = 0;
  // A client whose peer has taken no byte of its answer for this many
  // milliseconds makes way (kFullListStallMs at most); negative: never.
  std::int32_t SendStallTime = -1;
};

// The rules are asked only while the list is full and someone waits. Then
// a client that has taken no byte of its answer for this long makes way
// even when SendStallTime is longer: with every place held by clients that
// never read, a newcomer would otherwise wait out the whole SendStallTime
// (30 s by default), and a person gives up long before that.
inline constexpr std::int64_t kFullListStallMs = 10000;

// A client whose peer took a byte of its answer within this many
// milliseconds is taking its answer, and never makes way for an address
// holding too many places. The server sees a byte taken when the peer
// acknowledges it, which a reader does a window at a time (up to 64 KB on
// loopback): one reading 100 KB a second shows progress about every 0.7 s.
inline constexpr std::int64_t kTakingWindowMs = 2000;

// One listed client as the rules see it. Times are milliseconds of one
// steady clock (IdleClockMs), 0 (or less) for "not now". Terminated clients
// are already leaving and have no row.
struct TGiveWayRow {
  TSocketAddress Peer;
  // Waits for a request, none in progress.
  std::int64_t IdleSince = 0;
  // A request is being received (its first byte came then) ...
  std::int64_t ReceivingSince = 0;
  // ... and RequestBytes of it have come so far (read only while one is).
  std::int64_t RequestBytes = 0;
  // The worker waits for the peer to take bytes of an answer, and the peer
  // has taken none since then (judged by the bytes it acknowledged, not by
  // the send buffer being full: that it always is for a slow reader).
  std::int64_t SendingSince = 0;
};

// Who waits for a place.
struct TNewcomers {
  // Those held in the waiting room, oldest first: their addresses are known.
  std::span<const TSocketAddress> Held;
  // One waits in the system's queue (its address unknown until accepted).
  bool Queued = false;
};

enum class TGiveWayRule {
  kNone,
  // Idle the longest, and for IdleGiveWayTime at least.
  kIdle,
  // The slowest request below MinReceiveRate.
  kSlowRequest,
  // The answer not taken the longest, for SendStallTime (or
  // kFullListStallMs) at least.
  kSendStall,
  // Of the host holding the most places, for a newcomer from another; never
  // a client taking its answer.
  kCrowded,
};

// The answer: a row and the rule that chose it, or nobody.
struct TGiveWay {
  TGiveWayRule Rule = TGiveWayRule::kNone;
  // The row that makes way (when Rule is not kNone).
  std::size_t Row = 0;
  // Nobody: milliseconds after which someone may be due (the bound the
  // caller gave, when nothing comes due sooner).
  std::int64_t LookAgain = 0;
  // What the log says of the choice:
  // kIdle: the IdleSince the row had (the server claims the client with it).
  std::int64_t IdleSince = 0;
  // kCrowded: the newcomer, the places its rival address holds, and all
  // listed places.
  TSocketAddress Newcomer;
  std::int64_t Held = 0;
  std::int64_t Listed = 0;
  // kSlowRequest: the bytes come in the milliseconds run; kSendStall: the
  // milliseconds without a byte taken.
  std::int64_t Bytes = 0;
  std::int64_t Ms = 0;
};

// Who makes way, by the rules in this order (the first that names someone
// decides): kIdle, kSlowRequest, kSendStall, kCrowded. Those that take
// nothing from the server's hands go first: a client taking its answer is
// never named by any rule, however many places its host holds. Nobody
// while no newcomer waits. `look_again_max` bounds LookAgain: a client may turn idle
// without telling, and a connection that comes while the list is full
// raises no notification of its own.
TGiveWay ChooseGiveWay(std::span<const TGiveWayRow> table, const TNewcomers& newcomers, std::int64_t now,
                       const TGiveWayRules& rules, std::int64_t look_again_max);

// The log line for a choice (not kNone) and the peer of the row it names.
std::string GiveWayLogLine(const TGiveWay& choice, const TSocketAddress& peer);

}  // namespace vt
