#include "replay/itch_scan.hpp"

#include <cstdio>
#include <cstring>

#include "replay/replay_engine.hpp"

namespace kestrova::replay::itch {

namespace {

// Every message type of the format, with its size; anything else is not ITCH.
constexpr std::array<std::uint8_t, 256> make_sizes() {
  std::array<std::uint8_t, 256> sizes{};
  const struct {
    char type;
    std::uint8_t size;
  } known[] = {{'S', 12}, {'R', 39}, {'H', 25}, {'Y', 20}, {'L', 26}, {'V', 35},
               {'W', 12}, {'K', 28}, {'J', 35}, {'h', 21}, {'A', 36}, {'F', 40},
               {'E', 31}, {'C', 36}, {'X', 23}, {'D', 19}, {'U', 35}, {'P', 44},
               {'Q', 40}, {'B', 19}, {'I', 50}, {'N', 20}, {'O', 48}};
  for (const auto& k : known) sizes[static_cast<std::uint8_t>(k.type)] = k.size;
  return sizes;
}
constexpr std::array<std::uint8_t, 256> kSizes = make_sizes();

std::uint64_t be(const std::uint8_t* p, int bytes) {
  std::uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value = value << 8 | p[i];
  return value;
}
std::uint16_t be16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }
std::uint32_t be32(const std::uint8_t* p) { return static_cast<std::uint32_t>(be(p, 4)); }
std::uint64_t be64(const std::uint8_t* p) { return be(p, 8); }

std::string type_text(std::uint8_t type) {
  char text[24];
  if (type >= 0x20 && type < 0x7f) {
    std::snprintf(text, sizeof text, "'%c'", type);
  } else {
    std::snprintf(text, sizeof text, "0x%02x", type);
  }
  return text;
}

// Fills one message of a chosen stock into the output; false with `reason`
// when a field the book needs is out of range.
class Decoder {
 public:
  Decoder(ScanOutput& out) : out_(out) {}

  bool book(const std::uint8_t* m, std::int64_t seq, std::uint16_t slot, std::string& reason) {
    const std::uint8_t type = m[0];
    std::uint8_t side = 2;
    std::uint64_t ref = be64(m + 11), new_ref = 0;
    std::int64_t price = 0, quantity = 0;
    Action action;
    switch (type) {
      case 'A':
      case 'F':
        action = Action::kAdd;
        if (m[19] != 'B' && m[19] != 'S') {
          reason = "add order side must be 'B' or 'S', got " + type_text(m[19]);
          return false;
        }
        side = m[19] == 'B' ? kBuy : kSell;
        quantity = be32(m + 20);
        price = be32(m + 32);
        if (quantity == 0 || price == 0) {
          reason = "add order with 0 shares or a price of 0";
          return false;
        }
        break;
      case 'E':
      case 'C':
        action = Action::kExecute;
        quantity = be32(m + 19);
        if (type == 'C') price = be32(m + 32);
        if (quantity == 0) {
          reason = "execution of 0 shares";
          return false;
        }
        break;
      case 'X':
        action = Action::kReduce;
        quantity = be32(m + 19);
        if (quantity == 0) {
          reason = "cancel of 0 shares";
          return false;
        }
        break;
      case 'D':
        action = Action::kDelete;
        break;
      case 'U':
        action = Action::kReplace;
        new_ref = be64(m + 19);
        quantity = be32(m + 27);
        price = be32(m + 31);
        if (quantity == 0 || price == 0) {
          reason = "replace with 0 shares or a price of 0";
          return false;
        }
        break;
      default:
        return true;
    }
    out_.time.push_back(static_cast<std::int64_t>(be(m + 5, 6)));
    out_.seq.push_back(seq);
    out_.action.push_back(static_cast<std::uint8_t>(action));
    out_.side.push_back(side);
    out_.code.push_back(type);
    out_.ref.push_back(ref);
    out_.new_ref.push_back(new_ref);
    out_.price.push_back(price);
    out_.quantity.push_back(quantity);
    out_.slot.push_back(slot);
    return true;
  }

