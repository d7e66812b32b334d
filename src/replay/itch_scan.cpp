#include "replay/itch_scan.hpp"

#include <cstdio>
#include <cstring>
#include <utility>

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

// The length prefix each type must carry; no 16-bit length matches an
// undefined type, so one comparison checks both.
constexpr std::array<std::uint32_t, 256> make_expected() {
  std::array<std::uint32_t, 256> expected{};
  for (std::size_t type = 0; type < 256; ++type) {
    expected[type] = kSizes[type] != 0 ? kSizes[type] : 0x10000;
  }
  return expected;
}
constexpr std::array<std::uint32_t, 256> kExpected = make_expected();

// The longest message with its length prefix: while this much data is left,
// a message whose length checks out is whole.
constexpr std::size_t kLongest = 52;

// Blocks from this size on are scanned as two chains of messages.
constexpr std::size_t kTwoChains = std::size_t{1} << 16;
// Messages of chosen stocks the second chain holds at most.
constexpr std::size_t kAheadRows = std::size_t{1} << 14;
// Consecutive messages whose lengths must check out for a guessed start.
constexpr int kSyncMessages = 8;

std::uint16_t be16(const std::uint8_t* p) {
  std::uint16_t value;
  std::memcpy(&value, p, 2);
  return __builtin_bswap16(value);
}
std::uint32_t be32(const std::uint8_t* p) {
  std::uint32_t value;
  std::memcpy(&value, p, 4);
  return __builtin_bswap32(value);
}
std::uint64_t be64(const std::uint8_t* p) {
  std::uint64_t value;
  std::memcpy(&value, p, 8);
  return __builtin_bswap64(value);
}
// The 6-byte timestamp at offset 5 of every message.
std::int64_t timestamp(const std::uint8_t* m) {
  return static_cast<std::int64_t>(std::uint64_t{be16(m + 5)} << 32 | be32(m + 7));
}

std::string type_text(std::uint8_t type) {
  char text[24];
  if (type >= 0x20 && type < 0x7f) {
    std::snprintf(text, sizeof text, "'%c'", type);
  } else {
    std::snprintf(text, sizeof text, "0x%02x", type);
  }
  return text;
}

// One message of a chosen stock with a book effect into its rows; false with
// `reason` when a field the book needs is out of range.
bool decode_book(StockRows& out, const std::uint8_t* m, std::int64_t seq, std::string& reason) {
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
  out.time.push_back(timestamp(m));
  out.seq.push_back(seq);
  out.action.push_back(static_cast<std::uint8_t>(action));
  out.side.push_back(side);
  out.code.push_back(type);
  out.ref.push_back(ref);
  out.new_ref.push_back(new_ref);
  out.price.push_back(price);
  out.quantity.push_back(quantity);
  return true;
}

void decode_trade(StockRows& out, const std::uint8_t* m, std::int64_t seq) {
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
  out.trade_seq.push_back(seq);
  out.trade_time.push_back(timestamp(m));
  out.trade_code.push_back(type);
  out.trade_ref.push_back(ref);
  out.trade_side.push_back(side);
  out.trade_shares.push_back(shares);
  out.trade_price.push_back(price);
  out.trade_match.push_back(match);
  out.trade_cross.push_back(cross);
}

void decode_notice(StockRows& out, const std::uint8_t* m, std::int64_t seq) {
  out.notice_seq.push_back(seq);
  out.notice_time.push_back(timestamp(m));
  out.notice_code.push_back(m[0]);
  if (m[0] == 'S') {
    out.notice_state.push_back(m[11]);
    out.notice_reason.insert(out.notice_reason.end(), 4, ' ');
  } else {
    out.notice_state.push_back(m[19]);
    out.notice_reason.insert(out.notice_reason.end(), m + 21, m + 25);
  }
}

// Every column of the rows, for what is done to each alike.
template <class F>
void each_column(StockRows& r, F&& f) {
  f(r.time), f(r.seq), f(r.price), f(r.quantity), f(r.ref), f(r.new_ref), f(r.action), f(r.side),
      f(r.code);
  f(r.trade_seq), f(r.trade_time), f(r.trade_shares), f(r.trade_price), f(r.trade_ref),
      f(r.trade_match), f(r.trade_code), f(r.trade_side), f(r.trade_cross);
  f(r.notice_seq), f(r.notice_time), f(r.notice_code), f(r.notice_state), f(r.notice_reason);
}

}  // namespace

std::size_t message_size(std::uint8_t type) { return kSizes[type]; }

