#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

namespace kestrova {

// An order identifier kept as its 16 binary bytes. Its text form is the
// 36-character lower-case hyphenated layout; every id in the system comes from
// new_order_id(), so text and bytes map one to one.
struct OrderId {
  static constexpr std::size_t kTextSize = 36;

  std::array<std::uint8_t, 16> bytes;

  // Two word compares; ids are compared on every probe and queue scan.
  friend bool operator==(const OrderId& a, const OrderId& b) {
    return (a.word(0) ^ b.word(0)) == 0 && (a.word(1) ^ b.word(1)) == 0;
  }

  // The bytes are random, so a slice of them is already a good hash.
  std::uint64_t hash() const { return word(0); }

  void write_text(char* out) const;  // writes exactly kTextSize chars

  // Only the exact lower-case hyphenated form parses; any other text cannot
  // equal an id's text, so lookups by it simply find nothing.
  static std::optional<OrderId> parse(std::string_view text);

 private:
  std::uint64_t word(std::size_t i) const {
    std::uint64_t w;
    std::memcpy(&w, bytes.data() + 8 * i, sizeof w);
    return w;
  }
};

}  // namespace kestrova