  void trade(const std::uint8_t* m, std::int64_t seq, std::uint16_t slot) {
    const std::uint8_t type = m[0];
    std::uint64_t ref = 0, match = 0;
    std::int64_t shares = 0, price = 0;
    std::uint8_t side = 2, cross = 0;
    if (type == 'P') {
      ref = be64(m + 11);
      side = m[19] == 'B' ? kBuy : m[19] == 'S' ? kSell : 2;
      shares = be32(m + 20);
      price = be32(m + 32);
      match = be64(m + 36);
    } else if (type == 'Q') {
      shares = static_cast<std::int64_t>(be64(m + 11));
      price = be32(m + 27);
      match = be64(m + 31);
      cross = m[39];
    } else {
      match = be64(m + 11);
    }
    out_.trade_seq.push_back(seq);
    out_.trade_time.push_back(static_cast<std::int64_t>(be(m + 5, 6)));
    out_.trade_code.push_back(type);
    out_.trade_ref.push_back(ref);
    out_.trade_side.push_back(side);
    out_.trade_shares.push_back(shares);
    out_.trade_price.push_back(price);
    out_.trade_match.push_back(match);
    out_.trade_cross.push_back(cross);
    out_.trade_slot.push_back(slot);
  }

  void notice(const std::uint8_t* m, std::int64_t seq, std::uint16_t slot) {
    out_.notice_seq.push_back(seq);
    out_.notice_time.push_back(static_cast<std::int64_t>(be(m + 5, 6)));
    out_.notice_code.push_back(m[0]);
    if (m[0] == 'S') {
      out_.notice_state.push_back(m[11]);
      out_.notice_reason.insert(out_.notice_reason.end(), 4, ' ');
    } else {
      out_.notice_state.push_back(m[19]);
      out_.notice_reason.insert(out_.notice_reason.end(), m + 21, m + 25);
    }
    out_.notice_slot.push_back(slot);
  }

 private:
  ScanOutput& out_;
};

}  // namespace

std::size_t message_size(std::uint8_t type) { return kSizes[type]; }

ScanResult scan(std::span<const std::uint8_t> data, std::span<std::int16_t> slots,
                std::span<const Symbol> symbols, std::uint64_t offset, std::int64_t seq, bool final,
                bool stop_at_orders, ScanOutput& out) {
  ScanResult result;
  Decoder decoder(out);
  const std::uint8_t* p = data.data();
  const std::size_t size = data.size();
  std::size_t pos = 0;
  auto fail = [&](std::string reason) {
    result.failed = true;
    result.error_offset = offset + pos;
    result.reason = std::move(reason);
  };
  while (pos + 3 <= size) {
    const std::size_t length = be16(p + pos);
    const std::uint8_t type = p[pos + 2];
    // The type and length are checked before the body is awaited, so that
    // bytes that are not ITCH fail where they start.
    if (kSizes[type] == 0) {
      fail("unknown message type " + type_text(type));
      return result;
    }
    if (length != kSizes[type]) {
      fail("length " + std::to_string(length) + " for a message of type " + type_text(type) +
           ", whose size is " + std::to_string(kSizes[type]));
      return result;
    }
    if (pos + 2 + length > size) break;
    if (stop_at_orders && (type == 'A' || type == 'F')) {
      result.orders_seen = true;
      break;
    }
    const std::uint8_t* m = p + pos + 2;
    const std::int64_t number = seq + result.messages + 1;
    ++out.type_counts[type];
    if (type == 'S') {
      // A system event concerns every stock.
      for (std::size_t i = 0; i < symbols.size(); ++i) {
        decoder.notice(m, number, static_cast<std::uint16_t>(i));
      }
    } else if (type == 'R') {
      const std::uint16_t locate = be16(m + 1);
      out.directory_locate.push_back(locate);
      out.directory_symbol.insert(out.directory_symbol.end(), m + 11, m + 19);
      for (std::size_t i = 0; i < symbols.size(); ++i) {
        if (std::memcmp(symbols[i].data(), m + 11, 8) == 0) {
          slots[locate] = static_cast<std::int16_t>(i);
        }
      }
    } else if (const std::int16_t slot = slots[be16(m + 1)]; slot >= 0) {
      const auto chosen = static_cast<std::uint16_t>(slot);
      if (type == 'P' || type == 'Q' || type == 'B') {
        decoder.trade(m, number, chosen);
      } else if (type == 'H') {
        decoder.notice(m, number, chosen);
      } else if (std::string reason; !decoder.book(m, number, chosen, reason)) {
        fail(std::move(reason));
        return result;
      }
    }
    ++result.messages;
    pos += 2 + length;
  }
  result.consumed = pos;
  if (final && !result.orders_seen && pos < size) {
    const std::size_t left = size - pos;
    if (left < 3) {
      fail("truncated message: the data ends " + std::to_string(left) +
           (left == 1 ? " byte" : " bytes") + " into a message's header");
    } else {
      fail("truncated message: the data ends " + std::to_string(left - 2) + " bytes into a " +
           type_text(p[pos + 2]) + " message of " + std::to_string(be16(p + pos)) + " bytes");
    }
  }
  return result;
}

}  // namespace kestrova::replay::itch
