#include "tcpserver/waiting_room.h"

#include <sys/ioctl.h>

#include "sockets/async_select.h"

namespace vt {

namespace {

// The places of the room by address, and the address holding the most.
TPeerTally Tally(std::span<const TSocketAddress> held) {
  TPeerTally tally;
  for (const TSocketAddress& address : held) tally.Add(address);
  return tally;
}

}  // namespace

bool WaitingRoomTakesMore(std::span<const TSocketAddress> held, std::size_t room) {
  if (held.size() < room) return true;
  const TPeerTally tally = Tally(held);
  const TPeerTally::Entry* most = tally.Most(true);
  return most && most->count >= 2;
}

std::size_t WaitingRoomDropIndex(std::span<const TSocketAddress> held) {
  // An entry's `last` is the position of its newest connection.
  return Tally(held).Most(true)->last;
}

std::size_t WaitingRoomNextIndex(std::span<const TSocketAddress> held, const TPeerTally& places) {
  std::size_t next = 0;
  for (std::size_t i = 1; i < held.size(); ++i) {
    if (places.Count(held[i]) < places.Count(held[next])) next = i;
  }
  return next;
}

void TWaitingRoom::Take(std::span<TTCPServerSocket* const> listeners, std::size_t room) {
  for (std::size_t pass = 0; pass < room; ++pass) {
    if (!WaitingRoomTakesMore(addresses_, room)) return;
    TSocketAddress address;
    TSocket handle = kInvalidSocket;
    for (TTCPServerSocket* listener : listeners) {
      try {
        handle = listener->Accept(address);
      } catch (const EWinSock&) {
        // Raised only by a listener that no longer listens: it has nothing
        // more to give, and the server, which closed it, knows why.
        return;
      }
      if (handle != kInvalidSocket) break;
    }
    if (handle == kInvalidSocket) return;
    handles_.push_back(handle);
    addresses_.push_back(address);
    if (handles_.size() > room) {
      const std::size_t dropped = WaitingRoomDropIndex(addresses_);
      CloseSocket(handles_[dropped]);
      Erase(dropped);
    }
  }
}

TWaitingRoom::TConnection TWaitingRoom::TakeNext(const TPeerTally& places) {
  const std::size_t next = WaitingRoomNextIndex(addresses_, places);
  const TConnection chosen{handles_[next], addresses_[next]};
  Erase(next);
  return chosen;
}

void TWaitingRoom::Prune() {
  if (handles_.empty()) return;
  polls_.clear();
  for (const TSocket handle : handles_) polls_.push_back({handle, POLLRDHUP, 0});
  if (::poll(polls_.data(), polls_.size(), 0) <= 0) return;
  // Back to front, so that erasing leaves the positions still to look at.
  for (std::size_t index = polls_.size(); index-- > 0;) {
    const short events = polls_[index].revents;
    int unread = 0;
    const bool gone =
        (events & (POLLERR | POLLHUP)) ||
        ((events & POLLRDHUP) && ::ioctl(handles_[index], FIONREAD, &unread) == 0 && unread == 0);
    if (gone) {
      CloseSocket(handles_[index]);
      Erase(index);
    }
  }
}

void TWaitingRoom::Close() {
  for (const TSocket handle : handles_) CloseSocket(handle);
  handles_.clear();
  addresses_.clear();
}

void TWaitingRoom::Erase(std::size_t index) {
  handles_.erase(handles_.begin() + static_cast<std::ptrdiff_t>(index));
  addresses_.erase(addresses_.begin() + static_cast<std::ptrdiff_t>(index));
}

}  // namespace vt
