#include "model/order_id.hpp"

namespace kestrova {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

constexpr bool is_hyphen_position(std::size_t i) { return i == 8 || i == 13 || i == 18 || i == 23; }

// Value of each lower-case hex digit, -1 for every other byte.
constexpr auto kHexValues = [] {
  std::array<std::int8_t, 256> values{};
  values.fill(-1);
  for (int i = 0; i < 16; ++i)
    values[static_cast<unsigned char>(kHexDigits[i])] = static_cast<std::int8_t>(i);
  return values;
}();

int lower_hex_value(char c) { return kHexValues[static_cast<unsigned char>(c)]; }

}  // namespace

void OrderId::write_text(char* out) const {
  std::size_t pos = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (is_hyphen_position(pos)) out[pos++] = '-';
    out[pos++] = kHexDigits[bytes[i] >> 4];
    out[pos++] = kHexDigits[bytes[i] & 0x0F];
  }
}

std::optional<OrderId> OrderId::parse(std::string_view text) {
  if (text.size() != kTextSize) return std::nullopt;
  OrderId id{};
  std::size_t byte = 0;
  for (std::size_t pos = 0; pos < kTextSize;) {
    if (is_hyphen_position(pos)) {
      if (text[pos] != '-') return std::nullopt;
      ++pos;
      continue;
    }
    int high = lower_hex_value(text[pos]);
    int low = lower_hex_value(text[pos + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    id.bytes[byte++] = static_cast<std::uint8_t>(high << 4 | low);
    pos += 2;
  }
  return id;
}

}  // namespace kestrova
