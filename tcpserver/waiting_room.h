#pragma once

// The waiting room: connections the server has accepted while its client
// list was full, held unserved until a place comes free, so that their
// addresses are known to the rules that decide who makes way (give_way.h)
// and who gets the next place.
//
// Which connection goes when the room overflows, and which one gets a place
// that came free, are pure functions of the addresses (below), tested as
// tables; TWaitingRoom applies them to the sockets it holds.
//
// Threads and lifetime: the server's main thread alone. The room owns the
// handles it holds: each is closed when it leaves the room, unless it is
// handed out by TakeNext, or when the room goes.

#include <poll.h>

#include <cstddef>
#include <span>
#include <vector>

#include "sockets/tcp_server_socket.h"
#include "tcpserver/peer_tally.h"

namespace vt {

// Whether a room of `room` places holding `held` (oldest first) takes one
// more connection: while it has a free place, or while an address holds
// two of its places (one of those makes way for the newcomer then).
bool WaitingRoomTakesMore(std::span<const TSocketAddress> held, std::size_t room);

// The one to close when the room holds a connection too many: the newest of
// the address holding the most (among equals, the address whose newest came
// last). `held` is not empty.
std::size_t WaitingRoomDropIndex(std::span<const TSocketAddress> held);

// The one that gets a place that came free: the one whose address holds
// the fewest places in the client list (`places`), the oldest among equals.
// `held` is not empty.
std::size_t WaitingRoomNextIndex(std::span<const TSocketAddress> held, const TPeerTally& places);

class TWaitingRoom {
 public:
  // A held connection handed out for a place.
  struct TConnection {
    TSocket Handle = kInvalidSocket;
    TSocketAddress Address;
  };

  TWaitingRoom() = default;
  // Closes what it holds.
  ~TWaitingRoom() { Close(); }
  TWaitingRoom(const TWaitingRoom&) = delete;
  TWaitingRoom& operator=(const TWaitingRoom&) = delete;

  bool Empty() const { return handles_.empty(); }
  std::size_t Size() const { return handles_.size(); }
  // The addresses of those held, oldest first.
  std::span<const TSocketAddress> Addresses() const { return addresses_; }

  // Accepts connections from `listeners` (the first that has one each
  // time) while the room takes more (WaitingRoomTakesMore), closing the one
  // too many (WaitingRoomDropIndex). At most `room` per call, so that a
  // flood cannot hold the main thread: the listening sockets report again
  // while more wait. 0: takes none.
  void Take(std::span<TTCPServerSocket* const> listeners, std::size_t room);
  // Hands out the one that gets the place that came free
  // (WaitingRoomNextIndex); the caller owns its handle then. The room is not
  // empty.
  TConnection TakeNext(const TPeerTally& places);
  // Closes those whose peers have gone: a peer that has ended its side
  // without a byte to read (or failed) waits for nothing; one that sent its
  // request and then ended its side still waits for the answer. One poll
  // for them all.
  void Prune();
  // Closes every one held.
  void Close();

 private:
  void Erase(std::size_t index);

  // Side by side, oldest first: the addresses alone are what the rules read.
  std::vector<TSocket> handles_;
  std::vector<TSocketAddress> addresses_;
  // Prune's look at the room, kept for the next one.
  std::vector<pollfd> polls_;
};

}  // namespace vt
