#include "model/order_id.hpp"

#include <array>
#include <cstring>

namespace kestrova {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// Where the two digits of each byte start in the text; the hyphens sit at
// 8, 13, 18 and 23.
constexpr std::array<std::uint8_t, 16> kDigitPositions = {0,  2,  4,  6,  9,  11, 14, 16,
                                                          19, 21, 24, 26, 28, 30, 32, 34};

// Value of each lower-case hex digit; 0x10 marks every other byte, so one OR
// over all the looked-up values tells whether any digit was bad.
constexpr auto kHexValues = [] {
  std::array<std::uint8_t, 256> values{};
  values.fill(0x10);
  for (int i = 0; i < 16; ++i)
    values[static_cast<unsigned char>(kHexDigits[i])] = static_cast<std::uint8_t>(i);
  return values;
}();

// Both digits of every byte value, so writing a byte is one two-char copy.
constexpr auto kHexPairs = [] {
  std::array<char, 512> pairs{};
  for (int i = 0; i < 256; ++i) {
    pairs[2 * i] = kHexDigits[i >> 4];
    pairs[2 * i + 1] = kHexDigits[i & 0x0F];
  }
  return pairs;
}();

}  // namespace

void OrderId::write_text(char* out) const {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::memcpy(out + kDigitPositions[i], &kHexPairs[2 * std::size_t{bytes[i]}], 2);
  }
  out[8] = out[13] = out[18] = out[23] = '-';
}

std::optional<OrderId> OrderId::parse(std::string_view text) {
  if (text.size() != kTextSize) return std::nullopt;
  const auto* t = reinterpret_cast<const unsigned char*>(text.data());
  if ((t[8] ^ '-') | (t[13] ^ '-') | (t[18] ^ '-') | (t[23] ^ '-')) return std::nullopt;
  OrderId id;
  std::uint8_t bad = 0;
  for (std::size_t i = 0; i < id.bytes.size(); ++i) {
    std::uint8_t high = kHexValues[t[kDigitPositions[i]]];
    std::uint8_t low = kHexValues[t[kDigitPositions[i] + 1]];
    bad |= high | low;
    id.bytes[i] = static_cast<std::uint8_t>(high << 4 | low);
  }
  if (bad & 0x10) return std::nullopt;
  return id;
}

}  // namespace kestrova
