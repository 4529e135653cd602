// Connections counted by the host they come from (SamePeerAddress: an IPv4
// address, or an IPv6 /64 network; the port apart).
//
// The rules for a full client list ask, again and again, how many places an
// address holds and which address holds the most. Asked of the whole list
// each time, that is a comparison of every connection with every other one
// (a few thousand for the default list), on the main thread, for every
// connection that comes while the list is full. Counted once into a tally,
// it is one pass over the list and a look-up per question among the
// addresses seen, which are usually few.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sockets/winsock.h"

namespace vt {

bool SamePeerAddress(const TSocketAddress& a, const TSocketAddress& b);

class TPeerTally {
 public:
  struct Entry {
    TSocketAddress address;  // as the first connection from it gave it
    std::int64_t count = 0;
    std::size_t last = 0;  // the position of the last connection from it
  };

  // Counts one more connection from `address`, the next in order.
  void Add(const TSocketAddress& address) {
    Entry* entry = Find(address);
    if (!entry) entry = &entries_.emplace_back(Entry{address, 0, 0});
    ++entry->count;
    entry->last = added_++;
  }

  std::int64_t Count(const TSocketAddress& address) const {
    const Entry* entry = Find(address);
    return entry ? entry->count : 0;
  }

  // The address counted most; among equals the one that came first, or
  // (`newest`) the one whose last connection came last. Null when empty.
  const Entry* Most(bool newest = false) const {
    const Entry* most = nullptr;
    for (const Entry& entry : entries_) {
      if (!most || entry.count > most->count ||
          (newest && entry.count == most->count && entry.last > most->last)) {
        most = &entry;
      }
    }
    return most;
  }

  const std::vector<Entry>& Entries() const { return entries_; }

 private:
  Entry* Find(const TSocketAddress& address) {
    return const_cast<Entry*>(static_cast<const TPeerTally*>(this)->Find(address));
  }
  const Entry* Find(const TSocketAddress& address) const {
    for (const Entry& entry : entries_) {
      if (SamePeerAddress(entry.address, address)) return &entry;
    }
    return nullptr;
  }

  std::vector<Entry> entries_;
  std::size_t added_ = 0;
};

}  // namespace vt
