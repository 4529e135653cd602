#pragma once

// A set of byte values (all 256 of them can be members), passed by value.
// Searches, trims and splits take one: the whitespace set of the system is
// the bytes 0 to 32 (ByteSet::Whitespace()).

#include <bitset>
#include <string_view>

namespace vt {

class ByteSet {
 public:
  constexpr ByteSet() = default;

  // The set of the bytes of `members`.
  explicit ByteSet(std::string_view members) {
    for (char c : members) Add(c);
  }

  // The set of the bytes first..last inclusive.
  static ByteSet Range(unsigned char first, unsigned char last) {
    ByteSet set;
    for (unsigned value = first; value <= last; ++value) set.bits_.set(value);
    return set;
  }

  // The bytes 0 to 32: control characters and the blank.
  static ByteSet Whitespace() { return Range(0, 32); }

  ByteSet& Add(char c) {
    bits_.set(static_cast<unsigned char>(c));
    return *this;
  }

  bool Contains(char c) const { return bits_.test(static_cast<unsigned char>(c)); }

  ByteSet operator|(const ByteSet& other) const {
    ByteSet result = *this;
    result.bits_ |= other.bits_;
    return result;
  }

 private:
  std::bitset<256> bits_;
};

}  // namespace vt