Events StockRows::view() const {
  Events events;
  events.size = time.size();
  events.time = time.data();
  events.seq = seq.data();
  events.action = action.data();
  events.side = side.data();
  events.code = code.data();
  events.ref = ref.data();
  events.new_ref = new_ref.data();
  events.price = price.data();
  events.quantity = quantity.data();
  return events;
}

void StockRows::clear() {
  each_column(*this, [](auto& column) { column.clear(); });
}

Scanner::Scanner(std::vector<Symbol> symbols, bool stop_at_orders, std::size_t limit, Full full)
    : symbols_(std::move(symbols)),
      stop_at_orders_(stop_at_orders),
      limit_(limit),
      full_(std::move(full)),
      stocks_(symbols_.size()),
      slot_of_(1 << 16, -1) {
  always_['S'] = always_['R'] = 1;
  if (stop_at_orders_) always_['A'] = always_['F'] = 1;
  ahead_.reserve(kAheadRows);
}

void Scanner::fail(const std::uint8_t* p, std::string reason) {
  failure_.failed = true;
  failure_.offset = offset_ + static_cast<std::uint64_t>(p - block_);
  failure_.reason = std::move(reason);
}

void Scanner::check_full(std::uint16_t slot) {
  const StockRows& rows = stocks_[slot];
  if (full_ && (rows.events() >= limit_ || rows.trades() >= limit_ || rows.notices() >= limit_)) {
    full_(slot);
  }
}

bool Scanner::take(const std::uint8_t* m, std::int64_t number, const std::uint8_t* at) {
  const std::uint8_t type = m[0];
  if (type == 'S') {
    // A system event concerns every stock.
    for (std::size_t i = 0; i < stocks_.size(); ++i) {
      decode_notice(stocks_[i], m, number);
      check_full(static_cast<std::uint16_t>(i));
    }
    return true;
  }
  if (type == 'R') {
    const std::uint16_t locate = be16(m + 1);
    directory_locate_.push_back(locate);
    directory_symbol_.insert(directory_symbol_.end(), m + 11, m + 19);
    for (std::size_t i = 0; i < symbols_.size(); ++i) {
      if (std::memcmp(symbols_[i].data(), m + 11, 8) == 0) {
        slot_of_[locate] = static_cast<std::int16_t>(i);
        chosen_[locate >> 6] |= std::uint64_t{1} << (locate & 63);
        ++filter_changes_;
      }
    }
    return true;
  }
  if (stop_at_orders_ && (type == 'A' || type == 'F')) {
    orders_seen_ = true;
    return false;
  }
  const std::int16_t slot = slot_of_[be16(m + 1)];
  if (slot < 0) return true;
  StockRows& rows = stocks_[static_cast<std::size_t>(slot)];
  if (type == 'P' || type == 'Q' || type == 'B') {
    decode_trade(rows, m, number);
  } else if (type == 'H') {
    decode_notice(rows, m, number);
  } else if (std::string reason; !decode_book(rows, m, number, reason)) {
    fail(at, std::move(reason));
    return false;
  }
  check_full(static_cast<std::uint16_t>(slot));
  return true;
}

const std::uint8_t* Scanner::scan_one(const std::uint8_t* p, const std::uint8_t* last,
                                      std::int64_t& number) {
  // The loop every message of a day goes through: its length checked against
  // its type, its locate against the chosen stocks' bits, nothing else.
  while (p <= last) {
    const std::uint32_t length = be16(p);
    const std::uint8_t type = p[2];
    if (length != kExpected[type]) break;  // the careful loop says why
    const std::uint16_t locate = be16(p + 3);
    if ((always_[type] | (chosen_[locate >> 6] >> (locate & 63))) & 1) {
      if (!take(p + 2, number + 1, p)) break;
    }
    ++type_counts_[type];
    ++number;
    p += 2 + length;
  }
  return p;
}

namespace {

// A guessed message start at or just after `from`: the first place where
// several consecutive messages' lengths check out.
const std::uint8_t* sync_point(const std::uint8_t* from, const std::uint8_t* last) {
  for (const std::uint8_t* start = from; start < from + 2 * kLongest && start <= last; ++start) {
    const std::uint8_t* p = start;
    int found = 0;
    while (found < kSyncMessages && p <= last && be16(p) == kExpected[p[2]]) {
      p += 2 + be16(p);
      ++found;
    }
    if (found == kSyncMessages) return start;
  }
  return nullptr;
}

}  // namespace

