#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "replay/replay_engine.hpp"

namespace kestrova::replay::itch {

// A stock symbol as the directory carries it: 8 characters, space-padded.
using Symbol = std::array<char, 8>;

// The size of each message type (without its 2-byte length prefix), 0 for a
// type the format does not define.
std::size_t message_size(std::uint8_t type);

// One chosen stock's rows since they were last handed on, as columns.
struct StockRows {
  // Book events, in the replay's event layout (see replay_engine.hpp).
  std::vector<std::int64_t> time, seq, price, quantity;
  std::vector<std::uint64_t> ref, new_ref;
  std::vector<std::uint8_t> action, side, code;

  // Trades without a book effect: P (ref, side, shares, price, match), Q
  // (shares, price, match, cross type) and B (match only).
  std::vector<std::int64_t> trade_seq, trade_time, trade_shares, trade_price;
  std::vector<std::uint64_t> trade_ref, trade_match;
  std::vector<std::uint8_t> trade_code, trade_side, trade_cross;

  // System events (S, copied to every chosen stock) and trading actions (H).
  std::vector<std::int64_t> notice_seq, notice_time;
  std::vector<std::uint8_t> notice_code, notice_state;
  std::vector<char> notice_reason;  // 4 characters a row, spaces for S

  std::size_t events() const { return time.size(); }
  std::size_t trades() const { return trade_seq.size(); }
  std::size_t notices() const { return notice_seq.size(); }
  bool empty() const { return events() == 0 && trades() == 0 && notices() == 0; }
  Events view() const;
  void clear();
};

// Where and why the data stopped being ITCH.
struct Failure {
  bool failed = false;
  std::uint64_t offset = 0;  // of the message's length prefix in the stream
  std::string reason;
};

// Decodes a stream of ITCH messages handed over in blocks of any size.
// Every message's length is checked against its type, so a bad byte stops the
// scan where it is. The stock directory (`R`) maps the chosen symbols to their
// locates; only those stocks' messages are decoded, into one StockRows per
// symbol. When a stock's rows reach `limit` in any of their tables, `full` is
// called with its slot (its index among the symbols), which takes the rows.
class Scanner {
 public:
  using Full = std::function<void(std::uint16_t slot)>;

  // With `stop_at_orders`, the scan ends before the first add order: the
  // directory is complete by then.
  Scanner(std::vector<Symbol> symbols, bool stop_at_orders, std::size_t limit, Full full);

  // Reads the whole messages at the front of `data` and returns their bytes;
  // an incomplete message at the end is left for the next call, unless
  // `final` says there is no more data. Returns 0 once stopped or failed.
  std::size_t scan(std::span<const std::uint8_t> data, bool final);

  bool stopped() const { return failure_.failed || orders_seen_; }
  bool orders_seen() const { return orders_seen_; }
  const Failure& failure() const { return failure_; }
  std::uint64_t offset() const { return offset_; }  // bytes of whole messages scanned
  std::int64_t messages() const { return messages_; }
  const std::array<std::int64_t, 256>& type_counts() const { return type_counts_; }
  std::size_t slots() const { return stocks_.size(); }
  StockRows& rows(std::uint16_t slot) { return stocks_[slot]; }

  // Every stock directory entry met, chosen or not.
  const std::vector<std::uint16_t>& directory_locates() const { return directory_locate_; }
  const std::vector<char>& directory_symbols() const { return directory_symbol_; }

 private:
  // The loops over whole messages up to `last`, from `p`; they return where
  // they stopped. `scan_two` runs a second chain of messages ahead of the
  // first, see its comment.
  const std::uint8_t* scan_one(const std::uint8_t* p, const std::uint8_t* last,
                               std::int64_t& number);
  const std::uint8_t* scan_two(const std::uint8_t* p, const std::uint8_t* last,
                               std::int64_t& number);
  // Bad data at `p`: the scan stops there.
  void fail(const std::uint8_t* p, std::string reason);
  // A message the filter let through: the directory, a system event or a
  // chosen stock's message. False when the scan must stop before it.
  bool take(const std::uint8_t* message, std::int64_t number, const std::uint8_t* at);
  void check_full(std::uint16_t slot);

  std::vector<Symbol> symbols_;
  bool stop_at_orders_;
  std::size_t limit_;
  Full full_;
  std::vector<StockRows> stocks_;

  // The filter every message meets: one bit per locate of a chosen stock,
  // and the types every stock cares about. Kept small, so it stays in L1.
  std::array<std::uint64_t, 1024> chosen_{};
  std::array<std::uint8_t, 256> always_{};
  std::vector<std::int16_t> slot_of_;  // by locate, -1 when not chosen
  std::uint64_t filter_changes_ = 0;

  // What the second chain found, kept until the first one confirms it.
  struct Ahead {
    const std::uint8_t* at;
    std::int64_t index;  // among the chain's messages
  };
  std::vector<Ahead> ahead_;
  std::array<std::int64_t, 256> ahead_counts_{};

  const std::uint8_t* block_ = nullptr;  // the block being scanned, for offsets
  std::uint64_t offset_ = 0;
  std::int64_t messages_ = 0;
  bool orders_seen_ = false;
  Failure failure_;
  std::array<std::int64_t, 256> type_counts_{};
  std::vector<std::uint16_t> directory_locate_;
  std::vector<char> directory_symbol_;  // 8 characters a row
};

}  // namespace kestrova::replay::itch
