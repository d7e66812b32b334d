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

  friend bool operator==(const OrderId&, const OrderId&) = default;

  // The bytes are random, so a slice of them is already a good hash.
  std::uint64_t hash() const {
    std::uint64_t h;
    std::memcpy(&h, bytes.data(), sizeof h);
    return h;
  }

  void write_text(char* out) const;  // writes exactly kTextSize chars

  // Only the exact lower-case hyphenated form parses; any other text cannot
  // equal an id's text, so lookups by it simply find nothing.
  static std::optional<OrderId> parse(std::string_view text);
};

}  // namespace kestrova