// Each message's place depends on the length of the one before, so one chain
// of messages waits on a load per message. A second chain, started from a
// guessed message start in the block's second half, runs beside the first
// and the processor overlaps the two. Its work counts only if the first
// chain lands exactly on its start; it never decodes, but notes where the
// chosen stocks' messages are, to take them in order once confirmed, and it
// stops at anything the first chain must see first: a message that fails its
// check, and the types every stock sees.
const std::uint8_t* Scanner::scan_two(const std::uint8_t* p, const std::uint8_t* last,
                                      std::int64_t& number) {
  const std::uint8_t* const start = sync_point(p + (last - p) / 2, last);
  if (start == nullptr) return p;
  const std::uint64_t changes = filter_changes_;
  ahead_.clear();
  ahead_counts_.fill(0);
  const std::uint8_t* b = start;
  std::int64_t ahead = 0;
  bool running = true;
  while (p < start) {
    const std::uint32_t length = be16(p);
    const std::uint8_t type = p[2];
    if (length != kExpected[type]) break;
    const std::uint16_t locate = be16(p + 3);
    if ((always_[type] | (chosen_[locate >> 6] >> (locate & 63))) & 1) {
      if (!take(p + 2, number + 1, p)) break;
    }
    ++type_counts_[type];
    ++number;
    p += 2 + length;
    if (running && b <= last) {
      const std::uint32_t b_length = be16(b);
      const std::uint8_t b_type = b[2];
      if (b_length != kExpected[b_type] || always_[b_type] || ahead_.size() == kAheadRows) {
        running = false;
      } else {
        const std::uint16_t b_locate = be16(b + 3);
        if ((chosen_[b_locate >> 6] >> (b_locate & 63)) & 1) ahead_.push_back({b, ahead});
        ++ahead_counts_[b_type];
        ++ahead;
        b += 2 + b_length;
      }
    }
  }
  // A wrong guess, a stop, or a directory entry that changed the filter
  // after the second chain had passed its stock's messages: its work goes.
  if (p != start || stopped() || filter_changes_ != changes) return p;
  const std::int64_t first = number;
  for (const Ahead& a : ahead_) {
    if (!take(a.at + 2, first + a.index + 1, a.at)) {
      number = first + a.index;
      return a.at;
    }
  }
  for (std::size_t type = 0; type < 256; ++type) type_counts_[type] += ahead_counts_[type];
  number = first + ahead;
  return b;
}

std::size_t Scanner::scan(std::span<const std::uint8_t> data, bool final) {
  if (stopped()) return 0;
  const std::uint8_t* const begin = data.data();
  const std::uint8_t* const end = begin + data.size();
  const std::uint8_t* p = begin;
  block_ = begin;
  std::int64_t number = messages_;
  if (data.size() > kLongest) {
    const std::uint8_t* const last = end - kLongest;
    if (data.size() >= kTwoChains) p = scan_two(p, last, number);
    if (!stopped()) p = scan_one(p, last, number);
  }
  while (!stopped() && p + 3 <= end) {
    const std::size_t length = be16(p);
    const std::uint8_t type = p[2];
    // The type and length are checked before the body is awaited, so that
    // bytes that are not ITCH fail where they start.
    if (kSizes[type] == 0) {
      fail(p, "unknown message type " + type_text(type));
      break;
    }
    if (length != kSizes[type]) {
      fail(p, "length " + std::to_string(length) + " for a message of type " + type_text(type) +
                  ", whose size is " + std::to_string(kSizes[type]));
      break;
    }
    if (p + 2 + length > end) break;
    const std::uint16_t locate = be16(p + 3);
    if ((always_[type] | (chosen_[locate >> 6] >> (locate & 63))) & 1) {
      if (!take(p + 2, number + 1, p)) break;
    }
    ++type_counts_[type];
    ++number;
    p += 2 + length;
  }
  messages_ = number;
  if (final && !stopped() && p < end) {
    const auto left = static_cast<std::size_t>(end - p);
    if (left < 3) {
      fail(p, "truncated message: the data ends " + std::to_string(left) +
                  (left == 1 ? " byte" : " bytes") + " into a message's header");
    } else {
      fail(p, "truncated message: the data ends " + std::to_string(left - 2) + " bytes into a " +
                  type_text(p[2]) + " message of " + std::to_string(be16(p)) + " bytes");
    }
  }
  const auto consumed = static_cast<std::size_t>(p - begin);
  offset_ += consumed;
  return consumed;
}

}  // namespace kestrova::replay::itch
